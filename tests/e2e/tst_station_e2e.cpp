// l2station against several real agents bridged onto one segment with the station. The
// segment is a bridge that learns addresses, as every real switch does; the one that does not
// is named where a test stands for the lab on purpose.
#include "netlab.h"
#include "pgserver.h"
#include "wire.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kBoards = 4;
// What a round keeps at most (l2station's own bound).
constexpr int kMaxBoardsShown = 10000;
const QString kStart = QStringLiteral("\"start 'eth1' dump\"");

using Board = LabBoard;

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

enum Mode { BoardAddress, DefaultMode };

} // namespace

class TestStationE2e : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void infoListsEveryBoardEveryRun();
    void infoJson();
    void infoFirst();
    void ping();
    void send();
    void resetReachesEveryBoardOnce();
    void oneBoardAtATime();
    void exitStatuses_data();
    void exitStatuses();
    void hostileBoardEscaped();
    void replyFloodBounded();
    void churnFloodBounded();
    void defaultBoardJoins();
    void mixedFleetListedByDefault();
    void addressChangeFollowed();
    void infoBesideWatch();
    void watchAndWholeValues();
    void watchWaitsForItsLink();
    void watchKeepsHistory();
    void clonesAreTwoBoards();
    void resetWaitsForTheBoard();
    void resetWaitKnowsARestart_data();
    void resetWaitKnowsARestart();
    void resetNeverGuessesTheSegment();
    void twoStationsOneSegment();
    void stoppedBoardGoneOnAHub();
    void keyedBoards();
    void labBridgeDefaultBoards();
    void wiresharkNamesEveryFrame();
    void twoLinesOneServerHistory();
    void watchThroughServerOutage();
    void cleanupTestCase();

  private:
    Result station(const QStringList &args);
    bool addBoard(Board *board, int n, const QString &bridge, Mode mode = BoardAddress,
                  const QByteArray &id = {},
                  const QByteArray &resetScript = "#!/bin/sh\necho reset >> reset.log\n",
                  const QString &program = {}, const QByteArray &version = {});
    bool addBridge(const QString &name, bool learning = true);
    QStringList rows(const Result &r) const;

    // The tests' own PostgreSQL server, started by the first test that needs it.
    bool startServer();
    std::unique_ptr<PgServer> pg_;
    QTemporaryDir dir_;
    std::unique_ptr<Netns> segment_;
    std::vector<Board> boards_;
};

Result TestStationE2e::station(const QStringList &args) {
    QProcess process;
    process.start(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"),
                                                    segment_->name(), stationBinary()} +
                                            args);
    Result r;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return r;
    }
    r.exitCode = process.exitCode();
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

// The table's board rows.
QStringList TestStationE2e::rows(const Result &r) const {
    return r.out.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^BOARD-")));
}

bool TestStationE2e::addBridge(const QString &name, bool learning) {
    return ::addBridge(*segment_, name, learning);
}

void TestStationE2e::initTestCase() {
    L2_REQUIRE_NETLAB();
    // watch keeps a history: this run's, not the user's.
    qputenv("XDG_DATA_HOME", dir_.filePath(QStringLiteral("data")).toUtf8());
    // The station's namespace holds the segments: bridges that learn addresses with the
    // default ageing, as switches do.
    segment_ = std::make_unique<Netns>(QStringLiteral("seg"));
    QVERIFY(segment_->ok());
    QVERIFY(addBridge(QStringLiteral("seg0")));
    QVERIFY(addBridge(QStringLiteral("quiet0")));
    // quiet0 has a port that is up, so it has a carrier; dark0's other end is down, so it has
    // none.
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("q0a"),
                          QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"),
                          QStringLiteral("name"), QStringLiteral("q0b")}));
    QVERIFY(
        segment_->ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("q0a"),
                      QStringLiteral("master"), QStringLiteral("quiet0"), QStringLiteral("up")}));
    QVERIFY(setLinkUp(*segment_, QStringLiteral("q0b"), true));
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("dark0"),
                          QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"),
                          QStringLiteral("name"), QStringLiteral("dark1")}));
    QVERIFY(setLinkUp(*segment_, QStringLiteral("dark0"), true));
    for (int i = 1; i <= kBoards; ++i) {
        Board board;
        QVERIFY(addBoard(&board, i, QStringLiteral("seg0")));
        boards_.push_back(std::move(board));
    }
    for (const Board &board : boards_) {
        QVERIFY(board.agent->waitForLine(kStart));
    }
}

bool TestStationE2e::addBoard(Board *board, int n, const QString &bridge, Mode mode,
                              const QByteArray &id, const QByteArray &resetScript,
                              const QString &program, const QByteArray &version) {
    LabBoardSetup setup;
    setup.n = n;
    setup.bridge = bridge;
    setup.boardAddress = mode == BoardAddress;
    setup.id = id;
    setup.resetScript = resetScript;
    setup.program = program;
    setup.version = version;
    return startLabBoard(board, *segment_, dir_.path(), setup);
}

// watch records what it sees and history prints it; a history file that is not one is left
// alone, and watch goes on without it.
void TestStationE2e::watchKeepsHistory() {
    const QByteArray home = qgetenv("XDG_DATA_HOME");
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    Result r = station({QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("seg0"),
                        QStringLiteral("-c"), QStringLiteral("2"), QStringLiteral("--fast"),
                        QStringLiteral("--interval"), QStringLiteral("0")});
    QCOMPARE(r.exitCode, 0);
    r = station({QStringLiteral("history"), QStringLiteral("--json"), QStringLiteral("-i"),
                 QStringLiteral("seg0")});
    QCOMPARE(r.exitCode, 0);
    const QJsonArray boards = QJsonDocument::fromJson(r.out.toUtf8()).array();
    QCOMPARE(boards.size(), kBoards);
    for (int i = 0; i < kBoards; ++i) {
        const QJsonObject o = boards.at(i).toObject();
        QCOMPARE(o.value(QStringLiteral("Device")).toString(),
                 QStringLiteral("BOARD-%1").arg(i + 1));
        QCOMPARE(o.value(QStringLiteral("Mac")).toString(), boards_[size_t(i)].mac());
        QCOMPARE(o.value(QStringLiteral("state")).toString(), QStringLiteral("present"));
    }
    r = station({QStringLiteral("history"), QStringLiteral("--changes"), QStringLiteral("--since"),
                 QStringLiteral("1h")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.count(QRegularExpression(QStringLiteral(" seg0 +added +BOARD-\\d .* watch"))),
             kBoards);
    r = station({QStringLiteral("history"), QStringLiteral("-i"), QStringLiteral("seg9")});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err, QStringLiteral("l2station: nothing in the history for seg9\n"));

    const QString file = data.filePath(QStringLiteral("l2station/history.sqlite"));
    QVERIFY(QFile::remove(file));
    QVERIFY(writeFile(file, "notes, not a history\n"));
    r = station({QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("--fast")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains(QStringLiteral("not an SQLite database; it is left as it is")) &&
                 r.err.contains(QStringLiteral("; watching without it")),
             qPrintable(r.err));
    QCOMPARE(r.out.count(QStringLiteral(" added ")), kBoards);
    QFile kept(file);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("notes, not a history\n"));
    r = station({QStringLiteral("history")});
    QCOMPARE(r.exitCode, 8);
    qputenv("XDG_DATA_HOME", home);
}

// Behind a learning bridge every board is listed, by its own address, run after run.
void TestStationE2e::infoListsEveryBoardEveryRun() {
    for (int run = 0; run < 5; ++run) {
        const Result r = station({QStringLiteral("info"), QStringLiteral("-i"),
                                  QStringLiteral("seg0"), QStringLiteral("--fast")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("\n4 boards answered on seg0 in ")),
                 qPrintable(r.out));
        const QStringList lines = rows(r);
        QCOMPARE(lines.size(), kBoards);
        for (int i = 1; i <= kBoards; ++i) {
            // In order: Device, then HardId.
            const QRegularExpression row(QStringLiteral("^BOARD-%1 +1\\.%1\\.0 +PX%1 +0000000%1 +"
                                                        "192\\.0\\.2\\.1%1 +%2 +[0-9.]+$")
                                             .arg(i)
                                             .arg(boards_[size_t(i - 1)].mac()));
            QVERIFY2(row.match(lines.at(i - 1)).hasMatch(), qPrintable(r.out));
        }
        QCOMPARE(r.err, QString());
    }
}

