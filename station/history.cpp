// The history, on whichever engine keeps it: its schema brought up to date in one transaction,
// migrated once however many stations open it together; rounds written in short transactions,
// and kept in memory, in order, while the history cannot be written.
#include "history.h"
#include "historyengine.h"
#include "stablesort.h"

#include "wire.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <limits>

#include <pwd.h>
#include <unistd.h>

namespace {

// One statement of a migration, on both engines unless it says which. {id}, {int} and {blob}
// are the engine's spelling of a key, a 64-bit integer and bytes.
struct MigrationStatement {
    enum Only { Both, File, Server };
    const char *sql;
    Only only = Both;
};

// Each step takes the history from the version before it to its own; a history is never
// rebuilt, except where SQLite cannot change a table in place.
const QList<QList<MigrationStatement>> &migrations() {
    static const QList<QList<MigrationStatement>> steps{
        // 1: the boards of each interface, and their changes.
        {{"CREATE TABLE boards (id {id}, interface TEXT NOT NULL, "
          "key TEXT NOT NULL, mac TEXT NOT NULL, device TEXT NOT NULL, "
          "version TEXT NOT NULL, product TEXT NOT NULL, hard_id TEXT NOT NULL, "
          "ipv4 TEXT NOT NULL, reply {blob} NOT NULL, count {int} NOT NULL, "
          "first_seen {int} NOT NULL, last_seen {int} NOT NULL, "
          "UNIQUE (interface, key))"},
         {"CREATE TABLE changes (id {id}, "
          "board {int} NOT NULL REFERENCES boards (id), at {int} NOT NULL, "
          "event TEXT NOT NULL, fields TEXT NOT NULL, was TEXT, now TEXT)"}},
        // 2: sessions (which program watched which interface when), each change's session,
        // and whether a board was there at the last look.
        {{"CREATE TABLE sessions (id {id}, program TEXT NOT NULL, "
          "interface TEXT NOT NULL, started {int} NOT NULL, ended {int})"},
         {"ALTER TABLE changes ADD COLUMN session {int} REFERENCES sessions (id)"},
         {"ALTER TABLE boards ADD COLUMN present {int} NOT NULL DEFAULT 1"},
         {"CREATE INDEX changes_at ON changes (at)"},
         {"CREATE INDEX boards_last_seen ON boards (last_seen)"}},
        // 3: who ran each session where, and the resets sent, with what came of each.
        {{"ALTER TABLE sessions ADD COLUMN \"user\" TEXT"},
         {"ALTER TABLE sessions ADD COLUMN host TEXT"},
         {"CREATE TABLE resets (id {id}, "
          "session {int} REFERENCES sessions (id), interface TEXT NOT NULL, "
          "key TEXT NOT NULL, at {int} NOT NULL, ended {int}, "
          "board TEXT NOT NULL, outcome TEXT NOT NULL)"},
         {"CREATE INDEX resets_at ON resets (at)"},
         // For the pruning and for one board's changes.
         {"CREATE INDEX changes_board ON changes (board)"},
         {"CREATE INDEX boards_interface_seen ON boards (interface, last_seen)"}},
        // 4: many stations in one history. A board is one station's on one interface; each
        // session knows its station, and a token and its last round, so that a round written
        // again after a lost answer is not written twice. Indexes for one board's rows, by
        // its address or its HardId (now, or before a change).
        {{"CREATE TABLE boards_v4 (id INTEGER PRIMARY KEY, station TEXT NOT NULL, "
          "interface TEXT NOT NULL, key TEXT NOT NULL, mac TEXT NOT NULL, device TEXT NOT NULL, "
          "version TEXT NOT NULL, product TEXT NOT NULL, hard_id TEXT NOT NULL, "
          "ipv4 TEXT NOT NULL, reply BLOB NOT NULL, count INTEGER NOT NULL, "
          "first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, "
          "present INTEGER NOT NULL DEFAULT 1, UNIQUE (station, interface, key))",
          MigrationStatement::File},
         {"INSERT INTO boards_v4 SELECT id, {station}, interface, key, mac, device, version, "
          "product, hard_id, ipv4, reply, count, first_seen, last_seen, present FROM boards",
          MigrationStatement::File},
         {"DROP TABLE boards", MigrationStatement::File},
         {"ALTER TABLE boards_v4 RENAME TO boards", MigrationStatement::File},
         {"ALTER TABLE boards ADD COLUMN station TEXT NOT NULL DEFAULT ''",
          MigrationStatement::Server},
         {"ALTER TABLE boards DROP CONSTRAINT boards_interface_key_key",
          MigrationStatement::Server},
         {"ALTER TABLE boards ADD CONSTRAINT boards_station_interface_key "
          "UNIQUE (station, interface, key)",
          MigrationStatement::Server},
         // Every round rewrites each board's last sighting: with no index on it, PostgreSQL
         // updates the row in place (a HOT update, room left by the fill factor) instead of
         // adding index entries for every board every round. The pruning by age reads the
         // table, a station's boards at most.
         {"DROP INDEX IF EXISTS boards_interface_seen"},
         {"DROP INDEX IF EXISTS boards_last_seen"},
         {"ALTER TABLE boards SET (fillfactor = 70)", MigrationStatement::Server},
         {"CREATE INDEX boards_station ON boards (station, interface)"},
         {"CREATE INDEX boards_mac ON boards (mac)"},
         {"CREATE INDEX boards_hard_id ON boards (upper(hard_id))"},
         {"ALTER TABLE sessions ADD COLUMN station TEXT"},
         {"ALTER TABLE sessions ADD COLUMN token TEXT"},
         {"ALTER TABLE sessions ADD COLUMN last_round {int}"},
         {"CREATE UNIQUE INDEX sessions_token ON sessions (token)"},
         {"UPDATE sessions SET station = {station}"},
         {"ALTER TABLE resets ADD COLUMN station TEXT"},
         {"UPDATE resets SET station = {station}"},
         {"CREATE INDEX resets_board ON resets (station, interface, key)"},
         {"ALTER TABLE changes ADD COLUMN was_hard_id TEXT"},
         {"UPDATE changes SET was_hard_id = upper(json_extract(was, '$.HardId')) "
          "WHERE event = 'changed' AND json_valid(was)",
          MigrationStatement::File},
         {"CREATE INDEX changes_was_hard_id ON changes (was_hard_id)"}},
    };
    return steps;
}

const QStringList kOurTables{QStringLiteral("boards"), QStringLiteral("changes"),
                             QStringLiteral("sessions"), QStringLiteral("resets")};

// A gone or added this long after a reset's end still belongs to it: a watch notices the
// board's return a round or two after the reset's own wait did.
constexpr qint64 kResetReturnMs = 30000;

qint64 msOf(const QDateTime &t) {
    return t.toMSecsSinceEpoch();
}

QDateTime timeOf(const QVariant &v) {
    return QDateTime::fromMSecsSinceEpoch(v.toLongLong());
}

QString json(const BoardInfo &b) {
    return QString::fromUtf8(QJsonDocument(boardJson(b)).toJson(QJsonDocument::Compact));
}

BoardInfo boardFromJson(const QString &text) {
    const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
    const auto field = [&](wire::InfoField f) {
        return o.value(QLatin1String(wire::kInfoLabels[f])).toString();
    };
    BoardInfo b;
    b.device = field(wire::Device);
    b.version = field(wire::Version);
    b.product = field(wire::Product);
    b.hardId = field(wire::HardId);
    for (const QJsonValue &v :
         o.value(QLatin1String(wire::kInfoLabels[wire::IpAddress])).toArray()) {
        b.ipAddresses.append(v.toString());
    }
    b.mac = wire::macFromText(o.value(QStringLiteral("Mac")).toString());
    b.count = o.value(QStringLiteral("Count")).toInt(1);
    return b;
}

// An empty text is stored as empty: Qt binds a null QString as NULL.
QVariant text(const QString &s) {
    return s.isNull() ? QVariant(QStringLiteral("")) : QVariant(s);
}

// Who runs this program: the user, and the one who became root through sudo.
QString userName() {
    const struct passwd *pw = getpwuid(geteuid());
    QString name = pw != nullptr ? QString::fromLocal8Bit(pw->pw_name) : QString::number(geteuid());
    const QString sudo = qEnvironmentVariable("SUDO_USER");
    if (geteuid() == 0 && !sudo.isEmpty() && sudo != name) {
        name += QStringLiteral(" (sudo from %1)").arg(sudo);
    }
    return name;
}

} // namespace

