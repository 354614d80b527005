// Reading and parsing rtnetlink link notifications.
#include "linkwatch.h"

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

bool LinkEvent::up() const {
    return !removed && (flags & IFF_UP) != 0;
}

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
        const bool isLink = header.nlmsg_type == RTM_NEWLINK || header.nlmsg_type == RTM_DELLINK;
        if (isLink && length >= static_cast<int>(NLMSG_LENGTH(sizeof(ifinfomsg)))) {
            ifinfomsg info;
            std::memcpy(&info, datagram.constData() + offset + NLMSG_HDRLEN, sizeof info);
            LinkEvent event;
            event.removed = header.nlmsg_type == RTM_DELLINK;
            event.index = info.ifi_index;
            event.flags = info.ifi_flags;
            int at = offset + static_cast<int>(NLMSG_LENGTH(sizeof(ifinfomsg)));
            at = offset + static_cast<int>(NLMSG_ALIGN(at - offset));
            const int end = offset + length;
            while (end - at >= static_cast<int>(sizeof(rtattr))) {
                rtattr attr;
                std::memcpy(&attr, datagram.constData() + at, sizeof attr);
                if (attr.rta_len < sizeof attr || attr.rta_len > end - at) {
                    break;
                }
                if (attr.rta_type == IFLA_IFNAME) {
                    const QByteArray value =
                        datagram.mid(at + static_cast<int>(RTA_LENGTH(0)),
                                     attr.rta_len - static_cast<int>(RTA_LENGTH(0)));
                    // The kernel ends the name with a NUL; fromUtf8 stops there.
                    event.name = QString::fromUtf8(value);
                }
                at += static_cast<int>(RTA_ALIGN(attr.rta_len));
            }
            events.append(event);
        }
        offset += static_cast<int>(NLMSG_ALIGN(length));
    }
    return events;
}

int openLinkMonitor() {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        return -1;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool readLinkEvents(int fd, QList<LinkEvent> *events) {
    char buffer[16384];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (n == 0) {
            return true;
        }
        events->append(parseLinkMessages(QByteArray(buffer, static_cast<int>(n))));
    }
}

namespace {

bool interfaceFlags(const QString &interfaceName, ifreq *request) {
    const QByteArray name = interfaceName.toUtf8();
    if (name.isEmpty() || name.size() >= IFNAMSIZ) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    std::memset(request, 0, sizeof *request);
    std::memcpy(request->ifr_name, name.constData(), static_cast<size_t>(name.size()));
    const bool ok = ioctl(fd, SIOCGIFFLAGS, request) == 0;
    close(fd);
    return ok;
}

} // namespace

bool linkIsUp(QString interfaceName) {
    ifreq request;
    return interfaceFlags(interfaceName, &request) && (request.ifr_flags & IFF_UP) != 0;
}

int linkIndex(QString interfaceName) {
    const QByteArray name = interfaceName.toUtf8();
    return name.isEmpty() ? 0 : static_cast<int>(if_nametoindex(name.constData()));
}
