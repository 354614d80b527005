// l2station's pure parts: info-reply parsing, board keying and one round's replies, JSON shape,
// command line, ping figures, watch and reset --wait rounds.
#include "link.h"
#include "station.h"
#include "wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <pcap/pcap.h>

Q_DECLARE_METATYPE(StationOptions)
Q_DECLARE_METATYPE(QList<double>)

class TestStation : public QObject {
    Q_OBJECT
  private slots:
    void collectionHoldsItsDeadline();
    void parseReply_data();
    void parseReply();
    void roundCollects_data();
    void roundCollects();
    void jsonShape();
    void args_data();
    void args();
    void pingPayloads();
    void pingSummary();
    void pick();
    void tableWidth();
    void collectionEnd_data();
    void collectionEnd();
    void watchRounds();
    void resetRounds_data();
    void resetRounds();
    void restartEvidenceOf();
    void otherStations();
    void twinsAreConflicts();
    void churnIsBounded();
    void sparing_data();
    void sparing();
    void payloadPadding();
    void optionsDocumented();
    void dissectorAgreesWithWire();
    void printableText_data();
    void printableText();
};

void TestStation::parseReply_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("hardId");
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("error");
    const QByteArray example = "res:kiv+info\nDevice : BOARD-A7\nVersion : 2.3.1\nProduct : "
                               "PX0042\nHardId : 5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\n"
                               "IpAddress : 192.168.10.25 10.1.2.3\n";
    const QStringList two{QStringLiteral("192.168.10.25"), QStringLiteral("10.1.2.3")};
    QTest::newRow("worked example")
        << example << true << QStringLiteral("BOARD-A7")
        << QStringLiteral("5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51") << two << QString();
    QTest::newRow("zero padding after")
        << example + QByteArray(20, '\0') << true << QStringLiteral("BOARD-A7")
        << QStringLiteral("5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51") << two << QString();
    QTest::newRow("empty values")
        << QByteArray("res:kiv+info\nDevice : \nVersion : \nProduct : Error\nHardId : \n"
                      "IpAddress : 127.0.0.1\n")
        << true << QString() << QString() << QStringList{QStringLiteral("127.0.0.1")} << QString();
    QTest::newRow("value with separator inside")
        << QByteArray("res:kiv+info\nDevice : a : b\nVersion : v\nProduct : p\nHardId : h\n"
                      "IpAddress : 10.0.0.1\nFuture : x\n")
        << true << QStringLiteral("a : b") << QStringLiteral("h")
        << QStringList{QStringLiteral("10.0.0.1")} << QString();
    QTest::newRow("missing lines")
        << QByteArray("res:kiv+info\nDevice : d\nVersion : v\nIpAddress : 1.2.3.4\n") << false
        << QString() << QString() << QStringList() << QStringLiteral("missing Product, HardId");
    QTest::newRow("cut short") << example.left(example.size() - 5) << false << QString()
                               << QString() << QStringList()
                               << QStringLiteral("cut short (no final line feed)");
    QTest::newRow("echo, not info")
        << QByteArray("req:kiv+info") << false << QString() << QString() << QStringList()
        << QStringLiteral("does not start with res:kiv+info");
    QTest::newRow("garbage line") << QByteArray("res:kiv+info\nDevice: d\n") << false << QString()
                                  << QString() << QStringList()
                                  << QStringLiteral("line 2 is not 'Label : value': Device: d");
    QTest::newRow("two-line product, CR LF kept, and a HardId across a line end")
        << QByteArray("res:kiv+info\nDevice : d\nVersion : v\nProduct : PX1\r\nline 2 : x\n"
                      "HardId : h1\nh2\nIpAddress : 10.0.0.1\n")
        << true << QStringLiteral("d") << QStringLiteral("h1\nh2")
        << QStringList{QStringLiteral("10.0.0.1")} << QString();
    QTest::newRow("a device name has no line end")
        << QByteArray("res:kiv+info\nDevice : d\nmore\n") << false << QString() << QString()
        << QStringList() << QStringLiteral("line 3 is not 'Label : value': more");
    QTest::newRow("UTF-8 device and version, Latin-1 product")
        << QByteArray("res:kiv+info\nDevice : Pr\xc3\xbc"
                      "fstand \xe6\xb5\x8b\nVersion : \xc3\x96l\n"
                      "Product : \xc3\xbc\nHardId : h\nIpAddress : 1.1.1.1\n")
        << true
        << QString::fromUtf8("Pr\xc3\xbc"
                             "fstand \xe6\xb5\x8b")
        << QStringLiteral("h") << QStringList{QStringLiteral("1.1.1.1")} << QString();
    QTest::newRow("a device that is no UTF-8 is Latin-1")
        << QByteArray("res:kiv+info\nDevice : Gr\xfc\xdf\nVersion : v\nProduct : p\n"
                      "HardId : h\nIpAddress : 1.1.1.1\n")
        << true << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f") << QStringLiteral("h")
        << QStringList{QStringLiteral("1.1.1.1")} << QString();
    QTest::newRow("label twice")
        << QByteArray("res:kiv+info\nDevice : a\nDevice : b\nVersion : v\nProduct : p\n"
                      "HardId : h\nIpAddress : 1.1.1.1\n")
        << false << QString() << QString() << QStringList() << QStringLiteral("Device given twice");
}

void TestStation::parseReply() {
    QFETCH(QByteArray, payload);
    QFETCH(bool, ok);
    QFETCH(QString, device);
    QFETCH(QString, hardId);
    QFETCH(QStringList, addresses);
    QFETCH(QString, error);
    BoardInfo board;
    QString why;
    QCOMPARE(parseInfoReply(payload, &board, &why), ok);
    QCOMPARE(why, error);
    if (ok) {
        QCOMPARE(board.device, device);
        QCOMPARE(board.hardId, hardId);
        QCOMPARE(board.ipAddresses, addresses);
        if (payload.contains("line 2 : x")) {
            QCOMPARE(board.product, QStringLiteral("PX1\r\nline 2 : x"));
        }
        if (payload.contains("Product : \xc3\xbc")) {
            // As the agent sends it: each byte a character.
            QCOMPARE(board.product, QString::fromUtf8("\xc3\x83\xc2\xbc"));
        }
    }
}

