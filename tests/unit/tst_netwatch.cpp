// The watcher's paths and lines, with real udev devices and monitors and scripted failures.
#include "addresses.h"
#include "args_str.h"
#include "linkstate.h"
#include "logcapture.h"
#include "netwatch.h"

#include <QtTest>

#ifndef L2_NO_UDEV
#include <libudev.h>
#endif

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef L2_NO_UDEV
namespace {

// One scripted outcome of the wait and of the receive that follows it.
struct Step {
    int result;          // what select returns
    int error;           // errno when result < 0
    bool readable;       // whether the descriptor is marked
    const char *syspath; // device handed out by the receive; null: none
};

struct Script {
    uid_t uid = 0;
    bool monitorMade = true;
    bool enabled = true;
    QList<Step> steps;
    int waits = 0;
    udev *context = nullptr;
};
Script *g_script = nullptr;
const char *g_nextDevice = nullptr;

uid_t fakeUid() {
    return g_script->uid;
}

udev_monitor *fakeNewMonitor(udev *context, const char *name) {
    // A real monitor, so that the watcher's own unref has something to release.
    return g_script->monitorMade ? udev_monitor_new_from_netlink(context, name) : nullptr;
}

int fakeEnable(udev_monitor *) {
    return g_script->enabled ? 0 : -1;
}

int fakeWait(pollfd *fds, nfds_t, int) {
    if (g_script->waits >= g_script->steps.size()) {
        qFatal("the watcher waited more often than scripted");
    }
    const Step step = g_script->steps.at(g_script->waits++);
    fds[0].revents = step.readable ? POLLIN : 0;
    g_nextDevice = step.syspath;
    errno = step.error;
    return step.result;
}

udev_device *fakeReceive(udev_monitor *) {
    return g_nextDevice == nullptr ? nullptr
                                   : udev_device_new_from_syspath(g_script->context, g_nextDevice);
}

WatchOps fakeOps() {
    WatchOps ops = systemWatchOps();
    ops.getUid = fakeUid;
    ops.newMonitor = fakeNewMonitor;
    ops.enableReceiving = fakeEnable;
    ops.waitReadable = fakeWait;
    ops.receiveDevice = fakeReceive;
    return ops;
}

const char *const kNull = "/sys/devices/virtual/mem/null";
const char *const kLoopback = "/sys/class/net/lo";

} // namespace

Q_DECLARE_METATYPE(QList<Step>)
#endif // L2_NO_UDEV
Q_DECLARE_METATYPE(LinkEvent)

class TestNetwatch : public QObject {
    Q_OBJECT
  private slots:
    void subsystem_data();
    void subsystem();
#ifndef L2_NO_UDEV
    void deviceLines();
    void watch_data();
    void watch();
    void waitReleasesEverything();
#endif
    void linkMessages_data();
    void linkMessages();
    void upOnlyForLinks();
    void servedLink_data();
    void servedLink();
    void linkWakesTheWait_data();
    void linkWakesTheWait();
    void lostNotificationsAskTheLink_data();
    void lostNotificationsAskTheLink();
    void addressCache();
    void monitorLossAndForgery();
};

void TestNetwatch::subsystem_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("network");
    QTest::newRow("net") << QStringLiteral("net") << true;
    QTest::newRow("longer name") << QStringLiteral("netconsole") << true;
    QTest::newRow("inside") << QStringLiteral("xnetx") << true;
    QTest::newRow("upper case") << QStringLiteral("NET") << false;
    QTest::newRow("block") << QStringLiteral("block") << false;
    QTest::newRow("none") << QString() << false;
}

void TestNetwatch::subsystem() {
    QFETCH(QString, name);
    QFETCH(bool, network);
    QCOMPARE(isNetworkSubsystem(name), network);
}

