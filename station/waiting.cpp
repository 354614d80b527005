// The commands made of rounds of info requests: watch, and reset --wait.
#include "link.h"
#include "rounds.h"
#include "wire.h"

#include <QDateTime>
#include <QJsonDocument>

namespace {

QString field(const QString &text) {
    return text.isEmpty() ? QStringLiteral("-") : printableText(text);
}

// One board on one line: device, version, product, HardId, addresses.
QString boardLine(const BoardInfo &b) {
    return QStringList{field(b.device), field(b.version), field(b.product), field(b.hardId),
                       field(b.ipAddresses.join(QLatin1Char(',')))}
        .join(QLatin1Char(' '));
}

QString now() {
    return QDateTime::currentDateTime()
        .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
        .toString(Qt::ISODate);
}

void printWatchEvent(const WatchEvent &e, bool json) {
    static const char *const kKinds[] = {"added", "changed", "gone"};
    const QString kind = QLatin1String(kKinds[e.kind]);
    if (json) {
        QJsonObject o;
        o.insert(QStringLiteral("time"), now());
        o.insert(QStringLiteral("event"), kind);
        o.insert(QStringLiteral("board"), boardJson(e.board));
        if (e.kind == WatchEvent::Changed) {
            o.insert(QStringLiteral("was"), boardJson(e.before));
        }
        out() << QString::fromUtf8(
                     escapeJsonControls(QJsonDocument(o).toJson(QJsonDocument::Compact)))
              << '\n';
    } else {
        out() << now() << ' ' << kind << ' ' << boardLine(e.board);
        if (e.kind == WatchEvent::Changed) {
            out() << " (was " << boardLine(e.before) << ')';
        }
        out() << '\n';
    }
    out().flush();
}

} // namespace

int runWatch(StationLink &link, const StationOptions &o, const QString &interface) {
    err() << "l2station: watching " << interface << ", a round every " << o.intervalMs << " ms\n";
    err().flush();
    WatchState state;
    for (int n = 0; (o.count == 0 || n < o.count) && g_interrupted == 0; ++n) {
        Round round = askSegment(link, o);
        if (!round.sent) {
            return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
        }
        if (o.count == 0 || n + 1 < o.count) {
            // The pause before the next round still listens: a late reply counts for this one.
            addReplies(&round, link.receiveUntil(round.startMs + o.intervalMs));
        }
        if (g_interrupted != 0) {
            break; // a round cut short would report boards as missing
        }
        for (const WatchEvent &event : watchRound(&state, round.boards)) {
            printWatchEvent(event, o.json);
        }
    }
    return ExitOk;
}

namespace {

QString seconds(double ms) {
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}

QString named(const ResetTrack &t) {
    return QStringLiteral("%1 (%2)").arg(
        field(t.board.device), field(t.board.hardId.isEmpty() ? t.board.product : t.board.hardId));
}

void printProgress(const ResetState &state, double elapsedMs) {
    int counts[3] = {0, 0, 0};
    for (const ResetTrack &t : state) {
        ++counts[t.phase];
    }
    err() << "l2station: " << seconds(elapsedMs) << ": " << counts[ResetTrack::Back] << " of "
          << state.size() << " back, " << counts[ResetTrack::Silent] << " silent, "
          << counts[ResetTrack::Answering] << " not yet silent\n";
    err().flush();
}

} // namespace

int runResetWait(StationLink &link, const StationOptions &o, const QString &interface) {
    // Who is there before the reset, asked as info asks.
    const Round before = askSegment(link, defaultOptions(Command::Info));
    if (!before.sent) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    ResetState state;
    for (const BoardInfo &board : before.boards) {
        state.insert(boardKey(board), ResetTrack{ResetTrack::Answering, board, -1, -1});
    }
    if (state.isEmpty()) {
        return fail(ExitNoAnswer,
                    QStringLiteral("no board answered on %1, so none would be waited for; "
                                   "nothing was sent")
                        .arg(interface));
    }
    QStringList names;
    for (const ResetTrack &t : state) {
        names.append(named(t));
    }
    err() << "l2station: resetting " << state.size() << " board" << (state.size() == 1 ? "" : "s")
          << " on " << interface << ": " << names.join(QStringLiteral(", ")) << '\n';
    err().flush();
    if (!link.send(QByteArray(wire::kResetKeyword))) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    const double resetAt = StationLink::nowMs();
    double lastProgress = 0;
    while (!allBack(state) && g_interrupted == 0) {
        const double roundStart = StationLink::nowMs();
        if (roundStart - resetAt >= o.waitMs) {
            break;
        }
        Round round;
        round.startMs = resetAt; // reply times count from the reset
        round.sent = link.send(QByteArray(wire::kInfoKeyword));
        addReplies(&round,
                   link.receiveUntil(std::min(roundStart + kResetRoundMs, resetAt + o.waitMs)));
        if (g_interrupted != 0) {
            break;
        }
        QMap<QString, double> answered;
        for (const BoardInfo &board : round.boards) {
            const QString key = boardKey(board);
            if (!answered.contains(key)) {
                answered.insert(key, board.replyMs);
            }
        }
        for (const QString &key : resetRound(&state, answered, roundStart - resetAt)) {
            const ResetTrack &t = state.value(key);
            if (t.phase == ResetTrack::Back) {
                out() << field(t.board.device) << ' ' << field(t.board.product) << ' '
                      << field(t.board.hardId) << " back after " << seconds(t.backMs) << '\n';
                out().flush();
            } else {
                err() << "l2station: " << named(t) << " went silent after " << seconds(t.silentMs)
                      << '\n';
            }
        }
        const double elapsed = StationLink::nowMs() - resetAt;
        if (elapsed - lastProgress >= 5000) {
            printProgress(state, elapsed);
            lastProgress = elapsed;
        }
    }
    int back = 0;
    for (const ResetTrack &t : state) {
        if (t.phase == ResetTrack::Back) {
            ++back;
            continue;
        }
        out() << field(t.board.device) << ' ' << field(t.board.product) << ' '
              << field(t.board.hardId)
              << (t.phase == ResetTrack::Silent
                      ? QStringLiteral(" not back (silent since %1)").arg(seconds(t.silentMs))
                      : QStringLiteral(" never went silent (did it run its reset script?)"))
              << '\n';
    }
    out() << back << " of " << state.size() << " board" << (state.size() == 1 ? "" : "s")
          << " back on " << interface << " in " << seconds(StationLink::nowMs() - resetAt) << '\n';
    return back == state.size() ? ExitOk : ExitNoAnswer;
}
