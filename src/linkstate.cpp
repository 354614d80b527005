// Reading, parsing and following rtnetlink link and address notifications.
#include "linkstate.h"

#include "netif.h"
#include "text.h"

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

const char *const kUdevControlPath = "/run/udev/control";

bool LinkEvent::up() const {
    return kind == Link && (flags & IFF_UP) != 0;
}

namespace {

// The IFLA_IFNAME, IFLA_MTU and IFLA_ADDRESS attributes of one link message.
void readLinkAttributes(const QByteArray &datagram, int at, int end, LinkEvent *event) {
    while (end - at >= static_cast<int>(sizeof(rtattr))) {
        rtattr attr;
        std::memcpy(&attr, datagram.constData() + at, sizeof attr);
        if (attr.rta_len < sizeof attr || attr.rta_len > end - at) {
            return;
        }
        const int valueAt = at + static_cast<int>(RTA_LENGTH(0));
        const int valueLen = attr.rta_len - static_cast<int>(RTA_LENGTH(0));
        if (attr.rta_type == IFLA_IFNAME) {
            // The kernel ends the name with a NUL.
            event->name = utf8BeforeNul(datagram.mid(valueAt, valueLen));
        } else if (attr.rta_type == IFLA_MTU && valueLen >= static_cast<int>(sizeof(quint32))) {
            quint32 mtu = 0;
            std::memcpy(&mtu, datagram.constData() + valueAt, sizeof mtu);
            event->mtu = static_cast<int>(mtu);
        } else if (attr.rta_type == IFLA_ADDRESS) {
            event->mac = datagram.mid(valueAt, valueLen);
        }
        at += static_cast<int>(RTA_ALIGN(attr.rta_len));
    }
}

} // namespace

QList<LinkEvent> parseLinkMessages(QByteArray datagram) {
    QList<LinkEvent> events;
    int offset = 0;
    while (datagram.size() - offset >= static_cast<int>(sizeof(nlmsghdr))) {
        nlmsghdr header;
        std::memcpy(&header, datagram.constData() + offset, sizeof header);
        const int length = static_cast<int>(header.nlmsg_len);
        if (length < static_cast<int>(sizeof header) || length > datagram.size() - offset) {
            break; // a length that does not fit cannot be walked past
        }
        const int body = offset + static_cast<int>(NLMSG_HDRLEN);
        const bool isLink = header.nlmsg_type == RTM_NEWLINK || header.nlmsg_type == RTM_DELLINK;
        const bool isAddress = header.nlmsg_type == RTM_NEWADDR || header.nlmsg_type == RTM_DELADDR;
        if (isLink && length >= static_cast<int>(NLMSG_LENGTH(sizeof(ifinfomsg)))) {
            ifinfomsg info;
            std::memcpy(&info, datagram.constData() + body, sizeof info);
            LinkEvent event;
            event.kind =
                header.nlmsg_type == RTM_DELLINK ? LinkEvent::LinkRemoved : LinkEvent::Link;
            event.index = info.ifi_index;
            event.flags = info.ifi_flags;
            readLinkAttributes(datagram, offset + static_cast<int>(NLMSG_SPACE(sizeof(ifinfomsg))),
                               offset + length, &event);
            events.append(event);
        } else if (isAddress && length >= static_cast<int>(NLMSG_LENGTH(sizeof(ifaddrmsg)))) {
            ifaddrmsg info;
            std::memcpy(&info, datagram.constData() + body, sizeof info);
            LinkEvent event;
            event.kind = LinkEvent::Address;
            event.index = static_cast<int>(info.ifa_index);
            events.append(event);
        }
        offset += static_cast<int>(NLMSG_ALIGN(length));
    }
    return events;
}

namespace {

ssize_t receiveFromKernel(int fd, char *buffer, size_t size, sockaddr_nl *from) {
    socklen_t length = sizeof *from;
    std::memset(from, 0, sizeof *from);
    return recvfrom(fd, buffer, size, MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr *>(from),
                    &length);
}

// A receive buffer grown on each loss, as lldpd does, up to this.
constexpr int kMaxReceiveBuffer = 4 * 1024 * 1024;

} // namespace

LinkMonitor::~LinkMonitor() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool LinkMonitor::open() {
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd_ < 0) {
        return false;
    }
    receive_ = receiveFromKernel;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        errno = error;
        return false;
    }
    return true;
}

void LinkMonitor::openOn(int fd, Receive receive) {
    fd_ = fd;
    receive_ = receive != nullptr ? receive : receiveFromKernel;
}

void LinkMonitor::growReceiveBuffer() {
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0 || size >= kMaxReceiveBuffer) {
        return;
    }
    // The kernel reports twice what was set; doubling what it reports doubles the room. Root
    // may pass the system's limit.
    const int wanted = qMin(size * 2, kMaxReceiveBuffer);
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }
}

