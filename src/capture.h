// Finding the served interface among libpcap's devices and opening the filtered live capture.
#pragma once

#include <QByteArray>
#include <QString>

#include <pcap/pcap.h>

// Capture parameters. In immediate mode every ring slot has room for a whole snapshot, so the
// snapshot follows the link's MTU: at 65536 an 8 MiB ring holds only about 128 frames. The ring
// holds a back-to-back burst of 1000 requests while the handler answers the first ones (see
// README, "Capture ring").
constexpr int kSnapLenUnknownMtu = 65536;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 500;
constexpr int kRingFrames = 1100;
constexpr int kMinRingBytes = 2 * 1024 * 1024;
constexpr int kMaxRingBytes = 8 * 1024 * 1024;

// A whole frame on a link of this MTU: Ethernet header and two VLAN tags (libpcap puts a
// stripped tag back into the frame). 65536 when the MTU is unknown.
int snapLenForMtu(int mtu);
// The ring's size for kRingFrames slots of this snapshot length, within its bounds.
int ringBytesFor(int snapLen);

// True when libpcap lists a capture device of exactly this name.
bool pcap_find(QString interfaceName);

// Opens a promiscuous immediate-mode capture on the interface and installs the filter.
// On true *handle is an open capture the caller must pcap_close; on false it is null and
// nothing is left open. Every failure is logged with libpcap's reason.
bool pcap_init(pcap **handle, QString interfaceName, QString filter);
// Whether the last pcap_init failed because the interface was not up (rather than for a reason
// that no change of the link mends).
bool openFoundLinkDown();

// The reason for a failed activation as pcap_open_live words it: the device, then the reason,
// with libpcap's status text where pcap_open_live adds it.
QByteArray openFailureText(QByteArray device, int status, QByteArray reason);

// How pcap_serve ended, besides libpcap's own results (0 or negative: the capture ended).
enum ServeEnd {
    ServeLinkDown = 1,   // administratively down or removed (logged)
    ServeRenamed = 2,    // the served index took another name (logged)
    ServeMtuChanged = 3, // the snapshot no longer fits a whole frame (logged)
};

// Hands every captured frame to `handler` until libpcap ends the capture (the interface
// disappeared), or the link goes administratively down, is renamed or changes its MTU:
// libpcap would keep a capture on a down link and poll it every millisecond for as long as it
// stays down, and a renamed one would keep its new name served. A carrier loss keeps the
// capture. A dispatch batch's log lines are written before it sleeps again, and what the
// kernel dropped is logged at the end.
int pcap_serve(pcap *handle, QString interfaceName, pcap_handler handler, u_char *user);
