// Command line, info-reply parsing and the output formats of l2station.
#include "station.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace {

bool toInt(const QString &text, int min, int max, int *value) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max) {
        return false;
    }
    *value = v;
    return true;
}

Command commandNamed(const QString &name) {
    if (name == QLatin1String("info")) {
        return Command::Info;
    }
    if (name == QLatin1String("ping")) {
        return Command::Ping;
    }
    if (name == QLatin1String("reset")) {
        return Command::Reset;
    }
    if (name == QLatin1String("send")) {
        return Command::Send;
    }
    return Command::None;
}

bool collectsReplies(Command command) {
    return command == Command::Info || command == Command::Send;
}

bool pings(Command command) {
    return command == Command::Ping;
}

// The options that take a whole number, with the commands they belong to and their range.
struct NumberOption {
    const char *name;
    bool (*appliesTo)(Command);
    int min;
    int max;
    int StationOptions::*field;
    const char *what;
};

const NumberOption kNumberOptions[] = {
    {"-w", collectsReplies, 1, 600000, &StationOptions::waitMs, "milliseconds"},
    {"-c", pings, 1, 1000000, &StationOptions::count, "a count"},
    {"-s", pings, 16, 1500, &StationOptions::size, "a payload size"},
    {"-W", pings, 1, 600000, &StationOptions::timeoutMs, "milliseconds"},
    {"--interval", pings, 0, 600000, &StationOptions::intervalMs, "milliseconds"},
};

const NumberOption *numberOptionNamed(const QString &name) {
    for (const NumberOption &option : kNumberOptions) {
        if (name == QLatin1String(option.name)) {
            return &option;
        }
    }
    return nullptr;
}

} // namespace

