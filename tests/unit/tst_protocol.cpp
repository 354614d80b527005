// The frame decision, the reply bytes, the per-frame log lines and the MAC codec.
#include "addresses.h"
#include "args_str.h"
#include "decide.h"
#include "framelog.h"
#include "guard.h"
#include "keys.h"
#include "logcapture.h"
#include "protocol.h"
#include "wire.h"

#include <QtTest>

namespace {

const QByteArray kService = wire::serviceMac();
const QByteArray kStation = wire::stationMac();

QByteArray request(QByteArray payload, int padTo = 0) {
    return wire::requestFrame(payload, padTo);
}

ArgsStr exampleBoard() {
    ArgsStr args;
    args.deviceName = QStringLiteral("BOARD-A7");
    args.version = QStringLiteral("2.3.1");
    args.deviceId = QStringLiteral("PX0042");
    args.hardId = QStringLiteral("5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51");
    return args;
}

QStringList exampleAddresses() {
    return {QStringLiteral("192.168.10.25"), QStringLiteral("10.1.2.3")};
}

int g_addressCalls = 0;
QByteArray countedInfo(const ArgsStr &args) {
    ++g_addressCalls;
    return infoReplyPayload(args, exampleAddresses());
}

QNetworkAddressEntry entry(const char *ip) {
    QNetworkAddressEntry e;
    e.setIp(QHostAddress(QString::fromLatin1(ip)));
    return e;
}

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
  private slots:
    void infoReplyWorkedExample();
    void decide_data();
    void decide();
    void boardDecide_data();
    void boardDecide();
    void keyedReset();
    void keyFiles_data();
    void keyFiles();
    void resetFolding_data();
    void resetFolding();
    void requestTags_data();
    void requestTags();
    void replyText_data();
    void replyText();
    void addressList_data();
    void addressList();
    void frameLogLines_data();
    void frameLogLines();
    void directFormatMatchesQDebug_data();
    void directFormatMatchesQDebug();
    void macToText_data();
    void macToText();
    void textToMac_data();
    void textToMac();
};

void TestProtocol::infoReplyWorkedExample() {
    const QByteArray frame = request("req:kiv+info", 60);
    QCOMPARE(frame.size(), 60);
    g_addressCalls = 0;
    const FrameDecision d = decideFrame(frame, exampleBoard(), countedInfo);
    QCOMPARE(int(d.action), int(FrameAction::Send));
    const QByteArray text = "res:kiv+info\n"
                            "Device : BOARD-A7\n"
                            "Version : 2.3.1\n"
                            "Product : PX0042\n"
                            "HardId : 5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\n"
                            "IpAddress : 192.168.10.25 10.1.2.3\n";
    QCOMPARE(text.size(), 145);
    QCOMPARE(d.reply.size(), 159);
    QCOMPARE(d.reply, kStation + kService + QByteArray(2, '\0') + text);
    QCOMPARE(g_addressCalls, 1);
}