#ifndef L2_NO_UDEV
void TestNetwatch::deviceLines() {
    udev *context = udev_new();
    QVERIFY(context != nullptr);
    udev_device *lo = udev_device_new_from_syspath(context, kLoopback);
    udev_device *null = udev_device_new_from_syspath(context, kNull);
    QVERIFY(lo != nullptr && null != nullptr);
    QVERIFY(is_net_work_device_changed(lo));
    QVERIFY(!is_net_work_device_changed(null));

    LogCapture log;
    // A device read from sysfs has no action: its piece stays, empty.
    print_device(lo, false);
    QCOMPARE(log.lines(), QStringList{QStringLiteral(" /devices/virtual/net/lo net")});
    log.clear();
    print_device(lo, true);
    const QStringList lines = log.lines();
    QVERIFY(lines.size() > 2);
    QCOMPARE(lines.first(), QStringLiteral(" /devices/virtual/net/lo net"));
    QVERIFY2(lines.contains(QStringLiteral("INTERFACE lo")),
             qPrintable(lines.join(QLatin1Char('|'))));
    QVERIFY(lines.contains(QStringLiteral("SUBSYSTEM net")));
    udev_device_unref(lo);
    udev_device_unref(null);
    udev_unref(context);
}

void TestNetwatch::watch_data() {
    QTest::addColumn<uint>("uid");
    QTest::addColumn<bool>("monitorMade");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<int>("meanwhile"); // -1: no check; else what the check answers
    QTest::addColumn<int>("asked");     // how often the check is asked

    const QString stop = QStringLiteral("stop the kernel uevent");
    const QString start = QStringLiteral("start the kernel uevent");
    QTest::newRow("not root") << 65534u << true << true << QList<Step>() << 0
                              << QStringList{QStringLiteral(
                                                 "getuid error root privileges needed to "
                                                 "subscribe to kernel events"),
                                             stop}
                              << -1 << 0;
    QTest::newRow("monitor not made")
        << 0u << false << true << QList<Step>() << 3
        << QStringList{QStringLiteral("udev_monitor_new_from_netlink error"), stop} << -1 << 0;
    QTest::newRow("receiving not enabled")
        << 0u << true << false << QList<Step>() << 4
        << QStringList{QStringLiteral("udev_monitor_enable_receiving error"), stop} << -1 << 0;
    QTest::newRow("quiet waits, other device, then network")
        << 0u << true << true
        << QList<Step>{{-1, EINTR, false, nullptr},
                       {1, 0, false, nullptr},
                       {1, 0, true, nullptr},
                       {1, 0, true, kNull},
                       {1, 0, true, kLoopback}}
        << 0
        << QStringList{start, QStringLiteral(" /devices/virtual/mem/null mem"),
                       QStringLiteral(" /devices/virtual/net/lo net"),
                       QStringLiteral("network changed"), stop}
        << -1 << 0;
    QTest::newRow("the wait fails: the watch ends")
        << 0u << true << true << QList<Step>{{1, 0, true, kNull}, {-1, EBADF, false, nullptr}} << 5
        << QStringList{start, QStringLiteral(" /devices/virtual/mem/null mem"),
                       QStringLiteral("udev_monitor_get_fd error receiving uevent message"), stop}
        << -1 << 0;
    QTest::newRow("not root: check not asked")
        << 65534u << true << true << QList<Step>() << 0
        << QStringList{QStringLiteral("getuid error root privileges needed to subscribe to kernel "
                                      "events"),
                       stop}
        << 1 << 0;
    QTest::newRow("changed before the watch began")
        << 0u << true << true << QList<Step>() << 0
        << QStringList{start, QStringLiteral("network changed before the watch began"), stop} << 1
        << 1;
    QTest::newRow("nothing changed meanwhile: waits for an event")
        << 0u << true << true << QList<Step>{{1, 0, true, kLoopback}} << 0
        << QStringList{start, QStringLiteral(" /devices/virtual/net/lo net"),
                       QStringLiteral("network changed"), stop}
        << 0 << 1;
}

void TestNetwatch::watch() {
    QFETCH(uint, uid);
    QFETCH(bool, monitorMade);
    QFETCH(bool, enabled);
    QFETCH(QList<Step>, steps);
    QFETCH(int, result);
    QFETCH(QStringList, log);
    QFETCH(int, meanwhile);
    QFETCH(int, asked);

    Script script;
    script.uid = uid;
    script.monitorMade = monitorMade;
    script.enabled = enabled;
    script.steps = steps;
    script.context = udev_new();
    g_script = &script;
    LogCapture capture;
    int askedCount = 0;
    std::function<bool()> check;
    if (meanwhile >= 0) {
        check = [&] {
            ++askedCount;
            return meanwhile == 1;
        };
    }
    QCOMPARE(udevadm_monitor_with(script.context, fakeOps(), check), result);
    QCOMPARE(askedCount, asked);
    g_script = nullptr;
    udev_unref(script.context);
    QCOMPARE(capture.lines(), log);
    QCOMPARE(script.waits, steps.size());
}

