// l2station against several real agents bridged onto one segment with the station.
#include "netlab.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int kBoards = 3;

struct Board {
    std::unique_ptr<Netns> ns;
    std::unique_ptr<AgentRun> agent;
    QString work;
};

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestStationE2e : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void infoListsEveryBoard();
    void infoJson();
    void infoFirst();
    void ping();
    void send();
    void resetReachesEveryBoard();
    void exitStatuses_data();
    void exitStatuses();
    void hostileBoardEscaped();
    void mixedFleetListedByDefault();
    void watchAndWholeValues();
    void resetWaitsForTheBoard();
    void resetNeverGuessesTheSegment();
    void wiresharkNamesEveryFrame();
    void cleanupTestCase();

  private:
    Result station(const QStringList &args);
    bool addBoard(Board *board, int n, const QString &bridge, const QByteArray &id = {},
                  const QByteArray &resetScript = "#!/bin/sh\necho reset >> reset.log\n",
                  const QString &program = {});

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
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return r;
    }
    r.exitCode = process.exitCode();
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

void TestStationE2e::initTestCase() {
    L2_REQUIRE_NETLAB();
    // The station's namespace holds the segment: a bridge that every board is plugged into.
    // Every board answers from the same service address, so the bridge must not learn it, or
    // it would send the next request to the last board that answered only.
    segment_ = std::make_unique<Netns>(QStringLiteral("seg"));
    QVERIFY(segment_->ok());
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("seg0"),
                          QStringLiteral("type"), QStringLiteral("bridge"),
                          QStringLiteral("ageing_time"), QStringLiteral("0")}));
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("seg0"),
                          QStringLiteral("up")}));
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("quiet0"),
                          QStringLiteral("type"), QStringLiteral("bridge")}));
    QVERIFY(segment_->ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("quiet0"),
                          QStringLiteral("up")}));
    for (int i = 1; i <= kBoards; ++i) {
        Board board;
        QVERIFY(addBoard(&board, i, QStringLiteral("seg0")));
        boards_.push_back(std::move(board));
    }
    for (const Board &board : boards_) {
        QVERIFY(board.agent->waitForLine(QStringLiteral("\"start 'eth1' dump\"")));
    }
}

// Board n: BOARD-n, version 1.n.0, product PXn (or `id`), HardId 0000000n, 192.0.2.(10+n),
// plugged into `bridge`; it runs `program` (the agent by default) and has `resetScript`.
bool TestStationE2e::addBoard(Board *board, int n, const QString &bridge, const QByteArray &id,
                              const QByteArray &resetScript, const QString &program) {
    board->ns = std::make_unique<Netns>(QStringLiteral("b%1").arg(n));
    const QString root = dir_.filePath(QStringLiteral("board%1").arg(n));
    board->work = root + QStringLiteral("/work");
    board->agent = std::make_unique<AgentRun>();
    board->agent->setProgram(program);
    return board->ns->ok() &&
           addVeth(*board->ns, QStringLiteral("eth1"), *segment_, QStringLiteral("p%1").arg(n),
                   QStringLiteral("192.0.2.%1/24").arg(10 + n), true, bridge) &&
           writeFile(root + QStringLiteral("/app/bin/version"),
                     QStringLiteral("BOARD-%1\n1.%1.0\n").arg(n).toLatin1()) &&
           writeFile(root + QStringLiteral("/app/cfg/ID.txt"),
                     id.isEmpty() ? QStringLiteral("PX%1\n").arg(n).toLatin1() : id) &&
           writeFile(root + QStringLiteral("/bin/blkid"),
                     QStringLiteral("#!/bin/sh\necho '/dev/mmcblk0: PTUUID=\"0000000%1\" "
                                    "PTTYPE=\"dos\"'\n")
                         .arg(n)
                         .toLatin1(),
                     true) &&
           writeFile(board->work + QStringLiteral("/run/resetAll.sh"), resetScript, true) &&
           board->agent->start(*board->ns,
                               {QStringLiteral("--app"), root + QStringLiteral("/app"),
                                QStringLiteral("--path"), root + QStringLiteral("/bin")},
                               {QStringLiteral("eth1")}, board->work);
}

void TestStationE2e::infoListsEveryBoard() {
    const Result r = station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0"),
                              QStringLiteral("-w"), QStringLiteral("500")});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), kBoards + 2);
    QVERIFY(lines.first().startsWith(QStringLiteral("DEVICE")));
    QVERIFY2(lines.last().startsWith(QStringLiteral("3 boards answered on seg0 in ")),
             qPrintable(r.out));
    for (int i = 1; i <= kBoards; ++i) {
        const QRegularExpression row(QStringLiteral("^BOARD-%1 +1\\.%1\\.0 +PX%1 +0000000%1 +"
                                                    "192\\.0\\.2\\.1%1 +[0-9.]+$")
                                         .arg(i));
        QCOMPARE(lines.filter(row).size(), 1);
    }
    QCOMPARE(r.err, QString());
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
    }
    QCOMPARE(devices.size(), kBoards);
    QCOMPARE(doc.array().size(), kBoards);
    QVERIFY(r.err.startsWith(QStringLiteral("3 boards answered")));
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

