#!/usr/bin/env bash
# Builds the Debian packages l2agent and l2station, with their -dbgsym packages, for amd64
# (native) and arm64 (cross) into out/, with dpkg-buildpackage from debian/. Each build runs
# in a copy of the tree under build-deb/, as from a source package, so the work tree stays
# clean and the two architectures do not share a build directory.
#   scripts/package.sh [ARCH...]      default: amd64 arm64
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${L2_BUILD_PACKAGES[@]}" dpkg-dev debhelper file
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 arm64)
native=$(dpkg --print-architecture)
rm -rf out
mkdir -p out
for arch in "${archs[@]}"; do
    stage=build-deb/$arch
    rm -rf "$stage"
    mkdir -p "$stage/src"
    tar --exclude-vcs --exclude='./build*' --exclude=./out -cf - . | tar -C "$stage/src" -xf -
    if [ "$arch" = "$native" ]; then
        (cd "$stage/src" && dpkg-buildpackage -b -us -uc) >"$stage/build.log" 2>&1 ||
            { tail -30 "$stage/build.log"; exit 1; }
    else
        # The cross toolchain and the host architecture's libraries, as the cross-build uses.
        scripts/cross-build.sh --deps-only
        (cd "$stage/src" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc -a"$arch" -d) \
            >"$stage/build.log" 2>&1 || { tail -30 "$stage/build.log"; exit 1; }
    fi
    cp "$stage"/*.deb "$stage"/*.ddeb out/ 2>/dev/null || cp "$stage"/*.deb out/
done
for deb in out/*.deb; do
    printf '%s  %s bytes, Installed-Size %s KiB, Depends: %s\n' "$deb" "$(stat -c %s "$deb")" \
        "$(dpkg-deb -f "$deb" Installed-Size)" "$(dpkg-deb -f "$deb" Depends)"
done
