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

. scripts/lab.sh
lab_link_up
log=$lab_work/agent.log
lab_start agent --udev -- valgrind --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --log-file="$lab_work/valgrind.log" \
    "$root/$build/src/l2agent" eth1
lab_wait_for "$log" "start 'eth1' dump"
st() { lab_on_station "$root/$build/station/l2station" "$@" -i st0 >/dev/null; }
st info -w 2000
st send -w 2000 "echo under valgrind"
st reset --yes
lab_wait_for "$log" "start reset all"
ip -n "$lab_board" link del eth1
lab_wait_for "$log" "start the kernel uevent"
lab_link_up
lab_wait_for "$log" "start 'eth1' dump" 2
st info -w 2000
# memcheck writes its leak summary when the agent ends on SIGTERM.
kill -TERM "$(pgrep -f "valgrind.*l2agent eth1" | head -1)"
lab_wait_for "$lab_work/valgrind.log" "ERROR SUMMARY"
grep -E "definitely lost|indirectly lost|ERROR SUMMARY" "$lab_work/valgrind.log"
grep -q "ERROR SUMMARY: 0 errors" "$lab_work/valgrind.log" || { cat "$lab_work/valgrind.log"; exit 1; }
echo "valgrind: no memory errors, no definite or indirect leaks"
