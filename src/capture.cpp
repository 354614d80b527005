// Capture set-up on top of libpcap.
#include "capture.h"

#include <QDebug>

#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>

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
        // Worded as pcap_open_live words its own failures: the device, then the reason.
        const char *reason = pcap_geterr(handle);
        if (reason == nullptr || *reason == '\0') {
            reason = pcap_statustostr(status);
        }
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", device.constData(), reason);
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
