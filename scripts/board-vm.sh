#!/usr/bin/env bash
# An emulated AArch64 board under qemu-system-aarch64 (virt, cortex-a72, TCG), its identity on
# the board's own files and a real SD card (GPT), its NIC on a bridge that learns addresses, in a
# station network namespace on the host. Two flavours:
#   Debian (default): Debian 12 arm64 booted with systemd and udevd, the project's own arm64
#     l2agent package installed by apt;
#   --busybox: BusyBox init and syslogd, no udev daemon, booted from an initramfs made of Debian
#     arm64 packages (mmdebstrap --variant=extract: no arm64 code runs on the host), with the
#     agent cross-built against a sysroot (cmake/aarch64-sysroot.cmake) without libudev or the
#     station, installed with cmake --install, started by its init script through l2agent-run.
#   scripts/board-vm.sh [--busybox] test       boot the board and run every check against it
#   scripts/board-vm.sh --busybox prepare [--deps-only]
#       only download and unpack the BusyBox board's Debian parts (no arm64 code runs, nothing
#       of this tree is used), so that CI can do it beside other work; --deps-only installs
#       what that needs on the host and stops
#   scripts/board-vm.sh [--busybox] run -- COMMAND [ARG...]
#       boot the board, wait until its agent serves, run COMMAND on the host, power the board
#       off and exit with COMMAND's status. COMMAND gets in its environment:
#         L2_STATION_NETNS, L2_STATION_IFACE  the station's namespace and interface
#         L2_BOARD_CONSOLE  the board's serial console output, journal included, growing
#         L2_BOARD_UNPLUG, L2_BOARD_REPLUG    programs that hot-unplug and plug back the
#                                             board's NIC through the QEMU monitor
#         L2_BOARD_EXEC     a program that runs its one argument as a command line as root
#                           in the board's serial-console shell and exits with its status
#         L2_STATION        the amd64 l2station from the package
#       Each is a plain path (no spaces, no quoting), used as in:
#         scripts/board-vm.sh run -- sh -c '$L2_BOARD_EXEC "uname -m"'
#         scripts/board-vm.sh run -- sh -c '$L2_BOARD_UNPLUG && sleep 5 && $L2_BOARD_REPLUG'
#         scripts/board-vm.sh run -- sh -c 'tail -n 20 "$L2_BOARD_CONSOLE"'
#         scripts/board-vm.sh run -- sh -c \
#           'ip netns exec "$L2_STATION_NETNS" "$L2_STATION" info -i "$L2_STATION_IFACE"'
# What it builds is kept under build-board/ (the board's root file system, kernel and initrd,
# keyed by their recipe and the package); apt's downloads are kept in $L2_BOARD_APT_CACHE
# (default /var/cache/l2agent-board/apt). The VM, its tap, bridge and namespace are removed on
# exit, also when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
self="$root/scripts/board-vm.sh"
flavour=debian
if [ "${1:-}" = --busybox ]; then
    flavour=busybox
    shift
fi

# The board's fixed facts; the checks compare the agent's reply against them.
board_mac=52:54:00:4c:32:01
board_ip=192.0.2.25
board_device=BOARD-A7
board_version=2.3.1
board_product=PX0042
board_ptuuid=5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51
boot_deadline=${L2_BOARD_BOOT_DEADLINE:-300} # seconds from power-on to the first answer

stamp() { printf '%(%T)T board-vm: %s\n' -1 "$*"; }
die() { echo "board-vm: $*" >&2; exit 1; }

# ---- on the board's console -------------------------------------------------------------------
# _exec TTY CONSOLE COMMAND: types COMMAND into the board's root shell and waits (120 s) for the
# marker line that carries its status. The echoed input shows "rc=$?", never rc=<digits>.
board_exec() {
    local tty=$1 console=$2 cmd=$3 tag="L2EXEC-$$-$RANDOM" line
    printf '%s; echo "%s" "rc=$?"\r' "$cmd" "$tag" >"$tty"
    for _ in $(seq 2400); do
        line=$(tr -d '\r' <"$console" | grep -aoE "$tag rc=[0-9]+" | tail -1 || true)
        [ -z "$line" ] || return "${line##*rc=}"
        sleep 0.05
    done
    echo "board-vm: no answer from the board's shell to: $cmd" >&2
    return 124
}

# _unplug MONITOR: asks for the NIC's removal and waits until the board has let it go (the
# PCIe attention button takes about 5 s), so that a replug can reuse its id.
# monitor SOCKET COMMAND: one HMP command; its answer is printed and kept in monitor.log.
monitor() {
    printf '%s\n' "$2" | socat -t 1 - "UNIX-CONNECT:$1" 2>/dev/null | tr -d '\r' |
        tee -a "$(dirname "$1")/monitor.log"
}
nic_present() { [[ "$(monitor "$1" "info pci")" == *"Ethernet controller"* ]]; }
board_unplug() {
    monitor "$1" "device_del nic1" >/dev/null
    for _ in $(seq 300); do
        nic_present "$1" || return 0
        sleep 0.1
    done
    die "the NIC was not unplugged within 30 s"
}
board_replug() {
    # QEMU may still hold the old device's id for a moment after the board let it go.
    for _ in $(seq 100); do
        monitor "$1" "device_add virtio-net-pci,netdev=net1,id=nic1,bus=rp1,mac=$board_mac" >/dev/null
        nic_present "$1" && return 0
        sleep 0.1
    done
    die "the NIC could not be plugged back"
}

