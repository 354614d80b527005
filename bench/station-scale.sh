#!/usr/bin/env bash
# How `l2station info` lists the boards of one segment: N agents in board-address mode (default
# 32), each in a network namespace of its own with its own identity, on a bridge that learns
# addresses as switches do, the station on the bridge. CLASSIC=K makes the last K of them answer
# as older agents do (libpcap's 500 ms buffer timeout, bench/classic_responder, from the shared
# address); SIM=M adds M simulated board-address boards in one process on one more port
# (bench/board_sim). Per run: boards listed, distinct addresses, when the last reply came, the
# largest gap between two replies (what the quiet gap must exceed), how long the command took and
# the station's peak memory. Exits 1 when a run listed other than every board once, so CI can
# hold it to "every board, once, every run".
#   sudo [CLASSIC=K] [SIM=M] bench/station-scale.sh [N] [RUNS] [info options...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "station-scale.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" time
n=${1:-32}
runs=${2:-3}
shift $(($# < 2 ? $# : 2))
build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2station classic_responder board_sim >/dev/null
classic=${CLASSIC:-0}
sim=${SIM:-0}

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
        lab_start_in "$lab_ns" "$dir" "agent$i" --app "$dir/app" -- \
            "$root/$build/src/l2agent" --board-address eth1
    fi
done
if [ "$sim" -gt 0 ]; then
    lab_segment_board sim
    lab_start_in "$lab_ns" "$lab_work" sim -- "$root/$build/bench/board_sim" eth1 "$sim"
fi
for i in $(seq "$n"); do
    if [ "$i" -gt $((n - classic)) ]; then ready=ready; else ready="start 'eth1' dump"; fi
    lab_wait_for "$lab_work/agent$i.log" "$ready" >/dev/null
done
[ "$sim" -eq 0 ] || lab_wait_for "$lab_work/sim.log" ready >/dev/null
expected=$((n + sim))
short=0
for run in $(seq "$runs"); do
    start=$(date +%s%N)
    json=$(lab_on_station /usr/bin/time -f '%M' -o "$lab_work/rss" \
        "$root/$build/station/l2station" info -i seg0 --json "$@" 2>/dev/null || true)
    took=$((($(date +%s%N) - start) / 1000000))
    boards=$(grep -c '"Device"' <<<"$json" || true)
    # Every board once: as many distinct addresses (or whole rows, for the shared address) as rows.
    distinct=$(grep -E '"Mac"|"Device"' <<<"$json" | paste - - | sort -u | wc -l)
    times=$(sed -n 's/.*"replyMs": \([0-9.]*\).*/\1/p' <<<"$json" | sort -n)
    last=$(tail -1 <<<"$times")
    gap=$(awk 'NR > 1 && $1 - p > g { g = $1 - p } { p = $1 } END { printf "%.1f", g }' <<<"$times")
    echo "run $run: $boards of $expected boards listed, $distinct distinct; last reply after $last ms;" \
        "largest gap $gap ms; command took $took ms; station peak RSS $(cat "$lab_work/rss") KiB"
    [ "$boards" -eq "$expected" ] && [ "$distinct" -eq "$expected" ] || short=1
done
exit $short
