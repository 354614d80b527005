#!/usr/bin/env bash
# Checks the Debian packages in out/ (scripts/package.sh):
# - lintian on the source package, every .changes and every package, failing on any error or
#   warning;
# - the contents of both architectures' packages, man pages included;
# - the unit's exposure figure from systemd-analyze security, at most 6.0, and at most 3.5
#   with the strict drop-in from the examples;
# - an install of the native l2agent package into a fresh debootstrap root, the unit verified
#   there, then a purge that must leave nothing behind; then l2station and l2station-gui
#   installed there too: the history works (Qt's SQLite driver came with them) and the window
#   starts.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || { echo "test-packages.sh: run as root" >&2; exit 1; }
need_packages debootstrap lintian systemd man-db
fail() { echo "test-packages.sh: FAIL: $*" >&2; exit 1; }
native=$(dpkg --print-architecture)
ls out/l2agent_*_"$native".deb >/dev/null 2>&1 || fail "no packages; run scripts/package.sh first"

echo "--- lintian"
# Informational tags are shown (each is explained in debian/rules); errors and warnings fail.
sources=()
for c in out/*.dsc out/*.changes; do [ -e "$c" ] && sources+=("$c"); done
lintian --display-info --fail-on error,warning "${sources[@]}" out/*.deb || fail "lintian"

echo "--- contents"
for arch in amd64 arm64; do
    agent=(out/l2agent_*_"$arch".deb) station=(out/l2station_*_"$arch".deb)
    gui=(out/l2station-gui_*_"$arch".deb)
    triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    [ -f "${agent[0]}" ] && [ -f "${station[0]}" ] && [ -f "${gui[0]}" ] || fail "no $arch packages"
    a=$(dpkg-deb -c "${agent[0]}" | awk '{print $6}') s=$(dpkg-deb -c "${station[0]}" | awk '{print $6}')
    g=$(dpkg-deb -c "${gui[0]}" | awk '{print $6}')
    for f in ./usr/bin/l2agent ./lib/systemd/system/l2agent@.service ./etc/l2agent/run/resetAll.sh \
        ./usr/share/man/man8/l2agent.8.gz ./usr/share/doc/l2agent/copyright \
        ./usr/share/doc/l2agent/changelog.Debian.gz ./usr/share/doc/l2agent/examples/l2agent-strict.conf \
        ./etc/default/l2agent; do
        grep -qx -- "$f" <<<"$a" || fail "$arch l2agent lacks $f"
    done
    for f in ./usr/bin/l2station ./usr/share/man/man8/l2station.8.gz \
        ./usr/share/bash-completion/completions/l2station ./usr/share/doc/l2station/copyright \
        "./usr/lib/$triplet/wireshark/plugins/l2svc.lua"; do
        grep -qx -- "$f" <<<"$s" || fail "$arch l2station lacks $f"
    done
    for f in ./usr/bin/l2station-gui ./usr/share/man/man1/l2station-gui.1.gz \
        ./usr/share/applications/l2station-gui.desktop \
        ./usr/share/icons/hicolor/scalable/apps/l2station-gui.svg ./usr/share/doc/l2station-gui/copyright; do
        grep -qx -- "$f" <<<"$g" || fail "$arch l2station-gui lacks $f"
    done
    # The command line stays free of Widgets: the window has its own package.
    dpkg-deb -f "${station[0]}" Depends | grep -q libqt5widgets && fail "$arch l2station depends on Qt Widgets"
    grep -q '/usr/local' <<<"$a$s$g" && fail "$arch packages install under /usr/local"
    ls out/l2agent-dbgsym_*_"$arch".*deb >/dev/null 2>&1 || fail "no $arch l2agent-dbgsym"
    echo "$arch: contents as expected"
done

echo "--- man pages"
work=$(mktemp -d)
root=
cleanup() {
    [ -z "$root" ] || { umount "$root/proc" 2>/dev/null || true; rm -rf "$root"; }
    rm -rf "$work"
}
trap cleanup EXIT
dpkg-deb -x "$(ls out/l2agent_*_"$native".deb)" "$work/agent"
dpkg-deb -x "$(ls out/l2station_*_"$native".deb)" "$work/station"
dpkg-deb -x "$(ls out/l2station-gui_*_"$native".deb)" "$work/gui"
for page in "$work/agent/usr/share/man/man8/l2agent.8.gz" "$work/station/usr/share/man/man8/l2station.8.gz" \
    "$work/gui/usr/share/man/man1/l2station-gui.1.gz"; do
    text=$(MANWIDTH=80 man -l "$page" 2>&1) || fail "man cannot show $page"
    sections=(NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES)
    [[ $page == *l2station-gui* ]] && sections=(NAME SYNOPSIS DESCRIPTION OPTIONS PERMISSIONS)
    for section in "${sections[@]}"; do
        grep -q "^$section" <<<"$text" || fail "$(basename "$page") has no $section section"
    done
done
echo "the man pages render with their sections"

echo "--- unit exposure"
unit=$work/agent/lib/systemd/system/l2agent@.service
exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "no exposure figure"
echo "exposure of l2agent@.service: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 6.0) }' || fail "exposure $exposure above 6.0"
# The strict drop-in from the examples, as an integrator enables it for one instance.
dropins=$work/agent/etc/systemd/system/l2agent@eth1.service.d
mkdir -p "$dropins"
cp "$work/agent/usr/share/doc/l2agent/examples/l2agent-strict.conf" "$dropins/"
strict=$(systemd-analyze security --offline=true --root="$work/agent" l2agent@eth1.service 2>/dev/null |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
echo "exposure with the strict drop-in: $strict"
awk -v e="$strict" -v d="$exposure" 'BEGIN { exit !(e != "" && e < d && e <= 3.5) }' ||
    fail "the strict drop-in does not lower the exposure (${strict:-none})"

echo "--- install and purge in a fresh root"
root=$(mktemp -d)
chmod 755 "$root" # apt and man-db drop to their own users inside
debootstrap --variant=minbase --include=systemd,man-db bookworm "$root" "$(debian_mirror)" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; fail "debootstrap"; }
mount -t proc proc "$root/proc"
in_root() { chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
deb=$(ls out/l2agent_*_"$native".deb)
cp "$deb" "$root/tmp/"
in_root apt-get install -y -qq "/tmp/$(basename "$deb")" >/dev/null
files=$(in_root dpkg -L l2agent)
for f in /usr/bin/l2agent /lib/systemd/system/l2agent@.service /etc/l2agent/run/resetAll.sh; do
    grep -qx "$f" <<<"$files" || fail "$f not in the package"
    [ -e "$root$f" ] || fail "$f not installed"
done
[ -x "$root/etc/l2agent/run/resetAll.sh" ] || fail "the reset script is not executable"
in_root dpkg-query -W -f='${Conffiles}\n' l2agent | grep -q /etc/l2agent/run/resetAll.sh ||
    fail "the reset script is not a conffile"
# Installing enables no instance: the interface is the integrator's choice.
ls "$root"/etc/systemd/system/*/l2agent@* 2>/dev/null && fail "an instance was enabled"
in_root ldd /usr/bin/l2agent | grep -q 'not found' && fail "unresolved libraries"
in_root /usr/bin/l2agent --version
in_root systemd-analyze verify l2agent@eth1.service
echo "installed size: $(in_root dpkg-query -W -f='${Installed-Size}' l2agent) KiB"
in_root apt-get purge -y -qq l2agent >/dev/null
in_root dpkg-query -W l2agent >/dev/null 2>&1 && fail "l2agent still known to dpkg"
for f in /usr/bin/l2agent /lib/systemd/system/l2agent@.service /etc/l2agent; do
    [ ! -e "$root$f" ] || fail "$f left behind after purge"