QString stationUsage(Command command) {
    const QString common = QStringLiteral(
        "  -i IFACE   interface on the boards' segment (default: the first one that is up,\n"
        "             not loopback, Ethernet)\n"
        "  -h, --help this help\n");
    switch (command) {
    case Command::Info:
        return QStringLiteral(
                   "Usage: l2station info [-i IFACE] [-w MS] [--first] [--json]\n"
                   "Asks every board on the segment who it is and lists one row per board.\n"
                   "  -w MS      collect replies for MS milliseconds (default 1000)\n"
                   "  --first    stop at the first reply\n"
                   "  --json     print a JSON array of boards (empty when none answered)\n") +
               common +
               QStringLiteral("Exit: 0 boards listed, 1 none answered, 2 usage, 3 no such "
                              "interface, 4 no permission, 5 capture error.\n");
    case Command::Ping:
        return QStringLiteral(
                   "Usage: l2station ping [-i IFACE] [-c COUNT] [-s SIZE] [-W MS] [--interval MS]\n"
                   "Echo round trips to the boards. Every board answers each request; replies\n"
                   "after the first to a request are counted as duplicates (DUP!).\n"
                   "  -c COUNT       requests to send (default 4)\n"
                   "  -s SIZE        payload bytes, 16 to 1500 (default 46: 60-byte frames)\n"
                   "  -W MS          wait for the last replies (default 1000)\n"
                   "  --interval MS  between requests (default 1000)\n") +
               common +
               QStringLiteral("Exit: 0 some reply, 1 none, 2 usage, 3 no such interface, 4 no "
                              "permission, 5 capture error.\n");
    case Command::Reset:
        return QStringLiteral(
                   "Usage: l2station reset [-i IFACE] --yes\n"
                   "Sends a reset request. Every board on the segment that receives it runs its\n"
                   "reset script; boards send no reply. --yes confirms that.\n") +
               common;
    case Command::Send:
        return QStringLiteral(
                   "Usage: l2station send [-i IFACE] [--hex] [-w MS] DATA\n"
                   "Sends DATA as the payload of one service frame and prints every reply within\n"
                   "the window, as text and hex.\n"
                   "  --hex   DATA is hexadecimal (e.g. 7265713a6b69762b696e666f)\n"
                   "  -w MS   collect replies for MS milliseconds (default 1000)\n") +
               common +
               QStringLiteral("Exit: 0 some reply, 1 none, 2 usage, 3 no such interface, 4 no "
                              "permission, 5 capture error.\n");
    case Command::None:
        break;
    }
    return QStringLiteral(
        "Usage: l2station COMMAND [OPTIONS]\n"
        "Finds, queries and resets l2agent boards on this Ethernet segment over raw frames\n"
        "(from 00:11:22:33:44:55 to 66:77:88:99:AA:BB; no IP configuration needed).\n"
        "Needs root or CAP_NET_RAW.\n"
        "\n"
        "Commands:\n"
        "  info    list every board that answers, with its identity and IPv4 addresses\n"
        "  ping    echo round trips\n"
        "  reset   make every board on the segment run its reset script\n"
        "  send    send any payload and show the replies\n"
        "\n"
        "'l2station COMMAND --help' describes each command.\n");
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
    options->command = commandNamed(name);
    if (options->command == Command::None) {
        *error = QStringLiteral("unknown command '%1'").arg(name);
        return false;
    }
    const Command cmd = options->command;
    QStringList positional;
    for (int i = 1; i < args.size(); ++i) {
        const QString arg = args.at(i);
        const NumberOption *number = numberOptionNamed(arg);
        const bool takesValue = arg == QLatin1String("-i") || number != nullptr;
        QString value;
        if (takesValue) {
            if (i + 1 >= args.size()) {
                *error = QStringLiteral("option %1 needs a value").arg(arg);
                return false;
            }
            value = args.at(++i);
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            options->help = true;
        } else if (arg == QLatin1String("-i")) {
            if (value.isEmpty()) {
                *error = QStringLiteral("empty interface name");
                return false;
            }
            options->interface = value;
        } else if (number != nullptr && number->appliesTo(cmd)) {
            if (!toInt(value, number->min, number->max, &(options->*number->field))) {
                *error = QStringLiteral("%1 takes %2 from %3 to %4")
                             .arg(arg, QLatin1String(number->what))
                             .arg(number->min)
                             .arg(number->max);
                return false;
            }
        } else if (arg == QLatin1String("--first") && cmd == Command::Info) {
            options->first = true;
        } else if (arg == QLatin1String("--json") && cmd == Command::Info) {
            options->json = true;
        } else if (arg == QLatin1String("--yes") && cmd == Command::Reset) {
            options->yes = true;
        } else if (arg == QLatin1String("--hex") && cmd == Command::Send) {
            options->hex = true;
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            *error = QStringLiteral("unknown option %1 for %2").arg(arg, name);
            return false;
        } else {
            positional.append(arg);
        }
    }
    if (options->help) {
        return true;
    }
    if (cmd == Command::Send) {
        if (positional.size() != 1) {
            *error = QStringLiteral("send takes exactly one DATA argument");
            return false;
        }
        if (options->hex) {
            const QByteArray hex = positional.first().toLatin1();
            QByteArray clean;
            for (char c : hex) {
                if (c != ' ' && c != ':') {
                    clean.append(c);
                }
            }
            const bool valid =
                clean.size() % 2 == 0 && std::all_of(clean.cbegin(), clean.cend(), [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                });
            if (!valid) {
                *error = QStringLiteral("--hex DATA must be pairs of hexadecimal digits");
                return false;
            }
            options->data = QByteArray::fromHex(clean);
        } else {
            options->data = positional.first().toUtf8();
        }
        if (options->data.size() > 1500) {
            *error = QStringLiteral("DATA is longer than 1500 bytes");
            return false;
        }
    } else if (!positional.isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1'").arg(positional.first());
        return false;
    }
    if (cmd == Command::Reset && !options->yes) {
        *error = QStringLiteral("reset needs --yes: every board on the segment that receives the "
                                "request runs its reset script");
        return false;
    }
    return true;
}