void TestStationE2e::infoJson() {
    const Result r =
        station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("-w"), QStringLiteral("500"), QStringLiteral("--json")});
    QCOMPARE(r.exitCode, 0);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out.toUtf8(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(doc.isArray());
    QSet<QString> devices;
    for (const QJsonValue &v : doc.array()) {
        const QJsonObject o = v.toObject();
        const QString device = o.value(QStringLiteral("Device")).toString();
        const QString n = device.mid(6);
        devices.insert(device);
        QCOMPARE(o.value(QStringLiteral("Product")).toString(), QStringLiteral("PX") + n);
        QCOMPARE(o.value(QStringLiteral("HardId")).toString(), QStringLiteral("0000000") + n);
        QCOMPARE(o.value(QStringLiteral("IpAddress")).toArray(),
                 QJsonArray{QStringLiteral("192.0.2.1") + n});
        QCOMPARE(o.value(QStringLiteral("Mac")).toString(), boards_[size_t(n.toInt() - 1)].mac());
    }
    QCOMPARE(devices.size(), kBoards);
    QCOMPARE(doc.array().size(), kBoards);
    QVERIFY(r.err.startsWith(QStringLiteral("4 boards answered")));
}

void TestStationE2e::infoFirst() {
    QElapsedTimer timer;
    timer.start();
    const Result r =
        station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("-w"), QStringLiteral("20000"), QStringLiteral("--first")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(timer.elapsed() < 10000, "--first returns at the first reply, not after the window");
    QVERIFY(r.out.contains(QStringLiteral("1 board answered")));
}

// Every board's round trips on their own, none counted as another's duplicate.
void TestStationE2e::ping() {
    const Result r =
        station({QStringLiteral("ping"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("-c"), QStringLiteral("5"), QStringLiteral("--interval"),
                 QStringLiteral("100"), QStringLiteral("-W"), QStringLiteral("500")});
    QCOMPARE(r.exitCode, 0);
    for (const Board &board : boards_) {
        QVERIFY2(r.out.contains(QStringLiteral("--- %1 l2station ping statistics ---\n"
                                               "5 packets transmitted, 5 received, 0% packet loss")
                                    .arg(board.mac())),
                 qPrintable(r.out));
    }
    QCOMPARE(r.out.count(QStringLiteral("(DUP!)")), 0);
    QVERIFY(!r.out.contains(QStringLiteral("payload differs")));
}

void TestStationE2e::send() {
    const Result r = station({QStringLiteral("send"), QStringLiteral("-i"), QStringLiteral("seg0"),
                              QStringLiteral("-w"), QStringLiteral("500"), QStringLiteral("--hex"),
                              QStringLiteral("68690001")});
    QCOMPARE(r.exitCode, 0);
    // The station pads its request to the 60-byte Ethernet minimum; the echo carries it back,
    // shown as padding, not as text.
    const QString text = QStringLiteral("  text: hi\\x00\\x01 (42 zero bytes of padding)\n");
    QVERIFY2(r.out.count(text) == kBoards, qPrintable(r.out));
    QVERIFY(r.out.contains(QStringLiteral("4 replies on seg0")));
    for (const Board &board : boards_) {
        QVERIFY(r.out.contains(QStringLiteral(" from %1: 60 bytes after ").arg(board.mac())));
    }
}

// Twice in a row, as a switch that has learned every address delivers it: each script runs
// once per reset, and the boards say so.
void TestStationE2e::resetReachesEveryBoardOnce() {
    for (int round = 1; round <= 2; ++round) {
        const Result r = station({QStringLiteral("reset"), QStringLiteral("-i"),
                                  QStringLiteral("seg0"), QStringLiteral("--yes")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("4 boards in board-address mode acknowledged it")),
                 qPrintable(r.out));
        for (const Board &board : boards_) {
            QVERIFY(r.out.contains(QStringLiteral("  %1\n").arg(board.mac())));
            QTRY_COMPARE_WITH_TIMEOUT(board.resets(), round, 10000);
        }
    }
}

// --board reaches its board and no other.
void TestStationE2e::oneBoardAtATime() {
    const Board &two = boards_[1];
    const QString mac = two.mac();
    QList<int> resets;
    for (const Board &board : boards_) {
        resets.append(board.resets());
    }
    const Result reset =
        station({QStringLiteral("reset"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("--yes"), QStringLiteral("--board"), mac.toLower()});
    QCOMPARE(reset.exitCode, 0);
    QVERIFY(reset.out.contains(QStringLiteral("%1 acknowledged it").arg(mac)));
    QTRY_COMPARE_WITH_TIMEOUT(two.resets(), resets.at(1) + 1, 10000);
    QList<int> pings;
    for (const Board &board : boards_) {
        pings.append(board.agent->log().count(QStringLiteral("seq=1;")));
    }
    const Result ping =
        station({QStringLiteral("ping"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("-c"), QStringLiteral("2"), QStringLiteral("--interval"),
                 QStringLiteral("100"), QStringLiteral("--board"), mac});
    QCOMPARE(ping.exitCode, 0);
    QVERIFY(ping.out.contains(QStringLiteral("2 packets transmitted, 2 received, 0% packet loss")));
    QVERIFY(two.agent->waitForText(QStringLiteral("seq=1;")));
    for (size_t i = 0; i < boards_.size(); ++i) {
        const Board &board = boards_[i];
        QCOMPARE(board.resets() - resets.at(int(i)), &board == &two ? 1 : 0);
        QCOMPARE(board.agent->log().count(QStringLiteral("seq=1;")) - pings.at(int(i)),
                 &board == &two ? 1 : 0);
    }
    // The whole segment's echoes came from every board; --board's only from its own.
    const Result send = station(
        {QStringLiteral("send"), QStringLiteral("-i"), QStringLiteral("seg0"), QStringLiteral("-w"),
         QStringLiteral("300"), QStringLiteral("--board"), mac, QStringLiteral("just you")});
    QVERIFY(send.out.contains(QStringLiteral("1 reply on seg0")));
}

void TestStationE2e::exitStatuses_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("no such interface")
        << QStringList{QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("nope0")} << 3
        << QStringLiteral("l2station: no such interface: nope0\n");
    QTest::newRow("silent segment")
        << QStringList{QStringLiteral("info"), QStringLiteral("-i"),  QStringLiteral("quiet0"),
                       QStringLiteral("-w"),   QStringLiteral("300"), QStringLiteral("--json")}
        << 1 << QStringLiteral("0 boards answered on quiet0 in ");
    QTest::newRow("ping, silent") << QStringList{QStringLiteral("ping"),   QStringLiteral("-i"),
                                                 QStringLiteral("quiet0"), QStringLiteral("-c"),
                                                 QStringLiteral("1"),      QStringLiteral("-W"),
                                                 QStringLiteral("200")}
                                  << 1 << QString();
    QTest::newRow("usage") << QStringList{QStringLiteral("reset")} << 2
                           << QStringLiteral("l2station: reset needs --yes");
    QTest::newRow("the station's link has no carrier")
        << QStringList{QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("dark0")} << 6
        << QStringLiteral("l2station: dark0 has no carrier: no cable, or the other end is off or "
                          "down\n");
    QTest::newRow("loopback") << QStringList{QStringLiteral("ping"), QStringLiteral("-ilo")} << 2
                              << QStringLiteral("l2station: lo is a loopback interface");
    QTest::newRow("a reset sent by accident")
        << QStringList{QStringLiteral("send"), QStringLiteral("-i"), QStringLiteral("seg0"),
                       QStringLiteral("req:kiv+init please ignore")}
        << 2 << QStringLiteral("l2station: DATA begins with the reset keyword req:kiv+init");
    QTest::newRow("a board that is not there")
        << QStringList{QStringLiteral("reset"),   QStringLiteral("-i"),
                       QStringLiteral("quiet0"),  QStringLiteral("--yes"),
                       QStringLiteral("--board"), QStringLiteral("02:00:00:00:00:09")}
        << 1
        << QStringLiteral("l2station: reset request sent to 02:00:00:00:00:09 on quiet0, but it "
                          "did not acknowledge it");
}

void TestStationE2e::exitStatuses() {
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    const Result r = station(args);
    QCOMPARE(r.exitCode, status);
    QVERIFY2(r.err.startsWith(message), qPrintable(r.err));
    if (args.contains(QStringLiteral("--json"))) {
        QCOMPARE(r.out.trimmed(), QStringLiteral("[\n]"));
    }
    // Nothing reached the boards: an info round after it finds every script run as before.
    for (const Board &board : boards_) {
        QCOMPARE(board.resets(), board.agent->logCount(QStringLiteral("start reset all")));
    }
}

// Anyone on the segment can pose as a board: its texts must not reach the terminal raw.
void TestStationE2e::hostileBoardEscaped() {
    Netns evil(QStringLiteral("evil"));
    QVERIFY(evil.ok());
    QVERIFY(addVeth(evil, QStringLiteral("eth1"), *segment_, QStringLiteral("pevil"), QString(),
                    true, QStringLiteral("quiet0")));
    PacketSocket board;
    QVERIFY(board.open(evil.name(), QStringLiteral("eth1")));
    QProcess process;
    process.start(QStringLiteral("ip"),
                  {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(),
                   stationBinary(), QStringLiteral("info"), QStringLiteral("-i"),
                   QStringLiteral("quiet0"), QStringLiteral("-w"), QStringLiteral("2000")});
    QVERIFY(!board.receive(10000, kStationMac, kServiceMac).isEmpty());
    const QByteArray header = kStationMac + kServiceMac + QByteArray(2, '\0');
    QVERIFY(board.send(header + "res:kiv+info\nDevice : \x1b]0;owned\x07\x9b"
                                "2J\rX\n"
                                "Version : 1\nProduct : P\nHardId : H\nIpAddress : 10.0.0.1\n"));
    QVERIFY(board.send(header + "res:kiv+info\nDevice : \x1b[31m\n"));
    // A name that would show as ending in ".png" (a right-to-left override before "gnp.exe").
    QVERIFY(board.send(header + "res:kiv+info\nDevice : SAFE-\xe2\x80\xaegnp.exe\n"
                                "Version : 1\nProduct : P\nHardId : H2\nIpAddress : 10.0.0.2\n"));
    QVERIFY(process.waitForFinished(10000));
    const QByteArray out = process.readAllStandardOutput() + process.readAllStandardError();
    QVERIFY2(out.contains("\\x1b]0;owned\\x07\\x9b2J\\x0dX"), out.constData());
    QVERIFY2(out.contains("SAFE-\\u202egnp.exe"), out.constData());
    QVERIFY2(out.contains("1 malformed"), out.constData());
    for (const char *raw : {"\x1b", "\x07", "\r", "\xc2\x9b", "\xe2\x80\xae"}) {
        QVERIFY2(!out.contains(raw), out.constData());
    }
}

// A hostile board floods made-up replies, each another board: the deadline holds, and the
// station keeps what it bounds itself to.
void TestStationE2e::replyFloodBounded() {
    // Two forgers, so that the station's ring is never empty while it collects.
    std::vector<std::unique_ptr<Netns>> evil;
    std::vector<std::unique_ptr<PacketSocket>> sockets;
    for (int i = 0; i < 2; ++i) {
        evil.push_back(std::make_unique<Netns>(QStringLiteral("flood%1").arg(i)));
        QVERIFY(evil.back()->ok());
        QVERIFY(addVeth(*evil.back(), QStringLiteral("eth1"), *segment_,
                        QStringLiteral("pflood%1").arg(i), QString(), true,
                        QStringLiteral("quiet0")));
        sockets.push_back(std::make_unique<PacketSocket>());
        QVERIFY(sockets.back()->open(evil.back()->name(), QStringLiteral("eth1")));
    }
    std::atomic<bool> flooding{true};
    std::vector<std::thread> floods;
    for (int i = 0; i < 2; ++i) {
        floods.emplace_back([&, i] {
            const QByteArray header = kStationMac + kServiceMac + QByteArray(2, '\0');
            for (int n = 0; flooding; ++n) {
                sockets[size_t(i)]->send(header + "res:kiv+info\nDevice : EVIL-" +
                                         QByteArray::number(i) + "-" + QByteArray::number(n) +
                                         "\nVersion : 1\nProduct : P\nHardId : H\nIpAddress : "
                                         "10.0.0.1\n");
            }
        });
    }
    const Result r =
        station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("quiet0"),
                 QStringLiteral("-w"), QStringLiteral("500")});
    flooding = false;
    for (std::thread &flood : floods) {
        flood.join();
    }
    // The collection's own time, as the tool reports it: the process's start-up is not the
    // deadline's business.
    const QRegularExpressionMatch summary =
        QRegularExpression(QStringLiteral(" boards answered on quiet0 in (\\d+) ms")).match(r.out);
    QVERIFY2(summary.hasMatch(), qPrintable(r.out));
    qInfo("info -w 500 under two reply floods: %s",
          qPrintable(r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).last()));
    QVERIFY(summary.captured(1).toInt() < 1500);
    QVERIFY(r.out.count(QLatin1Char('\n')) <= kMaxBoardsShown + 2);
}

