// The agent's command line, read with QCommandLineParser, and its help and version.
#include "usage.h"

#include "keys.h"
#include "wire.h"

#include <QCommandLineParser>

#include <cstdio>

#ifndef L2AGENT_VERSION
#define L2AGENT_VERSION "0"
#endif

const char *const kDefaultInterface = "eth1";

QString agentUsage() {
    return QStringLiteral(
               "Usage: l2agent [--board-address [--key-file FILE]] [INTERFACE]\n"
               "\n"
               "Serves the service station on INTERFACE (default eth1) over raw Ethernet frames\n"
               "sent from %1 to %2, for ever:\n"
               "  payload starting \"%3\"  answered with the board's identity and IPv4 "
               "addresses\n"
               "  payload starting \"%4\"  runs ./run/resetAll.sh (relative to the working\n"
               "                                 directory), no reply\n"
               "  anything else                  echoed back\n"
               "Replies go from %2 to %1 with a zero type field.\n"
               "\n"
               "  --board-address  for segments behind learning switches: serve any station's\n"
               "                   requests sent to INTERFACE's own hardware address or to the\n"
               "                   group address %5, answer from INTERFACE's own address to\n"
               "                   the station that asked, acknowledge a reset before the\n"
               "                   script runs, send the boot id and this run's start value\n"
               "                   with each reply, and leave frames to %2 alone.\n"
               "                   Stations older than l2station 1.2 do not see such a board.\n"
               "  --key-file FILE  with --board-address: run the reset script only for a reset\n"
               "                   that proves one of FILE's keys and is fresh, and prove the\n"
               "                   board in its replies. FILE (from 'l2station key new') must\n"
               "                   be readable and writable by its owner only.\n"
               "  -h, --help       show this help\n"
               "      --version    show the version\n"
               "\n"
               "Identity, read once at start: /App/bin/version (line 1 device name, line 2 "
               "version),\n"
               "/App/cfg/ID.txt (product id), PTUUID of `blkid /dev/mmcblk0` (hardware id).\n"
               "\n"
#ifdef L2_UDEV
               "Needs root (raw capture, udev events). When INTERFACE is missing, down or goes "
               "away\n"
               "the agent waits for a udev network event or for the link to come up, pauses 3 s "
               "and\n"
#else
               "Needs root (raw capture). When INTERFACE is missing, down or goes away the agent\n"
               "waits for the kernel to say that the link is there and up, pauses 3 s and\n"
#endif
               "tries again. Every step and every frame is logged to standard error. See "
               "l2agent(8).\n")
        .arg(wire::macText(wire::stationMac()), wire::macText(wire::serviceMac()),
             QLatin1String(wire::kInfoKeyword), QLatin1String(wire::kResetKeyword),
             wire::macText(wire::groupMac()));
}

AgentCommandLine readAgentCommandLine(const QStringList &args) {
    AgentCommandLine line;
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption board(QStringLiteral("board-address"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption keyFile(QStringLiteral("key-file"), QString(), QStringLiteral("FILE"));
    parser.addOptions({board, help, version, keyFile});
    // The parser skips the first word, the program's name.
    if (!parser.parse(QStringList{QStringLiteral("l2agent")} + args)) {
        std::fprintf(stderr, "l2agent: %s\nTry 'l2agent --help'.\n",
                     parser.errorText().toLocal8Bit().constData());
        line.exitStatus = 2;
        return line;
    }
    if (parser.isSet(help)) {
        std::printf("%s", agentUsage().toLocal8Bit().constData());
        line.exitStatus = 0;
        return line;
    }
    if (parser.isSet(version)) {
        std::printf("l2agent %s\n", L2AGENT_VERSION);
        line.exitStatus = 0;
        return line;
    }
    const QStringList positional = parser.positionalArguments();
    line.interfaceName =
        positional.isEmpty() ? QString::fromLatin1(kDefaultInterface) : positional.first();
    line.boardAddress = parser.isSet(board);
    if (parser.isSet(keyFile)) {
        QString error;
        if (!line.boardAddress) {
            error = QStringLiteral("--key-file needs --board-address");
        } else if (keys::readKeyFile(parser.value(keyFile), &line.keys, &error)) {
            line.keyFile = parser.value(keyFile);
        }
        if (!error.isEmpty()) {
            std::fprintf(stderr, "l2agent: %s\n", error.toLocal8Bit().constData());
            line.exitStatus = 2;
        }
    }
    return line;
}

AgentCommandLine readAgentCommandLine(int argc, char **argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        // The interface name is taken as UTF-8, whatever the locale.
        args.append(QString::fromUtf8(argv[i]));
    }
    return readAgentCommandLine(args);
}