void TestProtocol::decide_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("action");
    QTest::addColumn<QByteArray>("reply"); // "INFO" stands for an info reply

    const QByteArray header = kStation + kService + QByteArray(2, '\0');
    const QByteArray padded = request("hello", 60);
    QTest::newRow("padded echo keeps zeros")
        << padded << int(FrameAction::Send) << header + padded.mid(14);
    QTest::newRow("14 bytes") << request("") << int(FrameAction::Send) << header;
    QTest::newRow("13 bytes: type byte not echoed")
        << (kService + kStation + "\x88") << int(FrameAction::Send) << header;
    QTest::newRow("12 bytes") << (kService + kStation) << int(FrameAction::Send) << header;
    QTest::newRow("11 bytes dropped")
        << (kService + kStation.left(5)) << int(FrameAction::Drop) << QByteArray();
    QTest::newRow("empty dropped") << QByteArray() << int(FrameAction::Drop) << QByteArray();
    QTest::newRow("reset") << request("req:kiv+init", 60) << int(FrameAction::Reset)
                           << QByteArray();
    QTest::newRow("reset with trailing text")
        << request("req:kiv+init now please") << int(FrameAction::Reset) << QByteArray();
    QTest::newRow("info with trailing text")
        << request("req:kiv+info?x") << int(FrameAction::Send) << QByteArray("INFO");
    QTest::newRow("info leading space echoed")
        << request(" req:kiv+info") << int(FrameAction::Send) << header + " req:kiv+info";
    QTest::newRow("NUL before keyword echoed")
        << request(QByteArray("\0req:kiv+info", 13)) << int(FrameAction::Send)
        << header + QByteArray("\0req:kiv+info", 13);
    // The text's decoder drops a leading byte-order mark, and the keyword test with it; only
    // one, and only at the start.
    QTest::newRow("byte-order mark, info")
        << request("\xEF\xBB\xBFreq:kiv+info") << int(FrameAction::Send) << QByteArray("INFO");
    QTest::newRow("byte-order mark, reset")
        << request("\xEF\xBB\xBFreq:kiv+init") << int(FrameAction::Reset) << QByteArray();
    QTest::newRow("two byte-order marks echoed")
        << request("\xEF\xBB\xBF\xEF\xBB\xBFreq:kiv+info") << int(FrameAction::Send)
        << header + "\xEF\xBB\xBF\xEF\xBB\xBFreq:kiv+info";
    QTest::newRow("other case echoed")
        << request("REQ:KIV+INFO") << int(FrameAction::Send) << header + "REQ:KIV+INFO";
    QTest::newRow("reset other case echoed")
        << request("req:kiv+Init") << int(FrameAction::Send) << header + "req:kiv+Init";
    QTest::newRow("keyword cut short echoed")
        << request("req:kiv+inf") << int(FrameAction::Send) << header + "req:kiv+inf";
    QTest::newRow("type field not carried")
        << (kService + kStation + "\xff\xff" + "x") << int(FrameAction::Send) << header + "x";
    const QByteArray big(1500, '\xA5');
    QTest::newRow("full frame echoed whole")
        << request(big) << int(FrameAction::Send) << header + big;
}

void TestProtocol::decide() {
    QFETCH(QByteArray, frame);
    QFETCH(int, action);
    QFETCH(QByteArray, reply);
    g_addressCalls = 0;
    const FrameDecision d = decideFrame(frame, exampleBoard(), countedInfo);
    QCOMPARE(int(d.action), action);
    if (reply == "INFO") {
        QVERIFY(d.reply.startsWith(kStation + kService + QByteArray(2, '\0') + "res:kiv+info\n"));
        QCOMPARE(g_addressCalls, 1);
    } else {
        QCOMPARE(d.reply, reply);
        // The address list costs a netlink dump: only info requests may ask for it.
        QCOMPARE(g_addressCalls, 0);
    }
}