LinkMonitor::ReadResult LinkMonitor::read(QList<LinkEvent> *events) {
    events->clear();
    if (fd_ < 0) {
        return Complete;
    }
    ReadResult result = Complete;
    // Link notifications are well under a page; a larger datagram would be cut and counts as
    // lost, like an overflow.
    char buffer[32768];
    for (;;) {
        sockaddr_nl from;
        const ssize_t n = receive_(fd_, buffer, sizeof buffer, &from);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOBUFS) {
                result = Lost; // the kernel dropped notifications; what is left still counts
                continue;
            }
            // EAGAIN: all read. Any other error leaves the socket in an unknown state, so the
            // link itself is asked afresh.
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                result = Lost;
            }
            break;
        }
        if (n == 0) {
            break;
        }
        if (static_cast<size_t>(n) > sizeof buffer) {
            result = Lost;
            continue;
        }
        // Only the kernel speaks on this socket: anything another process sends is not news.
        if (from.nl_family == AF_NETLINK && from.nl_pid != 0) {
            continue;
        }
        events->append(parseLinkMessages(QByteArray(buffer, static_cast<int>(n))));
    }
    if (result == Lost) {
        growReceiveBuffer();
        ++generation_;
        if (!servedName_.isEmpty()) {
            served_ = resyncServedLink(served_, servedName_);
        }
        return Lost;
    }
    if (addressesMayHaveChanged(*events)) {
        ++generation_;
    }
    followServedLink(&served_, *events);
    return Complete;
}

void LinkMonitor::catchUp() {
    QList<LinkEvent> events;
    read(&events);
}

void LinkMonitor::follow(const ServedLink &known, const QString &servedName) {
    servedName_ = servedName;
    served_ = resyncServedLink(known, servedName);
    ++generation_;
}

namespace {

QString nameOf(int index) {
    char name[IF_NAMESIZE] = {};
    return index > 0 && if_indextoname(static_cast<unsigned>(index), name) != nullptr
               ? QString::fromUtf8(name)
               : QString();
}

} // namespace

ServedLink resyncServedLink(const ServedLink &known, const QString &servedName) {
    ServedLink now;
    if (known.index != 0) {
        now.index = known.index;
        now.name = nameOf(known.index);
        if (now.name.isEmpty()) {
            now.name = known.name;
            now.removed = true;
            return now;
        }
    } else {
        const QByteArray served = servedName.toUtf8();
        now.index = served.isEmpty() ? 0 : static_cast<int>(if_nametoindex(served.constData()));
        if (now.index == 0) {
            now.name = servedName;
            return now;
        }
        now.name = servedName;
    }
    const QByteArray name = now.name.toUtf8();
    ifreq request;
    now.up = netif::ask(name, SIOCGIFFLAGS, &request) && (request.ifr_flags & IFF_UP) != 0;
    if (netif::ask(name, SIOCGIFMTU, &request)) {
        now.mtu = request.ifr_mtu;
    }
    if (netif::ask(name, SIOCGIFHWADDR, &request) && request.ifr_hwaddr.sa_family == ARPHRD_ETHER) {
        now.mac = QByteArray(request.ifr_hwaddr.sa_data, 6);
    }
    return now;
}

ServedLink lookUpLink(const QString &servedName) {
    return resyncServedLink(ServedLink(), servedName);
}

void followServedLink(ServedLink *link, const QList<LinkEvent> &events) {
    for (const LinkEvent &event : events) {
        if (event.index != link->index || event.kind == LinkEvent::Address) {
            continue;
        }
        if (event.kind == LinkEvent::LinkRemoved) {
            link->removed = true;
            continue;
        }
        if (!event.name.isEmpty()) {
            link->name = event.name;
        }
        link->up = event.up();
        if (event.mtu > 0) {
            link->mtu = event.mtu;
        }
        if (event.mac.size() == 6) {
            link->mac = event.mac;
        }
    }
}

LinkVerdict servedLinkVerdict(const ServedLink &link, const QString &servedName) {
    if (link.removed || link.index == 0) {
        return LinkVerdict::Removed;
    }
    if (link.name != servedName) {
        return LinkVerdict::Renamed;
    }
    return link.up ? LinkVerdict::Serving : LinkVerdict::Down;
}

namespace {

LinkWake wakeFor(bool up, int index, const ServedLink &atStart, bool udevAlive) {
    if (!up) {
        return LinkWake::None;
    }
    if (atStart.index != 0 && index == atStart.index) {
        return atStart.up ? LinkWake::None : LinkWake::Now;
    }
    return udevAlive ? LinkWake::AfterUdev : LinkWake::Now;
}

} // namespace

LinkWake linkWakesWait(const QList<LinkEvent> &events, const QString &servedName,
                       const ServedLink &atStart, bool udevAlive) {
    LinkWake wake = LinkWake::None;
    for (const LinkEvent &event : events) {
        if (event.kind != LinkEvent::Address && event.name == servedName) {
            // The latest one counts.
            wake = wakeFor(event.up(), event.index, atStart, udevAlive);
        }
    }
    return wake;
}

LinkWake linkWakesWait(const ServedLink &now, const ServedLink &atStart, bool udevAlive) {
    return now.index == 0 || now.removed ? LinkWake::None
                                         : wakeFor(now.up, now.index, atStart, udevAlive);
}

bool addressesMayHaveChanged(const QList<LinkEvent> &events) {
    // A new or renamed link changes where its addresses stand in the list, too.
    for (const LinkEvent &event : events) {
        if (event.kind == LinkEvent::Address || event.kind == LinkEvent::Link) {
            return true;
        }
    }
    return false;
}

bool udevAlive(const char *controlPath) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return true; // cannot tell: trust udev, the wait's bound still holds
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, controlPath, sizeof address.sun_path - 1);
    const bool connected =
        connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ||
        errno == EINPROGRESS || errno == EAGAIN;
    const int error = errno;
    close(fd);
    // No socket, or one nobody listens on: no daemon. Anything else (a full backlog, a
    // permission problem) is taken as a daemon that is there.
    return connected || (error != ENOENT && error != ECONNREFUSED && error != ENOTDIR);
}
