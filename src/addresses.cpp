// Listing the board's IPv4 addresses, and the kept copy of that list.
#include "addresses.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace {

bool g_caching = false;
bool g_kept = false;
QStringList g_addresses;

QStringList readAddresses() {
    QList<QList<QNetworkAddressEntry>> interfaces;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : all) {
        interfaces.append(interface.addressEntries());
    }
    return ipv4AddressList(interfaces);
}

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
    if (!g_caching) {
        return readAddresses();
    }
    if (!g_kept) {
        g_addresses = readAddresses();
        g_kept = true;
    }
    return g_addresses;
}

void setBoardAddressCaching(bool on) {
    g_caching = on;
    dropBoardAddresses();
}

void dropBoardAddresses() {
    g_kept = false;
    g_addresses.clear();
}