HistoryStore::HistoryStore(int busyTimeoutMs)
    : busyTimeoutMs_(busyTimeoutMs),
      connection_(QStringLiteral("l2station-history-%1").arg(quintptr(this), 0, 16)),
      station_(defaultStation()) {}

HistoryStore::~HistoryStore() {
    endSession();
    engine_.reset();
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
}

QString HistoryStore::defaultPath() {
    return HistoryLocation::defaultText();
}

QString HistoryStore::defaultStation() {
    return QSysInfo::machineHostName();
}

void HistoryStore::setStation(const QString &name) {
    station_ = name.isEmpty() ? defaultStation() : name;
}

bool HistoryStore::isOpen() const {
    return engine_ != nullptr && QSqlDatabase::contains(connection_) &&
           QSqlDatabase::database(connection_, false).isOpen();
}

QString HistoryStore::describe(const QString &what, const QString &sqlError) const {
    return QStringLiteral("history %1: %2: %3").arg(path_, what, sqlError);
}

QString HistoryStore::takeNotice() {
    QString notice = notice_;
    notice_.clear();
    return notice;
}

bool HistoryStore::open(const QString &location, QString *error, Access access) {
    const HistoryLocation where = HistoryLocation::parse(location);
    path_ = where.shown();
    readOnlyReason_.clear();
    schema_ = 0;
    waiting_ = false;
    if (engine_) {
        engine_->close();
    }
    engine_ = HistoryEngine::make(where, connection_, busyTimeoutMs_);
    lastAttempt_.start();
    if (!engine_->open(access == Access::Read ? HistoryEngine::Access::Read
                                              : HistoryEngine::Access::Write,
                       &readOnlyReason_, error)) {
        // A server that is not there now may be later: a writer keeps its rounds meanwhile.
        waiting_ = access == Access::Write && engine_->unreachable();
        return false;
    }
    return settle(error);
}

bool HistoryStore::settle(QString *error) {
    if (!readOnlyReason_.isEmpty()) {
        QString why;
        schema_ = engine_->schemaVersion(&why);
        if (schema_ < 0) {
            engine_->close();
            *error = describe(QStringLiteral("cannot be read"), why);
            return false;
        }
        if (schema_ > kSchemaVersion) {
            engine_->close();
            *error = QStringLiteral("history %1: written by a newer l2station (schema %2; this "
                                    "one knows %3); it is left as it is")
                         .arg(path_)
                         .arg(schema_)
                         .arg(kSchemaVersion);
            return false;
        }
        return true;
    }
    if (!migrate(error)) {
        engine_->close();
        return false;
    }
    schema_ = kSchemaVersion;
    engine_->ready();
    return true;
}

bool HistoryStore::reconnect(QString *error) {
    if (!waiting_ || lastAttempt_.elapsed() < reconnectMs_) {
        return false;
    }
    lastAttempt_.start();
    engine_->close();
    readOnlyReason_.clear();
    if (!engine_->open(HistoryEngine::Access::Write, &readOnlyReason_, error)) {
        return false;
    }
    if (!settle(error)) {
        return false;
    }
    waiting_ = false;
    return true;
}

