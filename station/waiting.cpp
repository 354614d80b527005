// The commands made of rounds of info requests: watch, and reset --wait.
#include "actions.h"
#include "history.h"
#include "link.h"
#include "rounds.h"
#include "wire.h"

#include <QDateTime>
#include <QJsonDocument>

#include <algorithm>

namespace {

// One board on one line: device, version, product, HardId, addresses, its own address.
QString boardLine(const BoardInfo &b) {
    return QStringList{shownValue(b.device),
                       shownValue(b.version),
                       shownValue(b.product),
                       shownValue(b.hardId),
                       shownValue(b.ipAddresses.join(QLatin1Char(','))),
                       boardAddressText(b)}
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

namespace {

void printLinkEvent(const QString &interface, bool up, const QString &why, bool json) {
    if (json) {
        QJsonObject o;
        o.insert(QStringLiteral("time"), now());
        o.insert(QStringLiteral("event"),
                 up ? QStringLiteral("link-up") : QStringLiteral("link-down"));
        o.insert(QStringLiteral("interface"), interface);
        if (!up) {
            o.insert(QStringLiteral("reason"), why);
        }
        out() << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) << '\n';
    } else if (up) {
        out() << now() << " link " << interface << " up again\n";
    } else {
        out() << now() << " link " << interface << " down: " << why << '\n';
    }
    out().flush();
}

} // namespace

bool openResetHistory(HistoryStore *history, const StationOptions &o, const QString &interface) {
    if (!o.history) {
        return false;
    }
    QString error;
    history->setStation(o.stationName);
    if (!history->open(o.historyAt, &error) ||
        !history->beginSession(QStringLiteral("reset"), interface, &error)) {
        err() << "l2station: " << error << "; the reset is not kept in it\n";
        err().flush();
        return false;
    }
    return true;
}

int runWatch(const QString &interface, const StationOptions &o) {
    err() << "l2station: watching " << interface << ", a round every " << o.intervalMs << " ms\n";
    err().flush();
    // What watch sees is kept, unless the history cannot be: watching matters more.
    HistoryStore history;
    if (o.history) {
        QString error;
        history.setStation(o.stationName);
        const bool opened = history.open(o.historyAt, &error);
        if (!opened && history.keeping()) {
            // A server that is not there yet: the rounds wait for it, as in an outage.
            history.beginSession(QStringLiteral("watch"), interface, &error);
            err() << "l2station: " << error << "; watching, and keeping up to "
                  << HistoryStore::kMaxPendingRounds << " rounds until it can be reached\n";
            err().flush();
        } else if (!opened || !history.beginSession(QStringLiteral("watch"), interface, &error)) {
            err() << "l2station: " << error << "; watching without it\n";
            err().flush();
        }
    }
    StationLink link;
    bool opened = false;
    WatchState state;
    bool warned = false;
    bool silentTold = false;
    QList<QByteArray> stations;
    QSet<QString> conflicts;
    double workMs = 0; // what the last round took after its listening
    for (int n = 0; (o.count == 0 || n < o.count) && g_interrupted == 0; ++n) {
        QString why;
        if (!linkUsable(interface, &why)) {
            if (!opened && why.startsWith(QLatin1String("no such"))) {
                return fail(ExitNoInterface, why);
            }
            // The station's own link: the boards are not gone, nothing can be heard. Wait
            // for it, and say so once each way.
            printLinkEvent(interface, false, why, o.json);
            link.close();
            opened = false;
            while (!waitForLink(interface, 1000) && g_interrupted == 0) {
            }
            if (g_interrupted != 0) {
                break;
            }
            printLinkEvent(interface, true, QString(), o.json);
        }
        if (!opened) {
            QString error;
            const StationExit status = link.open(interface, &error);
            if (status != ExitOk) {
                return fail(status, error);
            }
            opened = true;
        }
        const double start = StationLink::nowMs();
        // The pause before the next round still listens: a late reply counts for this one.
        // It ends early by the time the last round's lines and history took, so that rounds
        // keep their interval however many boards answer.
        const bool more = o.count == 0 || n + 1 < o.count;
        const double next = start + jitteredIntervalMs(o.intervalMs);
        const Round round = askSegment(link, o, more ? next - workMs : 0);
        const double heard = StationLink::nowMs();
        if (!linkUsable(interface, &why)) {
            --n; // a round the link cut short says nothing of the boards
            continue;
        }
        if (!round.sent) {
            return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
        }
        if (g_interrupted != 0) {
            break; // a round cut short would report boards as missing
        }
        reportProblems(round);
        noteOtherStations(interface, round, &stations);
        for (const BoardInfo &twin : round.twins) {
            // Said once for each pair of replies, with both: the first as the board was.
            const QString pair = conflictKey(twin);
            if (!conflicts.contains(pair)) {
                conflicts.insert(pair);
                err() << "l2station: " << conflictText(twin) << ": " << boardLine(twin) << '\n';
                err().flush();
            }
        }
        bool spared = false;
        const QList<WatchEvent> events =
            watchRound(&state, round.boards, &spared, round.othersAskedMs);
        if (state.fullNow) {
            err() << "l2station: " << followLimitText(interface) << '\n';
            err().flush();
        }
        for (const WatchEvent &event : events) {
            printWatchEvent(event, o.json);
        }
        QString error;
        if (history.keeping() &&
            !history.record(round.boards, events, QDateTime::currentDateTimeUtc(), &error) &&
            !error.isEmpty()) {
            err() << "l2station: " << error << '\n';
            err().flush();
        }
        const QString notice = history.takeNotice();
        if (!notice.isEmpty()) {
            err() << "l2station: " << notice << '\n';
            err().flush();
        }
        if (round.sharedReplies > 0 && !warned) {
            // Said once: behind a learning switch the boards at the shared address take turns,
            // and watch reports one gone only when none answers from that address.
            warnAboutSharedAddress(QStringLiteral("Boards answer"));
            warned = true;
        }
        if (state.sharedSilent && !silentTold) {
            err() << "l2station: " << silentSharedWarning(QStringLiteral("in earlier rounds"))
                  << '\n';
            err().flush();
        }
        silentTold = state.sharedSilent;
        workMs = std::min(StationLink::nowMs() - heard, o.intervalMs / 2.0);
    }
    return ExitOk;
}

namespace {

QString seconds(double ms) {
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}

// How a board is named in reset --wait's lines: device, product, HardId, and its own address.
QString named(const BoardInfo &b) {
    QString name = shownValue(b.device) + QLatin1Char(' ') + shownValue(b.product) +
                   QLatin1Char(' ') + shownValue(b.hardId);
    if (!b.sharedAddress()) {
        name += QLatin1Char(' ') + wire::macText(b.mac);
    }
    return name;
}

void printProgress(const ResetState &state, double elapsedMs) {
    int counts[5] = {0, 0, 0, 0, 0};
    for (const ResetTrack &t : state) {
        ++counts[t.phase];
    }
    err() << "l2station: " << seconds(elapsedMs) << ": " << counts[ResetTrack::Back] << " of "
          << state.size() << " back, " << counts[ResetTrack::Silent] << " silent, "
          << counts[ResetTrack::Answering] << " not yet restarted, "
          << counts[ResetTrack::NotRestarted] << " did not restart\n";
    err().flush();
}

void printChange(const ResetTrack &t) {
    switch (t.phase) {
    case ResetTrack::Back: {
        // The board as it came back: a reset may well change what it reports.
        out() << named(t.now) << ' ' << resetPhaseText(t, false);
        const QStringList changed = changedFields(t.board, t.now);
        if (changed.contains(QLatin1String(wire::kInfoLabels[wire::Device])) ||
            changed.contains(QLatin1String(wire::kInfoLabels[wire::Product])) ||
            changed.contains(QLatin1String(wire::kInfoLabels[wire::Version]))) {
            out() << " (was " << shownValue(t.board.device) << ' ' << shownValue(t.board.version)
                  << ' ' << shownValue(t.board.product) << ')';
        }
        out() << '\n';
        out().flush();
        break;
    }
    case ResetTrack::Silent:
        err() << "l2station: " << named(t.board) << ' ' << resetPhaseText(t, false) << '\n';
        err().flush();
        break;
    case ResetTrack::NotRestarted:
        out() << named(t.board) << ' ' << resetPhaseText(t, false) << '\n';
        out().flush();
        break;
    case ResetTrack::Answering:
    case ResetTrack::Unknown:
        break;
    }
}

// reset --wait's lines: each change as it happens, progress every 5 s on standard error.
class ResetWaitPrinter : public ResetWaitObserver {
  public:
    ResetWaitPrinter(const QString &interface, HistoryStore *history)
        : interface_(interface), history_(history) {}
    void before(const Round &round) override {
        reportProblems(round);
        if (round.sharedReplies > 0) {
            warnAboutSharedAddress(QStringLiteral("Boards answered"));
        }
    }
    void resetting(const ResetState &state) override {
        QStringList names;
        for (const ResetTrack &t : state) {
            names.append(named(t.board));
        }
        err() << "l2station: resetting " << state.size() << " board"
              << (state.size() == 1 ? "" : "s") << " on " << interface_ << ": "
              << names.join(QStringLiteral(", ")) << '\n';
        err().flush();
        // Kept as it goes out: a wait cut short still leaves the reset in the history.
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (auto it = state.cbegin(); history_ != nullptr && it != state.cend(); ++it) {
            QString error;
            const qint64 id =
                history_->recordReset(it->board, now, resetPhaseText(*it, false), &error);
            if (id < 0) {
                err() << "l2station: " << error << '\n';
                history_ = nullptr;
                break;
            }
            recorded_.insert(it.key(), id);
        }
    }
    // The outcome of each board's reset, kept with it.
    void finish(const ResetState &state, bool over) {
        for (auto it = state.cbegin(); history_ != nullptr && it != state.cend(); ++it) {
            QString error;
            if (recorded_.contains(it.key()) &&
                !history_->finishReset(recorded_.value(it.key()), resetPhaseText(*it, over),
                                       QDateTime::currentDateTimeUtc(), &error)) {
                err() << "l2station: " << error << '\n';
                break;
            }
        }
    }
    void changed(const ResetTrack &track) override {
        printChange(track);
    }
    void progress(const ResetState &state, double elapsedMs) override {
        if (elapsedMs - lastProgress_ >= 5000) {
            printProgress(state, elapsedMs);
            lastProgress_ = elapsedMs;
        }
    }