case "${1:-}" in
_exec) shift; board_exec "$@"; exit ;;
_unplug) board_unplug "$2"; exit ;;
_replug) board_replug "$2"; exit ;;
esac

# ---- building what is missing -----------------------------------------------------------------
. scripts/deps.sh
[ "$(id -u)" -eq 0 ] || die "run as root (network namespaces, taps, chroots)"

prepare_host() {
    need_packages mmdebstrap qemu-user-static binfmt-support qemu-system-arm ipxe-qemu \
        e2fsprogs gdisk socat iproute2 dpkg-dev arch-test
    # mmdebstrap runs the board's arm64 maintainer scripts through binfmt_misc.
    if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
}

# The kernel, udev, systemd and the board's configuration: what does not depend on the agent.
# The virtio and ext4 modules go into the initrd by name: MODULES=most takes minutes under
# qemu-user. virtio_net stays out, so that the NIC is named once, by the root's .link file.
board_base_packages=systemd-sysv,udev,kmod,iproute2,linux-image-arm64,initramfs-tools,wireless-regdb
write_board_config() { # ROOTDIR
    local r=$1
    mkdir -p "$r/etc/initramfs-tools/conf.d" "$r/etc/initramfs-tools/hooks" \
        "$r/etc/systemd/network" "$r/App/bin" "$r/App/cfg" \
        "$r/etc/systemd/system/serial-getty@ttyAMA0.service.d" \
        "$r/etc/systemd/system/l2agent@eth1.service.d"
    echo MODULES=list >"$r/etc/initramfs-tools/conf.d/board.conf"
    cat >"$r/etc/initramfs-tools/hooks/board" <<'EOF'
#!/bin/sh
# The emulated board's root disk: virtio-blk on PCI, ext4.
case "$1" in prereqs) exit 0 ;; esac
. /usr/share/initramfs-tools/hook-functions
for m in virtio_pci virtio_blk ext4; do force_load "$m"; done
EOF
    chmod +x "$r/etc/initramfs-tools/hooks/board"
    echo board >"$r/etc/hostname"
    echo '/dev/vda / ext4 defaults 0 1' >"$r/etc/fstab"
    # The served NIC is called what the unit instance names, whatever the bus calls it.
    printf '[Match]\nMACAddress=%s\n\n[Link]\nName=eth1\n' "$board_mac" \
        >"$r/etc/systemd/network/10-eth1.link"
    printf '[Match]\nName=eth1\n\n[Network]\nAddress=%s/24\nLinkLocalAddressing=no\n' \
        "$board_ip" >"$r/etc/systemd/network/10-eth1.network"
    printf '%s\n%s\n' "$board_device" "$board_version" >"$r/App/bin/version"
    printf '%s\n' "$board_product" >"$r/App/cfg/ID.txt"
    # A technician's serial console: a root shell, which the checks type into.
    printf '[Service]\nExecStart=\nExecStart=-/sbin/agetty --autologin root --noclear --keep-baud 115200 - $TERM\n' \
        >"$r/etc/systemd/system/serial-getty@ttyAMA0.service.d/autologin.conf"
    # The board's hardware id is on its SD card: start the agent once the card is there.
    printf '[Unit]\nWants=dev-mmcblk0.device\nAfter=dev-mmcblk0.device\n' \
        >"$r/etc/systemd/system/l2agent@eth1.service.d/sd-card.conf"
}

recipe_hash() { # what the base root file system is made from
    { declare -f write_board_config build_base; echo "$board_base_packages $board_mac $board_ip"; } |
        sha256sum | cut -c1-16
}

build_base() { # TARBALL
    local tar=$1 cache=${L2_BOARD_APT_CACHE:-/var/cache/l2agent-board/apt} stage
    mkdir -p "$cache" "$(dirname "$tar")"
    stage=$(mktemp -d)
    write_board_config "$stage"
    stamp "building the board's root file system (mmdebstrap, arm64 under qemu-user)"
    # The initrd's configuration is in place before the kernel is installed, so the one
    # initrd built is the small one. apt's lists stay for the package's own install; its
    # downloads are kept between runs.
    local rc=0
    mmdebstrap --arch=arm64 --variant=minbase --format=tar --include="$board_base_packages" \
        --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
        --dpkgopt='path-exclude=/usr/share/doc/*' \
        --skip=cleanup/apt/lists --skip=download/empty --skip=essential/unlink \
        --setup-hook='mkdir -p "$1"/var/cache/apt/archives/ "$1"/etc/initramfs-tools' \
        --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
        --setup-hook="sync-in '$stage/etc/initramfs-tools' /etc/initramfs-tools" \
        --customize-hook="sync-in '$stage' /" \
        --customize-hook='ls "$1"/boot/initrd.img-* >/dev/null 2>&1 || chroot "$1" update-initramfs -c -k all' \
        --customize-hook='chroot "$1" systemctl enable systemd-networkd' \
        --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
        --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb' \
        bookworm "$tar.tmp" "$(debian_mirror)" >"$tar.log" 2>&1 || rc=$?
    rm -rf "$stage"
    [ $rc -eq 0 ] || { tail -30 "$tar.log"; die "mmdebstrap failed (log: $tar.log)"; }
    mv "$tar.tmp" "$tar"
}

