// The boards each station's interfaces have seen: when each was first and last seen, and every
// change as a row. Kept in an SQLite file of the user's, or in a PostgreSQL database that many
// stations share (historyengine.h). watch, reset and the window write it; 'l2station history'
// reads it.
#pragma once

#include "fleet.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <memory>

#include "historyengine.h"

// One board as the history knows it.
struct HistoryBoard {
    QString station;
    QString interface;
    BoardInfo board; // as it answered last
    QDateTime firstSeen;
    QDateTime lastSeen;
    bool present = true; // false once a round found it gone
};

// One change: a board added, changed or gone, or a reset sent to it.
struct HistoryChange {
    QString station;
    QString interface;
    QDateTime at;
    QString event; // "added", "changed", "gone", "reset"
    QString program;
    QString user; // who ran the program, and where (a reset's; empty in older files)
    QString host;
    QString key;        // the board's boardKey on its interface
    BoardInfo board;    // as it was after the change (a reset: as it answered before it)
    BoardInfo was;      // "changed": as it was before
    QStringList fields; // "changed": the fields that differ, by their reply labels
    QString outcome;    // "reset": what came of it, in the words the station showed
    QDateTime ended;    // "reset": when the outcome was known (null while unknown)
};

// What 'l2station history' and the window ask the history for. Empty members take everything.
struct HistoryQuery {
    QString station;
    QString interface;
    QDateTime since;    // at or after
    QDateTime until;    // at or before
    QString board;      // a board's own address (any spelling of a MAC) or its HardId
    QStringList events; // changes of these kinds only: added, changed, gone, reset
};
// How much history is kept: rows older than `days`, and beyond the newest `boards` boards and
// `changes` changes and resets of an interface, are pruned by the writers. The environment
// sets them: L2STATION_HISTORY_DAYS, L2STATION_HISTORY_BOARDS, L2STATION_HISTORY_CHANGES.
struct HistoryRetention {
    int days = 90;
    int boards = 20000;
    int changes = 200000;
    static HistoryRetention fromEnvironment();
};

// What 'history --stats' shows.
struct HistoryStats {
    QString path;
    qint64 bytes = 0; // the file with its write-ahead log, or the server's tables
    struct Interface {
        QString station;
        QString name;
        int boards = 0;
        int changes = 0;
        int resets = 0;
        QDateTime oldest; // the first sighting or change kept
        QDateTime newest;
    };
    QList<Interface> interfaces;
    HistoryRetention retention;
};
QString historyStatsText(const HistoryStats &stats);
QByteArray historyStatsJson(const HistoryStats &stats);

// The kinds of change --event takes.
const QStringList &historyEvents();
// Whether `board` is the one `wanted` names: its own address, or its HardId (any case).
bool historyBoardMatches(const BoardInfo &board, const QString &wanted);
// A reset takes its boards off the segment for a while: the gone and added a watch recorded
// for a reset board while it restarted belong to the reset, and are dropped from `changes`
// (sorted oldest first). A reset with no outcome yet covers `openResetMs` from its start.
QList<HistoryChange> foldResets(const QList<HistoryChange> &changes, qint64 openResetMs);

class HistoryStore {
  public:
    // The schema this build writes; older files are brought up to it when opened.
    static constexpr int kSchemaVersion = 4;
    // How long a writer waits for another instance to finish writing.
    static constexpr int kBusyTimeoutMs = 5000;
    // Rounds kept in memory while the history cannot be written (a busy file, a server that
    // cannot be reached), beyond which the oldest are dropped: 33 minutes of 2-second rounds.
    static constexpr int kMaxPendingRounds = 1000;
    // How often a writer tries again to reach a server that went away.
    static constexpr int kReconnectMs = 5000;

    // `busyTimeoutMs`: how long a write waits for another instance's.
    explicit HistoryStore(int busyTimeoutMs = kBusyTimeoutMs);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // L2STATION_HISTORY, else $XDG_DATA_HOME/l2station/history.sqlite (or the platform's
    // equivalent).
    static QString defaultPath();
    // The name a station's rows carry: the host name unless setStation names it otherwise.
    static QString defaultStation();
    void setStation(const QString &name);
    QString station() const {
        return station_;
    }

    enum class Access { Write, Read };
    // Opens the history at `path` (a file, or a postgresql:// URI), making a file (and its
    // directory) when missing and bringing an older schema up to date. A server that cannot be
    // reached fails the open, but a writer keeps its session and rounds and reaches it later
    // (keeping() is then true). A file that is not an SQLite database, is damaged, was made by
    // a newer l2station or holds other tables is refused and left as it is; *error then says
    // so and what to do. A history this user may read but not write is opened to be read:
    // writable() is false then, and readOnlyReason() says why. Access::Read never writes,
    // never migrates and never takes the write lock.
    bool open(const QString &path, QString *error, Access access = Access::Write);
    bool isOpen() const;
    // Open, or waiting to reach its server again: the rounds given to record() are kept.
    bool keeping() const {
        return isOpen() || waiting_;
    }
    // Said once when the rounds kept while the history could not be reached were written
    // (empty otherwise); taken by whoever shows messages.
    QString takeNotice();
    bool writable() const {
        return readOnlyReason_.isEmpty();
    }
    QString readOnlyReason() const {
        return readOnlyReason_;
    }
    QString path() const {
        return path_;
    }

