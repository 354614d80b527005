// The board's IPv4 addresses for the info reply. Listing them costs a full link dump per
// request, so while a capture follows the kernel's notifications the list is read once and
// kept until a link or address notification (or a lost one) says it may have changed.
#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QStringList>

// The IPv4, non-loopback addresses of the given interfaces' address entries, in order.
QStringList ipv4AddressList(QList<QList<QNetworkAddressEntry>> interfaces);

// The addresses the system reports now, or the kept list while caching is on and nothing
// dropped it: the AddressSource of the agent.
QStringList boardIpv4Addresses();

// Caching is on only while something listens for the notifications that drop the list.
void setBoardAddressCaching(bool on);
void dropBoardAddresses();
