SUMMARY = "Link-layer service agent for embedded boards, and its station tool"
DESCRIPTION = "l2agent answers a service station's raw Ethernet frames on one interface, \
with no IP configuration needed: it reports the board's identity and IPv4 addresses, runs \
the board's reset script, and echoes everything else. l2station (package ${PN}-station) is \
the station's tool."
SECTION = "net"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=ca43ce7d0ba6afcdf7bffad2b17ef5b5"

# The release tarball, which the checksum below pins (scripts/cut-release.sh). The default
# stands for the project's download site. To build from a local copy with the checksum still
# checked, keep this URL and add a premirror: PREMIRRORS:prepend = "https://l2agent.example.org/releases/.* file:///path/to/out/"
L2AGENT_RELEASES ??= "https://l2agent.example.org/releases/"
SRC_URI = "${L2AGENT_RELEASES}l2agent-${PV}.tar.gz \
           file://run-ptest \
"
SRC_URI[sha256sum] = "1d0a4b91654e164685e13e5954ba868ce8b7d822bf2302f73395c23afb44d6ea"

inherit cmake_qt5 pkgconfig systemd update-rc.d ptest

# scdoc makes the manual pages.
DEPENDS += "libpcap scdoc-native"

# With udev the wait between capture attempts watches udev's events too; without it, the
# kernel's link notifications alone (l2agent(8)).
PACKAGECONFIG ??= "${@bb.utils.contains('DISTRO_FEATURES', 'systemd', 'udev', '', d)}"
PACKAGECONFIG[udev] = "-DL2_UDEV=ON,-DL2_UDEV=OFF,udev"

EXTRA_OECMAKE += " \
    -DL2_GUI=OFF \
    -DL2_TESTS=${@bb.utils.contains('PTEST_ENABLED', '1', 'ON', 'OFF', d)} \
    -DL2_E2E_TESTS=OFF \
    -DL2_BENCH=OFF \
    -DL2_WERROR=OFF \
    -DL2_SYSVINIT=${@'OFF' if bb.utils.contains('DISTRO_FEATURES', 'systemd', True, False, d) else 'ON'} \
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

# The interface the agent serves from boot: its unit instance is enabled under systemd, the
# init script starts it under sysvinit and BusyBox init.
L2AGENT_INTERFACE ??= "eth1"

# A key file on the board (l2station key new), never shipped: with a path the agent runs in
# board-address mode and runs its reset script only for resets proven with one of its keys.
L2AGENT_KEY_FILE ??= ""
do_install:append() {
    if [ -n "${L2AGENT_KEY_FILE}" ]; then
        sed -i 's|^L2AGENT_OPTIONS=.*|L2AGENT_OPTIONS="--board-address --key-file ${L2AGENT_KEY_FILE}"|' \
            ${D}${sysconfdir}/default/l2agent
    fi
    sed -i 's|^L2AGENT_INTERFACES=.*|L2AGENT_INTERFACES="${L2AGENT_INTERFACE}"|' \
        ${D}${sysconfdir}/default/l2agent
    # BusyBox init (INIT_MANAGER = "mdev-busybox") runs /etc/rcS.d and /etc/rc5.d, which
    # update-rc.d fills only on sysvinit images: the link is made here.
    if ${@'true' if d.getVar('VIRTUAL-RUNTIME_init_manager') == 'busybox' else 'false'}; then
        install -d ${D}${sysconfdir}/rc5.d
        ln -sf ../init.d/l2agent ${D}${sysconfdir}/rc5.d/S50l2agent
    fi
}

# The instance of the template unit for the interface, enabled as systemctl enable does.
SYSTEMD_SERVICE:${PN} = "l2agent@${L2AGENT_INTERFACE}.service"
SYSTEMD_AUTO_ENABLE:${PN} = "enable"
INITSCRIPT_NAME = "l2agent"
INITSCRIPT_PARAMS = "defaults 50"
FILES:${PN} += "${sysconfdir}/rc5.d"

# The agent's unit tests on the target (ptest-runner l2agent).
do_install_ptest() {
    install -d ${D}${PTEST_PATH}/tests
    for t in tst_protocol tst_identity tst_supervisor tst_netwatch; do
        install -m 0755 ${B}/tests/$t ${D}${PTEST_PATH}/tests/
    done
}
