#!/usr/bin/env bash
# Builds the Debian source package and, from it, the binary packages l2agent and l2station with
# their -dbgsym packages, into out/:
#   1. the release tarball (scripts/release.sh: l2agent-VERSION.tar.gz, debian/ left out) as
#      the upstream one, l2agent_VERSION.orig.tar.gz, and the source package (3.0 (quilt)):
#      .dsc, .debian.tar.xz, _source.changes;
#   2. every binary package from that .dsc in a clean chroot with sbuild (unshare mode, no
#      daemon, no root needed inside): amd64 natively, with the unit tests, and arm64 as a
#      cross build (nocheck).
# The chroot is a bookworm buildd tarball made with mmdebstrap and kept in $L2_SBUILD_CACHE
# (default /var/cache/l2agent-sbuild); apt updates it at every build.
#   scripts/package.sh [ARCH...]           default: amd64 arm64
#   scripts/package.sh --direct [ARCH...]  development fast path: dpkg-buildpackage -b in a
#                                          copy of this tree, no source package, no chroot
#   scripts/package.sh --deps-only         only install what the chroot builds need
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
direct=
[ "${1:-}" = --direct ] && { direct=1; shift; }
need_packages "${L2_BUILD_PACKAGES[@]}" dpkg-dev debhelper file
chroot_packages=(sbuild mmdebstrap uidmap xz-utils)
[ "${1:-}" != --deps-only ] || { need_packages "${chroot_packages[@]}"; exit 0; }
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 arm64)
native=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
export SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -S Timestamp)
rm -rf out build-deb
mkdir -p out build-deb

# This tree as a release: no VCS, no build output.
copy_tree() { # DIR [extra tar excludes]
    mkdir -p "$1"
    tar --exclude-vcs --exclude='./build*' --exclude=./out --exclude=./bench/work "${@:2}" -cf - . |
        tar -C "$1" -xf -
}

if [ -n "$direct" ]; then
    for arch in "${archs[@]}"; do
        stage=build-deb/$arch
        copy_tree "$stage/src"
        if [ "$arch" = "$native" ]; then
            (cd "$stage/src" && dpkg-buildpackage -b -us -uc) >"$stage/build.log" 2>&1 ||
                { tail -30 "$stage/build.log"; exit 1; }
        else
            scripts/cross-build.sh --deps-only
            (cd "$stage/src" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc -a"$arch" -d) \
                >"$stage/build.log" 2>&1 || { tail -30 "$stage/build.log"; exit 1; }
        fi
        cp "$stage"/*.deb "$stage"/*.ddeb out/ 2>/dev/null || cp "$stage"/*.deb out/
    done
else
    need_packages "${chroot_packages[@]}"
    # sbuild's unshare mode maps the chroot's users to a range of the caller's own.
    for f in /etc/subuid /etc/subgid; do
        grep -q "^$(id -un):" "$f" 2>/dev/null || echo "$(id -un):1000000:65536" >>"$f"
    done
    # 1. The release tarball, the same bytes an integrator pins, as the upstream one; and the
    # source package.
    t0=$SECONDS
    scripts/release.sh build-deb >/dev/null
    cp "build-deb/l2agent-$upstream.tar.gz" "build-deb/l2agent_$upstream.orig.tar.gz"
    # dpkg-source finds the upstream tarball beside the unpacked source.
    mkdir -p build-deb/src
    cp "build-deb/l2agent_$upstream.orig.tar.gz" build-deb/src/
    tar -C build-deb/src -xzf "build-deb/l2agent_$upstream.orig.tar.gz"
    cp -a debian "build-deb/src/l2agent-$upstream/"
    (cd "build-deb/src/l2agent-$upstream" && dpkg-buildpackage -S -us -uc -d) \
        >build-deb/source.log 2>&1 || { tail -30 build-deb/source.log; exit 1; }
    cp build-deb/src/l2agent_"$version".dsc build-deb/src/l2agent_"$version".debian.tar.xz \
        build-deb/src/l2agent_"$version"_source.changes build-deb/src/l2agent_"$version"_source.buildinfo \
        "build-deb/l2agent_$upstream.orig.tar.gz" "build-deb/l2agent-$upstream.tar.gz" \
        "build-deb/l2agent-$upstream.tar.gz.sha256" out/
    echo "source package: $((SECONDS - t0)) s"

    # 2. The clean chroot, then one sbuild run per architecture.
    cache=${L2_SBUILD_CACHE:-/var/cache/l2agent-sbuild}
    mkdir -p "$cache"
    chroot_tar=$cache/bookworm-$native.tar
    if [ ! -s "$chroot_tar" ]; then
        t0=$SECONDS
        # mmdebstrap takes the format from the name's ending.
        mmdebstrap --variant=buildd --mode=unshare bookworm "$cache/new.tar" "$(debian_mirror)" \
            >build-deb/mmdebstrap.log 2>&1 || { tail -30 build-deb/mmdebstrap.log; exit 1; }
        mv "$cache/new.tar" "$chroot_tar"
        echo "chroot: $((SECONDS - t0)) s"
    fi
    for arch in "${archs[@]}"; do
        t0=$SECONDS
        opts=(--arch="$native")
        if [ "$arch" != "$native" ]; then
            opts=(--host="$arch" --build="$native" --profiles=cross,nocheck)
        fi
        (cd out && DEB_BUILD_OPTIONS="parallel=$(nproc)$([ "$arch" = "$native" ] || echo ' nocheck')" \
            sbuild --chroot-mode=unshare --chroot="$chroot_tar" --dist=bookworm "${opts[@]}" \
            --no-run-lintian --no-run-piuparts --no-run-autopkgtest --no-apt-upgrade \
            --no-apt-distupgrade --build-dir=. "l2agent_$version.dsc") \
            >"build-deb/sbuild-$arch.log" 2>&1 || { tail -40 "build-deb/sbuild-$arch.log"; exit 1; }
        echo "$arch binary packages (sbuild): $((SECONDS - t0)) s"
    done
fi
for deb in out/*.deb; do
    printf '%s  %s bytes, Installed-Size %s KiB, Depends: %s\n' "$deb" "$(stat -c %s "$deb")" \
        "$(dpkg-deb -f "$deb" Installed-Size)" "$(dpkg-deb -f "$deb" Depends)"
done