bool HistoryStore::migrate(QString *error) {
    QSqlDatabase db = engine_->db();
    QString why;
    // A history already at this schema needs no write: opening it never waits for a writer.
    const int current = engine_->schemaVersion(&why);
    if (current == kSchemaVersion) {
        return true;
    }
    // The version is read again under the lock: stations that open an old history at once
    // migrate it once.
    QSqlError failure;
    if (!engine_->beginWrite(true, &failure)) {
        *error =
            engine_->busy(failure)
                ? describe(QStringLiteral("another l2station holds it"), failure.databaseText())
                : describe(QStringLiteral("cannot be written"), failure.databaseText());
        return false;
    }
    const auto abandon = [&](const QString &message) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        *error = message;
        return false;
    };
    const int version = engine_->schemaVersion(&why);
    if (version < 0) {
        return abandon(describe(QStringLiteral("cannot be read"), why));
    }
    if (version > kSchemaVersion) {
        return abandon(QStringLiteral("history %1: written by a newer l2station (schema %2; this "
                                      "one knows %3); it is left as it is")
                           .arg(path_)
                           .arg(version)
                           .arg(kSchemaVersion));
    }
    if (version == kSchemaVersion) {
        // Another station migrated it while this one waited for the lock.
        QSqlQuery(db).exec(QStringLiteral("COMMIT"));
        return true;
    }
    QStringList ours;
    for (const QString &table : engine_->tables()) {
        if (engine_->ownTable(table)) {
            continue;
        }
        if (!kOurTables.contains(table)) {
            return abandon(
                QStringLiteral("history %1: holds other tables (%2): not an l2station history; "
                               "it is left as it is%3")
                    .arg(path_, table,
                         engine_->server() ? QStringLiteral(" (give the stations a database, or "
                                                            "a schema, of their own)")
                                           : QString()));
        }
        ours.append(table);
    }
    if (version == 0 && !ours.isEmpty()) {
        return abandon(QStringLiteral("history %1: has tables but no schema version: not an "
                                      "l2station history; it is left as it is")
                           .arg(path_));
    }
    QSqlQuery q(db);
    for (int step = version; step < kSchemaVersion; ++step) {
        for (const MigrationStatement &statement : migrations().at(step)) {
            if (statement.only != MigrationStatement::Both &&
                (statement.only == MigrationStatement::Server) != engine_->server()) {
                continue;
            }
            QString sql = engine_->sql(QLatin1String(statement.sql));
            const bool named = sql.contains(QLatin1String("{station}"));
            sql.replace(QLatin1String("{station}"), QLatin1String(":station"));
            bool done = false;
            if (named) {
                // The rows of a history kept before stations were told apart are this
                // station's: until now, each station kept its own.
                q.prepare(sql);
                q.bindValue(QStringLiteral(":station"), station_);
                done = q.exec();
            } else {
                // Not prepared: PostgreSQL prepares no schema statements.
                done = q.exec(sql);
            }
            if (!done) {
                return abandon(
                    describe(QStringLiteral("cannot bring it to schema %1").arg(step + 1),
                             q.lastError().databaseText()));
            }
        }
    }
    if (!engine_->setSchemaVersion(kSchemaVersion, &why)) {
        return abandon(describe(QStringLiteral("cannot be written"), why));
    }
    if (!q.exec(QStringLiteral("COMMIT"))) {
        return abandon(describe(QStringLiteral("cannot be written"), q.lastError().databaseText()));
    }
    return true;
}

bool HistoryStore::beginSession(const QString &program, const QString &interface, QString *error) {
    interface_ = interface;
    program_ = program;
    if (!writable()) {
        *error = readOnlyReason_;
        return false;
    }
    sessionPending_ = true;
    session_ = -1;
    token_ = QUuid::createUuid().toString(QUuid::WithoutBraces);
    roundSeq_ = 0;
    if (!isOpen()) {
        // A server that could not be reached: the session goes in with the first round written.
        if (waiting_) {
            return true;
        }
        *error = QStringLiteral("history %1: not open").arg(path_);
        return false;
    }
    // Another program writing the file now only puts the session off: it is written with
    // the first round that can be.
    QString why;
    if (writeSession(&why) || busy_) {
        QString ignored; // a busy file is pruned another time
        prune(HistoryRetention::fromEnvironment(), &ignored);
        return true;
    }
    *error = why;
    return false;
}

bool HistoryStore::writeSession(QString *error) {
    busy_ = false;
    if (!sessionPending_) {
        return true;
    }
    // Keyed by a token of this run's: written again after a commit whose answer was lost, it is
    // still one session.
    QSqlQuery q(engine_->db());
    q.prepare(QStringLiteral(
        "INSERT INTO sessions (program, interface, started, \"user\", host, station, token, "
        "last_round) VALUES (:program, :interface, :at, :user, :host, :station, :token, 0) "
        "ON CONFLICT (token) DO NOTHING"));
    q.bindValue(QStringLiteral(":program"), program_);
    q.bindValue(QStringLiteral(":interface"), interface_);
    q.bindValue(QStringLiteral(":at"), msOf(QDateTime::currentDateTimeUtc()));
    q.bindValue(QStringLiteral(":user"), userName());
    q.bindValue(QStringLiteral(":host"), QSysInfo::machineHostName());
    q.bindValue(QStringLiteral(":station"), station_);
    q.bindValue(QStringLiteral(":token"), token_);
    if (!q.exec()) {
        busy_ = engine_->busy(q.lastError());
        *error = describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return false;
    }
    q.prepare(QStringLiteral("SELECT id FROM sessions WHERE token = :token"));
    q.bindValue(QStringLiteral(":token"), token_);
    if (!q.exec() || !q.next()) {
        busy_ = engine_->busy(q.lastError());
        *error = describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return false;
    }
    session_ = q.value(0).toLongLong();
    sessionPending_ = false;
    return true;
}

qint64 HistoryStore::recordReset(const BoardInfo &board, const QDateTime &at,
                                 const QString &outcome, QString *error) {
    if (writable() && sessionPending_ && (!isOpen() || !writeSession(error))) {
        if (!isOpen()) {
            *error = QStringLiteral("history %1: not open").arg(path_);
        }
        return -1;
    }
    if (!writable() || session_ < 0) {
        *error = writable() ? QStringLiteral("history %1: no session").arg(path_) : readOnlyReason_;
        return -1;
    }
    QSqlQuery q(engine_->db());
    q.prepare(QStringLiteral(
        "INSERT INTO resets (session, station, interface, key, at, board, outcome) VALUES "
        "(:session, :station, :interface, :key, :at, :board, :outcome) RETURNING id"));
    q.bindValue(QStringLiteral(":session"), session_);
    q.bindValue(QStringLiteral(":station"), station_);
    q.bindValue(QStringLiteral(":interface"), interface_);
    q.bindValue(QStringLiteral(":key"), boardKey(board));
    q.bindValue(QStringLiteral(":at"), msOf(at));
    q.bindValue(QStringLiteral(":board"), json(board));
    q.bindValue(QStringLiteral(":outcome"), text(outcome));
    if (!q.exec() || !q.next()) {
        *error = describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return -1;
    }
    return q.value(0).toLongLong();
}

