// Listing the board's IPv4 addresses, and the kept copy of that list.
#include "addresses.h"

#include "decide.h"
#include "linkstate.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace {

LinkMonitor *g_monitor = nullptr;
bool g_kept = false;
QStringList g_addresses;
// The info reply built for the kept list, and for which record.
QByteArray g_payload;
const ArgsStr *g_payloadFor = nullptr;

QStringList readSystemAddresses() {
    QList<QList<QNetworkAddressEntry>> interfaces;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : all) {
        interfaces.append(interface.addressEntries());
    }
    return ipv4AddressList(interfaces);
}

AddressReader g_reader = readSystemAddresses;

} // namespace

QStringList ipv4AddressList(QList<QList<QNetworkAddressEntry>> interfaces) {
    QStringList list;
    for (const QList<QNetworkAddressEntry> &entries : interfaces) {
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback()) {
                list.append(ip.toString());
            }
        }
    }
    return list;
}

namespace {

// Whether the kept list still stands. A notification may have come since the last dispatch
// began (while a reset script ran, say); the capture loop gets it afterwards, the list is
// dropped now.
bool keepList() {
    bool addressesChanged = false;
    if (g_monitor->takePending(&addressesChanged) && addressesChanged) {
        dropBoardAddresses();
    }
    if (g_kept) {
        return true;
    }
    g_addresses = g_reader();
    g_kept = true;
    return false;
}

} // namespace

QStringList boardIpv4Addresses() {
    if (g_monitor == nullptr) {
        return g_reader();
    }
    keepList();
    return g_addresses;
}

QByteArray boardInfoPayload(const ArgsStr &args) {
    if (g_monitor == nullptr) {
        return infoReplyPayload(args, g_reader());
    }
    if (!keepList() || g_payloadFor != &args) {
        g_payload = infoReplyPayload(args, g_addresses);
        g_payloadFor = &args;
    }
    return g_payload;
}

void setBoardAddressCaching(LinkMonitor *monitor) {
    g_monitor = monitor != nullptr && monitor->isOpen() ? monitor : nullptr;
    dropBoardAddresses();
}

void dropBoardAddresses() {
    g_kept = false;
    g_addresses.clear();
}

void setAddressReader(AddressReader reader) {
    g_reader = reader != nullptr ? reader : readSystemAddresses;
    dropBoardAddresses();
}
