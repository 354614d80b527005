// Listing the board's IPv4 addresses, and the kept copy of that list.
#include "addresses.h"

#include "linkstate.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace {

LinkMonitor *g_monitor = nullptr;
bool g_kept = false;
QStringList g_addresses;

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

QStringList boardIpv4Addresses() {
    if (g_monitor == nullptr) {
        return g_reader();
    }
    // A notification may have come since the last dispatch began (while a reset script ran,
    // say); the capture loop gets it afterwards, the list is dropped now.
    bool addressesChanged = false;
    if (g_monitor->takePending(&addressesChanged) && addressesChanged) {
        dropBoardAddresses();
    }
    if (!g_kept) {
        g_addresses = g_reader();
        g_kept = true;
    }
    return g_addresses;
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
