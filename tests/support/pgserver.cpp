// Starts and stops the tests' own PostgreSQL server.
#include "pgserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <pwd.h>
#include <unistd.h>

namespace {

// Root hands the folder to the postgres user and runs the server as it.
bool asPostgres() {
    return geteuid() == 0;
}

} // namespace

PgServer::~PgServer() {
    if (running_) {
        QString ignored;
        stopServer(&ignored);
    }
}

QString PgServer::binDir() {
    const QDir lib(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = lib.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &v : versions) {
        const QString bin = lib.filePath(v + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/initdb"))) {
            return bin;
        }
    }
    return QString();
}

bool PgServer::run(const QString &program, const QStringList &args, QString *error) {
    QProcess p;
    QStringList command{binDir() + QLatin1Char('/') + program};
    command += args;
    if (asPostgres()) {
        command =
            QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--")} +
            command;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("runuser"), command);
    } else {
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(command.takeFirst(), command);
    }
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll()).trimmed();
        return false;
    }
    return true;
}

bool PgServer::start(QString *error, const QString &hba) {
    if (binDir().isEmpty()) {
        *error = QStringLiteral("PostgreSQL's server is not installed (Debian: postgresql-15)");
        return false;
    }
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                           QStringLiteral("/l2t%1-pg-XXXXXX").arg(getpid()));
    if (!dir_->isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    if (asPostgres()) {
        const struct passwd *pw = getpwnam("postgres");
        if (pw == nullptr ||
            chown(QFile::encodeName(dir_->path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
            *error = QStringLiteral("no postgres user to run the server as");
            return false;
        }
    }
    if (!run(QStringLiteral("initdb"),
             {QStringLiteral("-D"), dir_->filePath(QStringLiteral("data")), QStringLiteral("-U"),
              QStringLiteral("postgres"), QStringLiteral("--auth=trust"), QStringLiteral("-E"),
              QStringLiteral("UTF8"), QStringLiteral("--no-sync")},
             error)) {
        return false;
    }
    if (!hba.isEmpty()) {
        QFile f(dir_->filePath(QStringLiteral("data/pg_hba.conf")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(hba.toUtf8()) < 0) {
            *error = QStringLiteral("cannot write pg_hba.conf");
            return false;
        }
    }
    return startServer(error);
}

bool PgServer::startServer(QString *error) {
    running_ =
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), dir_->filePath(QStringLiteral("data")), QStringLiteral("-w"),
             QStringLiteral("-l"), dir_->filePath(QStringLiteral("log")), QStringLiteral("-o"),
             QStringLiteral("-c listen_addresses='' -c fsync=off -k %1").arg(dir_->path()),
             QStringLiteral("start")},
            error);
    return running_;
}

bool PgServer::stopServer(QString *error) {
    running_ = false;
    return run(QStringLiteral("pg_ctl"),
               {QStringLiteral("-D"), dir_->filePath(QStringLiteral("data")), QStringLiteral("-w"),
                QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("stop")},
               error);
}

bool PgServer::sql(const QStringList &statements, QString *error, const QString &database) {
    const QString name = QStringLiteral("pgserver-admin");
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(dir_->path());
        db.setDatabaseName(database);
        db.setUserName(QStringLiteral("postgres"));
        ok = db.open();
        if (!ok) {
            *error = db.lastError().text();
        }
        QSqlQuery q(db);
        for (const QString &s : statements) {
            if (ok && !q.exec(s)) {
                *error = s + QStringLiteral(": ") + q.lastError().text();
                ok = false;
            }
        }
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

bool PgServer::createDatabase(const QString &name, QString *error) {
    return sql({QStringLiteral("DROP DATABASE IF EXISTS %1").arg(name),
                QStringLiteral("CREATE DATABASE %1").arg(name)},
               error);
}

QString PgServer::socketDir() const {
    return dir_ ? dir_->path() : QString();
}

QString PgServer::url(const QString &database, const QString &user) const {
    return QStringLiteral("postgresql:///%1?host=%2&user=%3").arg(database, socketDir(), user);
}
