// The frame handler that glues the frame decision (decide.h) to libpcap, the agent's address
// lookup and log lines, and the MAC address text codec.
#pragma once

#include "decide.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAddressEntry>
#include <QString>
#include <QStringList>

#include <pcap/pcap.h>

struct ArgsStr;

extern const char *const kResetCommand; // "./run/resetAll.sh"

// The IPv4, non-loopback addresses of the given interfaces' address entries, in order.
QStringList ipv4AddressList(QList<QList<QNetworkAddressEntry>> interfaces);
// The same for the interfaces the system reports now: the AddressSource of the agent.
QStringList boardIpv4Addresses();

// The five debug lines written for every captured frame.
void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame);

// libpcap's handler: `user` is the ArgsStr given to pcap_loop.
void on_handle_pkt(unsigned char *user, const pcap_pkthdr *header, const unsigned char *bytes);

QString macBytes2String(QByteArray mac);
QByteArray string2MacBytes(QString text);