// Board-address mode: the board's own address and the group are served, answered from the
// board's own address; a reset is acknowledged; a tag is echoed; the shared address is left.
void TestProtocol::boardDecide_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("action");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray board = QByteArray::fromHex("525400123456");
    const QByteArray own = QByteArray::fromHex("02aabbccdd01"); // a station's own address
    const QByteArray header = kStation + board + QByteArray(2, '\0');
    const QByteArray toOwn = own + board + QByteArray(2, '\0');
    const auto to = [](const QByteArray &dst, const QByteArray &payload) {
        return wire::requestFrameTo(dst, payload, 60);
    };
    const auto from = [](const QByteArray &src, const QByteArray &dst, const QByteArray &payload,
                         quint16 type) { return wire::requestFrameFrom(src, dst, payload, type); };
    const QByteArray info = "res:kiv+info\nDevice : BOARD-A7\nVersion : 2.3.1\nProduct : PX0042\n"
                            "HardId : 5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\n"
                            "IpAddress : 192.168.10.25 10.1.2.3\n";
    const QByteArray restart = "Boot : 0b00t\nStart : 5747\n";
    QTest::newRow("info to the group") << to(wire::groupMac(), "req:kiv+info")
                                       << int(FrameAction::Send) << header + info + restart;
    QTest::newRow("info to its own address, tagged")
        << to(board, "req:kiv+info #a1B2") << int(FrameAction::Send)
        << header + info + "Tag : a1B2\n" + restart;
    QTest::newRow("a tag that is no tag is not echoed")
        << to(board, "req:kiv+info #a-b") << int(FrameAction::Send) << header + info + restart;
    QTest::newRow("echo from its own address")
        << to(board, "hello") << int(FrameAction::Send) << header + "hello" + QByteArray(41, '\0');
    QTest::newRow("reset acknowledged")
        << to(wire::groupMac(), "req:kiv+init") << int(FrameAction::Reset)
        << header + "res:kiv+init\n" + restart;
    QTest::newRow("reset acknowledged with its tag, then the restart values")
        << to(board, "req:kiv+init #77") << int(FrameAction::Reset)
        << header + "res:kiv+init\nTag : 77\n" + restart;
    QTest::newRow("shared service address left alone")
        << to(kService, "req:kiv+init") << int(FrameAction::Drop) << QByteArray();
    QTest::newRow("another board's address left alone")
        << to(QByteArray::fromHex("525400123457"), "req:kiv+info") << int(FrameAction::Drop)
        << QByteArray();
    // Each station from its own address: answered there.
    QTest::newRow("a station's own address, answered there")
        << from(own, wire::groupMac(), "req:kiv+info #t", wire::kStationType)
        << int(FrameAction::Send) << toOwn + info + "Tag : t\n" + restart;
    QTest::newRow("a station's echo, answered there")
        << from(own, board, "hi", wire::kStationType) << int(FrameAction::Send)
        << toOwn + "hi" + QByteArray(44, '\0');
    QTest::newRow("the copy for older boards left alone")
        << from(kStation, wire::groupMac(), "req:kiv+init #t", wire::kOldBoardsType)
        << int(FrameAction::Drop) << QByteArray();
    QTest::newRow("the station address, any other type")
        << from(kStation, board, "hi", 0x0800) << int(FrameAction::Send)
        << header + "hi" + QByteArray(44, '\0');
    QTest::newRow("another board's reply is no request")
        << from(QByteArray::fromHex("525400123457"), board, "res:kiv+init\n", 0)
        << int(FrameAction::Drop) << QByteArray();
    QTest::newRow("its own frame is no request")
        << from(board, wire::groupMac(), "req:kiv+init", wire::kStationType)
        << int(FrameAction::Drop) << QByteArray();
    QTest::newRow("a group source has no one to answer")
        << from(QByteArray::fromHex("03aabbccdd01"), board, "req:kiv+info", wire::kStationType)
        << int(FrameAction::Drop) << QByteArray();
}

void TestProtocol::boardDecide() {
    QFETCH(QByteArray, frame);
    QFETCH(int, action);
    QFETCH(QByteArray, reply);
    ArgsStr args = exampleBoard();
    args.boardAddress = true;
    args.boardMac = QByteArray::fromHex("525400123456");
    args.bootId = QStringLiteral("0b00t");
    args.startId = QStringLiteral("5747");
    const FrameDecision d = decideFrame(frame, args, countedInfo);
    QCOMPARE(int(d.action), action);
    QCOMPARE(d.reply, reply);
}

namespace {

qint64 g_nowMs = 0;
qint64 testClock() {
    return g_nowMs;
}

} // namespace