bool HistoryStore::finishReset(qint64 id, const QString &outcome, const QDateTime &at,
                               QString *error) {
    if (!writable()) {
        *error = readOnlyReason_;
        return false;
    }
    QSqlQuery q(engine_->db());
    q.prepare(QStringLiteral("UPDATE resets SET outcome = :outcome, ended = :at WHERE id = :id"));
    q.bindValue(QStringLiteral(":outcome"), text(outcome));
    q.bindValue(QStringLiteral(":at"), at.isValid() ? QVariant(msOf(at)) : QVariant());
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec()) {
        *error = describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return false;
    }
    return true;
}

void HistoryStore::endSession() {
    if (!isOpen() || !writable()) {
        return;
    }
    QString ignored;
    // Whatever waited for a busy file or an absent server gets one more chance.
    if (!pending_.isEmpty()) {
        record({}, {}, QDateTime(), &ignored);
    }
    if (session_ < 0) {
        return;
    }
    QSqlQuery q(engine_->db());
    q.prepare(QStringLiteral("UPDATE sessions SET ended = :at WHERE id = :id"));
    q.bindValue(QStringLiteral(":at"), msOf(QDateTime::currentDateTimeUtc()));
    q.bindValue(QStringLiteral(":id"), session_);
    q.exec();
    session_ = -1;
}

bool HistoryStore::record(const QList<BoardInfo> &answered, const QList<WatchEvent> &events,
                          const QDateTime &at, QString *error) {
    if (!writable()) {
        *error = readOnlyReason_;
        return false;
    }
    if (at.isValid()) {
        pending_.append(PendingRound{answered, events, at, ++roundSeq_});
    }
    if (pending_.size() > kMaxPendingRounds) {
        dropped_ += pending_.size() - kMaxPendingRounds;
        pending_.erase(pending_.begin(), pending_.end() - kMaxPendingRounds);
    }
    const auto keep = [&](const QString &why) {
        // Said once for each outage; the rounds kept meanwhile are counted when written.
        if (!outage_) {
            outage_ = true;
            *error = why + QStringLiteral("; its rounds are kept (at most %1) and written once "
                                          "it can be reached")
                               .arg(kMaxPendingRounds);
        }
        return false;
    };
    if (!isOpen()) {
        QString why;
        if (!reconnect(&why)) {
            return keep(why.isEmpty()
                            ? QStringLiteral("history %1: the server cannot be reached").arg(path_)
                            : why);
        }
    }
    const int waiting = pending_.size();
    while (!pending_.isEmpty()) {
        if (!writeRound(pending_.first(), error)) {
            if (engine_->lost()) {
                // The server went away: the connection is made again, a round at most every
                // kReconnectMs, and the rounds wait for it.
                engine_->close();
                waiting_ = true;
                lastAttempt_.start();
                const QString why = *error;
                error->clear();
                return keep(why);
            }
            *error += QStringLiteral("; %1 round%2 kept to be written with the next")
                          .arg(pending_.size())
                          .arg(pending_.size() == 1 ? QString() : QStringLiteral("s"));
            if (dropped_ > 0) {
                *error += QStringLiteral(", %1 older ones dropped").arg(dropped_);
            }
            return false;
        }
        pending_.removeFirst();
        ++roundsSinceCounts_;
        if (++roundsSincePrune_ >= kPruneRounds) {
            QString ignored;
            prune(HistoryRetention::fromEnvironment(), &ignored,
                  roundsSinceCounts_ >= kPruneCountRounds);
        }
    }
    if (outage_) {
        outage_ = false;
        // The round just seen was written with them; the count is of those kept before it.
        const int kept = waiting - (at.isValid() ? 1 : 0);
        notice_ = QStringLiteral("history %1: reached again: %2 round%3 kept meanwhile written, "
                                 "in order")
                      .arg(path_)
                      .arg(kept)
                      .arg(kept == 1 ? QString() : QStringLiteral("s"));
        if (dropped_ > 0) {
            notice_ += QStringLiteral("; %1 older ones were dropped (more than %2 were waiting)")
                           .arg(dropped_)
                           .arg(kMaxPendingRounds);
        }
    }
    dropped_ = 0;
    return true;
}

