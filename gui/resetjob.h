// One reset from the window, on a thread and a capture of its own: the rounds, the table and
// other resets go on while it sends and waits.
#pragma once

#include "boardmodel.h"

#include <QDateTime>
#include <QObject>
#include <QThread>

#include <atomic>

struct ResetOrder {
    enum Kind {
        Send,    // the request, and the acknowledgements
        AndWait, // the boards listed first, then followed until each is back
    } kind = Send;
    QString interface;
    // The boards of the rows it was asked for; empty: every board on the segment.
    QList<BoardInfo> boards;
    // A reset of every board: the boards the window heard, whose rows and history it reports.
    QList<BoardInfo> heard;
    int waitMs = kDefaultResetWaitMs;
    QList<keys::Key> keys;
};

// Lives in the window's thread; its work runs on a thread of its own from start() on, and its
// signals reach the window queued. Deletes itself once done (after finished()); deleting it
// earlier stops the wait and joins the thread.
class ResetJob : public QObject {
    Q_OBJECT
  public:
    ResetJob(ResetOrder order, QObject *parent);
    ~ResetJob() override;

    void start();
    // Ends a wait early, from any thread; the boards not yet settled say so.
    void stop() {
        stop_ = true;
    }
    const ResetOrder &order() const {
        return order_;
    }

  signals:
    // A board's reset as it stands, on its row (boardKey of the row as it was before).
    void boardReset(const QString &key, const QString &state);
    // For the history: the reset sent to `board`, then what came of it.
    void sent(const BoardInfo &board, const QDateTime &at, const QString &outcome,
              const QString &token);
    void outcome(const QString &token, const QString &outcome, const QDateTime &ended);
    void activity(const QString &line);
    // Done, whatever came of it.
    void finished();

  private:
    void run();
    void runSend(class StationLink &link);
    void runWait(class StationLink &link);

    ResetOrder order_;
    QThread *thread_ = nullptr;
    std::atomic<bool> stop_{false};
    QString id_; // tells this job's history tokens from another's
};
