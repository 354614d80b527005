// Capture set-up on top of libpcap.
#include "capture.h"

#include "linkwatch.h"

#include <QDebug>

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

bool pcap_find(QString interfaceName) {
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof errbuf);
    pcap_if_t *devices = nullptr;
    // A failed enumeration leaves the list empty, so the name is simply not found.
    pcap_findalldevs(&devices, errbuf);
    bool found = false;
    for (pcap_if_t *device = devices; device != nullptr; device = device->next) {
        if (QString::fromUtf8(device->name) == interfaceName) {
            found = true;
            break;
        }
    }
    if (devices != nullptr) {
        pcap_freealldevs(devices);
    }
    return found;
}

QByteArray openFailureText(QByteArray device, int status, QByteArray reason) {
    QByteArray text = device + ": ";
    switch (status) {
    case PCAP_ERROR:
        return text + reason;
    case PCAP_ERROR_NO_SUCH_DEVICE:
    case PCAP_ERROR_PERM_DENIED:
    case PCAP_ERROR_PROMISC_PERM_DENIED:
        return text + pcap_statustostr(status) + " (" + reason + ")";
    default:
        return text + pcap_statustostr(status);
    }
}

namespace {

// Opens the capture like pcap_open_live, but in immediate mode: without it libpcap's
// TPACKET_V3 ring hands frames over only when the 500 ms timeout expires, so every reply
// would leave half a second late.
pcap *openLive(const QByteArray &device, char *errbuf) {
    pcap *handle = pcap_create(device.constData(), errbuf);
    if (handle == nullptr) {
        return nullptr;
    }
    pcap_set_snaplen(handle, kSnapLen);
    pcap_set_promisc(handle, kPromiscuous);
    pcap_set_timeout(handle, kReadTimeoutMs);
    pcap_set_immediate_mode(handle, 1);
    // Immediate mode gives every ring slot room for a whole snapshot, so the default 2 MiB
    // ring holds only about 32 frames.
    pcap_set_buffer_size(handle, kRingBytes);
    const int status = pcap_activate(handle);
    if (status < 0) {
        const QByteArray text = openFailureText(device, status, pcap_geterr(handle));
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", text.constData());
        pcap_close(handle);
        return nullptr;
    }
    if (status > 0) {
        // A warning is not a failure; keep its text where pcap_open_live would leave it.
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", pcap_geterr(handle));
    }
    return handle;
}

} // namespace

bool pcap_init(pcap **handle, QString interfaceName, QString filter) {
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof errbuf);
    *handle = openLive(interfaceName.toUtf8(), errbuf);
    if (*handle == nullptr) {
        qDebug() << "pcap_open_live error" << errbuf;
        return false;
    }
    bpf_program program;
    const QByteArray filterBytes = filter.toUtf8();
    if (pcap_compile(*handle, &program, filterBytes.constData(), 0, PCAP_NETMASK_UNKNOWN) != 0) {
        qDebug() << "pcap_compile error" << errbuf;
        pcap_close(*handle);
        *handle = nullptr;
        return false;
    }
    if (pcap_setfilter(*handle, &program) != 0) {
        qDebug() << "pcap_setfilter error" << errbuf;
        pcap_freecode(&program);
        pcap_close(*handle);
        *handle = nullptr;
        return false;
    }
    pcap_freecode(&program);
    return true;
}

namespace {

// The served link went administratively down, or away, according to these notifications.
bool linkGoneDown(const QList<LinkEvent> &events, int index) {
    bool down = false;
    for (const LinkEvent &event : events) {
        if (event.index == index) {
            down = !event.up(); // the latest one counts
        }
    }
    return down;
}

} // namespace

int pcap_serve(pcap *handle, QString interfaceName, pcap_handler handler, u_char *user) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    const int linkFd = openLinkMonitor();
    const int captureFd = pcap_get_selectable_fd(handle);
    if (linkFd < 0 || captureFd < 0 || pcap_setnonblock(handle, 1, errbuf) != 0) {
        // Without link notifications only libpcap can end the capture.
        if (linkFd >= 0) {
            close(linkFd);
        }
        return pcap_loop(handle, 0, handler, user);
    }
    // Asked once the notifications are subscribed, so that no change falls in between.
    const int index = linkIndex(interfaceName);
    bool down = index == 0 || !linkIsUp(interfaceName);
    int result = 0;
    while (!down) {
        pollfd fds[2] = {{captureFd, POLLIN, 0}, {linkFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = PCAP_ERROR;
            break;
        }
        if (fds[1].revents != 0) {
            QList<LinkEvent> events;
            // When notifications were lost, the link itself says whether it is still up.
            down = readLinkEvents(linkFd, &events) ? linkGoneDown(events, index)
                                                   : !linkIsUp(interfaceName);
        }
        if (!down && fds[0].revents != 0) {
            // Non-blocking: hands over what the ring holds, then returns. libpcap ends the
            // capture itself when the interface has disappeared.
            result = pcap_dispatch(handle, -1, handler, user);
            if (result < 0) {
                break;
            }
        }
    }
    if (down) {
        qDebug() << QStringLiteral("link '%1' down").arg(interfaceName);
        result = 0;
    }
    close(linkFd);
    return result;
}