namespace {

const QByteArray kBoardA = QByteArray::fromHex("525400000001");
const QByteArray kBoardB = QByteArray::fromHex("525400000002");

QByteArray infoText(const char *device, const char *tag = nullptr) {
    QByteArray text = QByteArray("res:kiv+info\nDevice : ") + device +
                      "\nVersion : 1\nProduct : P\nHardId : H\nIpAddress : 10.0.0.1\n";
    if (tag != nullptr) {
        text += QByteArray("Tag : ") + tag + "\n";
    }
    return text;
}

QByteArray fromBoard(const QByteArray &mac, const QByteArray &payload) {
    return wire::buildFrame(wire::stationMac(), mac, payload);
}

BoardInfo board(const QString &device, const QString &hardId, const QString &version = {},
                const QByteArray &mac = {}) {
    BoardInfo b;
    b.device = device;
    b.hardId = hardId;
    b.version = version;
    b.product = QStringLiteral("P");
    b.mac = mac;
    b.reply = (device + hardId + version).toLatin1();
    return b;
}

} // namespace

// One round: each board once, keyed by its own address or its whole reply; what answers
// another request left out.
void TestStation::roundCollects_data() {
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QStringList>("rows"); // boardAddressText and device
    QTest::addColumn<int>("acks");
    const QByteArray shared = wire::serviceMac();
    QTest::newRow("both kinds, each once")
        << QList<QByteArray>{fromBoard(kBoardA, infoText("A", "t1")),
                             fromBoard(kBoardA, infoText("A", "t1")),
                             fromBoard(shared, infoText("S")),
                             fromBoard(kBoardB, infoText("B", "t1"))}
        << QList<double>{11, 12, 13, 14}
        << QStringList{QStringLiteral("52:54:00:00:00:01 A"), QStringLiteral("shared S"),
                       QStringLiteral("52:54:00:00:00:02 B")}
        << 0;
    QTest::newRow("another station's tag, a reply from before the request")
        << QList<QByteArray>{fromBoard(kBoardA, infoText("A", "other")),
                             fromBoard(kBoardB, infoText("B")), fromBoard(shared, infoText("S"))}
        << QList<double>{11, 12, 9} << QStringList() << 0;
    QTest::newRow("clones answer together; the same reply later is another request's")
        << QList<QByteArray>{fromBoard(shared, infoText("S")), fromBoard(shared, infoText("S")),
                             fromBoard(shared, infoText("S"))}
        << QList<double>{11, 15, 200} << QStringList{QStringLiteral("shared x2 S")} << 0;
    QTest::newRow("replies that differ are two boards")
        << QList<QByteArray>{fromBoard(shared, infoText("S")), fromBoard(shared, infoText("T"))}
        << QList<double>{11, 12}
        << QStringList{QStringLiteral("shared S"), QStringLiteral("shared T")} << 0;
    QTest::newRow("acknowledgements with this round's tag, each board once")
        << QList<QByteArray>{fromBoard(kBoardA, "res:kiv+init\nTag : t1\n"),
                             fromBoard(kBoardA, "res:kiv+init\nTag : t1\n"),
                             fromBoard(kBoardB, "res:kiv+init\nTag : t2\n"),
                             fromBoard(shared, "res:kiv+init\nTag : t1\n")}
        << QList<double>{11, 12, 13, 14} << QStringList() << 1;
    // A board-address agent whose own address is the shared one answers both requests.
    QTest::newRow("a board at the shared address as its own, listed once")
        << QList<QByteArray>{fromBoard(shared, infoText("S", "t1")),
                             fromBoard(shared, infoText("S"))}
        << QList<double>{11, 12} << QStringList{QStringLiteral("shared S")} << 0;
    QTest::newRow("echoes and group sources are no boards")
        << QList<QByteArray>{fromBoard(kBoardA, "hello"),
                             fromBoard(wire::groupMac(), infoText("G", "t1"))}
        << QList<double>{11, 12} << QStringList() << 0;
}

void TestStation::roundCollects() {
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QList<double>, times);
    QFETCH(QStringList, rows);
    QFETCH(int, acks);
    BoardCollector round(QStringLiteral("t1"), QByteArray(), 10.0);
    for (int i = 0; i < frames.size(); ++i) {
        round.take(frames.at(i), times.at(i));
    }
    QStringList seen;
    for (const BoardInfo &b : round.boards()) {
        seen.append(boardAddressText(b) + QLatin1Char(' ') + b.device);
    }
    QCOMPARE(seen, rows);
    QCOMPARE(round.acknowledged().size(), acks);
}

