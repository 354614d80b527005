#!/usr/bin/env bash
# Builds the Debian packages l2agent and l2station for amd64 (native) and arm64 (cross) into
# out/, with runtime dependencies computed by dpkg-shlibdeps.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${L2_BUILD_PACKAGES[@]}" dpkg-dev file
mkdir -p out
package() { # build-dir [cmake options]
    local build=$1
    shift
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DL2_TESTS=OFF "$@" >/dev/null
    cmake --build "$build" -j "$(nproc)" >/dev/null
    (cd "$build" && cpack -G DEB >/dev/null)
    cp "$build"/*.deb out/
}
package build-pkg-amd64
# The arm64 libraries and toolchain come from the cross-build's own install step.
BUILD_DIR=build-pkg-arm64 scripts/cross-build.sh -DCMAKE_BUILD_TYPE=Release >/dev/null
package build-pkg-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
for deb in out/*.deb; do
    printf '%s  %s bytes, Installed-Size %s KiB, Depends: %s\n' "$deb" "$(stat -c %s "$deb")" \
        "$(dpkg-deb -f "$deb" Installed-Size)" "$(dpkg-deb -f "$deb" Depends)"
done
