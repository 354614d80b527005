// The agent's command-line help and version.
#include "usage.h"

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
    std::printf(
        "Usage: l2agent [INTERFACE]\n"
        "\n"
        "Serves the service station on INTERFACE (default eth1) over raw Ethernet frames\n"
        "sent from 00:11:22:33:44:55 to 66:77:88:99:AA:BB, for ever:\n"
        "  payload starting \"req:kiv+info\"  answered with the board's identity and IPv4 "
        "addresses\n"
        "  payload starting \"req:kiv+init\"  runs ./run/resetAll.sh (relative to the working\n"
        "                                 directory), no reply\n"
        "  anything else                  echoed back\n"
        "Replies go from 66:77:88:99:AA:BB to 00:11:22:33:44:55 with a zero type field.\n"
        "\n"
        "Identity, read once at start: /App/bin/version (line 1 device name, line 2 version),\n"
        "/App/cfg/ID.txt (product id), PTUUID of `blkid /dev/mmcblk0` (hardware id).\n"
        "\n"
        "Needs root (raw capture, udev events). When INTERFACE is missing or goes away the agent\n"
        "waits for a udev network event, pauses 3 s and tries again. Every step and every frame\n"
        "is logged to standard error.\n"
        "\n"
        "  -h, --help     show this help\n"
        "      --version  show the version\n");
    return true;
}