# The board's own root: the base, then the agent package installed with apt on it (so its
# Depends are resolved there) and its instance enabled; the package stays on the board for the
# upgrade check.
build_board_root() { # BASE_TARBALL DEB DIR
    local base=$1 deb=$2 dir=$3 cache=${L2_BOARD_APT_CACHE:-/var/cache/l2agent-board/apt}
    rm -rf "$dir.tmp"
    mkdir -p "$dir.tmp"
    tar -C "$dir.tmp" -xf "$base"
    cp "$deb" "$dir.tmp/root/"
    cp "$cache"/*.deb "$dir.tmp/var/cache/apt/archives/" 2>/dev/null || true
    cp /etc/resolv.conf "$dir.tmp/etc/resolv.conf"
    mount -t proc proc "$dir.tmp/proc"
    local rc=0
    chroot "$dir.tmp" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        --no-install-recommends "/root/$(basename "$deb")" >"$dir.log" 2>&1 || rc=$?
    [ $rc -ne 0 ] || chroot "$dir.tmp" systemctl enable l2agent@eth1 >>"$dir.log" 2>&1 || rc=$?
    umount "$dir.tmp/proc"
    [ $rc -eq 0 ] || { tail -30 "$dir.log"; die "installing the package on the board failed"; }
    cp -n "$dir.tmp"/var/cache/apt/archives/*.deb "$cache/" 2>/dev/null || true
    rm -rf "$dir.tmp"/var/cache/apt/archives/*.deb "$dir.tmp"/var/lib/apt/lists/*
    : >"$dir.tmp/etc/resolv.conf"
    rm -rf "$dir"
    mv "$dir.tmp" "$dir"
}

build_sd_card() { # WORK: fresh for every boot
    # 64 MiB (QEMU wants a power of two), a GPT whose disk GUID is the board's id.
    truncate -s 64M "$1/sd.img"
    sgdisk -o -U "$board_ptuuid" -n 1:0:0 "$1/sd.img" >/dev/null
}

build_root_disk() { # ROOTDIR WORK
    local size
    size=$(($(du -sm "$1" | cut -f1) + 256))
    mkfs.ext4 -q -F -L board -d "$1" "$2/root.img" "${size}M" >/dev/null
}

build_all() { # sets board_dir
    local t0 debs base key
    t0=$SECONDS
    prepare_host
    debs=(out/l2agent_*_arm64.deb out/l2station_*_amd64.deb)
    if [ -n "${L2_BOARD_REBUILD_PACKAGES:-}" ] || [ ! -f "${debs[0]}" ] || [ ! -f "${debs[1]}" ]; then
        stamp "building the packages (scripts/package.sh)"
        scripts/package.sh >build-board-packages.log 2>&1 ||
            { tail -30 build-board-packages.log; die "scripts/package.sh failed"; }
        rm -f build-board-packages.log
    fi
    agent_deb=$(ls out/l2agent_*_arm64.deb | head -1)
    station_deb=$(ls out/l2station_*_amd64.deb | head -1)
    stamp "stage packages: $((SECONDS - t0)) s"
    t0=$SECONDS
    mkdir -p build-board
    base=build-board/base-$(recipe_hash).tar
    [ -f "$base" ] || build_base "$base"
    key=$({ echo "$base"; cat "$agent_deb"; } | sha256sum | cut -c1-16)
    board_dir=build-board/root-$key
    [ -d "$board_dir" ] || build_board_root "$base" "$agent_deb" "$board_dir"
    # Roots of earlier packages are of no further use; each is some 700 MiB.
    find build-board -maxdepth 1 \( -name 'root-*' -o -name 'base-*' \) ! -name "root-$key*" \
        ! -name "$(basename "$base")*" -exec rm -rf {} +
    stamp "stage root file system: $((SECONDS - t0)) s ($(du -sm "$board_dir" | cut -f1) MiB)"
    boot_kernel=$(ls "$board_dir"/boot/vmlinuz-* | head -1)
    boot_initrd=$(ls "$board_dir"/boot/initrd.img-* | head -1)
    boot_append="root=/dev/vda rw console=ttyAMA0 loglevel=4 systemd.journald.forward_to_console=1"
}

# ---- the BusyBox flavour ----------------------------------------------------------------------
# What the agent is built against (no libudev: the build has none), and what the board runs:
# BusyBox, util-linux's blkid (BusyBox's prints no PTUUID), the agent's libraries, and the kernel
# with its modules.
busybox_sysroot_packages=qtbase5-dev,libpcap-dev,libc6-dev,libstdc++-12-dev
busybox_userland_packages=busybox-static,util-linux,libqt5network5,libpcap0.8,linux-image-arm64
busybox_applets="sh ash awk basename cat chmod cp date dirname dmesg echo env false grep halt
head hostname id ifconfig insmod ip kill ln logger ls mkdir mkfifo mount pidof poweroff printf ps
reboot rm sed seq sleep start-stop-daemon sync syslogd tail touch tr true umount uname wc"
# In load order: virtio's PCI transport and NIC, and the SD host controller.
busybox_modules="failover net_failover virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
virtio_net cqhci sdhci sdhci-pci"

busybox_host() { # what the BusyBox flavour needs on the host
    prepare_host
    need_packages g++-aarch64-linux-gnu cpio cmake pkg-config qtbase5-dev libpcap-dev scdoc file
}

# Where the sysroot and the board's userland are unpacked, keyed by what they are made of.
busybox_sysroot() { echo "$root/build-board/sysroot-$(echo "$busybox_sysroot_packages" | sha256sum | cut -c1-12)"; }
busybox_userland() { echo "$root/build-board/busybox-$(echo "$busybox_userland_packages" | sha256sum | cut -c1-12)"; }

extract_arm64() { # PACKAGES DIR: Debian arm64 packages unpacked, none of their code run
    local cache=${L2_BOARD_APT_CACHE:-/var/cache/l2agent-board/apt}
    [ -d "$2" ] && return 0
    stamp "extracting $1 (arm64)"
    rm -rf "$2.tmp"
    mkdir -p "$cache"
    mmdebstrap --variant=extract --arch=arm64 --mode=root --include="$1" \
        --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
        --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
        --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
        bookworm "$2.tmp" "$(debian_mirror)" >"$2.log" 2>&1 ||
        { tail -20 "$2.log"; die "mmdebstrap failed (log: $2.log)"; }
    mv "$2.tmp" "$2"
}

# The rcS of the BusyBox board: file systems, drivers, syslog, the NIC, the SD card, the agent.
busybox_rcs() {
    cat <<EOF
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(echo $busybox_modules); do insmod /lib/board-modules/\$m.ko; done
hostname board
syslogd -O /var/log/messages
ip link set lo up
for _ in \$(seq 40); do [ -e /sys/class/net/eth0 ] && break; sleep 0.25; done
ip link set eth0 name eth1
ip addr add $board_ip/24 dev eth1
ip link set eth1 up
# The hardware id is on the SD card: the agent reads it once, as it starts.
for _ in \$(seq 40); do [ -e /dev/mmcblk0 ] && break; sleep 0.25; done
/etc/init.d/l2agent start
EOF
}

build_busybox() {
    local t0=$SECONDS sysroot userland agent r m
    busybox_host
    mkdir -p build-board
    sysroot=$(busybox_sysroot)
    userland=$(busybox_userland)
    extract_arm64 "$busybox_sysroot_packages" "$sysroot"
    extract_arm64 "$busybox_userland_packages" "$userland"
    stamp "stage sysroot and userland: $((SECONDS - t0)) s"
    t0=$SECONDS
    # The agent as an integrator builds it: against the sysroot, without libudev or the station.
    agent=build-board/busybox-agent
    cmake -S . -B "$agent" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-sysroot.cmake \
        -DL2_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DL2_UDEV=OFF -DL2_STATION=OFF -DL2_TESTS=OFF -DL2_BENCH=OFF -DL2_SYSVINIT=ON -DL2_SYSTEMD=OFF \
        -DL2_WERROR=ON >"$agent.log" 2>&1 || { tail -20 "$agent.log"; die "configuring the agent"; }
    cmake --build "$agent" -j "$(nproc)" >>"$agent.log" 2>&1 ||
        { tail -20 "$agent.log"; die "building the agent"; }
    rm -rf "$agent/stage"
    DESTDIR="$root/$agent/stage" cmake --install "$agent" >>"$agent.log" 2>&1
    file "$agent/stage/usr/bin/l2agent" | grep -q 'ARM aarch64' || die "the agent is not an arm64 program"
    stamp "stage cross-built agent: $((SECONDS - t0)) s"
    t0=$SECONDS
    # The board's whole root in an initramfs: no udev, no systemd.
    r=build-board/busybox-root
    rm -rf "$r"
    mkdir -p "$r"
    tar -C "$userland" --exclude=./boot --exclude=./lib/modules --exclude=./lib/udev \
        --exclude=./usr/share --exclude=./usr/lib/klibc --exclude='./usr/lib/linux-image-*' \
        --exclude=./usr/lib/aarch64-linux-gnu/gconv --exclude=./var/cache -cf - . | tar -C "$r" -xf -
    cp -a "$agent/stage/." "$r/"
    for m in $busybox_applets; do
        [ -e "$r/bin/$m" ] || ln -s busybox "$r/bin/$m"
    done
    ln -sf /bin/busybox "$r/sbin/init"
    mkdir -p "$r/lib/board-modules" "$r/App/bin" "$r/App/cfg" "$r/proc" "$r/sys" "$r/dev" \
        "$r/tmp" "$r/var/log" "$r/var/run" "$r/run"
    for m in $busybox_modules; do
        cp "$(find "$userland/lib/modules" -name "$m.ko" | head -1)" "$r/lib/board-modules/"
    done
    printf '%s\n%s\n' "$board_device" "$board_version" >"$r/App/bin/version"
    printf '%s\n' "$board_product" >"$r/App/cfg/ID.txt"
    cp packaging/resetAll-busybox.sh "$r/etc/l2agent/run/resetAll.sh"
    busybox_rcs >"$r/etc/init.d/rcS"
    chmod +x "$r/etc/init.d/rcS"
    printf '%s\n' '::sysinit:/etc/init.d/rcS' 'ttyAMA0::respawn:/bin/sh' \
        '::shutdown:/etc/init.d/l2agent stop' '::shutdown:/bin/umount -a -r' >"$r/etc/inittab"
    (cd "$r" && find . | cpio -o -H newc --quiet) | gzip -1 >build-board/busybox-initramfs.gz
    stamp "stage initramfs: $((SECONDS - t0)) s ($(du -sm build-board/busybox-initramfs.gz | cut -f1) MiB)"
    boot_kernel=$(ls "$userland"/boot/vmlinuz-* | head -1)
    boot_initrd=build-board/busybox-initramfs.gz
    boot_append="console=ttyAMA0 rdinit=/sbin/init loglevel=4"
    # The station: the host's own build.
    station_bin=${L2_STATION_BIN:-build/station/l2station}
    if [ ! -x "$station_bin" ]; then
        cmake -S . -B build-board/station -DL2_AGENT=OFF -DL2_TESTS=OFF >/dev/null
        cmake --build build-board/station -j "$(nproc)" >/dev/null
        station_bin=build-board/station/station/l2station
    fi
}


# ---- the board on a segment ------------------------------------------------------------------
vm_pid= ns= work= ttyfd= writer_pid=
# board_tool PATH VERB ARG...: a program at PATH that runs this script's VERB with ARGs and its
# own arguments.
board_tool() {
    local path=$1
    shift
    printf '#!/bin/sh\nexec %q' "$self" >"$path"
    printf ' %q' "$@" >>"$path"
    printf ' "$@"\n' >>"$path"
    chmod +x "$path"
}
cleanup() {
    if [ -n "$vm_pid" ] && kill -0 "$vm_pid" 2>/dev/null; then
        monitor "$work/monitor.sock" quit >/dev/null 2>&1 || true
        for _ in $(seq 50); do kill -0 "$vm_pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$vm_pid" 2>/dev/null || true
    fi
    [ -z "$writer_pid" ] || kill "$writer_pid" 2>/dev/null || true
    [ -z "$ns" ] || ip netns del "$ns" 2>/dev/null || true
    if [ -n "$work" ]; then
        [ ! -f "$work/console.log" ] || cp "$work/console.log" "$root/build-board/last-console.log"
        [ ! -f "$work/monitor.log" ] || cp "$work/monitor.log" "$root/build-board/last-monitor.log"
        rm -rf "$work"
    fi
}

boot_board() {
    local t0=$SECONDS disks=()
    work=$(mktemp -d /tmp/l2board.XXXXXX)
    build_sd_card "$work"
    if [ "$flavour" = debian ]; then
        build_root_disk "$board_dir" "$work"
        disks=(-drive "if=none,id=root,format=raw,file=$work/root.img" -device virtio-blk-pci,drive=root)
        stamp "stage image: $((SECONDS - t0)) s ($(du -sm "$work/root.img" | cut -f1) MiB on disk)"
    fi

    # The segment: the board's tap and the station's veth on a bridge that learns addresses,
    # as a switch does.
    ns=l2board-$$
    local br=l2bbr$$ tap=l2btap$$ side=l2bst$$
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip -n "$ns" link add "$br" type bridge
    ip -n "$ns" tuntap add dev "$tap" mode tap
    ip -n "$ns" link add st0 type veth peer name "$side"
    for l in "$tap" "$side"; do ip -n "$ns" link set "$l" master "$br" up; done
    ip -n "$ns" link set "$br" up
    ip -n "$ns" link set st0 up

    export L2_STATION_NETNS=$ns L2_STATION_IFACE=st0 L2_BOARD_CONSOLE=$work/console.log
    # Small programs rather than command strings, so that COMMAND can run them without eval
    # whatever the path of this checkout.
    mkdir "$work/bin"
    board_tool "$work/bin/board-unplug" _unplug "$work/monitor.sock"
    board_tool "$work/bin/board-replug" _replug "$work/monitor.sock"
    board_tool "$work/bin/board-exec" _exec "$work/tty" "$work/console.log"
    export L2_BOARD_UNPLUG=$work/bin/board-unplug L2_BOARD_REPLUG=$work/bin/board-replug
    export L2_BOARD_EXEC=$work/bin/board-exec
    : >"$L2_BOARD_CONSOLE"
    t0=$SECONDS
    stamp "powering on (2 vCPUs, 1 GiB, TCG)"
    ip netns exec "$ns" qemu-system-aarch64 -machine virt -cpu cortex-a72 -smp 2 -m 1024 \
        -nographic -nodefaults -no-user-config \
        -kernel "$boot_kernel" -initrd "$boot_initrd" -append "$boot_append" "${disks[@]}" \
        -device sdhci-pci -drive "if=none,id=sd,format=raw,file=$work/sd.img" -device sd-card,drive=sd \
        -device pcie-root-port,id=rp1,bus=pcie.0,chassis=1 \
        -netdev "tap,id=net1,ifname=$tap,script=no,downscript=no" \
        -device "virtio-net-pci,netdev=net1,id=nic1,bus=rp1,mac=$board_mac" \
        -chardev "socket,id=ser0,path=$work/serial.sock,server=on,wait=off,logfile=$work/console.log" \
        -serial chardev:ser0 \
        -monitor "unix:$work/monitor.sock,server=on,wait=off" >"$work/qemu.log" 2>&1 &
    vm_pid=$!
    for _ in $(seq 100); do [ -S "$work/serial.sock" ] && break; sleep 0.1; done
    # What is written to $work/tty is typed on the board's console; the FIFO stays open here
    # so that the writer never sees an end of input between commands.
    mkfifo "$work/tty"
    exec {ttyfd}<>"$work/tty"
    # The console's output is read (and dropped) too: unread, it would stall the board's UART.
    socat "FD:$ttyfd!!OPEN:/dev/null,wronly" "UNIX-CONNECT:$work/serial.sock" &
    writer_pid=$!
    if [ "$flavour" = debian ]; then
        export L2_STATION="$work/station/usr/bin/l2station"
        dpkg-deb -x "$station_deb" "$work/station"
    else
        export L2_STATION="$root/$station_bin"
    fi
    wait_serving "$boot_deadline" || die "the board did not answer within $boot_deadline s"
    stamp "stage boot to the first reply: $((SECONDS - t0)) s"
    # Wait for the console's root shell as well: the checks type into it.
    local ok=
    for _ in $(seq 20); do
        if board_exec "$work/tty" "$work/console.log" true; then ok=1; break; fi
    done
    [ -n "$ok" ] || die "the board's console shell did not answer"
}

# wait_serving SECONDS: polls with info requests until a board answers.
wait_serving() {
    local deadline=$((SECONDS + $1))
    while [ $SECONDS -lt $deadline ]; do
        if [ -n "$vm_pid" ] && ! kill -0 "$vm_pid" 2>/dev/null; then
            cat "$work/qemu.log" >&2
            return 1
        fi
        ip netns exec "$L2_STATION_NETNS" "$L2_STATION" info -i "$L2_STATION_IFACE" -w 500 \
            --first >/dev/null 2>&1 && return 0
    done
    return 1
}

power_off() {
    stamp "powering off"
    if [ "$flavour" = debian ]; then
        printf 'systemctl poweroff\r' >"$work/tty"
    else
        printf 'poweroff\r' >"$work/tty"
    fi
    for _ in $(seq 600); do kill -0 "$vm_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$vm_pid" 2>/dev/null; then
        echo "board-vm: the board did not power off within 60 s; ending QEMU" >&2
    else
        wait "$vm_pid" 2>/dev/null || true
        vm_pid=
    fi
}

cmd_run() {
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || die "usage: scripts/board-vm.sh run -- COMMAND [ARG...]"
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    if [ "$flavour" = debian ]; then
        build_all
    else
        build_busybox
    fi
    boot_board
    local rc=0
    "$@" || rc=$?
    stamp "host memory held by the VM (RSS): $(ps -o rss= -p "$vm_pid" | awk '{printf "%d MiB", $1/1024}')"
    power_off
    return $rc
}

# ---- the checks, run through `run` like any other command ----------------------------------
console_count() { tr -d '\r' <"$L2_BOARD_CONSOLE" | grep -ac -- "$1" || true; }
wait_console() { # PATTERN COUNT SECONDS
    local deadline=$((SECONDS + $3))
    while [ $SECONDS -lt $deadline ]; do
        [ "$(console_count "$1")" -ge "$2" ] && return 0
        sleep 0.2
    done
    echo "board-vm: '$1' did not appear $2 times on the console within $3 s" >&2
    return 1
}
check() { stamp "check: $*"; }
fail() { echo "board-vm: FAIL: $*" >&2; exit 1; }
hex_of() { od -An -tx1 -v | tr -d ' \n'; }

station() { ip netns exec "$L2_STATION_NETNS" "$L2_STATION" "$@" -i "$L2_STATION_IFACE"; }
info_reply_exact() {
    local out got expected
    out=$(station send -w 1000 req:kiv+info)
    got=$(sed -n 's/^[0-9a-f]\{4\}  \(.*\)  |.*$/\1/p' <<<"$out" | tr -d ' \n')
    expected=$(printf '\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\x00\x00res:kiv+info\nDevice : %s\nVersion : %s\nProduct : %s\nHardId : %s\nIpAddress : %s\n' \
        "$board_device" "$board_version" "$board_product" "$board_ptuuid" "$board_ip" | hex_of)
    [ "$got" = "$expected" ] || fail "info reply differs:"$'\n'"$out"
    grep -q '^1 reply on' <<<"$out" || fail "not exactly one reply: $out"
}

board_checks() {
    [ -n "${L2_BOARD_CONSOLE:-}" ] || die "_checks runs under 'run'"
    local out starts

    check "an info request is answered byte for byte"
    info_reply_exact

    check "info --json lists the board"
    out=$(station info --json -w 500 2>/dev/null)
    for want in "\"Device\": \"$board_device\"" "\"HardId\": \"$board_ptuuid\"" "\"$board_ip\""; do
        grep -qF "$want" <<<"$out" || fail "info --json lacks $want: $out"
    done

    check "ping and send round trips"
    station ping -c 3 -W 1000 --interval 100 >/dev/null || fail "ping"
    out=$(station send -w 1000 "hello board")
    grep -q '^  text: hello board' <<<"$out" || fail "echo: $out"

    check "reset --yes runs the board's reset script, with no reply"
    station reset --yes >/dev/null
    wait_console "reset requested by the service station" 1 30 || fail "no reset line"
    local rc=0
    station send --yes -w 1000 req:kiv+init >/dev/null 2>&1 || rc=$?
    [ $rc -eq 1 ] || fail "a reset request was answered (send exited $rc)"

    check "NIC unplugged: the capture stops; plugged back: the board answers again"
    starts=$(console_count "start 'eth1' dump")
    "$L2_BOARD_UNPLUG"
    wait_console "stop 'eth1' dump" 1 30 || fail "no stop line after the unplug"
    "$L2_BOARD_REPLUG"
    wait_console "start 'eth1' dump" $((starts + 1)) 60 || fail "no new capture after the replug"
    wait_serving 60 || fail "no answer after the replug"

    check "an in-place upgrade restarts the service, which serves again"
    starts=$(console_count "start 'eth1' dump")
    "$L2_BOARD_EXEC" "apt-get install -y -q --reinstall /root/$(basename "$agent_deb") >/dev/null 2>&1" ||
        fail "apt-get --reinstall on the board"
    wait_console "start 'eth1' dump" $((starts + 1)) 60 || fail "the upgrade did not restart the agent"
    wait_serving 60 || fail "no answer after the upgrade"

    check "a reboot: the board answers again after boot"
    starts=$(console_count "start 'eth1' dump")
    printf 'systemctl reboot\r' >"$work/tty"
    wait_console "start 'eth1' dump" $((starts + 1)) "$boot_deadline" || fail "no capture after the reboot"
    wait_serving 60 || fail "no answer after the reboot"

    check "the strict drop-in from the package's examples: the agent serves, byte for byte"
    # The board's image leaves /usr/share/doc out, so the drop-in is typed in from the package.
    local dropin=/etc/systemd/system/l2agent@eth1.service.d lines
    lines=$(dpkg-deb --fsys-tarfile "$agent_deb" |
        tar -xO ./usr/share/doc/l2agent/examples/l2agent-strict.conf | grep -v '^#' | sed "s/.*/'&'/" | tr '\n' ' ')
    starts=$(console_count "start 'eth1' dump")
    # After the reboot the console's shell comes with the second automatic login; what is
    # typed before it is lost.
    wait_console "ROOT LOGIN" 2 "$boot_deadline" || fail "no console shell after the reboot"
    "$L2_BOARD_EXEC" "mkdir -p $dropin && printf '%s\\n' $lines >$dropin/strict.conf && systemctl daemon-reload && systemctl restart l2agent@eth1" ||
        fail "could not enable the strict drop-in"
    wait_console "start 'eth1' dump" $((starts + 1)) 60 || fail "no capture under the strict drop-in"
    wait_serving 60 || fail "no answer under the strict drop-in"
    "$L2_BOARD_EXEC" "systemctl show -p DropInPaths l2agent@eth1 | grep -q strict.conf" ||
        fail "the drop-in is not in effect"
    info_reply_exact

    check "reset --wait under the strict drop-in, with a reset script that reboots: the board is reported back"
    starts=$(console_count "start 'eth1' dump")
    "$L2_BOARD_EXEC" "sed -i 's/^exit 0\$/systemctl reboot/' /etc/l2agent/run/resetAll.sh" ||
        fail "could not make the reset script reboot"
    out=$(station reset --yes --wait -w $((boot_deadline * 1000))) || fail "reset --wait: $out"
    grep -q "^$board_device $board_product $board_ptuuid back after [0-9.]* s\$" <<<"$out" ||
        fail "reset --wait did not report the board back: $out"
    stamp "reset --wait: $(grep ' back after ' <<<"$out")"
    [ "$(console_count "start 'eth1' dump")" -gt "$starts" ] || fail "the board did not reboot"
    [ "$(console_count "reset requested by the service station")" -ge 2 ] || fail "no reset line"
    "$L2_BOARD_EXEC" "systemctl show -p DropInPaths l2agent@eth1 | grep -q strict.conf" ||
        fail "the strict drop-in is gone after the reboot"

    check "board-address mode from /etc/default/l2agent: listed at the board's own address"
    wait_console "ROOT LOGIN" 3 "$boot_deadline" || fail "no console shell after the second reboot"
    starts=$(console_count "start 'eth1' dump")
    "$L2_BOARD_EXEC" "sed -i 's/^L2AGENT_OPTIONS=.*/L2AGENT_OPTIONS=--board-address/' /etc/default/l2agent && systemctl restart l2agent@eth1" ||
        fail "could not turn board-address mode on"
    wait_console "serving 'eth1' at ${board_mac^^}" 1 60 || fail "the agent did not serve its own address"
    out=$(station info --json --fast 2>/dev/null)
    grep -qF "\"Mac\": \"${board_mac^^}\"" <<<"$out" || fail "info does not list the board's address: $out"
    station ping -c 2 -W 1000 --interval 100 --board "$board_mac" >/dev/null || fail "ping --board"
    # The board leaves the shared address alone: info lists it at its own address only, and
    # the shared address is no board's own, so --board refuses it.
    ! grep -qF '"Mac": null' <<<"$out" || fail "a board answered at the shared address: $out"
    rc=0
    station send -w 1000 --board 66:77:88:99:aa:bb req:kiv+info >/dev/null 2>&1 || rc=$?
    [ $rc -eq 2 ] || fail "--board took the shared address (send exited $rc)"
    stamp "all checks passed"
}