bool parseInfoReply(const QByteArray &payload, BoardInfo *board, QString *error) {
    // A NIC may pad a short frame with zeros; the text ends before them.
    QByteArray bytes = payload;
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) {
        bytes.truncate(zero);
    }
    const QStringList lines = QString::fromLatin1(bytes).split(QLatin1Char('\n'));
    if (lines.first() != QLatin1String("res:kiv+info")) {
        *error = QStringLiteral("does not start with res:kiv+info");
        return false;
    }
    if (!bytes.endsWith('\n')) {
        *error = QStringLiteral("cut short (no final line feed)");
        return false;
    }
    const QStringList labels{QStringLiteral("Device"), QStringLiteral("Version"),
                             QStringLiteral("Product"), QStringLiteral("HardId"),
                             QStringLiteral("IpAddress")};
    QStringList values(QVector<QString>(labels.size()).toList());
    QList<bool> seen(QVector<bool>(labels.size(), false).toList());
    for (int i = 1; i < lines.size() - 1; ++i) {
        const QString line = lines.at(i);
        const int separator = line.indexOf(QLatin1String(" : "));
        if (separator < 0) {
            *error = QStringLiteral("line %1 is not 'Label : value': %2").arg(i + 1).arg(line);
            return false;
        }
        const int which = labels.indexOf(line.left(separator));
        if (which < 0) {
            continue; // a label this tool does not know yet
        }
        if (seen.at(which)) {
            *error = QStringLiteral("%1 given twice").arg(labels.at(which));
            return false;
        }
        seen[which] = true;
        values[which] = line.mid(separator + 3);
    }
    QStringList missing;
    for (int i = 0; i < labels.size(); ++i) {
        if (!seen.at(i)) {
            missing.append(labels.at(i));
        }
    }
    if (!missing.isEmpty()) {
        *error = QStringLiteral("missing %1").arg(missing.join(QStringLiteral(", ")));
        return false;
    }
    board->device = values.at(0);
    board->version = values.at(1);
    board->product = values.at(2);
    board->hardId = values.at(3);
    board->ipAddresses = values.at(4).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return true;
}

QString boardsTable(const QList<BoardInfo> &boards) {
    QList<QStringList> rows{{QStringLiteral("DEVICE"), QStringLiteral("VERSION"),
                             QStringLiteral("PRODUCT"), QStringLiteral("HARDID"),
                             QStringLiteral("IPV4"), QStringLiteral("MS")}};
    for (const BoardInfo &b : boards) {
        // Any board on the segment can be an impostor: its texts never reach the terminal raw.
        rows.append({printableText(b.device), printableText(b.version), printableText(b.product),
                     printableText(b.hardId), printableText(b.ipAddresses.join(QLatin1Char(' '))),
                     QString::number(b.replyMs, 'f', 1)});
    }
    QList<int> widths;
    for (int c = 0; c < rows.first().size(); ++c) {
        int w = 0;
        for (const QStringList &row : rows) {
            w = std::max(w, int(row.at(c).size()));
        }
        widths.append(w);
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c) {
            line += c + 1 < row.size() ? row.at(c).leftJustified(widths.at(c) + 2) : row.at(c);
        }
        text += line + QLatin1Char('\n');
    }
    return text;
}

QByteArray boardsJson(const QList<BoardInfo> &boards) {
    QJsonArray array;
    for (const BoardInfo &b : boards) {
        QJsonObject o;
        o.insert(QStringLiteral("Device"), b.device);
        o.insert(QStringLiteral("Version"), b.version);
        o.insert(QStringLiteral("Product"), b.product);
        o.insert(QStringLiteral("HardId"), b.hardId);
        o.insert(QStringLiteral("IpAddress"), QJsonArray::fromStringList(b.ipAddresses));
        o.insert(QStringLiteral("replyMs"), std::round(b.replyMs * 1000) / 1000);
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QString printableText(const QString &text) {
    QString out;
    for (const QChar ch : text) {
        const ushort c = ch.unicode();
        if (c == '\\') {
            out += QStringLiteral("\\\\");
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            // C0 and C1 controls: ESC, BEL, CR and CSI could drive the technician's terminal.
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        } else {
            out += ch;
        }
    }
    return out;
}

QString printablePayload(const QByteArray &payload) {
    QString text;
    for (char ch : payload) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            text += QStringLiteral("\\n");
        } else if (c == '\\') {
            text += QStringLiteral("\\\\");
        } else if (c >= 0x20 && c < 0x7F) {
            text += QLatin1Char(ch);
        } else {
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        }
    }
    return text;
}

