// One attempt of the supervision loop on every path, through fake capture and wait calls.
#include "args_str.h"
#include "capture.h"
#include "linkstate.h"
#include "logcapture.h"
#include "supervisor.h"
#include "wire.h"

#include <QtTest>

namespace {

struct Script {
    bool found = true;
    bool opens = true;
    bool downAtOpen = false;
    int served = -1; // what the dispatch returns
    QStringList calls;
    ArgsStr *args = nullptr;
};
Script *g_script = nullptr;
pcap *const kFakeHandle = reinterpret_cast<pcap *>(0x1234);

bool fakeFind(QString name) {
    g_script->calls << QStringLiteral("find ") + name;
    return g_script->found;
}

int fakeIndex(QString) {
    return 7;
}

bool fakeDownAtOpen() {
    return g_script->downAtOpen;
}

bool fakeOpen(pcap **handle, QString name, QString filter) {
    g_script->calls << QStringLiteral("open %1 [%2]").arg(name, filter);
    *handle = g_script->opens ? kFakeHandle : nullptr;
    return g_script->opens;
}

int fakeDispatch(pcap *handle, QString name, pcap_handler, u_char *user) {
    // The handler may only ever see the capture that is being dispatched.
    const bool sameHandle = handle == kFakeHandle && g_script->args->pcapHandle == kFakeHandle;
    const bool sameRecord = user == reinterpret_cast<u_char *>(g_script->args);
    g_script->calls << QStringLiteral("dispatch %1 handle=%2 record=%3")
                           .arg(name)
                           .arg(sameHandle ? QStringLiteral("ok") : QStringLiteral("wrong"))
                           .arg(sameRecord ? QStringLiteral("ok") : QStringLiteral("wrong"));
    return g_script->served;
}

void fakeClose(pcap *handle) {
    g_script->calls << (handle == kFakeHandle ? QStringLiteral("close")
                                              : QStringLiteral("close wrong"));
}

int fakeWait(QString name, AttemptEnd how, int indexSeen) {
    const char *const ends[] = {"not-found", "open-failed", "link-changed", "capture-ended"};
    g_script->calls
        << QStringLiteral("wait %1 %2 %3").arg(name, QLatin1String(ends[int(how)])).arg(indexSeen);
    return 1;
}

unsigned fakePause(unsigned seconds) {
    g_script->calls << QStringLiteral("pause %1").arg(seconds);
    return 0;
}

const LoopOps kFakeOps{fakeFind,     fakeIndex, fakeOpen, fakeDownAtOpen,
                       fakeDispatch, fakeClose, fakeWait, fakePause};

} // namespace

class TestSupervisor : public QObject {
    Q_OBJECT
  private slots:
    void changedSince_data();
    void changedSince();
    void attempt_data();
    void attempt();
    void interfaceName_data();
    void interfaceName();
    void openFailureWording_data();
    void openFailureWording();
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
    QTest::addColumn<int>("indexSeen");
    QTest::addColumn<int>("indexNow");
    QTest::addColumn<bool>("upNow");
    QTest::addColumn<bool>("changed");
    const int notFound = int(AttemptEnd::NotFound);
    const int openFailed = int(AttemptEnd::OpenFailed);
    const int linkChanged = int(AttemptEnd::LinkChanged);
    const int ended = int(AttemptEnd::CaptureEnded);
    QTest::newRow("not found, still missing") << notFound << 0 << 0 << false << false;
    QTest::newRow("not found, now listed (down)") << notFound << 0 << 5 << false << true;
    QTest::newRow("cannot capture, nothing changed") << openFailed << 5 << 5 << true << false;
    QTest::newRow("cannot capture, replaced") << openFailed << 5 << 6 << true << true;
    QTest::newRow("link down at the open, up now") << linkChanged << 5 << 5 << true << true;
    QTest::newRow("link down at the open, still down") << linkChanged << 5 << 5 << false << false;
    QTest::newRow("removed, not back") << ended << 5 << 0 << false << false;
    QTest::newRow("renamed away, a new one listed") << ended << 5 << 9 << true << true;
}

void TestSupervisor::changedSince() {
    QFETCH(int, how);
    QFETCH(int, indexSeen);
    QFETCH(int, indexNow);
    QFETCH(bool, upNow);
    QFETCH(bool, changed);
    LinkFacts now;
    now.index = indexNow;
    now.up = upNow;
    QCOMPARE(changedSinceAttempt(AttemptEnd(how), indexSeen, now), changed);
}