  private:
    QString interface_;
    HistoryStore *history_;
    QMap<QString, qint64> recorded_; // each board's reset in the history, by resetKey
    double lastProgress_ = 0;
};

} // namespace

int runResetWait(StationLink &link, const StationOptions &o, const QString &interface) {
    HistoryStore history;
    ResetWaitPrinter printer(interface,
                             openResetHistory(&history, o, interface) ? &history : nullptr);
    const ResetWaitOutcome outcome = resetAndWait(link, o.board, o.waitMs, &printer, o.keys);
    printer.finish(outcome.state, !outcome.stopped);
    if (outcome.result == ResetWaitOutcome::NotSent) {
        return fail(ExitCaptureError, QStringLiteral("cannot send: %1").arg(link.lastError()));
    }
    if (outcome.result == ResetWaitOutcome::NoBoards) {
        return fail(ExitNoAnswer,
                    QStringLiteral("no board answered on %1, so none would be waited for; "
                                   "nothing was sent")
                        .arg(interface));
    }
    const ResetState &state = outcome.state;
    int back = 0;
    int notBack = 0;
    int notReset = 0;
    int unknown = 0;
    for (const ResetTrack &t : state) {
        switch (t.phase) {
        case ResetTrack::Back:
            ++back;
            break;
        case ResetTrack::Silent:
            ++notBack;
            out() << named(t.board) << ' ' << resetPhaseText(t, true) << '\n';
            break;
        case ResetTrack::Answering:
            ++notReset; // interrupted while it still answered as before
            break;
        case ResetTrack::NotRestarted:
            ++notReset;
            break;
        case ResetTrack::Unknown:
            ++unknown;
            out() << named(t.board) << (t.conflict ? ": " : " at the shared address: ")
                  << resetPhaseText(t, true) << '\n';
            break;
        }
    }
    out() << back << " of " << state.size() << " board" << (state.size() == 1 ? "" : "s")
          << " back on " << interface << " in " << seconds(outcome.tookMs);
    if (notReset > 0) {
        out() << "; " << notReset << " did not restart";
    }
    if (unknown > 0) {
        out() << "; " << unknown << " cannot be told";
    }
    out() << '\n';
    out().flush();
    notBack += unknown; // a reset the station cannot confirm is not reported as done
    if (notBack > 0 || outcome.stopped) {
        return ExitNoAnswer;
    }
    return notReset > 0 ? ExitNotReset : ExitOk;
}
