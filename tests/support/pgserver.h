// A PostgreSQL server of the test's own: initdb in a temporary folder, reached through a Unix
// socket there only (no TCP), stopped and removed at the end. Debian's server refuses to run as
// root, so a root test runs it as the postgres user.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class PgServer {
  public:
    ~PgServer();
    // Makes and starts the server. `hba` replaces pg_hba.conf (trust for local connections
    // when empty).
    bool start(QString *error, const QString &hba = QString());
    // Stops and starts the same server (its data kept), as an outage does.
    bool stopServer(QString *error);
    bool startServer(QString *error);
    // Runs statements as the superuser in `database`.
    bool sql(const QStringList &statements, QString *error,
             const QString &database = QStringLiteral("postgres"));
    // A new empty database, and the URI of a database on this server.
    bool createDatabase(const QString &name, QString *error);
    QString url(const QString &database, const QString &user = QStringLiteral("postgres")) const;
    QString socketDir() const;
    // Where initdb and the server are: empty when they are not installed.
    static QString binDir();

  private:
    bool run(const QString &program, const QStringList &args, QString *error);
    std::unique_ptr<QTemporaryDir> dir_;
    bool running_ = false;
};
