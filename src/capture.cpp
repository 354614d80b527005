// Capture set-up on top of libpcap, and the loop that serves a capture.
#include "capture.h"

#include "addresses.h"
#include "args_str.h"
#include "framelog.h"
#include "netif.h"
#include "protocol.h"
#include "wire.h"

#include <QDebug>
#include <QHash>
#include <QList>

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/time.h>

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

int ringBytesFor(int snapLen) {
    return static_cast<int>(qBound(
        qint64(kMinRingBytes), kRingFrames * netif::ringSlotBytes(snapLen), qint64(kMaxRingBytes)));
}

QString captureFilter(const ArgsStr &args) {
    return args.boardAddress ? wire::boardRequestFilter(args.boardMac) : wire::requestFilter();
}

namespace {

// Opens the capture like pcap_open_live, but in immediate mode: without it libpcap's
// TPACKET_V3 ring hands frames over only when the 500 ms timeout expires, so every reply
// would leave half a second late.
pcap *openLive(const QByteArray &device, int mtu, char *errbuf, int *status) {
    pcap *handle = pcap_create(device.constData(), errbuf);
    *status = PCAP_ERROR;
    if (handle == nullptr) {
        return nullptr;
    }
    const int snapLen = netif::snapLenForMtu(mtu);
    pcap_set_snaplen(handle, snapLen);
    pcap_set_promisc(handle, kPromiscuous);
    pcap_set_timeout(handle, kReadTimeoutMs);
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, ringBytesFor(snapLen));
    *status = pcap_activate(handle);
    if (*status < 0) {
        const QByteArray text = openFailureText(device, *status, pcap_geterr(handle));
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", text.constData());
        pcap_close(handle);
        return nullptr;
    }
    if (*status > 0) {
        // A warning is not a failure; keep its text where pcap_open_live would leave it.
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", pcap_geterr(handle));
    }
    return handle;
}

// Compiles and installs the filter; false, logged, when either fails. `errbuf` is what the open
// left, which the lines show as pcap_open_live's callers always saw it.
bool installFilter(pcap *handle, const QString &filter, const char *errbuf) {
    bpf_program program;
    const QByteArray filterBytes = filter.toUtf8();
    if (pcap_compile(handle, &program, filterBytes.constData(), 0, PCAP_NETMASK_UNKNOWN) != 0) {
        qDebug() << "pcap_compile error" << errbuf;
        return false;
    }
    if (pcap_setfilter(handle, &program) != 0) {
        qDebug() << "pcap_setfilter error" << errbuf;
        pcap_freecode(&program);
        return false;
    }
    pcap_freecode(&program);
    return true;
}

} // namespace

OpenResult openCapture(pcap **handle, const QString &interfaceName, const QString &filter,
                       int mtu) {
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof errbuf);
    int status = 0;
    *handle = openLive(interfaceName.toUtf8(), mtu, errbuf, &status);
    if (*handle == nullptr) {
        qDebug() << "pcap_open_live error" << errbuf;
        return status == PCAP_ERROR_IFACE_NOT_UP ? OpenResult::NotUp : OpenResult::Failed;
    }
    if (!installFilter(*handle, filter, errbuf)) {
        pcap_close(*handle);
        *handle = nullptr;
        return OpenResult::Failed;
    }
    return OpenResult::Open;
}

namespace {

timeval now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return tv;
}

// An MTU change opens the new capture before the old one closes, so that no frame is lost;
// frames that came between the two are in both rings. The old ring is drained up to the moment
// the new one was open, and what it handled after the new one began opening is skipped in the
// new ring.
class Handover {
  public:
    void begin() {
        marks_.clear();
        skipping_ = false;
        began_ = now();
    }
    void opened() {
        opened_ = now();
        draining_ = true;
    }
    void finish() {
        draining_ = false;
        skipping_ = true;
    }
    // Whether the frame is one the other ring has handled or will handle.
    bool skip(pcap *handle, const pcap_pkthdr *header, const u_char *bytes) {
        if (draining_) {
            if (!timercmp(&header->ts, &opened_, <)) {
                // In the new ring for certain: the rest of the old one goes with it.
                pcap_breakloop(handle);
                return true;
            }
            if (!timercmp(&header->ts, &began_, <)) {
                marks_.append(mark(header, bytes));
            }
            return false;
        }
        if (!skipping_) {
            return false;
        }
        if (!timercmp(&header->ts, &opened_, <)) {
            skipping_ = false;
            marks_.clear();
            return false;
        }
        const int at = marks_.indexOf(mark(header, bytes));
        if (at < 0) {
            return false;
        }
        marks_.erase(marks_.begin(), marks_.begin() + at + 1);
        return true;
    }

  private:
    static QPair<quint32, uint> mark(const pcap_pkthdr *header, const u_char *bytes) {
        return {header->caplen, qHashBits(bytes, header->caplen)};
    }
    QList<QPair<quint32, uint>> marks_;
    timeval began_{};
    timeval opened_{};
    bool draining_ = false;
    bool skipping_ = false;
};

struct Serving {
    ArgsStr *args;
    pcap *handle;
    Handover handover;
};

void handleFrame(u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
    Serving *serving = reinterpret_cast<Serving *>(user);
    if (!serving->handover.skip(serving->handle, header, bytes)) {
        on_handle_pkt(reinterpret_cast<u_char *>(serving->args), header, bytes);
    }
}

