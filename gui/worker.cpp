// The window's worker: the station's own rounds and pings on its own thread, the holds of the
// boards being reset, and the history; what they find goes to the window as signals.
#include "worker.h"

#include "actions.h"
#include "wire.h"

StationWorker::StationWorker(bool keepHistory, int intervalMs, QList<keys::Key> keys)
    : keepHistory_(keepHistory), intervalMs_(intervalMs), keys_(std::move(keys)) {}

StationWorker::~StationWorker() = default;

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
    held_.clear();
    conflicts_.clear();
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
            history_->setStation(stationName_);
            if (!history_->open(historyAt_.isEmpty() ? HistoryStore::defaultPath() : historyAt_,
                                &error) &&
                history_->keeping()) {
                // A server not reached yet: the rounds wait for it.
                emit historyProblem(error + QStringLiteral("; the window keeps up to %1 rounds "
                                                           "until it can be reached")
                                                .arg(HistoryStore::kMaxPendingRounds));
            } else if (!history_->isOpen()) {
                emit historyProblem(error + QStringLiteral("; the window keeps no history"));
                history_.reset();
            } else if (!history_->writable()) {
                // Still read: the last look is shown, whoever owns the file.
                emit historyProblem(history_->readOnlyReason() +
                                    QStringLiteral("; the window keeps no history"));
            }
        }
        if (history_ && history_->writable() &&
            !history_->beginSession(QStringLiteral("l2station-gui"), interface, &error)) {
            emit historyProblem(error);
        }
    }
    QList<HistoryBoard> last;
    if (history_) {
        // Every board of the interface: those there at the last look are followed as watch
        // would (still there, changed, gone); the others are shown as gone.
        HistoryQuery query;
        query.station = history_->station();
        query.interface = interface;
        for (const HistoryBoard &h :
             history_->isOpen() ? history_->boards(query, &error) : QList<HistoryBoard>()) {
            last.append(h);
            if (h.present) {
                state_.insert(boardKey(h.board), WatchedBoard{h.board, 0});
            }
        }
        if (!error.isEmpty()) {
            emit historyProblem(error);
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
    // Boards under a reset: silent ones are not gone; one that answers after its silence is
    // back, and held no longer.
    QSet<QString> silentHeld;
    state_.resetting.clear();
    for (auto it = held_.begin(); it != held_.end();) {
        if (it.value() < start) {
            it = held_.erase(it);
            continue;
        }
        state_.resetting.insert(it.key());
        if (state_.value(it.key()).missed > 0) {
            silentHeld.insert(it.key());
        }
        ++it;
    }
    report.events = watchRound(&state_, found.boards, nullptr, found.othersAskedMs);
    if (state_.fullNow) {
        emit activity(followLimitText(interface_));
    }
    for (const BoardInfo &b : found.boards) {
        if (silentHeld.contains(boardKey(b))) {
            held_.remove(boardKey(b));
        }
    }
    for (const BoardInfo &twin : found.twins) {
        const QString pair = conflictKey(twin);
        if (!conflicts_.contains(pair) && conflicts_.size() < 1000) {
            conflicts_.insert(pair);
            emit activity(conflictText(twin));
        }
    }
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
    if (!history_ || !history_->writable()) {
        return;
    }
    QString error;
    const bool written = history_->record(answered, events, report->at, &error);
    if (!error.isEmpty()) {
        emit historyProblem(error);
    }
    const QString notice = history_->takeNotice();
    if (!notice.isEmpty()) {
        emit historyProblem(notice);
    }
    if (!written) {
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
    HistoryQuery query;
    query.station = history_->station();
    query.interface = interface_;
    for (const HistoryBoard &h : history_->boards(query, &error)) {
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
        o.board = actionTarget(board);
        o.intervalMs = 250;
        o.timeoutMs = 500;
        const PingOutcome outcome = pingBoards(*link_, o, nullptr);
        if (!outcome.sent) {
            emit activity(QStringLiteral("ping %1: cannot send: %2")
                              .arg(boardLogName(board), link_->lastError()));
            return;
        }
        if (outcome.boards.isEmpty()) {
            PingSummary none;
            none.transmitted = outcome.transmitted;
            emit activity(QStringLiteral("ping ") +
                          pingSummaryText(boardLogName(board), none, outcome.elapsedMs).trimmed());
        }
        for (auto it = outcome.boards.cbegin(); it != outcome.boards.cend(); ++it) {
            emit activity(QStringLiteral("ping ") +
                          pingSummaryText(boardLogName(board), it.value(), outcome.elapsedMs)
                              .trimmed()
                              .replace(QLatin1Char('\n'), QStringLiteral("; ")));
        }
    });
    scheduleRound(0);
}

void StationWorker::hold(const QStringList &keys, int forMs) {
    const double until = StationLink::nowMs() + forMs;
    for (const QString &key : keys) {
        held_.insert(key, std::max(held_.value(key), until));
    }
}

void StationWorker::release(const QStringList &keys) {
    for (const QString &key : keys) {
        held_.remove(key);
    }
}

void StationWorker::recordReset(const BoardInfo &board, const QDateTime &at, const QString &outcome,
                                const QString &token) {
    if (!history_ || !history_->writable()) {
        return;
    }
    QString error;
    const qint64 id = history_->recordReset(board, at, outcome, &error);
    if (id < 0) {
        emit historyProblem(error);
        return;
    }
    resets_.insert(token, id);
}

void StationWorker::finishReset(const QString &token, const QString &outcome,
                                const QDateTime &ended) {
    if (!history_ || !resets_.contains(token)) {
        return;
    }
    QString error;
    if (!history_->finishReset(resets_.take(token), outcome, ended, &error)) {
        emit historyProblem(error);
    }
}

void StationWorker::shutdown() {
    if (timer_ != nullptr) {
        timer_->stop();
    }
    history_.reset(); // ends the session in this thread, which owns the connection
    link_.reset();
}