void TestStation::jsonShape() {
    QCOMPARE(QJsonDocument::fromJson(boardsJson({})).array().size(), 0);
    QVERIFY(QJsonDocument::fromJson(boardsJson({})).isArray());
    BoardInfo board;
    board.device = QStringLiteral("B\"1");
    board.version = QStringLiteral("1.0");
    board.product = QStringLiteral("P");
    board.hardId = QStringLiteral("H");
    board.ipAddresses = QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2")};
    board.replyMs = 0.25;
    const QJsonArray array = QJsonDocument::fromJson(boardsJson({board})).array();
    QCOMPARE(array.size(), 1);
    const QJsonObject o = array.first().toObject();
    QCOMPARE(o.value(QStringLiteral("Device")).toString(), QStringLiteral("B\"1"));
    QCOMPARE(o.value(QStringLiteral("Version")).toString(), QStringLiteral("1.0"));
    QCOMPARE(o.value(QStringLiteral("IpAddress")).toArray().size(), 2);
    QCOMPARE(o.value(QStringLiteral("replyMs")).toDouble(), 0.25);
    QVERIFY(o.value(QStringLiteral("Mac")).isNull());
    board.mac = kBoardA;
    QCOMPARE(QJsonDocument::fromJson(boardsJson({board}))
                 .array()
                 .first()
                 .toObject()
                 .value(QStringLiteral("Mac"))
                 .toString(),
             QStringLiteral("52:54:00:00:00:01"));

    // Controls are escaped, C1 and DEL included, and so are the characters that reorder or
    // hide text (here RLO, a tag character beyond the first plane, a line separator); all
    // decode to the same text.
    board.device = QStringLiteral("\x1b[1m\x7f\u009b\u00e9\u202e\U000E0041\u2028");
    const QByteArray json = boardsJson({board});
    QVERIFY2(json.contains(R"("Device": "\u001b[1m\u007f\u009bé\u202e\udb40\udc41\u2028")"),
             json.constData());
    QCOMPARE(
        QJsonDocument::fromJson(json).array().first().toObject().value(QStringLiteral("Device")),
        QJsonValue(board.device));
}

void TestStation::args_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("check"); // field=value pairs, or the error
    QTest::newRow("info defaults")
        << QStringList{QStringLiteral("info")} << true
        << QStringLiteral("wait=2000 minwait=1000 quiet=100 first=0 json=0 if=");
    QTest::newRow("a short window is the whole collection")
        << QStringLiteral("info -w 300").split(QLatin1Char(' ')) << true
        << QStringLiteral("wait=300 minwait=300");
    QTest::newRow("info all")
        << QStringLiteral("info -i eth0 -w 250 --quiet 40 --fast --first --json")
               .split(QLatin1Char(' '))
        << true << QStringLiteral("wait=250 minwait=0 quiet=40 first=1 json=1 if=eth0");
    QTest::newRow("fast or min-wait")
        << QStringLiteral("info --fast --min-wait 5").split(QLatin1Char(' ')) << false
        << QStringLiteral("--fast and --min-wait exclude each other");
    QTest::newRow("watch defaults")
        << QStringLiteral("watch --json").split(QLatin1Char(' ')) << true
        << QStringLiteral("count=0 interval=2000 json=1 minwait=1000");
    QTest::newRow("reset --wait") << QStringLiteral("reset --yes --wait").split(QLatin1Char(' '))
                                  << true << QStringLiteral("wait=120000 waitflag=1");
    QTest::newRow("-w goes with --wait")
        << QStringLiteral("reset --yes -w 5").split(QLatin1Char(' ')) << false
        << QStringLiteral("-w goes with --wait");
    QTest::newRow("quiet belongs to info")
        << QStringLiteral("send --quiet 5 x").split(QLatin1Char(' ')) << false
        << QStringLiteral("Unknown option 'quiet'.");
    QTest::newRow("ping")
        << QStringLiteral("ping -c 5 -s 100 -W 300 --interval 0").split(QLatin1Char(' ')) << true
        << QStringLiteral("count=5 size=100 timeout=300 interval=0");
    QTest::newRow("send hex") << QStringLiteral("send --hex 00ff:41").split(QLatin1Char(' '))
                              << true << QStringLiteral("data=00ff41");
    QTest::newRow("send text") << QStringList{QStringLiteral("send"), QStringLiteral("hi there")}
                               << true << QStringLiteral("data=6869207468657265");
    QTest::newRow("help anywhere") << QStringList{QStringLiteral("ping"), QStringLiteral("--help")}
                                   << true << QStringLiteral("help=1");
    QTest::newRow("no command") << QStringList() << false << QStringLiteral("no command given");
    QTest::newRow("unknown command")
        << QStringList{QStringLiteral("boot")} << false << QStringLiteral("unknown command 'boot'");
    QTest::newRow("reset without yes") << QStringList{QStringLiteral("reset")} << false
                                       << QStringLiteral("reset needs --yes: every board on the "
                                                         "segment that receives the request runs "
                                                         "its reset script");
    QTest::newRow("option of another command")
        << QStringList{QStringLiteral("info"), QStringLiteral("-c"), QStringLiteral("3")} << false
        << QStringLiteral("Unknown option 'c'.");
    QTest::newRow("missing value") << QStringList{QStringLiteral("info"), QStringLiteral("-w")}
                                   << false << QStringLiteral("Missing value after '-w'.");
    QTest::newRow("bad number") << QStringLiteral("ping -c 0").split(QLatin1Char(' ')) << false
                                << QStringLiteral("-c takes a count from 1 to 1000000");
    QTest::newRow("size too small") << QStringLiteral("ping -s 4").split(QLatin1Char(' ')) << false
                                    << QStringLiteral("-s takes a payload size from 23 to 1500");
    QTest::newRow("one board")
        << QStringLiteral("ping --board 52-54-00-4c-32-0A").split(QLatin1Char(' ')) << true
        << QStringLiteral("board=5254004c320a");
    QTest::newRow("a board is one address")
        << QStringLiteral("info --board 52:54:00:4c:32").split(QLatin1Char(' ')) << false
        << QStringLiteral("--board takes a MAC address such as 52:54:00:4c:32:01");
    QTest::newRow("not a group")
        << QStringLiteral("reset --yes --board 67:77:88:99:aa:bb").split(QLatin1Char(' ')) << false
        << QStringLiteral("--board takes one board's own address, not a group address");
    QTest::newRow("send a reset only with --yes")
        << QStringList{QStringLiteral("send"), QStringLiteral("req:kiv+init please ignore")}
        << false
        << QStringLiteral(
               "DATA begins with the reset keyword req:kiv+init: every board that "
               "receives it runs its reset script; use 'l2station reset', or give --yes");
    QTest::newRow("attached short values")
        << QStringLiteral("ping -c3 -ist0 -W500").split(QLatin1Char(' ')) << true
        << QStringLiteral("count=3 if=st0 timeout=500");
    QTest::newRow("a minimum longer than the window")
        << QStringLiteral("info --min-wait 3000").split(QLatin1Char(' ')) << false
        << QStringLiteral("--min-wait 3000 is longer than -w 2000, which ends the collection");
    QTest::newRow("version") << QStringList{QStringLiteral("--version")} << true
                             << QStringLiteral("version=1");
    QTest::newRow("wide") << QStringLiteral("info --wide").split(QLatin1Char(' ')) << true
                          << QStringLiteral("wide=1");
    QTest::newRow("send a reset with --yes")
        << QStringList{QStringLiteral("send"), QStringLiteral("--yes"),
                       QStringLiteral("req:kiv+init")}
        << true << QStringLiteral("data=7265713a6b69762b696e6974");
    QTest::newRow("odd hex") << QStringLiteral("send --hex abc").split(QLatin1Char(' ')) << false
                             << QStringLiteral("--hex DATA must be pairs of hexadecimal digits");
    QTest::newRow("send two data") << QStringLiteral("send a b").split(QLatin1Char(' ')) << false
                                   << QStringLiteral("send takes exactly one DATA argument");
    QTest::newRow("stray argument") << QStringLiteral("info eth0").split(QLatin1Char(' ')) << false
                                    << QStringLiteral("unexpected argument 'eth0'");
}

void TestStation::args() {
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, check);
    StationOptions o;
    QString error;
    QCOMPARE(parseStationArgs(args, &o, &error), ok);
    if (!ok) {
        QCOMPARE(error, check);
        return;
    }
    for (const QString &pair : check.split(QLatin1Char(' '))) {
        const QString field = pair.section(QLatin1Char('='), 0, 0);
        const QString value = pair.section(QLatin1Char('='), 1);
        const QMap<QString, QString> actual{
            {QStringLiteral("wait"), QString::number(o.waitMs)},
            {QStringLiteral("quiet"), QString::number(o.quietMs)},
            {QStringLiteral("minwait"), QString::number(o.minWaitMs)},
            {QStringLiteral("waitflag"), QString::number(o.wait)},
            {QStringLiteral("first"), QString::number(o.first)},
            {QStringLiteral("json"), QString::number(o.json)},
            {QStringLiteral("if"), o.interface},
            {QStringLiteral("count"), QString::number(o.count)},
            {QStringLiteral("size"), QString::number(o.size)},
            {QStringLiteral("timeout"), QString::number(o.timeoutMs)},
            {QStringLiteral("interval"), QString::number(o.intervalMs)},
            {QStringLiteral("data"), QString::fromLatin1(o.data.toHex())},
            {QStringLiteral("help"), QString::number(o.help)},
            {QStringLiteral("version"), QString::number(o.version)},
            {QStringLiteral("wide"), QString::number(o.wide)},
            {QStringLiteral("board"), QString::fromLatin1(o.board.toHex())}};
        QCOMPARE(actual.value(field), value);
    }
}