# wait_syslog PATTERN COUNT SECONDS: until the BusyBox board's syslog holds PATTERN (a grep
# pattern without double quotes: it is typed into the board's shell) COUNT times.
wait_syslog() {
    local deadline=$((SECONDS + $3))
    while [ $SECONDS -lt $deadline ]; do
        "$L2_BOARD_EXEC" "[ \$(grep -c -- \"$1\" /var/log/messages) -ge $2 ]" && return 0
        sleep 0.5
    done
    echo "board-vm: '$1' did not appear $2 times in the board's syslog within $3 s" >&2
    return 1
}

busybox_checks() {
    [ -n "${L2_BOARD_CONSOLE:-}" ] || die "_checks runs under 'run'"
    check "no udev daemon on the board; the agent is built without libudev"
    "$L2_BOARD_EXEC" "! pidof systemd-udevd udevd && [ ! -e /run/udev/control ]" || fail "a udev daemon runs"
    "$L2_BOARD_EXEC" "! grep -q libudev /proc/\$(pidof l2agent)/maps" || fail "the agent maps libudev"

    check "an info request is answered byte for byte, its HardId from util-linux blkid"
    info_reply_exact

    check "the agent's log is in syslog"
    wait_syslog "l2agent@eth1: .start 'eth1' dump" 1 10 || fail "no start line in syslog"
    wait_syslog "data str   : " 1 10 || fail "no frame lines in syslog"

    check "reset runs the board's reset script"
    station reset --yes >/dev/null
    wait_syslog "l2agent-reset: reset requested by the service station" 1 30 || fail "no reset line"

    check "the link taken down and up: served again, without a udev daemon"
    "$L2_BOARD_EXEC" "ip link set eth1 down" || fail "ip link set eth1 down"
    wait_syslog "link 'eth1' down" 1 30 || fail "no link-down line"
    "$L2_BOARD_EXEC" "ip link set eth1 up" || fail "ip link set eth1 up"
    wait_syslog "link 'eth1' up" 1 30 || fail "no link-up line"
    wait_serving 60 || fail "no answer after the link came up"

    check "killed with SIGKILL: l2agent-run starts it again"
    "$L2_BOARD_EXEC" "kill -9 \$(pidof l2agent)" || fail "kill -9"
    wait_syslog "start 'eth1' dump" 3 30 || fail "the agent was not started again"
    wait_serving 60 || fail "no answer after the restart"
    info_reply_exact
    stamp "all checks passed"
}