// A keyed board runs its script only for a reset that proves its key, for itself and the
// station that asks, with a challenge it gave out and did not take back.
void TestProtocol::keyedReset() {
    const QByteArray secret(keys::kSecretLen, 'k');
    const keys::Key key{keys::keyId(secret), secret};
    const keys::Key other = keys::newKey();
    const QByteArray own = QByteArray::fromHex("02aabbccdd01");
    const auto board = [&](const QByteArray &mac) {
        ArgsStr args = exampleBoard();
        args.boardAddress = true;
        args.boardMac = mac;
        args.guard = std::make_shared<ResetGuard>(QList<keys::Key>{key}, testClock);
        return args;
    };
    ArgsStr args = board(QByteArray::fromHex("525400123456"));
    const auto decide = [&](const ArgsStr &a, const QByteArray &frame) {
        return decideFrame(frame, a, countedInfo);
    };
    const auto challengeOf = [&](const ArgsStr &a) {
        const FrameDecision info = decide(
            a, wire::requestFrameFrom(own, a.boardMac, "req:kiv+info #t0", wire::kStationType));
        // The reply proves the board to a station with its key, and only with it.
        const QByteArray text = info.reply.mid(wire::kHeaderLen);
        const QList<QByteArray> parts{a.boardMac, own, "t0"};
        if (!keys::verified({key}, keys::Purpose::Info, text, parts) ||
            keys::verified({other}, keys::Purpose::Info, text, parts) ||
            keys::verified({key}, keys::Purpose::Info, text, {a.boardMac, own, "t9"})) {
            return QString();
        }
        return keys::resetAuth(text).challenge;
    };
    const auto reset = [&](const ArgsStr &a, const QString &challenge, const keys::Key &with) {
        return wire::requestFrameFrom(own, a.boardMac,
                                      keys::authenticatedReset("req:kiv+init #t1", with, a.boardMac,
                                                               own, challenge,
                                                               QStringLiteral("t1")),
                                      wire::kStationType);
    };
    const QString challenge = challengeOf(args);
    QCOMPARE(challenge.size(), keys::kChallengeLen * 2);
    const QByteArray genuine = reset(args, challenge, key);
    // Any bit flipped, anywhere in the frame's header or text: nothing runs.
    const int textEnd = genuine.indexOf('\0', wire::kHeaderLen);
    for (int i = 0; i < (textEnd < 0 ? genuine.size() : textEnd); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            QByteArray flipped = genuine;
            flipped[i] = char(flipped.at(i) ^ (1 << bit));
            QVERIFY2(decide(args, flipped).action != FrameAction::Reset,
                     qPrintable(QStringLiteral("byte %1 bit %2").arg(i).arg(bit)));
        }
    }
    QByteArray truncated = genuine;
    truncated.replace(keys::resetAuth(genuine.mid(wire::kHeaderLen)).proof.toHex(),
                      keys::resetAuth(genuine.mid(wire::kHeaderLen)).proof.toHex().left(62));
    QCOMPARE(decide(args, truncated).refused, QStringLiteral("bad proof"));
    QCOMPARE(decide(args, reset(args, challenge, other)).refused, QStringLiteral("unknown key id"));
    QCOMPARE(decide(args, wire::requestFrameFrom(own, args.boardMac, "req:kiv+init #t1",
                                                 wire::kStationType))
                 .refused,
             QStringLiteral("no key"));
    // Made for another board: refused there.
    ArgsStr second = board(QByteArray::fromHex("525400123457"));
    challengeOf(second);
    QByteArray elsewhere = genuine;
    elsewhere.replace(0, 6, second.boardMac);
    QCOMPARE(decide(second, elsewhere).refused, QStringLiteral("bad proof"));
    // The genuine one runs once, acknowledged with a proof; sent again it is a replay.
    const FrameDecision ran = decide(args, genuine);
    QCOMPARE(int(ran.action), int(FrameAction::Reset));
    QVERIFY(keys::verified({key}, keys::Purpose::Ack, ran.reply.mid(wire::kHeaderLen),
                           {args.boardMac, own, challenge.toLatin1(), "t1"}));
    QCOMPARE(decide(args, genuine).refused, QStringLiteral("replayed"));
    // An old challenge; and a recording after the agent started again.
    const QString old = challengeOf(args);
    g_nowMs += ResetGuard::kChallengeLifeMs + 1;
    QCOMPARE(decide(args, reset(args, old, key)).refused, QStringLiteral("replayed"));
    const QString fresh = challengeOf(args);
    const QByteArray recorded = reset(args, fresh, key);
    ArgsStr restarted = board(args.boardMac);
    QCOMPARE(decide(restarted, recorded).refused, QStringLiteral("replayed"));
    QCOMPARE(int(decide(args, recorded).action), int(FrameAction::Reset));
}

