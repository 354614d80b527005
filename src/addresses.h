// The board's IPv4 addresses for the info reply. Listing them costs a full link dump per
// request, so while a capture follows the kernel's notifications the reply is built once and
// kept for the notifications' address generation. Before each info reply the notifications
// that already came are read, so a reply never carries a list older than what the kernel had
// said when the request was read.
#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QStringList>

struct ArgsStr;

// The IPv4, non-loopback addresses of the given interfaces' address entries, in order.
QStringList ipv4AddressList(QList<QList<QNetworkAddressEntry>> interfaces);

// The addresses the system reports now.
QStringList systemIpv4Addresses();

// The info reply's payload for the board's addresses: the InfoSource of the agent. Kept in the
// record's cache while `args.links` follows the notifications, read afresh otherwise.
QByteArray boardInfoPayload(const ArgsStr &args);