// A forger answers every round of watch as 300 boards never seen before: each board goes as it
// came, and the history keeps no more than it is told to.
// SIGTERM then ends a watch as Ctrl-C does.
void TestStationE2e::churnFloodBounded() {
    Netns evil(QStringLiteral("churn"));
    QVERIFY(evil.ok());
    QVERIFY(addVeth(evil, QStringLiteral("eth1"), *segment_, QStringLiteral("pchurn"), QString(),
                    true, QStringLiteral("quiet0")));
    PacketSocket forger;
    QVERIFY(forger.open(evil.name(), QStringLiteral("eth1")));
    std::atomic<bool> forging{true};
    std::thread forge([&] {
        for (int round = 0; forging;) {
            const QByteArray request = forger.receive(200, QByteArray(), wire::groupMac());
            const QString text = QString::fromLatin1(request.mid(wire::kHeaderLen));
            const QString tag =
                wire::requestTag(text.left(text.indexOf(QChar(0))), wire::kInfoKeyword);
            if (request.isEmpty() || tag.isEmpty()) {
                continue;
            }
            for (int n = 0; n < 300; ++n, ++round) {
                const QByteArray mac =
                    QByteArray::fromHex(QByteArray::number(0x026600000000LL + round, 16));
                forger.send(wire::buildFrame(request.mid(wire::kSrcOffset, wire::kAddressLen), mac,
                                             "res:kiv+info\nDevice : F" +
                                                 QByteArray::number(round) +
                                                 "\nVersion : 1\nProduct : P\nHardId : H\n"
                                                 "IpAddress : 10.0.0.1\n" +
                                                 wire::tagLine(tag).toLatin1()));
            }
        }
    });
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dir_.filePath(QStringLiteral("churn-data")).toUtf8());
    qputenv("L2STATION_HISTORY_BOARDS", "500");
    QElapsedTimer timer;
    timer.start();
    const Result r =
        station({QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("quiet0"),
                 QStringLiteral("--interval"), QStringLiteral("500"), QStringLiteral("--fast"),
                 QStringLiteral("-c"), QStringLiteral("12"), QStringLiteral("--json")});
    const qint64 took = timer.elapsed();
    forging = false;
    forge.join();
    const Result stats =
        station({QStringLiteral("history"), QStringLiteral("--stats"), QStringLiteral("--json")});
    // SIGTERM: the watch ends cleanly, as with Ctrl-C.
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), stationBinary(),
                 QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("quiet0")});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += watch.readAllStandardError()).contains("watching quiet0"),
                             10000);
    ::kill(pid_t(watch.processId()), SIGTERM);
    QVERIFY(watch.waitForFinished(10000));
    qputenv("XDG_DATA_HOME", data);
    qunsetenv("L2STATION_HISTORY_BOARDS");
    QCOMPARE(r.exitCode, 0);
    // How well the rounds keep their interval is measured by bench/churn.sh, not here.
    qInfo("12 rounds of 500 ms under a churn of 300 boards a round took %lld ms", took);
    QVERIFY2(r.out.count(QStringLiteral("\"event\":\"gone\"")) >= 9 * 300,
             qPrintable(QString::number(r.out.count(QLatin1Char('\n')))));
    const QJsonArray interfaces = QJsonDocument::fromJson(stats.out.toUtf8())
                                      .object()
                                      .value(QStringLiteral("interfaces"))
                                      .toArray();
    QCOMPARE(interfaces.size(), 1);
    const int kept = interfaces.at(0).toObject().value(QStringLiteral("boards")).toInt();
    QVERIFY2(kept >= 500 && kept <= 500 + 10 * 300, qPrintable(stats.out));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
}

// A board in the default mode joins the segment: the four are still listed, and the station
// warns that a switch may hide boards at the shared address.
void TestStationE2e::defaultBoardJoins() {
    Board board;
    QVERIFY(addBoard(&board, 8, QStringLiteral("seg0"), DefaultMode));
    QVERIFY(board.agent->waitForLine(kStart));
    for (int run = 0; run < 3; ++run) {
        const Result r = station({QStringLiteral("info"), QStringLiteral("-i"),
                                  QStringLiteral("seg0"), QStringLiteral("--fast")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("\n5 boards answered")), qPrintable(r.out));
        QVERIFY(rows(r)
                    .filter(QRegularExpression(QStringLiteral("^BOARD-8 .* shared +[0-9.]+$")))
                    .size() == 1);
        QVERIFY2(r.err.contains(QStringLiteral("switch")), qPrintable(r.err));
    }
}

// An older board holds its reply for libpcap's 500 ms buffer timeout; the default rule lists it
// beside the fast agents every time.
void TestStationE2e::mixedFleetListedByDefault() {
    if (classicResponderBinary().isEmpty()) {
        QSKIP("the classic responder is one of the bench programs: built with -DL2_BENCH=ON");
    }
    Board classic;
    QVERIFY(addBoard(&classic, 5, QStringLiteral("seg0"), DefaultMode, {}, {},
                     classicResponderBinary()));
    QVERIFY(classic.agent->waitForLine(QStringLiteral("ready")));
    for (int run = 0; run < 5; ++run) {
        const Result r =
            station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("5 boards answered on seg0")), qPrintable(r.out));
        QVERIFY(r.out.contains(QStringLiteral("\nBOARD-A7 ")));
    }
}

