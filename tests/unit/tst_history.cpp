// The history on both engines: rounds recorded and read back, stations apart, two writers and
// their migration at once, pruning, resets. On a file: an older schema brought up to date, files
// that are not a history refused and left untouched, a busy file. On a server (L2_TEST_HISTORY=
// postgresql, a server of the test's own): an outage under a writer, and credentials.
#include "history.h"

#include "pgserver.h"
#include "stationboards.h"
#include "wire.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <future>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

BoardInfo board(int n, const QString &version = QStringLiteral("1.0"), bool shared = false) {
    return stationBoard(n, version, shared);
}

QDateTime at(int seconds) {
    return momentAfter(seconds);
}

HistoryQuery query(const QString &interface, const QDateTime &since = QDateTime()) {
    HistoryQuery q;
    q.interface = interface;
    q.since = since;
    return q;
}

bool writeTestFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray fileHash(const QString &path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

// Runs SQL on a file outside the store, as another program would.
bool rawSql(const QString &path, const QStringList &statements) {
    bool ok = true;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery q(db);
        for (const QString &s : statements) {
            ok = ok && q.exec(s);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return ok;
}

// The first value a query gives, read outside the store.
QVariant rawValue(const QString &path, const QString &statement) {
    QVariant value;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        db.setDatabaseName(path);
        QSqlQuery q(db);
        if (db.open() && q.exec(statement) && q.next()) {
            value = q.value(0);
        }
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return value;
}

// A file of the first schema, with one board in it.
QStringList schemaOne() {
    return {QStringLiteral("CREATE TABLE boards (id INTEGER PRIMARY KEY, interface TEXT NOT NULL, "
                           "key TEXT NOT NULL, mac TEXT NOT NULL, device TEXT NOT NULL, "
                           "version TEXT NOT NULL, product TEXT NOT NULL, hard_id TEXT NOT NULL, "
                           "ipv4 TEXT NOT NULL, reply BLOB NOT NULL, count INTEGER NOT NULL, "
                           "first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, "
                           "UNIQUE (interface, key))"),
            QStringLiteral("CREATE TABLE changes (id INTEGER PRIMARY KEY, "
                           "board INTEGER NOT NULL REFERENCES boards (id), at INTEGER NOT NULL, "
                           "event TEXT NOT NULL, fields TEXT NOT NULL, was TEXT, now TEXT)"),
            QStringLiteral("INSERT INTO boards VALUES (1, 'seg0', 'mac:02:00:00:00:00:07', "
                           "'02:00:00:00:00:07', 'OLD', '0.9', 'PX7', '07', '192.0.2.7', x'00', 1, "
                           "%1, %2)")
                .arg(at(0).toMSecsSinceEpoch())
                .arg(at(5).toMSecsSinceEpoch()),
            QStringLiteral("INSERT INTO changes VALUES (1, 1, %1, 'added', '', NULL, '{}')")
                .arg(at(0).toMSecsSinceEpoch()),
            QStringLiteral("PRAGMA user_version = 1")};
}

// A writer process for twoWriters: 100 rounds of the same five boards, a change every tenth.
int writer(const QString &path, const QString &name) {
    HistoryStore store;
    QString error;
    if (!store.open(path, &error) || !store.beginSession(name, QStringLiteral("seg0"), &error)) {
        qWarning("%s", qPrintable(error));
        return 2;
    }
    WatchState state;
    for (int round = 0; round < 100; ++round) {
        QList<BoardInfo> answered;
        for (int n = 1; n <= 5; ++n) {
            answered.append(board(n, QStringLiteral("1.%1").arg(round / 10)));
        }
        const QList<WatchEvent> events = watchRound(&state, answered);
        if (!store.record(answered, events, QDateTime::currentDateTimeUtc(), &error)) {
            qWarning("%s", qPrintable(error));
            return 3;
        }
    }
    return 0;
}

// Starts this program again as a writer. Not through QProcess: a cross-built test runs under
// qemu-user, where Qt's process launcher loses track of its child. The emulator, if any, comes
// first on the command line, as the test's own launch had it.
pid_t startWriter(const QString &path, const QString &name) {
    QStringList command =
        qEnvironmentVariable("L2_TEST_EMULATOR").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    command.append(QCoreApplication::applicationFilePath());
    std::vector<QByteArray> args;
    for (const QString &a : command) {
        args.push_back(a.toLocal8Bit());
    }
    std::vector<char *> argv;
    for (QByteArray &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    QByteArray role = "L2_HISTORY_WRITER=" + (path + QLatin1Char('\n') + name).toLocal8Bit();
    const pid_t pid = fork();
    if (pid == 0) {
        putenv(role.data());
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The writer's exit code, or -1 if it was killed or still running at the deadline (then it is
// killed, so that no writer outlives the test).
int waitWriter(pid_t pid, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (deadline.hasExpired()) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        QThread::msleep(20);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT
  public:
    explicit TestHistory(PgServer *server) : server_(server) {}

  private slots:
    void init();
    // Both engines.
    void roundsReadBack();
    void stationsApart();
    void oneBoardByAddressOrHardId();
    void twoWriters_data();
    void sharedBoardKeepsItsFirstSighting();
    void olderSchemaMigrated();
    void notAHistoryLeftAlone_data();
    void notAHistoryLeftAlone();
    void twoWriters();
    void busyFileKeepsTheRound();
    void migrationWaitsForAWriter();
    void privateAndNeverThroughALink();
    void pruneKeepsTheNewest();
    void resetsAmongTheChanges();
    void readableWhoeverOwnsIt();
    void since_data();
    void since();
    void tables();
    // A server only.
    void serverOutageKeepsRoundsInOrder();
    void serverNotThereAtStart();
    void credentialsAsLibpqKeepsThem();
    void uriParametersPassThrough();

  private:
    QString path() const {
        return dir_->filePath(QStringLiteral("sub/history.sqlite"));
    }
    // Where the history of the case is: a file, or a fresh database on the test's server.
    QString location() const {
        return server_ != nullptr ? location_ : path();
    }
    std::unique_ptr<QTemporaryDir> dir_;
    PgServer *server_;
    int databases_ = 0;
    QString location_;
};

void TestHistory::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    if (server_ != nullptr) {
        const QString name = QStringLiteral("history%1").arg(++databases_);
        QString error;
        QVERIFY2(server_->createDatabase(name, &error), qPrintable(error));
        location_ = server_->url(name);
    }
}

// Added, changed and gone as watch reports them; first and last seen; another interface apart.
void TestHistory::roundsReadBack() {
    HistoryStore store;
    QString error;
    QVERIFY2(store.open(location(), &error), qPrintable(error));
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
    WatchState state;
    const auto round = [&](const QList<BoardInfo> &answered, int seconds) {
        return store.record(answered, watchRound(&state, answered), at(seconds), &error);
    };
    QVERIFY(round({board(1), board(2)}, 0));
    QVERIFY(round({board(1, QStringLiteral("2.0")), board(2)}, 10));
    QVERIFY(round({board(1, QStringLiteral("2.0"))}, 20));
    QVERIFY(round({board(1, QStringLiteral("2.0"))}, 30)); // board 2 missed twice: gone
    store.endSession();

    const QList<HistoryBoard> boards = store.boards({}, &error);
    QCOMPARE(error, QString());
    QCOMPARE(boards.size(), 2);
    QCOMPARE(boards[0].board.version, QStringLiteral("2.0"));
    QCOMPARE(boards[0].firstSeen, at(0));
    QCOMPARE(boards[0].lastSeen, at(30));
    QVERIFY(boards[0].present);
    QCOMPARE(boards[0].board.mac, board(1).mac);
    QCOMPARE(boards[1].lastSeen, at(10));
    QVERIFY(!boards[1].present);
    QCOMPARE(store.boards(query(QStringLiteral("seg1")), &error).size(), 0);
    QCOMPARE(store.boards(query(QString(), at(15)), &error).size(), 1);

    const QList<HistoryChange> changes = store.changes(query(QStringLiteral("seg0")), &error);
    QStringList seen;
    for (const HistoryChange &c : changes) {
        seen.append(c.event + QLatin1Char(' ') + c.board.device + QLatin1Char(' ') + c.program);
    }
    QCOMPARE(seen,
             QStringList(
                 {QStringLiteral("added BOARD-1 watch"), QStringLiteral("added BOARD-2 watch"),
                  QStringLiteral("changed BOARD-1 watch"), QStringLiteral("gone BOARD-2 watch")}));
    QCOMPARE(changes[2].fields, QStringList{QStringLiteral("Version")});
    QCOMPARE(changes[2].was.version, QStringLiteral("1.0"));
    QCOMPARE(changes[2].board.version, QStringLiteral("2.0"));
    QCOMPARE(changes[3].at, at(30));
}

// Two stations that both call their interface eth1 keep their boards apart, even the same
// board seen by both; a query and the JSON name the station.
void TestHistory::stationsApart() {
    QString error;
    HistoryStore one;
    HistoryStore two;
    one.setStation(QStringLiteral("line-1"));
    two.setStation(QStringLiteral("line-2"));
    const QString eth1 = QStringLiteral("eth1");
    QVERIFY2(one.open(location(), &error) && two.open(location(), &error), qPrintable(error));
    QVERIFY(one.beginSession(QStringLiteral("watch"), eth1, &error));
    QVERIFY(two.beginSession(QStringLiteral("watch"), eth1, &error));
    WatchState a;
    WatchState b;
    QVERIFY(one.record({board(1)}, watchRound(&a, {board(1)}), at(0), &error));
    const QList<BoardInfo> seenByTwo{board(1, QStringLiteral("2.0")), board(2)};
    QVERIFY(two.record(seenByTwo, watchRound(&b, seenByTwo), at(5), &error));

    const QList<HistoryBoard> all = one.boards({}, &error);
    QStringList rows;
    for (const HistoryBoard &h : all) {
        rows.append(h.station + QLatin1Char(' ') + h.interface + QLatin1Char(' ') + h.board.device +
                    QLatin1Char(' ') + h.board.version);
    }
    QCOMPARE(rows, QStringList({QStringLiteral("line-1 eth1 BOARD-1 1.0"),
                                QStringLiteral("line-2 eth1 BOARD-1 2.0"),
                                QStringLiteral("line-2 eth1 BOARD-2 1.0")}));
    HistoryQuery onlyOne;
    onlyOne.station = QStringLiteral("line-1");
    QCOMPARE(two.boards(onlyOne, &error).size(), 1);
    const QList<HistoryChange> changes = two.changes(onlyOne, &error);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes[0].station, QStringLiteral("line-1"));
    const QJsonObject board1 =
        QJsonDocument::fromJson(historyBoardsJson(all)).array()[1].toObject();
    QCOMPARE(board1.value(QStringLiteral("station")).toString(), QStringLiteral("line-2"));
    QCOMPARE(board1.value(QStringLiteral("interface")).toString(), eth1);
    const QJsonObject change =
        QJsonDocument::fromJson(historyChangesJson(changes)).array()[0].toObject();
    QCOMPARE(change.value(QStringLiteral("station")).toString(), QStringLiteral("line-1"));
    QCOMPARE(change.value(QStringLiteral("interface")).toString(), eth1);
    QCOMPARE(error, QString());
}

// --board finds a board by its address or its HardId in any case, also by the HardId it had
// before a change, and nothing of the others.
void TestHistory::oneBoardByAddressOrHardId() {
    HistoryStore store;
    QString error;
    QVERIFY2(store.open(location(), &error), qPrintable(error));
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
    WatchState state;
    QVERIFY(store.record({board(1), board(2)}, watchRound(&state, {board(1), board(2)}), at(0),
                         &error));
    BoardInfo renamed = board(1);
    renamed.hardId = QStringLiteral("CAFE01");
    QVERIFY(
        store.record({renamed, board(2)}, watchRound(&state, {renamed, board(2)}), at(10), &error));
    const auto look = [&](const QString &wanted) {
        HistoryQuery q;
        q.board = wanted;
        QStringList seen;
        for (const HistoryBoard &h : store.boards(q, &error)) {
            seen.append(h.board.device);
        }
        for (const HistoryChange &c : store.changes(q, &error)) {
            seen.append(c.event + QLatin1Char(' ') + c.board.device);
        }
        return seen.join(QLatin1Char(','));
    };
    const QString one = QStringLiteral("BOARD-1,added BOARD-1,changed BOARD-1");
    QCOMPARE(look(QStringLiteral("02-00-00-00-00-01")), one);
    QCOMPARE(look(QStringLiteral("cafe01")), one);
    QCOMPARE(look(board(1).hardId), one); // before the change
    QCOMPARE(look(board(2).hardId), QStringLiteral("BOARD-2,added BOARD-2"));
    QCOMPARE(look(QStringLiteral("nobody")), QString());
    QCOMPARE(error, QString());
}

// The server stopped under a writer: its rounds are kept, said once, and written in order
// when it is back, each once; a board that came meanwhile has the time it came.
void TestHistory::serverOutageKeepsRoundsInOrder() {
    HistoryStore store;
    store.setReconnectMs(0);
    QString error;
    QVERIFY2(store.open(location(), &error), qPrintable(error));
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("eth1"), &error));
    WatchState state;
    const auto round = [&](const QList<BoardInfo> &answered, int seconds) {
        error.clear();
        return store.record(answered, watchRound(&state, answered), at(seconds), &error);
    };
    QVERIFY(round({board(1), board(2)}, 0));
    QVERIFY2(server_->stopServer(&error), qPrintable(error));
    QVERIFY(!round({board(1), board(2), board(3)}, 10));
    QVERIFY2(error.contains(QStringLiteral("rounds are kept")), qPrintable(error));
    QVERIFY(store.keeping());
    QVERIFY(!round({board(1), board(3)}, 20));
    QCOMPARE(error, QString());                // said once
    QVERIFY(!round({board(1), board(3)}, 30)); // board 2 gone
    QCOMPARE(store.pendingRounds(), 3);
    QCOMPARE(store.takeNotice(), QString());
    QVERIFY2(server_->startServer(&error), qPrintable(error));
    QVERIFY2(round({board(1), board(3)}, 40), qPrintable(error));
    QCOMPARE(store.pendingRounds(), 0);
    QVERIFY2(store.takeNotice().contains(QStringLiteral("3 rounds kept meanwhile written")),
             qPrintable(error));
    QStringList seen;
    for (const HistoryChange &c : store.changes({}, &error)) {
        seen.append(
            QStringLiteral("%1 %2 %3").arg(c.event, c.board.device).arg(at(0).secsTo(c.at)));
    }
    QCOMPARE(seen,
             QStringList({QStringLiteral("added BOARD-1 0"), QStringLiteral("added BOARD-2 0"),
                          QStringLiteral("added BOARD-3 10"), QStringLiteral("gone BOARD-2 30")}));
    const QList<HistoryBoard> boards = store.boards({}, &error);
    QCOMPARE(boards.size(), 3);
    QCOMPARE(boards[2].firstSeen, at(10));
    QCOMPARE(boards[2].lastSeen, at(40));
}

// A server that is not there when the writer starts: said, and the rounds wait for it.
void TestHistory::serverNotThereAtStart() {
    QString error;
    QVERIFY2(server_->stopServer(&error), qPrintable(error));
    HistoryStore store;
    store.setReconnectMs(0);
    QVERIFY(!store.open(location(), &error));
    QVERIFY2(error.contains(QStringLiteral("the server cannot be reached")), qPrintable(error));
    QVERIFY(store.keeping());
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("eth1"), &error));
    WatchState state;
    QVERIFY(!store.record({board(1)}, watchRound(&state, {board(1)}), at(0), &error));
    QVERIFY2(server_->startServer(&error), qPrintable(error));
    QVERIFY2(store.record({board(1)}, watchRound(&state, {board(1)}), at(10), &error),
             qPrintable(error));
    QVERIFY(store.takeNotice().contains(QStringLiteral("1 round kept meanwhile written")));
    const QList<HistoryBoard> boards = store.boards({}, &error);
    QCOMPARE(boards.size(), 1);
    QCOMPARE(boards[0].firstSeen, at(0));
    QCOMPARE(boards[0].station, HistoryStore::defaultStation());
}

