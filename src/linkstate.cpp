// Reading, parsing and following rtnetlink link and address notifications.
#include "linkstate.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

const char *const kUdevControlPath = "/run/udev/control";

bool LinkEvent::up() const {
    return kind == Link && (flags & IFF_UP) != 0;
}

namespace {

// The IFLA_IFNAME and IFLA_MTU attributes of one link message, from `at` to `end`.
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
        close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

LinkMonitor::ReadResult LinkMonitor::read(QList<LinkEvent> *events) {
    // Link notifications are well under a page; a larger datagram would be cut and counts as
    // lost, like an overflow.
    char buffer[32768];
    ReadResult result = Complete;
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
            return errno == EAGAIN || errno == EWOULDBLOCK ? result : Failed;
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

namespace {

bool interfaceRequest(const QString &interfaceName, unsigned long request, ifreq *answer) {
    const QByteArray name = interfaceName.toUtf8();
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

} // namespace

LinkFacts linkFacts(QString interfaceName) {
    LinkFacts facts;
    facts.index = linkIndex(interfaceName);
    if (facts.index == 0) {
        return facts;
    }
    facts.name = interfaceName;
    ifreq request;
    facts.up = interfaceRequest(interfaceName, SIOCGIFFLAGS, &request) &&
               (request.ifr_flags & IFF_UP) != 0;
    if (interfaceRequest(interfaceName, SIOCGIFMTU, &request)) {
        facts.mtu = request.ifr_mtu;
    }
    return facts;
}

int linkIndex(QString interfaceName) {
    const QByteArray name = interfaceName.toUtf8();
    return name.isEmpty() ? 0 : static_cast<int>(if_nametoindex(name.constData()));
}

QString linkName(int index) {
    char name[IF_NAMESIZE] = {};
    return index > 0 && if_indextoname(static_cast<unsigned>(index), name) != nullptr
               ? QString::fromUtf8(name)
               : QString();
}

LinkVerdict followServedLink(ServedLink *link, const QList<LinkEvent> &events,
                             const QString &servedName, int capturedMtu) {
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
    }
    if (link->removed) {
        return LinkVerdict::Removed;
    }
    if (link->name != servedName) {
        return LinkVerdict::Renamed;
    }
    if (!link->up) {
        return LinkVerdict::Down;
    }
    if (capturedMtu > 0 && link->mtu > 0 && link->mtu != capturedMtu) {
        return LinkVerdict::MtuChanged;
    }
    return LinkVerdict::Serving;
}

bool linkEndsWait(const QList<LinkEvent> &events, const QString &servedName, int indexAtStart,
                  bool udevRunning) {
    bool ends = false;
    for (const LinkEvent &event : events) {
        if (event.kind != LinkEvent::Address && event.name == servedName) {
            // The latest one counts.
            ends =
                event.up() && ((indexAtStart != 0 && event.index == indexAtStart) || !udevRunning);
        }
    }
    return ends;
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

bool udevRunning() {
    return QFileInfo::exists(QString::fromLatin1(kUdevControlPath));
}