void TestStation::pingPayloads() {
    const QByteArray payload = pingPayload(0xbeef, 42, 46);
    QCOMPARE(payload.size(), 46);
    QCOMPARE(pingSequence(payload, 0xbeef), 42);
    QCOMPARE(pingSequence(payload + QByteArray(10, '\0'), 0xbeef), 42);
    // Another ping's replies are not this one's.
    QCOMPARE(pingSequence(payload, 0xbeee), -1);
    QCOMPARE(pingSequence("l2ping beef seq=x;", 0xbeef), -1);
    QCOMPARE(pingSequence("l2ping beef seq=7", 0xbeef), -1);
    QCOMPARE(pingSequence("res:kiv+info\n", 0xbeef), -1);
    // The payload never looks like a request, whatever its size.
    QVERIFY(!pingPayload(0, 0, 16).startsWith("req:"));
    // At the smallest size the highest sequence still comes back as sent.
    const QByteArray last = pingPayload(0xffff, kMaxPingCount - 1, pingMinSize());
    QCOMPARE(last.size(), pingMinSize());
    QCOMPARE(pingSequence(last, 0xffff), kMaxPingCount - 1);
}

void TestStation::pingSummary() {
    PingSummary s;
    s.transmitted = 5;
    s.received = 4;
    s.duplicates = 8;
    s.rttMs = {1.0, 2.0, 3.0, 2.0};
    QCOMPARE(pingSummaryText(QStringLiteral("X"), s, 4004.4),
             QStringLiteral("--- X l2station ping statistics ---\n"
                            "5 packets transmitted, 4 received, +8 duplicates, 20% packet loss, "
                            "time 4004ms\n"
                            "rtt min/avg/max/mdev = 1.000/2.000/3.000/0.707 ms\n"));
    PingSummary none;
    none.transmitted = 2;
    QCOMPARE(pingSummaryText(QStringLiteral("X"), none, 10),
             QStringLiteral("--- X l2station ping statistics ---\n"
                            "2 packets transmitted, 0 received, 100% packet loss, time 10ms\n"));
}

void TestStation::pick() {
    const QList<InterfaceCandidate> list{{QStringLiteral("any"), true, false, false, false},
                                         {QStringLiteral("lo"), true, true, true, false},
                                         {QStringLiteral("eth0"), false, false, true, false},
                                         {QStringLiteral("wlan0"), true, false, true, true},
                                         {QStringLiteral("eth1"), true, false, true, false},
                                         {QStringLiteral("eth2"), true, false, true, false}};
    QCOMPARE(pickInterface(list), QStringLiteral("eth1"));
    QCOMPARE(pickInterface(list.mid(0, 4)), QString());
    QCOMPARE(segmentCandidates(list),
             (QStringList{QStringLiteral("eth1"), QStringLiteral("eth2")}));
    // Named with -i: Wi-Fi may be chosen by hand, loopback and tunnels may not.
    QVERIFY(unfitInterface(list.at(3)).isEmpty());
    QCOMPARE(unfitInterface(list.at(1)),
             QStringLiteral("lo is a loopback interface; name the interface on the boards' "
                            "segment"));
    QVERIFY(unfitInterface({QStringLiteral("tun0"), true, false, false, false})
                .contains(QLatin1String("not an Ethernet interface")));
}

// A table cut to the terminal: the widest of the boards' texts gives way, with an ellipsis,
// counted in the columns a terminal gives each character.
void TestStation::tableWidth() {
    QCOMPARE(displayWidth(QString::fromUtf8("Pr\xc3\xbc"
                                            "f \xe6\xb5\x8b\xe8\xaf\x95")),
             9);
    BoardInfo wide = board(QString(200, QLatin1Char('D')), QStringLiteral("5e1d0c2a"));
    BoardInfo cjk = board(QString::fromUtf8("\xe6\xb5\x8b\xe8\xaf\x95"), QStringLiteral("1"));
    for (int i = 0; i < 20; ++i) {
        wide.ipAddresses.append(QStringLiteral("192.0.2.%1").arg(i));
    }
    wide.mac = kBoardA;
    const QStringList cut =
        boardsTable({wide, cjk}, 100).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : cut) {
        QVERIFY2(displayWidth(line) <= 100, qPrintable(line));
    }
    QVERIFY(cut.at(1).contains(QString::fromUtf8("\xe2\x80\xa6")));
    QVERIFY(cut.at(1).contains(QStringLiteral(" 52:54:00:00:00:01 ")));
    // Whole, without a width.
    QVERIFY(boardsTable({wide}).contains(QString(200, QLatin1Char('D'))));
}

void TestStation::collectionEnd_data() {
    QTest::addColumn<double>("floor");
    QTest::addColumn<double>("deadline");
    QTest::addColumn<double>("lastReply");
    QTest::addColumn<int>("quiet");
    QTest::addColumn<double>("end");
    QTest::newRow("no reply yet: the whole window") << 0.0 << 5000.0 << -1.0 << 100 << 5000.0;
    QTest::newRow("quiet after the last reply") << 0.0 << 5000.0 << 12.5 << 100 << 112.5;
    QTest::newRow("the floor waits for late boards") << 1000.0 << 5000.0 << 12.5 << 100 << 1000.0;
    QTest::newRow("a late reply past the floor") << 1000.0 << 5000.0 << 980.0 << 100 << 1080.0;
    QTest::newRow("the window caps the gap") << 0.0 << 150.0 << 90.0 << 100 << 150.0;
    QTest::newRow("no gap: the window") << 0.0 << 5000.0 << 12.5 << 0 << 5000.0;
}

void TestStation::collectionEnd() {
    QFETCH(double, floor);
    QFETCH(double, deadline);
    QFETCH(double, lastReply);
    QFETCH(int, quiet);
    QFETCH(double, end);
    QCOMPARE(collectionEndMs(floor, deadline, lastReply, quiet), end);
}