bool HistoryStore::writeRound(const PendingRound &round, QString *error) {
    QSqlDatabase db = engine_->db();
    QSqlQuery q(db);
    QSqlError failure;
    if (!engine_->beginWrite(false, &failure)) {
        *error = engine_->busy(failure)
                     ? QStringLiteral("history %1: busy: another l2station has been writing it "
                                      "for %2 ms")
                           .arg(path_)
                           .arg(busyTimeoutMs_)
                     : describe(QStringLiteral("cannot be written"), failure.databaseText());
        return false;
    }
    // A session put off while the history was busy goes in with this round, or not at all.
    const bool sessionHere = sessionPending_;
    const auto fail = [&](const QSqlQuery &failed) {
        *error = describe(QStringLiteral("cannot be written"), failed.lastError().databaseText());
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        if (sessionHere) {
            session_ = -1;
            sessionPending_ = true;
        }
        return false;
    };
    if (!writeSession(error)) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    // A round whose commit was answered by a lost connection may be in already: the session
    // says which of its rounds are, so none is written twice.
    q.prepare(QStringLiteral("SELECT last_round FROM sessions WHERE id = :id"));
    q.bindValue(QStringLiteral(":id"), session_);
    if (!q.exec() || !q.next()) {
        return fail(q);
    }
    if (q.value(0).toLongLong() >= round.seq) {
        q.finish();
        return q.exec(QStringLiteral("COMMIT")) || fail(q);
    }
    q.finish();
    const qint64 now = msOf(round.at);
    // A board at the shared address whose reply changed has a new key: its row follows it, so
    // that its first sighting stays (unless a row of that key is there already).
    for (const WatchEvent &e : round.events) {
        if (e.kind == WatchEvent::Changed && boardKey(e.before) != boardKey(e.board)) {
            q.prepare(QStringLiteral(
                "UPDATE boards SET key = :new WHERE station = :station AND interface = "
                ":interface AND key = :old AND NOT EXISTS (SELECT 1 FROM boards o WHERE "
                "o.station = :station AND o.interface = :interface AND o.key = :new)"));
            q.bindValue(QStringLiteral(":new"), boardKey(e.board));
            q.bindValue(QStringLiteral(":station"), station_);
            q.bindValue(QStringLiteral(":interface"), interface_);
            q.bindValue(QStringLiteral(":old"), boardKey(e.before));
            if (!q.exec()) {
                return fail(q);
            }
        }
    }
    q.prepare(engine_->sql(QStringLiteral(
        "INSERT INTO boards (station, interface, key, mac, device, version, product, hard_id, "
        "ipv4, reply, count, first_seen, last_seen, present) VALUES (:station, :interface, :key, "
        ":mac, :device, :version, :product, :hard_id, :ipv4, :reply, :count, :at, :at, 1) "
        "ON CONFLICT (station, interface, key) DO UPDATE SET mac = excluded.mac, "
        "device = excluded.device, version = excluded.version, product = excluded.product, "
        "hard_id = excluded.hard_id, ipv4 = excluded.ipv4, reply = excluded.reply, "
        "count = excluded.count, "
        "first_seen = {least}(boards.first_seen, excluded.first_seen), "
        "last_seen = {greatest}(boards.last_seen, excluded.last_seen), present = 1")));
    for (const BoardInfo &b : round.answered) {
        q.bindValue(QStringLiteral(":station"), station_);
        q.bindValue(QStringLiteral(":interface"), interface_);
        q.bindValue(QStringLiteral(":key"), boardKey(b));
        q.bindValue(QStringLiteral(":mac"),
                    text(b.sharedAddress() ? QString() : wire::macText(b.mac)));
        q.bindValue(QStringLiteral(":device"), text(b.device));
        q.bindValue(QStringLiteral(":version"), text(b.version));
        q.bindValue(QStringLiteral(":product"), text(b.product));
        q.bindValue(QStringLiteral(":hard_id"), text(b.hardId));
        q.bindValue(QStringLiteral(":ipv4"), text(b.ipAddresses.join(QLatin1Char(' '))));
        q.bindValue(QStringLiteral(":reply"), b.reply.isNull() ? QByteArray("") : b.reply);
        q.bindValue(QStringLiteral(":count"), b.count);
        q.bindValue(QStringLiteral(":at"), now);
        if (!q.exec()) {
            return fail(q);
        }
    }
    static const char *const kEvents[] = {"added", "changed", "gone"};
    for (const WatchEvent &e : round.events) {
        const QString key = boardKey(e.board);
        if (e.kind == WatchEvent::Gone) {
            q.prepare(QStringLiteral("UPDATE boards SET present = 0 WHERE station = :station AND "
                                     "interface = :interface AND key = :key"));
            q.bindValue(QStringLiteral(":station"), station_);
            q.bindValue(QStringLiteral(":interface"), interface_);
            q.bindValue(QStringLiteral(":key"), key);
            if (!q.exec()) {
                return fail(q);
            }
        }
        const bool changed = e.kind == WatchEvent::Changed;
        q.prepare(QStringLiteral(
            "INSERT INTO changes (board, at, event, fields, was, now, session, was_hard_id) "
            "SELECT id, :at, :event, :fields, :was, :now, :session, :was_hard_id FROM boards "
            "WHERE station = :station AND interface = :interface AND key = :key"));
        q.bindValue(QStringLiteral(":at"), now);
        q.bindValue(QStringLiteral(":event"), QLatin1String(kEvents[e.kind]));
        q.bindValue(
            QStringLiteral(":fields"),
            text(changed ? changedFields(e.before, e.board).join(QLatin1Char(',')) : QString()));
        q.bindValue(QStringLiteral(":was"), changed ? QVariant(json(e.before)) : QVariant());
        q.bindValue(QStringLiteral(":now"), json(e.board));
        q.bindValue(QStringLiteral(":session"), session_ < 0 ? QVariant() : QVariant(session_));
        q.bindValue(QStringLiteral(":was_hard_id"), changed && !e.before.hardId.isEmpty()
                                                        ? QVariant(e.before.hardId.toUpper())
                                                        : QVariant());
        q.bindValue(QStringLiteral(":station"), station_);
        q.bindValue(QStringLiteral(":interface"), interface_);
        q.bindValue(QStringLiteral(":key"), key);
        if (!q.exec()) {
            return fail(q);
        }
    }
    q.prepare(QStringLiteral("UPDATE sessions SET last_round = :seq WHERE id = :id"));
    q.bindValue(QStringLiteral(":seq"), round.seq);
    q.bindValue(QStringLiteral(":id"), session_);
    if (!q.exec()) {
        return fail(q);
    }
    if (!q.exec(QStringLiteral("COMMIT"))) {
        return fail(q);
    }
    return true;
}

namespace {

// The conditions a query puts on rows, and their values: only those the query asks for, so
// that each engine can use its index for what is asked (boards_station for a station and
// interface, boards_mac and boards_hard_id for one board, changes_at for a time).
struct Where {
    QStringList conditions;
    QVariantMap values;
    void add(const QString &condition, const QString &name, const QVariant &value) {
        conditions.append(condition);
        values.insert(name, value);
    }
    QString text() const {
        return conditions.isEmpty()
                   ? QString()
                   : QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    }
    void bind(QSqlQuery *q) const {
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            q->bindValue(it.key(), it.value());
        }
    }
};

// The rows of query.station (a history with stations only) and query.interface, in the terms of
// `table`, a table with both columns.
void whereStationAndInterface(Where *where, const HistoryQuery &query, const QString &table,
                              bool stations) {
    if (!query.station.isEmpty() && stations) {
        where->add(QStringLiteral("%1.station = :station").arg(table), QStringLiteral(":station"),
                   query.station);
    }
    if (!query.interface.isEmpty()) {
        where->add(QStringLiteral("%1.interface = :interface").arg(table),
                   QStringLiteral(":interface"), query.interface);
    }
}

// One board by its address or its HardId (`column` holds board ids): its rows, and with
// `before` those of a board whose HardId was this before a change. Each part is one index's
// (boards_mac, boards_hard_id, changes_was_hard_id), joined by UNION, which both engines read
// through those indexes where an OR would read the whole table. historyBoardMatches has the
// last word on an older history.
void whereBoard(Where *where, const QString &wanted, const QString &column, bool before) {
    const QByteArray mac = wire::macFromText(wanted);
    // An address no row can hold stands in for a text that is none: '' is the shared one's.
    where->values.insert(QStringLiteral(":mac"),
                         mac.isEmpty() ? QStringLiteral("-") : wire::macText(mac));
    where->values.insert(QStringLiteral(":hard"), wanted.trimmed().toUpper());
    where->conditions.append(
        QStringLiteral("%1 IN (SELECT id FROM boards WHERE mac = :mac UNION SELECT id FROM "
                       "boards WHERE upper(hard_id) = :hard%2)")
            .arg(column, before ? QStringLiteral(" UNION SELECT board FROM changes WHERE "
                                                 "was_hard_id = :hard")
                                : QString()));
}

} // namespace

