// The history file: opened with care (a file that is not ours is never written), its schema
// brought up to date in one transaction, and rounds written in short transactions that wait for
// another instance instead of failing.
#include "history.h"
#include "stablesort.h"

#include "wire.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <limits>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each step takes the file from the version before it to its own; a file is never rebuilt.
const QList<QStringList> &migrations() {
    static const QList<QStringList> steps{
        // 1: the boards of each interface, and their changes.
        {QStringLiteral("CREATE TABLE boards (id INTEGER PRIMARY KEY, interface TEXT NOT NULL, "
                        "key TEXT NOT NULL, mac TEXT NOT NULL, device TEXT NOT NULL, "
                        "version TEXT NOT NULL, product TEXT NOT NULL, hard_id TEXT NOT NULL, "
                        "ipv4 TEXT NOT NULL, reply BLOB NOT NULL, count INTEGER NOT NULL, "
                        "first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, "
                        "UNIQUE (interface, key))"),
         QStringLiteral("CREATE TABLE changes (id INTEGER PRIMARY KEY, "
                        "board INTEGER NOT NULL REFERENCES boards (id), at INTEGER NOT NULL, "
                        "event TEXT NOT NULL, fields TEXT NOT NULL, was TEXT, now TEXT)")},
        // 2: sessions (which program watched which interface when), each change's session,
        // and whether a board was there at the last look.
        {QStringLiteral("CREATE TABLE sessions (id INTEGER PRIMARY KEY, program TEXT NOT NULL, "
                        "interface TEXT NOT NULL, started INTEGER NOT NULL, ended INTEGER)"),
         QStringLiteral("ALTER TABLE changes ADD COLUMN session INTEGER REFERENCES sessions (id)"),
         QStringLiteral("ALTER TABLE boards ADD COLUMN present INTEGER NOT NULL DEFAULT 1"),
         QStringLiteral("CREATE INDEX changes_at ON changes (at)"),
         QStringLiteral("CREATE INDEX boards_last_seen ON boards (last_seen)")},
        // 3: who ran each session where, and the resets sent, with what came of each.
        {QStringLiteral("ALTER TABLE sessions ADD COLUMN user TEXT"),
         QStringLiteral("ALTER TABLE sessions ADD COLUMN host TEXT"),
         QStringLiteral("CREATE TABLE resets (id INTEGER PRIMARY KEY, "
                        "session INTEGER REFERENCES sessions (id), interface TEXT NOT NULL, "
                        "key TEXT NOT NULL, at INTEGER NOT NULL, ended INTEGER, "
                        "board TEXT NOT NULL, outcome TEXT NOT NULL)"),
         QStringLiteral("CREATE INDEX resets_at ON resets (at)"),
         // For the pruning and for one board's changes.
         QStringLiteral("CREATE INDEX changes_board ON changes (board)"),
         QStringLiteral("CREATE INDEX boards_interface_seen ON boards (interface, last_seen)")},
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

// SQLite's primary result code: Qt 6 reports the extended one (SQLITE_READONLY_ROLLBACK is
// SQLITE_READONLY with more in its upper bits), Qt 5 the primary one.
int primaryCode(const QSqlError &e) {
    return e.nativeErrorCode().toInt() & 0xFF;
}

// SQLite's answers that mean "not for you", which say nothing of the file's state: SQLITE_PERM,
// SQLITE_READONLY, SQLITE_CANTOPEN and SQLITE_AUTH.
bool refused(const QSqlError &e) {
    const int code = primaryCode(e);
    return code == 3 || code == 8 || code == 14 || code == 23;
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

QString fileMode(const QString &path) {
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) {
        return QString();
    }
    const struct passwd *pw = getpwuid(st.st_uid);
    return QStringLiteral("owner %1, mode %2")
        .arg(pw != nullptr ? QString::fromLocal8Bit(pw->pw_name) : QString::number(st.st_uid))
        .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
}

bool busy(const QSqlError &e) {
    // SQLITE_BUSY (5) and SQLITE_LOCKED (6).
    return primaryCode(e) == 5 || primaryCode(e) == 6 ||
           e.databaseText().contains(QLatin1String("locked"));
}

} // namespace

HistoryStore::HistoryStore(int busyTimeoutMs)
    : busyTimeoutMs_(busyTimeoutMs),
      connection_(QStringLiteral("l2station-history-%1").arg(quintptr(this), 0, 16)) {}

HistoryStore::~HistoryStore() {
    endSession();
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
}

QString HistoryStore::defaultPath() {
    // Not the application's own directory: the tool and the window share one history.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/l2station/history.sqlite");
}

bool HistoryStore::isOpen() const {
    return QSqlDatabase::contains(connection_) &&
           QSqlDatabase::database(connection_, false).isOpen();
}

QString HistoryStore::describe(const QString &what, const QString &sqlError) const {
    return QStringLiteral("history %1: %2: %3").arg(path_, what, sqlError);
}

namespace {

// A symbolic link where the history or its folder should be: refused, never followed (another
// program's file behind it would become a database, or be made where the link points).
QString symlinkIn(const QString &path) {
    const QString folder = QFileInfo(path).absolutePath();
    for (const QString &p : {folder, path, path + QStringLiteral("-wal"),
                             path + QStringLiteral("-shm"), path + QStringLiteral("-journal")}) {
        struct stat st {};
        if (lstat(QFile::encodeName(p).constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            return p;
        }
    }
    return QString();
}

// A new history is its owner's alone, whatever the umask: it lists the plant's boards. The
// folder is made 0700 when this makes it, the file 0600, and never through a link.
bool createPrivately(const QString &path, QString *error) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(folder)) {
        const QString parent = QFileInfo(folder).absolutePath();
        if (!QDir().mkpath(parent) ||
            (mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)) {
            *error = QStringLiteral("history %1: cannot make its folder %2: not writable for you")
                         .arg(path, folder);
            return false;
        }
        chmod(QFile::encodeName(folder).constData(), 0700);
    }
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) {
            return true; // made by another l2station meanwhile: it is opened as it is
        }
        *error = QStringLiteral("history %1: cannot be made: %2")
                     .arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    fchmod(fd, 0600);
    ::close(fd);
    return true;
}

} // namespace

