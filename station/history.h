// The boards each interface has seen, kept in an SQLite file in the user's data directory: when
// each was first and last seen, and every change as a row. watch and the window write it;
// 'l2station history' reads it.
#pragma once

#include "station.h"

#include <QDateTime>
#include <QList>
#include <QString>

// One board as the history knows it.
struct HistoryBoard {
    QString interface;
    BoardInfo board; // as it answered last
    QDateTime firstSeen;
    QDateTime lastSeen;
    bool present = true; // false once a round found it gone
};

// One change: a board added, changed or gone.
struct HistoryChange {
    QString interface;
    QDateTime at;
    QString event; // "added", "changed", "gone"
    QString program;
    BoardInfo board;    // as it was after the change
    BoardInfo was;      // "changed": as it was before
    QStringList fields; // "changed": the fields that differ, by their reply labels
};

class HistoryStore {
  public:
    // The schema this build writes; older files are brought up to it when opened.
    static constexpr int kSchemaVersion = 2;
    // How long a writer waits for another instance to finish writing.
    static constexpr int kBusyTimeoutMs = 5000;
    // Rounds kept in memory while the file is busy, beyond which the oldest are dropped.
    static constexpr int kMaxPendingRounds = 1000;

    // `busyTimeoutMs`: how long a write waits for another instance's.
    explicit HistoryStore(int busyTimeoutMs = kBusyTimeoutMs);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // $XDG_DATA_HOME/l2station/history.sqlite, or the platform's equivalent.
    static QString defaultPath();

    // Opens the history at `path`, making it (and its directory) when missing and bringing an
    // older schema up to date. A file that is not an SQLite database, is damaged, was made by
    // a newer l2station or holds other tables is refused and left as it is; *error then says
    // so and what to do.
    bool open(const QString &path, QString *error);
    bool isOpen() const;
    QString path() const {
        return path_;
    }

    // A session of one program on one interface: the changes it records are its own.
    bool beginSession(const QString &program, const QString &interface, QString *error);
    void endSession();

    // One round of the session's interface: every board that answered, and the events it
    // raised. When another instance holds the file past kBusyTimeoutMs the round is kept
    // and written before the next one; *error says so.
    bool record(const QList<BoardInfo> &answered, const QList<WatchEvent> &events,
                const QDateTime &at, QString *error);
    int pendingRounds() const {
        return pending_.size();
    }

    // Every board of `interface` (every interface when empty) last seen at or after `since`
    // (any time when null), by interface, then as info sorts them.
    QList<HistoryBoard> boards(const QString &interface, const QDateTime &since,
                               QString *error) const;
    // The changes at or after `since`, oldest first.
    QList<HistoryChange> changes(const QString &interface, const QDateTime &since,
                                 QString *error) const;

  private:
    struct PendingRound {
        QList<BoardInfo> answered;
        QList<WatchEvent> events;
        QDateTime at;
    };
    bool migrate(QString *error);
    bool writeRound(const PendingRound &round, QString *error);
    QString describe(const QString &what, const QString &sqlError) const;

    int busyTimeoutMs_;
    QString connection_;
    QString path_;
    QString interface_;
    qint64 session_ = -1;
    QList<PendingRound> pending_;
    int dropped_ = 0;
};

// How many boards of `interface` that answer from the shared address were there at the last
// look, as far as the history at `path` knows: read only, never waiting for a writer, and 0
// when there is no history or it cannot be read at once.
int sharedBoardsLastSeen(const QString &path, const QString &interface);

// --since: an ISO 8601 date or date and time (local time unless it names its offset), or a
// time back from `now` such as 90s, 15m, 12h or 7d. Null when it is neither.
QDateTime parseSince(const QString &text, const QDateTime &now);

// What 'l2station history' prints: the boards or the changes as a table (cut to `width` when
// above 0) or as a JSON array. Times are local, as the technician reads them.
QString historyBoardsTable(const QList<HistoryBoard> &boards, int width = 0);
QByteArray historyBoardsJson(const QList<HistoryBoard> &boards);
QString historyChangesTable(const QList<HistoryChange> &changes, int width = 0);
QByteArray historyChangesJson(const QList<HistoryChange> &changes);