void TestSupervisor::attempt_data() {
    QTest::addColumn<QString>("interface");
    QTest::addColumn<bool>("found");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("served"); // the dispatch's result; -2: the open finds the link down
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("log");

    const QString filter = wire::requestFilter();
    QTest::newRow("missing") << QStringLiteral("eth1") << false << true << -1
                             << QStringList{QStringLiteral("find eth1"),
                                            QStringLiteral("wait eth1 not-found 0"),
                                            QStringLiteral("pause 3")}
                             << QStringList{QStringLiteral("\"could not find device 'eth1'\"")};
    QTest::newRow("empty name") << QString() << false << true << -1
                                << QStringList{QStringLiteral("find "),
                                               QStringLiteral("wait  not-found 0"),
                                               QStringLiteral("pause 3")}
                                << QStringList{QStringLiteral("\"could not find device ''\"")};
    QTest::newRow("open fails") << QStringLiteral("eth1") << true << false << -1
                                << QStringList{QStringLiteral("find eth1"),
                                               QStringLiteral("open eth1 [%1]").arg(filter),
                                               QStringLiteral("wait eth1 open-failed 7"),
                                               QStringLiteral("pause 3")}
                                << QStringList{QStringLiteral("pcap_init failed")};
    QTest::newRow("open finds the link down")
        << QStringLiteral("eth1") << true << false << -2
        << QStringList{QStringLiteral("find eth1"), QStringLiteral("open eth1 [%1]").arg(filter),
                       QStringLiteral("wait eth1 link-changed 7"), QStringLiteral("pause 3")}
        << QStringList{QStringLiteral("pcap_init failed")};
    for (const auto &row : {std::make_pair("link down", int(ServeLinkDown)),
                            std::make_pair("mtu changed", int(ServeMtuChanged))}) {
        QTest::newRow(row.first) << QStringLiteral("eth1") << true << true << row.second
                                 << QStringList{QStringLiteral("find eth1"),
                                                QStringLiteral("open eth1 [%1]").arg(filter),
                                                QStringLiteral("dispatch eth1 handle=ok record=ok"),
                                                QStringLiteral("close"),
                                                QStringLiteral("wait eth1 link-changed 7"),
                                                QStringLiteral("pause 3")}
                                 << QStringList{QStringLiteral("\"start 'eth1' dump\""),
                                                QStringLiteral("\"stop 'eth1' dump\"")};
    }
    QTest::newRow("capture runs and ends")
        << QStringLiteral("en\"p0") << true << true << -1
        << QStringList{QStringLiteral("find en\"p0"),
                       QStringLiteral("open en\"p0 [%1]").arg(filter),
                       QStringLiteral("dispatch en\"p0 handle=ok record=ok"),
                       QStringLiteral("close"),
                       QStringLiteral("wait en\"p0 capture-ended 7"),
                       QStringLiteral("pause 3")}
        << QStringList{QStringLiteral("\"start 'en\\\"p0' dump\""),
                       QStringLiteral("\"stop 'en\\\"p0' dump\"")};
}

void TestSupervisor::attempt() {
    QFETCH(QString, interface);
    QFETCH(bool, found);
    QFETCH(bool, opens);
    QFETCH(int, served);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, log);

    ArgsStr args;
    args.interfaceName = interface;
    Script script;
    script.found = found;
    script.opens = opens;
    script.downAtOpen = served == -2;
    script.served = served;
    script.args = &args;
    g_script = &script;
    LogCapture capture;
    runAttempt(&args, kFakeOps);
    g_script = nullptr;
    QCOMPARE(script.calls, calls);
    QCOMPARE(capture.lines(), log);
}

void TestSupervisor::interfaceName_data() {
    QTest::addColumn<QStringList>("argv");
    QTest::addColumn<QString>("name");
    QTest::newRow("no argument") << QStringList{QStringLiteral("l2agent")}
                                 << QStringLiteral("eth1");
    QTest::newRow("first counts") << QStringList{QStringLiteral("l2agent"), QStringLiteral("br0"),
                                                 QStringLiteral("eth9")}
                                  << QStringLiteral("br0");
    QTest::newRow("empty argument")
        << QStringList{QStringLiteral("l2agent"), QString()} << QString();
    QTest::newRow("UTF-8") << QStringList{QStringLiteral("l2agent"),
                                          QString::fromUtf8("n\xc3\xa9t")}
                           << QString::fromUtf8("n\xc3\xa9t");
}

void TestSupervisor::interfaceName() {
    QFETCH(QStringList, argv);
    QFETCH(QString, name);
    QList<QByteArray> storage;
    QVector<char *> pointers;
    for (const QString &arg : argv) {
        storage.append(arg.toUtf8());
    }
    for (QByteArray &arg : storage) {
        pointers.append(arg.data());
    }
    QCOMPARE(interfaceFromArgs(pointers.size(), pointers.data()), name);
}

QTEST_APPLESS_MAIN(TestSupervisor)
#include "tst_supervisor.moc"
