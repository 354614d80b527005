// Reading, parsing and following rtnetlink link and address notifications.
#include "linkstate.h"

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
            // The kernel ends the name with a NUL; fromUtf8 stops there.
            event->name = QString::fromUtf8(datagram.mid(valueAt, valueLen));
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

LinkMonitor::ReadResult LinkMonitor::read(QList<LinkEvent> *events) {
    *events = early_;
    ReadResult result = earlyLost_ ? Lost : Complete;
    early_.clear();
    earlyLost_ = false;
    if (fd_ < 0) {
        return result;
    }
    // Link notifications are well under a page; a larger datagram would be cut and counts as
    // lost, like an overflow.
    char buffer[32768];
    for (;;) {
        const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_TRUNC);
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
            return errno == EAGAIN || errno == EWOULDBLOCK ? result : Lost;
        }
        if (n == 0) {
            return result;
        }
        if (static_cast<size_t>(n) > sizeof buffer) {
            result = Lost;
            continue;
        }
        events->append(parseLinkMessages(QByteArray(buffer, static_cast<int>(n))));
    }
}

bool LinkMonitor::takePending(bool *addresses) {
    *addresses = false;
    if (fd_ < 0) {
        return false;
    }
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, 0) <= 0) {
        return false;
    }
    // read() hands out what was kept before too; all of it is kept again, in order.
    const int keptBefore = early_.size();
    QList<LinkEvent> events;
    const ReadResult result = read(&events);
    early_ = events;
    earlyLost_ = result == Lost;
    *addresses = result == Lost || addressesMayHaveChanged(events.mid(keptBefore));
    return true;
}

namespace {

bool interfaceRequest(const QByteArray &name, unsigned long request, ifreq *answer) {
    if (name.isEmpty() || name.size() >= IFNAMSIZ) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    std::memset(answer, 0, sizeof *answer);
    std::memcpy(answer->ifr_name, name.constData(), static_cast<size_t>(name.size()));
    const bool ok = ioctl(fd, request, answer) == 0;
    close(fd);
    return ok;
}

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
    now.up = interfaceRequest(name, SIOCGIFFLAGS, &request) && (request.ifr_flags & IFF_UP) != 0;
    if (interfaceRequest(name, SIOCGIFMTU, &request)) {
        now.mtu = request.ifr_mtu;
    }
    if (interfaceRequest(name, SIOCGIFHWADDR, &request) &&
        request.ifr_hwaddr.sa_family == ARPHRD_ETHER) {
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
