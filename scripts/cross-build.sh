#!/usr/bin/env bash
# Cross-builds both executables and the tests for arm64 (AArch64 boards) and runs the unit
# tests under qemu-aarch64. Installs what is missing (arm64 multiarch libraries included).
#   scripts/cross-build.sh [extra cmake options]      BUILD_DIR=build-arm64 by default
#   scripts/cross-build.sh --deps-only                 only install what a cross-build needs
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [ "$(id -u)" -eq 0 ] || { echo "cross-build.sh: run as root to add the arm64 architecture" >&2; exit 1; }
    dpkg --add-architecture arm64
    L2_APT_UPDATED=
fi
need_packages cmake pkg-config qtbase5-dev crossbuild-essential-arm64 qemu-user file \
    qtbase5-dev:arm64 libqt5sql5-sqlite:arm64 libpcap-dev:arm64 libudev-dev:arm64
[ "${1:-}" != --deps-only ] || exit 0

build=${BUILD_DIR:-build-arm64}
# Debian's libpq-dev cannot be installed for arm64 beside the host's: this build's history is
# SQLite's only (-DL2_POSTGRESQL=OFF); the arm64 Debian package, built in its own chroot, has both.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DL2_WERROR=ON \
    -DL2_POSTGRESQL=OFF "$@"
cmake --build "$build" -j "$(nproc)"
file "$build/src/l2agent" "$build/station/l2station"
# The unit tests run under qemu-aarch64 (CMAKE_CROSSCOMPILING_EMULATOR).
ctest --test-dir "$build" --output-on-failure -L unit