bool HistoryStore::open(const QString &path, QString *error, Access access) {
    path_ = path;
    readOnlyReason_.clear();
    schema_ = 0;
    const QString link = symlinkIn(path);
    if (!link.isEmpty()) {
        *error = QStringLiteral("history %1: %2 is a symbolic link; a history is never opened "
                                "through one (make it a plain file or folder, or move it away)")
                     .arg(path, link);
        return false;
    }
    const QFileInfo info(path);
    if (info.exists()) {
        QFile file(path);
        if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("history %1: cannot be read%2")
                         .arg(path, info.isFile() ? QStringLiteral(": ") + file.errorString() +
                                                        QStringLiteral(" (") + fileMode(path) +
                                                        QLatin1Char(')')
                                                  : QStringLiteral(": not a file"));
            return false;
        }
        // Checked before SQLite sees it: whatever else is there is somebody's data.
        const QByteArray head = file.read(16);
        if (!head.isEmpty() && head != QByteArray("SQLite format 3\0", 16)) {
            *error = QStringLiteral("history %1: not an SQLite database; it is left as it is "
                                    "(move it away, and a new history is started there)")
                         .arg(path);
            return false;
        }
    } else if (access == Access::Read) {
        *error = QStringLiteral("history %1: there is none yet").arg(path);
        return false;
    } else if (!createPrivately(path, error)) {
        return false;
    }
    if (access == Access::Write && info.exists()) {
        // SQLite writes beside the file too (its journal): both must be writable.
        const QFileInfo folder(info.absolutePath());
        if (!info.isWritable()) {
            readOnlyReason_ = QStringLiteral("history %1: not writable for you (%2); it is read, "
                                             "and nothing is written to it")
                                  .arg(path, fileMode(path));
        } else if (!folder.isWritable()) {
            readOnlyReason_ = QStringLiteral("history %1: its folder is not writable for you "
                                             "(%2); it is read, and nothing is written to it")
                                  .arg(path, fileMode(info.absolutePath()));
        }
    }
    if (access == Access::Read) {
        readOnlyReason_ =
            QStringLiteral("history %1: opened to be read; nothing is written to it").arg(path);
    }
    const bool readOnly = !readOnlyReason_.isEmpty();
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        *error = QStringLiteral("history: Qt's SQLite driver is missing (Debian: install "
                                "libqt5sql5-sqlite)");
        return false;
    }
    // Read only, a file in WAL mode needs its shared-memory file beside it, which a reader may
    // not be allowed to make. With no write-ahead log pending, the file alone is the whole
    // history, and SQLite is told it will not change.
    const bool logPending = QFileInfo(path + QStringLiteral("-wal")).size() > 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool immutable = attempt == 1;
        {
            QSqlDatabase db =
                QSqlDatabase::contains(connection_)
                    ? QSqlDatabase::database(connection_, false)
                    : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
            db.close();
            QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs_);
            if (readOnly) {
                options += QStringLiteral(";QSQLITE_OPEN_READONLY");
            }
            if (immutable) {
                options += QStringLiteral(";QSQLITE_OPEN_URI");
                db.setDatabaseName(
                    QUrl::fromLocalFile(info.absoluteFilePath()).toString(QUrl::FullyEncoded) +
                    QStringLiteral("?immutable=1"));
            } else {
                db.setDatabaseName(path);
            }
            db.setConnectOptions(options);
            if (!db.open()) {
                *error = describe(QStringLiteral("cannot be opened"), db.lastError().text());
                return false;
            }
        }
        QSqlDatabase db = QSqlDatabase::database(connection_);
        QSqlQuery q(db);
        // A damaged file is reported, never repaired or replaced: it may still hold what the
        // technician needs.
        if (q.exec(QStringLiteral("PRAGMA quick_check")) && q.next() &&
            q.value(0).toString() == QLatin1String("ok")) {
            break;
        }
        const QSqlError failure = q.lastError();
        const QString why = failure.isValid() ? failure.databaseText() : q.value(0).toString();
        q.finish();
        db.close();
        if (failure.isValid() && refused(failure)) {
            if (readOnly && !immutable && !logPending) {
                continue;
            }
            *error = QStringLiteral("history %1: cannot be read by you (%2; %3); it is left as "
                                    "it is")
                         .arg(path, why, fileMode(path));
            return false;
        }
        *error = QStringLiteral("history %1: the file is damaged (%2); it is left as it is "
                                "(move it away, and a new history is started there)")
                     .arg(path, why);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(connection_);
    QSqlQuery q(db);
    if (readOnly) {
        q.exec(QStringLiteral("PRAGMA user_version"));
        schema_ = q.next() ? q.value(0).toInt() : 0;
        q.finish();
        if (schema_ > kSchemaVersion) {
            db.close();
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
        db.close();
        return false;
    }
    schema_ = kSchemaVersion;
    // Readers never wait for the writer, and a writer waits for another (busy time-out)
    // rather than failing.
    q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    q.finish();
    q.exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    return true;
}

