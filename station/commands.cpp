// l2station's entry: the command line, the interface, and the one-shot commands (info, ping,
// reset, send) on top of the link and the pure parts.
#include "commands.h"

#include "link.h"
#include "rounds.h"
#include "station.h"
#include "wire.h"

#include <QMap>
#include <QTextStream>

#include <csignal>
#include <cstdio>

namespace {

void onInterrupt(int) {
    g_interrupted = 1;
}

int runInfo(StationLink &link, const StationOptions &o, const QString &interface) {
    const Round round = askSegment(link, o);
    if (!round.sent) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    const QList<BoardInfo> &boards = round.boards;
    const double took = StationLink::nowMs() - round.startMs;
    const QString summary =
        QStringLiteral("%1 board%2 answered on %3 in %4 ms%5")
            .arg(boards.size())
            .arg(boards.size() == 1 ? QString() : QStringLiteral("s"))
            .arg(interface)
            .arg(took, 0, 'f', 0)
            .arg(round.malformed > 0 ? QStringLiteral(", %1 malformed replies").arg(round.malformed)
                                     : QString());
    if (o.json) {
        out() << QString::fromUtf8(boardsJson(boards));
        err() << summary << '\n';
    } else {
        if (!boards.isEmpty()) {
            out() << boardsTable(boards);
        }
        out() << summary << '\n';
    }
    return boards.isEmpty() ? ExitNoAnswer : ExitOk;
}

int runPing(StationLink &link, const StationOptions &o, const QString &interface) {
    const QString service = wire::macText(wire::serviceMac());
    out() << "L2PING " << service << " on " << interface << ": " << o.size << " payload bytes, "
          << qMax(o.size + wire::kHeaderLen, wire::kMinFrameLen) << "-byte frames\n";
    out().flush();
    PingSummary summary;
    QMap<int, double> sentAt;
    QMap<int, int> replies;
    const double start = StationLink::nowMs();
    const auto handle = [&](const QList<Reply> &got) {
        for (const Reply &reply : got) {
            const QByteArray payload = reply.frame.mid(wire::kHeaderLen);
            const int sequence = pingSequence(payload);
            if (!sentAt.contains(sequence)) {
                err() << "l2station: unexpected reply of " << reply.frame.size()
                      << " bytes: " << printablePayload(payload.left(60)) << '\n';
                continue;
            }
            const double rtt = reply.atMs - sentAt.value(sequence);
            const bool duplicate = replies.value(sequence) > 0;
            replies[sequence] += 1;
            // A NIC may pad short replies; what was sent must come back unchanged.
            const bool intact = payload.left(o.size) == pingPayload(sequence, o.size);
            if (duplicate) {
                ++summary.duplicates;
            } else {
                ++summary.received;
                summary.rttMs.append(rtt);
            }
            out() << reply.frame.size() << " bytes from " << service << ": seq=" << sequence
                  << " time=" << QString::number(rtt, 'f', 3) << " ms"
                  << (duplicate ? " (DUP!)" : "") << (intact ? "" : " (payload differs!)") << '\n';
            out().flush();
        }
    };
    for (int sequence = 0; sequence < o.count && g_interrupted == 0; ++sequence) {
        const double at = StationLink::nowMs();
        sentAt.insert(sequence, at);
        if (!link.send(pingPayload(sequence, o.size))) {
            return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
        }
        ++summary.transmitted;
        const bool last = sequence + 1 == o.count;
        handle(link.receiveUntil(at + (last ? o.timeoutMs : o.intervalMs)));
    }
    out() << '\n' << pingSummaryText(service, summary, StationLink::nowMs() - start);
    return summary.received > 0 ? ExitOk : ExitNoAnswer;
}

int runReset(StationLink &link, const StationOptions &o, const QString &interface) {
    if (o.wait) {
        return runResetWait(link, o, interface);
    }
    if (!link.send(QByteArray(wire::kResetKeyword))) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    out() << "reset request sent on " << interface
          << ": every board on the segment that received it runs its reset script "
             "(boards do not reply)\n";
    return ExitOk;
}

int runSend(StationLink &link, const StationOptions &o, const QString &interface) {
    const double start = StationLink::nowMs();
    if (!link.send(o.data)) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    const QList<Reply> replies = link.receiveUntil(start + o.waitMs);
    int n = 0;
    for (const Reply &reply : replies) {
        const QByteArray payload = reply.frame.mid(wire::kHeaderLen);
        int padding = 0;
        const QString text = printablePayloadText(payload, &padding);
        out() << "reply " << ++n << ": " << reply.frame.size() << " bytes after "
              << QString::number(reply.atMs - start, 'f', 3) << " ms\n"
              << "  text: " << text;
        if (padding > 0) {
            out() << " (" << padding << " zero byte" << (padding == 1 ? "" : "s") << " of padding)";
        }
        out() << '\n' << hexDump(reply.frame);
    }
    if (replies.isEmpty()) {
        return fail(
            ExitNoAnswer,
            QStringLiteral("nothing answered on %1 within %2 ms").arg(interface).arg(o.waitMs));
    }
    out() << n << " repl" << (n == 1 ? "y" : "ies") << " on " << interface << '\n';
    return ExitOk;
}

} // namespace

int stationMain(int argc, char **argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args.append(QString::fromLocal8Bit(argv[i]));
    }
    StationOptions options;
    QString error;
    if (!parseStationArgs(args, &options, &error)) {
        err() << "l2station: " << error << '\n'
              << "Try 'l2station "
              << (options.command == Command::None ? QString() : args.first() + QLatin1Char(' '))
              << "--help'.\n";
        return ExitUsage;
    }
    if (options.help) {
        out() << stationUsage(options.command);
        return ExitOk;
    }
    QString interface = options.interface;
    if (interface.isEmpty()) {
        const QStringList candidates = segmentCandidates(listInterfaces());
        if (candidates.isEmpty()) {
            return fail(ExitNoInterface,
                        QStringLiteral("no interface is up, not loopback and Ethernet; name one "
                                       "with -i"));
        }
        if (options.command == Command::Reset && candidates.size() > 1) {
            // The one destructive command never guesses: the first interface may well be the
            // office LAN rather than the service link.
            return fail(ExitUsage,
                        QStringLiteral("reset needs -i: %1 interfaces could be the boards' "
                                       "segment: %2")
                            .arg(candidates.size())
                            .arg(candidates.join(QStringLiteral(", "))));
        }
        interface = candidates.first();
        err() << "l2station: using interface " << interface << '\n';
        err().flush();
    }
    StationLink link;
    const StationExit opened = link.open(interface, &error);
    if (opened != ExitOk) {
        return fail(opened, error);
    }
    std::signal(SIGINT, onInterrupt);
    switch (options.command) {
    case Command::Info:
        return runInfo(link, options, interface);
    case Command::Ping:
        return runPing(link, options, interface);
    case Command::Reset:
        return runReset(link, options, interface);
    case Command::Watch:
        return runWatch(link, options, interface);
    case Command::Send:
        return runSend(link, options, interface);
    case Command::None:
        break;
    }
    return ExitUsage;
}
