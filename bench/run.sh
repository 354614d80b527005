#!/usr/bin/env bash
# Benchmarks l2agent on one veth link (board and station each in a network namespace) against
# two references: the classic pcap_open_live capture (500 ms timeout, no immediate mode) and a
# raw AF_PACKET echo, the floor. Prints a table and writes it to bench/RESULTS.md.
#   sudo bench/run.sh            RTT_COUNT=5000 CLASSIC_COUNT=10 to change the sample sizes
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
. scripts/lab.sh
lab_link_up 192.0.2.25/24

bench() { lab_on_station "$root/$build/bench/l2bench" "$@"; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
agent_pid() { pgrep -n -f "$root/$build/src/l2agent eth1"; }

declare -A R
run_responder() { # name count command...
    local name=$1 count=$2
    shift 2
    local log=$lab_work/$name.log
    lab_start "$name" --udev -- "$@"
    if [ "$name" = agent ]; then lab_wait_for "$log" "start 'eth1' dump"; else lab_wait_for "$log" ready; fi
    local e i
    e=$(bench rtt st0 echo "$count")
    i=$(bench rtt st0 info "$count")
    R[$name.echo]="$(echo "$e" | field median_us) / $(echo "$e" | field p99_us)"
    R[$name.info]="$(echo "$i" | field median_us) / $(echo "$i" | field p99_us)"
    for n in 100 200 1000; do
        local got=()
        for _ in 1 2 3; do got+=("$(bench burst st0 "$n" | field answered)"); done
        R[$name.burst$n]="${got[*]}"
    done
    if [ "$name" = agent ]; then
        local p
        p=$(agent_pid)
        R[agent.rss_start]=$(rss_kib "$p")
        local t0
        t0=$(ticks "$p")
        sleep 10
        R[agent.idle_capture]=$(($(ticks "$p") - t0))
        bench flood st0 100000 >/dev/null
        R[agent.rss_flood]=$(rss_kib "$p")
        R[agent.fds]=$(ls "/proc/$p/fd" | wc -l)
        # Link taken down: the capture ends and the agent waits for it to come up, using no
        # processor time (libpcap alone would poll the down link every millisecond).
        local starts up
        starts=$(grep -c "start 'eth1' dump" "$log")
        ip -n "$lab_board" link set eth1 down
        lab_wait_for "$log" "link 'eth1' down"
        lab_wait_for "$log" "start the kernel uevent"
        t0=$(ticks "$p")
        sleep 10
        R[agent.idle_down]=$(($(ticks "$p") - t0))
        up=$(date +%s%N)
        ip -n "$lab_board" link set eth1 up
        lab_wait_for "$log" "start 'eth1' dump" $((starts + 1))
        R[agent.up_to_capture]=$((($(date +%s%N) - up) / 1000000))
        # Interface gone: the agent ends up blocked on udev until the network changes. It is
        # idle once its log stays still for longer than its 3 s pause.
        ip -n "$lab_board" link del eth1
        lab_wait_for "$log" "stop 'eth1' dump"
        local size=-1 still=0
        while [ "$still" -lt 16 ]; do
            if [ "$(stat -c %s "$log")" = "$size" ]; then still=$((still + 1)); else still=0; fi
            size=$(stat -c %s "$log")
            sleep 0.25
        done
        tail -1 "$log" | grep -q "start the kernel uevent" || { echo "bench: agent not waiting" >&2; exit 1; }
        t0=$(ticks "$p")
        sleep 10
        R[agent.idle_wait]=$(($(ticks "$p") - t0))
        lab_link_up 192.0.2.25/24
    fi
    lab_stop
}

run_responder agent "$rtt_count" "$root/$build/src/l2agent" eth1
run_responder classic "$classic_count" "$root/$build/bench/classic_responder" eth1
run_responder raw "$rtt_count" "$root/$build/bench/raw_responder" eth1

hz=$(getconf CLK_TCK)
cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)
table=$(cat <<EOT
| measure | l2agent | classic pcap_open_live | raw AF_PACKET floor |
|---|---|---|---|
| echo round trip, median / p99 (µs) | ${R[agent.echo]} | ${R[classic.echo]} | ${R[raw.echo]} |
| info round trip, median / p99 (µs) | ${R[agent.info]} | ${R[classic.info]} | ${R[raw.info]} |
| burst of 100 answered (3 runs) | ${R[agent.burst100]} | ${R[classic.burst100]} | ${R[raw.burst100]} |
| burst of 200 answered (3 runs) | ${R[agent.burst200]} | ${R[classic.burst200]} | ${R[raw.burst200]} |
| burst of 1000 answered (3 runs) | ${R[agent.burst1000]} | ${R[classic.burst1000]} | ${R[raw.burst1000]} |

| l2agent resources | value |
|---|---|
| resident memory after start | ${R[agent.rss_start]} KiB |
| resident memory after 100,000 mixed frames | ${R[agent.rss_flood]} KiB |
| open file descriptors while capturing | ${R[agent.fds]} |
| processor time over 10 s idle, capturing | ${R[agent.idle_capture]} ticks (1 tick = $((1000 / hz)) ms) |
| processor time over 10 s with the link down | ${R[agent.idle_down]} ticks |
| link up to capturing again (the 3 s pause included) | ${R[agent.up_to_capture]} ms |
| processor time over 10 s idle, waiting for udev | ${R[agent.idle_wait]} ticks |
EOT
)
{
    echo "# Benchmark results"
    echo
    echo "Written by \`sudo bench/run.sh\` on $(date -u +%Y-%m-%d): $(uname -srm), $(nproc) cores, ${cpu:-unknown CPU}, libpcap $(dpkg-query -W -f='${Version}' libpcap0.8 2>/dev/null || echo '?')."
    echo "One veth link between two network namespaces; stop-and-wait round trips over $rtt_count requests ($classic_count for the classic capture, which holds every frame for its 500 ms timeout)."
    echo
    echo "$table"
} >bench/RESULTS.md
echo "$table"