// The password comes from where libpq users keep it (here PGPASSFILE); one in the URI is
// refused, and no message ever shows it.
void TestHistory::credentialsAsLibpqKeepsThem() {
    const QString secret = QStringLiteral("sekrit-pw-42");
    const QString database =
        location_.section(QLatin1Char('?'), 0, 0).section(QLatin1Char('/'), -1);
    QString error;
    QVERIFY2(server_->sql({QStringLiteral("CREATE ROLE pwuser LOGIN PASSWORD '%1'").arg(secret),
                           QStringLiteral("ALTER DATABASE %1 OWNER TO pwuser").arg(database)},
                          &error),
             qPrintable(error));
    QVERIFY2(
        server_->sql({QStringLiteral("ALTER SCHEMA public OWNER TO pwuser")}, &error, database),
        qPrintable(error));
    const QString withPassword = QStringLiteral("postgresql://pwuser:%1@/%2?host=%3")
                                     .arg(secret, database, server_->socketDir());
    const QString inQuery =
        server_->url(database, QStringLiteral("pwuser")) + QStringLiteral("&password=") + secret;
    for (const QString &uri : {withPassword, inQuery}) {
        HistoryStore store;
        QVERIFY(!store.open(uri, &error));
        QVERIFY2(error.contains(QStringLiteral("~/.pgpass")) && !error.contains(secret),
                 qPrintable(error));
        QVERIFY2(error.contains(QStringLiteral("***")), qPrintable(error));
    }
    const QString pgpass = dir_->filePath(QStringLiteral("pgpass"));
    QVERIFY(writeTestFile(pgpass, "*:*:*:pwuser:" + secret.toUtf8() + "\n"));
    QVERIFY(QFile::setPermissions(pgpass, QFile::ReadOwner | QFile::WriteOwner));
    const QByteArray before = qgetenv("PGPASSFILE");
    qputenv("PGPASSFILE", QFile::encodeName(dir_->filePath(QStringLiteral("none"))));
    {
        HistoryStore store;
        QVERIFY(!store.open(server_->url(database, QStringLiteral("pwuser")), &error));
        QVERIFY2(error.contains(QStringLiteral("refuses")) && !store.keeping(), qPrintable(error));
    }
    qputenv("PGPASSFILE", QFile::encodeName(pgpass));
    HistoryStore store;
    const bool opened = store.open(server_->url(database, QStringLiteral("pwuser")), &error);
    before.isNull() ? qunsetenv("PGPASSFILE") : qputenv("PGPASSFILE", before);
    QVERIFY2(opened, qPrintable(error));
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("eth1"), &error));
    WatchState state;
    QVERIFY2(store.record({board(1)}, watchRound(&state, {board(1)}), at(0), &error),
             qPrintable(error));
}