// A new hardware address is followed without a restart.
void TestStationE2e::addressChangeFollowed() {
    const Board &four = boards_[3];
    QVERIFY(four.ns->ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("eth1"),
                         QStringLiteral("address"), QStringLiteral("02:4c:32:00:00:44")}));
    QVERIFY(four.agent->waitForLine(
        QStringLiteral("\"link 'eth1' address changed to 02:4C:32:00:00:44\"")));
    const Result r = station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0"),
                              QStringLiteral("--fast")});
    QVERIFY2(rows(r).filter(QStringLiteral(" 02:4C:32:00:00:44 ")).size() == 1, qPrintable(r.out));
    const Result ping = station({QStringLiteral("ping"), QStringLiteral("-i"),
                                 QStringLiteral("seg0"), QStringLiteral("-c"), QStringLiteral("1"),
                                 QStringLiteral("--board"), QStringLiteral("02:4c:32:00:00:44")});
    QCOMPARE(ping.exitCode, 0);
    QCOMPARE(four.agent->logCount(kStart), 1);
}

// Another station's requests draw replies too; they are not this run's boards.
void TestStationE2e::infoBesideWatch() {
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), stationBinary(),
                 QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("--fast"), QStringLiteral("--interval"), QStringLiteral("200")});
    QVERIFY(watch.waitForStarted());
    for (int run = 0; run < 3; ++run) {
        const Result r =
            station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0")});
        QVERIFY2(r.out.contains(QStringLiteral("\n4 boards answered")), qPrintable(r.out));
        QCOMPARE(rows(r).size(), kBoards);
    }
    watch.terminate();
    QVERIFY(watch.waitForFinished(5000));
    const QString seen = QString::fromUtf8(watch.readAllStandardOutput());
    QCOMPARE(seen.count(QStringLiteral(" added ")), kBoards);
    QCOMPARE(seen.count(QStringLiteral(" gone ")), 0);
}

// watch sees a board come and go; that board's two-line ID file reaches info whole.
void TestStationE2e::watchAndWholeValues() {
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), stationBinary(),
                 QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("--fast"), QStringLiteral("--interval"), QStringLiteral("300"),
                 QStringLiteral("--json")});
    QByteArray lines;
    const auto seen = [&](const char *event, const QString &device) {
        lines += watch.readAllStandardOutput();
        for (const QByteArray &line : lines.split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value(QStringLiteral("event")).toString() == QLatin1String(event) &&
                o.value(QStringLiteral("board")).toObject().value(QStringLiteral("Device")) ==
                    device) {
                return true;
            }
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(seen("added", QStringLiteral("BOARD-1")), 10000);
    Board extra;
    QVERIFY(addBoard(&extra, 6, QStringLiteral("seg0"), BoardAddress, "  PX6\r\nrev B\n"));
    QTRY_VERIFY_WITH_TIMEOUT(seen("added", QStringLiteral("BOARD-6")), 15000);

    const Result table =
        station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0")});
    QVERIFY2(table.out.contains(QStringLiteral(" PX6\\x0d\\x0arev B ")), qPrintable(table.out));
    const Result json = station({QStringLiteral("info"), QStringLiteral("-i"),
                                 QStringLiteral("seg0"), QStringLiteral("--json")});
    QStringList products;
    for (const QJsonValue &v : QJsonDocument::fromJson(json.out.toUtf8()).array()) {
        products.append(v.toObject().value(QStringLiteral("Product")).toString());
    }
    QVERIFY2(products.contains(QStringLiteral("PX6\r\nrev B")), qPrintable(json.out));

    extra.agent->stop();
    QTRY_VERIFY_WITH_TIMEOUT(seen("gone", QStringLiteral("BOARD-6")), 15000);
    QVERIFY(!seen("gone", QStringLiteral("BOARD-1")));
    watch.terminate();
    QVERIFY(watch.waitForFinished(5000));
}

// The station's own link loses its carrier: watch says so, waits, says when it is back, and
// reports no board gone.
void TestStationE2e::watchWaitsForItsLink() {
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("stw0"),
                          QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"),
                          QStringLiteral("name"), QStringLiteral("stw1")}));
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("stw1"),
                          QStringLiteral("master"), QStringLiteral("seg0"), QStringLiteral("up")}));
    QVERIFY(setLinkUp(*segment_, QStringLiteral("stw0"), true));
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), stationBinary(),
                 QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("stw0"),
                 QStringLiteral("--fast"), QStringLiteral("--interval"), QStringLiteral("200"),
                 QStringLiteral("-c"), QStringLiteral("12")});
    QString seen;
    const auto saw = [&](const QString &text) {
        seen += QString::fromUtf8(watch.readAllStandardOutput());
        return seen.count(text);
    };
    QTRY_COMPARE_WITH_TIMEOUT(saw(QStringLiteral(" added ")), kBoards, 10000);
    QVERIFY(setLinkUp(*segment_, QStringLiteral("stw1"), false));
    QTRY_VERIFY_WITH_TIMEOUT(saw(QStringLiteral(" link stw0 down: stw0 has no carrier")) == 1,
                             10000);
    QVERIFY(setLinkUp(*segment_, QStringLiteral("stw1"), true));
    QTRY_VERIFY_WITH_TIMEOUT(saw(QStringLiteral(" link stw0 up again")) == 1, 10000);
    // The rounds left run with the link back (those it was down for do not count): every
    // board still there, none gone.
    QVERIFY(watch.waitForFinished(15000));
    QCOMPARE(saw(QStringLiteral(" gone ")), 0);
    QCOMPARE(saw(QStringLiteral(" added ")), kBoards);
}

// Two boards cloned from one image, in board-address mode: two boards, each by its address.
void TestStationE2e::clonesAreTwoBoards() {
    std::vector<Board> clones(2);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(addBoard(&clones[size_t(i)], 15 + i, QStringLiteral("quiet0"), BoardAddress,
                         "PXC\n", "#!/bin/sh\n", {}, "BOARD-CLONE\n1.0\n"));
    }
    for (const Board &clone : clones) {
        QVERIFY(clone.agent->waitForLine(kStart));
    }
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), stationBinary(),
                 QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("quiet0"),
                 QStringLiteral("--fast"), QStringLiteral("--interval"), QStringLiteral("200"),
                 QStringLiteral("-c"), QStringLiteral("4")});
    QVERIFY(watch.waitForFinished(15000));
    const QString out = QString::fromUtf8(watch.readAllStandardOutput());
    QCOMPARE(out.count(QStringLiteral(" added BOARD-CLONE ")), 2);
    for (const Board &clone : clones) {
        QVERIFY2(out.contains(QStringLiteral(" %1\n").arg(clone.mac())), qPrintable(out));
    }
    QCOMPARE(out.count(QStringLiteral(" changed ")), 0);
}

// A board in the default mode, whose reset takes its link down for 2 s: silent, then back.
void TestStationE2e::resetWaitsForTheBoard() {
    Board board;
    QVERIFY(addBoard(&board, 7, QStringLiteral("quiet0"), DefaultMode, {},
                     "#!/bin/sh\nip link set eth1 down\nsleep 2\nip link set eth1 up\n"));
    QVERIFY(board.agent->waitForLine(kStart));
    const Result r =
        station({QStringLiteral("reset"), QStringLiteral("-i"), QStringLiteral("quiet0"),
                 QStringLiteral("--yes"), QStringLiteral("--wait"), QStringLiteral("-w"),
                 QStringLiteral("30000")});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    const QRegularExpression back(QStringLiteral("^BOARD-7 PX7 00000007 back after ([0-9.]+) s$"),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = back.match(r.out);
    QVERIFY2(m.hasMatch(), qPrintable(r.out));
    QVERIFY(m.captured(1).toDouble() >= 2.0);
    QVERIFY(r.out.contains(QStringLiteral("1 of 1 board back on quiet0")));
    QVERIFY(r.err.contains(QStringLiteral("went silent after")));
}

// reset --wait on a board in board-address mode tells a restart of its agent from an agent
// that kept running, and from a board that never came back, each with its own status.
void TestStationE2e::resetWaitKnowsARestart_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("respawn");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::newRow("its script does nothing")
        << 21 << QByteArray("#!/bin/sh\necho reset >> reset.log\n") << false << 7
        << QStringLiteral("did not restart: still the same run of its agent");
    QTest::newRow("its script restarts the agent")
        << 22 << QByteArray("#!/bin/sh\necho reset >> reset.log\nkill $(cat agent.pid)\n") << true
        << 0 << QStringLiteral("back after ");
    QTest::newRow("its script takes the link down for good")
        << 23 << QByteArray("#!/bin/sh\necho reset >> reset.log\nip link set eth1 down\n") << false
        << 1 << QStringLiteral("not back (silent since ");
}

