// The window's resets: each on a capture of its own, told to the window as it goes. The steps
// are the command line's (resetBoards, resetAndWait); this only reports them.
#include "resetjob.h"

#include "actions.h"
#include "link.h"
#include "wire.h"

#include <QDateTime>

namespace {

QString seconds(double ms) {
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}

// A reset-and-wait's changes on the rows, in the log and in the history.
class JobReporter : public ResetWaitObserver {
  public:
    JobReporter(ResetJob *job, QString token) : job_(job), token_(std::move(token)) {}
    void resetting(const ResetState &state) override {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (auto it = state.cbegin(); it != state.cend(); ++it) {
            emit job_->sent(it->board, now, resetPhaseText(*it, false), token_ + it.key());
            emit job_->boardReset(boardKey(it->board), resetPhaseText(*it, false));
        }
    }
    void changed(const ResetTrack &t) override {
        if (t.phase == ResetTrack::Answering) {
            return;
        }
        const QString what = resetPhaseText(t, over_);
        emit job_->boardReset(boardKey(t.board), what);
        emit job_->activity(QStringLiteral("%1 %2").arg(
            boardLogName(t.phase == ResetTrack::Back ? t.now : t.board), what));
    }
    // The wait ended: a board still silent is not back; each outcome goes to the history.
    void finish(const ResetState &state, bool stopped) {
        over_ = true;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (auto it = state.cbegin(); it != state.cend(); ++it) {
            if (it->phase == ResetTrack::Silent && !stopped) {
                changed(*it);
            }
            QString what = resetPhaseText(*it, !stopped);
            if (stopped &&
                (it->phase == ResetTrack::Answering || it->phase == ResetTrack::Silent)) {
                what = QStringLiteral("wait stopped: ") + what;
                emit job_->boardReset(boardKey(it->board), what);
            }
            emit job_->outcome(token_ + it.key(), what, now);
        }
    }

  private:
    ResetJob *job_;
    QString token_;
    bool over_ = false;
};

} // namespace

ResetJob::ResetJob(ResetOrder order, QObject *parent)
    : QObject(parent), order_(std::move(order)),
      id_(QStringLiteral("%1:").arg(quintptr(this), 0, 16)) {
    qRegisterMetaType<BoardInfo>();
    thread_ = QThread::create([this] { run(); });
    thread_->setObjectName(QStringLiteral("reset"));
    connect(thread_, &QThread::finished, this, [this] {
        emit finished();
        deleteLater();
    });
}

ResetJob::~ResetJob() {
    stop_ = true;
    thread_->wait();
    delete thread_;
}

void ResetJob::start() {
    thread_->start();
}

void ResetJob::run() {
    StationLink link;
    link.setStopFlag(&stop_);
    QString error;
    if (link.open(order_.interface, &error) != ExitOk) {
        emit activity(QStringLiteral("reset: %1").arg(error));
        for (const BoardInfo &b : order_.boards) {
            emit boardReset(boardKey(b), QStringLiteral("not sent: ") + error);
        }
        return;
    }
    if (order_.kind == ResetOrder::AndWait) {
        runWait(link);
    } else {
        runSend(link);
    }
}

void ResetJob::runSend(StationLink &link) {
    // With keys, a keyed board's reset is proven with the challenge of a reply asked now.
    QList<BoardInfo> known;
    if (!order_.keys.isEmpty()) {
        StationOptions asking = defaultOptions(Command::Info);
        asking.keys = order_.keys;
        if (order_.boards.size() == 1 && !order_.boards.first().sharedAddress()) {
            asking.board = order_.boards.first().mac;
        }
        known = askSegment(link, asking).boards;
    }
    // Each board once; boards at the shared address share one request.
    QList<QByteArray> targets;
    if (order_.boards.isEmpty()) {
        targets.append(QByteArray());
    }
    for (const BoardInfo &b : order_.boards) {
        if (!targets.contains(actionTarget(b))) {
            targets.append(actionTarget(b));
        }
    }
    const QDateTime at = QDateTime::currentDateTimeUtc();
    for (const QByteArray &to : targets) {
        if (stop_) {
            return;
        }
        const ResetOutcome outcome = resetBoards(link, to, order_.keys, known);
        if (!outcome.sent) {
            emit activity(QStringLiteral("reset: cannot send: %1").arg(link.lastError()));
            for (const BoardInfo &b : order_.boards) {
                if (actionTarget(b) == to) {
                    emit boardReset(boardKey(b), QStringLiteral("not sent"));
                }
            }
            continue;
        }
        if (to.isEmpty()) {
            // Every board: those the window heard, and any other that acknowledged.
            for (const BoardInfo &b : resetReached(order_.heard, outcome)) {
                const QString what = resetSentText(b, outcome, !order_.keys.isEmpty());
                emit boardReset(boardKey(b), what);
                emit sent(b, at, what, id_ + boardKey(b));
            }
            emit activity(QStringLiteral("reset sent to every board on %1; %2 in board-address "
                                         "mode acknowledged it; boards at the shared address do "
                                         "not acknowledge")
                              .arg(order_.interface)
                              .arg(outcome.acknowledged.size()));
            continue;
        }
        for (const BoardInfo &b : order_.boards) {
            if (actionTarget(b) != to) {
                continue;
            }
            const QString what = resetSentText(b, outcome, !order_.keys.isEmpty());
            emit boardReset(boardKey(b), what);
            emit sent(b, at, what, id_ + boardKey(b));
            emit activity(QStringLiteral("reset %1: %2").arg(boardLogName(b), what));
        }
    }
}

void ResetJob::runWait(StationLink &link) {
    const QByteArray board =
        order_.boards.size() == 1 ? actionTarget(order_.boards.first()) : QByteArray();
    JobReporter reporter(this, id_);
    const ResetWaitOutcome outcome =
        ::resetAndWait(link, board, order_.waitMs, &reporter, order_.keys);
    const QString what = order_.boards.size() == 1
                             ? boardLogName(order_.boards.first())
                             : QStringLiteral("every board on ") + order_.interface;
    switch (outcome.result) {
    case ResetWaitOutcome::NotSent:
        emit activity(
            QStringLiteral("reset and wait %1: cannot send: %2").arg(what, link.lastError()));
        for (const BoardInfo &b : order_.boards) {
            emit boardReset(boardKey(b), QStringLiteral("not sent"));
        }
        return;
    case ResetWaitOutcome::NoBoards:
        emit activity(
            QStringLiteral("reset and wait %1: no board answered, so nothing was sent").arg(what));
        for (const BoardInfo &b : order_.boards) {
            emit boardReset(boardKey(b), QStringLiteral("not sent: it did not answer"));
        }
        return;
    case ResetWaitOutcome::Waited:
        break;
    }
    reporter.finish(outcome.state, outcome.stopped);
    int back = 0;
    for (const ResetTrack &t : outcome.state) {
        back += t.phase == ResetTrack::Back ? 1 : 0;
    }
    emit activity(QStringLiteral("reset and wait %1: %2 of %3 back in %4%5")
                      .arg(what)
                      .arg(back)
                      .arg(outcome.state.size())
                      .arg(seconds(outcome.tookMs))
                      .arg(outcome.stopped ? QStringLiteral(" (wait stopped)") : QString()));
}