// Key files: text that concatenates, ids that belong to their secrets.
void TestProtocol::keyFiles_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("valid");
    QTest::addColumn<int>("problems");
    const keys::Key a = keys::newKey();
    const keys::Key b = keys::newKey();
    QTest::newRow("two files concatenated") << keys::keyLine(a) + keys::keyLine(b) << 2 << 0;
    QTest::newRow("comments and blank lines")
        << QByteArray("# line 3\n\n") + keys::keyLine(a).trimmed() + " # the old one\n"
        << 1 << 0;
    QByteArray wrongId = keys::keyLine(a);
    wrongId.replace(6, 8, b.id.toLatin1());
    QTest::newRow("an id of another secret") << wrongId << 0 << 1;
    QTest::newRow("a short secret") << QByteArray("l2key 01234567 abcd\n") << 0 << 1;
    QTest::newRow("no key at all") << QByteArray("hello\n") << 0 << 1;
}

void TestProtocol::keyFiles() {
    QFETCH(QByteArray, text);
    QFETCH(int, valid);
    QFETCH(int, problems);
    QStringList said;
    QCOMPARE(keys::parseKeys(text, &said).size(), valid);
    QCOMPARE(said.size(), problems);
}

void TestProtocol::resetFolding_data() {
    QTest::addColumn<qint64>("receivedUs"); // the request, in microseconds
    QTest::addColumn<qint64>("endedUs");    // the last run's end; 0: no run yet
    QTest::addColumn<bool>("folds");
    QTest::newRow("no run yet") << qint64(5000000) << qint64(0) << false;
    QTest::newRow("read while the run went on") << qint64(5000000) << qint64(5000001) << true;
    QTest::newRow("long before the run ended") << qint64(1000000) << qint64(9999999) << true;
    QTest::newRow("after the run ended") << qint64(5000002) << qint64(5000001) << false;
    QTest::newRow("the same microsecond") << qint64(5000001) << qint64(5000001) << false;
}

void TestProtocol::resetFolding() {
    QFETCH(qint64, receivedUs);
    QFETCH(qint64, endedUs);
    QFETCH(bool, folds);
    const timeval received{receivedUs / 1000000, receivedUs % 1000000};
    const timeval ended{endedUs / 1000000, endedUs % 1000000};
    QCOMPARE(foldsIntoLastReset(received, ended), folds);
}

void TestProtocol::requestTags_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tag");
    QTest::newRow("none") << QStringLiteral("req:kiv+info") << QString();
    QTest::newRow("letters and digits")
        << QStringLiteral("req:kiv+info #Ab09") << QStringLiteral("Ab09");
    QTest::newRow("32 long") << QStringLiteral("req:kiv+info #") + QString(32, QLatin1Char('x'))
                             << QString(32, QLatin1Char('x'));
    QTest::newRow("33 long") << QStringLiteral("req:kiv+info #") + QString(33, QLatin1Char('x'))
                             << QString();
    QTest::newRow("empty") << QStringLiteral("req:kiv+info #") << QString();
    QTest::newRow("punctuation") << QStringLiteral("req:kiv+info #a;b") << QString();
    // The lines after the first carry an authenticated reset's proof.
    QTest::newRow("the first line") << QStringLiteral("req:kiv+info #a\nb") << QStringLiteral("a");
    QTest::newRow("no space") << QStringLiteral("req:kiv+info#ab") << QString();
}

void TestProtocol::requestTags() {
    QFETCH(QString, text);
    QFETCH(QString, tag);
    QCOMPARE(wire::requestTag(text, wire::kInfoKeyword), tag);
    if (!tag.isEmpty()) {
        QCOMPARE(QString::fromLatin1(wire::taggedRequest(wire::kInfoKeyword, tag)),
                 text.section(QLatin1Char('\n'), 0, 0));
    }
}