namespace {
// One whole watch on the system's calls, on a context of its own.
int systemWatch() {
    udev *context = udev_new();
    const int result = udevadm_monitor_with(context, systemWatchOps());
    udev_unref(context);
    return result;
}
} // namespace

// The real watch as a non-root user returns at once; run in a child so that the test process
// keeps its own user.
void TestNetwatch::waitReleasesEverything() {
    if (getuid() != 0) {
        LogCapture capture;
        QCOMPARE(systemWatch(), int(WatchNetworkChanged));
        QCOMPARE(capture.lines().size(), 2);
        return;
    }
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (setuid(65534) != 0) {
            _exit(10);
        }
        LogCapture capture;
        const int result = systemWatch();
        const QStringList expected{
            QStringLiteral("getuid error root privileges needed to subscribe to kernel events"),
            QStringLiteral("stop the kernel uevent")};
        _exit(result == WatchNetworkChanged && capture.lines() == expected ? 0 : 11);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

#endif // L2_NO_UDEV

namespace {

QByteArray attribute(unsigned short type, const QByteArray &value) {
    rtattr a{static_cast<unsigned short>(RTA_LENGTH(value.size())), type};
    QByteArray attr = QByteArray(reinterpret_cast<const char *>(&a), sizeof a) + value;
    return attr + QByteArray(RTA_ALIGN(attr.size()) - attr.size(), '\0');
}

template <typename Body>
QByteArray message(quint16 type, const Body &body, const QByteArray &attrs) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_len = NLMSG_LENGTH(sizeof body) + attrs.size();
    return QByteArray(reinterpret_cast<const char *>(&header), sizeof header) +
           QByteArray(reinterpret_cast<const char *>(&body), sizeof body) + attrs;
}

// One rtnetlink link message, as the kernel lays it out; `name` empty for none, `mtu` 0 for
// none.
QByteArray linkMessage(quint16 type, int index, unsigned flags, const QByteArray &name,
                       quint32 mtu = 0) {
    QByteArray attrs;
    if (!name.isEmpty()) {
        attrs += attribute(IFLA_IFNAME, name + '\0');
    }
    if (mtu != 0) {
        attrs += attribute(IFLA_MTU, QByteArray(reinterpret_cast<const char *>(&mtu), sizeof mtu));
    }
    ifinfomsg info{};
    info.ifi_index = index;
    info.ifi_flags = flags;
    return message(type, info, attrs);
}

QByteArray addressMessage(quint16 type, int index) {
    ifaddrmsg info{};
    info.ifa_family = AF_INET;
    info.ifa_index = static_cast<unsigned>(index);
    return message(type, info, QByteArray());
}

LinkEvent linkEvent(int index, const char *name, bool up, int mtu = 0,
                    LinkEvent::Kind kind = LinkEvent::Link) {
    LinkEvent e;
    e.kind = kind;
    e.index = index;
    e.name = QString::fromLatin1(name);
    e.flags = up ? IFF_UP : 0;
    e.mtu = mtu;
    return e;
}

} // namespace

void TestNetwatch::linkMessages_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QStringList>("events"); // name:index:up|down|removed
    const QByteArray up = linkMessage(RTM_NEWLINK, 7, IFF_UP | IFF_RUNNING, "eth1");
    QTest::newRow("link up") << up << QStringList{QStringLiteral("eth1:7:up")};
    QTest::newRow("down, then removed, in one datagram")
        << linkMessage(RTM_NEWLINK, 7, 0, "eth1") + linkMessage(RTM_DELLINK, 7, IFF_UP, "eth1")
        << QStringList{QStringLiteral("eth1:7:down"), QStringLiteral("eth1:7:removed")};
    QTest::newRow("other messages skipped")
        << linkMessage(RTM_NEWROUTE, 3, 0, "x") + up << QStringList{QStringLiteral("eth1:7:up")};
    QTest::newRow("no name") << linkMessage(RTM_NEWLINK, 2, IFF_UP, QByteArray())
                             << QStringList{QStringLiteral(":2:up")};
    QTest::newRow("mtu, and an address change")
        << linkMessage(RTM_NEWLINK, 7, IFF_UP, "eth1", 9000) + addressMessage(RTM_DELADDR, 7)
        << QStringList{QStringLiteral("eth1:7:up:9000"), QStringLiteral(":7:address")};
    QTest::newRow("length past the end") << up.left(up.size() - 4) << QStringList();
    QTest::newRow("runt") << QByteArray(8, '\xff') << QStringList();
}

