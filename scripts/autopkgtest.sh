#!/usr/bin/env bash
# Runs the package's autopkgtest (debian/tests) with autopkgtest itself on an isolated
# testbed: autopkgtest-virt-unshare, a bookworm root unpacked from the chroot tarball that
# scripts/package.sh builds in, entered through user, mount and PID namespaces. The tests
# install the native packages from out/ there and build the end-to-end suites from the source
# package. The testbed has only a handful of device nodes; /dev/net is bound in for the tun
# devices that one test makes.
#   scripts/autopkgtest.sh      (after scripts/package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "autopkgtest.sh: run as root" >&2; exit 1; }
need_packages autopkgtest mmdebstrap uidmap
native=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -S Version)
tarball=${L2_SBUILD_CACHE:-/var/cache/l2agent-sbuild}/bookworm-$native.tar
debs=("out/l2agent_${version}_$native.deb" "out/l2station_${version}_$native.deb"
    "out/l2station-gui_${version}_$native.deb")
for f in "out/l2agent_$version.dsc" "${debs[@]}" "$tarball"; do
    [ -e "$f" ] || { echo "autopkgtest.sh: no $f; run scripts/package.sh first" >&2; exit 1; }
done
results=build-deb/autopkgtest
rm -rf "$results"
# The chroot tarball keeps no package lists.
autopkgtest --output-dir "$results" --setup-commands="apt-get update -qq" \
    "out/l2agent_$version.dsc" "${debs[@]}" \
    -- unshare --release bookworm --arch "$native" --tarball "$tarball" --bind /dev/net /dev/net
