// The history in a PostgreSQL database that many stations share. The connection URI is read by
// libpq itself, so its parameters (sslmode, service, host lists…) mean what they mean to psql;
// passwords come from where libpq users keep them (~/.pgpass, PGPASSFILE, a service file), never
// from the URI, which is on a command line or in the environment.
#include "historyengine.h"

#include <QSqlDriver>
#include <QSqlQuery>
#include <QVariant>

#include <libpq-fe.h>

namespace {

// Parameters this station sets unless the URI does: a connection attempt that cannot end (a
// host that drops packets) would stop watch's rounds, and a server that vanishes without a word
// is noticed by TCP keepalives within half a minute instead of hours.
const char *const kDefaults[][2] = {{"connect_timeout", "5"},
                                    {"keepalives_idle", "10"},
                                    {"keepalives_interval", "5"},
                                    {"keepalives_count", "3"},
                                    {"application_name", "l2station"}};

// Every station's migration waits for the one under way: the key is the project's own
// ("l2st" in ASCII), held until that transaction ends.
constexpr qint64 kMigrationLock = 0x6c327374;

// A value as libpq's keyword=value syntax wants it.
QString quoted(const QString &value) {
    QString v = value;
    v.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + v + QLatin1Char('\'');
}

// libpq's messages for a server that is not there (as opposed to one that refuses us).
bool unreachableText(const QString &text) {
    static const char *const refusals[] = {"authentication",    "password",    "does not exist",
                                           "permission denied", "pg_hba.conf", "SSL",
                                           "certificate"};
    for (const char *r : refusals) {
        if (text.contains(QLatin1String(r), Qt::CaseInsensitive)) {
            return false;
        }
    }
    return true;
}

} // namespace

class PostgresEngine : public HistoryEngine {
  public:
    PostgresEngine(const HistoryLocation &location, const QString &connection)
        : HistoryEngine(location, connection) {}

    bool open(Access access, QString *readOnlyReason, QString *error) override;
    bool unreachable() const override {
        return unreachable_;
    }
    bool lost() const override {
        const QVariant v = db().driver() != nullptr ? db().driver()->handle() : QVariant();
        if (!v.isValid() || qstrcmp(v.typeName(), "PGconn*") != 0) {
            return true;
        }
        PGconn *conn = *static_cast<PGconn *const *>(v.constData());
        return conn == nullptr || PQstatus(conn) == CONNECTION_BAD;
    }
    int schemaVersion(QString *error) override {
        QSqlQuery q(db());
        // pg_class itself, not to_regclass: a name looked up without a lock may be answered
        // from a cache that has not yet seen another station's migration commit.
        if (!q.exec(QStringLiteral("SELECT count(*) > 0 FROM pg_catalog.pg_class c JOIN "
                                   "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE "
                                   "c.relname = 'l2station_schema' AND n.nspname = "
                                   "current_schema()")) ||
            !q.next()) {
            *error = q.lastError().databaseText();
            return -1;
        }
        if (!q.value(0).toBool()) {
            return 0;
        }
        if (!q.exec(QStringLiteral("SELECT max(version) FROM l2station_schema")) || !q.next()) {
            *error = q.lastError().databaseText();
            return -1;
        }
        return q.value(0).toInt();
    }
    bool setSchemaVersion(int version, QString *error) override {
        QSqlQuery q(db());
        for (const QString &s :
             {QStringLiteral("CREATE TABLE IF NOT EXISTS l2station_schema (version INTEGER NOT "
                             "NULL)"),
              QStringLiteral("DELETE FROM l2station_schema"),
              QStringLiteral("INSERT INTO l2station_schema VALUES (%1)").arg(version)}) {
            if (!q.exec(s)) {
                *error = q.lastError().databaseText();
                return false;
            }
        }
        return true;
    }
    QStringList tables() override {
        QSqlQuery q(db());
        q.exec(QStringLiteral("SELECT table_name FROM information_schema.tables WHERE "
                              "table_schema = current_schema()"));
        QStringList names;
        while (q.next()) {
            names.append(q.value(0).toString());
        }
        return names;
    }
    bool ownTable(const QString &name) const override {
        return name == QLatin1String("l2station_schema");
    }
    bool beginWrite(bool migration, QSqlError *failure) override {
        QSqlQuery q(db());
        if (!q.exec(QStringLiteral("BEGIN")) ||
            (migration &&
             !q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kMigrationLock)))) {
            *failure = q.lastError();
            QSqlQuery(db()).exec(QStringLiteral("ROLLBACK"));
            return false;
        }
        return true;
    }
    bool busy(const QSqlError &e) const override {
        // A serialisation failure or a deadlock: another station's transaction won.
        const QString state = e.nativeErrorCode();
        return state == QLatin1String("40001") || state == QLatin1String("40P01");
    }
    qint64 bytes() override {
        QSqlQuery q(db());
        if (q.exec(QStringLiteral("SELECT pg_total_relation_size('boards') + "
                                  "pg_total_relation_size('changes') + "
                                  "pg_total_relation_size('sessions') + "
                                  "pg_total_relation_size('resets')")) &&
            q.next()) {
            return q.value(0).toLongLong();
        }
        return 0;
    }
    Spellings spellings() const override {
        return {"BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
                "BIGINT",
                "BYTEA",
                "LEAST",
                "GREATEST",
                "LIMIT ALL"};
    }
    bool server() const override {
        return true;
    }

  private:
    bool unreachable_ = false;
};