void TestStationE2e::ping() {
    const Result r =
        station({QStringLiteral("ping"), QStringLiteral("-i"), QStringLiteral("seg0"),
                 QStringLiteral("-c"), QStringLiteral("5"), QStringLiteral("--interval"),
                 QStringLiteral("100"), QStringLiteral("-W"), QStringLiteral("500")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains(QStringLiteral(
                 "5 packets transmitted, 5 received, +10 duplicates, 0% packet loss")),
             qPrintable(r.out));
    QCOMPARE(r.out.count(QStringLiteral("(DUP!)")), 10);
    QVERIFY(!r.out.contains(QStringLiteral("payload differs")));
    QVERIFY(r.out.contains(QStringLiteral("rtt min/avg/max/mdev = ")));
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
    QVERIFY(r.out.contains(QStringLiteral("3 replies on seg0")));
}

void TestStationE2e::resetReachesEveryBoard() {
    const Result r = station({QStringLiteral("reset"), QStringLiteral("-i"), QStringLiteral("seg0"),
                              QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 0);
    for (const Board &board : boards_) {
        QVERIFY(board.agent->waitForLine(QStringLiteral("start reset all")));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(board.work + QStringLiteral("/reset.log")),
                                 10000);
    }
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
    QVERIFY(process.waitForFinished(10000));
    const QByteArray out = process.readAllStandardOutput() + process.readAllStandardError();
    QVERIFY2(out.contains("\\x1b]0;owned\\x07\\x9b2J\\x0dX"), out.constData());
    QVERIFY2(out.contains("1 malformed"), out.constData());
    for (const char *raw : {"\x1b", "\x07", "\r", "\xc2\x9b"}) {
        QVERIFY2(!out.contains(raw), out.constData());
    }
}

// An older board holds its reply for libpcap's 500 ms buffer timeout; the default rule lists it
// beside the fast agents every time.
void TestStationE2e::mixedFleetListedByDefault() {
    Board classic;
    QVERIFY(addBoard(&classic, 4, QStringLiteral("seg0"), {}, {}, classicResponderBinary()));
    QVERIFY(classic.agent->waitForLine(QStringLiteral("ready")));
    for (int run = 0; run < 10; ++run) {
        const Result r =
            station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains(QStringLiteral("4 boards answered on seg0")), qPrintable(r.out));
        QVERIFY(r.out.contains(QStringLiteral("\nBOARD-A7 ")));
    }
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
    QVERIFY(addBoard(&extra, 5, QStringLiteral("seg0"), "  PX5\r\nrev B\n"));
    QTRY_VERIFY_WITH_TIMEOUT(seen("added", QStringLiteral("BOARD-5")), 15000);

    const Result table =
        station({QStringLiteral("info"), QStringLiteral("-i"), QStringLiteral("seg0")});
    QVERIFY2(table.out.contains(QStringLiteral(" PX5\\x0d\\x0arev B ")), qPrintable(table.out));
    const Result json = station({QStringLiteral("info"), QStringLiteral("-i"),
                                 QStringLiteral("seg0"), QStringLiteral("--json")});
    QStringList products;
    for (const QJsonValue &v : QJsonDocument::fromJson(json.out.toUtf8()).array()) {
        products.append(v.toObject().value(QStringLiteral("Product")).toString());
    }
    QVERIFY2(products.contains(QStringLiteral("PX5\r\nrev B")), qPrintable(json.out));

    extra.agent->stop();
    QTRY_VERIFY_WITH_TIMEOUT(seen("gone", QStringLiteral("BOARD-5")), 15000);
    QVERIFY(!seen("gone", QStringLiteral("BOARD-1")));
    watch.terminate();
    QVERIFY(watch.waitForFinished(5000));
}

void TestStationE2e::resetWaitsForTheBoard() {
    Board board;
    QVERIFY(addBoard(&board, 6, QStringLiteral("quiet0"), {},
                     "#!/bin/sh\nip link set eth1 down\nsleep 2\nip link set eth1 up\n"));
    QVERIFY(board.agent->waitForLine(QStringLiteral("\"start 'eth1' dump\"")));
    const Result r =
        station({QStringLiteral("reset"), QStringLiteral("-i"), QStringLiteral("quiet0"),
                 QStringLiteral("--yes"), QStringLiteral("--wait"), QStringLiteral("-w"),
                 QStringLiteral("30000")});
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    const QRegularExpression back(QStringLiteral("^BOARD-6 PX6 00000006 back after ([0-9.]+) s$"),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = back.match(r.out);
    QVERIFY2(m.hasMatch(), qPrintable(r.out));
    QVERIFY(m.captured(1).toDouble() >= 2.0);
    QVERIFY(r.out.contains(QStringLiteral("1 of 1 board back on quiet0")));
    QVERIFY(r.err.contains(QStringLiteral("went silent after")));
}

// The segment's namespace has several candidate interfaces (the bridges and their ports).
void TestStationE2e::resetNeverGuessesTheSegment() {
    const Result r = station({QStringLiteral("reset"), QStringLiteral("--yes")});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith(QStringLiteral("l2station: reset needs -i: ")), qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("seg0")) && r.err.contains(QStringLiteral("quiet0")));
    for (const Board &board : boards_) {
        QCOMPARE(board.agent->logCount(QStringLiteral("start reset all")), 1);
    }
}