QList<HistoryBoard> HistoryStore::boards(const HistoryQuery &query, QString *error) const {
    QList<HistoryBoard> list;
    if (!isOpen()) {
        *error = QStringLiteral("history %1: not open").arg(path_);
        return list;
    }
    const bool stations = schema_ >= 4;
    Where where;
    whereStationAndInterface(&where, query, QStringLiteral("b"), stations);
    if (query.since.isValid()) {
        where.add(QStringLiteral("b.last_seen >= :since"), QStringLiteral(":since"),
                  msOf(query.since));
    }
    if (query.until.isValid()) {
        where.add(QStringLiteral("b.first_seen <= :until"), QStringLiteral(":until"),
                  msOf(query.until));
    }
    if (!query.board.isEmpty()) {
        whereBoard(&where, query.board, QStringLiteral("b.id"), stations);
    }
    QSqlQuery q(engine_->db());
    q.prepare(QStringLiteral("SELECT %1, b.interface, b.mac, b.device, b.version, b.product, "
                             "b.hard_id, b.ipv4, b.reply, b.count, b.first_seen, b.last_seen, "
                             "b.present FROM boards b")
                  .arg(stations ? QStringLiteral("b.station") : QStringLiteral("''")) +
              where.text());
    where.bind(&q);
    if (!q.exec()) {
        *error = describe(QStringLiteral("cannot be read"), q.lastError().databaseText());
        return list;
    }
    while (q.next()) {
        HistoryBoard h;
        h.station = q.value(0).toString();
        h.interface = q.value(1).toString();
        h.board.mac = wire::macFromText(q.value(2).toString());
        h.board.device = q.value(3).toString();
        h.board.version = q.value(4).toString();
        h.board.product = q.value(5).toString();
        h.board.hardId = q.value(6).toString();
        h.board.ipAddresses = q.value(7).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        h.board.reply = q.value(8).toByteArray();
        h.board.count = q.value(9).toInt();
        h.firstSeen = timeOf(q.value(10));
        h.lastSeen = timeOf(q.value(11));
        h.present = q.value(12).toBool();
        if (query.board.isEmpty() || historyBoardMatches(h.board, query.board) || stations) {
            list.append(h);
        }
    }
    // As info lists them, station by station and interface by interface.
    stableSort(&list, [](const HistoryBoard &a, const HistoryBoard &b) {
        if (a.station != b.station) {
            return a.station < b.station;
        }
        return a.interface != b.interface ? a.interface < b.interface : boardLess(a.board, b.board);
    });
    return list;
}

QList<HistoryChange> HistoryStore::changes(const HistoryQuery &query, QString *error) const {
    QList<HistoryChange> list;
    if (!isOpen()) {
        *error = QStringLiteral("history %1: not open").arg(path_);
        return list;
    }
    const bool stations = schema_ >= 4;
    // From a reset's length before `since`: the gone and added of a reset that began before
    // it still fold into it.
    const qint64 since = query.since.isValid() ? msOf(query.since) : 0;
    const qint64 from = std::max<qint64>(0, since - kDefaultResetWaitMs - kResetReturnMs);
    Where where;
    whereStationAndInterface(&where, query, QStringLiteral("b"), stations);
    if (from > 0) {
        where.add(QStringLiteral("c.at >= :since"), QStringLiteral(":since"), from);
    }
    if (query.until.isValid()) {
        where.add(QStringLiteral("c.at <= :until"), QStringLiteral(":until"), msOf(query.until));
    }
    if (!query.board.isEmpty() && stations) {
        // The changes of the board's rows; a reset folds only the gone and added of its board.
        whereBoard(&where, query.board, QStringLiteral("c.board"), true);
    }
    const bool withResets = schema_ >= 3;
    QSqlQuery q(engine_->db());
    q.prepare(
        QStringLiteral("SELECT b.interface, c.at, c.event, c.fields, c.was, c.now, "
                       "s.program, %1, b.key, %2 FROM changes c JOIN boards b ON b.id = "
                       "c.board LEFT JOIN sessions s ON s.id = c.session")
            .arg(withResets ? QStringLiteral("s.\"user\", s.host") : QStringLiteral("NULL, NULL"),
                 stations ? QStringLiteral("b.station") : QStringLiteral("''")) +
        where.text() + QStringLiteral(" ORDER BY c.at, c.id"));
    where.bind(&q);
    if (!q.exec()) {
        *error = describe(QStringLiteral("cannot be read"), q.lastError().databaseText());
        return list;
    }
    while (q.next()) {
        HistoryChange c;
        c.interface = q.value(0).toString();
        c.at = timeOf(q.value(1));
        c.event = q.value(2).toString();
        c.fields = q.value(3).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
        if (!q.value(4).isNull()) {
            c.was = boardFromJson(q.value(4).toString());
        }
        c.board = boardFromJson(q.value(5).toString());
        c.program = q.value(6).toString();
        c.user = q.value(7).toString();
        c.host = q.value(8).toString();
        c.key = q.value(9).toString();
        c.station = q.value(10).toString();
        list.append(c);
    }
    if (withResets) {
        // Resets are few: one board's are picked out below.
        Where resets;
        whereStationAndInterface(&resets, query, QStringLiteral("r"), stations);
        if (from > 0) {
            resets.add(QStringLiteral("r.at >= :since"), QStringLiteral(":since"), from);
        }
        if (query.until.isValid()) {
            resets.add(QStringLiteral("r.at <= :until"), QStringLiteral(":until"),
                       msOf(query.until));
        }
        q.prepare(QStringLiteral("SELECT r.interface, r.at, r.board, s.program, s.\"user\", "
                                 "s.host, r.key, r.outcome, r.ended, %1 FROM resets r "
                                 "LEFT JOIN sessions s ON s.id = r.session")
                      .arg(stations ? QStringLiteral("r.station") : QStringLiteral("''")) +
                  resets.text() + QStringLiteral(" ORDER BY r.at, r.id"));
        resets.bind(&q);
        if (!q.exec()) {
            *error = describe(QStringLiteral("cannot be read"), q.lastError().databaseText());
            return {};
        }
        while (q.next()) {
            HistoryChange c;
            c.interface = q.value(0).toString();
            c.at = timeOf(q.value(1));
            c.event = QStringLiteral("reset");
            c.board = boardFromJson(q.value(2).toString());
            c.program = q.value(3).toString();
            c.user = q.value(4).toString();
            c.host = q.value(5).toString();
            c.key = q.value(6).toString();
            c.outcome = q.value(7).toString();
            if (!q.value(8).isNull()) {
                c.ended = timeOf(q.value(8));
            }
            c.station = q.value(9).toString();
            list.append(c);
        }
        stableSort(&list,
                   [](const HistoryChange &a, const HistoryChange &b) { return a.at < b.at; });
    }
    // With stations, the changes were picked by their board's row; resets, and the rows of an
    // older history, are picked here.
    QSet<QString> picked;
    if (stations) {
        for (const HistoryChange &c : list) {
            if (c.event != QLatin1String("reset")) {
                picked.insert(c.station + QLatin1Char('\n') + c.interface + QLatin1Char('\n') +
                              c.key);
            }
        }
    }
    QList<HistoryChange> shown;
    for (const HistoryChange &c : foldResets(list, kDefaultResetWaitMs)) {
        const bool reset = c.event == QLatin1String("reset");
        const bool board =
            query.board.isEmpty() || (stations && !reset) ||
            (reset && picked.contains(c.station + QLatin1Char('\n') + c.interface +
                                      QLatin1Char('\n') + c.key)) ||
            historyBoardMatches(c.board, query.board) ||
            (c.event == QLatin1String("changed") && historyBoardMatches(c.was, query.board));
        if (msOf(c.at) >= since && (query.events.isEmpty() || query.events.contains(c.event)) &&
            board) {
            shown.append(c);
        }
    }
    return shown;
}