bool PostgresEngine::open(Access access, QString *readOnlyReason, QString *error) {
    unreachable_ = false;
    const QString shown = location_.shown();
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *error = QStringLiteral("history: Qt's PostgreSQL driver is missing (Debian: install "
                                "libqt%1sql%1-psql)")
                     .arg(QT_VERSION_MAJOR);
        return false;
    }
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(location_.path.toUtf8().constData(), &message);
    if (options == nullptr) {
        *error = QStringLiteral("history %1: not a connection URI: %2")
                     .arg(shown, message != nullptr ? QString::fromUtf8(message).trimmed()
                                                    : QStringLiteral("out of memory"));
        PQfreemem(message);
        return false;
    }
    QString host, port, dbname, user, rest, refused;
    QStringList given;
    for (PQconninfoOption *o = options; o->keyword != nullptr; ++o) {
        if (o->val == nullptr) {
            continue;
        }
        const QString key = QString::fromUtf8(o->keyword);
        const QString value = QString::fromUtf8(o->val);
        given.append(key);
        if (key == QLatin1String("password")) {
            refused = QStringLiteral("a password in it is refused, as it would be seen on the "
                                     "command line or in the environment; put it in ~/.pgpass "
                                     "(or the file PGPASSFILE names, or a service file)");
        } else if (key == QLatin1String("host")) {
            host = value;
        } else if (key == QLatin1String("port")) {
            port = value;
        } else if (key == QLatin1String("dbname")) {
            dbname = value;
        } else if (key == QLatin1String("user")) {
            user = value;
        } else if (value.contains(QLatin1Char(';'))) {
            // Qt splits its connect options at ';'.
            refused =
                QStringLiteral("the value of %1 holds a ';', which cannot be passed on").arg(key);
        } else {
            rest += key + QLatin1Char('=') + quoted(value) + QLatin1Char(';');
        }
    }
    PQconninfoFree(options);
    if (!refused.isEmpty()) {
        *error = QStringLiteral("history %1: %2").arg(shown, refused);
        return false;
    }
    for (const auto &d : kDefaults) {
        if (!given.contains(QLatin1String(d[0]))) {
            rest += QLatin1String(d[0]) + QLatin1Char('=') + QLatin1String(d[1]) + QLatin1Char(';');
        }
    }
    {
        QSqlDatabase db = QSqlDatabase::contains(connection_)
                              ? QSqlDatabase::database(connection_, false)
                              : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection_);
        db.close();
        db.setHostName(host);
        db.setDatabaseName(dbname);
        db.setUserName(user);
        db.setPort(port.isEmpty() ? -1 : port.toInt());
        db.setConnectOptions(rest);
        if (!db.open()) {
            const QString why = db.lastError().databaseText().trimmed().isEmpty()
                                    ? db.lastError().text().trimmed()
                                    : db.lastError().databaseText().trimmed();
            // A parameter libpq does not take is the URI's fault, and trying again cannot help.
            const bool badUri = why.contains(QLatin1String("invalid"), Qt::CaseInsensitive);
            unreachable_ = !badUri && unreachableText(why);
            *error = QStringLiteral("history %1: %2: %3")
                         .arg(shown,
                              badUri         ? QStringLiteral("the URI cannot be used")
                              : unreachable_ ? QStringLiteral("the server cannot be reached")
                                             : QStringLiteral("the server refuses this station"),
                              QString(why).replace(QLatin1Char('\n'), QLatin1Char(' ')));
            return false;
        }
    }
    QSqlQuery q(db());
    // Times are stored as numbers and text as UTF-8, whatever the server's defaults.
    q.exec(QStringLiteral("SET client_encoding = 'UTF8'"));
    if (access == Access::Read) {
        q.exec(QStringLiteral("SET default_transaction_read_only = on"));
        *readOnlyReason =
            QStringLiteral("history %1: opened to be read; nothing is written to it").arg(shown);
    }
    return true;
}

std::unique_ptr<HistoryEngine> makePostgresEngine(const HistoryLocation &location,
                                                  const QString &connection) {
    return std::make_unique<PostgresEngine>(location, connection);
}
