SUMMARY = "Link-layer service agent for embedded boards, and its station tool"
DESCRIPTION = "l2agent answers a service station's raw Ethernet frames on one interface, \
with no IP configuration needed: it reports the board's identity and IPv4 addresses, runs \
the board's reset script, and echoes everything else. l2station (package ${PN}-station) is \
the station's tool."
SECTION = "net"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=ca43ce7d0ba6afcdf7bffad2b17ef5b5"

# The release tarball that scripts/release.sh makes, from this recipe's files/ directory;
# point L2AGENT_RELEASES at the place you keep releases instead.
L2AGENT_RELEASES ??= "file://"
SRC_URI = "${L2AGENT_RELEASES}l2agent-${PV}.tar.gz"
SRC_URI[sha256sum] = "5cf8ae7fd90aaf8d8cd64e62d9b9bf92176539e515376ee8974ad1388995344f"

inherit cmake_qt5 pkgconfig systemd update-rc.d

DEPENDS += "libpcap"

# With udev the wait between capture attempts watches udev's events too; without it, the
# kernel's link notifications alone (l2agent(8)).
PACKAGECONFIG ??= "${@bb.utils.contains('DISTRO_FEATURES', 'systemd', 'udev', '', d)}"
PACKAGECONFIG[udev] = "-DL2_UDEV=ON,-DL2_UDEV=OFF,udev"

EXTRA_OECMAKE += " \
    -DL2_GUI=OFF \
    -DL2_TESTS=OFF \
    -DL2_BENCH=OFF \
    -DL2_WERROR=OFF \
    -DL2_SYSVINIT=${@bb.utils.contains('DISTRO_FEATURES', 'sysvinit', 'ON', 'OFF', d)} \
    -DL2_SYSTEMD=${@bb.utils.contains('DISTRO_FEATURES', 'systemd', 'ON', 'OFF', d)} \
    -DL2_SYSTEMD_UNITDIR=${systemd_system_unitdir} \
"

# The station's history (watch, history) needs Qt's SQLite driver: qtbase with
# PACKAGECONFIG:append = " sql-sqlite", and its plugins on the image. Without it, watch says so
# and goes on without a history.
PACKAGES =+ "${PN}-station"
FILES:${PN}-station = " \
    ${bindir}/l2station \
    ${datadir}/bash-completion \
    ${libdir}/wireshark \
    ${mandir}/man8/l2station.8* \
"
FILES:${PN} += "${systemd_system_unitdir}/l2agent@.service"

# util-linux's blkid gives the hardware id: BusyBox's prints no PTUUID.
RDEPENDS:${PN} = "util-linux-blkid"
CONFFILES:${PN} = "${sysconfdir}/default/l2agent ${sysconfdir}/l2agent/run/resetAll.sh"

# A key file on the board (l2station key new), never shipped: with a path the agent runs in
# board-address mode and runs its reset script only for resets proven with one of its keys.
L2AGENT_KEY_FILE ??= ""
do_install:append() {
    if [ -n "${L2AGENT_KEY_FILE}" ]; then
        sed -i 's|^L2AGENT_OPTIONS=.*|L2AGENT_OPTIONS="--board-address --key-file ${L2AGENT_KEY_FILE}"|' \
            ${D}${sysconfdir}/default/l2agent
    fi
}

# One instance per served interface, which the integrator names: l2agent@eth1.service.
SYSTEMD_SERVICE:${PN} = "l2agent@.service"
SYSTEMD_AUTO_ENABLE:${PN} = "disable"
INITSCRIPT_NAME = "l2agent"
INITSCRIPT_PARAMS = "defaults 50"
