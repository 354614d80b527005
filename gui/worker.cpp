// The window's worker: the station's own rounds, ping and reset loops on its own thread; what
// they find goes to the window as signals, and to the history.
#include "worker.h"

#include "actions.h"
#include "wire.h"

namespace {

QString seconds(double ms) {
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}

// How the log names a board: device, product, HardId and its address.
QString named(const BoardInfo &b) {
    return QStringLiteral("%1 %2 %3 (%4)")
        .arg(shownValue(b.device), shownValue(b.product), shownValue(b.hardId),
             boardAddressText(b));
}

// The window's reset-and-wait: each change as a line, the count of boards back as progress.
class ResetWaitReporter : public ResetWaitObserver {
  public:
    explicit ResetWaitReporter(StationWorker *worker) : worker_(worker) {}
    void resetting(const ResetState &state) override {
        emit worker_->resetProgress(
            QStringLiteral("reset sent to %1 board%2; waiting for %3 to restart")
                .arg(state.size())
                .arg(state.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(state.size() == 1 ? QStringLiteral("it") : QStringLiteral("each")),
            0, state.size());
        for (const ResetTrack &t : state) {
            emit worker_->boardReset(boardKey(t.board), resetPhaseText(t, false));
        }
    }
    void changed(const ResetTrack &t) override {
        if (t.phase == ResetTrack::Answering) {
            return;
        }
        const QString what = resetPhaseText(t, over_);
        emit worker_->boardReset(boardKey(t.board), what);
        const QString line =
            QStringLiteral("%1 %2").arg(named(t.phase == ResetTrack::Back ? t.now : t.board), what);
        emit worker_->activity(line);
        lastLine_ = line;
    }
    // The wait ended: a board still silent is not back.
    void finish(const ResetState &state) {
        over_ = true;
        for (const ResetTrack &t : state) {
            if (t.phase == ResetTrack::Silent) {
                changed(t);
            }
        }
    }
    void progress(const ResetState &state, double elapsedMs) override {
        int back = 0;
        for (const ResetTrack &t : state) {
            back += t.phase != ResetTrack::Answering && t.phase != ResetTrack::Silent ? 1 : 0;
        }
        emit worker_->resetProgress(QStringLiteral("%1: %2").arg(seconds(elapsedMs), lastLine_),
                                    back, state.size());
    }

  private:
    StationWorker *worker_;
    QString lastLine_ = QStringLiteral("waiting");
    bool over_ = false;
};

} // namespace

StationWorker::StationWorker(bool keepHistory, int intervalMs, QList<keys::Key> keys)
    : keepHistory_(keepHistory), intervalMs_(intervalMs), keys_(std::move(keys)) {}

StationWorker::~StationWorker() = default;

QByteArray StationWorker::target(const BoardInfo &board) {
    return board.sharedAddress() ? wire::serviceMac() : board.mac;
}

void StationWorker::start(const QString &interface) {
    if (timer_ == nullptr) {
        timer_ = new QTimer(this);
        timer_->setSingleShot(true);
        connect(timer_, &QTimer::timeout, this, &StationWorker::round);
    }
    timer_->stop();
    // The window cancelled whatever ran on the interface before; this starts afresh.
    cancel = false;
    if (history_) {
        history_->endSession();
    }
    link_ = std::make_unique<StationLink>();
    link_->setStopFlag(&cancel);
    interface_ = interface;
    state_ = WatchState();
    stations_.clear();
    sharedSilentTold_ = false;
    QString error;
    const StationExit status = link_->open(interface, &error);
    emit opened(interface, status, error);
    if (status != ExitOk) {
        link_.reset();
        return;
    }
    linkUp_ = true;
    if (keepHistory_) {
        if (!history_) {
            history_ = std::make_unique<HistoryStore>();
            if (!history_->open(HistoryStore::defaultPath(), &error)) {
                emit historyProblem(error + QStringLiteral("; the window keeps no history"));
                history_.reset();
            }
        }
        if (history_ &&
            !history_->beginSession(QStringLiteral("l2station-gui"), interface, &error)) {
            emit historyProblem(error);
        }
    }
    QList<HistoryBoard> last;
    if (history_) {
        // The boards there at the last look: the rounds tell which are still there, which
        // changed and which are gone, as watch would.
        for (const HistoryBoard &h : history_->boards(interface, QDateTime(), &error)) {
            if (h.present) {
                last.append(h);
                state_.insert(boardKey(h.board), WatchedBoard{h.board, 0});
            }
        }
    }
    emit lastLook(last);
    scheduleRound(0);
}

void StationWorker::scheduleRound(int delayMs) {
    if (timer_ != nullptr && link_) {
        timer_->start(std::max(0, delayMs));
    }
}

bool StationWorker::linkReady() {
    QString why;
    if (linkUsable(interface_, &why)) {
        if (!linkUp_) {
            QString error;
            link_->close();
            const StationExit status = link_->open(interface_, &error);
            if (status != ExitOk) {
                emit linkChanged(false, error);
                return false;
            }
            linkUp_ = true;
            emit linkChanged(true, QString());
        }
        return true;
    }
    if (linkUp_) {
        // The station's own link: the boards are not gone, nothing can be heard.
        linkUp_ = false;
        emit linkChanged(false, why);
    }
    return false;
}

void StationWorker::round() {
    if (!link_) {
        return;
    }
    const double start = StationLink::nowMs();
    if (!linkReady()) {
        scheduleRound(1000);
        return;
    }
    StationOptions asking = defaultOptions(Command::Watch);
    asking.keys = keys_;
    const Round found = askSegment(*link_, asking);
    if (!found.sent) {
        emit activity(QStringLiteral("cannot send: %1").arg(link_->lastError()));
        scheduleRound(intervalMs_);
        return;
    }
    QString why;
    if (!linkUsable(interface_, &why)) {
        scheduleRound(0); // a round the link cut short says nothing of the boards
        return;
    }
    RoundReport report;
    report.at = QDateTime::currentDateTimeUtc();
    report.answered = found.boards;
    report.events = watchRound(&state_, found.boards, nullptr, found.othersAskedMs);
    for (const QByteArray &station : found.otherStations) {
        if (!stations_.contains(station)) {
            stations_.append(station);
            emit activity(otherStationNote(interface_, station, found.ownMac));
        }
    }
    if (state_.sharedSilent && !sharedSilentTold_) {
        emit activity(silentSharedWarning(QStringLiteral("in earlier rounds")));
    }
    sharedSilentTold_ = state_.sharedSilent;
    report.sharedReplies = found.sharedReplies;
    report.malformed = found.malformed;
    report.problems = found.problems;
    recordHistory(found.boards, report.events, &report);
    emit roundDone(report);
    scheduleRound(int(start + jitteredIntervalMs(intervalMs_) - StationLink::nowMs()));
}

void StationWorker::recordHistory(const QList<BoardInfo> &answered, const QList<WatchEvent> &events,
                                  RoundReport *report) {
    if (!history_) {
        return;
    }
    QString error;
    if (!history_->record(answered, events, report->at, &error)) {
        emit historyProblem(error);
        return;
    }
    // First sightings from earlier sessions, for boards new to this one.
    QSet<QString> wanted;
    for (const WatchEvent &e : events) {
        if (e.kind != WatchEvent::Gone) {
            wanted.insert(boardKey(e.board));
        }
    }
    if (wanted.isEmpty()) {
        return;
    }
    for (const HistoryBoard &h : history_->boards(interface_, QDateTime(), &error)) {
        const QString key = boardKey(h.board);
        if (wanted.contains(key)) {
            report->firstSeen.insert(key, h.firstSeen);
        }
    }
}

namespace {

// Runs `action` with the rounds paused and the window told so; the next round comes after it.
template <typename Action> void between(StationWorker *worker, QTimer *timer, Action action) {
    if (timer != nullptr) {
        timer->stop();
    }
    worker->cancel = false;
    emit worker->busy(true);
    action();
    emit worker->busy(false);
    worker->cancel = false;
}

} // namespace

void StationWorker::ping(const BoardInfo &board) {
    if (!link_) {
        return;
    }
    between(this, timer_, [&] {
        StationOptions o = defaultOptions(Command::Ping);
        o.board = target(board);
        o.intervalMs = 250;
        o.timeoutMs = 500;
        const PingOutcome outcome = pingBoards(*link_, o, nullptr);
        if (!outcome.sent) {
            emit activity(
                QStringLiteral("ping %1: cannot send: %2").arg(named(board), link_->lastError()));
            return;
        }
        if (outcome.boards.isEmpty()) {
            PingSummary none;
            none.transmitted = outcome.transmitted;
            emit activity(QStringLiteral("ping ") +
                          pingSummaryText(named(board), none, outcome.elapsedMs).trimmed());
        }
        for (auto it = outcome.boards.cbegin(); it != outcome.boards.cend(); ++it) {
            emit activity(QStringLiteral("ping ") +
                          pingSummaryText(named(board), it.value(), outcome.elapsedMs)
                              .trimmed()
                              .replace(QLatin1Char('\n'), QStringLiteral("; ")));
        }
    });
    scheduleRound(0);
}

void StationWorker::reset(const BoardInfo &board) {
    if (!link_) {
        return;
    }
    between(this, timer_, [&] {
        const QByteArray to = target(board);
        // A keyed board's reset is proven with the challenge of its latest reply, asked now.
        QList<BoardInfo> known;
        if (!keys_.isEmpty() && !board.sharedAddress()) {
            StationOptions asking = defaultOptions(Command::Info);
            asking.board = to;
            asking.keys = keys_;
            known = askSegment(*link_, asking).boards;
        }
        const ResetOutcome outcome = resetBoards(*link_, to, keys_, known);
        if (!outcome.sent) {
            emit activity(
                QStringLiteral("reset %1: cannot send: %2").arg(named(board), link_->lastError()));
        } else if (to == wire::serviceMac()) {
            emit activity(QStringLiteral("reset sent to the shared address for %1: every board "
                                         "it reached runs its reset script (such boards do not "
                                         "acknowledge)")
                              .arg(named(board)));
        } else if (outcome.acknowledged.isEmpty()) {
            emit activity(QStringLiteral("reset sent to %1, but it did not acknowledge it within "
                                         "%2 ms")
                              .arg(named(board))
                              .arg(kAckWaitMs));
        } else {
            emit activity(QStringLiteral("%1 acknowledged the reset and runs its reset script")
                              .arg(named(board)));
        }
    });
    scheduleRound(intervalMs_);
}

void StationWorker::resetAll() {
    if (!link_) {
        return;
    }
    between(this, timer_, [&] {
        StationOptions asking = defaultOptions(Command::Info);
        asking.keys = keys_;
        const QList<BoardInfo> known =
            keys_.isEmpty() ? QList<BoardInfo>() : askSegment(*link_, asking).boards;
        const ResetOutcome outcome = resetBoards(*link_, QByteArray(), keys_, known);
        if (!outcome.sent) {
            emit activity(QStringLiteral("reset all: cannot send: %1").arg(link_->lastError()));
            return;
        }
        emit activity(QStringLiteral("reset sent to every board on %1; %2 in board-address mode "
                                     "acknowledged it; boards at the shared address do not "
                                     "acknowledge")
                          .arg(interface_)
                          .arg(outcome.acknowledged.size()));
    });
    scheduleRound(intervalMs_);
}

void StationWorker::resetAndWait(const BoardInfo &board) {
    if (!link_) {
        return;
    }
    bool ok = false;
    between(this, timer_, [&] {
        ResetWaitReporter reporter(this);
        const ResetWaitOutcome outcome =
            ::resetAndWait(*link_, target(board), kDefaultResetWaitMs, &reporter, keys_);
        switch (outcome.result) {
        case ResetWaitOutcome::NotSent:
            emit activity(
                QStringLiteral("reset %1: cannot send: %2").arg(named(board), link_->lastError()));
            return;
        case ResetWaitOutcome::NoBoards:
            emit activity(QStringLiteral("reset %1: it did not answer, so nothing was sent")
                              .arg(named(board)));
            return;
        case ResetWaitOutcome::Waited:
            break;
        }
        if (!outcome.stopped) {
            reporter.finish(outcome.state);
        }
        int back = 0;
        for (const ResetTrack &t : outcome.state) {
            back += t.phase == ResetTrack::Back ? 1 : 0;
        }
        ok = back == outcome.state.size();
        emit activity(QStringLiteral("reset and wait %1: %2 of %3 back in %4%5")
                          .arg(named(board))
                          .arg(back)
                          .arg(outcome.state.size())
                          .arg(seconds(outcome.tookMs))
                          .arg(outcome.stopped ? QStringLiteral(" (cancelled)") : QString()));
    });
    emit resetWaitDone(ok);
    scheduleRound(0);
}

void StationWorker::shutdown() {
    if (timer_ != nullptr) {
        timer_->stop();
    }
    history_.reset(); // ends the session in this thread, which owns the connection
    link_.reset();
}
