// One attempt of the supervision loop on every path, through fake capture and wait calls; the
// command line; and the capture's sizes.
#include "args_str.h"
#include "capture.h"
#include "linkstate.h"
#include "logcapture.h"
#include "netif.h"
#include "supervisor.h"
#include "wire.h"

#include <QtTest>

namespace {

pcap *const kFakeHandle = reinterpret_cast<pcap *>(0x1234);
const QByteArray kBoardMac = QByteArray::fromHex("525400123456");

const char *const kEnds[] = {"not-found", "open-failed", "link-down", "renamed", "capture-ended"};

struct Script {
    bool found = true;
    QByteArray mac = kBoardMac;
    OpenResult opens = OpenResult::Open;
    ServeEnd served = ServeEnd::Ended;
    qint64 clockMs = 0;
    qint64 serveMs = 0; // how long the capture serves
    QStringList calls;
};

LoopOps fakeOps(Script *script, ArgsStr *args) {
    LoopOps ops;
    ops.find = [=](QString name) {
        script->calls << QStringLiteral("find ") + name;
        return script->found;
    };
    ops.look = [=](QString) {
        ServedLink link;
        link.index = 7;
        link.up = true;
        link.mtu = 1500;
        link.mac = script->mac;
        return link;
    };
    ops.open = [=](pcap **handle, QString name, QString filter, int mtu) {
        script->calls << QStringLiteral("open %1 mtu %2 [%3]").arg(name).arg(mtu).arg(filter);
        *handle = script->opens == OpenResult::Open ? kFakeHandle : nullptr;
        return script->opens;
    };
    ops.serve = [=](pcap **handle, ArgsStr *served, const ServedLink &opened) {
        // The handler may only ever see the capture that is being served.
        const bool same = *handle == kFakeHandle && served == args &&
                          args->pcapHandle == kFakeHandle && opened.index == 7;
        script->calls << (same ? QStringLiteral("serve") : QStringLiteral("serve wrong"));
        script->clockMs += script->serveMs;
        return script->served;
    };
    ops.close = [=](pcap *handle) {
        script->calls << (handle == kFakeHandle ? QStringLiteral("close")
                                                : QStringLiteral("close wrong"));
    };
    ops.wait = [=](QString name, AttemptEnd how, const ServedLink &seen) {
        script->calls << QStringLiteral("wait %1 %2 %3")
                             .arg(name, QLatin1String(kEnds[int(how)]))
                             .arg(seen.index);
    };
    ops.pause = [=](int milliseconds) {
        script->calls << QStringLiteral("pause %1").arg(milliseconds);
    };
    ops.clockMs = [=] { return script->clockMs; };
    return ops;
}

ServedLink link(int index, bool up, bool removed = false) {
    ServedLink l;
    l.index = index;
    l.up = up;
    l.removed = removed;
    return l;
}

} // namespace

Q_DECLARE_METATYPE(ServedLink)

class TestSupervisor : public QObject {
    Q_OBJECT
  private slots:
    void changedSince_data();
    void changedSince();
    void attempt_data();
    void attempt();
    void commandLine_data();
    void commandLine();
    void openFailureWording_data();
    void openFailureWording();
    void captureSizes_data();
    void captureSizes();
    void pauseAfterWait_data();
    void pauseAfterWait();
};

// As pcap_open_live words a failed activation.
void TestSupervisor::openFailureWording_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("plain error") << PCAP_ERROR << QByteArray("eth1: socket: boom");
    QTest::newRow("permission")
        << PCAP_ERROR_PERM_DENIED
        << QByteArray("eth1: You don't have permission to perform this capture on that device "
                      "(socket: boom)");
    QTest::newRow("no such device")
        << PCAP_ERROR_NO_SUCH_DEVICE << QByteArray("eth1: No such device exists (socket: boom)");
    QTest::newRow("not up, reason left out")
        << PCAP_ERROR_IFACE_NOT_UP << QByteArray("eth1: That device is not up");
}

void TestSupervisor::openFailureWording() {
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    QCOMPARE(openFailureText("eth1", status, "socket: boom"), line);
}