void TestStationE2e::resetWaitKnowsARestart() {
    QFETCH(int, n);
    QFETCH(QByteArray, script);
    QFETCH(bool, respawn);
    QFETCH(int, status);
    QFETCH(QString, said);
    QString program;
    if (respawn) {
        // The agent again whenever it ends, as a service manager restarts it.
        program = dir_.filePath(QStringLiteral("respawn%1").arg(n));
        QVERIFY(writeFile(program,
                          QStringLiteral("#!/bin/sh\nwhile :; do\n    %1 --board-address \"$@\" &\n"
                                         "    echo $! > agent.pid\n    wait $!\ndone\n")
                              .arg(agentBinary())
                              .toUtf8(),
                          true));
    }
    Board board;
    QVERIFY(addBoard(&board, n, QStringLiteral("quiet0"), BoardAddress, {}, script, program));
    QVERIFY(board.agent->waitForLine(kStart));
    const Result r =
        station({QStringLiteral("reset"), QStringLiteral("-i"), QStringLiteral("quiet0"),
                 QStringLiteral("--yes"), QStringLiteral("--wait"), QStringLiteral("--board"),
                 board.mac(), QStringLiteral("-w"), QStringLiteral("8000")});
    QVERIFY2(r.exitCode == status, qPrintable(r.out + r.err));
    QVERIFY2(r.out.contains(
                 QStringLiteral("BOARD-%1 PX%1 0000000%1 %2 %3").arg(n).arg(board.mac(), said)),
             qPrintable(r.out));
    QCOMPARE(board.resets(), 1);
    // The history keeps the reset with what came of it, and the board's silence as part of it.
    const Result kept = station({QStringLiteral("history"), QStringLiteral("--changes"),
                                 QStringLiteral("--board"), board.mac(), QStringLiteral("--json")});
    QCOMPARE(kept.exitCode, 0);
    const QJsonArray changes = QJsonDocument::fromJson(kept.out.toUtf8()).array();
    QCOMPARE(changes.size(), 1);
    const QJsonObject reset = changes.at(0).toObject();
    QCOMPARE(reset.value(QStringLiteral("event")).toString(), QStringLiteral("reset"));
    QCOMPARE(reset.value(QStringLiteral("program")).toString(), QStringLiteral("reset"));
    QVERIFY2(reset.value(QStringLiteral("outcome")).toString().startsWith(said),
             qPrintable(kept.out));
}

// Two stations on one learning segment, each in its own namespace on its own port with its own
// address: a watch on one, the window on the other (a second watch where the window is not
// built), and info on both at once, for a minute. Each station gets its own replies: no board
// in board-address mode is ever gone or missing, and nothing is counted twice.
void TestStationE2e::twoStationsOneSegment() {
    QVERIFY(addBridge(QStringLiteral("two0")));
    std::vector<Board> fleet(5);
    QStringList macs;
    for (int i = 0; i < 5; ++i) {
        QVERIFY(addBoard(&fleet[size_t(i)], 31 + i, QStringLiteral("two0"),
                         i < 4 ? BoardAddress : DefaultMode));
    }
    for (int i = 0; i < 5; ++i) {
        QVERIFY(fleet[size_t(i)].agent->waitForLine(kStart));
        if (i < 4) {
            macs.append(fleet[size_t(i)].mac());
        }
    }
    Netns a(QStringLiteral("sta"));
    Netns b(QStringLiteral("stb"));
    QVERIFY(a.ok() && b.ok());
    QVERIFY(addVeth(a, QStringLiteral("eth0"), *segment_, QStringLiteral("psta"), QString(), true,
                    QStringLiteral("two0")));
    QVERIFY(addVeth(b, QStringLiteral("eth0"), *segment_, QStringLiteral("pstb"), QString(), true,
                    QStringLiteral("two0")));
    const QString homeA = dir_.filePath(QStringLiteral("station-a"));
    const QString homeB = dir_.filePath(QStringLiteral("station-b"));
    const auto in = [](const Netns &ns, const QString &home, const QStringList &command) {
        return QStringList{QStringLiteral("netns"),
                           QStringLiteral("exec"),
                           ns.name(),
                           QStringLiteral("env"),
                           QStringLiteral("XDG_DATA_HOME=") + home,
                           QStringLiteral("QT_QPA_PLATFORM=offscreen")} +
               command;
    };
    const QString eth0 = QStringLiteral("eth0");
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                in(a, homeA,
                   {stationBinary(), QStringLiteral("watch"), QStringLiteral("-i"), eth0,
                    QStringLiteral("-c"), QStringLiteral("30")}));
    // L2_GUI_BIN, like L2_STATION_BIN, runs the installed window (autopkgtest).
    const QString gui = qEnvironmentVariable("L2_GUI_BIN", QStringLiteral(L2GUI_BIN));
    QProcess second;
    second.start(QStringLiteral("ip"),
                 in(b, homeB,
                    gui.isEmpty() ? QStringList{stationBinary(), QStringLiteral("watch"),
                                                QStringLiteral("-i"), eth0}
                                  : QStringList{gui, QStringLiteral("-i"), eth0}));
    QVERIFY(watch.waitForStarted() && second.waitForStarted());
    QElapsedTimer timer;
    timer.start();
    int runs = 0;
    while (timer.elapsed() < 60000) {
        QProcess infoA;
        QProcess infoB;
        infoA.start(
            QStringLiteral("ip"),
            in(a, homeA, {stationBinary(), QStringLiteral("info"), QStringLiteral("-i"), eth0}));
        infoB.start(
            QStringLiteral("ip"),
            in(b, homeB, {stationBinary(), QStringLiteral("info"), QStringLiteral("-i"), eth0}));
        for (QProcess *info : {&infoA, &infoB}) {
            QVERIFY(info->waitForFinished(15000));
            const QString out = QString::fromUtf8(info->readAllStandardOutput());
            for (const QString &mac : macs) {
                QVERIFY2(out.count(mac) == 1, qPrintable(out));
            }
            // The board at the shared address: once at most, never as two clones.
            QVERIFY2(out.count(QStringLiteral("BOARD-35 ")) <= 1, qPrintable(out));
            QVERIFY2(!out.contains(QStringLiteral("shared x")), qPrintable(out));
            ++runs;
        }
    }
    QVERIFY(watch.waitForFinished(30000));
    second.terminate();
    QVERIFY(second.waitForFinished(10000));
    const QString watched = QString::fromUtf8(watch.readAllStandardOutput());
    const QString told = QString::fromUtf8(watch.readAllStandardError());
    for (int n = 31; n <= 34; ++n) {
        QVERIFY2(!watched.contains(QStringLiteral(" gone BOARD-%1 ").arg(n)), qPrintable(watched));
    }
    QCOMPARE(watched.count(QStringLiteral(" added ")), 5);
    QVERIFY2(
        told.contains(
            QStringLiteral("another station asks on eth0 too (from %1)").arg(linkMac(b, eth0))),
        qPrintable(told));
    // What the second station saw, as its history keeps it.
    QProcess history;
    history.start(
        QStringLiteral("ip"),
        in(b, homeB, {stationBinary(), QStringLiteral("history"), QStringLiteral("--changes")}));
    QVERIFY(history.waitForFinished(15000));
    const QString changes = QString::fromUtf8(history.readAllStandardOutput());
    QVERIFY2(changes.count(QStringLiteral(" added ")) == 5, qPrintable(changes));
    for (int n = 31; n <= 34; ++n) {
        QVERIFY2(!changes.contains(QRegularExpression(QStringLiteral(" gone +BOARD-%1 ").arg(n))),
                 qPrintable(changes));
    }
    qInfo("%d info runs on two stations beside a watch and the window: every board listed each "
          "time, none twice",
          runs);
}

// The lab's case on purpose, a bridge that does not learn: every board in the default mode
// hears every request, so one that stopped while the others answer is gone.
void TestStationE2e::stoppedBoardGoneOnAHub() {
    QVERIFY(addBridge(QStringLiteral("hub0"), false));
    std::vector<Board> hub(3);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(addBoard(&hub[size_t(i)], 41 + i, QStringLiteral("hub0"), DefaultMode));
    }
    for (const Board &board : hub) {
        QVERIFY(board.agent->waitForLine(kStart));
    }
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), stationBinary(),
                 QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("hub0"),
                 QStringLiteral("--no-history"), QStringLiteral("--interval"),
                 QStringLiteral("1000")});
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen += watch.readAllStandardOutput()).count(" added ") == 3, 15000);
    hub[1].agent->stop();
    QTRY_VERIFY_WITH_TIMEOUT((seen += watch.readAllStandardOutput()).contains(" gone BOARD-42 "),
                             15000);
    watch.terminate();
    QVERIFY(watch.waitForFinished(5000));
    QCOMPARE(seen.count(" gone "), 1);
}

namespace {

// The agent's processor time so far, in microseconds.
double cpuMicros(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
    // After the name: state is field 3, utime 14 and stime 15 of the whole line.
    return (fields.value(12).toDouble() + fields.value(13).toDouble()) * 1e6 /
           double(sysconf(_SC_CLK_TCK));
}

} // namespace

