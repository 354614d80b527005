// l2station's entry: the command line, the interface, and the one-shot commands (info, ping,
// reset, send) on top of the link and the pure parts.
#include "commands.h"

#include "actions.h"
#include "history.h"
#include "historyengine.h"
#include "link.h"
#include "rounds.h"
#include "station.h"
#include "wire.h"

#include <QFile>
#include <QTextStream>

#include <csignal>
#include <cstdio>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef L2_VERSION
#define L2_VERSION "0"
#endif

namespace {

void onInterrupt(int) {
    g_interrupted = 1;
}

QString fromText(const QByteArray &mac) {
    return mac == wire::serviceMac() ? wire::macText(mac) + QStringLiteral(" (shared)")
                                     : wire::macText(mac);
}

// The columns a table may take: the terminal's, or COLUMNS when the output is no terminal;
// 0 (no limit) for --wide and for a pipe without COLUMNS, where whole values are wanted.
int tableWidth(const StationOptions &o) {
    if (o.wide) {
        return 0;
    }
    winsize size{};
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return qEnvironmentVariableIntValue("COLUMNS");
}

int runInfo(StationLink &link, const StationOptions &o, const QString &interface) {
    const Round round = askSegment(link, o);
    if (!round.sent) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    reportProblems(round);
    for (const BoardInfo &twin : round.twins) {
        err() << "l2station: " << conflictText(twin) << '\n';
    }
    QList<BoardInfo> boards = round.boards + round.twins;
    sortBoards(&boards);
    int answered = 0;
    for (const BoardInfo &board : round.boards) {
        answered += board.count;
    }
    const double took = StationLink::nowMs() - round.startMs;
    const QString summary =
        QStringLiteral("%1 board%2 answered on %3 in %4 ms%5")
            .arg(answered)
            .arg(answered == 1 ? QString() : QStringLiteral("s"))
            .arg(interface)
            .arg(took, 0, 'f', 0)
            .arg(round.malformed > 0 ? QStringLiteral(", %1 malformed replies").arg(round.malformed)
                                     : QString());
    if (o.json) {
        out() << QString::fromUtf8(boardsJson(boards));
        err() << summary << '\n';
    } else {
        if (!boards.isEmpty()) {
            out() << boardsTable(boards, tableWidth(o));
        }
        out() << summary << '\n';
    }
    out().flush();
    err().flush();
    QList<QByteArray> stations;
    noteOtherStations(interface, round, &stations);
    if (round.sharedReplies > 0) {
        warnAboutSharedAddress(QStringLiteral("%1 repl%2 came")
                                   .arg(round.sharedReplies)
                                   .arg(QLatin1String(round.sharedReplies == 1 ? "y" : "ies")));
    } else if (o.board.isEmpty()) {
        // Nothing from the shared address: none there, or a switch sends the requests to a
        // board that no longer answers. The history says whether some answered before.
        const int known = sharedBoardsLastSeen(HistoryStore::defaultPath(),
                                               HistoryStore::defaultStation(), interface);
        if (known > 0) {
            err() << "l2station: "
                  << silentSharedWarning(
                         QStringLiteral("when %1 was last watched (%2 in the history)")
                             .arg(interface)
                             .arg(known))
                  << '\n';
            err().flush();
        }
    }
    return boards.isEmpty() ? ExitNoAnswer : ExitOk;
}

// ping prints each echo as it comes, as ping(8) does.
class PingPrinter : public PingObserver {
  public:
    void reply(const PingReply &r) override {
        out() << r.bytes << " bytes from " << fromText(r.from) << ": seq=" << r.sequence
              << " time=" << QString::number(r.rttMs, 'f', 3) << " ms"
              << (r.duplicate ? " (DUP!)" : "") << (r.intact ? "" : " (payload differs!)") << '\n';
        out().flush();
    }
};

int runPing(StationLink &link, const StationOptions &o, const QString &interface) {
    const QString target =
        o.board.isEmpty() ? QStringLiteral("every board") : wire::macText(o.board);
    out() << "L2PING " << target << " on " << interface << ": " << o.size << " payload bytes, "
          << qMax(o.size + wire::kHeaderLen, wire::kMinFrameLen) << "-byte frames\n";
    out().flush();
    PingPrinter printer;
    const PingOutcome outcome = pingBoards(link, o, &printer);
    if (!outcome.sent) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    out() << '\n';
    if (outcome.boards.isEmpty()) {
        PingSummary none;
        none.transmitted = outcome.transmitted;
        out() << pingSummaryText(target, none, outcome.elapsedMs);
    }
    for (auto it = outcome.boards.cbegin(); it != outcome.boards.cend(); ++it) {
        out() << pingSummaryText(fromText(it.key()), it.value(), outcome.elapsedMs);
    }
    out().flush();
    if (outcome.boards.contains(wire::serviceMac())) {
        warnAboutSharedAddress(QStringLiteral("Replies came"));
    }
    return outcome.boards.isEmpty() ? ExitNoAnswer : ExitOk;
}

int runReset(StationLink &link, const StationOptions &o, const QString &interface) {
    if (o.wait) {
        return runResetWait(link, o, interface);
    }
    // Who is there first, as info asks: so that the run can say which boards it can vouch for,
    // and warn where a switch decides which board at the shared address gets the request.
    Round before;
    if (o.board.isEmpty() || !o.keys.isEmpty()) {
        // With keys, a keyed board gives out the challenge its reset is proven with.
        StationOptions asking = defaultOptions(Command::Info);
        asking.board = o.board;
        asking.keys = o.keys;
        before = askSegment(link, asking);
        if (!before.sent) {
            return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
        }
        reportProblems(before);
    }
    const ResetOutcome outcome = resetBoards(link, o.board, o.keys, before.boards);
    if (outcome.sent) {
        // Each board the reset went to, with what came of it: a board asked before the reset
        // as it answered, another only by its address.
        HistoryStore history;
        QList<BoardInfo> listed;
        for (const BoardInfo &b : before.boards) {
            if (o.board.isEmpty() || b.mac == o.board) {
                listed.append(b);
            }
        }
        QList<BoardInfo> reached = resetReached(listed, outcome);
        if (reached.isEmpty() && !o.board.isEmpty()) {
            BoardInfo b;
            b.mac = o.board;
            reached.append(b);
        }
        if (!reached.isEmpty() && openResetHistory(&history, o, interface)) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            for (const BoardInfo &b : reached) {
                QString error;
                if (history.recordReset(b, now, resetSentText(b, outcome, !o.keys.isEmpty()),
                                        &error) < 0) {
                    err() << "l2station: " << error << '\n';
                    break;
                }
            }
        }
    }
    // With keys, an acknowledgement counts only when it proves its board.
    const auto vouched = [&](const QByteArray &mac) {
        return o.keys.isEmpty() || outcome.verified.contains(mac);
    };
    if (!outcome.sent) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    const QList<QByteArray> &acked = outcome.acknowledged;
    if (!o.board.isEmpty()) {
        if (acked.isEmpty()) {
            return fail(
                ExitNoAnswer,
                QStringLiteral("reset request sent to %1 on %2, but it did not "
                               "acknowledge it within %3 ms (a board with keys refuses a "
                               "reset that does not prove one of them%4)")
                    .arg(wire::macText(o.board), interface)
                    .arg(kAckWaitMs)
                    .arg(o.keys.isEmpty() ? QStringLiteral(": give --key-file") : QString()));
        }
        if (!vouched(o.board)) {
            return fail(ExitNoAnswer,
                        QStringLiteral("reset request sent on %1; an acknowledgement came from "
                                       "%2, but it does not prove the board: not counted")
                            .arg(interface, wire::macText(o.board)));
        }
        out() << "reset request sent on " << interface << "; " << wire::macText(o.board)
              << " acknowledged it and runs its reset script\n";
        return ExitOk;
    }
    out() << "reset request sent on " << interface << "; " << acked.size() << " board"
          << (acked.size() == 1 ? "" : "s") << " in board-address mode acknowledged it"
          << (acked.isEmpty() ? "" : ":") << '\n';
    QStringList names;
    for (const QByteArray &mac : acked) {
        names.append(wire::macText(mac) +
                     (o.keys.isEmpty() ? QString()
                      : vouched(mac)   ? QStringLiteral(" verified")
                                       : QStringLiteral(" not verified: its acknowledgement does "
                                                          "not prove the board")));
    }
    names.sort();
    for (const QString &name : names) {
        out() << "  " << name << '\n';
    }
    // The boards listed before that did not take it.
    int missing = 0;
    int shared = 0;
    for (const BoardInfo &b : before.boards) {
        if (b.sharedAddress()) {
            shared += b.count;
        } else if (!acked.contains(b.mac)) {
            ++missing;
            out() << "  " << wire::macText(b.mac) << " (" << shownValue(b.device)
                  << ") answered before the reset but did not acknowledge it"
                  << (b.keyIds.isEmpty() ? ""
                                         : " (a keyed board refuses a reset that does not prove "
                                           "one of its keys)")
                  << '\n';
        } else if (!vouched(b.mac)) {
            ++missing; // listed above as not verified
        }
    }
    if (shared == 1) {
        out() << "1 board answering from the shared address does not acknowledge: it runs its "
                 "reset script if the request reached it.\n";
    } else if (shared > 1) {
        out() << shared << " boards answer from the shared address and do not acknowledge: "
              << "behind a switch the request reached one of them only.\n";
    }
    out().flush();
    if (before.sharedReplies > 0) {
        warnAboutSharedAddress(QStringLiteral("Boards answered"));
    }
    // A reset the station cannot vouch for is not reported as done.
    return missing > 0 || shared > 1 ? ExitNoAnswer : ExitOk;
}

