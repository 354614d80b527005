#!/usr/bin/env bash
# The build variants an integrator picks (README, "Build options"), each built with warnings as
# errors and checked:
#   -DL2_STATION=OFF  installs the agent and its files only (DESTDIR), no libudev dropped;
#   -DL2_AGENT=OFF    installs the station and its files only (with its window, and without it:
#                     -DL2_GUI=OFF, which needs no Qt Widgets);
#   -DL2_UDEV=OFF     links no libudev, and serves in the end-to-end suite's cases that need no
#                     udev daemon, run against it (the suite itself from BUILD_DIR, default build).
#   scripts/variants.sh      (as root: the end-to-end cases make network namespaces)
#   scripts/variants.sh --builds-only   only builds them (CI, beside the test stage; what is
#                            missing is not installed); a later full run builds nothing again
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
work=build-variants
mkdir -p "$work"
if [ "${1:-}" = --builds-only ]; then
    for v in "agent -DL2_STATION=OFF" "station -DL2_AGENT=OFF" \
        "station-cli -DL2_AGENT=OFF -DL2_GUI=OFF" "noudev -DL2_UDEV=OFF -DL2_STATION=OFF"; do
        set -- $v
        name=$1
        shift
        cmake -S . -B "$work/$name" -DCMAKE_INSTALL_PREFIX=/usr -DL2_WERROR=ON -DL2_BENCH=OFF \
            -DL2_E2E_TESTS=OFF "$@" >"$work/$name.log" && cmake --build "$work/$name" -j "$(nproc)" >>"$work/$name.log" 2>&1 ||
            echo "variants.sh: $name did not build (the full run says why)"
    done
    exit 0
fi
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}"
fail() { echo "variants.sh: FAIL: $*" >&2; exit 1; }

# variant NAME CMAKE_OPTIONS...: builds and installs into $work/NAME/stage; lists what it installed.
variant() {
    local name=$1
    shift
    cmake -S . -B "$work/$name" -DCMAKE_INSTALL_PREFIX=/usr -DL2_WERROR=ON -DL2_BENCH=OFF \
        -DL2_E2E_TESTS=OFF "$@" >"$work/$name.log"
    cmake --build "$work/$name" -j "$(nproc)" >>"$work/$name.log" 2>&1 ||
        { tail -20 "$work/$name.log"; fail "$name does not build"; }
    ctest --test-dir "$work/$name" -L unit >>"$work/$name.log" 2>&1 || fail "$name: unit tests"
    rm -rf "$work/$name/stage"
    DESTDIR="$PWD/$work/$name/stage" cmake --install "$work/$name" >>"$work/$name.log"
    (cd "$work/$name/stage" && find . -type f | sed 's|^\./|/|' | sort)
}

agent_files="/etc/default/l2agent
/etc/l2agent/run/resetAll.sh
/lib/systemd/system/l2agent@.service
/usr/bin/l2agent
/usr/sbin/l2agent-run
/usr/share/man/man8/l2agent.8"
station_files="/usr/bin/l2station
/usr/lib/$(gcc -print-multiarch)/wireshark/plugins/l2svc.lua
/usr/share/bash-completion/completions/l2station
/usr/share/man/man8/l2station.8"
# The window's files, among the station's in sorted order.
window_files=$(printf '%s\n' "$station_files" /usr/bin/l2station-gui \
    /usr/share/applications/l2station-gui.desktop \
    /usr/share/icons/hicolor/scalable/apps/l2station-gui.svg /usr/share/man/man1/l2station-gui.1 |
    sort)

echo "--- agent only"
got=$(variant agent -DL2_STATION=OFF)
[ "$got" = "$agent_files" ] || fail "the agent-only build installs:"$'\n'"$got"
echo "$got"
echo "--- the default prefix (/usr/local): every file of the agent's names its configuration there"
cmake -S . -B "$work/local" -DL2_STATION=OFF -DL2_TESTS=OFF -DL2_BENCH=OFF -DL2_SYSVINIT=ON \
    >"$work/local.log"
for f in l2agent-run l2agent.init l2agent@.service; do
    grep -q /usr/local/etc/default/l2agent "$work/local/packaging/$f" ||
        fail "$f of a /usr/local install does not read /usr/local/etc/default/l2agent"
    if grep -nP '(?<!/usr/local)/(etc/(default/)?l2agent|usr/s?bin/l2agent)' "$work/local/packaging/$f"; then
        fail "$f of a /usr/local install names a path of another prefix"
    fi
done
echo "l2agent-run, l2agent.init and l2agent@.service name /usr/local/etc/default/l2agent"
echo "--- station only, with its window"
got=$(variant station -DL2_AGENT=OFF)
[ "$got" = "$window_files" ] || fail "the station-only build installs:"$'\n'"$got"
echo "$got"
echo "--- station only, without its window (no Qt Widgets)"
got=$(variant station-cli -DL2_AGENT=OFF -DL2_GUI=OFF)
[ "$got" = "$station_files" ] || fail "the station build without its window installs:"$'\n'"$got"
if ldd "$work/station-cli/station/l2station" | grep -q libQt5Widgets; then
    fail "l2station links Qt Widgets"
fi
echo "$got"
echo "--- without libudev"
variant noudev -DL2_UDEV=OFF -DL2_STATION=OFF >/dev/null
if ldd "$work/noudev/src/l2agent" | grep -q libudev; then
    fail "the agent built with L2_UDEV=OFF links libudev"
fi
echo "the agent links no libudev"

# The udev-free cases of the agent's end-to-end suite, against that agent. They wait for the
# link's own notifications; the others need udevd's lines, which this build does not write.
build=${BUILD_DIR:-build}
[ -x "$build/tests/tst_agent_e2e" ] || fail "no $build/tests/tst_agent_e2e: run scripts/test.sh first"
cases=(infoWorkedExample echo foreignFramesIgnored resetRunsScript interfaceRemovedAndRecreated
    interfaceBouncedWhileBusy identitySourcesMissing recreatedWithoutUdevd deadLogReader
    resetChildGetsOnlyStdio identityHazards frameLogBytes addressesFollowChanges
    unservableInterfaceNotRetried renamedWhileServed mtuChangeReopens kernelDropsLogged
    resetFloodFolded mtuChangeLosesNoRequest stopMidBurstKeepsLines closedStdioKeepsLogOffTheWire
    renameUnderFloodActedOnAtOnce queuedInfoCarriesNewAddress linkBackServedAtOnce
    byteOrderMarkKeywords resetDuringScriptFolded stalledLogReader addressStormLeavesFreshReplies)
CI=true L2_AGENT_UDEV=0 L2_AGENT_BIN="$PWD/$work/noudev/src/l2agent" \
    "$build/tests/tst_agent_e2e" "${cases[@]}" >"$work/noudev-e2e.log" 2>&1 ||
    { grep -E "FAIL|Loc" "$work/noudev-e2e.log" | head -20; fail "the udev-free cases against L2_UDEV=OFF"; }
grep -E "^Totals" "$work/noudev-e2e.log"
echo "variants: every build installs only its own files; without libudev the agent serves"
