#!/usr/bin/env bash
# Benchmarks l2agent (board and station each in a network namespace) against a raw AF_PACKET
# echo, the floor, and, with BEFORE=REF, against the agent of an earlier commit, all measured in
# turn in the same run, each on a link of its own. The agent, the floor and the client are
# pinned to one processor: between two processors a round trip on a VM is mostly the other
# processor's wake-up (50-60 us), which hides the responder's own work. So the main figure is
# processor time per answered frame (/proc/PID/schedstat, requests 50 us apart), with round
# trips beside it. Then bursts, memory, idle processor time, and the classic capture
# (pcap_open_live, 500 ms timeout) for reference. Prints a table with the ratios to the floor
# and writes it to bench/RESULTS.md.
#   sudo [BEFORE=7cceec7] bench/run.sh
#   ROUNDS=5 PACED_COUNT=20000 RTT_COUNT=5000 CLASSIC_COUNT=10 change the sample sizes
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "bench/run.sh: run as root" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" util-linux

build=bench/work/build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DL2_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2bench classic_responder raw_responder >/dev/null
before=${BEFORE:-}
if [ -n "$before" ]; then
    # The earlier agent, built the same way from that commit's own tree.
    rm -rf bench/work/before
    mkdir -p bench/work/before
    git archive "$before" | tar -x -C bench/work/before
    cmake -S bench/work/before -B bench/work/before/build -DCMAKE_BUILD_TYPE=Release \
        -DL2_TESTS=OFF -DL2_WERROR=OFF >/dev/null
    cmake --build bench/work/before/build -j "$(nproc)" --target l2agent >/dev/null
fi

rounds=${ROUNDS:-5}
paced_count=${PACED_COUNT:-20000}
rtt_count=${RTT_COUNT:-5000}
classic_count=${CLASSIC_COUNT:-10}
. scripts/lab.sh
lab_link_up 192.0.2.25/24
# One link per responder, so that they take turns in the same run and the machine's noise falls
# on all alike.
extra_link() { # BOARD_SIDE STATION_SIDE
    ip -n "$lab_board" link add "$1" type veth peer name "$2" netns "$lab_station"
    ip -n "$lab_board" link set "$1" up
    ip -n "$lab_station" link set "$2" up
}
extra_link eth2 st1
[ -z "$before" ] || extra_link eth3 st2