int runSend(StationLink &link, const StationOptions &o, const QString &interface) {
    const double start = StationLink::nowMs();
    const bool sent = sendToBoards(link, o.board, o.data, o.data);
    if (!sent) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    int n = 0;
    CollectRule rule;
    rule.deadlineMs = start + o.waitMs;
    link.collect(rule, [&](const Reply &reply) {
        const QByteArray from = reply.frame.mid(wire::kSrcOffset, wire::kAddressLen);
        if (reply.atMs < start || (!o.board.isEmpty() && from != o.board) ||
            wire::isGroupAddress(reply.frame.mid(wire::kDstOffset, wire::kAddressLen))) {
            return false;
        }
        const QByteArray payload = reply.frame.mid(wire::kHeaderLen);
        int padding = 0;
        const QString text = printablePayloadText(payload, &padding);
        out() << "reply " << ++n << " from " << fromText(from) << ": " << reply.frame.size()
              << " bytes after " << QString::number(reply.atMs - start, 'f', 3) << " ms\n"
              << "  text: " << text;
        if (padding > 0) {
            out() << " (" << padding << " zero byte" << (padding == 1 ? "" : "s") << " of padding)";
        }
        out() << '\n' << hexDump(reply.frame);
        return true;
    });
    if (n == 0) {
        return fail(
            ExitNoAnswer,
            QStringLiteral("nothing answered on %1 within %2 ms").arg(interface).arg(o.waitMs));
    }
    out() << n << " repl" << (n == 1 ? "y" : "ies") << " on " << interface << '\n';
    return ExitOk;
}

