#!/usr/bin/env bash
# Benchmarks l2agent (board and station each in a network namespace) against two references:
# a raw AF_PACKET echo, the floor, on a second link and measured in turn with the agent in the
# same run, and the classic pcap_open_live capture (500 ms timeout, no immediate mode). Prints
# a table with the ratios to the floor and writes it to bench/RESULTS.md.
#   sudo bench/run.sh      ROUNDS=5 RTT_COUNT=5000 CLASSIC_COUNT=10 to change the sample sizes
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "bench/run.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}"

build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2bench classic_responder raw_responder >/dev/null

rtt_count=${RTT_COUNT:-5000}
classic_count=${CLASSIC_COUNT:-10}
rounds=${ROUNDS:-5}
. scripts/lab.sh
lab_link_up 192.0.2.25/24
# The floor's own link, so that the agent and the floor take turns in the same run and the
# machine's noise falls on both alike.
ip -n "$lab_board" link add eth2 type veth peer name st1 netns "$lab_station"
ip -n "$lab_board" link set eth2 up
ip -n "$lab_station" link set st1 up

bench() { lab_on_station "$root/$build/bench/l2bench" "$@"; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
agent_pid() { pgrep -n -f "$root/$build/src/l2agent eth1"; }
median() { tr ' ' '\n' | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

declare -A R
lab_start agent --udev -- "$root/$build/src/l2agent" eth1
agent_log=$lab_work/agent.log
lab_wait_for "$agent_log" "start 'eth1' dump"
lab_start raw -- "$root/$build/bench/raw_responder" eth2
lab_wait_for "$lab_work/raw.log" ready
declare -a ae ai re ri
for ((r = 1; r <= rounds; r++)); do
    ae+=("$(bench rtt st0 echo "$rtt_count" | field median_us)")
    re+=("$(bench rtt st1 echo "$rtt_count" | field median_us)")
    ai+=("$(bench rtt st0 info "$rtt_count" | field median_us)")
    ri+=("$(bench rtt st1 info "$rtt_count" | field median_us)")
    for n in 100 200 1000; do
        R[agent.burst$n]+="$(bench burst st0 "$n" | field answered) "
        R[raw.burst$n]+="$(bench burst st1 "$n" | field answered) "
    done
done
R[agent.echo]=$(echo "${ae[*]}" | median)
R[raw.echo]=$(echo "${re[*]}" | median)
R[agent.info]=$(echo "${ai[*]}" | median)
R[raw.info]=$(echo "${ri[*]}" | median)
R[echo.ratio]=$(ratio "${R[agent.echo]}" "${R[raw.echo]}")
R[info.ratio]=$(ratio "${R[agent.info]}" "${R[raw.echo]}")
p=$(agent_pid)
R[agent.rss_serving]=$(rss_kib "$p")
R[agent.fds]=$(ls "/proc/$p/fd" | wc -l)
t0=$(ticks "$p")
sleep 10
R[agent.idle_capture]=$(($(ticks "$p") - t0))
bench flood st0 100000 >/dev/null
R[agent.rss_flood]=$(rss_kib "$p")
# Link taken down: the capture ends and the agent waits for it to come up, using no
# processor time (libpcap alone would poll the down link every millisecond).
starts=$(grep -c "start 'eth1' dump" "$agent_log")
ip -n "$lab_board" link set eth1 down
lab_wait_for "$agent_log" "link 'eth1' down"
lab_wait_for "$agent_log" "start the kernel uevent"
t0=$(ticks "$p")
sleep 10
R[agent.idle_down]=$(($(ticks "$p") - t0))
up=$(date +%s%N)
ip -n "$lab_board" link set eth1 up
lab_wait_for "$agent_log" "start 'eth1' dump" $((starts + 1))
R[agent.up_to_capture]=$((($(date +%s%N) - up) / 1000000))
# Interface gone: the agent ends up blocked on udev until the network changes. It is idle
# once its log stays still for longer than its 3 s pause.
ip -n "$lab_board" link del eth1
lab_wait_for "$agent_log" "stop 'eth1' dump"
size=-1 still=0
while [ "$still" -lt 16 ]; do
    if [ "$(stat -c %s "$agent_log")" = "$size" ]; then still=$((still + 1)); else still=0; fi
    size=$(stat -c %s "$agent_log")
    sleep 0.25
done
tail -1 "$agent_log" | grep -q "start the kernel uevent" || { echo "bench: agent not waiting" >&2; exit 1; }
t0=$(ticks "$p")
sleep 10
R[agent.idle_wait]=$(($(ticks "$p") - t0))
for q in "${lab_pids[@]}"; do kill -- -"$q" 2>/dev/null || true; done
lab_pid=
lab_link_up 192.0.2.25/24

# The classic capture holds every frame for its 500 ms timeout: a few round trips suffice.
lab_start classic -- "$root/$build/bench/classic_responder" eth1
lab_wait_for "$lab_work/classic.log" ready
R[classic.echo]=$(bench rtt st0 echo "$classic_count" | field median_us)
R[classic.info]=$(bench rtt st0 info "$classic_count" | field median_us)
for n in 100 200 1000; do R[classic.burst$n]="$(bench burst st0 "$n" | field answered)"; done
lab_stop

hz=$(getconf CLK_TCK)
cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)
table=$(cat <<EOT
| measure | l2agent | raw AF_PACKET floor | ratio | classic pcap_open_live |
|---|---|---|---|---|
| echo round trip, median of $rounds round medians (µs) | ${R[agent.echo]} | ${R[raw.echo]} | ${R[echo.ratio]} | ${R[classic.echo]} |
| info round trip, median of $rounds round medians (µs) | ${R[agent.info]} | ${R[raw.info]} | ${R[info.ratio]} (÷ floor's echo) | ${R[classic.info]} |
| burst of 100 answered, per round | ${R[agent.burst100]} | ${R[raw.burst100]} | | ${R[classic.burst100]} |
| burst of 200 answered, per round | ${R[agent.burst200]} | ${R[raw.burst200]} | | ${R[classic.burst200]} |
| burst of 1000 answered, per round | ${R[agent.burst1000]} | ${R[raw.burst1000]} | | ${R[classic.burst1000]} |

| l2agent resources | value |
|---|---|
| resident memory while serving (after the rounds) | ${R[agent.rss_serving]} KiB |
| resident memory after 100,000 mixed frames | ${R[agent.rss_flood]} KiB |
| open file descriptors while capturing | ${R[agent.fds]} |
| processor time over 10 s idle, capturing | ${R[agent.idle_capture]} ticks (1 tick = $((1000 / hz)) ms) |
| processor time over 10 s with the link down | ${R[agent.idle_down]} ticks |
| link up to capturing again (the 3 s pause included) | ${R[agent.up_to_capture]} ms |
| processor time over 10 s idle, waiting for udev | ${R[agent.idle_wait]} ticks |
EOT
)
# Only this script's own section of RESULTS.md is rewritten; the others come from other
# commands.
section=$(
    echo "<!-- begin bench/run.sh -->"
    echo "Written by \`sudo bench/run.sh\` on $(date -u +%Y-%m-%d): $(uname -srm), $(nproc) cores, ${cpu:-unknown CPU}, libpcap $(dpkg-query -W -f='${Version}' libpcap0.8 2>/dev/null || echo '?')."
    echo "Two veth links between two network namespaces, the agent on one and the raw floor on the other, measured in turn over $rounds rounds of $rtt_count stop-and-wait round trips each ($classic_count for the classic capture, which holds every frame for its 500 ms timeout). Only the ratios carry over to another machine."
    echo
    echo "$table"
    echo "<!-- end bench/run.sh -->"
)
results=bench/RESULTS.md
if grep -q '^<!-- begin bench/run.sh -->$' "$results" 2>/dev/null; then
    SECTION=$section awk '
        /^<!-- begin bench\/run.sh -->$/ { print ENVIRON["SECTION"]; skip = 1; next }
        /^<!-- end bench\/run.sh -->$/ { skip = 0; next }
        !skip' "$results" >"$results.new"
    mv "$results.new" "$results"
else
    printf '# Benchmark results\n\n%s\n' "$section" >"$results"
fi
echo "$table"
