#!/usr/bin/env bash
# A forger floods a station: N boards never seen before answer every round (bench/board_sim
# --churn; default 5000), on a bridge that learns addresses, while l2station watch runs for
# SECONDS (default 600) with its history. Reports whether the rounds stayed on time (the
# rounds done against those due, and the longest gap between two rounds' lines), the watch's
# peak memory, and the history's size and rows at the end (history --stats).
#   sudo bench/churn.sh [N] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "churn.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" procps
n=${1:-5000}
seconds=${2:-600}
build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2station board_sim >/dev/null

made_app=
lab_extra_cleanup() { [ -z "$made_app" ] || rmdir /App 2>/dev/null || true; }
. scripts/lab.sh
lab_segment
lab_segment_board sim
lab_start_in "$lab_ns" "$lab_work" sim -- "$root/$build/bench/board_sim" eth1 "$n" --churn
lab_wait_for "$lab_work/sim.log" ready >/dev/null

export XDG_DATA_HOME=$lab_work/data
interval=2000
rounds=$((seconds * 1000 / interval))
started=$(date +%s.%N)
lab_on_station "$root/$build/station/l2station" watch -i seg0 --interval "$interval" --fast \
    -c "$rounds" --json ${CHURN_WATCH_OPTIONS:-} >"$lab_work/watch.jsonl" 2>"$lab_work/watch.err" &
watch=$!
peak=0
while kill -0 "$watch" 2>/dev/null; do
    pid=$(pgrep -P "$watch" -x l2station || pgrep -f "l2station watch -i seg0" | head -1 || true)
    rss=$(ps -o rss= -p "${pid:-$watch}" 2>/dev/null | tr -d ' ' || true)
    [ -n "$rss" ] && [ "$rss" -gt "$peak" ] && peak=$rss
    sleep 5
done
wait "$watch" || true
ended=$(date +%s.%N)
took=$(echo "$ended - $started" | bc)
# A round's events are printed together: its lines share their second, and consecutive
# rounds are an interval apart. The longest gap between two seconds with lines.
gap=$(python3 - "$lab_work/watch.jsonl" <<'PY'
import json, sys, datetime
times = sorted({json.loads(l)["time"] for l in open(sys.argv[1]) if l.strip()})
stamps = [datetime.datetime.fromisoformat(t).timestamp() for t in times]
print(max((b - a for a, b in zip(stamps, stamps[1:])), default=0))
PY
)
events=$(wc -l <"$lab_work/watch.jsonl")
echo "churn: $n new boards a round, $rounds rounds of ${interval} ms due in $seconds s"
echo "  watch took $took s; longest gap between two rounds' lines: $gap s; $events events"
echo "  watch peak RSS: $((peak / 1024)) MiB"
lab_on_station "$root/$build/station/l2station" history --stats
grep -v '^l2station: watching' "$lab_work/watch.err" | sort | uniq -c | head -5 || true