case "${1:-}" in
prepare)
    [ "$flavour" = busybox ] || die "prepare is for the --busybox board"
    busybox_host
    [ "${2:-}" != --deps-only ] || exit 0
    mkdir -p build-board
    extract_arm64 "$busybox_sysroot_packages" "$(busybox_sysroot)"
    extract_arm64 "$busybox_userland_packages" "$(busybox_userland)"
    ;;
run) shift; cmd_run "$@" ;;
test)
    started=$SECONDS
    # The checks are one more COMMAND of `run`, so the two cannot drift apart.
    if [ "$flavour" = debian ]; then
        cmd_run -- "$self" _checks
    else
        cmd_run -- "$self" --busybox _checks
    fi
    stamp "test passed in $((SECONDS - started)) s"
    ;;
_checks)
    # Board facts and helpers are this script's own; the board itself is reached through the
    # environment that `run` gives every command.
    work=$(dirname "$L2_BOARD_CONSOLE")
    if [ "$flavour" = debian ]; then
        agent_deb=$(ls out/l2agent_*_arm64.deb | head -1)
        board_checks
    else
        busybox_checks
    fi
    ;;
-h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' ;;
*) die "usage: scripts/board-vm.sh [--busybox] test | run -- COMMAND [ARG...] | --busybox prepare (see --help)" ;;
esac
