// What --history names, and the engine that keeps a history there.
#include "historyengine.h"

#include <QRegularExpression>
#include <QStandardPaths>

std::unique_ptr<HistoryEngine> makeSqliteEngine(const HistoryLocation &location,
                                                const QString &connection, int busyTimeoutMs);
std::unique_ptr<HistoryEngine> makePostgresEngine(const HistoryLocation &location,
                                                  const QString &connection);

HistoryLocation HistoryLocation::parse(const QString &text) {
    HistoryLocation location;
    location.path = text;
    static const QRegularExpression server(QStringLiteral("^postgres(ql)?://"),
                                           QRegularExpression::CaseInsensitiveOption);
    location.kind = server.match(text).hasMatch() ? Kind::Server : Kind::File;
    return location;
}

QString HistoryLocation::shown() const {
    if (kind == Kind::File) {
        return path;
    }
    static const QRegularExpression inUser(
        QStringLiteral("^(postgres(?:ql)?://[^/?#@:]*):[^/?#@]*@"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression inQuery(QStringLiteral("([?&]password=)[^&#]*"),
                                            QRegularExpression::CaseInsensitiveOption);
    QString s = path;
    s.replace(inUser, QStringLiteral("\\1:***@"));
    s.replace(inQuery, QStringLiteral("\\1***"));
    return s;
}

QString HistoryLocation::defaultText() {
    const QString named = qEnvironmentVariable("L2STATION_HISTORY");
    if (!named.isEmpty()) {
        return named;
    }
    // Not the application's own directory: the tool and the window share one history.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/l2station/history.sqlite");
}

#ifndef L2_POSTGRESQL
namespace {

// A build without libpq (-DL2_POSTGRESQL=OFF, as the arm64 cross-build, whose Debian libpq-dev
// cannot sit beside the host's) says so when a server is named.
class NoServerEngine : public HistoryEngine {
  public:
    NoServerEngine(const HistoryLocation &location, const QString &connection)
        : HistoryEngine(location, connection) {}
    bool open(Access, QString *, QString *error) override {
        *error = QStringLiteral("history %1: this l2station was built without PostgreSQL "
                                "support (-DL2_POSTGRESQL=OFF)")
                     .arg(shown());
        return false;
    }
    bool unreachable() const override {
        return false;
    }
    bool lost() const override {
        return true;
    }
    int schemaVersion(QString *) override {
        return -1;
    }
    bool setSchemaVersion(int, QString *) override {
        return false;
    }
    QStringList tables() override {
        return {};
    }
    bool ownTable(const QString &) const override {
        return false;
    }
    bool beginWrite(bool, QSqlError *) override {
        return false;
    }
    bool busy(const QSqlError &) const override {
        return false;
    }
    qint64 bytes() override {
        return 0;
    }
    Spellings spellings() const override {
        return {"", "", "", "", "", ""}; // nothing is ever written
    }
    bool server() const override {
        return true;
    }
};

} // namespace

std::unique_ptr<HistoryEngine> makePostgresEngine(const HistoryLocation &location,
                                                  const QString &connection) {
    return std::make_unique<NoServerEngine>(location, connection);
}
#endif

std::unique_ptr<HistoryEngine> HistoryEngine::make(const HistoryLocation &location,
                                                   const QString &connection, int busyTimeoutMs) {
    if (location.kind == HistoryLocation::Kind::Server) {
        return makePostgresEngine(location, connection);
    }
    return makeSqliteEngine(location, connection, busyTimeoutMs);
}

QString HistoryEngine::sql(QString statement) const {
    const Spellings words = spellings();
    return statement.replace(QLatin1String("{id}"), QLatin1String(words.id))
        .replace(QLatin1String("{int}"), QLatin1String(words.integer))
        .replace(QLatin1String("{blob}"), QLatin1String(words.blob))
        .replace(QLatin1String("{least}"), QLatin1String(words.least))
        .replace(QLatin1String("{greatest}"), QLatin1String(words.greatest))
        .replace(QLatin1String("{all}"), QLatin1String(words.all));
}

QSqlDatabase HistoryEngine::db() const {
    return QSqlDatabase::database(connection_, false);
}

void HistoryEngine::close() {
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
    }
}
