// libpcap capture and injection for the station tool.
#include "link.h"

#include "netif.h"

#include "wire.h"

#include <QFile>

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

volatile sig_atomic_t g_interrupted = 0;

namespace {

// Slots in the capture ring: a thousand boards answering at once, with room to spare while the
// tool drains it.
constexpr int kRingReplies = 4096;
// But never more than the agent's ring: at an MTU of 64 KiB, 4096 slots would take 268 MiB of
// the technician's memory for frames that are a few hundred bytes.
constexpr qint64 kMaxRingBytes = 16 * 1024 * 1024;

double wallMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// A whole reply: in immediate mode every ring slot has room for a whole snapshot; at 65536
// the ring would hold a few hundred replies where a thousand boards answer at once.
int snapLenFor(const QByteArray &interface) {
    ifreq request{};
    return netif::snapLenForMtu(netif::ask(interface, SIOCGIFMTU, &request) ? request.ifr_mtu : 0);
}

void collectOne(u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
    auto *replies = reinterpret_cast<QList<Reply> *>(user);
    Reply reply;
    reply.frame = QByteArray(reinterpret_cast<const char *>(bytes), int(header->caplen));
    // When the kernel saw it, not when this loop got to it: with a hundred boards answering
    // at once, the last replies wait in the ring. The capture's clock is the wall clock.
    const double capturedWallMs = double(header->ts.tv_sec) * 1000.0 + header->ts.tv_usec / 1e3;
    reply.atMs = StationLink::nowMs() - std::max(0.0, wallMs() - capturedWallMs);
    replies->append(reply);
}

} // namespace

StationLink::~StationLink() {
    close();
}

void StationLink::close() {
    if (handle_ != nullptr) {
        pcap_close(handle_);
        handle_ = nullptr;
    }
}

double StationLink::nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