void TestProtocol::replyText_data() {
    QTest::addColumn<QString>("deviceName");
    QTest::addColumn<QString>("hardId");
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("no addresses: loopback")
        << QString() << QString() << QStringList()
        << QByteArray("res:kiv+info\nDevice : \nVersion : v\nProduct : p\nHardId : \n"
                      "IpAddress : 127.0.0.1\n");
    QTest::newRow("Latin-1 kept, others become ?")
        << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f \xe2\x82\xac") << QStringLiteral("%1 %2")
        << QStringList{QStringLiteral("10.0.0.1")}
        << QByteArray("res:kiv+info\nDevice : Gr\xfc\xdf ?\nVersion : v\nProduct : p\n"
                      "HardId : %1 %2\nIpAddress : 10.0.0.1\n");
}

void TestProtocol::replyText() {
    QFETCH(QString, deviceName);
    QFETCH(QString, hardId);
    QFETCH(QStringList, addresses);
    QFETCH(QByteArray, bytes);
    ArgsStr args;
    args.deviceName = deviceName;
    args.version = QStringLiteral("v");
    args.deviceId = QStringLiteral("p");
    args.hardId = hardId;
    QCOMPARE(infoReplyText(args, addresses).toLatin1(), bytes);
}

void TestProtocol::addressList_data() {
    QTest::addColumn<QList<QList<QNetworkAddressEntry>>>("interfaces");
    QTest::addColumn<QStringList>("expected");
    using Entries = QList<QNetworkAddressEntry>;
    QTest::newRow("none") << QList<Entries>() << QStringList();
    QTest::newRow("loopback only") << QList<Entries>{{entry("127.0.0.1")}} << QStringList();
    QTest::newRow("loopback range") << QList<Entries>{{entry("127.8.0.2")}} << QStringList();
    QTest::newRow("interface order, IPv6 skipped")
        << QList<Entries>{{entry("127.0.0.1"), entry("::1")},
                          {entry("192.168.10.25"), entry("fe80::1")},
                          {entry("10.1.2.3"), entry("10.1.2.4")}}
        << QStringList{QStringLiteral("192.168.10.25"), QStringLiteral("10.1.2.3"),
                       QStringLiteral("10.1.2.4")};
    QTest::newRow("duplicates kept")
        << QList<Entries>{{entry("10.0.0.1")}, {entry("10.0.0.1")}}
        << QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.1")};
}

void TestProtocol::addressList() {
    QFETCH(QList<QList<QNetworkAddressEntry>>, interfaces);
    QFETCH(QStringList, expected);
    QCOMPARE(ipv4AddressList(interfaces), expected);
}

void TestProtocol::frameLogLines_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("worked example")
        << request("req:kiv+info", 60)
        << QStringList{QStringLiteral("capLen     : 60"), QStringLiteral("len        : 60"),
                       QStringLiteral("mac src    : \"00:11:22:33:44:55\""),
                       QStringLiteral("mac dst    : \"%1\"").arg(wire::macText(kService)),
                       QStringLiteral("data str   : \"req:kiv+info\"")};
    QTest::newRow("quotes, backslash, line feed escaped")
        << request("a\"b\\c\nd")
        << QStringList{QStringLiteral("capLen     : 21"), QStringLiteral("len        : 60"),
                       QStringLiteral("mac src    : \"00:11:22:33:44:55\""),
                       QStringLiteral("mac dst    : \"%1\"").arg(wire::macText(kService)),
                       QStringLiteral("data str   : \"a\\\"b\\\\c\\nd\"")};
    QTest::newRow("short frame: empty addresses and text")
        << kService.left(5)
        << QStringList{QStringLiteral("capLen     : 5"), QStringLiteral("len        : 60"),
                       QStringLiteral("mac src    : \"\""), QStringLiteral("mac dst    : \"\""),
                       QStringLiteral("data str   : \"\"")};
}

void TestProtocol::frameLogLines() {
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, lines);
    LogCapture log;
    logFrame(quint32(frame.size()), 60, splitFrame(frame));
    QCOMPARE(log.lines(), lines);
}