// The URI's parameters reach the server as libpq reads them (here application_name and
// options); where the URI says nothing, the station's own defaults apply.
void TestHistory::uriParametersPassThrough() {
    const auto named = [&](const QString &uri) {
        HistoryStore store;
        QString error;
        if (!store.open(uri, &error)) {
            return error;
        }
        QSqlQuery q(QSqlDatabase::database(
            QStringLiteral("l2station-history-%1").arg(quintptr(&store), 0, 16)));
        q.exec(QStringLiteral("SELECT current_setting('application_name') || ' ' || "
                              "current_setting('work_mem')"));
        return q.next() ? q.value(0).toString() : q.lastError().text();
    };
    QCOMPARE(
        named(location_ + QStringLiteral("&application_name=line-7&options=-c%20work_mem%3D7MB")),
        QStringLiteral("line-7 7MB"));
    QCOMPARE(named(location_).section(QLatin1Char(' '), 0, 0), QStringLiteral("l2station"));
    QString error;
    HistoryStore store;
    QVERIFY(!store.open(location_ + QStringLiteral("&sslmode=bogus"), &error));
    QVERIFY2(error.contains(QStringLiteral("the URI cannot be used")) &&
                 error.contains(QStringLiteral("sslmode")) && !store.keeping(),
             qPrintable(error));
}