QString hexDump(const QByteArray &bytes) {
    QString text;
    for (int offset = 0; offset < bytes.size(); offset += 16) {
        const QByteArray line = bytes.mid(offset, 16);
        QString hex;
        QString ascii;
        for (int i = 0; i < 16; ++i) {
            if (i < line.size()) {
                const unsigned char c = static_cast<unsigned char>(line.at(i));
                hex += QStringLiteral("%1 ").arg(c, 2, 16, QLatin1Char('0'));
                ascii += c >= 0x20 && c < 0x7F ? QLatin1Char(char(c)) : QLatin1Char('.');
            } else {
                hex += QStringLiteral("   ");
            }
            if (i == 7) {
                hex += QLatin1Char(' ');
            }
        }
        text +=
            QStringLiteral("%1  %2 |%3|\n").arg(offset, 4, 16, QLatin1Char('0')).arg(hex, ascii);
    }
    return text;
}

QString pingPayloadTag(int sequence) {
    return QStringLiteral("l2ping seq=%1;").arg(sequence);
}

int pingSequence(const QByteArray &payload) {
    static const QByteArray prefix("l2ping seq=");
    if (!payload.startsWith(prefix)) {
        return -1;
    }
    const int end = payload.indexOf(';', prefix.size());
    if (end < 0) {
        return -1;
    }
    bool ok = false;
    const int sequence = payload.mid(prefix.size(), end - prefix.size()).toInt(&ok);
    return ok && sequence >= 0 ? sequence : -1;
}

QByteArray pingPayload(int sequence, int size) {
    QByteArray payload = pingPayloadTag(sequence).toLatin1();
    // A recognisable fill, so a reply that comes back altered stands out in a capture.
    for (int i = 0; payload.size() < size; ++i) {
        payload.append(char('a' + i % 26));
    }
    return payload;
}

QString pingSummaryText(const QString &target, const PingSummary &s, double elapsedMs) {
    const double loss =
        s.transmitted == 0 ? 0 : 100.0 * (s.transmitted - s.received) / s.transmitted;
    QString text = QStringLiteral("--- %1 l2station ping statistics ---\n").arg(target);
    text +=
        QStringLiteral("%1 packets transmitted, %2 received, ").arg(s.transmitted).arg(s.received);
    if (s.duplicates > 0) {
        text += QStringLiteral("+%1 duplicates, ").arg(s.duplicates);
    }
    text += QStringLiteral("%1% packet loss, time %2ms\n")
                .arg(QString::number(loss, 'g', 4))
                .arg(qRound64(elapsedMs));
    if (!s.rttMs.isEmpty()) {
        double min = s.rttMs.first();
        double max = min;
        double sum = 0;
        double squares = 0;
        for (double v : s.rttMs) {
            min = std::min(min, v);
            max = std::max(max, v);
            sum += v;
            squares += v * v;
        }
        const double avg = sum / s.rttMs.size();
        const double mdev = std::sqrt(std::max(0.0, squares / s.rttMs.size() - avg * avg));
        text += QStringLiteral("rtt min/avg/max/mdev = %1/%2/%3/%4 ms\n")
                    .arg(min, 0, 'f', 3)
                    .arg(avg, 0, 'f', 3)
                    .arg(max, 0, 'f', 3)
                    .arg(mdev, 0, 'f', 3);
    }
    return text;
}

QString pickInterface(const QList<InterfaceCandidate> &candidates) {
    for (const InterfaceCandidate &c : candidates) {
        if (c.up && !c.loopback && c.ethernet) {
            return c.name;
        }
    }
    return QString();
}