int runKey(const StationOptions &o) {
    const keys::Key key = keys::newKey();
    if (key.secret.isEmpty()) {
        return fail(ExitCaptureError, QStringLiteral("the kernel's random generator failed"));
    }
    // Never over another file, never through a link, and the owner's alone whatever the umask.
    const QByteArray path = QFile::encodeName(o.keyFile);
    const int fd =
        ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int why = errno;
        return fail(why == EEXIST ? ExitUsage : ExitCaptureError,
                    QStringLiteral("cannot write %1: %2%3")
                        .arg(o.keyFile, QString::fromLocal8Bit(strerror(why)),
                             why == EEXIST ? QStringLiteral(" (keys are never written over another "
                                                            "file: name a new one, then append it "
                                                            "to a board's key file)")
                                           : QString()));
    }
    const QByteArray line = keys::keyLine(key);
    const bool written = fchmod(fd, 0600) == 0 &&
                         ::write(fd, line.constData(), size_t(line.size())) == line.size() &&
                         fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        unlink(path.constData());
        return fail(ExitCaptureError, QStringLiteral("cannot write %1").arg(o.keyFile));
    }
    out() << "key " << key.id << " written to " << o.keyFile << '\n';
    return ExitOk;
}

int runHistory(const StationOptions &o) {
    HistoryStore store;
    QString error;
    if (HistoryLocation::parse(o.historyAt).kind == HistoryLocation::Kind::File &&
        !QFile::exists(o.historyAt)) {
        out().flush();
        return fail(ExitNoAnswer, QStringLiteral("no history yet (%1): 'l2station watch' and "
                                                 "l2station-gui keep one")
                                      .arg(o.historyAt));
    }
    // Only read: whoever owns the file, and whoever writes it now.
    if (!store.open(o.historyAt, &error, HistoryStore::Access::Read)) {
        return fail(ExitHistory, error);
    }
    if (o.stats) {
        const HistoryStats stats = store.stats(&error);
        if (!error.isEmpty()) {
            return fail(ExitHistory, error);
        }
        out() << (o.json ? QString::fromUtf8(historyStatsJson(stats)) : historyStatsText(stats));
        out().flush();
        return ExitOk;
    }
    HistoryQuery query;
    query.station = o.station;
    query.interface = o.interface;
    query.since = o.since;
    query.until = o.until;
    query.board = o.historyBoard;
    query.events = o.events;
    int rows = 0;
    if (o.changes) {
        const QList<HistoryChange> changes = store.changes(query, &error);
        rows = changes.size();
        if (o.json) {
            out() << QString::fromUtf8(historyChangesJson(changes));
        } else if (rows > 0) {
            out() << historyChangesTable(changes, tableWidth(o));
        }
    } else {
        const QList<HistoryBoard> boards = store.boards(query, &error);
        rows = boards.size();
        if (o.json) {
            out() << QString::fromUtf8(historyBoardsJson(boards));
        } else if (rows > 0) {
            out() << historyBoardsTable(boards, tableWidth(o));
        }
    }
    out().flush();
    if (!error.isEmpty()) {
        return fail(ExitHistory, error);
    }
    if (rows == 0 && !o.json) {
        const auto time = [](const QDateTime &t) {
            return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        };
        err() << "l2station: nothing in the history"
              << (o.station.isEmpty() ? QString() : QStringLiteral(" of station ") + o.station)
              << (o.interface.isEmpty() ? QString() : QStringLiteral(" for ") + o.interface)
              << (o.historyBoard.isEmpty()
                      ? QString()
                      : QStringLiteral(" of board ") + printableText(o.historyBoard))
              << (o.events.isEmpty()
                      ? QString()
                      : QStringLiteral(" of kind ") + o.events.join(QStringLiteral(", ")))
              << (o.since.isValid() ? QStringLiteral(" since ") + time(o.since) : QString())
              << (o.until.isValid() ? QStringLiteral(" until ") + time(o.until) : QString())
              << '\n';
    }
    return rows == 0 ? ExitNoAnswer : ExitOk;
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
    if (options.version) {
        out() << "l2station " << L2_VERSION << '\n';
        return ExitOk;
    }
    if (options.command == Command::History) {
        return runHistory(options);
    }
    if (options.command == Command::Key) {
        return runKey(options);
    }
    if (!options.keyFile.isEmpty() && !keys::readKeyFile(options.keyFile, &options.keys, &error)) {
        return fail(ExitUsage, error);
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
    for (const InterfaceCandidate &candidate : listInterfaces()) {
        const QString unfit = candidate.name == interface ? unfitInterface(candidate) : QString();
        if (!unfit.isEmpty()) {
            return fail(ExitUsage, unfit);
        }
    }
    // Ctrl-C, and a service manager's or a shell's kill: either ends a watch or a wait
    // cleanly, its history session with its end time.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // The station's own link first: a cable pulled is not "no board answered". watch waits
    // for it instead.
    if (options.command == Command::Watch) {
        return runWatch(interface, options);
    }
    if (!linkUsable(interface, &error) && !error.startsWith(QLatin1String("no such"))) {
        return fail(ExitLinkDown, error);
    }
    StationLink link;
    const StationExit opened = link.open(interface, &error);
    if (opened != ExitOk) {
        return fail(opened, error);
    }
    switch (options.command) {
    case Command::Info:
        return runInfo(link, options, interface);
    case Command::Ping:
        return runPing(link, options, interface);
    case Command::Reset:
        return runReset(link, options, interface);
    case Command::Watch:
    case Command::History:
    case Command::Key:
    case Command::Send:
        return runSend(link, options, interface);
    case Command::None:
        break;
    }
    return ExitUsage;
}