// A board at the shared address is known by its whole reply; when that changes, its row
// follows it instead of starting afresh.
void TestHistory::sharedBoardKeepsItsFirstSighting() {
    HistoryStore store;
    QString error;
    QVERIFY(store.open(location(), &error));
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
    WatchState state;
    for (int i = 0; i < 3; ++i) {
        const QList<BoardInfo> answered{board(1, QStringLiteral("1.%1").arg(i), true)};
        QVERIFY2(store.record(answered, watchRound(&state, answered), at(i * 10), &error),
                 qPrintable(error));
    }
    const QList<HistoryBoard> boards = store.boards({}, &error);
    QCOMPARE(boards.size(), 1);
    QCOMPARE(boards[0].firstSeen, at(0));
    QCOMPARE(boards[0].board.version, QStringLiteral("1.2"));
    QVERIFY(boards[0].board.sharedAddress());
    QCOMPARE(boardKey(boards[0].board), boardKey(board(1, QStringLiteral("1.2"), true)));
}

// A file of the first schema, with a board in it, comes up to date and keeps the board.
void TestHistory::olderSchemaMigrated() {
    QVERIFY(QDir().mkpath(dir_->filePath(QStringLiteral("sub"))));
    // An older file with a change of HardId: found by the HardId it had, once migrated.
    QVERIFY(rawSql(path(), schemaOne() << QStringLiteral("INSERT INTO changes VALUES (2, 1, %1, "
                                                         "'changed', 'HardId', "
                                                         "'{\"HardId\":\"0a1b\"}', '{}')")
                                              .arg(at(3).toMSecsSinceEpoch())));
    HistoryStore store;
    store.setStation(QStringLiteral("line-9"));
    QString error;
    QVERIFY2(store.open(path(), &error), qPrintable(error));
    const QList<HistoryBoard> boards = store.boards({}, &error);
    QCOMPARE(boards.size(), 1);
    QCOMPARE(boards[0].board.device, QStringLiteral("OLD"));
    QCOMPARE(boards[0].station, QStringLiteral("line-9")); // the rows of a file were its own
    QVERIFY(boards[0].present);
    QCOMPARE(boards[0].lastSeen, at(5));
    QCOMPARE(store.changes({}, &error).size(), 2);
    HistoryQuery formerly;
    formerly.board = QStringLiteral("0A1B");
    QCOMPARE(store.boards(formerly, &error).size(), 1);
    // The new schema's parts work on the old data.
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
    WatchState state;
    state.insert(boardKey(boards[0].board), WatchedBoard{boards[0].board, 0});
    QVERIFY(store.record({}, watchRound(&state, {}), at(10), &error));
    QVERIFY(store.record({}, watchRound(&state, {}), at(20), &error));
    QVERIFY(!store.boards({}, &error)[0].present);
    QCOMPARE(rawValue(path(), QStringLiteral("PRAGMA user_version")).toInt(),
             HistoryStore::kSchemaVersion);
}

void TestHistory::notAHistoryLeftAlone_data() {
    QTest::addColumn<QStringList>("setup"); // SQL; or "text:..." or "damage"
    QTest::addColumn<QString>("expected");
    QTest::newRow("text file") << QStringList{QStringLiteral("text:my notes\n")}
                               << QStringLiteral("not an SQLite database; it is left as it is");
    QTest::newRow("damaged") << QStringList{QStringLiteral("damage")}
                             << QStringLiteral("the file is damaged");
    QTest::newRow("newer schema") << QStringList{QStringLiteral("PRAGMA user_version = 99")}
                                  << QStringLiteral("written by a newer l2station (schema 99");
    QTest::newRow("other tables") << QStringList{QStringLiteral("CREATE TABLE invoices (n)")}
                                  << QStringLiteral("holds other tables (invoices)");
    QTest::newRow("our names, no version") << QStringList{QStringLiteral("CREATE TABLE boards (n)")}
                                           << QStringLiteral("has tables but no schema version");
}

void TestHistory::notAHistoryLeftAlone() {
    QFETCH(QStringList, setup);
    QFETCH(QString, expected);
    QVERIFY(QDir().mkpath(dir_->filePath(QStringLiteral("sub"))));
    if (setup.first().startsWith(QLatin1String("text:"))) {
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(setup.first().mid(5).toUtf8());
    } else if (setup.first() == QLatin1String("damage")) {
        // A real history whose pages after the header were overwritten.
        {
            HistoryStore store;
            QString error;
            QVERIFY(store.open(path(), &error));
            QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
            WatchState state;
            QList<BoardInfo> many;
            for (int n = 0; n < 200; ++n) {
                many.append(board(n));
            }
            QVERIFY2(store.record(many, watchRound(&state, many), at(0), &error),
                     qPrintable(error));
        }
        QVERIFY(rawSql(path(), {QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"),
                                QStringLiteral("PRAGMA journal_mode=DELETE")}));
        QFile f(path());
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.size() > 8192);
        f.seek(4096);
        f.write(QByteArray(4096, '\x5a'));
    } else {
        QVERIFY(rawSql(path(), setup));
    }
    const QByteArray before = fileHash(path());
    HistoryStore store;
    QString error;
    QVERIFY(!store.open(path(), &error));
    QVERIFY2(error.contains(expected), qPrintable(error));
    QVERIFY2(error.contains(path()), qPrintable(error));
    QCOMPARE(fileHash(path()), before);
    QVERIFY(!QFile::exists(path() + QStringLiteral("-wal")) ||
            QFile(path() + QStringLiteral("-wal")).size() == 0);
}

