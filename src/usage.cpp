// The agent's command-line help and version.
#include "usage.h"

#include "wire.h"

#include <cstdio>
#include <cstring>

#ifndef L2AGENT_VERSION
#define L2AGENT_VERSION "0"
#endif

bool handleInfoOptions(int argc, char **argv) {
    if (argc < 2) {
        return false;
    }
    const char *arg = argv[1];
    if (std::strcmp(arg, "--version") == 0) {
        std::printf("l2agent %s\n", L2AGENT_VERSION);
        return true;
    }
    if (std::strcmp(arg, "--help") != 0 && std::strcmp(arg, "-h") != 0) {
        return false;
    }
    const QByteArray station = wire::macText(wire::stationMac()).toLatin1();
    const QByteArray service = wire::macText(wire::serviceMac()).toLatin1();
    std::printf(
        "Usage: l2agent [INTERFACE]\n"
        "\n"
        "Serves the service station on INTERFACE (default eth1) over raw Ethernet frames\n"
        "sent from %s to %s, for ever:\n"
        "  payload starting \"%s\"  answered with the board's identity and IPv4 "
        "addresses\n"
        "  payload starting \"%s\"  runs ./run/resetAll.sh (relative to the working\n"
        "                                 directory), no reply\n"
        "  anything else                  echoed back\n"
        "Replies go from %s to %s with a zero type field.\n"
        "\n"
        "Identity, read once at start: /App/bin/version (line 1 device name, line 2 version),\n"
        "/App/cfg/ID.txt (product id), PTUUID of `blkid /dev/mmcblk0` (hardware id).\n"
        "\n"
        "Needs root (raw capture, udev events). When INTERFACE is missing, down or goes away\n"
        "the agent waits for a udev network event or for the link to come up, pauses 3 s and\n"
        "tries again. Every step and every frame is logged to standard error. See l2agent(8).\n"
        "\n"
        "  -h, --help     show this help\n"
        "      --version  show the version\n",
        station.constData(), service.constData(), wire::kInfoKeyword, wire::kResetKeyword,
        service.constData(), station.constData());
    return true;
}