bool HistoryStore::migrate(QString *error) {
    QSqlDatabase db = QSqlDatabase::database(connection_);
    QSqlQuery q(db);
    // A file already at this schema needs no write: opening it never waits for a writer.
    if (q.exec(QStringLiteral("PRAGMA user_version")) && q.next() &&
        q.value(0).toInt() == kSchemaVersion) {
        q.finish();
        return true;
    }
    q.finish();
    // Taken before the version is read: two instances opening an old file at once migrate it
    // once.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = busy(q.lastError())
                     ? describe(QStringLiteral("another l2station holds it"),
                                q.lastError().databaseText())
                     : describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return false;
    }
    const auto abandon = [&](const QString &message) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        *error = message;
        return false;
    };
    q.exec(QStringLiteral("PRAGMA user_version"));
    const int version = q.next() ? q.value(0).toInt() : -1;
    q.finish();
    if (version > kSchemaVersion) {
        return abandon(QStringLiteral("history %1: written by a newer l2station (schema %2; this "
                                      "one knows %3); it is left as it is")
                           .arg(path_)
                           .arg(version)
                           .arg(kSchemaVersion));
    }
    q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"));
    QStringList tables;
    while (q.next()) {
        tables.append(q.value(0).toString());
    }
    q.finish();
    for (const QString &table : tables) {
        if (!kOurTables.contains(table) && !table.startsWith(QLatin1String("sqlite_"))) {
            return abandon(QStringLiteral("history %1: holds other tables (%2): not an "
                                          "l2station history; it is left as it is")
                               .arg(path_, table));
        }
    }
    if (version == 0 && !tables.isEmpty()) {
        return abandon(QStringLiteral("history %1: has tables but no schema version: not an "
                                      "l2station history; it is left as it is")
                           .arg(path_));
    }
    for (int step = version; step < kSchemaVersion; ++step) {
        for (const QString &statement : migrations().at(step)) {
            if (!q.exec(statement)) {
                return abandon(
                    describe(QStringLiteral("cannot bring it to schema %1").arg(step + 1),
                             q.lastError().databaseText()));
            }
        }
    }
    if (version != kSchemaVersion &&
        !q.exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion))) {
        return abandon(describe(QStringLiteral("cannot be written"), q.lastError().databaseText()));
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
    QSqlQuery q(QSqlDatabase::database(connection_));
    q.prepare(QStringLiteral("INSERT INTO sessions (program, interface, started, user, host) "
                             "VALUES (:program, :interface, :at, :user, :host)"));
    q.bindValue(QStringLiteral(":program"), program_);
    q.bindValue(QStringLiteral(":interface"), interface_);
    q.bindValue(QStringLiteral(":at"), msOf(QDateTime::currentDateTimeUtc()));
    q.bindValue(QStringLiteral(":user"), userName());
    q.bindValue(QStringLiteral(":host"), QSysInfo::machineHostName());
    if (!q.exec()) {
        busy_ = busy(q.lastError());
        *error = describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return false;
    }
    session_ = q.lastInsertId().toLongLong();
    sessionPending_ = false;
    return true;
}