void TestStation::watchRounds() {
    WatchState state;
    const BoardInfo a = board(QStringLiteral("A"), QStringLiteral("1"), {}, kBoardA);
    const BoardInfo b = board(QStringLiteral("B"), QString(), {}, kBoardB);
    QList<WatchEvent> e = watchRound(&state, {a, b, a});
    QCOMPARE(e.size(), 2);
    QCOMPARE(e.at(0).kind, WatchEvent::Added);
    // A changed version is a change of the same board; one missed round is not yet gone.
    e = watchRound(&state,
                   {board(QStringLiteral("A"), QStringLiteral("1"), QStringLiteral("2"), kBoardA)});
    QCOMPARE(e.size(), 1);
    QCOMPARE(e.at(0).kind, WatchEvent::Changed);
    QCOMPARE(changedFields(e.at(0).before, e.at(0).board), QStringList{QStringLiteral("Version")});
    e = watchRound(&state, {a});
    QCOMPARE(e.size(), 2);
    QCOMPARE(e.at(1).kind, WatchEvent::Gone);
    QCOMPARE(e.at(1).board.device, QStringLiteral("B"));
    QCOMPARE(state.size(), 1);

    // A board being reset is silent for as long as it takes, and back as the board it was:
    // neither gone nor added. Held no longer, its silence is its going.
    state.resetting.insert(boardKey(a));
    for (int round = 0; round < 5; ++round) {
        QCOMPARE(watchRound(&state, {}).size(), 0);
    }
    QCOMPARE(watchRound(&state, {a}).size(), 0);
    watchRound(&state, {});
    state.resetting.clear();
    e = watchRound(&state, {});
    QCOMPARE(e.size(), 1);
    QCOMPARE(e.at(0).kind, WatchEvent::Gone);

    // Clones at the shared address are never merged with each other's changes, and one whose
    // reply changed keeps its place; behind a switch, one that misses rounds while another
    // answers from that address is not gone.
    WatchState shared;
    const BoardInfo s1 = board(QStringLiteral("S"), QStringLiteral("1"));
    const BoardInfo s2 = board(QStringLiteral("S"), QStringLiteral("2"));
    QCOMPARE(watchRound(&shared, {s1, s2}).size(), 2);
    bool spared = false;
    for (int round = 0; round < 3; ++round) {
        QCOMPARE(watchRound(&shared, {s1}, &spared).size(), 0);
        QVERIFY(spared);
    }
    e = watchRound(&shared, {board(QStringLiteral("S"), QStringLiteral("1"), QStringLiteral("9"))},
                   &spared);
    QCOMPARE(e.size(), 1);
    QCOMPARE(e.at(0).kind, WatchEvent::Changed);
    QCOMPARE(shared.size(), 2);
    watchRound(&shared, {}, &spared);
    QVERIFY(!spared);
    QCOMPARE(watchRound(&shared, {}).size(), 2); // nobody answers from that address: gone
}

// Rounds of boards at the shared address ("3" three of them answered, "1" the first only,
// "0" none; "0@5" none, and another station asked 5 ms after this station): how many are gone
// at the end, and whether the last round found them all silent.
void TestStation::sparing_data() {
    QTest::addColumn<QStringList>("rounds");
    QTest::addColumn<int>("gone");
    QTest::addColumn<bool>("silent");
    QTest::newRow("a switch: flooded once, then one answers")
        << QStringList{QStringLiteral("3"), QStringLiteral("1"), QStringLiteral("1"),
                       QStringLiteral("1")}
        << 0 << false;
    QTest::newRow("a hub: one stopped") << QStringList{QStringLiteral("3"), QStringLiteral("3"),
                                                       QStringLiteral("2"), QStringLiteral("2")}
                                        << 1 << false;
    QTest::newRow("a hub of two: one stopped")
        << QStringList{QStringLiteral("2"), QStringLiteral("2"), QStringLiteral("1"),
                       QStringLiteral("1")}
        << 1 << false;
    QTest::newRow("none answers") << QStringList{QStringLiteral("3"), QStringLiteral("0"),
                                                 QStringLiteral("0")}
                                  << 3 << true;
    QTest::newRow("its reply went to another station")
        << QStringList{QStringLiteral("1"), QStringLiteral("0@5"), QStringLiteral("0@5")} << 0
        << true;
    QTest::newRow("another station asked long after it answered")
        << QStringList{QStringLiteral("1"), QStringLiteral("0@900"), QStringLiteral("0@900")} << 1
        << true;
}

void TestStation::sparing() {
    QFETCH(QStringList, rounds);
    QFETCH(int, gone);
    QFETCH(bool, silent);
    QList<BoardInfo> boards;
    for (int i = 1; i <= 3; ++i) {
        BoardInfo b = board(QStringLiteral("S"), QString::number(i));
        b.replyMs = 3;
        boards.append(b);
    }
    WatchState state;
    int goneEvents = 0;
    for (const QString &round : rounds) {
        const QStringList parts = round.split(QLatin1Char('@'));
        QList<double> othersAsked;
        if (parts.size() > 1) {
            othersAsked.append(parts.at(1).toDouble());
        }
        for (const WatchEvent &e :
             watchRound(&state, boards.mid(0, parts.at(0).toInt()), nullptr, othersAsked)) {
            goneEvents += e.kind == WatchEvent::Gone ? 1 : 0;
        }
    }
    QCOMPARE(goneEvents, gone);
    QCOMPARE(state.sharedSilent, silent);
}