StationExit StationLink::open(const QString &interface, QString *error) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    const QByteArray name = interface.toUtf8();
    bool listed = false;
    for (const InterfaceCandidate &c : listInterfaces()) {
        listed = listed || c.name == interface;
    }
    if (!listed) {
        *error = QStringLiteral("no such interface: %1").arg(interface);
        return ExitNoInterface;
    }
    handle_ = pcap_create(name.constData(), errbuf);
    if (handle_ == nullptr) {
        *error = QStringLiteral("cannot capture on %1: %2")
                     .arg(interface, QString::fromLocal8Bit(errbuf));
        return ExitCaptureError;
    }
    const int snapLen = snapLenFor(name);
    pcap_set_snaplen(handle_, snapLen);
    pcap_set_promisc(handle_, 1);
    // Replies must reach the tool the moment they arrive; many boards answer at once, so the
    // ring gets room for kRingReplies of them (about 6.5 MiB at MTU 1500; bench/RESULTS.md),
    // up to kMaxRingBytes.
    pcap_set_immediate_mode(handle_, 1);
    pcap_set_buffer_size(
        handle_,
        int(std::min<qint64>(qint64(kRingReplies) * netif::ringSlotBytes(snapLen), kMaxRingBytes)));
    const int status = pcap_activate(handle_);
    if (status < 0) {
        const QString reason = QString::fromLocal8Bit(pcap_geterr(handle_));
        pcap_close(handle_);
        handle_ = nullptr;
        if (status == PCAP_ERROR_PERM_DENIED || status == PCAP_ERROR_PROMISC_PERM_DENIED) {
            *error = QStringLiteral("no permission to capture on %1 (run as root or give "
                                    "l2station CAP_NET_RAW): %2")
                         .arg(interface, reason);
            return ExitNoPermission;
        }
        if (status == PCAP_ERROR_NO_SUCH_DEVICE) {
            *error = QStringLiteral("no such interface: %1").arg(interface);
            return ExitNoInterface;
        }
        *error = QStringLiteral("cannot capture on %1: %2").arg(interface, reason);
        return ExitCaptureError;
    }
    if (pcap_datalink(handle_) != DLT_EN10MB) {
        *error = QStringLiteral("%1 is not an Ethernet interface").arg(interface);
        return ExitCaptureError;
    }
    // Each station asks from its own address, so that a switch delivers each its own replies;
    // an interface without one asks from the station address.
    ownMac_ = interfaceMac(interface);
    if (ownMac_.size() != wire::kAddressLen || wire::isGroupAddress(ownMac_) ||
        ownMac_ == QByteArray(wire::kAddressLen, '\0')) {
        ownMac_ = wire::stationMac();
    }
    bpf_program program;
    // Boards in board-address mode answer from their own addresses: every frame to the
    // station's addresses is taken, and sorted out by what it carries; and other stations'
    // requests to the group address, which tell that they are there.
    const QByteArray filter = wire::stationFilter(ownMac_).toLatin1();
    if (pcap_compile(handle_, &program, filter.constData(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
        pcap_setfilter(handle_, &program) != 0) {
        *error = QStringLiteral("cannot filter on %1: %2")
                     .arg(interface, QString::fromLocal8Bit(pcap_geterr(handle_)));
        return ExitCaptureError;
    }
    pcap_freecode(&program);
    // Both ways: the requests that another l2station on this host sends to the group address
    // leave through this interface. This tool's own are told by their tags (ownRequestTag).
    pcap_setnonblock(handle_, 1, errbuf);
    return ExitOk;
}

bool StationLink::send(const QByteArray &dst, const QByteArray &payload) {
    return sendFrom(ownMac_, dst, payload, wire::kStationType);
}

bool StationLink::sendFrom(const QByteArray &src, const QByteArray &dst, const QByteArray &payload,
                           quint16 type) {
    // Padded to the minimum frame as a NIC would, so the boards see the same frame on every
    // kind of link. The agent's text ends at the zeros.
    const QByteArray frame = wire::requestFrameFrom(src, dst, payload, type);
    if (pcap_inject(handle_, frame.constData(), size_t(frame.size())) != frame.size()) {
        error_ = QString::fromLocal8Bit(pcap_geterr(handle_));
        return false;
    }
    return true;
}

StationExit StationLink::openFile(const QString &path, QString *error) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_open_offline(QFile::encodeName(path).constData(), errbuf);
    if (handle_ == nullptr) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(errbuf));
        return ExitCaptureError;
    }
    ownMac_ = wire::stationMac();
    return ExitOk;
}

void StationLink::collect(const CollectRule &rule, const std::function<bool(const Reply &)> &take) {
    const int fd = pcap_get_selectable_fd(handle_);
    double lastCounted = -1;
    QList<Reply> batch;
    for (;;) {
        // What the ring holds, a batch at a time: so that a flood cannot hold the deadline,
        // and no reply is left behind when the collection ends.
        for (;;) {
            batch.clear();
            const int n =
                pcap_dispatch(handle_, 64, collectOne, reinterpret_cast<u_char *>(&batch));
            for (const Reply &reply : batch) {
                if (take(reply)) {
                    lastCounted = reply.atMs;
                    if (rule.stopAtFirst) {
                        return;
                    }
                }
            }
            if (n <= 0 || nowMs() >= rule.deadlineMs) {
                break;
            }
        }
        const double end =
            collectionEndMs(rule.floorMs, rule.deadlineMs, lastCounted, rule.quietMs);
        const double left = end - nowMs();
        if (left <= 0 || stopped()) {
            return;
        }
        // A stop flag is looked at every 50 ms; a signal interrupts poll by itself.
        pollfd pfd{fd, POLLIN, 0};
        poll(&pfd, 1, stop_ != nullptr ? int(std::min(left, 50.0)) + 1 : int(left) + 1);
    }
}