void TestSupervisor::changedSince_data() {
    QTest::addColumn<int>("how");
    QTest::addColumn<ServedLink>("seen");
    QTest::addColumn<ServedLink>("now");
    QTest::addColumn<bool>("changed");
    const int notFound = int(AttemptEnd::NotFound);
    const int openFailed = int(AttemptEnd::OpenFailed);
    const int down = int(AttemptEnd::LinkDown);
    const int renamed = int(AttemptEnd::Renamed);
    const int ended = int(AttemptEnd::CaptureEnded);
    QTest::newRow("not found, still missing")
        << notFound << link(0, false) << link(0, false) << false;
    QTest::newRow("not found, now listed (down)")
        << notFound << link(0, false) << link(5, false) << true;
    QTest::newRow("cannot capture, nothing changed")
        << openFailed << link(5, true) << link(5, true) << false;
    QTest::newRow("cannot capture, replaced")
        << openFailed << link(5, true) << link(6, true) << true;
    QTest::newRow("down at the open, up now") << down << link(5, false) << link(5, true) << true;
    QTest::newRow("down at the open, still down")
        << down << link(5, false) << link(5, false) << false;
    QTest::newRow("removed, not back") << down << link(5, true) << link(0, false) << false;
    QTest::newRow("removed, re-created up") << down << link(5, true) << link(9, true) << true;
    QTest::newRow("renamed away, still away")
        << renamed << link(5, true) << link(0, false) << false;
    QTest::newRow("renamed away and back") << renamed << link(5, true) << link(5, true) << true;
    QTest::newRow("renamed back, down") << renamed << link(5, true) << link(5, false) << false;
    QTest::newRow("ended, up") << ended << link(5, true) << link(5, true) << true;
    QTest::newRow("gone meanwhile") << ended << link(5, true) << link(5, true, true) << false;
}

void TestSupervisor::changedSince() {
    QFETCH(int, how);
    QFETCH(ServedLink, seen);
    QFETCH(ServedLink, now);
    QFETCH(bool, changed);
    QCOMPARE(changedSinceAttempt(AttemptEnd(how), seen, now), changed);
}