void logKernelDrops(pcap *handle, const QString &interfaceName) {
    pcap_stat stats{};
    if (pcap_stats(handle, &stats) == 0 && stats.ps_drop > 0) {
        qDebug() << QStringLiteral("'%1': the kernel dropped %2 frames: the capture ring was full")
                        .arg(interfaceName)
                        .arg(stats.ps_drop);
    }
}

bool makePollable(pcap *handle, int *fd) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    *fd = pcap_get_selectable_fd(handle);
    return *fd >= 0 && pcap_setnonblock(handle, 1, errbuf) == 0;
}

// A capture of the new size beside the old one, then the old one drained and closed.
bool reopenForMtu(Serving *serving, int mtu, int *captureFd) {
    ArgsStr *args = serving->args;
    serving->handover.begin();
    pcap *next = nullptr;
    if (openCapture(&next, args->interfaceName, captureFilter(*args), mtu) != OpenResult::Open) {
        return false;
    }
    int nextFd = -1;
    if (!makePollable(next, &nextFd)) {
        pcap_close(next);
        return false;
    }
    serving->handover.opened();
    while (pcap_dispatch(serving->handle, -1, handleFrame, reinterpret_cast<u_char *>(serving)) >
           0) {
    }
    serving->handover.finish();
    logKernelDrops(serving->handle, args->interfaceName);
    pcap_close(serving->handle);
    serving->handle = next;
    args->pcapHandle = next;
    *captureFd = nextFd;
    return true;
}

// In board-address mode the filter names the board's own address; a new one gets a new filter
// on the running capture.
bool followAddress(Serving *serving, const QByteArray &mac) {
    ArgsStr *args = serving->args;
    qDebug() << QStringLiteral("link '%1' address changed to %2")
                    .arg(args->interfaceName, macBytes2String(mac));
    args->boardMac = mac;
    return installFilter(serving->handle, captureFilter(*args), "");
}

ServeEnd endFor(LinkVerdict verdict, const ServedLink &link, const QString &interfaceName) {
    if (verdict == LinkVerdict::Renamed) {
        qDebug() << QStringLiteral("link '%1' renamed to '%2'").arg(interfaceName, link.name);
        return ServeEnd::Renamed;
    }
    qDebug() << QStringLiteral("link '%1' down").arg(link.name);
    return ServeEnd::LinkDown;
}

} // namespace

ServeEnd pcap_serve(pcap **handle, ArgsStr *args, const ServedLink &opened, LinkMonitor *monitor) {
    const QString name = args->interfaceName;
    Serving serving{args, *handle, {}};
    int captureFd = -1;
    if (!makePollable(*handle, &captureFd)) {
        qDebug() << QStringLiteral("'%1': the capture cannot be polled: %2")
                        .arg(name, QString::fromLocal8Bit(pcap_geterr(*handle)));
        return ServeEnd::Ended;
    }
    // The notifications are subscribed for the whole run: the link as it stands now, and every
    // change after it, reach this loop, through whoever reads them.
    monitor->follow(opened, name);
    args->links = monitor;
    int capturedMtu = opened.mtu;
    ServeEnd end = ServeEnd::Ended;
    enum Slot { CaptureSlot, LinkSlot, LogSlot, SlotCount };
    for (;;) {
        const ServedLink &link = monitor->served();
        const LinkVerdict verdict = servedLinkVerdict(link, name);
        if (verdict != LinkVerdict::Serving) {
            end = endFor(verdict, link, name);
            break;
        }
        if (link.mtu > 0 && link.mtu != capturedMtu) {
            qDebug() << QStringLiteral("link '%1' mtu changed to %2").arg(name).arg(link.mtu);
            if (!reopenForMtu(&serving, link.mtu, &captureFd)) {
                break;
            }
            capturedMtu = link.mtu;
        }
        if (args->boardAddress && link.mac.size() == wire::kAddressLen &&
            link.mac != args->boardMac && !followAddress(&serving, link.mac)) {
            break;
        }
        pollfd fds[SlotCount] = {
            {captureFd, POLLIN, 0}, {monitor->fd(), POLLIN, 0}, {logStalledFd(), POLLOUT, 0}};
        if (poll(fds, SlotCount, logDueInMs()) < 0) {
            if (errno == EINTR) {
                honourStopRequest();
                continue;
            }
            qDebug() << QStringLiteral("'%1': poll failed: %2: the capture ends")
                            .arg(name, QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        if (fds[LogSlot].revents != 0) {
            resumeLog(); // the log's reader reads again
        }
        flushLogIfDue();
        // Notifications first: the link may be gone.
        if (fds[LinkSlot].revents != 0) {
            QList<LinkEvent> events;
            monitor->read(&events);
            continue;
        }
        if (fds[CaptureSlot].revents != 0) {
            expectLogLines();
            // Non-blocking: hands over at most a batch of what the ring holds. libpcap ends
            // the capture itself when the interface has disappeared.
            const int handled = pcap_dispatch(serving.handle, kDispatchBatch, handleFrame,
                                              reinterpret_cast<u_char *>(&serving));
            if (handled < 0) {
                break;
            }
        }
        flushLogIfDue();
        honourStopRequest();
    }
    *handle = serving.handle;
    args->links = nullptr;
    logKernelDrops(serving.handle, name);
    return end;
}
