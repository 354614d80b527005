// The board's IPv4 addresses for the info reply. Listing them costs a full link dump per
// request, so while a capture follows the kernel's notifications the list is read once and
// kept until a link or address notification (or a lost one) says it may have changed. Before
// each info reply the notifications that already came are looked at, so a reply never carries
// a list older than what the kernel had said when the request was read.
#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QStringList>

class LinkMonitor;
struct ArgsStr;

// The IPv4, non-loopback addresses of the given interfaces' address entries, in order.
QStringList ipv4AddressList(QList<QList<QNetworkAddressEntry>> interfaces);

// The addresses the system reports now, or the kept list while caching is on and nothing
// dropped it.
QStringList boardIpv4Addresses();
// The info reply's payload for those addresses, kept with the list: the InfoSource of the agent.
QByteArray boardInfoPayload(const ArgsStr &args);

// Caching is on only while `monitor` (non-null) listens for the notifications that drop the
// list; null turns it off.
void setBoardAddressCaching(LinkMonitor *monitor);
void dropBoardAddresses();

// How the list is read; replaceable so that tests can count the reads.
using AddressReader = QStringList (*)();
void setAddressReader(AddressReader reader); // null: the system's
