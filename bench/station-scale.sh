#!/usr/bin/env bash
# How long `l2station info` takes to list N agents (default 32) on one bridged segment: each
# agent in its own network namespace with its own identity, the station on the bridge.
#   sudo bench/station-scale.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "station-scale.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}"
n=${1:-32}
build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2station >/dev/null

seg=l2scale-seg-$$
work=$(mktemp -d)
pids=()
made_app=
cleanup() {
    for p in "${pids[@]}"; do kill -- -"$p" 2>/dev/null || true; done
    for i in $(seq "$n"); do ip netns del "l2scale-$$-$i" 2>/dev/null || true; done
    ip netns del "$seg" 2>/dev/null || true
    [ -n "$made_app" ] && rmdir /App 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
[ -d /App ] || { mkdir /App; made_app=1; }
ip netns add "$seg"
# Every board answers from the same address: the bridge must flood, not learn it.
ip -n "$seg" link add seg0 type bridge ageing_time 0
ip -n "$seg" link set seg0 up
for i in $(seq "$n"); do
    ns=l2scale-$$-$i
    ip netns add "$ns"
    ip -n "$ns" link add eth1 type veth peer name "p$i" netns "$seg"
    ip -n "$ns" addr add "192.0.2.$i/24" dev eth1
    ip -n "$ns" link set eth1 up
    ip -n "$seg" link set "p$i" master seg0 up
    mkdir -p "$work/$i/app/bin" "$work/$i/app/cfg" "$work/$i/run"
    printf 'BOARD-%s\n1.0.%s\n' "$i" "$i" >"$work/$i/app/bin/version"
    printf 'PX%04d\n' "$i" >"$work/$i/app/cfg/ID.txt"
    (cd "$work/$i" && exec setsid ip netns exec "$ns" unshare --mount --propagation private \
        "$root/tests/e2e/board-env.sh" --app "$work/$i/app" -- "$root/$build/src/l2agent" eth1 \
        >/dev/null 2>"$work/$i/log") &
    pids+=($!)
done
for i in $(seq "$n"); do
    for _ in $(seq 400); do grep -q "start 'eth1' dump" "$work/$i/log" && break; sleep 0.025; done
done
info() { ip netns exec "$seg" "$root/$build/station/l2station" info -i seg0 "$@"; }
for run in 1 2 3; do
    start=$(date +%s%N)
    json=$(info --json -w 1000 2>/dev/null)
    took=$((($(date +%s%N) - start) / 1000000))
    boards=$(grep -c '"Device"' <<<"$json")
    last=$(sed -n 's/.*"replyMs": \([0-9.]*\).*/\1/p' <<<"$json" | sort -n | tail -1)
    echo "run $run: $boards of $n boards listed; last reply after $last ms; command took $took ms (1000 ms window)"
done