bench() { lab_on_station taskset -c 0 "$root/$build/bench/l2bench" "$@"; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
cpu_ns() { awk '{print $1}' "/proc/$1/schedstat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

declare -A R LINK PID
lab_start agent --udev -- taskset -c 0 "$root/$build/src/l2agent" eth1
lab_wait_for "$lab_work/agent.log" "start 'eth1' dump"
PID[agent]=$(pgrep -n -f "$root/$build/src/l2agent eth1")
lab_start raw -- taskset -c 0 "$root/$build/bench/raw_responder" eth2
lab_wait_for "$lab_work/raw.log" ready
PID[raw]=$(pgrep -n -f "$root/$build/bench/raw_responder eth2")
LINK[agent]=st0 LINK[raw]=st1
subjects=(agent raw)
if [ -n "$before" ]; then
    lab_start before --udev -- taskset -c 0 "$root/bench/work/before/build/src/l2agent" eth3
    lab_wait_for "$lab_work/before.log" "start 'eth3' dump"
    PID[before]=$(pgrep -n -f "bench/work/before/build/src/l2agent eth3")
    LINK[before]=st2
    subjects+=(before)
fi
# Processor time of one responder per answered request, requests 50 us apart.
cpu_per_frame() { # SUBJECT KIND
    local t0 out answered
    t0=$(cpu_ns "${PID[$1]}")
    out=$(bench paced "${LINK[$1]}" "$2" "$paced_count" 50)
    answered=$(field answered <<<"$out")
    awk -v d="$(($(cpu_ns "${PID[$1]}") - t0))" -v n="$answered" 'BEGIN {printf "%.2f", d / n / 1000}'
}
for s in "${subjects[@]}"; do bench paced "${LINK[$s]}" echo 2000 50 >/dev/null; done # warm-up
for ((r = 1; r <= rounds; r++)); do
    for s in "${subjects[@]}"; do
        R[$s.cpu_echo]+="$(cpu_per_frame "$s" echo) "
        R[$s.cpu_info]+="$(cpu_per_frame "$s" info) "
        R[$s.rtt_echo]+="$(bench rtt "${LINK[$s]}" echo "$rtt_count" | field median_us) "
        R[$s.rtt_info]+="$(bench rtt "${LINK[$s]}" info "$rtt_count" | field median_us) "
        R[$s.burst1000]+="$(bench burst "${LINK[$s]}" 1000 | field answered) "
    done
done
for s in "${subjects[@]}"; do
    for m in cpu_echo cpu_info rtt_echo rtt_info; do
        R[$s.$m.median]=$(echo "${R[$s.$m]}" | median)
    done
done
for m in cpu_echo cpu_info rtt_echo rtt_info; do
    R[agent.$m.ratio]=$(ratio "${R[agent.$m.median]}" "${R[raw.$m.median]}")
    [ -z "$before" ] || R[before.$m.ratio]=$(ratio "${R[before.$m.median]}" "${R[raw.$m.median]}")
done
p=${PID[agent]}
R[agent.rss_serving]=$(rss_kib "$p")
R[agent.fds]=$(ls "/proc/$p/fd" | wc -l)
t0=$(ticks "$p")
sleep 10
R[agent.idle_capture]=$(($(ticks "$p") - t0))
bench flood st0 100000 >/dev/null
R[agent.rss_flood]=$(rss_kib "$p")
# Link taken down: the capture ends and the agent waits for it to come up, using no
# processor time (libpcap alone would poll the down link every millisecond).
agent_log=$lab_work/agent.log
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
R[classic.echo]=$(lab_on_station "$root/$build/bench/l2bench" rtt st0 echo "$classic_count" | field median_us)
R[classic.burst1000]=$(lab_on_station "$root/$build/bench/l2bench" burst st0 1000 | field answered)
lab_stop

hz=$(getconf CLK_TCK)
cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)
row() { # LABEL METRIC UNIT
    local line="| $1 | ${R[agent.$2.median]} | ${R[raw.$2.median]} | ${R[agent.$2.ratio]}"
    [ -z "$before" ] || line+=" | ${R[before.$2.median]} | ${R[before.$2.ratio]}"
    echo "$line |"
}
header="| measure, median of $rounds rounds | l2agent | raw AF_PACKET floor | l2agent ÷ floor"
rule="|---|---|---|---"
if [ -n "$before" ]; then
    header+=" | l2agent at $before | ÷ floor"
    rule+="|---|---"
fi
bursts="| burst of 1000 answered, per round | ${R[agent.burst1000]} | ${R[raw.burst1000]} |"
[ -z "$before" ] || bursts+=" | ${R[before.burst1000]} |"
table=$(cat <<EOT
$header |
$rule|
$(row "processor time per answered echo (µs)" cpu_echo)
$(row "processor time per answered info (µs)" cpu_info)
$(row "echo round trip (µs)" rtt_echo)
$(row "info round trip (µs)" rtt_info)
$bursts

| l2agent resources | value |
|---|---|
| resident memory while serving (after the rounds) | ${R[agent.rss_serving]} KiB |
| resident memory after 100,000 mixed frames | ${R[agent.rss_flood]} KiB |
| open file descriptors while capturing | ${R[agent.fds]} |
| processor time over 10 s idle, capturing | ${R[agent.idle_capture]} ticks (1 tick = $((1000 / hz)) ms) |
| processor time over 10 s with the link down | ${R[agent.idle_down]} ticks |
| link taken down and up: up to capturing again | ${R[agent.up_to_capture]} ms |
| processor time over 10 s idle, waiting for udev | ${R[agent.idle_wait]} ticks |
| classic pcap_open_live: echo round trip, burst of 1000 answered | ${R[classic.echo]} µs, ${R[classic.burst1000]} |
EOT
)
# Only this script's own section of RESULTS.md is rewritten; the others come from other
# commands.
section=$(
    echo "<!-- begin bench/run.sh -->"
    echo "Written by \`sudo${before:+ BEFORE=$before} bench/run.sh\` on $(date -u +%Y-%m-%d): $(uname -srm), $(nproc) cores, ${cpu:-unknown CPU}, libpcap $(dpkg-query -W -f='${Version}' libpcap0.8 2>/dev/null || echo '?')."
    echo "One veth link per responder between two network namespaces; the responders and the client pinned to processor 0 and measured in turn over $rounds rounds: $paced_count requests 50 µs apart for the processor time (/proc/PID/schedstat), $rtt_count stop-and-wait round trips. Per-round values for each round; only the ratios carry over to another machine."
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
for s in "${subjects[@]}"; do
    echo "$s per round: cpu echo ${R[$s.cpu_echo]}| cpu info ${R[$s.cpu_info]}| rtt echo ${R[$s.rtt_echo]}"
done
