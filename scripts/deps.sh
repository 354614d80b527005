# Sourced by the scripts: installs the Debian packages given as arguments that are not
# installed yet, with one `apt-get update` at most.
need_packages() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    if [ -z "${L2_APT_UPDATED:-}" ]; then
        apt-get update -qq
        L2_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building and testing the project needs on Debian 12.
L2_BUILD_PACKAGES=(build-essential cmake pkg-config qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql libpq-dev libpcap-dev libudev-dev scdoc)
# postgresql-15: the history's tests start a server of their own (initdb in a temporary folder).
L2_TEST_PACKAGES=(iproute2 udev util-linux procps tshark postgresql-15)
# The Qt 6 build (scripts/qt6.sh).
L2_QT6_PACKAGES=(qt6-base-dev libqt6sql6-sqlite libqt6sql6-psql)

# The Debian mirror apt uses here, for debootstrap and mmdebstrap roots.
debian_mirror() {
    local m
    m=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | grep -v security | head -1)
    echo "${m:-http://deb.debian.org/debian}"
}