// After a reset, rounds one second apart: "A" answered as start A, "?" answered without
// restart values, "-" silent; "end" the wait ended there.
void TestStation::resetRounds_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("rounds");
    QTest::addColumn<int>("phase");
    QTest::addColumn<QString>("text");
    const QStringList tenSame = QString(11, QLatin1Char('A')).split(QString(), Qt::SkipEmptyParts);
    QTest::newRow("a new start, never silent")
        << QStringLiteral("A") << QStringList{QStringLiteral("A"), QStringLiteral("B")}
        << int(ResetTrack::Back) << QStringLiteral("back after 1.0 s");
    QTest::newRow("silent, then a new start")
        << QStringLiteral("A")
        << QStringList{QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("B")}
        << int(ResetTrack::Back) << QStringLiteral("back after 2.0 s");
    // It acknowledged (every round here does): its script, not the request, is the cause.
    QTest::newRow("the same run 10 s on")
        << QStringLiteral("A") << tenSame << int(ResetTrack::NotRestarted)
        << QStringLiteral("did not restart: still the same run of its agent 10.0 s after the "
                          "reset (its reset script does not restart the agent)");
    QTest::newRow("silent, back as the same run")
        << QStringLiteral("A") << QStringList{QStringLiteral("-"), QStringLiteral("A")}
        << int(ResetTrack::NotRestarted)
        << QStringLiteral("did not restart: it answered again as the same run");
    QTest::newRow("the same run when the wait ends")
        << QStringLiteral("A") << QStringList{QStringLiteral("A"), QStringLiteral("end")}
        << int(ResetTrack::NotRestarted) << QStringLiteral("did not restart: still the same run");
    QTest::newRow("silent when the wait ends")
        << QStringLiteral("A")
        << QStringList{QStringLiteral("A"), QStringLiteral("-"), QStringLiteral("end")}
        << int(ResetTrack::Silent) << QStringLiteral("not back (silent since 1.0 s)");
    QTest::newRow("no restart values: silent, then answering")
        << QStringLiteral("") << QStringList{QStringLiteral("-"), QStringLiteral("?")}
        << int(ResetTrack::Back) << QStringLiteral("back after 1.0 s");
    QTest::newRow("no restart values: never silent")
        << QStringLiteral("") << QString(11, QLatin1Char('?')).split(QString(), Qt::SkipEmptyParts)
        << int(ResetTrack::NotRestarted)
        << QStringLiteral("did not restart: still answering 10.0 s");
    QTest::newRow("an older agent replaced by a current one")
        << QStringLiteral("") << QStringList{QStringLiteral("B")} << int(ResetTrack::Back)
        << QStringLiteral("back after 0.0 s");
}

void TestStation::resetRounds() {
    QFETCH(QString, before);
    QFETCH(QStringList, rounds);
    QFETCH(int, phase);
    QFETCH(QString, text);
    BoardInfo b = board(QStringLiteral("Q"), QStringLiteral("1"), {}, kBoardA);
    b.start = before;
    ResetState state = resetStart({b});
    const QString key = resetKey(b);
    bool over = false;
    for (int i = 0; i < rounds.size(); ++i) {
        if (rounds.at(i) == QLatin1String("end")) {
            resetFinish(&state);
            over = true;
            break;
        }
        QMap<QString, BoardInfo> answered;
        if (rounds.at(i) != QLatin1String("-")) {
            BoardInfo now = b;
            now.start = rounds.at(i) == QLatin1String("?") ? QString() : rounds.at(i);
            now.replyMs = i * 1000;
            answered.insert(key, now);
        }
        resetRound(&state, answered, {key}, i * 1000);
    }
    QCOMPARE(int(state.value(key).phase), phase);
    QVERIFY2(resetPhaseText(state.value(key), over).startsWith(text),
             qPrintable(resetPhaseText(state.value(key), over)));
    QCOMPARE(resetSettled(state), phase != ResetTrack::Silent);
}

// Two different replies from one board address in a round: a conflict. Both are shown and
// marked; neither counts as the board changing, nor as the board back after a reset.
void TestStation::twinsAreConflicts() {
    BoardCollector round(QStringLiteral("t1"), QByteArray(), 10.0);
    QVERIFY(round.take(fromBoard(kBoardA, infoText("A", "t1")), 11));
    QVERIFY(round.take(fromBoard(kBoardA, infoText("Z", "t1")), 12));
    QVERIFY(!round.take(fromBoard(kBoardA, infoText("Z", "t1")), 13));
    QVERIFY(!round.take(fromBoard(kBoardA, infoText("A", "t1")), 14));
    QCOMPARE(round.boards().size(), 1);
    QVERIFY(round.boards().first().conflict);
    QCOMPARE(round.twins().size(), 1);
    QCOMPARE(round.twins().first().device, QStringLiteral("Z"));
    QCOMPARE(boardAddressText(round.twins().first()),
             QStringLiteral("52:54:00:00:00:01 (conflict)"));

    WatchState state;
    BoardInfo a = board(QStringLiteral("A"), QStringLiteral("H"), QStringLiteral("1"), kBoardA);
    watchRound(&state, {a});
    BoardInfo twin = board(QStringLiteral("Z"), QStringLiteral("H"), QStringLiteral("1"), kBoardA);
    twin.conflict = true;
    QCOMPARE(watchRound(&state, {twin}).size(), 0);
    QCOMPARE(state.first().board.device, QStringLiteral("A"));

    // After the reset an answer from its address with a new start would be "back"; with a
    // conflict there, the station cannot tell.
    a.start = QStringLiteral("s1");
    ResetState reset = resetStart({a});
    QMap<QString, BoardInfo> answered;
    BoardInfo restarted = a;
    restarted.start = QStringLiteral("s2");
    restarted.conflict = true;
    answered.insert(resetKey(a), restarted);
    QCOMPARE(resetRound(&reset, answered, {}, 500), QStringList{resetKey(a)});
    QCOMPARE(reset.first().phase, ResetTrack::Unknown);
    QVERIFY(resetSettled(reset));
    QVERIFY(resetPhaseText(reset.first(), true).contains(QStringLiteral("two different replies")));
    a.conflict = true;
    QCOMPARE(resetStart({a}).first().phase, ResetTrack::Unknown);
}

// Replies forged anew each round, while another station asks (so that boards at the shared
// address that miss a round may be hidden by a switch): the boards that answered for rounds
// stay spared, the churn goes as any board goes, and the state stays bounded.
void TestStation::churnIsBounded() {
    WatchState state;
    QList<BoardInfo> real;
    for (int n = 0; n < 3; ++n) {
        real.append(board(QStringLiteral("REAL-%1").arg(n), QStringLiteral("R%1").arg(n)));
    }
    for (int round = 0; round < 3; ++round) {
        watchRound(&state, real);
    }
    int gone = 0;
    for (int round = 0; round < 20; ++round) {
        QList<BoardInfo> forged;
        for (int n = 0; n < 300; ++n) {
            forged.append(board(QStringLiteral("F-%1-%2").arg(round).arg(n), QStringLiteral("F")));
        }
        for (const WatchEvent &e : watchRound(&state, forged, nullptr, {5.0})) {
            QVERIFY2(!e.board.device.startsWith(QLatin1String("REAL")), qPrintable(e.board.device));
            gone += e.kind == WatchEvent::Gone ? 1 : 0;
        }
        QVERIFY2(state.size() <= kMaxSparedShared + 2 * 300,
                 qPrintable(QString::number(state.size())));
    }
    QVERIFY(gone > 4000);
    // Past kMaxWatchedBoards, new boards are not followed, and that is said once.
    WatchState full;
    QList<BoardInfo> many;
    for (int n = 0; n < kMaxWatchedBoards + 5; ++n) {
        BoardInfo b;
        b.mac = QByteArray::fromHex(QByteArray::number(0x020000000000LL + n, 16));
        many.append(b);
    }
    QCOMPARE(watchRound(&full, many).size(), kMaxWatchedBoards);
    QVERIFY(full.fullNow);
    QCOMPARE(full.unfollowed, 5);
    watchRound(&full, many);
    QVERIFY(!full.fullNow);
}

