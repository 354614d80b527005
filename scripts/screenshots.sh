#!/usr/bin/env bash
# Makes the README's pictures of l2station-gui under Xvfb, against a demo segment of five
# agents in network namespaces (one board goes away, one changes): doc/screenshots/*.png.
#   sudo scripts/screenshots.sh          BUILD_DIR=build by default
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${L2_BUILD_PACKAGES[@]}" "${L2_TEST_PACKAGES[@]}" xvfb xauth fonts-dejavu-core

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DL2_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target gui_screenshots l2agent
mkdir -p doc/screenshots
# A desktop's usual size and depth; the window sets its own size. Then a netbook's 1024x600
# screen, and a dark palette with a reset under way.
shot() {
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 $1x24" \
        "$build/tests/gui_screenshots" "$PWD/doc/screenshots" "$2"
}
shot 1280x800 main
shot 1024x600 small
shot 1280x800 dark
ls -l doc/screenshots