qint64 HistoryStore::recordReset(const BoardInfo &board, const QDateTime &at,
                                 const QString &outcome, QString *error) {
    if (writable() && sessionPending_ && !writeSession(error)) {
        return -1;
    }
    if (!writable() || session_ < 0) {
        *error = writable() ? QStringLiteral("history %1: no session").arg(path_) : readOnlyReason_;
        return -1;
    }
    QSqlQuery q(QSqlDatabase::database(connection_));
    q.prepare(QStringLiteral("INSERT INTO resets (session, interface, key, at, board, outcome) "
                             "VALUES (:session, :interface, :key, :at, :board, :outcome)"));
    q.bindValue(QStringLiteral(":session"), session_);
    q.bindValue(QStringLiteral(":interface"), interface_);
    q.bindValue(QStringLiteral(":key"), boardKey(board));
    q.bindValue(QStringLiteral(":at"), msOf(at));
    q.bindValue(QStringLiteral(":board"), json(board));
    q.bindValue(QStringLiteral(":outcome"), text(outcome));
    if (!q.exec()) {
        *error = describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return -1;
    }
    return q.lastInsertId().toLongLong();
}

bool HistoryStore::finishReset(qint64 id, const QString &outcome, const QDateTime &at,
                               QString *error) {
    if (!writable()) {
        *error = readOnlyReason_;
        return false;
    }
    QSqlQuery q(QSqlDatabase::database(connection_));
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
    if (session_ < 0 || !isOpen() || !writable()) {
        return;
    }
    QString ignored;
    // Whatever waited for a busy file gets one more chance.
    if (!pending_.isEmpty()) {
        record({}, {}, QDateTime(), &ignored);
    }
    QSqlQuery q(QSqlDatabase::database(connection_));
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
        pending_.append(PendingRound{answered, events, at});
    }
    if (pending_.size() > kMaxPendingRounds) {
        dropped_ += pending_.size() - kMaxPendingRounds;
        pending_.erase(pending_.begin(), pending_.end() - kMaxPendingRounds);
    }
    while (!pending_.isEmpty()) {
        if (!writeRound(pending_.first(), error)) {
            *error += QStringLiteral("; %1 round%2 kept to be written with the next")
                          .arg(pending_.size())
                          .arg(pending_.size() == 1 ? QString() : QStringLiteral("s"));
            if (dropped_ > 0) {
                *error += QStringLiteral(", %1 older ones dropped").arg(dropped_);
            }
            return false;
        }
        pending_.removeFirst();
        if (++roundsSincePrune_ >= kPruneRounds) {
            QString ignored;
            prune(HistoryRetention::fromEnvironment(), &ignored);
        }
    }
    dropped_ = 0;
    return true;
}