// Keyed boards on a learning segment: only a reset that proves one of the board's keys, made
// for it now, runs its script; a recording sent again runs nothing, also after the agent
// started again; a flood of forged resets runs nothing and leaves the board answering; and a
// station with a key tells the boards that prove it from those that do not.
void TestStationE2e::keyedBoards() {
    QVERIFY(addBridge(QStringLiteral("key0")));
    const auto keyFile = [&](const QString &name) {
        const QString path = dir_.filePath(name);
        const Result made = station({QStringLiteral("key"), QStringLiteral("new"), path});
        return made.exitCode == 0 && made.out.startsWith(QStringLiteral("key ")) &&
                       QFileInfo(path).permissions() == (QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ReadUser | QFile::WriteUser)
                   ? path
                   : QString();
    };
    const QString k1 = keyFile(QStringLiteral("k1.key"));
    const QString k2 = keyFile(QStringLiteral("k2.key"));
    const QString k3 = keyFile(QStringLiteral("k3.key"));
    QVERIFY(!k1.isEmpty() && !k2.isEmpty() && !k3.isEmpty());
    QCOMPARE(station({QStringLiteral("key"), QStringLiteral("new"), k1}).exitCode, 2);
    // A board's file holds two keys, as while keys are rotated.
    const QString both = dir_.filePath(QStringLiteral("board.keys"));
    QFile a(k1), b(k2);
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    QVERIFY(writeFile(both, a.readAll() + b.readAll()));
    QVERIFY(QFile::setPermissions(both, QFile::ReadOwner | QFile::WriteOwner));
    // A key file that others may read: the agent refuses to start, naming it.
    const QString loose = dir_.filePath(QStringLiteral("loose.keys"));
    QVERIFY(QFile::copy(k1, loose) &&
            QFile::setPermissions(loose, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QProcess refused;
    refused.start(agentBinary(), {QStringLiteral("--board-address"), QStringLiteral("--key-file"),
                                  loose, QStringLiteral("eth1")});
    QVERIFY(refused.waitForFinished(10000));
    QCOMPARE(refused.exitCode(), 2);
    QVERIFY2(QString::fromUtf8(refused.readAllStandardError()).contains(loose),
             "the refusal names the file");

    std::vector<Board> boards(3);
    for (int i = 0; i < 3; ++i) {
        LabBoardSetup setup;
        setup.n = 51 + i;
        setup.bridge = QStringLiteral("key0");
        setup.keyFile = i == 0 ? both : i == 1 ? k1 : QString();
        QVERIFY(startLabBoard(&boards[size_t(i)], *segment_, dir_.path(), setup));
    }
    for (const Board &board : boards) {
        QVERIFY(board.agent->waitForLine(kStart));
    }
    Board &keyed = boards[0];
    const QString iface = QStringLiteral("key0");
    // Verified: the keyed boards with the station's key; not the unkeyed one, nor any with
    // another key.
    const auto verifiedBy = [&](const QString &key) {
        const Result r = station({QStringLiteral("info"), QStringLiteral("-i"), iface,
                                  QStringLiteral("--json"), QStringLiteral("--key-file"), key});
        QMap<QString, bool> verified;
        for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array()) {
            verified.insert(v.toObject().value(QStringLiteral("Mac")).toString(),
                            v.toObject().value(QStringLiteral("Verified")).toBool());
        }
        return verified;
    };
    const QMap<QString, bool> withK1 = verifiedBy(k1);
    QCOMPARE(withK1.size(), 3);
    QVERIFY(withK1.value(boards[0].mac()) && withK1.value(boards[1].mac()));
    QVERIFY(!withK1.value(boards[2].mac()));
    QVERIFY(!verifiedBy(k3).value(keyed.mac()));
    // Resets: none without a key or with another key; one with each of the board's keys.
    const auto reset = [&](const QStringList &extra) {
        return station(QStringList{QStringLiteral("reset"), QStringLiteral("-i"), iface,
                                   QStringLiteral("--yes"), QStringLiteral("--board"),
                                   keyed.mac()} +
                       extra)
            .exitCode;
    };
    QCOMPARE(reset({}), 1);
    QVERIFY(keyed.agent->waitForLine(QStringLiteral("\"reset refused: no key\"")));
    QCOMPARE(reset({QStringLiteral("--key-file"), k3}), 1);
    QVERIFY(keyed.agent->waitForLine(QStringLiteral("\"reset refused: unknown key id\"")));
    QCOMPARE(keyed.resets(), 0);
    PacketSocket tap;
    QVERIFY(tap.open(keyed.ns->name(), QStringLiteral("eth1")));
    QCOMPARE(reset({QStringLiteral("--key-file"), k1}), 0);
    QCOMPARE(reset({QStringLiteral("--key-file"), k2}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(keyed.resets(), 2, 10000);
    // The station's own frames of a valid reset, sent again: nothing runs, before and after
    // the agent started again.
    QByteArray recorded;
    const QByteArray stationMac = wire::macFromText(linkMac(*segment_, iface));
    for (QByteArray f = tap.receive(2000, stationMac, wire::macFromText(keyed.mac()));
         !f.isNull() && recorded.isEmpty();
         f = tap.receive(2000, stationMac, wire::macFromText(keyed.mac()))) {
        if (f.mid(wire::kHeaderLen).startsWith(wire::kResetKeyword)) {
            recorded = f;
        }
    }
    QVERIFY(!recorded.isEmpty());
    Netns evil(QStringLiteral("kevil"));
    QVERIFY(evil.ok());
    QVERIFY(addVeth(evil, QStringLiteral("eth1"), *segment_, QStringLiteral("pkevil"), QString(),
                    true, iface));
    PacketSocket forger;
    QVERIFY(forger.open(evil.name(), QStringLiteral("eth1")));
    QVERIFY(forger.send(recorded));
    QVERIFY(keyed.agent->waitForLine(QStringLiteral("\"reset refused: replayed\"")));
    QVERIFY(keyed.restart() && keyed.agent->waitForLine(kStart));
    QVERIFY(forger.send(recorded));
    QVERIFY(keyed.agent->waitForLine(QStringLiteral("\"reset refused: replayed\"")));
    QCOMPARE(keyed.resets(), 2);
    // 100 000 forged resets in 10 s, proofs made up under the board's key id.
    QByteArray forged = recorded;
    const int proofAt = forged.indexOf("Proof : ") + 8;
    const double cpuBefore = cpuMicros(keyed.agent->pid());
    QElapsedTimer flood;
    flood.start();
    std::atomic<bool> flooding{true};
    std::thread sender([&] {
        for (int i = 0; i < 100000; ++i) {
            const QByteArray hex = QByteArray::number(i, 16).rightJustified(8, '0');
            forged.replace(proofAt, 8, hex);
            forger.send(forged);
            if (i % 100 == 99) {
                // 100 every 10 ms: 10 000 a second.
                while (flood.elapsed() < (i + 1) / 10) {
                    QThread::usleep(200);
                }
            }
        }
        flooding = false;
    });
    QThread::msleep(3000);
    QElapsedTimer asked;
    asked.start();
    const Result during = station({QStringLiteral("info"), QStringLiteral("-i"), iface,
                                   QStringLiteral("--board"), keyed.mac(), QStringLiteral("--fast"),
                                   QStringLiteral("--json"), QStringLiteral("--key-file"), k1});
    const qint64 duringMs = asked.elapsed();
    sender.join();
    const qint64 floodMs = flood.elapsed();
    QVERIFY2(!flooding && floodMs < 15000, qPrintable(QString::number(floodMs)));
    QVERIFY2(during.out.contains(QStringLiteral("\"Verified\": true")), qPrintable(during.out));
    // Until the agent has handled what reached it (a full ring drops the rest, and says so).
    const QString badProof = QStringLiteral("\"reset refused: bad proof\"");
    int handled = -1;
    QElapsedTimer still;
    const auto settled = [&] {
        const int now = keyed.agent->logCount(badProof);
        if (now != handled) {
            handled = now;
            still.start();
        }
        return still.elapsed() >= 500; // no new refusal for half a second
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 60000);
    const double cpuAfter = cpuMicros(keyed.agent->pid());
    QVERIFY(handled > 0);
    QCOMPARE(keyed.resets(), 2);
    QVERIFY(keyed.agent->running());
    qInfo("100000 forged resets in %lld ms ran no script; the agent refused %d (the rest did not "
          "fit its ring) and spent %.1f us of processor time per refusal, its six log lines "
          "included; a keyed info during the flood took %lld ms, the command's start included",
          floodMs, handled, (cpuAfter - cpuBefore) / handled, duringMs);
}

// The segment's namespace has several candidate interfaces (the bridges and their ports).
void TestStationE2e::resetNeverGuessesTheSegment() {
    const Result r = station({QStringLiteral("reset"), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith(QStringLiteral("l2station: reset needs -i: ")), qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("seg0")) && r.err.contains(QStringLiteral("quiet0")));
}

// The lab's own case, on purpose: a bridge that does not learn floods every request to every
// board, so boards in the default mode are all listed there (and nowhere else).
void TestStationE2e::labBridgeDefaultBoards() {
    QVERIFY(addBridge(QStringLiteral("lab0"), false));
    std::vector<Board> lab(2);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(addBoard(&lab[size_t(i)], 11 + i, QStringLiteral("lab0"), DefaultMode));
    }
    for (const Board &board : lab) {
        QVERIFY(board.agent->waitForLine(kStart));
    }
    const Result info = station({QStringLiteral("info"), QStringLiteral("-i"),
                                 QStringLiteral("lab0"), QStringLiteral("--fast")});
    QCOMPARE(rows(info).filter(QStringLiteral(" shared ")).size(), 2);
    QVERIFY(info.err.contains(QStringLiteral("switch")));
    // They cannot be told apart on the wire: the second reply to each request is a duplicate.
    const Result ping = station({QStringLiteral("ping"), QStringLiteral("-i"),
                                 QStringLiteral("lab0"), QStringLiteral("-c"), QStringLiteral("3"),
                                 QStringLiteral("--interval"), QStringLiteral("100")});
    QVERIFY2(ping.out.contains(QStringLiteral("3 packets transmitted, 3 received, +3 duplicates")),
             qPrintable(ping.out));
}

namespace {
// A device name as a modern board's version file holds it: UTF-8.
const QByteArray kUtf8Device = "Pr\xc3\xbc"
                               "fstand-\xc3\x96lpumpe \xe6\xb5\x8b\xe8\xaf\x95";
} // namespace

// A capture of the station talking to a board of each kind, and a hostile board's malformed
// reply, read with tshark and the dissector; the names as the station shows them.
void TestStationE2e::wiresharkNamesEveryFrame() {
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    const QString dumpcap = QStandardPaths::findExecutable(QStringLiteral("dumpcap"));
    if (tshark.isEmpty() || dumpcap.isEmpty()) {
        if (qgetenv("CI") == "true") {
            QFAIL("tshark is not installed");
        }
        QSKIP("tshark is not installed");
    }
    QVERIFY(addBridge(QStringLiteral("ws0")));
    Board board;
    Board named;
    QVERIFY(addBoard(&board, 13, QStringLiteral("ws0"), DefaultMode));
    QVERIFY(addBoard(&named, 14, QStringLiteral("ws0"), BoardAddress, {}, "#!/bin/sh\n", {},
                     kUtf8Device + "\n1.14.0\n"));
    QVERIFY(board.agent->waitForLine(kStart) && named.agent->waitForLine(kStart));
    const QString iface = QStringLiteral("ws0");

    // The station shows the name exactly, in the table and in JSON.
    const Result table =
        station({QStringLiteral("info"), QStringLiteral("-i"), iface, QStringLiteral("--fast"),
                 QStringLiteral("--board"), named.mac()});
    QVERIFY2(table.out.contains(QRegularExpression(
                 QStringLiteral("\n%1 +1\\.14\\.0 +PX14 ").arg(QString::fromUtf8(kUtf8Device)))),
             qPrintable(table.out));
    const Result json =
        station({QStringLiteral("info"), QStringLiteral("-i"), iface, QStringLiteral("--fast"),
                 QStringLiteral("--json"), QStringLiteral("--board"), named.mac()});
    QCOMPARE(QJsonDocument::fromJson(json.out.toUtf8())
                 .array()
                 .first()
                 .toObject()
                 .value(QStringLiteral("Device"))
                 .toString(),
             QString::fromUtf8(kUtf8Device));

    Netns evil(QStringLiteral("evil"));
    QVERIFY(evil.ok());
    QVERIFY(addVeth(evil, QStringLiteral("eth1"), *segment_, QStringLiteral("pevil"), QString(),
                    true, QStringLiteral("ws0")));
    PacketSocket hostile;
    QVERIFY(hostile.open(evil.name(), QStringLiteral("eth1")));
    const QString capture = dir_.filePath(QStringLiteral("exchange.pcapng"));
    QProcess dump;
    dump.setProcessChannelMode(QProcess::MergedChannels);
    dump.start(QStringLiteral("ip"),
               {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), dumpcap,
                QStringLiteral("-q"), QStringLiteral("-c"), QStringLiteral("20"),
                QStringLiteral("-i"), iface, QStringLiteral("-f"),
                // The station's frames and the boards': its own address's other traffic (IPv6
                // neighbour discovery) would count against -c.
                QStringLiteral("ether host 00:11:22:33:44:55 or ether dst 67:77:88:99:aa:bb or "
                               "ether proto 0x88b5 or ether proto 0x88b6 or ether[12:2] = 0"),
                QStringLiteral("-w"), capture});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += dump.readAll()).contains("Capturing on"), 15000);
    // info, send and reset each go to the group address and to the shared one.
    QCOMPARE(
        station({QStringLiteral("info"), QStringLiteral("-i"), iface, QStringLiteral("--fast")})
            .exitCode,
        0);
    QCOMPARE(station({QStringLiteral("send"), QStringLiteral("-i"), iface, QStringLiteral("-w"),
                      QStringLiteral("300"), QStringLiteral("hello board")})
                 .exitCode,
             0);
    QCOMPARE(
        station({QStringLiteral("reset"), QStringLiteral("-i"), iface, QStringLiteral("--yes")})
            .exitCode,
        0);
    QVERIFY(board.agent->waitForLine(QStringLiteral("start reset all")));
    QVERIFY(hostile.send(kStationMac + kServiceMac + QByteArray(2, '\0') +
                         "res:kiv+info\nDevice : D\x1b[2J\xe2\x80\xaegnp.exe\n"));
    // dumpcap ends by itself after the twentieth frame, the hostile one.
    QVERIFY2(dump.waitForFinished(10000), "fewer frames than sent were captured");

    const auto fields = [&](const QString &filter, const QStringList &names) {
        QStringList args{QStringLiteral("-r"),
                         capture,
                         QStringLiteral("-X"),
                         QStringLiteral("lua_script:" L2_SOURCE_DIR "/wireshark/l2svc.lua"),
                         QStringLiteral("-Y"),
                         filter,
                         QStringLiteral("-T"),
                         QStringLiteral("fields")};
        for (const QString &name : names) {
            args << QStringLiteral("-e") << name;
        }
        QProcess read;
        read.start(tshark, args);
        read.waitForFinished(30000);
        return QString::fromUtf8(read.readAllStandardOutput())
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    };
    QStringList rows = fields(QStringLiteral("l2svc"),
                              {QStringLiteral("l2svc.kind"), QStringLiteral("l2svc.addressing"),
                               QStringLiteral("l2svc.device"), QStringLiteral("l2svc.product"),
                               QStringLiteral("l2svc.ipaddress"), QStringLiteral("l2svc.text"),
                               QStringLiteral("l2svc.tag"), QStringLiteral("l2svc.start"),
                               QStringLiteral("_ws.expert.message")});
    // Which of the two boards answers first varies; the set of frames does not.
    for (QString &row : rows) {
        row.replace(QRegularExpression(QStringLiteral("([\t#])[0-9a-z]{12}(?=\t|$)")),
                    QStringLiteral("\\1TAG"));
        row.replace(QRegularExpression(QStringLiteral("\t[0-9a-f]{16}\t")),
                    QStringLiteral("\tSTART\t"));
    }
    rows.sort();
    const QString shared = QStringLiteral("shared service address");
    const QString group = QStringLiteral("group address (board-address mode)");
    const QString copy = group + QStringLiteral(", copy for agents before 1.3");
    const QString own = QStringLiteral("board's own address (board-address mode)");
    // info, and reset's look before it: each request to the group address from the station's
    // own address and, for older agents, from the station address; and to the shared address.
    QStringList info{
        QStringLiteral("info-request\t%1\t\t\t\treq:kiv+info\t\t\t").arg(shared),
        QStringLiteral("info-request\t%1\t\t\t\treq:kiv+info #TAG\tTAG\t\t").arg(group),
        QStringLiteral("info-request\t%1\t\t\t\treq:kiv+info #TAG\tTAG\t\t").arg(copy),
        QStringLiteral("info-reply\t%1\tBOARD-13\tPX13\t192.0.2.23\t\t\t\t").arg(shared),
        QStringLiteral("info-reply\t%1\t%2\tPX14\t192.0.2.24\t\tTAG\tSTART\t")
            .arg(own, QString::fromUtf8(kUtf8Device))};
    QStringList expected = info + info;
    expected << QStringLiteral("echo-request\t%1\t\t\t\thello board\t\t\t").arg(shared)
             << QStringLiteral("echo-request\t%1\t\t\t\thello board\t\t\t").arg(group)
             << QStringLiteral("echo-request\t%1\t\t\t\thello board\t\t\t").arg(copy)
             << QStringLiteral("echo-reply\t%1\t\t\t\thello board\t\t\t").arg(shared)
             << QStringLiteral("echo-reply\t%1\t\t\t\thello board\t\t\t").arg(own)
             << QStringLiteral("reset-request\t%1\t\t\t\treq:kiv+init\t\t\t").arg(shared)
             << QStringLiteral("reset-request\t%1\t\t\t\treq:kiv+init #TAG\tTAG\t\t").arg(group)
             << QStringLiteral("reset-request\t%1\t\t\t\treq:kiv+init #TAG\tTAG\t\t").arg(copy)
             << QStringLiteral("reset-ack\t%1\t\t\t\t\tTAG\tSTART\t").arg(own)
             // Control bytes and a right-to-left override never reach a field raw.
             << QStringLiteral(
                    "info-reply\t%1\tD\\x1b[2J\\u202egnp.exe\t\t\t\t\t\tmissing Version, "
                    "Product, HardId, IpAddress")
                    .arg(shared);
    expected.sort();
    QCOMPARE(rows.join(QLatin1Char('\n')), expected.join(QLatin1Char('\n')));
    // Ethernet keeps its own fields: eight frames to or from the shared address.
    QCOMPARE(
        fields(QStringLiteral("eth.addr == 66:77:88:99:aa:bb"), {QStringLiteral("frame.number")})
            .size(),
        8);
    // The Info column names the board as the station does.
    QVERIFY(
        fields(QStringLiteral("l2svc.kind == \"info-reply\""), {QStringLiteral("_ws.col.Info")})
            .contains(QStringLiteral("Info reply: %1 PX14").arg(QString::fromUtf8(kUtf8Device))));
}