// The direct formatter against QDebug itself, the reference every log reader has seen.
void TestProtocol::directFormatMatchesQDebug_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("ASCII") << QByteArray("req:kiv+info");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("quotes and backslashes") << QByteArray("\"a\\\"\\");
    QTest::newRow("a lone backslash") << QByteArray("a\\b");
    QTest::newRow("controls") << QByteArray("\t\x01\x1b[2J\r\n\x7f\b\f");
    QTest::newRow("hex digits after an escape") << QByteArray("\x01"
                                                              "abc");
    QTest::newRow("UTF-8, C1 and a non-BMP letter")
        << QByteArray("caf\xc3\xa9 \xc2\x85 \xf0\x9d\x90\x80 \xe2\x80\x8b");
    QTest::newRow("invalid UTF-8") << QByteArray("\xff\xfe");
    QTest::newRow("very long") << QByteArray(3000, 'x') + "\"";
}

void TestProtocol::directFormatMatchesQDebug() {
    QFETCH(QByteArray, payload);
    const QByteArray frame = request(payload, 60);
    const ServiceFrame parts = splitFrame(frame);
    LogCapture log;
    qDebug() << "capLen     :" << quint32(frame.size());
    qDebug() << "len        :" << quint32(1514);
    qDebug() << "mac src    :" << macBytes2String(parts.src);
    qDebug() << "mac dst    :" << macBytes2String(parts.dst);
    qDebug() << "data str   :" << parts.text();
    const QStringList reference = log.lines();
    QCOMPARE(debugQuoted(parts.text()), reference.last().mid(13));
    QByteArray direct;
    const bool ascii = ::frameLogLines(quint32(frame.size()), 1514, parts, &direct);
    QCOMPARE(ascii, reference.join(QLatin1Char('\n')).toLatin1() ==
                        reference.join(QLatin1Char('\n')).toUtf8());
    if (ascii) {
        QCOMPARE(direct, (reference.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLatin1());
    }
}

void TestProtocol::macToText_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("station") << kStation << QStringLiteral("00:11:22:33:44:55");
    QTest::newRow("upper case") << QByteArray::fromHex("1234569ABCDE")
                                << QStringLiteral("12:34:56:9A:BC:DE");
    QTest::newRow("FF not sign-extended")
        << QByteArray::fromHex("FF00FF0A0B80") << QStringLiteral("FF:00:FF:0A:0B:80");
    QTest::newRow("5 bytes") << kService.left(5) << QString();
    QTest::newRow("7 bytes") << kService + "x" << QString();
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestProtocol::macToText() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(macBytes2String(bytes), text);
    if (!text.isEmpty()) {
        QCOMPARE(string2MacBytes(text), bytes);
    }
}

void TestProtocol::textToMac_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("lower case") << QStringLiteral("12:34:56:9a:bc:de")
                                << QByteArray::fromHex("1234569ABCDE");
    QTest::newRow("spaces tabs breaks")
        << QStringLiteral("12 34\t56\r\n9a::bc de\n") << QByteArray::fromHex("1234569ABCDE");
    QTest::newRow("one-digit groups")
        << QStringLiteral("0:1:2:3:4:5") << QByteArray::fromHex("000102030405");
    QTest::newRow("hyphens: one group") << QStringLiteral("12-34-56-9A-BC-DE") << QByteArray();
    QTest::newRow("five groups") << QStringLiteral("12:34:56:9A:BC") << QByteArray();
    QTest::newRow("seven groups") << QStringLiteral("12:34:56:9A:BC:DE:F0") << QByteArray();
    QTest::newRow("not hex gives zero")
        << QStringLiteral("zz:34:56:9A:BC:DE") << QByteArray::fromHex("0034569ABCDE");
    QTest::newRow("low 8 bits") << QStringLiteral("1FF:34:56:9A:BC:DE")
                                << QByteArray::fromHex("FF34569ABCDE");
    QTest::newRow("too big for int gives zero")
        << QStringLiteral("FFFFFFFFFF:34:56:9A:BC:DE") << QByteArray::fromHex("0034569ABCDE");
}

void TestProtocol::textToMac() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const QByteArray mac = string2MacBytes(text);
    QCOMPARE(mac, bytes);
    QCOMPARE(mac.isNull(), bytes.isEmpty());
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