// Two processes write the same boards at once: every round of each lands, the file stays
// sound, and each session's changes are its own.
void TestHistory::twoWriters_data() {
    QTest::addColumn<bool>("madeFirst");
    QTest::newRow("made before") << true;
    // Both make and migrate it at once: one of them migrates, the other waits and finds it done.
    QTest::newRow("made by both at once") << false;
}

void TestHistory::twoWriters() {
    QFETCH(bool, madeFirst);
    if (madeFirst) {
        HistoryStore store;
        QString error;
        QVERIFY(store.open(location(), &error)); // made once; the writers race on the rest
    }
    QList<pid_t> writers;
    for (const char *name : {"writer-a", "writer-b"}) {
        const pid_t pid = startWriter(location(), QString::fromLatin1(name));
        QVERIFY2(pid > 0, "fork");
        writers.append(pid);
    }
    for (const pid_t pid : writers) {
        QCOMPARE(waitWriter(pid, 60000), 0);
    }
    HistoryStore store;
    QString error;
    QVERIFY(store.open(location(), &error));
    QCOMPARE(store.boards({}, &error).size(), 5);
    const QList<HistoryChange> changes = store.changes({}, &error);
    // Each writer: 5 added, then 5 changed at each of 9 version steps.
    QCOMPARE(changes.size(), 2 * (5 + 5 * 9));
    int byA = 0;
    for (const HistoryChange &c : changes) {
        byA += c.program == QLatin1String("writer-a") ? 1 : 0;
    }
    QCOMPARE(byA, 5 + 5 * 9);
    if (server_ == nullptr) {
        QCOMPARE(rawValue(path(), QStringLiteral("PRAGMA integrity_check")).toString(),
                 QStringLiteral("ok"));
    }
}

// Another instance holding the file past the time-out: the round is kept, said so, and
// written with the next.
// An old file that another program is writing is migrated once that program is done: the
// migration takes the write lock before it reads the version, so it never deadlocks with the
// other writer ("database is locked").
void TestHistory::migrationWaitsForAWriter() {
    QVERIFY(QDir().mkpath(dir_->filePath(QStringLiteral("sub"))));
    QVERIFY(rawSql(path(), schemaOne()));
    std::promise<bool> holding;
    std::thread other([&] {
        bool ok = false;
        {
            QSqlDatabase db =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
            db.setDatabaseName(path());
            QSqlQuery q(db);
            ok = db.open() && q.exec(QStringLiteral("BEGIN IMMEDIATE")) &&
                 q.exec(QStringLiteral("UPDATE boards SET count = count + 1"));
            holding.set_value(ok);
            QThread::msleep(300);
            ok = ok && q.exec(QStringLiteral("COMMIT"));
            q.finish();
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
    });
    QVERIFY(holding.get_future().get());
    HistoryStore store;
    QString error;
    const bool opened = store.open(path(), &error);
    other.join();
    QVERIFY2(opened, qPrintable(error));
    QCOMPARE(rawValue(path(), QStringLiteral("PRAGMA user_version")).toInt(),
             HistoryStore::kSchemaVersion);
    QCOMPARE(rawValue(path(), QStringLiteral("SELECT count FROM boards")).toInt(), 2);
}

void TestHistory::busyFileKeepsTheRound() {
    QString error;
    {
        HistoryStore earlier;
        QVERIFY(earlier.open(path(), &error));
        QVERIFY(earlier.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
        WatchState state;
        QVERIFY(earlier.record({board(9)}, watchRound(&state, {board(9)}), at(-10), &error));
    }
    // Another program holds a write transaction for as long as it likes.
    QSqlDatabase other =
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("hold"));
    other.setDatabaseName(path());
    QVERIFY(other.open());
    QSqlQuery hold(other);
    QVERIFY(hold.exec(QStringLiteral("BEGIN IMMEDIATE")));
    // A reader neither waits for it nor fails.
    {
        HistoryStore reader(5000);
        QElapsedTimer took;
        took.start();
        QVERIFY2(reader.open(path(), &error, HistoryStore::Access::Read), qPrintable(error));
        QCOMPARE(reader.boards({}, &error).size(), 1);
        QVERIFY2(took.elapsed() < 2000, qPrintable(QString::number(took.elapsed())));
    }
    // A watch that starts now keeps its session and its rounds until the file is free.
    HistoryStore store(200);
    QVERIFY2(store.open(path(), &error), qPrintable(error));
    QVERIFY2(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error),
             qPrintable(error));
    WatchState state;
    QList<BoardInfo> answered{board(1)};
    QVERIFY(!store.record(answered, watchRound(&state, answered), at(0), &error));
    QVERIFY2(error.contains(QStringLiteral("busy: another l2station")), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("1 round kept")), qPrintable(error));
    QCOMPARE(store.pendingRounds(), 1);
    QVERIFY(hold.exec(QStringLiteral("COMMIT")));
    hold.finish();
    other.close();
    other = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("hold"));
    answered.append(board(2));
    QVERIFY2(store.record(answered, watchRound(&state, answered), at(10), &error),
             qPrintable(error));
    QCOMPARE(store.pendingRounds(), 0);
    store.endSession();
    const QList<HistoryBoard> boards = store.boards({}, &error);
    QCOMPARE(boards.size(), 3);
    QCOMPARE(boards[0].firstSeen, at(0));
    const QList<HistoryChange> changes = store.changes(query(QString(), at(0)), &error);
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes[0].program, QStringLiteral("watch"));
    QCOMPARE(rawValue(path(), QStringLiteral("SELECT COUNT(*) FROM sessions WHERE ended IS NOT "
                                             "NULL"))
                 .toInt(),
             2);
}

