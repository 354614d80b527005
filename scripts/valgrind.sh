#!/usr/bin/env bash
# Runs the agent under Valgrind memcheck over a whole session on a veth link: start, info, echo,
# reset, interface removed and re-created, stop (SIGTERM). Fails on any memory error and on
# definite or indirect leaks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "valgrind.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" valgrind
build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2station >/dev/null

board=l2vg-b-$$ station=l2vg-s-$$
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill -- -"$pid" 2>/dev/null || true
    ip netns del "$board" 2>/dev/null || true
    ip netns del "$station" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
link_up() {
    ip -n "$board" link add eth1 type veth peer name st0 netns "$station"
    ip -n "$board" link set eth1 up
    ip -n "$station" link set st0 up
}
ip netns add "$board"
ip netns add "$station"
link_up
mkdir -p "$work/run"
printf '#!/bin/sh\nexit 0\n' >"$work/run/resetAll.sh"
chmod +x "$work/run/resetAll.sh"
wait_for() { # pattern count
    for _ in $(seq 1200); do [ "$(grep -c "$1" "$work/agent.log")" -ge "$2" ] && return 0; sleep 0.05; done
    echo "valgrind.sh: timed out waiting for '$1'" >&2
    cat "$work/agent.log" >&2
    exit 1
}
(cd "$work" && exec setsid ip netns exec "$board" unshare --mount --propagation private \
    "$root/tests/e2e/board-env.sh" --udev -- valgrind --leak-check=full \
    --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
    --log-file="$work/valgrind.log" "$root/$build/src/l2agent" eth1 >/dev/null 2>"$work/agent.log") &
pid=$!
wait_for "start 'eth1' dump" 1
st() { ip netns exec "$station" "$root/$build/station/l2station" "$@" -i st0 >/dev/null; }
st info -w 2000
st send -w 2000 "echo under valgrind"
st reset --yes
wait_for "start reset all" 1
ip -n "$board" link del eth1
wait_for "start the kernel uevent" 1
link_up
wait_for "start 'eth1' dump" 2
st info -w 2000
# memcheck writes its leak summary when the agent ends on SIGTERM.
agent=$(pgrep -f "valgrind.*l2agent eth1" | head -1)
kill -TERM "$agent"
for _ in $(seq 600); do grep -q "ERROR SUMMARY" "$work/valgrind.log" && break; sleep 0.1; done
grep -E "definitely lost|indirectly lost|ERROR SUMMARY" "$work/valgrind.log" || { cat "$work/valgrind.log"; exit 1; }
grep -q "ERROR SUMMARY: 0 errors" "$work/valgrind.log" || { cat "$work/valgrind.log"; exit 1; }
echo "valgrind: no memory errors, no definite or indirect leaks"
