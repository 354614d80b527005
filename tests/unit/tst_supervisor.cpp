// One attempt of the supervision loop on every path, through fake capture and wait calls.
#include "args_str.h"
#include "capture.h"
#include "logcapture.h"
#include "supervisor.h"
#include "wire.h"

#include <QtTest>

namespace {

struct Script {
    bool found = true;
    bool opens = true;
    QStringList calls;
    ArgsStr *args = nullptr;
};
Script *g_script = nullptr;
pcap *const kFakeHandle = reinterpret_cast<pcap *>(0x1234);

bool fakeFind(QString name) {
    g_script->calls << QStringLiteral("find ") + name;
    return g_script->found;
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
    return -1;
}

void fakeClose(pcap *handle) {
    g_script->calls << (handle == kFakeHandle ? QStringLiteral("close")
                                              : QStringLiteral("close wrong"));
}

int fakeWait(QString name, AttemptEnd how) {
    const char *const ends[] = {"not-found", "open-failed", "capture-ended"};
    g_script->calls << QStringLiteral("wait %1 %2").arg(name, QLatin1String(ends[int(how)]));
    return 1;
}

unsigned fakePause(unsigned seconds) {
    g_script->calls << QStringLiteral("pause %1").arg(seconds);
    return 0;
}

const LoopOps kFakeOps{fakeFind, fakeOpen, fakeDispatch, fakeClose, fakeWait, fakePause};

} // namespace

class TestSupervisor : public QObject {
    Q_OBJECT
  private slots:
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

void TestSupervisor::attempt_data() {
    QTest::addColumn<QString>("interface");
    QTest::addColumn<bool>("found");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("log");

    const QString filter = wire::requestFilter();
    QTest::newRow("missing") << QStringLiteral("eth1") << false << true
                             << QStringList{QStringLiteral("find eth1"),
                                            QStringLiteral("wait eth1 not-found"),
                                            QStringLiteral("pause 3")}
                             << QStringList{QStringLiteral("\"could not find device 'eth1'\"")};
    QTest::newRow("empty name") << QString() << false << true
                                << QStringList{QStringLiteral("find "),
                                               QStringLiteral("wait  not-found"),
                                               QStringLiteral("pause 3")}
                                << QStringList{QStringLiteral("\"could not find device ''\"")};
    QTest::newRow("open fails") << QStringLiteral("eth1") << true << false
                                << QStringList{QStringLiteral("find eth1"),
                                               QStringLiteral("open eth1 [%1]").arg(filter),
                                               QStringLiteral("wait eth1 open-failed"),
                                               QStringLiteral("pause 3")}
                                << QStringList{QStringLiteral("pcap_init failed")};
    QTest::newRow("capture runs and ends")
        << QStringLiteral("en\"p0") << true << true
        << QStringList{QStringLiteral("find en\"p0"),
                       QStringLiteral("open en\"p0 [%1]").arg(filter),
                       QStringLiteral("dispatch en\"p0 handle=ok record=ok"),
                       QStringLiteral("close"),
                       QStringLiteral("wait en\"p0 capture-ended"),
                       QStringLiteral("pause 3")}
        << QStringList{QStringLiteral("\"start 'en\\\"p0' dump\""),
                       QStringLiteral("\"stop 'en\\\"p0' dump\"")};
}

void TestSupervisor::attempt() {
    QFETCH(QString, interface);
    QFETCH(bool, found);
    QFETCH(bool, opens);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, log);

    ArgsStr args;
    args.interfaceName = interface;
    Script script;
    script.found = found;
    script.opens = opens;
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