// The writers keep what the retention keeps: the newest boards and changes of each interface,
// none older than its days; a flood on one interface pushes nothing of another's out.
void TestHistory::pruneKeepsTheNewest() {
    HistoryStore store;
    QString error;
    QVERIFY(store.open(location(), &error));
    QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
    WatchState churn;
    // An old round, then 30 rounds of boards each seen once (a forger's churn).
    QVERIFY(store.record({board(99)}, watchRound(&churn, {board(99)}), at(-200 * 86400), &error));
    for (int r = 0; r < 30; ++r) {
        BoardInfo b = board(1);
        b.mac = QByteArray::fromHex(QByteArray::number(0x020000001000LL + r, 16));
        QVERIFY2(store.record({b}, watchRound(&churn, {b}), at(r), &error), qPrintable(error));
    }
    HistoryStore other;
    QVERIFY(other.open(location(), &error));
    QVERIFY(other.beginSession(QStringLiteral("watch"), QStringLiteral("seg1"), &error));
    WatchState quiet;
    QVERIFY(other.record({board(1), board(2)}, watchRound(&quiet, {board(1), board(2)}), at(0),
                         &error));
    HistoryRetention keep;
    keep.boards = 10;
    keep.changes = 15;
    QVERIFY2(store.prune(keep, &error), qPrintable(error));
    const HistoryStats stats = store.stats(&error);
    QCOMPARE(stats.interfaces.size(), 2);
    QCOMPARE(stats.interfaces[0].name, QStringLiteral("seg0"));
    QCOMPARE(stats.interfaces[0].boards, 10);
    QVERIFY(stats.interfaces[0].changes <= 15);
    QCOMPARE(stats.interfaces[0].oldest, at(20)); // the newest ten, none from 200 days ago
    QCOMPARE(stats.interfaces[1].boards, 2);
    QCOMPARE(stats.interfaces[1].changes, 2);
    QVERIFY(stats.bytes > 0);
    QVERIFY(historyStatsText(stats).contains(QStringLiteral("kept: 90 days")));
}