done

echo "--- the station's packages in the fresh root"
debs=()
for p in l2station l2station-gui; do
    deb=$(ls out/"${p}"_*_"$native".deb)
    cp "$deb" "$root/tmp/"
    debs+=("/tmp/$(basename "$deb")")
done
in_root apt-get install -y -qq "${debs[@]}" >/dev/null
in_root ldd /usr/bin/l2station /usr/bin/l2station-gui | grep -q 'not found' && fail "unresolved libraries"
in_root /usr/bin/l2station --version
in_root env QT_QPA_PLATFORM=offscreen /usr/bin/l2station-gui --version
# One watch round on a link of its own writes the history through Qt's SQLite driver, which
# the package must have pulled in; history then finds no board (1), not a missing driver (8).
link=l2pkg$$
ip link add "$link" type veth peer name "${link}p" && ip link set "${link}p" up && ip link set "$link" up
status=0
in_root env XDG_DATA_HOME=/tmp/data /usr/bin/l2station watch -i "$link" -c 1 --fast || status=$?
in_root env XDG_DATA_HOME=/tmp/data /usr/bin/l2station history >/dev/null 2>"$work/history.err" || status=$((status + $?))
ip link del "$link"
grep -q "nothing in the history" "$work/history.err" && [ "$status" -eq 1 ] ||
    { cat "$work/history.err"; fail "the history does not work in the installed package"; }
echo "l2station keeps its history; l2station-gui starts"
echo "package test passed: lintian-clean, contents, man pages, exposure $exposure, install and purge"