void TestSupervisor::attempt_data() {
    QTest::addColumn<QString>("interface");
    QTest::addColumn<bool>("board");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("mac");
    QTest::addColumn<int>("opens");
    QTest::addColumn<int>("served");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("log");

    const QString filter = wire::requestFilter();
    const QString open = QStringLiteral("open eth1 mtu 1500 [%1]").arg(filter);
    const int ok = int(OpenResult::Open);
    const int ended = int(ServeEnd::Ended);
    const QStringList startStop{QStringLiteral("\"start 'eth1' dump\""),
                                QStringLiteral("\"stop 'eth1' dump\"")};
    QTest::newRow("missing") << QStringLiteral("eth1") << false << false << kBoardMac << ok << ended
                             << QStringList{QStringLiteral("find eth1"),
                                            QStringLiteral("wait eth1 not-found 0"),
                                            QStringLiteral("pause 3000")}
                             << QStringList{QStringLiteral("\"could not find device 'eth1'\"")};
    QTest::newRow("empty name") << QString() << false << false << kBoardMac << ok << ended
                                << QStringList{QStringLiteral("find "),
                                               QStringLiteral("wait  not-found 0"),
                                               QStringLiteral("pause 3000")}
                                << QStringList{QStringLiteral("\"could not find device ''\"")};
    QTest::newRow("open fails") << QStringLiteral("eth1") << false << true << kBoardMac
                                << int(OpenResult::Failed) << ended
                                << QStringList{QStringLiteral("find eth1"), open,
                                               QStringLiteral("wait eth1 open-failed 7"),
                                               QStringLiteral("pause 3000")}
                                << QStringList{QStringLiteral("pcap_init failed")};
    QTest::newRow("open finds the link down")
        << QStringLiteral("eth1") << false << true << kBoardMac << int(OpenResult::NotUp) << ended
        << QStringList{QStringLiteral("find eth1"), open, QStringLiteral("wait eth1 link-down 7"),
                       QStringLiteral("pause 3000")}
        << QStringList{QStringLiteral("pcap_init failed")};
    const QList<QPair<ServeEnd, const char *>> ends{{ServeEnd::LinkDown, "link-down"},
                                                    {ServeEnd::Renamed, "renamed"},
                                                    {ServeEnd::Ended, "capture-ended"}};
    for (const auto &end : ends) {
        QTest::newRow(end.second)
            << QStringLiteral("eth1") << false << true << kBoardMac << ok << int(end.first)
            << QStringList{QStringLiteral("find eth1"),
                           open,
                           QStringLiteral("serve"),
                           QStringLiteral("close"),
                           QStringLiteral("wait eth1 %1 7").arg(QLatin1String(end.second)),
                           QStringLiteral("pause 3000")}
            << startStop;
    }
    QTest::newRow("a name with a quote")
        << QStringLiteral("en\"p0") << false << true << kBoardMac << ok << ended
        << QStringList{QStringLiteral("find en\"p0"),
                       QStringLiteral("open en\"p0 mtu 1500 [%1]").arg(filter),
                       QStringLiteral("serve"),
                       QStringLiteral("close"),
                       QStringLiteral("wait en\"p0 capture-ended 7"),
                       QStringLiteral("pause 3000")}
        << QStringList{QStringLiteral("\"start 'en\\\"p0' dump\""),
                       QStringLiteral("\"stop 'en\\\"p0' dump\"")};
    QTest::newRow("board address")
        << QStringLiteral("eth1") << true << true << kBoardMac << ok << ended
        << QStringList{QStringLiteral("find eth1"),
                       QStringLiteral("open eth1 mtu 1500 [(ether dst 52:54:00:12:34:56 or "
                                      "ether dst 67:77:88:99:AA:BB) and not ether src "
                                      "52:54:00:12:34:56 and ether[6] & 1 = 0 and (ether proto "
                                      "0x88b5 or (ether src 00:11:22:33:44:55 and not ether "
                                      "proto 0x88b6))]"),
                       QStringLiteral("serve"),
                       QStringLiteral("close"),
                       QStringLiteral("wait eth1 capture-ended 7"),
                       QStringLiteral("pause 3000")}
        << QStringList{startStop.first(),
                       QStringLiteral("\"serving 'eth1' at 52:54:00:12:34:56 and "
                                      "67:77:88:99:AA:BB\""),
                       startStop.last()};
    QTest::newRow("board address, none on the link")
        << QStringLiteral("eth1") << true << true << QByteArray() << ok << ended
        << QStringList{QStringLiteral("find eth1"), QStringLiteral("wait eth1 open-failed 7"),
                       QStringLiteral("pause 3000")}
        << QStringList{QStringLiteral("\"no hardware address on 'eth1' to serve at\"")};
}

void TestSupervisor::attempt() {
    QFETCH(QString, interface);
    QFETCH(bool, board);
    QFETCH(bool, found);
    QFETCH(QByteArray, mac);
    QFETCH(int, opens);
    QFETCH(int, served);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, log);

    ArgsStr args;
    args.interfaceName = interface;
    args.boardAddress = board;
    Script script;
    script.found = found;
    script.mac = mac;
    script.opens = OpenResult(opens);
    script.served = ServeEnd(served);
    LogCapture capture;
    runAttempt(&args, fakeOps(&script, &args));
    QCOMPARE(script.calls, calls);
    QCOMPARE(capture.lines(), log);
    QCOMPARE(args.pcapHandle, static_cast<pcap *>(nullptr));
}

void TestSupervisor::commandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("board");
    QTest::addColumn<int>("exit");
    QTest::newRow("no argument") << QStringList() << QStringLiteral("eth1") << false << -1;
    QTest::newRow("first counts") << QStringList{QStringLiteral("br0"), QStringLiteral("eth9")}
                                  << QStringLiteral("br0") << false << -1;
    QTest::newRow("empty argument") << QStringList{QString()} << QString() << false << -1;
    QTest::newRow("UTF-8") << QStringList{QString::fromUtf8("n\xc3\xa9t")}
                           << QString::fromUtf8("n\xc3\xa9t") << false << -1;
    QTest::newRow("board address")
        << QStringList{QStringLiteral("--board-address"), QStringLiteral("eth2")}
        << QStringLiteral("eth2") << true << -1;
    QTest::newRow("board address, default interface")
        << QStringList{QStringLiteral("--board-address")} << QStringLiteral("eth1") << true << -1;
    QTest::newRow("options only before the interface")
        << QStringList{QStringLiteral("eth2"), QStringLiteral("--board-address")}
        << QStringLiteral("eth2") << false << -1;
    QTest::newRow("-- ends the options") << QStringList{QStringLiteral("--"), QStringLiteral("-x")}
                                         << QStringLiteral("-x") << false << -1;
    QTest::newRow("unknown option") << QStringList{QStringLiteral("-x")} << QString() << false << 2;
}

