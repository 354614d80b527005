// Finding the served interface among libpcap's devices and opening the filtered live capture.
#pragma once

#include <QString>

struct pcap;

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
