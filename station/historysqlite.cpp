// The history as an SQLite file of the user's: opened with care (a file that is not a history,
// a damaged one or one reached through a link is never written), read even where the user may
// not write, and written in transactions that wait for another program instead of failing.
#include "historyengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

class SqliteEngine : public HistoryEngine {
  public:
    SqliteEngine(const HistoryLocation &location, const QString &connection, int busyTimeoutMs)
        : HistoryEngine(location, connection), busyTimeoutMs_(busyTimeoutMs) {}

    bool open(Access access, QString *readOnlyReason, QString *error) override;
    bool unreachable() const override {
        return false;
    }
    bool lost() const override {
        return false;
    }
    int schemaVersion(QString *error) override {
        QSqlQuery q(db());
        if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
            *error = q.lastError().databaseText();
            return -1;
        }
        return q.value(0).toInt();
    }
    bool setSchemaVersion(int version, QString *error) override {
        QSqlQuery q(db());
        if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(version))) {
            *error = q.lastError().databaseText();
            return false;
        }
        return true;
    }
    QStringList tables() override {
        QSqlQuery q(db());
        q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"));
        QStringList names;
        while (q.next()) {
            names.append(q.value(0).toString());
        }
        return names;
    }
    bool ownTable(const QString &name) const override {
        return name.startsWith(QLatin1String("sqlite_"));
    }
    bool beginWrite(bool, QSqlError *failure) override {
        // IMMEDIATE: the write lock is taken now, so a second writer waits here (busy
        // time-out) rather than failing at its first write; a migration reads the version
        // under it, so that two programs opening an old file migrate it once.
        QSqlQuery q(db());
        if (q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            return true;
        }
        *failure = q.lastError();
        return false;
    }
    void ready() override {
        // Readers never wait for the writer, and a writer waits for another (busy time-out)
        // rather than failing.
        QSqlQuery q(db());
        q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        q.finish();
        q.exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    }
    bool busy(const QSqlError &e) const override {
        // SQLITE_BUSY (5) and SQLITE_LOCKED (6).
        return primaryCode(e) == 5 || primaryCode(e) == 6 ||
               e.databaseText().contains(QLatin1String("locked"));
    }
    qint64 bytes() override {
        return QFileInfo(location_.path).size() +
               QFileInfo(location_.path + QStringLiteral("-wal")).size();
    }
    Spellings spellings() const override {
        return {"INTEGER PRIMARY KEY", "INTEGER", "BLOB", "min", "max", "LIMIT -1"};
    }
    bool server() const override {
        return false;
    }

  private:
    int busyTimeoutMs_;
};

bool SqliteEngine::open(Access access, QString *readOnlyReason, QString *error) {
    const QString path = location_.path;
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
            *readOnlyReason = QStringLiteral("history %1: not writable for you (%2); it is read, "
                                             "and nothing is written to it")
                                  .arg(path, fileMode(path));
        } else if (!folder.isWritable()) {
            *readOnlyReason = QStringLiteral("history %1: its folder is not writable for you "
                                             "(%2); it is read, and nothing is written to it")
                                  .arg(path, fileMode(info.absolutePath()));
        }
    }
    if (access == Access::Read) {
        *readOnlyReason =
            QStringLiteral("history %1: opened to be read; nothing is written to it").arg(path);
    }
    const bool readOnly = !readOnlyReason->isEmpty();
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
                *error = QStringLiteral("history %1: cannot be opened: %2")
                             .arg(path, db.lastError().text());
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
    return true;
}

std::unique_ptr<HistoryEngine> makeSqliteEngine(const HistoryLocation &location,
                                                const QString &connection, int busyTimeoutMs) {
    return std::make_unique<SqliteEngine>(location, connection, busyTimeoutMs);
}