bool TestStationE2e::startServer() {
#ifndef L2_POSTGRESQL
    qWarning("this l2station is built without PostgreSQL support");
    return false;
#endif
    if (pg_) {
        return true;
    }
    pg_ = std::make_unique<PgServer>();
    QString error;
    if (!pg_->start(&error)) {
        qWarning("%s", qPrintable(error));
        pg_.reset();
        return false;
    }
    return true;
}

// Two lines, each a learning segment with its own station, write one history on a server at
// once; the supervisor's questions are answered across both.
void TestStationE2e::twoLinesOneServerHistory() {
    QVERIFY(startServer());
    QString error;
    QVERIFY2(pg_->createDatabase(QStringLiteral("plant"), &error), qPrintable(error));
    const QString url = pg_->url(QStringLiteral("plant"));
    std::vector<Board> fleet(4);
    for (int line = 1; line <= 2; ++line) {
        const QString bridge = QStringLiteral("line%1").arg(line);
        QVERIFY(addBridge(bridge));
        for (int i = 0; i < 2; ++i) {
            QVERIFY(addBoard(&fleet[size_t((line - 1) * 2 + i)], 40 + (line - 1) * 2 + i, bridge));
        }
    }
    for (const Board &b : fleet) {
        QVERIFY(b.agent->waitForLine(kStart));
    }
    // Both stations start at once: the one that comes second waits for the other's migration.
    std::vector<std::unique_ptr<QProcess>> watches;
    for (int line = 1; line <= 2; ++line) {
        auto watch = std::make_unique<QProcess>();
        watch->start(QStringLiteral("ip"),
                     {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(),
                      stationBinary(), QStringLiteral("watch"), QStringLiteral("-i"),
                      QStringLiteral("line%1").arg(line), QStringLiteral("-c"), QStringLiteral("3"),
                      QStringLiteral("--fast"), QStringLiteral("--interval"), QStringLiteral("200"),
                      QStringLiteral("--history"), url, QStringLiteral("--station-name"),
                      QStringLiteral("line-%1").arg(line)});
        watches.push_back(std::move(watch));
    }
    for (auto &watch : watches) {
        QVERIFY(watch->waitForFinished(60000));
        QCOMPARE(watch->exitCode(), 0);
        const QString err = QString::fromUtf8(watch->readAllStandardError());
        QVERIFY2(!err.contains(QStringLiteral("history")), qPrintable(err));
    }
    Result r = station(
        {QStringLiteral("history"), QStringLiteral("--history"), url, QStringLiteral("--json")});
    QCOMPARE(r.exitCode, 0);
    QStringList seen;
    for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        seen.append(QStringLiteral("%1 %2 %3")
                        .arg(o.value(QStringLiteral("station")).toString(),
                             o.value(QStringLiteral("interface")).toString(),
                             o.value(QStringLiteral("Device")).toString()));
    }
    QCOMPARE(seen, QStringList({QStringLiteral("line-1 line1 BOARD-40"),
                                QStringLiteral("line-1 line1 BOARD-41"),
                                QStringLiteral("line-2 line2 BOARD-42"),
                                QStringLiteral("line-2 line2 BOARD-43")}));
    // Where is this board, and what did line 2 see?
    r = station({QStringLiteral("history"), QStringLiteral("--history"), url,
                 QStringLiteral("--board"), fleet[3].mac()});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QStringLiteral("BOARD-43")) &&
                 !r.out.contains(QStringLiteral("BOARD-42")),
             qPrintable(r.out));
    r = station({QStringLiteral("history"), QStringLiteral("--history"), url,
                 QStringLiteral("--station"), QStringLiteral("line-2"),
                 QStringLiteral("--changes")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.count(QRegularExpression(QStringLiteral(" line2 +added +BOARD-4[23] "))), 2);
    QVERIFY2(!r.out.contains(QStringLiteral("BOARD-40")), qPrintable(r.out));
}