void TestNetwatch::linkMessages() {
    QFETCH(QByteArray, datagram);
    QFETCH(QStringList, events);
    QStringList seen;
    for (const LinkEvent &e : parseLinkMessages(datagram)) {
        seen << QStringLiteral("%1:%2:%3%4")
                    .arg(e.name)
                    .arg(e.index)
                    .arg(e.kind == LinkEvent::LinkRemoved ? QStringLiteral("removed")
                         : e.kind == LinkEvent::Address   ? QStringLiteral("address")
                         : e.up()                         ? QStringLiteral("up")
                                                          : QStringLiteral("down"))
                    .arg(e.mtu != 0 ? QStringLiteral(":%1").arg(e.mtu) : QString());
    }
    QCOMPARE(seen, events);
}

// A removed link's last flags may still say up; only a link notification tells.
void TestNetwatch::upOnlyForLinks() {
    QVERIFY(linkEvent(7, "eth1", true).up());
    QVERIFY(!linkEvent(7, "eth1", false).up());
    QVERIFY(!linkEvent(7, "eth1", true, 0, LinkEvent::LinkRemoved).up());
    QVERIFY(!linkEvent(7, "eth1", true, 0, LinkEvent::Address).up());
}

void TestNetwatch::servedLink_data() {
    QTest::addColumn<QList<LinkEvent>>("events");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mtu");
    QTest::newRow("others' events") << QList<LinkEvent>{linkEvent(3, "eth1", false, 9000)}
                                    << int(LinkVerdict::Serving) << QStringLiteral("eth1") << 1500;
    QTest::newRow("down and up in one batch")
        << QList<LinkEvent>{linkEvent(7, "eth1", false), linkEvent(7, "eth1", true)}
        << int(LinkVerdict::Serving) << QStringLiteral("eth1") << 1500;
    QTest::newRow("down") << QList<LinkEvent>{linkEvent(7, "eth1", false)} << int(LinkVerdict::Down)
                          << QStringLiteral("eth1") << 1500;
    QTest::newRow("renamed, then down: the new name")
        << QList<LinkEvent>{linkEvent(7, "eth8", true), linkEvent(7, "eth8", false)}
        << int(LinkVerdict::Renamed) << QStringLiteral("eth8") << 1500;
    QTest::newRow("renamed away and back")
        << QList<LinkEvent>{linkEvent(7, "ethT", true), linkEvent(7, "eth1", true)}
        << int(LinkVerdict::Serving) << QStringLiteral("eth1") << 1500;
    QTest::newRow("removed") << QList<LinkEvent>{linkEvent(7, "eth1", true, 0,
                                                           LinkEvent::LinkRemoved)}
                             << int(LinkVerdict::Removed) << QStringLiteral("eth1") << 1500;
    QTest::newRow("mtu followed, still serving")
        << QList<LinkEvent>{linkEvent(7, "eth1", true, 9000)} << int(LinkVerdict::Serving)
        << QStringLiteral("eth1") << 9000;
    QTest::newRow("an address change is no link change")
        << QList<LinkEvent>{linkEvent(7, "", false, 0, LinkEvent::Address)}
        << int(LinkVerdict::Serving) << QStringLiteral("eth1") << 1500;
}