// A capture of the station talking to a board, and a hostile board's malformed reply, read
// with tshark and the dissector.
void TestStationE2e::wiresharkNamesEveryFrame() {
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    const QString dumpcap = QStandardPaths::findExecutable(QStringLiteral("dumpcap"));
    if (tshark.isEmpty() || dumpcap.isEmpty()) {
        if (qgetenv("CI") == "true") {
            QFAIL("tshark is not installed");
        }
        QSKIP("tshark is not installed");
    }
    Board board;
    QVERIFY(addBoard(&board, 7, QStringLiteral("quiet0")));
    QVERIFY(board.agent->waitForLine(QStringLiteral("\"start 'eth1' dump\"")));
    Netns evil(QStringLiteral("evil"));
    QVERIFY(evil.ok());
    QVERIFY(addVeth(evil, QStringLiteral("eth1"), *segment_, QStringLiteral("pevil"), QString(),
                    true, QStringLiteral("quiet0")));
    PacketSocket hostile;
    QVERIFY(hostile.open(evil.name(), QStringLiteral("eth1")));

    const QString capture = dir_.filePath(QStringLiteral("exchange.pcapng"));
    QProcess dump;
    dump.setProcessChannelMode(QProcess::MergedChannels);
    dump.start(QStringLiteral("ip"),
               {QStringLiteral("netns"), QStringLiteral("exec"), segment_->name(), dumpcap,
                QStringLiteral("-q"), QStringLiteral("-c"), QStringLiteral("6"),
                QStringLiteral("-i"), QStringLiteral("quiet0"), QStringLiteral("-f"),
                QStringLiteral("ether host 00:11:22:33:44:55"), QStringLiteral("-w"), capture});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += dump.readAll()).contains("Capturing on"), 15000);
    const QString iface = QStringLiteral("quiet0");
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
                         "res:kiv+info\nDevice : D\n"));
    // dumpcap ends by itself after the sixth frame, the hostile one.
    QVERIFY2(dump.waitForFinished(10000), "fewer frames than sent were captured");

    QProcess read;
    read.start(
        tshark,
        {QStringLiteral("-r"), capture,
         QStringLiteral("-X"), QStringLiteral("lua_script:" L2_SOURCE_DIR "/wireshark/l2svc.lua"),
         QStringLiteral("-Y"), QStringLiteral("l2svc"),
         QStringLiteral("-T"), QStringLiteral("fields"),
         QStringLiteral("-e"), QStringLiteral("l2svc.kind"),
         QStringLiteral("-e"), QStringLiteral("l2svc.device"),
         QStringLiteral("-e"), QStringLiteral("l2svc.version"),
         QStringLiteral("-e"), QStringLiteral("l2svc.product"),
         QStringLiteral("-e"), QStringLiteral("l2svc.hardid"),
         QStringLiteral("-e"), QStringLiteral("l2svc.ipaddress"),
         QStringLiteral("-e"), QStringLiteral("l2svc.text"),
         QStringLiteral("-e"), QStringLiteral("l2svc.padding"),
         QStringLiteral("-e"), QStringLiteral("_ws.expert.message")});
    QVERIFY(read.waitForFinished(30000));
    const QString out = QString::fromUtf8(read.readAllStandardOutput());
    const QStringList rows = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // kind, device, version, product, HardId, addresses, text, padding, expert message
    const QString zeros34 = QStringLiteral("00").repeated(34);
    const QString zeros35 = QStringLiteral("00").repeated(35);
    QCOMPARE(rows,
             (QStringList{
                 QStringLiteral("info-request\t\t\t\t\t\treq:kiv+info\t%1\t").arg(zeros34),
                 QStringLiteral("info-reply\tBOARD-7\t1.7.0\tPX7\t00000007\t192.0.2.17\t\t\t"),
                 QStringLiteral("echo-request\t\t\t\t\t\thello board\t%1\t").arg(zeros35),
                 QStringLiteral("echo-reply\t\t\t\t\t\thello board\t%1\t").arg(zeros35),
                 QStringLiteral("reset-request\t\t\t\t\t\treq:kiv+init\t%1\t").arg(zeros34),
                 QStringLiteral("info-reply\tD\t\t\t\t\t\t\tmissing Version, Product, "
                                "HardId, IpAddress"),
             }));
}

void TestStationE2e::cleanupTestCase() {
    boards_.clear();
    segment_.reset();
}

QTEST_GUILESS_MAIN(TestStationE2e)
#include "tst_station_e2e.moc"
