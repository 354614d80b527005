#!/usr/bin/env bash
# Shows l2agent at work without a board: a virtual link between two network namespaces, the
# agent on the board side (eth1, in board-address mode) with sample identity files, and
# l2station on the station side sending an info request, an echo, a reset request and pings.
# Cleans up after itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "demo.sh: run as root (sudo scripts/demo.sh)" >&2; exit 1; }
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}"

build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target l2agent l2station >/dev/null

made_app=
lab_extra_cleanup() { [ -z "$made_app" ] || rmdir /App 2>/dev/null || true; }
. scripts/lab.sh

# The board: identity files and a stand-in blkid; the reset script is in its working directory.
mkdir -p "$lab_work/app/bin" "$lab_work/app/cfg" "$lab_work/bin"
printf 'BOARD-A7\n2.3.1\n' >"$lab_work/app/bin/version"
printf 'PX0042\n' >"$lab_work/app/cfg/ID.txt"
printf '#!/bin/sh\necho "/dev/mmcblk0: PTUUID=\\"5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\\" PTTYPE=\\"gpt\\""\n' >"$lab_work/bin/blkid"
chmod +x "$lab_work/bin/blkid"
[ -d /App ] || made_app=1

lab_link_up 192.0.2.25/24
lab_start agent --udev --app "$lab_work/app" --path "$lab_work/bin" -- "$root/$build/src/l2agent" --board-address eth1
lab_wait_for "$lab_work/agent.log" "start 'eth1' dump"

st() {
    echo
    echo "\$ l2station $(printf '%q ' "$@")-i st0"
    lab_on_station "$root/$build/station/l2station" "$@" -i st0 || true
}
st info -w 300
st send -w 300 "hello board"
st reset --yes
lab_wait_for "$lab_work/reset.log" "reset" || true
echo
echo "--- the board's reset.log"
cat "$lab_work/reset.log" 2>/dev/null || echo "(none)"
st ping -c 3 --interval 200 -W 300
echo
echo "--- the agent's log (standard error)"
cat "$lab_work/agent.log"