bool HistoryStore::writeRound(const PendingRound &round, QString *error) {
    QSqlDatabase db = QSqlDatabase::database(connection_);
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = busy(q.lastError())
                     ? QStringLiteral("history %1: busy: another l2station has been writing it "
                                      "for %2 ms")
                           .arg(path_)
                           .arg(busyTimeoutMs_)
                     : describe(QStringLiteral("cannot be written"), q.lastError().databaseText());
        return false;
    }
    // A session put off while the file was busy goes in with this round, or not at all.
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
    const qint64 now = msOf(round.at);
    // A board at the shared address whose reply changed has a new key: its row follows it, so
    // that its first sighting stays.
    for (const WatchEvent &e : round.events) {
        if (e.kind == WatchEvent::Changed && boardKey(e.before) != boardKey(e.board)) {
            q.prepare(QStringLiteral("UPDATE OR IGNORE boards SET key = :new "
                                     "WHERE interface = :interface AND key = :old"));
            q.bindValue(QStringLiteral(":new"), boardKey(e.board));
            q.bindValue(QStringLiteral(":interface"), interface_);
            q.bindValue(QStringLiteral(":old"), boardKey(e.before));
            if (!q.exec()) {
                return fail(q);
            }
        }
    }
    q.prepare(QStringLiteral(
        "INSERT INTO boards (interface, key, mac, device, version, product, hard_id, ipv4, reply, "
        "count, first_seen, last_seen, present) VALUES (:interface, :key, :mac, :device, "
        ":version, :product, :hard_id, :ipv4, :reply, :count, :at, :at, 1) "
        "ON CONFLICT (interface, key) DO UPDATE SET mac = excluded.mac, device = excluded.device, "
        "version = excluded.version, product = excluded.product, hard_id = excluded.hard_id, "
        "ipv4 = excluded.ipv4, reply = excluded.reply, count = excluded.count, "
        "first_seen = min(first_seen, excluded.first_seen), "
        "last_seen = max(last_seen, excluded.last_seen), present = 1"));
    for (const BoardInfo &b : round.answered) {
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
            q.prepare(QStringLiteral(
                "UPDATE boards SET present = 0 WHERE interface = :interface AND key = :key"));
            q.bindValue(QStringLiteral(":interface"), interface_);
            q.bindValue(QStringLiteral(":key"), key);
            if (!q.exec()) {
                return fail(q);
            }
        }
        q.prepare(
            QStringLiteral("INSERT INTO changes (board, at, event, fields, was, now, session) "
                           "SELECT id, :at, :event, :fields, :was, :now, :session FROM boards "
                           "WHERE interface = :interface AND key = :key"));
        q.bindValue(QStringLiteral(":at"), now);
        q.bindValue(QStringLiteral(":event"), QLatin1String(kEvents[e.kind]));
        q.bindValue(QStringLiteral(":fields"),
                    text(e.kind == WatchEvent::Changed
                             ? changedFields(e.before, e.board).join(QLatin1Char(','))
                             : QString()));
        q.bindValue(QStringLiteral(":was"),
                    e.kind == WatchEvent::Changed ? QVariant(json(e.before)) : QVariant());
        q.bindValue(QStringLiteral(":now"), json(e.board));
        q.bindValue(QStringLiteral(":session"), session_ < 0 ? QVariant() : QVariant(session_));
        q.bindValue(QStringLiteral(":interface"), interface_);
        q.bindValue(QStringLiteral(":key"), key);
        if (!q.exec()) {
            return fail(q);
        }
    }
    if (!q.exec(QStringLiteral("COMMIT"))) {
        return fail(q);
    }
    return true;
}

QList<HistoryBoard> HistoryStore::boards(const HistoryQuery &query, QString *error) const {
    QList<HistoryBoard> list;
    QSqlQuery q(QSqlDatabase::database(connection_));
    q.prepare(QStringLiteral(
        "SELECT interface, mac, device, version, product, hard_id, ipv4, reply, count, "
        "first_seen, last_seen, present FROM boards WHERE (:interface = '' OR interface = "
        ":interface) AND last_seen >= :since AND first_seen <= :until"));
    q.bindValue(QStringLiteral(":interface"),
                query.interface.isNull() ? QStringLiteral("") : query.interface);
    q.bindValue(QStringLiteral(":since"), query.since.isValid() ? msOf(query.since) : 0);
    q.bindValue(QStringLiteral(":until"),
                query.until.isValid() ? msOf(query.until) : std::numeric_limits<qint64>::max());
    if (!q.exec()) {
        *error = describe(QStringLiteral("cannot be read"), q.lastError().databaseText());
        return list;
    }
    while (q.next()) {
        HistoryBoard h;
        h.interface = q.value(0).toString();
        h.board.mac = wire::macFromText(q.value(1).toString());
        h.board.device = q.value(2).toString();
        h.board.version = q.value(3).toString();
        h.board.product = q.value(4).toString();
        h.board.hardId = q.value(5).toString();
        h.board.ipAddresses = q.value(6).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        h.board.reply = q.value(7).toByteArray();
        h.board.count = q.value(8).toInt();
        h.firstSeen = timeOf(q.value(9));
        h.lastSeen = timeOf(q.value(10));
        h.present = q.value(11).toBool();
        if (query.board.isEmpty() || historyBoardMatches(h.board, query.board)) {
            list.append(h);
        }
    }
    // As info lists them, interface by interface.
    stableSort(&list, [](const HistoryBoard &a, const HistoryBoard &b) {
        return a.interface != b.interface ? a.interface < b.interface : boardLess(a.board, b.board);
    });
    return list;
}