void TestNetwatch::servedLink() {
    QFETCH(QList<LinkEvent>, events);
    QFETCH(int, verdict);
    QFETCH(QString, name);
    QFETCH(int, mtu);
    ServedLink link;
    link.index = 7;
    link.name = QStringLiteral("eth1");
    link.up = true;
    link.mtu = 1500;
    followServedLink(&link, events);
    QCOMPARE(int(servedLinkVerdict(link, QStringLiteral("eth1"))), verdict);
    QCOMPARE(link.name, name);
    QCOMPARE(link.mtu, mtu);
}

void TestNetwatch::linkWakesTheWait_data() {
    QTest::addColumn<QList<LinkEvent>>("events");
    QTest::addColumn<int>("indexAtStart");
    QTest::addColumn<bool>("upAtStart");
    QTest::addColumn<bool>("udev");
    QTest::addColumn<int>("wake");
    const QList<LinkEvent> up{linkEvent(7, "eth1", true)};
    QTest::newRow("listed down, brought up") << up << 7 << false << true << int(LinkWake::Now);
    QTest::newRow("listed up: a flag change is no news")
        << up << 7 << true << false << int(LinkWake::None);
    QTest::newRow("new, udev will announce it")
        << up << 0 << false << true << int(LinkWake::AfterUdev);
    QTest::newRow("new, no udev") << up << 0 << false << false << int(LinkWake::Now);
    QTest::newRow("replaced under the name") << up << 5 << true << false << int(LinkWake::Now);
    QTest::newRow("another name") << QList<LinkEvent>{linkEvent(7, "eth8", true)} << 7 << false
                                  << false << int(LinkWake::None);
    QTest::newRow("up, then down")
        << QList<LinkEvent>{linkEvent(7, "eth1", true), linkEvent(7, "eth1", false)} << 7 << false
        << false << int(LinkWake::None);
    QTest::newRow("renamed back under its name")
        << QList<LinkEvent>{linkEvent(7, "ethT", true), linkEvent(7, "eth1", true)} << 0 << false
        << true << int(LinkWake::AfterUdev);
}

void TestNetwatch::linkWakesTheWait() {
    QFETCH(QList<LinkEvent>, events);
    QFETCH(int, indexAtStart);
    QFETCH(bool, upAtStart);
    QFETCH(bool, udev);
    QFETCH(int, wake);
    ServedLink atStart;
    atStart.index = indexAtStart;
    atStart.up = upAtStart;
    QCOMPARE(int(linkWakesWait(events, QStringLiteral("eth1"), atStart, udev)), wake);
}

// When notifications were lost, the link itself is asked, and by the same rule.
void TestNetwatch::lostNotificationsAskTheLink_data() {
    QTest::addColumn<int>("indexNow");
    QTest::addColumn<bool>("upNow");
    QTest::addColumn<int>("wake");
    QTest::newRow("up under the index listed down at the start") << 7 << true << int(LinkWake::Now);
    QTest::newRow("still down") << 7 << false << int(LinkWake::None);
    QTest::newRow("still missing") << 0 << false << int(LinkWake::None);
    QTest::newRow("new, udev will announce it") << 9 << true << int(LinkWake::AfterUdev);
}

void TestNetwatch::lostNotificationsAskTheLink() {
    QFETCH(int, indexNow);
    QFETCH(bool, upNow);
    QFETCH(int, wake);
    LinkWatch watch;
    watch.interfaceName = QStringLiteral("eth1");
    watch.atStart.index = 7;
    watch.atStart.up = false;
    watch.udevAlive = true;
    int asked = 0;
    const auto lookUp = [&] {
        ++asked;
        ServedLink now;
        now.index = indexNow;
        now.up = upNow;
        return now;
    };
    // The events read before the loss say nothing; what the link says now counts.
    QCOMPARE(int(wakeFromLink(true, {}, lookUp, watch)), wake);
    QCOMPARE(asked, 1);
    QCOMPARE(int(wakeFromLink(false, {}, lookUp, watch)), int(LinkWake::None));
    QCOMPARE(asked, 1);
}

namespace {
int g_reads = 0;
QStringList countedRead() {
    ++g_reads;
    return {QStringLiteral("192.0.2.%1").arg(g_reads)};
}

void send(int fd, const QByteArray &datagram) {
    QCOMPARE(write(fd, datagram.constData(), size_t(datagram.size())), ssize_t(datagram.size()));
}

QString addressLine(const ArgsStr &args) {
    const QList<QByteArray> lines = boardInfoPayload(args).split('\n');
    return QString::fromLatin1(lines.value(5));
}
} // namespace

