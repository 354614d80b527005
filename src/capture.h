// Finding the served interface among libpcap's devices, opening the filtered live capture, and
// serving it until the link goes away.
#pragma once

#include "linkstate.h"

#include <QByteArray>
#include <QString>

#include <pcap/pcap.h>

struct ArgsStr;

// Capture parameters. In immediate mode every ring slot has room for a whole snapshot, and the
// snapshot follows the link's MTU (netif::snapLenForMtu): the ring holds kRingFrames slots up
// to kMaxRingBytes. A back-to-back burst of 1000 requests is held while the handler answers
// the first ones up to an MTU of about 14000; at 65535 the ring holds about 250 slots
// (l2agent(8), "Capture ring").
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 500;
constexpr int kRingFrames = 1100;
constexpr int kMinRingBytes = 2 * 1024 * 1024;
constexpr int kMaxRingBytes = 16 * 1024 * 1024;
// Frames handled before the link's notifications are read again: under a flood a link change
// is still acted on within a fraction of a millisecond of frames.
constexpr int kDispatchBatch = 64;

// The ring's size for kRingFrames slots of this snapshot length, within its bounds.
int ringBytesFor(int snapLen);

// True when libpcap lists a capture device of exactly this name.
bool pcap_find(QString interfaceName);

// How an open ended.
enum class OpenResult {
    Open,   // *handle is an open capture with the filter installed
    NotUp,  // the interface is not up: it can be tried again once it is
    Failed, // for a reason no change of the link mends (permission, a filter that cannot
            // compile on a link without Ethernet addresses)
};
// Opens a promiscuous immediate-mode capture sized for `mtu` and installs the filter. Every
// failure is logged with libpcap's reason; nothing is left open.
OpenResult openCapture(pcap **handle, const QString &interfaceName, const QString &filter, int mtu);

// The reason for a failed activation as pcap_open_live words it: the device, then the reason,
// with libpcap's status text where pcap_open_live adds it.
QByteArray openFailureText(QByteArray device, int status, QByteArray reason);

// How a capture ended.
enum class ServeEnd {
    LinkDown, // taken down, or removed (logged)
    Renamed,  // the served index took another name (logged)
    Ended,    // libpcap ended it (the interface went away), poll failed (logged), or the
              // capture could not follow the link (logged)
};

// Hands every captured frame to the frame handler, kDispatchBatch at a time, until the link
// goes down, away or is renamed. `opened` is the link as the capture was opened for it;
// notifications come from `monitor` (none: libpcap alone ends the capture). An MTU change opens
// a capture of the new size beside this one and hands over without losing a frame
// (`*handle` and the record's handle then change); in board-address mode a new hardware
// address gets a new filter in place. A dispatch batch's log lines are written when due, and
// what the kernel dropped is logged at the end.
ServeEnd pcap_serve(pcap **handle, ArgsStr *args, const ServedLink &opened, LinkMonitor *monitor);

// The filter of the record's mode: the service address, or the board's own and the group.
QString captureFilter(const ArgsStr &args);
