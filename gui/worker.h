// The window's link to the segment, on a thread of its own so that no round or ping ever holds
// the window: watch's rounds on a timer, pings between them, and the history. Resets run on
// threads of their own (ResetJob); the boards they reset are held here, so that a reset does
// not read as a board gone and added.
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
    // Where the history is kept and this station's name in it; set before the thread starts.
    void setHistory(const QString &at, const QString &stationName) {
        historyAt_ = at;
        stationName_ = stationName;
    }

    // Set from the window's thread: ends a ping early.
    std::atomic<bool> cancel{false};

  public slots:
    // Opens the capture on `interface` (closing the one before), reads the last look from the
    // history and starts the rounds.
    void start(const QString &interface);
    void ping(const BoardInfo &board);
    // Boards (boardKey) being reset: not reported gone for `forMs`, or until they answer again
    // after a silence, or until released.
    void hold(const QStringList &keys, int forMs);
    void release(const QStringList &keys);
    // A reset into the history, and later what came of it; `token` ties the two together.
    void recordReset(const BoardInfo &board, const QDateTime &at, const QString &outcome,
                     const QString &token);
    void finishReset(const QString &token, const QString &outcome, const QDateTime &ended);
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

  private slots:
    void round();

  private:
    void scheduleRound(int delayMs);
    void recordHistory(const QList<BoardInfo> &answered, const QList<WatchEvent> &events,
                       RoundReport *report);
    bool linkReady();

    const bool keepHistory_;
    QString historyAt_;   // empty: L2STATION_HISTORY or the user's file
    QString stationName_; // empty: the host name
    const int intervalMs_;
    const QList<keys::Key> keys_;
    QTimer *timer_ = nullptr; // made in the worker's thread
    std::unique_ptr<StationLink> link_;
    std::unique_ptr<HistoryStore> history_;
    QString interface_;
    WatchState state_;
    QHash<QString, double> held_;   // boardKey: until when (StationLink::nowMs)
    QHash<QString, qint64> resets_; // a reset's token: its row in the history
    QList<QByteArray> stations_;    // other stations already told of
    QSet<QString> conflicts_;       // pairs of replies from one address already told of
    bool sharedSilentTold_ = false;
    bool linkUp_ = true;
};
