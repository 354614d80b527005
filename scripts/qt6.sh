#!/usr/bin/env bash
# The Qt 6 build (Debian 12's qt6-base-dev): everything built with warnings as errors against
# Qt 6, its unit tests, and the agent's and the station's end-to-end suites (built by
# scripts/test.sh against Qt 5, in BUILD_DIR) run against the Qt 6 programs, so that the replies
# and log lines are byte for byte the same on both.
#   scripts/qt6.sh      (as root: the end-to-end suites make network namespaces)
#   scripts/qt6.sh --deps-only      only install what it needs
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" "${L2_QT6_PACKAGES[@]}"
[ "${1:-}" != --deps-only ] || exit 0
fail() { echo "qt6.sh: FAIL: $*" >&2; exit 1; }
build=${BUILD_DIR:-build}
[ -x "$build/tests/tst_agent_e2e" ] || fail "no $build/tests/tst_agent_e2e: run scripts/test.sh first"
qt6=build-qt6
mkdir -p "$qt6"
cmake -S . -B "$qt6" -DL2_QT_MAJOR=6 -DL2_WERROR=ON -DL2_E2E_TESTS=OFF -DL2_BENCH=OFF >"$qt6/qt6.log"
grep -q "^-- Qt 6\." "$qt6/qt6.log" || fail "the build did not find Qt 6"
cmake --build "$qt6" -j "$(nproc)" >>"$qt6/qt6.log" 2>&1 || { tail -30 "$qt6/qt6.log"; fail "the Qt 6 build"; }
if ldd "$qt6/src/l2agent" | grep -q libQt5; then
    fail "the Qt 6 agent links Qt 5"
fi
ctest --test-dir "$qt6" -L unit --output-on-failure
for suite in tst_agent_e2e tst_station_e2e; do
    echo "--- $suite against the Qt 6 agent and station"
    CI=true L2_AGENT_BIN="$PWD/$qt6/src/l2agent" L2_STATION_BIN="$PWD/$qt6/station/l2station" \
        "$build/tests/$suite" >"$qt6/$suite.log" 2>&1 ||
        { grep -E "^(FAIL|   Loc)" "$qt6/$suite.log" | head -20; fail "$suite against Qt 6"; }
    grep -E "^Totals" "$qt6/$suite.log"
done
echo "qt6: builds without warnings; unit tests and both end-to-end suites pass against Qt 6"