// The server stopped and started under a running watch: the board that joined meanwhile is in
// the history afterwards, with the time it joined, and watch said what it kept and wrote.
void TestStationE2e::watchThroughServerOutage() {
    QVERIFY(startServer());
    QString error;
    QVERIFY2(pg_->createDatabase(QStringLiteral("outage"), &error), qPrintable(error));
    const QString url = pg_->url(QStringLiteral("outage"));
    QVERIFY(addBridge(QStringLiteral("out0")));
    std::vector<Board> fleet(2);
    QVERIFY(addBoard(&fleet[0], 46, QStringLiteral("out0")));
    QVERIFY(fleet[0].agent->waitForLine(kStart));
    QProcess watch;
    watch.start(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), stationBinary(),
                 QStringLiteral("watch"), QStringLiteral("-i"), QStringLiteral("out0"),
                 QStringLiteral("--fast"), QStringLiteral("--interval"), QStringLiteral("300"),
                 QStringLiteral("--history"), url});
    QString out;
    QString err;
    const auto read = [&] {
        out += QString::fromUtf8(watch.readAllStandardOutput());
        err += QString::fromUtf8(watch.readAllStandardError());
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(read() && out.contains(QStringLiteral("BOARD-46")), 20000);
    // The first round is in the history before the server goes.
    QTRY_VERIFY_WITH_TIMEOUT(station({QStringLiteral("history"), QStringLiteral("--history"), url})
                                 .out.contains(QStringLiteral("BOARD-46")),
                             20000);
    QVERIFY2(pg_->stopServer(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(read() && err.contains(QStringLiteral("rounds are kept")), 20000);
    const QDateTime joined = QDateTime::currentDateTime();
    QVERIFY(addBoard(&fleet[1], 47, QStringLiteral("out0")));
    QTRY_VERIFY_WITH_TIMEOUT(read() && out.contains(QStringLiteral("BOARD-47")), 20000);
    const QDateTime back = QDateTime::currentDateTime();
    QVERIFY2(pg_->startServer(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(read() && err.contains(QStringLiteral("reached again")), 30000);
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral("\\d+ rounds? kept meanwhile written, "
                                                            "in order"))),
             qPrintable(err));
    kill(pid_t(watch.processId()), SIGINT);
    QVERIFY(watch.waitForFinished(20000));
    const Result r = station({QStringLiteral("history"), QStringLiteral("--history"), url,
                              QStringLiteral("--json"), QStringLiteral("--board"), fleet[1].mac()});
    QCOMPARE(r.exitCode, 0);
    const QJsonArray boards = QJsonDocument::fromJson(r.out.toUtf8()).array();
    QCOMPARE(boards.size(), 1);
    const QDateTime first = QDateTime::fromString(
        boards[0].toObject().value(QStringLiteral("firstSeen")).toString(), Qt::ISODate);
    // Seen while the server was away, not when it came back.
    QVERIFY2(first >= joined.addSecs(-1) && first <= back, qPrintable(first.toString(Qt::ISODate)));
    const Result changes =
        station({QStringLiteral("history"), QStringLiteral("--history"), url,
                 QStringLiteral("--changes"), QStringLiteral("--event"), QStringLiteral("added")});
    // Each board added once: nothing written twice.
    QCOMPARE(changes.out.count(QStringLiteral(" added ")), 2);
}

void TestStationE2e::cleanupTestCase() {
    boards_.clear();
    segment_.reset();
    pg_.reset();
}

QTEST_GUILESS_MAIN(TestStationE2e)
#include "tst_station_e2e.moc"