bool sendToBoards(StationLink &link, const QByteArray &board, const QByteArray &payload,
                  const QByteArray &sharedPayload) {
    if (board == wire::serviceMac()) {
        // The window's actions on a board at the shared address: only boards in the default
        // mode take that address, from the station address.
        return link.sendFrom(wire::stationMac(), board, sharedPayload, wire::kStationType);
    }
    const QByteArray dst = board.isEmpty() ? wire::groupMac() : board;
    // The group copies first: a station that sees another's request to the group address
    // before the boards' replies to the shared address can tell those replies are not its own.
    if (!link.send(dst, payload)) {
        return false;
    }
    // Boards before 1.3 take requests from the station address only; current ones leave this
    // copy alone. A station without an address of its own sent its one copy from there.
    if (link.ownMac() != wire::stationMac() &&
        !link.sendFrom(wire::stationMac(), dst, payload, wire::kOldBoardsType)) {
        return false;
    }
    // Boards in the default mode take only this, from the station address to the shared one.
    return !board.isEmpty() ||
           link.sendFrom(wire::stationMac(), wire::serviceMac(), sharedPayload, wire::kStationType);
}

bool sendRequest(StationLink &link, const QByteArray &board, const char *keyword,
                 const QString &tag) {
    return sendToBoards(link, board, wire::taggedRequest(keyword, tag), QByteArray(keyword));
}

QByteArray interfaceMac(const QString &interface) {
    ifreq request{};
    const bool ok = netif::ask(interface.toUtf8(), SIOCGIFHWADDR, &request) &&
                    request.ifr_hwaddr.sa_family == ARPHRD_ETHER;
    return ok ? QByteArray(request.ifr_hwaddr.sa_data, wire::kAddressLen) : QByteArray();
}

QList<InterfaceCandidate> listInterfaces() {
    QList<InterfaceCandidate> list;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t *devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) != 0) {
        return list;
    }
    // The link type is asked of the kernel, in this network namespace: sysfs shows the one it
    // was mounted in, which under nsenter or setns is another.
    for (pcap_if_t *d = devices; d != nullptr; d = d->next) {
        InterfaceCandidate c;
        c.name = QString::fromUtf8(d->name);
        c.up = (d->flags & PCAP_IF_UP) != 0;
        c.loopback = (d->flags & PCAP_IF_LOOPBACK) != 0;
        const QByteArray name(d->name);
        ifreq request{};
        c.ethernet = netif::ask(name, SIOCGIFHWADDR, &request) &&
                     request.ifr_hwaddr.sa_family == ARPHRD_ETHER;
        // SIOCGIWNAME (linux/wireless.h, which clashes with net/if.h): answered by Wi-Fi
        // devices only. Its struct iwreq is smaller than an ifreq.
        constexpr unsigned long kGetWirelessName = 0x8B01;
        const QString sys = QStringLiteral("/sys/class/net/%1/").arg(c.name);
        c.wireless = netif::ask(name, kGetWirelessName, &request) ||
                     QFile::exists(sys + QStringLiteral("wireless")) ||
                     QFile::exists(sys + QStringLiteral("phy80211"));
        list.append(c);
    }
    pcap_freealldevs(devices);
    return list;
}

bool linkUsable(const QString &interface, QString *why) {
    ifreq request{};
    if (!netif::ask(interface.toUtf8(), SIOCGIFFLAGS, &request)) {
        *why = QStringLiteral("no such interface: %1").arg(interface);
    } else if ((request.ifr_flags & IFF_UP) == 0) {
        *why = QStringLiteral("%1 is down (bring it up: ip link set %1 up)").arg(interface);
    } else if ((request.ifr_flags & IFF_RUNNING) == 0) {
        *why = QStringLiteral("%1 has no carrier: no cable, or the other end is off or down")
                   .arg(interface);
    } else {
        return true;
    }
    return false;
}

bool waitForLink(const QString &interface, int timeoutMs) {
    // The kernel says when a link changes; the state is read afresh at each word from it, and
    // at least once a second.
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    if (fd >= 0) {
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    const double deadline = StationLink::nowMs() + timeoutMs;
    QString why;
    bool usable = linkUsable(interface, &why);
    while (!usable && g_interrupted == 0 && StationLink::nowMs() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        poll(&pfd, fd >= 0 ? 1 : 0, int(std::min(1000.0, deadline - StationLink::nowMs())) + 1);
        char buffer[8192];
        while (fd >= 0 && recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
        usable = linkUsable(interface, &why);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return usable;
}