void TestSupervisor::commandLine() {
    QFETCH(QStringList, args);
    QFETCH(QString, name);
    QFETCH(bool, board);
    QFETCH(int, exit);
    const AgentCommandLine line = readAgentCommandLine(args);
    QCOMPARE(line.exitStatus, exit);
    if (exit < 0) {
        QCOMPARE(line.interfaceName, name);
        QCOMPARE(line.boardAddress, board);
    }
}

// The snapshot holds a whole frame with two VLAN tags; the ring holds 1100 of them within its
// bounds.
void TestSupervisor::captureSizes_data() {
    QTest::addColumn<int>("mtu");
    QTest::addColumn<int>("snapLen");
    QTest::addColumn<int>("ringBytes");
    QTest::newRow("unknown") << 0 << 65536 << kMaxRingBytes;
    QTest::newRow("1500: the floor") << 1500 << 1522 << kMinRingBytes;
    QTest::newRow("2000") << 2000 << 2022 << 1100 * 2112;
    QTest::newRow("9000") << 9000 << 9022 << 1100 * 9104;
    QTest::newRow("65535: capped") << 65535 << 65536 << kMaxRingBytes;
}

void TestSupervisor::captureSizes() {
    QFETCH(int, mtu);
    QFETCH(int, snapLen);
    QFETCH(int, ringBytes);
    QCOMPARE(netif::snapLenForMtu(mtu), snapLen);
    QCOMPARE(ringBytesFor(snapLen), ringBytes);
}

// The link taken down and up again is served again as soon as the attempts' rate allows; every
// other wait is followed by the whole pause.
void TestSupervisor::pauseAfterWait_data() {
    QTest::addColumn<int>("how");
    QTest::addColumn<ServedLink>("now");
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<int>("pause");
    const int down = int(AttemptEnd::LinkDown);
    QTest::newRow("back after long service") << down << link(7, true) << qint64(5000) << 0;
    QTest::newRow("back within the rate") << down << link(7, true) << qint64(1200) << 1800;
    QTest::newRow("still down") << down << link(7, false) << qint64(5000) << 3000;
    QTest::newRow("re-created") << down << link(8, true) << qint64(5000) << 3000;
    QTest::newRow("removed") << down << link(7, true, true) << qint64(5000) << 3000;
    QTest::newRow("capture ended")
        << int(AttemptEnd::CaptureEnded) << link(7, true) << qint64(5000) << 3000;
    QTest::newRow("renamed back") << int(AttemptEnd::Renamed) << link(7, true) << qint64(5000)
                                  << 3000;
}

void TestSupervisor::pauseAfterWait() {
    QFETCH(int, how);
    QFETCH(ServedLink, now);
    QFETCH(qint64, elapsed);
    QFETCH(int, pause);
    QCOMPARE(retryPauseMs(AttemptEnd(how), link(7, true), now, elapsed), pause);
    // Through one attempt: the capture's service counts, the wait's look decides.
    if (how == int(AttemptEnd::LinkDown) && now.index == 7 && now.up && !now.removed) {
        ArgsStr args;
        args.interfaceName = QStringLiteral("eth1");
        Script script;
        script.served = ServeEnd::LinkDown;
        script.serveMs = elapsed;
        LogCapture capture;
        runAttempt(&args, fakeOps(&script, &args));
        QCOMPARE(script.calls.last(), QStringLiteral("pause %1").arg(pause));
    }
}

QTEST_APPLESS_MAIN(TestSupervisor)
#include "tst_supervisor.moc"
