#!/usr/bin/env bash
# How l2station-gui starts on a segment of N simulated boards in board-address mode (default
# 100; bench/board_sim on a learning bridge): when the window is shown, when the first round has
# listed every board, its memory then and after five rounds, and its peak; RUNS times (default 3),
# each with a fresh history. Offscreen; the figures go to bench/RESULTS.md.
#   sudo bench/gui-scale.sh [N] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "gui-scale.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" time
n=${1:-100}
runs=${2:-3}
build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target board_sim gui_startup >/dev/null

. scripts/lab.sh
lab_segment
lab_segment_board sim
lab_start_in "$lab_ns" "$lab_work" sim -- "$root/$build/bench/board_sim" eth1 "$n"
lab_wait_for "$lab_work/sim.log" ready >/dev/null
for run in $(seq "$runs"); do
    data=$(mktemp -d)
    start=$(date +%s%N)
    line=$(lab_on_station env QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$data" \
        /usr/bin/time -f '%M' -o "$lab_work/rss" "$root/$build/bench/gui_startup" seg0 "$n" 2>/dev/null)
    took=$((($(date +%s%N) - start) / 1000000))
    echo "run $run: $line; peak RSS $(cat "$lab_work/rss") KiB; process ran $took ms"
    rm -rf "$data"
done