    // A session of one program on one interface, run by this user on this host: the changes it
    // records are its own. While another program holds the file, the session is written with
    // the first round that can be, and this still returns true.
    bool beginSession(const QString &program, const QString &interface, QString *error);
    void endSession();

    // One round of the session's interface: every board that answered, and the events it
    // raised. When another instance holds the file past kBusyTimeoutMs the round is kept
    // and written before the next one; *error says so. When the server cannot be reached the
    // rounds are kept too, up to kMaxPendingRounds, and written in order once it can be: *error
    // says so at the first of them only (and is empty for the others), takeNotice() once they
    // are written.
    bool record(const QList<BoardInfo> &answered, const QList<WatchEvent> &events,
                const QDateTime &at, QString *error);
    int pendingRounds() const {
        return pending_.size();
    }
    // How often a server that went away is tried again (kReconnectMs unless set).
    void setReconnectMs(int ms) {
        reconnectMs_ = ms;
    }

    // A reset sent to `board` in this session, recorded as it goes out with `outcome` so far
    // ("resetting"): the row's id, or -1 with *error.
    qint64 recordReset(const BoardInfo &board, const QDateTime &at, const QString &outcome,
                       QString *error);
    // Drops what `keep` does not keep, in one short transaction; a busy file is left for the
    // next time. Writers call it when a session begins and every kPruneRounds rounds; the
    // count of changes and resets (which reads all of a station's changes) only with `counts`,
    // which writers ask for every kPruneCountRounds rounds.
    bool prune(const HistoryRetention &keep, QString *error, bool counts = true);
    static constexpr int kPruneCountRounds = 300;
    static constexpr int kPruneRounds = 10;
    HistoryStats stats(QString *error) const;

    // What came of the reset `id`.
    bool finishReset(qint64 id, const QString &outcome, const QDateTime &at, QString *error);

    // The boards seen between query.since and query.until on query.interface (every interface
    // when empty), by interface, then as info sorts them.
    QList<HistoryBoard> boards(const HistoryQuery &query, QString *error) const;
    // The changes and resets, oldest first, with the gone and added of each reset folded
    // into it.
    QList<HistoryChange> changes(const HistoryQuery &query, QString *error) const;

  private:
    struct PendingRound {
        QList<BoardInfo> answered;
        QList<WatchEvent> events;
        QDateTime at;
        qint64 seq; // the session's count of rounds
    };
    // After the engine opened: the schema checked, or brought up to date.
    bool settle(QString *error);
    // Opens the server's history again after an outage, no more often than kReconnectMs.
    bool reconnect(QString *error);
    bool migrate(QString *error);
    // Writes the session begun, if not yet written; busy_ then says whether another program
    // held the file.
    bool writeSession(QString *error);
    bool writeRound(const PendingRound &round, QString *error);
    QString describe(const QString &what, const QString &sqlError) const;

    int busyTimeoutMs_;
    std::unique_ptr<HistoryEngine> engine_;
    int schema_ = 0; // of the history as opened
    int roundsSincePrune_ = 0;
    int roundsSinceCounts_ = 0;
    QString readOnlyReason_;
    QString connection_;
    QString path_; // as messages show it
    QString station_;
    QString interface_;
    QString program_;
    qint64 session_ = -1;
    bool sessionPending_ = false; // begun, not yet written (the file was busy)
    bool busy_ = false;
    QString token_; // the session's own, unique among every station's
    qint64 roundSeq_ = 0;
    QList<PendingRound> pending_;
    int dropped_ = 0;
    bool waiting_ = false; // for the server to be reached
    bool outage_ = false;  // said; the rounds are counted when written
    QElapsedTimer lastAttempt_;
    int reconnectMs_ = kReconnectMs;
    QString notice_;
};

// How many boards of `interface` that answer from the shared address were there at the last
// look, as far as the history at `path` knows: read only, never waiting for a writer, and 0
// when there is no history or it cannot be read at once.
int sharedBoardsLastSeen(const QString &path, const QString &station, const QString &interface);

// --since and --until: an ISO 8601 date or date and time (local time unless it names its
// offset), "today" or "yesterday" (their start; with `end`, a date means its end), or a time
// back from `now` such as 90s, 15m, 12h or 7d. Null when it is none of these.
QDateTime parseSince(const QString &text, const QDateTime &now, bool end = false);

// What 'l2station history' prints: the boards or the changes as a table (cut to `width` when
// above 0) or as a JSON array. Times are local, as the technician reads them.
QString historyBoardsTable(const QList<HistoryBoard> &boards, int width = 0);
QByteArray historyBoardsJson(const QList<HistoryBoard> &boards);
QString historyChangesTable(const QList<HistoryChange> &changes, int width = 0);
QByteArray historyChangesJson(const QList<HistoryChange> &changes);
