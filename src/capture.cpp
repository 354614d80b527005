// Capture set-up on top of libpcap.
#include "capture.h"

#include "addresses.h"
#include "framelog.h"
#include "linkstate.h"

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

int snapLenForMtu(int mtu) {
    return mtu > 0 ? qMin(mtu + 14 + 2 * 4, kSnapLenUnknownMtu) : kSnapLenUnknownMtu;
}

int ringBytesFor(int snapLen) {
    // libpcap's slot: the frame after about 80 bytes of its own header, 16-byte aligned.
    const qint64 slot = (snapLen + 80 + 15) / 16 * 16;
    return static_cast<int>(qBound<qint64>(kMinRingBytes, kRingFrames * slot, kMaxRingBytes));
}

namespace {

bool g_openFoundLinkDown = false;

// Opens the capture like pcap_open_live, but in immediate mode: without it libpcap's
// TPACKET_V3 ring hands frames over only when the 500 ms timeout expires, so every reply
// would leave half a second late.
pcap *openLive(const QByteArray &device, char *errbuf) {
    pcap *handle = pcap_create(device.constData(), errbuf);
    if (handle == nullptr) {
        return nullptr;
    }
    const int snapLen = snapLenForMtu(linkFacts(QString::fromUtf8(device)).mtu);
    pcap_set_snaplen(handle, snapLen);
    pcap_set_promisc(handle, kPromiscuous);
    pcap_set_timeout(handle, kReadTimeoutMs);
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, ringBytesFor(snapLen));
    const int status = pcap_activate(handle);
    g_openFoundLinkDown = status == PCAP_ERROR_IFACE_NOT_UP;
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

bool openFoundLinkDown() {
    return g_openFoundLinkDown;
}

bool pcap_init(pcap **handle, QString interfaceName, QString filter) {
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof errbuf);
    g_openFoundLinkDown = false;
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

// Frames are handed to the frame handler; the lines a batch logged leave after it.
struct Batch {
    pcap_handler handler;
    u_char *user;
};

void handleAndFlush(u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
    const Batch *batch = reinterpret_cast<const Batch *>(user);
    batch->handler(batch->user, header, bytes);
    flushFrameLog();
}

void logKernelDrops(pcap *handle, const QString &interfaceName) {
    pcap_stat stats{};
    if (pcap_stats(handle, &stats) == 0 && stats.ps_drop > 0) {
        qDebug() << QStringLiteral("'%1': the kernel dropped %2 frames: the capture ring was full")
                        .arg(interfaceName)
                        .arg(stats.ps_drop);
    }
}

// What ends a capture that the link's notifications followed, logged with the link's current
// name.
int endFor(LinkVerdict verdict, const ServedLink &link, const QString &interfaceName) {
    switch (verdict) {
    case LinkVerdict::Serving:
        return 0;
    case LinkVerdict::Down:
    case LinkVerdict::Removed:
        qDebug() << QStringLiteral("link '%1' down").arg(link.name);
        return ServeLinkDown;
    case LinkVerdict::Renamed:
        qDebug() << QStringLiteral("link '%1' renamed to '%2'").arg(interfaceName, link.name);
        return ServeRenamed;
    case LinkVerdict::MtuChanged:
        qDebug() << QStringLiteral("link '%1' mtu changed to %2").arg(link.name).arg(link.mtu);
        return ServeMtuChanged;
    }
    return 0;
}

} // namespace

int pcap_serve(pcap *handle, QString interfaceName, pcap_handler handler, u_char *user) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    LinkMonitor monitor;
    const int captureFd = pcap_get_selectable_fd(handle);
    if (!monitor.open() || captureFd < 0 || pcap_setnonblock(handle, 1, errbuf) != 0) {
        // Without link notifications only libpcap can end the capture, and nothing would say
        // when the addresses change.
        Batch batch{handler, user};
        const int result = pcap_loop(handle, 0, handleAndFlush, reinterpret_cast<u_char *>(&batch));
        logKernelDrops(handle, interfaceName);
        return result;
    }
    // Asked once the notifications are subscribed, so that no change falls in between.
    const LinkFacts facts = linkFacts(interfaceName);
    ServedLink link{facts.index, interfaceName, facts.up, facts.mtu, facts.index == 0};
    const int capturedMtu = pcap_snapshot(handle) == snapLenForMtu(facts.mtu) ? facts.mtu : -1;
    LinkVerdict verdict = facts.index == 0  ? LinkVerdict::Removed
                          : !facts.up       ? LinkVerdict::Down
                          : capturedMtu < 0 ? LinkVerdict::MtuChanged
                                            : LinkVerdict::Serving;
    setBoardAddressCaching(true);
    int result = 0;
    while (verdict == LinkVerdict::Serving) {
        pollfd fds[2] = {{captureFd, POLLIN, 0}, {monitor.fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = PCAP_ERROR;
            break;
        }
        // Notifications first: an address added before a request arrived is in its reply.
        if (fds[1].revents != 0) {
            QList<LinkEvent> events;
            const LinkMonitor::ReadResult read = monitor.read(&events);
            if (read != LinkMonitor::Complete || addressesMayHaveChanged(events)) {
                dropBoardAddresses();
            }
            if (read == LinkMonitor::Complete) {
                verdict = followServedLink(&link, events, interfaceName, capturedMtu);
            } else {
                // Notifications were lost: the link itself says where it stands now.
                const LinkFacts now = linkFacts(interfaceName);
                const QString name = linkName(link.index);
                link.removed = name.isEmpty();
                link.name = link.removed ? interfaceName : name;
                link.up = now.index == link.index && now.up;
                link.mtu = now.index == link.index ? now.mtu : link.mtu;
                verdict = followServedLink(&link, {}, interfaceName, capturedMtu);
            }
        }
        if (verdict == LinkVerdict::Serving && fds[0].revents != 0) {
            // Non-blocking: hands over what the ring holds, then returns. libpcap ends the
            // capture itself when the interface has disappeared.
            result = pcap_dispatch(handle, -1, handler, user);
            flushFrameLog();
            if (result < 0) {
                break;
            }
        }
    }
    setBoardAddressCaching(false);
    logKernelDrops(handle, interfaceName);
    if (verdict != LinkVerdict::Serving) {
        result = endFor(verdict, link, interfaceName);
    }
    return result;
}
