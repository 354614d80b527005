// l2station's command line, read with QCommandLineParser, one parser per command; the help
// comes from the parsers.
#include "options.h"
#include "interfaces.h"
#include "ping.h"

#include "history.h"
#include "wire.h"

#include <QCommandLineParser>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

struct CommandEntry {
    Command command;
    const char *name;
    const char *usage;   // after "l2station NAME "
    const char *summary; // the help's first lines
    const char *exits;   // the help's last line
};

const char kExitsCollecting[] = "Exit: 0 some reply, 1 none, 2 usage, 3 no such interface, 4 no "
                                "permission, 5 capture error, 6 the station's link is down.";

const CommandEntry kCommands[] = {
    {Command::Info, "info",
     "[-i IFACE] [--board MAC] [-w MS] [--min-wait MS] [--quiet MS] [--fast] [--first] [--wide] "
     "[--json] [--key-file FILE]",
     "Asks every board on the segment who it is and lists one row per board: boards in\n"
     "board-address mode through the group address, each under its own address, and the\n"
     "others through the shared service address. It listens at least --min-wait MS, long\n"
     "enough for boards that answer half a second late; after that it returns once no reply\n"
     "came for --quiet MS, or after -w MS. --fast drops the minimum, for segments of current\n"
     "agents only. When boards answer from the shared address it warns on standard error\n"
     "that a learning switch may hide some of them.",
     "Exit: 0 boards listed, 1 none answered, 2 usage, 3 no such interface, 4 no permission, "
     "5 capture error, 6 the station's link is down."},
    {Command::Watch, "watch",
     "[-i IFACE] [--interval MS] [-c COUNT] [--json] [--no-history] [--history PATH|URL] "
     "[--station-name NAME] [-w MS] [--min-wait MS] [--quiet MS] [--fast] [--key-file FILE]",
     "Asks the segment every --interval MS, as info does, and prints a time-stamped line\n"
     "when a board appears, changes, or is gone (no answer in two rounds in a row). It runs\n"
     "until interrupted (Ctrl-C), or for -c COUNT rounds. --json prints one JSON object a line.\n"
     "What it sees goes into the history ('l2station history') unless --no-history: the\n"
     "user's own file, or the database --history or L2STATION_HISTORY names. While a\n"
     "database server cannot be reached it keeps watching and keeps up to 1000 rounds, which\n"
     "it writes, in order, once the server is back.",
     "Exit: 0 done, 2 usage, 3 no such interface, 4 no permission, 5 capture error."},
    {Command::History, "history",
     "[--history PATH|URL] [--station NAME] [-i IFACE] [--since WHEN] [--until WHEN] "
     "[--board MAC|HARDID] [--changes] [--event KIND] [--json] [--wide] | --stats [--json]",
     "Lists every board that watch or the window (l2station-gui) has seen, interface by\n"
     "interface, with when it was first and last seen and whether it was there at the last\n"
     "look; --changes lists each change instead (added, changed, gone, and each reset with\n"
     "who sent it and its outcome), oldest first. A board's going and coming back while it\n"
     "was reset is part of its reset. --since and --until take a date (2026-12-01), a date\n"
     "and time (2026-12-01T08:00), today, yesterday, or a time back from now (90s, 15m,\n"
     "12h, 7d). The history is only read: any history this user may read is listed. It is\n"
     "kept in $XDG_DATA_HOME/l2station/history.sqlite (~/.local/share by default), per user,\n"
     "or in the PostgreSQL database that --history or L2STATION_HISTORY names, shared by\n"
     "many stations (--station picks one's rows); 90 days and the newest 20000 boards and\n"
     "200000 changes of each station's interface (--stats).",
     "Exit: 0 listed, 1 nothing to list, 2 usage, 8 the history cannot be read."},
    {Command::Ping, "ping",
     "[-i IFACE] [--board MAC] [-c COUNT] [-s SIZE] [-W MS] [--interval MS] [--key-file FILE]",
     "Echo round trips to every board, or to the one --board names, with figures per board.\n"
     "Boards at the shared address cannot be told apart: replies after the first to a\n"
     "request from that address are counted as duplicates (DUP!).",
     kExitsCollecting},
    {Command::Reset, "reset",
     "[-i IFACE] [--board MAC] --yes [--wait [-w MS]] [--no-history] [--history PATH|URL] "
     "[--station-name NAME] [--key-file FILE]",
     "Sends a reset request: every board on the segment that receives it, or the one --board\n"
     "names, runs its reset script. --yes confirms that. Boards in board-address mode\n"
     "acknowledge it, and their number is shown; the others send nothing. It first lists\n"
     "the boards, and names one that answered but did not acknowledge. Without -i it\n"
     "refuses when more than one interface could be the boards' segment.\n"
     "With --wait it sends the reset and asks until each board is back: one that reports\n"
     "its agent's start (agent 1.3 in board-address mode) once it answers as a new start or\n"
     "boot; another once it went silent and answers again. One that answers as the same run\n"
     "after going silent, 10 s after the reset or when the wait ends did not restart. When\n"
     "several boards answer from the shared address it cannot tell which one a switch gave\n"
     "the request, and says so. It prints the time each took; progress goes to standard\n"
     "error.",
     "Exit: 0 sent (every board listed acknowledged; with --board: it acknowledged; with\n"
     "--wait: every board back), 1 a board did not acknowledge, several answer from the\n"
     "shared address, or with --wait: no board answered before the reset, or one went\n"
     "silent and was not back within -w MS; 2 usage, 3 no such interface, 4 no permission,\n"
     "5 capture error, 6 the station's link is down, 7 with --wait: a board did not\n"
     "restart."},
    {Command::Key, "key", "new FILE",
     "Writes a new key, 32 random bytes from the kernel's generator, to FILE (which must not\n"
     "exist yet) with mode 0600, and prints its id. Give the file to the boards (l2agent\n"
     "--key-file) and to the stations (--key-file): a keyed board runs its reset script only\n"
     "for a reset that proves one of its keys, and proves itself in its replies. Key files\n"
     "concatenate: a board's file may hold a new key and an old one while keys change.",
     "Exit: 0 written, 2 usage or FILE exists, 5 FILE cannot be written."},
    {Command::Send, "send",
     "[-i IFACE] [--board MAC] [--hex] [--yes] [-w MS] [--key-file FILE] DATA",
     "Sends DATA as the payload of one service frame to every board (or the one --board\n"
     "names) and prints every reply within the window, with the address it came from, as\n"
     "text and hex. The text stops before the zero bytes that pad a short frame; their\n"
     "number is shown. DATA that begins with the reset keyword needs --yes.",
     kExitsCollecting},
};