// Another station's requests, seen on the segment: known by their tags (this process's own are
// not another's), and an identical reply at the shared address after one is no clone.
void TestStation::otherStations() {
    const QString mine = newRequestTag();
    const QByteArray other = QByteArray::fromHex("02aabbccdd02");
    const auto request = [&](const QByteArray &from, const QString &tag, quint16 type) {
        return wire::requestFrameFrom(from, wire::groupMac(),
                                      wire::taggedRequest(wire::kInfoKeyword, tag), type);
    };
    const QByteArray reply = wire::buildFrame(
        wire::stationMac(), wire::serviceMac(),
        "res:kiv+info\nDevice : D\nVersion : V\nProduct : P\nHardId : H\nIpAddress : 1.2.3.4\n");
    BoardCollector c(mine, {}, 100);
    QVERIFY(!c.take(request(other, mine, wire::kStationType), 100));
    QVERIFY(c.take(reply, 101));
    QVERIFY(c.take(reply, 102)); // a clone: together, within the spread
    QVERIFY(!c.take(request(wire::stationMac(), QStringLiteral("x1"), wire::kOldBoardsType), 103));
    QVERIFY(!c.take(reply, 104)); // may answer that request
    QCOMPARE(c.boards().first().count, 2);
    QVERIFY(c.otherStations().isEmpty()); // a copy for older agents is no station of its own
    QVERIFY(!c.take(request(other, QStringLiteral("x2"), wire::kStationType), 105));
    QCOMPARE(c.otherStations(), QList<QByteArray>{other});
    QCOMPARE(c.othersAskedMs(), (QList<double>{3, 5}));
}

// What tells a restart: a new start of the agent, or a new boot.
void TestStation::restartEvidenceOf() {
    const auto at = [](const QString &boot, const QString &start) {
        BoardInfo b;
        b.boot = boot;
        b.start = start;
        return b;
    };
    QCOMPARE(restartEvidence(at(QStringLiteral("b1"), QStringLiteral("s1")),
                             at(QStringLiteral("b1"), QStringLiteral("s1"))),
             RestartEvidence::SameRun);
    QCOMPARE(restartEvidence(at(QStringLiteral("b1"), QStringLiteral("s1")),
                             at(QStringLiteral("b1"), QStringLiteral("s2"))),
             RestartEvidence::Restarted);
    QCOMPARE(restartEvidence(at(QStringLiteral("b1"), QStringLiteral("s1")),
                             at(QStringLiteral("b2"), QStringLiteral("s1"))),
             RestartEvidence::Restarted);
    QCOMPARE(restartEvidence(at(QStringLiteral("b1"), QStringLiteral("s1")),
                             at(QStringLiteral(""), QStringLiteral(""))),
             RestartEvidence::Unknown);
    QCOMPARE(restartEvidence(at(QStringLiteral(""), QStringLiteral("")),
                             at(QStringLiteral(""), QStringLiteral(""))),
             RestartEvidence::Unknown);
    // Several boards at the shared address: a switch passes the request to one of them.
    const BoardInfo s1 = board(QStringLiteral("S"), QStringLiteral("1"));
    const BoardInfo s2 = board(QStringLiteral("S"), QStringLiteral("2"));
    const BoardInfo own = board(QStringLiteral("A"), QStringLiteral("3"), {}, kBoardA);
    QCOMPARE(resetStart({s1, own}).value(resetKey(s1)).phase, ResetTrack::Answering);
    const ResetState two = resetStart({s1, s2, own});
    QCOMPARE(two.value(resetKey(s2)).phase, ResetTrack::Unknown);
    QCOMPARE(two.value(resetKey(own)).phase, ResetTrack::Answering);
}

void TestStation::payloadPadding() {
    int padding = -1;
    QCOMPARE(printablePayloadText(QByteArray("hi\0x", 4) + QByteArray(3, '\0'), &padding),
             QStringLiteral("hi\\x00x"));
    QCOMPARE(padding, 3);
    QCOMPARE(printablePayloadText(QByteArray(2, '\0'), &padding), QString());
    QCOMPARE(padding, 2);
}

