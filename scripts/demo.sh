#!/usr/bin/env bash
# Shows l2agent at work without a board: a virtual link between two network namespaces, the
# agent on the board side (eth1) with sample identity files, and l2station on the station side
# sending an info request, a reset request and an echo. Cleans up after itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "demo.sh: run as root (sudo scripts/demo.sh)" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}"

build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2station >/dev/null

board=l2demo-board-$$ station=l2demo-station-$$
work=$(mktemp -d)
agent_pid=
made_app=
cleanup() {
    [ -n "$agent_pid" ] && kill -- -"$agent_pid" 2>/dev/null || true
    ip netns del "$board" 2>/dev/null || true
    ip netns del "$station" 2>/dev/null || true
    [ -n "$made_app" ] && rmdir /App 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The board: identity files, a stand-in blkid, and the reset script in its working directory.
mkdir -p "$work/app/bin" "$work/app/cfg" "$work/bin" "$work/board/run"
printf 'BOARD-A7\n2.3.1\n' >"$work/app/bin/version"
printf 'PX0042\n' >"$work/app/cfg/ID.txt"
printf '#!/bin/sh\necho "/dev/mmcblk0: PTUUID=\\"5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\\" PTTYPE=\\"gpt\\""\n' >"$work/bin/blkid"
printf '#!/bin/sh\necho "$(date +%%T) the board would reset now" >> reset.log\n' >"$work/board/run/resetAll.sh"
chmod +x "$work/bin/blkid" "$work/board/run/resetAll.sh"
[ -d /App ] || { mkdir /App; made_app=1; }

ip netns add "$board"
ip netns add "$station"
ip -n "$board" link add eth1 type veth peer name st0 netns "$station"
ip -n "$board" addr add 192.0.2.25/24 dev eth1
ip -n "$board" link set eth1 up
ip -n "$station" link set st0 up

(cd "$work/board" && exec setsid ip netns exec "$board" unshare --mount --propagation private \
    "$root/tests/e2e/board-env.sh" --udev --app "$work/app" --path "$work/bin" -- \
    "$root/$build/src/l2agent" eth1 >"$work/agent.out" 2>"$work/agent.log") &
agent_pid=$!
for _ in $(seq 200); do grep -q "start 'eth1' dump" "$work/agent.log" 2>/dev/null && break; sleep 0.05; done
grep -q "start 'eth1' dump" "$work/agent.log" || { cat "$work/agent.log"; echo "demo.sh: agent did not start" >&2; exit 1; }

st() { echo; echo "\$ l2station $*"; ip netns exec "$station" "$root/$build/station/l2station" "$@" -i st0 || true; }
st info -w 300
st send -w 300 "hello board"
st reset --yes
for _ in $(seq 100); do [ -s "$work/board/reset.log" ] && break; sleep 0.05; done
echo; echo "--- the board's reset.log"; cat "$work/board/reset.log" 2>/dev/null || echo "(none)"
st ping -c 3 --interval 200 -W 300
echo; echo "--- the agent's log (standard error)"; cat "$work/agent.log"
