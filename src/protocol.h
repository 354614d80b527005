// The frame handler that glues the frame decision (decide.h) to libpcap, the board's addresses
// (addresses.h), the reset script and the frame's log lines (framelog.h); and the MAC address
// text codec.
#pragma once

#include <QByteArray>
#include <QString>

#include <pcap/pcap.h>

struct ArgsStr;

extern const char *const kResetCommand; // "./run/resetAll.sh"

// libpcap's handler: `user` is the ArgsStr given to the dispatch.
void on_handle_pkt(unsigned char *user, const pcap_pkthdr *header, const unsigned char *bytes);

QString macBytes2String(QByteArray mac);
// The codec's other half: what the agent's own lines never need, kept as the codec is specified
// and fuzzed against the first half.
QByteArray string2MacBytes(QString text);
