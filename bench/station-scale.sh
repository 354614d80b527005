#!/usr/bin/env bash
# How `l2station info` lists N agents (default 32) on one bridged segment: each agent in a
# network namespace of its own with its own identity, the station on the bridge. Per run:
# boards listed, when the last reply came, the largest gap between two replies (what the
# quiet gap must exceed), and how long the command took. Exits 1 when a run listed fewer than
# N boards, so CI can hold it to "every board, every run". CLASSIC=K makes the last K boards
# answer as older agents do (libpcap's 500 ms buffer timeout, bench/classic_responder).
#   sudo [CLASSIC=K] bench/station-scale.sh [N] [RUNS] [info options...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "station-scale.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}"
n=${1:-32}
runs=${2:-3}
shift $(($# < 2 ? $# : 2))
build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2station classic_responder >/dev/null
classic=${CLASSIC:-0}

made_app=
lab_extra_cleanup() { [ -z "$made_app" ] || rmdir /App 2>/dev/null || true; }
. scripts/lab.sh
[ -d /App ] || { mkdir /App; made_app=1; }
lab_segment
for i in $(seq "$n"); do
    lab_segment_board "$i" "192.0.$((2 + i / 250)).$((i % 250 + 1))/16"
    dir=$lab_work/$i
    mkdir -p "$dir/app/bin" "$dir/app/cfg" "$dir/run"
    printf 'BOARD-%s\n1.0.%s\n' "$i" "$i" >"$dir/app/bin/version"
    printf 'PX%04d\n' "$i" >"$dir/app/cfg/ID.txt"
    if [ "$i" -gt $((n - classic)) ]; then
        lab_start_in "$lab_ns" "$dir" "agent$i" -- "$root/$build/bench/classic_responder" eth1
    else
        lab_start_in "$lab_ns" "$dir" "agent$i" --app "$dir/app" -- "$root/$build/src/l2agent" eth1
    fi
done
for i in $(seq "$n"); do
    if [ "$i" -gt $((n - classic)) ]; then ready=ready; else ready="start 'eth1' dump"; fi
    lab_wait_for "$lab_work/agent$i.log" "$ready" >/dev/null
done
short=0
for run in $(seq "$runs"); do
    start=$(date +%s%N)
    json=$(lab_on_station "$root/$build/station/l2station" info -i seg0 --json "$@" 2>/dev/null || true)
    took=$((($(date +%s%N) - start) / 1000000))
    boards=$(grep -c '"Device"' <<<"$json" || true)
    times=$(sed -n 's/.*"replyMs": \([0-9.]*\).*/\1/p' <<<"$json" | sort -n)
    last=$(tail -1 <<<"$times")
    gap=$(awk 'NR > 1 && $1 - p > g { g = $1 - p } { p = $1 } END { printf "%.1f", g }' <<<"$times")
    echo "run $run: $boards of $n boards listed; last reply after $last ms; largest gap $gap ms; command took $took ms"
    [ "$boards" -eq "$n" ] || short=1
done
exit $short
