// The window's link to the segment, on a thread of its own so that no round, ping or reset ever
// holds the window: watch's rounds on a timer, and the actions between them, one at a time.
#pragma once

#include "boardmodel.h"
#include "history.h"
#include "link.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>

class StationWorker : public QObject {
    Q_OBJECT
  public:
    explicit StationWorker(bool keepHistory, int intervalMs, QList<keys::Key> keys = {});
    ~StationWorker() override;

    // Set from the window's thread: ends a reset-and-wait (or a ping) early.
    std::atomic<bool> cancel{false};

    // Where an action on `board` goes: its own address, or the shared address for a board
    // that answers from there (every board at that address gets it).
    static QByteArray target(const BoardInfo &board);

  public slots:
    // Opens the capture on `interface` (closing the one before), reads the last look from the
    // history and starts the rounds.
    void start(const QString &interface);
    void ping(const BoardInfo &board);
    void reset(const BoardInfo &board);
    void resetAll();
    void resetAndWait(const BoardInfo &board);
    // Ends the session and closes the link and the history, in this thread.
    void shutdown();

  signals:
    // `status` is an StationExit: ExitOk, or why the capture could not be opened.
    void opened(const QString &interface, int status, const QString &message);
    void lastLook(const QList<HistoryBoard> &boards);
    void roundDone(const RoundReport &report);
    void linkChanged(bool up, const QString &why);
    void historyProblem(const QString &message);
    // A line for the window's activity log.
    void activity(const QString &line);
    void busy(bool busy);
    void resetProgress(const QString &line, int back, int total);
    // A reset-and-wait's state for the board of the row `key` (its boardKey before the reset).
    void boardReset(const QString &key, const QString &state);
    void resetWaitDone(bool ok);

  private slots:
    void round();

  private:
    void scheduleRound(int delayMs);
    void recordHistory(const QList<BoardInfo> &answered, const QList<WatchEvent> &events,
                       RoundReport *report);
    bool linkReady();

    const bool keepHistory_;
    const int intervalMs_;
    const QList<keys::Key> keys_;
    QTimer *timer_ = nullptr; // made in the worker's thread
    std::unique_ptr<StationLink> link_;
    std::unique_ptr<HistoryStore> history_;
    QString interface_;
    WatchState state_;
    QList<QByteArray> stations_; // other stations already told of
    bool sharedSilentTold_ = false;
    bool linkUp_ = true;
};