// Every option the help lists is in the usage line, the man page and the bash completion; and
// the help's exit line names every status the command can end with.
void TestStation::optionsDocumented() {
    QFile man(QStringLiteral(L2_SOURCE_DIR "/doc/l2station.8.scd"));
    QFile completion(QStringLiteral(L2_SOURCE_DIR "/packaging/l2station.bash-completion"));
    QVERIFY(man.open(QIODevice::ReadOnly) && completion.open(QIODevice::ReadOnly));
    const QString manText = QString::fromUtf8(man.readAll());
    const QString completionText = QString::fromUtf8(completion.readAll());
    const QRegularExpression option(QStringLiteral("^ +(?:-(\\w), )?--?([\\w-]+)"),
                                    QRegularExpression::MultilineOption);
    for (const Command c : {Command::Info, Command::Watch, Command::Ping, Command::Reset,
                            Command::Send, Command::History}) {
        const QString name = stationUsage(c).section(QLatin1Char(' '), 2, 2);
        QVERIFY2(manText.contains(QStringLiteral("*l2station %1*").arg(name)), qPrintable(name));
        const QRegularExpression line(QStringLiteral("^    %1\\) opts='([^']*)'").arg(name),
                                      QRegularExpression::MultilineOption);
        const QStringList completed =
            line.match(completionText).captured(1).split(QLatin1Char(' '));
        QVERIFY2(completed.size() > 1, qPrintable(name));
        auto it = option.globalMatch(stationUsage(c));
        while (it.hasNext()) {
            const QString word = it.next().captured(2);
            const QString dashedWord =
                (word.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + word;
            QVERIFY2(completed.contains(dashedWord),
                     qPrintable(name + QLatin1Char(' ') + dashedWord));
            QVERIFY2(manText.contains(QStringLiteral("*%1*").arg(dashedWord)),
                     qPrintable(name + QLatin1Char(' ') + dashedWord));
            const QString usageLine = stationUsage(c).section(QLatin1Char('\n'), 0, 0);
            QVERIFY2(word == QLatin1String("help") ||
                         QRegularExpression(QStringLiteral("[ \\[|]%1[ \\]]|%1$")
                                                .arg(QRegularExpression::escape(dashedWord)))
                             .match(usageLine)
                             .hasMatch(),
                     qPrintable(usageLine + QStringLiteral(" lacks ") + dashedWord));
        }
        // Every command that sends on the link first checks it (watch waits for it instead).
        const bool sends =
            c == Command::Info || c == Command::Ping || c == Command::Reset || c == Command::Send;
        QVERIFY2(!sends || stationUsage(c).contains(QLatin1String(" 6 the station's link is down")),
                 qPrintable(name));
    }
}

// The Wireshark dissector carries its own copy of the wire definition's constants.
void TestStation::dissectorAgreesWithWire() {
    QFile lua(QStringLiteral(L2_SOURCE_DIR "/wireshark/l2svc.lua"));
    QVERIFY(lua.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(lua.readAll());
    const auto constant = [&](const char *name) {
        const QRegularExpression line(QStringLiteral("^local %1 = (.*)$").arg(QLatin1String(name)),
                                      QRegularExpression::MultilineOption);
        return line.match(text).captured(1);
    };
    const auto quoted = [](const QString &value) {
        return QLatin1Char('"') + value + QLatin1Char('"');
    };
    QCOMPARE(constant("kStationAddress"), quoted(wire::macText(wire::stationMac()).toLower()));
    QCOMPARE(constant("kServiceAddress"), quoted(wire::macText(wire::serviceMac()).toLower()));
    QCOMPARE(constant("kGroupAddress"), quoted(wire::macText(wire::groupMac()).toLower()));
    QCOMPARE(constant("kResetAckTag"), quoted(QLatin1String(wire::kResetAckTag)));
    QCOMPARE(constant("kTagLabel"), quoted(QLatin1String(wire::kTagLabel)));
    QCOMPARE(constant("kBootLabel"), quoted(QLatin1String(wire::kBootLabel)));
    QCOMPARE(constant("kStartLabel"), quoted(QLatin1String(wire::kStartLabel)));
    QCOMPARE(constant("kKeyLabel"), quoted(QLatin1String(keys::kKeyLabel)));
    QCOMPARE(constant("kChallengeLabel"), quoted(QLatin1String(keys::kChallengeLabel)));
    QCOMPARE(constant("kProofLabel"), quoted(QLatin1String(keys::kProofLabel)));
    QCOMPARE(constant("kStationType"), QStringLiteral("0x%1").arg(wire::kStationType, 0, 16));
    QCOMPARE(constant("kOldBoardsType"), QStringLiteral("0x%1").arg(wire::kOldBoardsType, 0, 16));
    QCOMPARE(constant("kResetKeyword"), quoted(QLatin1String(wire::kResetKeyword)));
    QCOMPARE(constant("kInfoKeyword"), quoted(QLatin1String(wire::kInfoKeyword)));
    QCOMPARE(constant("kInfoReplyTag"), quoted(QLatin1String(wire::kInfoReplyTag)));
    QCOMPARE(constant("kLabelSeparator"), quoted(QLatin1String(wire::kLabelSeparator)));
    QStringList labels;
    for (const char *label : wire::kInfoLabels) {
        labels.append(quoted(QLatin1String(label)));
    }
    QCOMPARE(constant("kInfoLabels"),
             QStringLiteral("{ %1 }").arg(labels.join(QStringLiteral(", "))));
    QCOMPARE(constant("kHeaderLen"), QString::number(wire::kHeaderLen));
    QCOMPARE(constant("kTypeOffset"), QString::number(wire::kTypeOffset));
}

void TestStation::printableText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain and Latin-1")
        << QStringLiteral("BOARD-\u00e97") << QStringLiteral("BOARD-\u00e97");
    QTest::newRow("ESC, BEL, CR") << QStringLiteral("a\x1b[2Jb\a\r")
                                  << QStringLiteral("a\\x1b[2Jb\\x07\\x0d");
    QTest::newRow("DEL and C1 CSI") << QStringLiteral("\x7f\u009b") << QStringLiteral("\\x7f\\x9b");
    QTest::newRow("backslash") << QStringLiteral("a\\x41") << QStringLiteral("a\\\\x41");
    // A name that shows as ending in ".png" while it ends in ".exe".
    QTest::newRow("bidi override")
        << QStringLiteral("SAFE-\u202egnp.exe") << QStringLiteral("SAFE-\\u202egnp.exe");
    QTest::newRow("isolates, marks, zero width")
        << QStringLiteral("\u2066a\u2069\u200f\u200b\ufeff")
        << QStringLiteral("\\u2066a\\u2069\\u200f\\u200b\\ufeff");
    QTest::newRow("line and paragraph separators")
        << QStringLiteral("a\u2028b\u2029") << QStringLiteral("a\\u2028b\\u2029");
    QTest::newRow("beyond the first plane")
        << QStringLiteral("\U000E0041\U0001F600") << QStringLiteral("\\U000e0041\U0001F600");
}

void TestStation::printableText() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(::printableText(text), shown);
}

QTEST_GUILESS_MAIN(TestStation)
// Replies that keep coming faster than they are handled never hold a collection past its
// deadline: the flood here is a capture file, which never leaves the ring empty.
void TestStation::collectionHoldsItsDeadline() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("flood.pcap"));
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65536);
    pcap_dumper_t *dump = pcap_dump_open(dead, QFile::encodeName(path).constData());
    QVERIFY(dump != nullptr);
    const int frames = 50000;
    const QByteArray frame = wire::buildFrame(wire::stationMac(), wire::serviceMac(),
                                              QByteArray("res:kiv+info\nDevice : FLOOD\n"));
    for (int i = 0; i < frames; ++i) {
        pcap_pkthdr header{};
        header.caplen = header.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dump), &header,
                  reinterpret_cast<const u_char *>(frame.constData()));
    }
    pcap_dump_close(dump);
    pcap_close(dead);

    StationLink link;
    QString error;
    QCOMPARE(link.openFile(path, &error), ExitOk);
    CollectRule rule;
    rule.deadlineMs = StationLink::nowMs() + 100;
    rule.quietMs = 10000;
    int taken = 0;
    QElapsedTimer timer;
    timer.start();
    // Each reply costs at least 5 us: the whole file would take a quarter of a second at the
    // very least.
    link.collect(rule, [&](const Reply &) {
        ++taken;
        QThread::usleep(5);
        return true;
    });
    qInfo("collection of %d replies ended after %lld ms", taken, timer.elapsed());
    QVERIFY(taken < frames);
    QVERIFY(timer.elapsed() < 2000);
}

#include "tst_station.moc"
