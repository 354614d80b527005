#!/usr/bin/env bash
# Installs the amd64 l2agent package into a fresh Debian root made with debootstrap, checks that
# its files, unit and dependencies are in place, verifies the unit with systemd-analyze, and
# removes the package again, checking that nothing is left behind.
#   scripts/test-packages.sh [out/l2agent_*_amd64.deb]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "test-packages.sh: run as root" >&2; exit 1; }
need_packages debootstrap
deb=${1:-$(ls out/l2agent_*_"$(dpkg --print-architecture)".deb | head -1)}
[ -f "$deb" ] || { echo "test-packages.sh: no package; run scripts/package.sh first" >&2; exit 1; }

# The same mirror apt uses here.
mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | grep -v security | head -1)
mirror=${mirror:-http://deb.debian.org/debian}
root=$(mktemp -d)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
echo "debootstrap bookworm into $root ($mirror)"
debootstrap --variant=minbase --include=systemd bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -20 "$root.log"; exit 1; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
in_root() { chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }

cp "$deb" "$root/tmp/"
in_root apt-get install -y -qq "/tmp/$(basename "$deb")" >/dev/null
fail() { echo "test-packages.sh: FAIL: $*" >&2; exit 1; }
files=$(in_root dpkg -L l2agent)
for f in /usr/bin/l2agent /usr/lib/systemd/system/l2agent@.service /etc/l2agent/run/resetAll.sh \
    /usr/share/doc/l2agent/README.md; do
    grep -qx "$f" <<<"$files" || fail "$f not in the package"
    [ -e "$root$f" ] || fail "$f not installed"
done
[ -x "$root/etc/l2agent/run/resetAll.sh" ] || fail "the reset script is not executable"
in_root dpkg-query -W -f='${Conffiles}\n' l2agent | grep -q /etc/l2agent/run/resetAll.sh ||
    fail "the reset script is not a conffile"
# Every library the agent needs resolves inside the fresh root.
in_root ldd /usr/bin/l2agent | grep -q 'not found' && fail "unresolved libraries"
in_root /usr/bin/l2agent --version
in_root systemd-analyze verify l2agent@eth1.service
echo "unit verified: $(grep -E '^(ExecStart|WorkingDirectory|Restart)=' "$root/usr/lib/systemd/system/l2agent@.service" | tr '\n' ' ')"
echo "installed size: $(in_root dpkg-query -W -f='${Installed-Size}' l2agent) KiB"

in_root apt-get purge -y -qq l2agent >/dev/null
in_root dpkg-query -W l2agent >/dev/null 2>&1 && fail "l2agent still known to dpkg"
for f in /usr/bin/l2agent /usr/lib/systemd/system/l2agent@.service /etc/l2agent; do
    [ ! -e "$root$f" ] || fail "$f left behind after purge"
done
echo "package test passed: installed, verified and purged cleanly"