// A new history is its owner's alone whatever the umask; a symbolic link where the history
// or its folder should be is refused, and nothing is made or changed through it.
void TestHistory::privateAndNeverThroughALink() {
    QString error;
    const mode_t before = umask(022);
    {
        HistoryStore store;
        QVERIFY2(store.open(path(), &error), qPrintable(error));
    }
    umask(before);
    const auto mode = [](const QString &p) {
        struct stat st {};
        return stat(QFile::encodeName(p).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    QCOMPARE(mode(path()), 0600);
    QCOMPARE(mode(QFileInfo(path()).absolutePath()), 0700);

    const QString victim = dir_->filePath(QStringLiteral("notes.txt"));
    QVERIFY(writeTestFile(victim, "another program's file\n"));
    const QByteArray hash = fileHash(victim);
    const QString linked = dir_->filePath(QStringLiteral("linked/history.sqlite"));
    QVERIFY(QDir().mkpath(QFileInfo(linked).absolutePath()));
    QVERIFY(QFile::link(victim, linked));
    HistoryStore store;
    QVERIFY(!store.open(linked, &error));
    QVERIFY2(error.contains(QStringLiteral("is a symbolic link")), qPrintable(error));
    QCOMPARE(fileHash(victim), hash);
    // A dangling link: nothing is made where it points.
    const QString nowhere = dir_->filePath(QStringLiteral("made-through-link.sqlite"));
    QVERIFY(QFile::remove(linked));
    QVERIFY(QFile::link(nowhere, linked));
    QVERIFY(!store.open(linked, &error));
    QVERIFY(!QFile::exists(nowhere));
    // The folder a link.
    const QString folderLink = dir_->filePath(QStringLiteral("l2station"));
    QVERIFY(QFile::link(dir_->filePath(QStringLiteral("elsewhere")), folderLink));
    QVERIFY(!store.open(folderLink + QStringLiteral("/history.sqlite"), &error));
    QVERIFY2(error.contains(QStringLiteral("is a symbolic link")), qPrintable(error));
    QVERIFY(!QFile::exists(dir_->filePath(QStringLiteral("elsewhere"))));
}

// A reset is a change of its own, with who sent it and what came of it; a board's going and
// coming back while it restarts is part of it, and a board that goes at another time is gone.
void TestHistory::resetsAmongTheChanges() {
    HistoryStore store;
    QString error;
    QVERIFY2(store.open(location(), &error), qPrintable(error));
    QVERIFY(store.beginSession(QStringLiteral("l2station-gui"), QStringLiteral("seg0"), &error));
    WatchState state;
    const auto round = [&](const QList<BoardInfo> &answered, int seconds) {
        QVERIFY2(store.record(answered, watchRound(&state, answered), at(seconds), &error),
                 qPrintable(error));
    };
    round({board(1), board(2), board(3)}, 0);
    const qint64 waited = store.recordReset(board(1), at(5), QStringLiteral("resetting"), &error);
    QVERIFY2(waited >= 0, qPrintable(error));
    round({board(2), board(3)}, 10);
    round({board(2), board(3)}, 20); // board 1 gone while it restarts
    QVERIFY(store.finishReset(waited, QStringLiteral("back after 25.0 s"), at(30), &error));
    round({board(1), board(2), board(3)}, 35);
    round({board(1), board(3)}, 40);
    round({board(1), board(3)}, 50); // board 2 gone, no reset near it
    // A reset without a wait: open for as long as a wait would be.
    QVERIFY(store.recordReset(board(3), at(60), QStringLiteral("acknowledged"), &error) >= 0);
    round({board(1)}, 70);
    round({board(1)}, 80);
    round({board(1), board(3)}, 100);
    store.endSession();

    const auto events = [&](const HistoryQuery &q) {
        QStringList seen;
        for (const HistoryChange &c : store.changes(q, &error)) {
            seen.append(c.event + QLatin1Char(' ') + c.board.device);
        }
        return seen;
    };
    QCOMPARE(events(query(QString())),
             QStringList({QStringLiteral("added BOARD-1"), QStringLiteral("added BOARD-2"),
                          QStringLiteral("added BOARD-3"), QStringLiteral("reset BOARD-1"),
                          QStringLiteral("gone BOARD-2"), QStringLiteral("reset BOARD-3")}));
    QCOMPARE(error, QString());
    const QList<HistoryChange> all = store.changes(query(QString()), &error);
    QCOMPARE(all[3].outcome, QStringLiteral("back after 25.0 s"));
    QCOMPARE(all[3].ended, at(30));
    QCOMPARE(all[3].program, QStringLiteral("l2station-gui"));
    QVERIFY(!all[3].user.isEmpty() && !all[3].host.isEmpty());
    QCOMPARE(all[5].outcome, QStringLiteral("acknowledged"));
    QVERIFY(!all[5].ended.isValid());

    HistoryQuery q;
    q.events = QStringList{QStringLiteral("reset")};
    QCOMPARE(events(q),
             QStringList({QStringLiteral("reset BOARD-1"), QStringLiteral("reset BOARD-3")}));
    q = HistoryQuery();
    q.board = QStringLiteral("00000002"); // a HardId
    QCOMPARE(events(q),
             QStringList({QStringLiteral("added BOARD-2"), QStringLiteral("gone BOARD-2")}));
    QCOMPARE(store.boards(q, &error).size(), 1);
    q.board = QStringLiteral("02:00:00:00:00:01").toUpper(); // an address
    QCOMPARE(events(q),
             QStringList({QStringLiteral("added BOARD-1"), QStringLiteral("reset BOARD-1")}));
    q = HistoryQuery();
    q.since = at(4);
    q.until = at(50);
    QCOMPARE(events(q),
             QStringList({QStringLiteral("reset BOARD-1"), QStringLiteral("gone BOARD-2")}));
}

// A history this user may read but not write (another user's, in a folder it cannot write
// either) is read, and never called damaged; writing to it is refused, saying why.
void TestHistory::readableWhoeverOwnsIt() {
    // Under fakeroot (a package build's tests) root is pretended: no other user can be
    // become.
    if (qEnvironmentVariableIsSet("FAKEROOTKEY")) {
        QSKIP("needs real root to read a history as another user, not fakeroot");
    }
    if (geteuid() != 0) {
        if (qEnvironmentVariable("CI") == QLatin1String("true")) {
            QFAIL("needs root to read a history as another user");
        }
        QSKIP("needs root to read a history as another user");
    }
    {
        HistoryStore store;
        QString error;
        QVERIFY2(store.open(path(), &error), qPrintable(error));
        QVERIFY(store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error));
        WatchState state;
        QVERIFY(store.record({board(1), board(2)}, watchRound(&state, {board(1), board(2)}), at(0),
                             &error));
    }
    // Another user may enter the folders, and read the file: nothing more.
    QVERIFY(QFile::setPermissions(dir_->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                    QFile::ExeOwner | QFile::ReadOther |
                                                    QFile::ExeOther));
    QVERIFY(QFile::setPermissions(QFileInfo(path()).absolutePath(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                      QFile::ReadOther | QFile::ExeOther));
    // A history made readable for others on purpose (new ones are their owner's alone).
    QVERIFY(QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                              QFile::ReadOther));
    QVERIFY(!QFile::exists(path() + QStringLiteral("-shm"))); // as a closed history leaves it
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(10);
        }
        // A build chroot's user namespace may keep another user out of the temporary folder
        // altogether: nothing to test there.
        if (access(QFile::encodeName(path()).constData(), R_OK) != 0) {
            _exit(20);
        }
        for (const HistoryStore::Access access :
             {HistoryStore::Access::Write, HistoryStore::Access::Read}) {
            HistoryStore store;
            QString error;
            if (!store.open(path(), &error, access)) {
                qWarning("%s", qPrintable(error));
                _exit(error.contains(QLatin1String("damaged")) ? 11 : 12);
            }
            if (store.writable() ||
                (access == HistoryStore::Access::Write &&
                 !store.readOnlyReason().contains(QLatin1String("not writable for you")))) {
                _exit(13);
            }
            if (store.boards(HistoryQuery(), &error).size() != 2 ||
                store.changes(HistoryQuery(), &error).size() != 2) {
                qWarning("%s", qPrintable(error));
                _exit(14);
            }
            if (store.beginSession(QStringLiteral("watch"), QStringLiteral("seg0"), &error) ||
                error != store.readOnlyReason()) {
                _exit(15);
            }
        }
        _exit(0);
    }
    const int status = waitWriter(pid, 30000);
    if (status == 20) {
        QSKIP("another user cannot reach the temporary folder here");
    }
    QCOMPARE(status, 0);
}

void TestHistory::since_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("expected");
    const QDateTime now(QDate(2026, 12, 8), QTime(12, 0), Qt::LocalTime);
    QTest::newRow("today") << QStringLiteral("today")
                           << QDateTime(QDate(2026, 12, 8), QTime(0, 0), Qt::LocalTime);
    QTest::newRow("yesterday") << QStringLiteral("Yesterday")
                               << QDateTime(QDate(2026, 12, 7), QTime(0, 0), Qt::LocalTime);
    // As an end, a day takes in all of it; a time stays the time.
    QTest::newRow("until yesterday")
        << QStringLiteral("yesterday")
        << QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59, 999), Qt::LocalTime);
    QTest::newRow("until a date") << QStringLiteral("2026-12-01")
                                  << QDateTime(QDate(2026, 12, 1), QTime(23, 59, 59, 999),
                                               Qt::LocalTime);
    QTest::newRow("until a time") << QStringLiteral("2026-12-01T08:30")
                                  << QDateTime(QDate(2026, 12, 1), QTime(8, 30), Qt::LocalTime);
    QTest::newRow("until back") << QStringLiteral("1h") << now.addSecs(-3600);
    QTest::newRow("seconds") << QStringLiteral("90s") << now.addSecs(-90);
    QTest::newRow("minutes") << QStringLiteral("15m") << now.addSecs(-900);
    QTest::newRow("hours") << QStringLiteral("12h") << now.addSecs(-12 * 3600);
    QTest::newRow("days") << QStringLiteral("7d") << now.addDays(-7);
    QTest::newRow("date") << QStringLiteral("2026-12-01")
                          << QDateTime(QDate(2026, 12, 1), QTime(0, 0), Qt::LocalTime);
    QTest::newRow("date and time") << QStringLiteral("2026-12-01T08:30")
                                   << QDateTime(QDate(2026, 12, 1), QTime(8, 30), Qt::LocalTime);
    QTest::newRow("with offset") << QStringLiteral("2026-12-01T08:30:00Z")
                                 << QDateTime(QDate(2026, 12, 1), QTime(8, 30), Qt::UTC);
    QTest::newRow("unit missing") << QStringLiteral("15") << QDateTime();
    QTest::newRow("unknown unit") << QStringLiteral("3w") << QDateTime();
    QTest::newRow("not a date") << QStringLiteral("tomorrow") << QDateTime();
}