QList<HistoryChange> HistoryStore::changes(const HistoryQuery &query, QString *error) const {
    QList<HistoryChange> list;
    QSqlDatabase db = QSqlDatabase::database(connection_);
    // From a reset's length before `since`: the gone and added of a reset that began before
    // it still fold into it.
    const qint64 since = query.since.isValid() ? msOf(query.since) : 0;
    const qint64 from = std::max<qint64>(0, since - kDefaultResetWaitMs - kResetReturnMs);
    const qint64 until =
        query.until.isValid() ? msOf(query.until) : std::numeric_limits<qint64>::max();
    const QString interface = query.interface.isNull() ? QStringLiteral("") : query.interface;
    const bool withResets = schema_ >= 3;
    QSqlQuery q(db);
    q.prepare(
        QStringLiteral("SELECT b.interface, c.at, c.event, c.fields, c.was, c.now, s.program, "
                       "%1, b.key FROM changes c JOIN boards b ON b.id = c.board "
                       "LEFT JOIN sessions s ON s.id = c.session "
                       "WHERE (:interface = '' OR b.interface = :interface) "
                       "AND c.at >= :since AND c.at <= :until ORDER BY c.at, c.id")
            .arg(withResets ? QStringLiteral("s.user, s.host") : QStringLiteral("NULL, NULL")));
    q.bindValue(QStringLiteral(":interface"), interface);
    q.bindValue(QStringLiteral(":since"), from);
    q.bindValue(QStringLiteral(":until"), until);
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
        list.append(c);
    }
    if (withResets) {
        q.prepare(QStringLiteral("SELECT r.interface, r.at, r.board, s.program, s.user, s.host, "
                                 "r.key, r.outcome, r.ended FROM resets r "
                                 "LEFT JOIN sessions s ON s.id = r.session "
                                 "WHERE (:interface = '' OR r.interface = :interface) "
                                 "AND r.at >= :since AND r.at <= :until ORDER BY r.at, r.id"));
        q.bindValue(QStringLiteral(":interface"), interface);
        q.bindValue(QStringLiteral(":since"), from);
        q.bindValue(QStringLiteral(":until"), until);
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
            list.append(c);
        }
        stableSort(&list,
                   [](const HistoryChange &a, const HistoryChange &b) { return a.at < b.at; });
    }
    QList<HistoryChange> shown;
    for (const HistoryChange &c : foldResets(list, kDefaultResetWaitMs)) {
        if (msOf(c.at) >= since && (query.events.isEmpty() || query.events.contains(c.event)) &&
            (query.board.isEmpty() || historyBoardMatches(c.board, query.board) ||
             (c.event == QLatin1String("changed") && historyBoardMatches(c.was, query.board)))) {
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

bool HistoryStore::prune(const HistoryRetention &keep, QString *error) {
    roundsSincePrune_ = 0;
    if (!writable()) {
        *error = readOnlyReason_;
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(connection_);
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = describe(QStringLiteral("not pruned now"), q.lastError().databaseText());
        return false;
    }
    const qint64 cutoff = msOf(QDateTime::currentDateTimeUtc().addDays(-keep.days));
    QStringList interfaces;
    q.exec(QStringLiteral("SELECT DISTINCT interface FROM boards"));
    while (q.next()) {
        interfaces.append(q.value(0).toString());
    }
    q.finish();
    QStringList statements{
        QStringLiteral("DELETE FROM changes WHERE at < %1").arg(cutoff),
        QStringLiteral("DELETE FROM resets WHERE at < %1").arg(cutoff),
        QStringLiteral("DELETE FROM changes WHERE board IN (SELECT id FROM boards WHERE "
                       "last_seen < %1)")
            .arg(cutoff),
        QStringLiteral("DELETE FROM boards WHERE last_seen < %1").arg(cutoff)};
    // Per interface, the newest only: a flood of made-up boards on one line does not push
    // another line's history out.
    for (int i = 0; i < interfaces.size(); ++i) {
        const QString boardsBeyond =
            QStringLiteral("SELECT id FROM boards WHERE interface = :i%1 ORDER BY last_seen DESC "
                           "LIMIT -1 OFFSET %2")
                .arg(i)
                .arg(keep.boards);
        statements << QStringLiteral("DELETE FROM changes WHERE board IN (%1)").arg(boardsBeyond)
                   << QStringLiteral("DELETE FROM boards WHERE id IN (%1)").arg(boardsBeyond)
                   << QStringLiteral("DELETE FROM changes WHERE id IN (SELECT c.id FROM changes c "
                                     "JOIN boards b ON b.id = c.board WHERE b.interface = :i%1 "
                                     "ORDER BY c.at DESC LIMIT -1 OFFSET %2)")
                          .arg(i)
                          .arg(keep.changes)
                   << QStringLiteral("DELETE FROM resets WHERE id IN (SELECT id FROM resets WHERE "
                                     "interface = :i%1 ORDER BY at DESC LIMIT -1 OFFSET %2)")
                          .arg(i)
                          .arg(keep.changes);
    }
    statements << QStringLiteral("DELETE FROM sessions WHERE started < %1 AND ended IS NOT NULL "
                                 "AND id NOT IN (SELECT session FROM changes WHERE session IS NOT "
                                 "NULL) AND id NOT IN (SELECT session FROM resets WHERE session "
                                 "IS NOT NULL)")
                      .arg(cutoff);
    for (const QString &statement : statements) {
        q.prepare(statement);
        for (int i = 0; i < interfaces.size(); ++i) {
            if (statement.contains(QStringLiteral(":i%1 ").arg(i))) {
                q.bindValue(QStringLiteral(":i%1").arg(i), interfaces.at(i));
            }
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
    stats.bytes = QFileInfo(path_).size() + QFileInfo(path_ + QStringLiteral("-wal")).size();
    stats.retention = HistoryRetention::fromEnvironment();
    QSqlQuery q(QSqlDatabase::database(connection_));
    if (!q.exec(QStringLiteral("SELECT interface, COUNT(*), MIN(first_seen), MAX(last_seen) "
                               "FROM boards GROUP BY interface ORDER BY interface"))) {
        *error = describe(QStringLiteral("cannot be read"), q.lastError().databaseText());
        return stats;
    }
    while (q.next()) {
        HistoryStats::Interface i;
        i.name = q.value(0).toString();
        i.boards = q.value(1).toInt();
        i.oldest = timeOf(q.value(2));
        i.newest = timeOf(q.value(3));
        stats.interfaces.append(i);
    }
    const auto count = [&](const QString &sql, int HistoryStats::Interface::*field) {
        QSqlQuery c(QSqlDatabase::database(connection_));
        if (!c.exec(sql)) {
            return;
        }
        while (c.next()) {
            for (HistoryStats::Interface &i : stats.interfaces) {
                if (i.name == c.value(0).toString()) {
                    i.*field = c.value(1).toInt();
                }
            }
        }
    };
    count(QStringLiteral("SELECT b.interface, COUNT(*) FROM changes c JOIN boards b ON b.id = "
                         "c.board GROUP BY b.interface"),
          &HistoryStats::Interface::changes);
    if (schema_ >= 3) {
        count(QStringLiteral("SELECT interface, COUNT(*) FROM resets GROUP BY interface"),
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

int sharedBoardsLastSeen(const QString &path, const QString &interface) {
    if (!QFileInfo(path).isFile()) {
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
            q.prepare(QStringLiteral("SELECT COUNT(*) FROM boards WHERE interface = :interface "
                                     "AND mac = '' AND present = 1"));
            q.bindValue(QStringLiteral(":interface"), interface);
            if (q.exec() && q.next()) {
                count = q.value(0).toInt();
            }
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
