// Finding the served interface among libpcap's devices and opening the filtered live capture.
#pragma once

#include <QByteArray>
#include <QString>

#include <pcap/pcap.h>

// Capture parameters. The ring is sized so that a back-to-back burst of 100 requests fits
// while the handler is still answering the first ones (see README, "Burst capacity").
constexpr int kSnapLen = 65536;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 500;
constexpr int kRingBytes = 8 * 1024 * 1024;

// True when libpcap lists a capture device of exactly this name.
bool pcap_find(QString interfaceName);

// Opens a promiscuous immediate-mode capture on the interface and installs the filter.
// On true *handle is an open capture the caller must pcap_close; on false it is null and
// nothing is left open. Every failure is logged with libpcap's reason.
bool pcap_init(pcap **handle, QString interfaceName, QString filter);

// The reason for a failed activation as pcap_open_live words it: the device, then the reason,
// with libpcap's status text where pcap_open_live adds it.
QByteArray openFailureText(QByteArray device, int status, QByteArray reason);

// Hands every captured frame to `handler` until libpcap ends the capture (the interface
// disappeared) or the link goes administratively down: libpcap would keep a capture on a
// down link and poll it every millisecond for as long as it stays down. A carrier loss keeps
// the capture. Returns libpcap's result, or 0 when the link went down (logged).
int pcap_serve(pcap *handle, QString interfaceName, pcap_handler handler, u_char *user);