// The kept reply: built once per address generation, a notification that came before the
// request moves the generation on, and nothing is kept without something that listens.
void TestNetwatch::addressCache() {
    int fds[2];
    QCOMPARE(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    LinkMonitor monitor;
    monitor.openOn(fds[0]);
    g_reads = 0;
    ArgsStr args;
    args.info.read = countedRead;
    args.links = &monitor;
    QCOMPARE(addressLine(args), QStringLiteral("IpAddress : 192.0.2.1"));
    QCOMPARE(addressLine(args), QStringLiteral("IpAddress : 192.0.2.1"));
    QCOMPARE(g_reads, 1);
    // An address notification that came before the next request counts for it, and the link
    // the monitor follows has it applied.
    const quint64 before = monitor.addressGeneration();
    send(fds[1], addressMessage(RTM_NEWADDR, 3));
    QCOMPARE(addressLine(args), QStringLiteral("IpAddress : 192.0.2.2"));
    QCOMPARE(addressLine(args), QStringLiteral("IpAddress : 192.0.2.2"));
    QCOMPARE(g_reads, 2);
    QVERIFY(monitor.addressGeneration() > before);
    // A route notification is no reason.
    send(fds[1], linkMessage(RTM_NEWROUTE, 3, 0, "x"));
    QCOMPARE(addressLine(args), QStringLiteral("IpAddress : 192.0.2.2"));
    QCOMPARE(g_reads, 2);
    // Without a listener nothing is kept.
    args.links = nullptr;
    addressLine(args);
    addressLine(args);
    QCOMPARE(g_reads, 4);
    close(fds[1]);
}

namespace {
int g_lossesLeft = 0;
// The kernel's answer after an overflow: ENOBUFS once, then what is still queued.
ssize_t overflowingReceive(int fd, char *buffer, size_t size, sockaddr_nl *from) {
    std::memset(from, 0, sizeof *from);
    if (g_lossesLeft > 0) {
        --g_lossesLeft;
        errno = ENOBUFS;
        return -1;
    }
    return recv(fd, buffer, size, MSG_TRUNC | MSG_DONTWAIT);
}
ssize_t fromAProcess(int fd, char *buffer, size_t size, sockaddr_nl *from) {
    const ssize_t n = recv(fd, buffer, size, MSG_TRUNC | MSG_DONTWAIT);
    std::memset(from, 0, sizeof *from);
    from->nl_family = AF_NETLINK;
    from->nl_pid = 4242;
    return n;
}
} // namespace

// Lost notifications are reported, the followed link is asked afresh (here: no such
// interface, so removed) and the address generation moves on; a forged notification from a
// process is no news.
void TestNetwatch::monitorLossAndForgery() {
    int fds[2];
    QCOMPARE(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    LinkMonitor monitor;
    monitor.openOn(fds[0], overflowingReceive);
    ServedLink known;
    known.index = 0x7ffffff0; // an index no interface has
    known.name = QStringLiteral("l2gone0");
    known.up = true;
    monitor.follow(known, known.name);
    QVERIFY(monitor.served().removed);
    const quint64 before = monitor.addressGeneration();
    g_lossesLeft = 1;
    send(fds[1], linkMessage(RTM_NEWLINK, 3, IFF_UP, "eth1"));
    QList<LinkEvent> events;
    QCOMPARE(monitor.read(&events), LinkMonitor::Lost);
    QCOMPARE(events.size(), 1); // what came after the loss still counts
    QVERIFY(monitor.addressGeneration() > before);
    QCOMPARE(monitor.read(&events), LinkMonitor::Complete);
    QVERIFY(events.isEmpty());

    LinkMonitor forged;
    forged.openOn(dup(fds[0]), fromAProcess);
    send(fds[1], linkMessage(RTM_DELLINK, 3, 0, "eth1"));
    QCOMPARE(forged.read(&events), LinkMonitor::Complete);
    QVERIFY(events.isEmpty());
    close(fds[1]);
}

QTEST_APPLESS_MAIN(TestNetwatch)
#include "tst_netwatch.moc"