HistoryRetention HistoryRetention::fromEnvironment() {
    HistoryRetention keep;
    const auto number = [](const char *name, int fallback) {
        bool ok = false;
        const int value = qEnvironmentVariableIntValue(name, &ok);
        return ok && value > 0 ? value : fallback;
    };
    keep.days = number("L2STATION_HISTORY_DAYS", keep.days);
    keep.boards = number("L2STATION_HISTORY_BOARDS", keep.boards);
    keep.changes = number("L2STATION_HISTORY_CHANGES", keep.changes);
    return keep;
}

bool HistoryStore::prune(const HistoryRetention &keep, QString *error, bool counts) {
    roundsSincePrune_ = 0;
    if (counts) {
        roundsSinceCounts_ = 0;
    }
    if (!writable()) {
        *error = readOnlyReason_;
        return false;
    }
    if (!isOpen()) {
        *error = QStringLiteral("history %1: not open").arg(path_);
        return false;
    }
    QSqlDatabase db = engine_->db();
    QSqlQuery q(db);
    QSqlError failure;
    if (!engine_->beginWrite(false, &failure)) {
        *error = describe(QStringLiteral("not pruned now"), failure.databaseText());
        return false;
    }
    const qint64 cutoff = msOf(QDateTime::currentDateTimeUtc().addDays(-keep.days));
    // Each station prunes its own interfaces' rows beyond the counts: a flood of made-up boards
    // on one line pushes nothing of another line's out. Anyone's rows past the days go.
    QStringList interfaces;
    q.prepare(QStringLiteral("SELECT DISTINCT interface FROM boards WHERE station = :station"));
    q.bindValue(QStringLiteral(":station"), station_);
    q.exec();
    while (q.next()) {
        interfaces.append(q.value(0).toString());
    }
    q.finish();
    struct Statement {
        QString sql;
        QString interface; // bound as :interface, with :station, when not null
    };
    QList<Statement> statements{
        {QStringLiteral("DELETE FROM changes WHERE at < %1").arg(cutoff), {}},
        {QStringLiteral("DELETE FROM resets WHERE at < %1").arg(cutoff), {}},
        {QStringLiteral("DELETE FROM changes WHERE board IN (SELECT id FROM boards WHERE "
                        "last_seen < %1)")
             .arg(cutoff),
         {}},
        {QStringLiteral("DELETE FROM boards WHERE last_seen < %1").arg(cutoff), {}}};
    for (const QString &interface : interfaces) {
        const QString boardsBeyond =
            engine_->sql(QStringLiteral("SELECT id FROM boards WHERE station = :station AND "
                                        "interface = :interface ORDER BY last_seen DESC {all} "
                                        "OFFSET %1")
                             .arg(keep.boards));
        statements << Statement{QStringLiteral("DELETE FROM changes WHERE board IN (%1)")
                                    .arg(boardsBeyond),
                                interface}
                   << Statement{
                          QStringLiteral("DELETE FROM boards WHERE id IN (%1)").arg(boardsBeyond),
                          interface};
        if (!counts) {
            continue;
        }
        statements
            << Statement{engine_->sql(
                             QStringLiteral("DELETE FROM changes WHERE id IN (SELECT c.id FROM "
                                            "changes c JOIN boards b ON b.id = c.board WHERE "
                                            "b.station = :station AND b.interface = :interface "
                                            "ORDER BY c.at DESC {all} OFFSET %1)")
                                 .arg(keep.changes)),
                         interface}
            << Statement{engine_->sql(
                             QStringLiteral("DELETE FROM resets WHERE id IN (SELECT id FROM resets "
                                            "WHERE station = :station AND interface = :interface "
                                            "ORDER BY at DESC {all} OFFSET %1)")
                                 .arg(keep.changes)),
                         interface};
    }
    statements << Statement{
        QStringLiteral("DELETE FROM sessions WHERE started < %1 AND ended IS NOT NULL "
                       "AND id NOT IN (SELECT session FROM changes WHERE session IS NOT "
                       "NULL) AND id NOT IN (SELECT session FROM resets WHERE session "
                       "IS NOT NULL)")
            .arg(cutoff),
        {}};
    for (const Statement &statement : statements) {
        q.prepare(statement.sql);
        if (!statement.interface.isNull()) {
            q.bindValue(QStringLiteral(":station"), station_);
            q.bindValue(QStringLiteral(":interface"), statement.interface);
        }
        if (!q.exec()) {
            *error = describe(QStringLiteral("cannot be pruned"), q.lastError().databaseText());
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            return false;
        }
    }
    if (!q.exec(QStringLiteral("COMMIT"))) {
        *error = describe(QStringLiteral("cannot be pruned"), q.lastError().databaseText());
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

HistoryStats HistoryStore::stats(QString *error) const {
    HistoryStats stats;
    stats.path = path_;
    stats.retention = HistoryRetention::fromEnvironment();
    if (!isOpen()) {
        *error = QStringLiteral("history %1: not open").arg(path_);
        return stats;
    }
    stats.bytes = engine_->bytes();
    const QString station = schema_ >= 4 ? QStringLiteral("station") : QStringLiteral("''");
    QSqlQuery q(engine_->db());
    if (!q.exec(QStringLiteral("SELECT %1, interface, COUNT(*), MIN(first_seen), MAX(last_seen) "
                               "FROM boards GROUP BY %1, interface ORDER BY %1, interface")
                    .arg(station))) {
        *error = describe(QStringLiteral("cannot be read"), q.lastError().databaseText());
        return stats;
    }
    while (q.next()) {
        HistoryStats::Interface i;
        i.station = q.value(0).toString();
        i.name = q.value(1).toString();
        i.boards = q.value(2).toInt();
        i.oldest = timeOf(q.value(3));
        i.newest = timeOf(q.value(4));
        stats.interfaces.append(i);
    }
    const auto count = [&](const QString &sql, int HistoryStats::Interface::*field) {
        QSqlQuery c(engine_->db());
        if (!c.exec(sql)) {
            return;
        }
        while (c.next()) {
            for (HistoryStats::Interface &i : stats.interfaces) {
                if (i.station == c.value(0).toString() && i.name == c.value(1).toString()) {
                    i.*field = c.value(2).toInt();
                }
            }
        }
    };
    count(QStringLiteral("SELECT b.%1, b.interface, COUNT(*) FROM changes c JOIN boards b ON "
                         "b.id = c.board GROUP BY b.%1, b.interface")
              .arg(schema_ >= 4 ? QStringLiteral("station") : QStringLiteral("interface")),
          &HistoryStats::Interface::changes);
    if (schema_ >= 3) {
        count(QStringLiteral("SELECT %1, interface, COUNT(*) FROM resets GROUP BY %1, interface")
                  .arg(station),
              &HistoryStats::Interface::resets);
    }
    return stats;
}

const QStringList &historyEvents() {
    static const QStringList events{QStringLiteral("added"), QStringLiteral("changed"),
                                    QStringLiteral("gone"), QStringLiteral("reset")};
    return events;
}

bool historyBoardMatches(const BoardInfo &board, const QString &wanted) {
    const QByteArray mac = wire::macFromText(wanted);
    if (!mac.isEmpty() && board.mac == mac) {
        return true;
    }
    return !board.hardId.isEmpty() &&
           board.hardId.compare(wanted.trimmed(), Qt::CaseInsensitive) == 0;
}

QList<HistoryChange> foldResets(const QList<HistoryChange> &changes, qint64 openResetMs) {
    struct Span {
        const HistoryChange *reset;
        qint64 from;
        qint64 to;
        bool wentAway = false; // a gone of its board was folded into it
    };
    QList<Span> spans;
    for (const HistoryChange &c : changes) {
        if (c.event == QLatin1String("reset")) {
            spans.append(
                Span{&c, msOf(c.at), c.ended.isValid() ? msOf(c.ended) : msOf(c.at) + openResetMs});
        }
    }
    QList<HistoryChange> kept;
    for (const HistoryChange &c : changes) {
        const bool gone = c.event == QLatin1String("gone");
        const bool added = c.event == QLatin1String("added");
        bool folded = false;
        for (Span &span : spans) {
            if (!(gone || added) || span.reset->interface != c.interface ||
                span.reset->key != c.key) {
                continue;
            }
            const qint64 t = msOf(c.at);
            if (gone && t >= span.from && t <= span.to) {
                span.wentAway = folded = true;
            } else if (added && span.wentAway && t >= span.from && t <= span.to + kResetReturnMs) {
                span.wentAway = false;
                folded = true;
            }
            if (folded) {
                break;
            }
        }
        if (!folded) {
            kept.append(c);
        }
    }
    return kept;
}

int sharedBoardsLastSeen(const QString &path, const QString &station, const QString &interface) {
    // A file only: a server's history is never waited for by info, which only asks it for a hint.
    if (HistoryLocation::parse(path).kind != HistoryLocation::Kind::File ||
        !QFileInfo(path).isFile()) {
        return 0;
    }
    const QString connection = QStringLiteral("l2station-history-probe");
    int count = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=0"));
        if (db.open()) {
            QSqlQuery q(db);
            // A history older than stations has no station column: all of it is this one's.
            for (const QString &which : {QStringLiteral("station = :station AND "), QString()}) {
                q.prepare(QStringLiteral("SELECT COUNT(*) FROM boards WHERE %1interface = "
                                         ":interface AND mac = '' AND present = 1")
                              .arg(which));
                if (!which.isEmpty()) {
                    q.bindValue(QStringLiteral(":station"), station);
                }
                q.bindValue(QStringLiteral(":interface"), interface);
                if (q.exec() && q.next()) {
                    count = q.value(0).toInt();
                    break;
                }
            }
            q.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return count;
}

QDateTime parseSince(const QString &text, const QDateTime &now, bool end) {
    const QString t = text.trimmed();
    static const QRegularExpression back(QStringLiteral("^([0-9]{1,9})([smhd])$"));
    const QRegularExpressionMatch m = back.match(t);
    if (m.hasMatch()) {
        static const QString units = QStringLiteral("smhd");
        static const qint64 seconds[] = {1, 60, 3600, 86400};
        return now.addSecs(-m.captured(1).toLongLong() *
                           seconds[units.indexOf(m.captured(2).at(0))]);
    }
    QDate date;
    if (t.compare(QLatin1String("today"), Qt::CaseInsensitive) == 0) {
        date = now.toLocalTime().date();
    } else if (t.compare(QLatin1String("yesterday"), Qt::CaseInsensitive) == 0) {
        date = now.toLocalTime().date().addDays(-1);
    } else {
        // A date alone (QDate would also take the date of a date and time).
        if (t.size() == 10) {
            date = QDate::fromString(t, Qt::ISODate);
        } else {
            return QDateTime::fromString(t, Qt::ISODate);
        }
    }
    if (!date.isValid()) {
        return QDateTime();
    }
    // A day as an end takes in the whole day: --until yesterday is up to last midnight.
    return end ? date.addDays(1).startOfDay().addMSecs(-1) : date.startOfDay();
}