void TestHistory::since() {
    QFETCH(QString, text);
    QFETCH(QDateTime, expected);
    const bool end = QTest::currentDataTag() != nullptr &&
                     QByteArray(QTest::currentDataTag()).startsWith("until");
    const QDateTime now(QDate(2026, 12, 8), QTime(12, 0), Qt::LocalTime);
    const QDateTime got = parseSince(text, now, end);
    QCOMPARE(got.isValid(), expected.isValid());
    if (expected.isValid()) {
        QCOMPARE(got.toMSecsSinceEpoch(), expected.toMSecsSinceEpoch());
    }
}

// What 'l2station history' prints: escaped texts, the state, changes with old and new values.
void TestHistory::tables() {
    HistoryBoard h;
    h.interface = QStringLiteral("seg0");
    h.board = board(1);
    h.board.device = QStringLiteral("EVIL\x1b[2J");
    h.firstSeen = at(0);
    h.lastSeen = at(60);
    h.present = false;
    const QString table = historyBoardsTable({h});
    QVERIFY2(table.contains(QStringLiteral("EVIL\\x1b[2J")), qPrintable(table));
    QVERIFY(table.contains(QStringLiteral("02:00:00:00:00:01")));
    QVERIFY(table.contains(at(60).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    QVERIFY(table.trimmed().endsWith(QStringLiteral("gone")));
    const QJsonArray json = QJsonDocument::fromJson(historyBoardsJson({h})).array();
    QCOMPARE(json.size(), 1);
    QCOMPARE(json[0].toObject().value(QStringLiteral("state")).toString(), QStringLiteral("gone"));
    QCOMPARE(QDateTime::fromString(json[0].toObject().value(QStringLiteral("firstSeen")).toString(),
                                   Qt::ISODate),
             at(0));

    HistoryChange c;
    c.interface = QStringLiteral("seg0");
    c.at = at(5);
    c.event = QStringLiteral("changed");
    c.program = QStringLiteral("l2station-gui");
    c.was = board(1);
    c.board = board(1, QStringLiteral("2.0"));
    c.fields = changedFields(c.was, c.board);
    QVERIFY2(historyChangesTable({c}).contains(QStringLiteral("Version 1.0 > 2.0")),
             qPrintable(historyChangesTable({c})));
    const QJsonObject change =
        QJsonDocument::fromJson(historyChangesJson({c})).array()[0].toObject();
    QCOMPARE(change.value(QStringLiteral("was")).toObject().value(QStringLiteral("Version")),
             QJsonValue(QStringLiteral("1.0")));
    QCOMPARE(change.value(QStringLiteral("fields")).toArray(),
             QJsonArray{QStringLiteral("Version")});
}

namespace {

// The cases of each engine; every test function is in one of the lists.
const QStringList kBothEngines{QStringLiteral("roundsReadBack"),
                               QStringLiteral("stationsApart"),
                               QStringLiteral("oneBoardByAddressOrHardId"),
                               QStringLiteral("sharedBoardKeepsItsFirstSighting"),
                               QStringLiteral("twoWriters"),
                               QStringLiteral("pruneKeepsTheNewest"),
                               QStringLiteral("resetsAmongTheChanges")};
const QStringList kFileOnly{QStringLiteral("olderSchemaMigrated"),
                            QStringLiteral("notAHistoryLeftAlone"),
                            QStringLiteral("busyFileKeepsTheRound"),
                            QStringLiteral("migrationWaitsForAWriter"),
                            QStringLiteral("privateAndNeverThroughALink"),
                            QStringLiteral("readableWhoeverOwnsIt"),
                            QStringLiteral("since"),
                            QStringLiteral("tables")};
const QStringList kServerOnly{
    QStringLiteral("serverOutageKeepsRoundsInOrder"), QStringLiteral("serverNotThereAtStart"),
    QStringLiteral("credentialsAsLibpqKeepsThem"), QStringLiteral("uriParametersPassThrough")};

} // namespace

int main(int argc, char **argv) {
    const QString role = qEnvironmentVariable("L2_HISTORY_WRITER");
    QCoreApplication app(argc, argv);
    if (!role.isEmpty()) {
        return writer(role.section(QLatin1Char('\n'), 0, 0), role.section(QLatin1Char('\n'), 1));
    }
    const bool server = qEnvironmentVariable("L2_TEST_HISTORY") == QLatin1String("postgresql");
    PgServer pg;
    if (server) {
        QString error;
        // A role that must give its password, for the credentials case; trust for the rest.
        if (!pg.start(&error,
                      QStringLiteral("local all pwuser scram-sha-256\nlocal all all trust\n"))) {
            qWarning("no PostgreSQL server for the tests: %s", qPrintable(error));
            // Skipped (ctest's code for it) on a developer's machine, failed in CI.
            return qEnvironmentVariable("CI") == QLatin1String("true") ? 1 : 77;
        }
    }
    TestHistory test(server ? &pg : nullptr);
    for (int m = test.metaObject()->methodOffset(); m < test.metaObject()->methodCount(); ++m) {
        const QMetaMethod method = test.metaObject()->method(m);
        const QString name = QString::fromLatin1(method.name());
        if (method.methodType() == QMetaMethod::Slot && name != QLatin1String("init") &&
            !name.endsWith(QLatin1String("_data")) && !kBothEngines.contains(name) &&
            !kFileOnly.contains(name) && !kServerOnly.contains(name)) {
            qWarning("%s is in no engine's list", qPrintable(name));
            return 1;
        }
    }
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args.append(QString::fromLocal8Bit(argv[i]));
    }
    // Functions named on the command line run as named; otherwise this engine's.
    const bool named = std::any_of(args.cbegin() + 1, args.cend(), [](const QString &a) {
        return !a.startsWith(QLatin1Char('-'));
    });
    if (!named) {
        args += kBothEngines + (server ? kServerOnly : kFileOnly);
    }
    return QTest::qExec(&test, args);
}

#include "tst_history.moc"