const CommandEntry *entryFor(Command command) {
    for (const CommandEntry &entry : kCommands) {
        if (entry.command == command) {
            return &entry;
        }
    }
    return nullptr;
}

const CommandEntry *entryNamed(const QString &name) {
    for (const CommandEntry &entry : kCommands) {
        if (name == QLatin1String(entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

// The options that take a whole number: their commands, range, field and description, in
// which %1 stands for the command's default. One name may have a row per group of commands.
struct NumberOption {
    const char *name;
    QList<Command> commands;
    int min;
    int max;
    int StationOptions::*field;
    const char *what;
    const char *description;
    const char *valueName;
};

const QList<NumberOption> &numberOptions() {
    static const QList<NumberOption> options{
        {"w",
         {Command::Info, Command::Watch},
         1,
         600000,
         &StationOptions::waitMs,
         "milliseconds",
         "collect replies for at most MS milliseconds (default %1)",
         "MS"},
        {"w",
         {Command::Send},
         1,
         600000,
         &StationOptions::waitMs,
         "milliseconds",
         "collect replies for MS milliseconds (default %1)",
         "MS"},
        {"w",
         {Command::Reset},
         1,
         3600000,
         &StationOptions::waitMs,
         "milliseconds",
         "with --wait: how long the boards may take to come back (default %1)",
         "MS"},
        {"min-wait",
         {Command::Info, Command::Watch},
         0,
         600000,
         &StationOptions::minWaitMs,
         "milliseconds",
         "listen at least MS milliseconds, for boards that answer late (default %1)",
         "MS"},
        {"quiet",
         {Command::Info, Command::Watch},
         1,
         600000,
         &StationOptions::quietMs,
         "milliseconds",
         "then stop once no reply came for MS milliseconds after the last one (default %1)",
         "MS"},
        {"c",
         {Command::Ping},
         1,
         kMaxPingCount,
         &StationOptions::count,
         "a count",
         "requests to send (default %1)",
         "COUNT"},
        {"c",
         {Command::Watch},
         1,
         100000000,
         &StationOptions::count,
         "a count",
         "rounds to run (default: until interrupted)",
         "COUNT"},
        {"s",
         {Command::Ping},
         pingMinSize(),
         wire::kMaxPayloadLen,
         &StationOptions::size,
         "a payload size",
         "payload bytes (default %1, for 60-byte frames)",
         "SIZE"},
        {"W",
         {Command::Ping},
         1,
         600000,
         &StationOptions::timeoutMs,
         "milliseconds",
         "wait for the last replies (default %1)",
         "MS"},
        {"interval",
         {Command::Ping},
         0,
         600000,
         &StationOptions::intervalMs,
         "milliseconds",
         "between requests (default %1)",
         "MS"},
        {"interval",
         {Command::Watch},
         0,
         86400000,
         &StationOptions::intervalMs,
         "milliseconds",
         "between the starts of two rounds (default %1)",
         "MS"},
    };
    return options;
}

QString dashed(const char *name) {
    return (std::strlen(name) == 1 ? QStringLiteral("-") : QStringLiteral("--")) +
           QLatin1String(name);
}

// The parser of one command, with the defaults of `defaults` shown in its help.
void addOptions(QCommandLineParser *parser, Command command, const StationOptions &defaults) {
    // Short options take their values attached too, as ping's users type them: -c3, -ist0.
    parser->setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser->addOption({{QStringLiteral("i")},
                       command == Command::History
                           ? QStringLiteral("only what was seen on IFACE")
                           : QStringLiteral("interface on the boards' segment (default: the first "
                                            "one that is up, not loopback, Ethernet)"),
                       QStringLiteral("IFACE")});
    parser->addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this help")});
    if (command != Command::Watch && command != Command::History) {
        parser->addOption({QStringLiteral("board"),
                           QStringLiteral("that board only: its own address, as in info's MAC "
                                          "column (a board in board-address mode)"),
                           QStringLiteral("MAC")});
    }
    for (const NumberOption &option : numberOptions()) {
        if (option.commands.contains(command)) {
            QString description = QString::fromLatin1(option.description);
            if (description.contains(QLatin1String("%1"))) {
                description = description.arg(defaults.*option.field);
            }
            parser->addOption(
                {QLatin1String(option.name), description, QLatin1String(option.valueName)});
        }
    }
    if (command == Command::Info || command == Command::Watch) {
        parser->addOption({QStringLiteral("fast"),
                           QStringLiteral("no minimum listening time: for segments whose boards "
                                          "all answer at once")});
    }
    switch (command) {
    case Command::Info:
        parser->addOption({QStringLiteral("first"), QStringLiteral("stop at the first reply")});
        parser->addOption(
            {QStringLiteral("wide"), QStringLiteral("show every value whole (a table is cut to the "
                                                    "terminal's width)")});
        parser->addOption(
            {QStringLiteral("json"), QStringLiteral("print a JSON array of boards (empty when none "
                                                    "answered)")});
        break;
    case Command::Watch:
        parser->addOption({QStringLiteral("json"),
                           QStringLiteral("print each change as one JSON object a line")});
        parser->addOption(
            {QStringLiteral("no-history"), QStringLiteral("keep nothing in the history")});
        break;
    case Command::History:
        parser->addOption({QStringLiteral("since"),
                           QStringLiteral("only what was seen from WHEN on: 2026-12-01, "
                                          "2026-12-01T08:00, today, yesterday, or back from now: "
                                          "90s, 15m, 12h, 7d"),
                           QStringLiteral("WHEN")});
        parser->addOption({QStringLiteral("until"),
                           QStringLiteral("only what was seen up to WHEN (as --since; a date "
                                          "takes in the whole day)"),
                           QStringLiteral("WHEN")});
        parser->addOption({QStringLiteral("board"),
                           QStringLiteral("only the board with this own address or HardId"),
                           QStringLiteral("MAC|HARDID")});
        parser->addOption({QStringLiteral("event"),
                           QStringLiteral("only changes of this kind: added, changed, gone or "
                                          "reset (repeat it, or list them with commas; implies "
                                          "--changes)"),
                           QStringLiteral("KIND")});
        parser->addOption({QStringLiteral("changes"), QStringLiteral("list the changes")});
        parser->addOption({QStringLiteral("stats"),
                           QStringLiteral("the history's size, rows per interface, and what it "
                                          "keeps")});
        parser->addOption(
            {QStringLiteral("wide"), QStringLiteral("show every value whole (a table is cut to the "
                                                    "terminal's width)")});
        parser->addOption({QStringLiteral("json"), QStringLiteral("print a JSON array")});
        break;
    case Command::Reset:
        parser->addOption({QStringLiteral("yes"), QStringLiteral("send the reset request")});
        parser->addOption({QStringLiteral("wait"),
                           QStringLiteral("list the boards first, then wait until each is back")});
        parser->addOption(
            {QStringLiteral("no-history"), QStringLiteral("do not keep the reset in the history")});
        break;
    case Command::Send:
        parser->addOption({QStringLiteral("hex"),
                           QStringLiteral("DATA is hexadecimal (e.g. 7265713a6b69762b696e666f)")});
        parser->addOption({QStringLiteral("yes"),
                           QStringLiteral("send DATA even when it begins with the reset keyword")});
        parser->addPositionalArgument(QStringLiteral("DATA"), QStringLiteral("the payload"));
        break;
    case Command::Key:
        parser->addPositionalArgument(QStringLiteral("new"), QStringLiteral("make a new key"));
        parser->addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("where to write it"));
        break;
    case Command::Ping:
    case Command::None:
        break;
    }
    if (command == Command::Watch || command == Command::Reset || command == Command::History) {
        parser->addOption({QStringLiteral("history"),
                           QStringLiteral("the history: a file, or a PostgreSQL database as a "
                                          "libpq URI (postgresql://host/db?sslmode=require; its "
                                          "password from ~/.pgpass, never in the URI); default "
                                          "L2STATION_HISTORY, else the user's own file"),
                           QStringLiteral("PATH|URL")});
    }
    if (command == Command::Watch || command == Command::Reset) {
        parser->addOption({QStringLiteral("station-name"),
                           QStringLiteral("this station's name in the history (default: the "
                                          "host name)"),
                           QStringLiteral("NAME")});
    }
    if (command == Command::History) {
        parser->addOption({QStringLiteral("station"),
                           QStringLiteral("only what the station NAME saw (its --station-name, "
                                          "or its host name)"),
                           QStringLiteral("NAME")});
    }
    if (command != Command::History && command != Command::Key) {
        parser->addOption({QStringLiteral("key-file"),
                           QStringLiteral("prove resets with FILE's keys, and mark each board "
                                          "verified or not by its proof (FILE from 'l2station key "
                                          "new', its owner's alone)"),
                           QStringLiteral("FILE")});
    }
}

bool hexData(const QString &text, QByteArray *data) {
    QByteArray clean;
    for (char c : text.toLatin1()) {
        if (c != ' ' && c != ':') {
            clean.append(c);
        }
    }
    const bool valid =
        clean.size() % 2 == 0 && std::all_of(clean.cbegin(), clean.cend(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        });
    if (valid) {
        *data = QByteArray::fromHex(clean);
    }
    return valid;
}

} // namespace

QString stationUsage(Command command) {
    const CommandEntry *entry = entryFor(command);
    if (entry == nullptr) {
        return QStringLiteral(
                   "Usage: l2station COMMAND [OPTIONS]\n"
                   "Finds, queries and resets l2agent boards on this Ethernet segment over raw "
                   "frames\n(from %1 to %2; no IP configuration needed).\n"
                   "Needs root or CAP_NET_RAW.\n"
                   "\n"
                   "Commands:\n"
                   "  info    list every board that answers, with its identity and IPv4 "
                   "addresses\n"
                   "  watch   print a line whenever a board appears, changes or is gone\n"
                   "  ping    echo round trips\n"
                   "  reset   make every board on the segment (or one) run its reset script\n"
                   "  send    send any payload and show the replies\n"
                   "  history list the boards watch and the window have seen, or the changes\n"
                   "  key     make a key for boards that take only proven resets\n"
                   "\n"
                   "'l2station COMMAND --help' describes each command; 'l2station --version' "
                   "shows the version; see also l2station(8).\n")
            .arg(wire::macText(wire::stationMac()), wire::macText(wire::serviceMac()));
    }
    QCommandLineParser parser;
    addOptions(&parser, command, defaultOptions(command));
    // The parser's own first line names the executable; ours names the command.
    QString options = parser.helpText();
    options = options.mid(options.indexOf(QLatin1Char('\n')) + 1);
    return QStringLiteral("Usage: l2station %1 %2\n%3\n")
               .arg(QLatin1String(entry->name), QLatin1String(entry->usage),
                    QLatin1String(entry->summary)) +
           options + (*entry->exits ? QLatin1String(entry->exits) + QLatin1Char('\n') : QString());
}

StationOptions defaultOptions(Command command) {
    StationOptions o;
    o.command = command;
    switch (command) {
    case Command::Info:
        o.waitMs = kDefaultInfoWaitMs;
        break;
    case Command::Watch:
        o.waitMs = kDefaultInfoWaitMs;
        o.count = 0;
        o.intervalMs = kDefaultWatchIntervalMs;
        break;
    case Command::Reset:
        o.waitMs = kDefaultResetWaitMs;
        break;
    case Command::Ping:
    case Command::Send:
    case Command::History:
    case Command::Key:
    case Command::None:
        break;
    }
    return o;
}

bool parseStationArgs(const QStringList &args, StationOptions *options, QString *error) {
    *options = StationOptions();
    if (args.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    const QString name = args.first();
    if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
        options->help = true;
        return true;
    }
    if (name == QLatin1String("--version")) {
        options->version = true;
        return true;
    }
    const CommandEntry *entry = entryNamed(name);
    if (entry == nullptr) {
        *error = QStringLiteral("unknown command '%1'").arg(name);
        return false;
    }
    const Command cmd = entry->command;
    *options = defaultOptions(cmd);
    QCommandLineParser parser;
    addOptions(&parser, cmd, *options);
    // The parser skips its first word, the program; here that is the command.
    if (!parser.parse(args)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        options->help = true;
        return true;
    }
    if (parser.isSet(QStringLiteral("i"))) {
        options->interface = parser.value(QStringLiteral("i"));
        if (options->interface.isEmpty()) {
            *error = QStringLiteral("empty interface name");
            return false;
        }
    }
    if (cmd != Command::Watch && cmd != Command::History && parser.isSet(QStringLiteral("board"))) {
        options->board = wire::macFromText(parser.value(QStringLiteral("board")));
        if (options->board.isEmpty()) {
            *error = QStringLiteral("--board takes a MAC address such as 52:54:00:4c:32:01");
            return false;
        }
        if (wire::isGroupAddress(options->board)) {
            *error = QStringLiteral("--board takes one board's own address, not a group address");
            return false;
        }
        if (options->board == wire::serviceMac() || options->board == wire::stationMac()) {
            // Every board in the default mode shares that address: a request to it reaches
            // whichever one a switch picks, and none acknowledges.
            *error = QStringLiteral("--board takes one board's own address, not the shared %1 "
                                    "(leave --board out to reach the boards that answer from it)")
                         .arg(wire::macText(options->board));
            return false;
        }
    }
    for (const NumberOption &option : numberOptions()) {
        const QString optionName = QLatin1String(option.name);
        if (!option.commands.contains(cmd) || !parser.isSet(optionName)) {
            continue;
        }
        bool ok = false;
        const int value = parser.value(optionName).toInt(&ok);
        if (!ok || value < option.min || value > option.max) {
            *error = QStringLiteral("%1 takes %2 from %3 to %4")
                         .arg(dashed(option.name), QLatin1String(option.what))
                         .arg(option.min)
                         .arg(option.max);
            return false;
        }
        options->*option.field = value;
    }
    const auto flag = [&](const char *flagName) {
        const QString n = QLatin1String(flagName);
        return parser.optionNames().contains(n) && parser.isSet(n);
    };
    options->first = cmd == Command::Info && flag("first");
    options->wide = flag("wide");
    options->history = !flag("no-history");
    options->historyAt = HistoryStore::defaultPath();
    if ((cmd == Command::Watch || cmd == Command::Reset || cmd == Command::History) &&
        parser.isSet(QStringLiteral("history"))) {
        options->historyAt = parser.value(QStringLiteral("history"));
        if (options->historyAt.isEmpty()) {
            *error = QStringLiteral("--history: a file or a postgresql:// URI");
            return false;
        }
    }
    if ((cmd == Command::Watch || cmd == Command::Reset) &&
        parser.isSet(QStringLiteral("station-name"))) {
        options->stationName = parser.value(QStringLiteral("station-name")).trimmed();
        if (options->stationName.isEmpty()) {
            *error = QStringLiteral("--station-name: a name");
            return false;
        }
    }
    if (cmd == Command::History && parser.isSet(QStringLiteral("station"))) {
        options->station = parser.value(QStringLiteral("station")).trimmed();
        if (options->station.isEmpty()) {
            *error = QStringLiteral("--station: a station's name");
            return false;
        }
    }
    options->changes = flag("changes");
    options->stats = flag("stats");
    if (cmd == Command::History) {
        for (const char *name : {"since", "until"}) {
            const QString option = QLatin1String(name);
            if (!parser.isSet(option)) {
                continue;
            }
            const QDateTime when = parseSince(parser.value(option), QDateTime::currentDateTime(),
                                              option == QLatin1String("until"));
            if (!when.isValid()) {
                *error = QStringLiteral("--%1 takes a date (2026-12-01), a date and time "
                                        "(2026-12-01T08:00), today, yesterday, or a time back "
                                        "from now (90s, 15m, 12h, 7d)")
                             .arg(option);
                return false;
            }
            (option == QLatin1String("since") ? options->since : options->until) = when;
        }
        if (options->since.isValid() && options->until.isValid() &&
            options->until < options->since) {
            *error = QStringLiteral("--until is before --since");
            return false;
        }
        options->historyBoard = parser.value(QStringLiteral("board")).trimmed();
        if (parser.isSet(QStringLiteral("board")) && options->historyBoard.isEmpty()) {
            *error = QStringLiteral("--board takes a board's own address or its HardId");
            return false;
        }
        for (const QString &value : parser.values(QStringLiteral("event"))) {
            for (const QString &kind : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                if (!historyEvents().contains(kind.trimmed())) {
                    *error =
                        QStringLiteral("--event takes %1, not '%2'")
                            .arg(historyEvents().join(QStringLiteral(", ")), printableText(kind));
                    return false;
                }
                options->events.append(kind.trimmed());
            }
        }
        options->changes = options->changes || !options->events.isEmpty();
    }
    options->json = flag("json");
    options->fast = flag("fast");
    options->yes = (cmd == Command::Reset || cmd == Command::Send) && flag("yes");
    options->wait = cmd == Command::Reset && flag("wait");
    if (options->fast) {
        options->minWaitMs = 0;
    }
    options->hex = cmd == Command::Send && flag("hex");
    const QStringList positional = parser.positionalArguments();
    if (cmd == Command::Send) {
        if (positional.size() != 1) {
            *error = QStringLiteral("send takes exactly one DATA argument");
            return false;
        }
        if (options->hex) {
            if (!hexData(positional.first(), &options->data)) {
                *error = QStringLiteral("--hex DATA must be pairs of hexadecimal digits");
                return false;
            }
        } else {
            options->data = positional.first().toUtf8();
        }
        if (options->data.size() > wire::kMaxPayloadLen) {
            *error = QStringLiteral("DATA is longer than %1 bytes").arg(wire::kMaxPayloadLen);
            return false;
        }
        // A board takes any payload that begins with the keyword for a reset request.
        if (options->data.startsWith(wire::kResetKeyword) && !options->yes) {
            *error = QStringLiteral("DATA begins with the reset keyword %1: every board that "
                                    "receives it runs its reset script; use 'l2station reset', "
                                    "or give --yes")
                         .arg(QLatin1String(wire::kResetKeyword));
            return false;
        }
    } else if (cmd == Command::Key) {
        if (positional.size() != 2 || positional.first() != QLatin1String("new")) {
            *error = QStringLiteral("key takes 'new FILE'");
            return false;
        }
        options->keyFile = positional.at(1);
    } else if (!positional.isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1'").arg(positional.first());
        return false;
    }
    if (cmd != Command::Key && cmd != Command::History &&
        parser.isSet(QStringLiteral("key-file"))) {
        options->keyFile = parser.value(QStringLiteral("key-file"));
    }
    if (cmd == Command::Reset && !options->yes) {
        *error = QStringLiteral("reset needs --yes: every board on the segment that receives the "
                                "request runs its reset script");
        return false;
    }
    if (cmd == Command::Reset && parser.isSet(QStringLiteral("w")) && !options->wait) {
        *error = QStringLiteral("-w goes with --wait");
        return false;
    }
    if (options->fast && parser.isSet(QStringLiteral("min-wait"))) {
        *error = QStringLiteral("--fast and --min-wait exclude each other");
        return false;
    }
    if (cmd == Command::Info || cmd == Command::Watch) {
        if (parser.isSet(QStringLiteral("min-wait")) && options->minWaitMs > options->waitMs) {
            *error = QStringLiteral("--min-wait %1 is longer than -w %2, which ends the collection")
                         .arg(options->minWaitMs)
                         .arg(options->waitMs);
            return false;
        }
        // A window shorter than the default minimum is the whole collection.
        options->minWaitMs = qMin(options->minWaitMs, options->waitMs);
    }
    return true;
}

QStringList segmentCandidates(const QList<InterfaceCandidate> &candidates) {
    QStringList names;
    for (const InterfaceCandidate &c : candidates) {
        // Wi-Fi frames are Ethernet's too, but a service segment is wired.
        if (c.up && !c.loopback && c.ethernet && !c.wireless) {
            names.append(c.name);
        }
    }
    return names;
}

QString pickInterface(const QList<InterfaceCandidate> &candidates) {
    const QStringList names = segmentCandidates(candidates);
    return names.isEmpty() ? QString() : names.first();
}

QString unfitInterface(const InterfaceCandidate &c) {
    if (c.loopback) {
        return QStringLiteral("%1 is a loopback interface; name the interface on the boards' "
                              "segment")
            .arg(c.name);
    }
    if (!c.ethernet) {
        return QStringLiteral("%1 is not an Ethernet interface; service frames are Ethernet "
                              "frames")
            .arg(c.name);
    }
    return QString();
}
