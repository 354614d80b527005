// Listing the board's IPv4 addresses, and the info reply kept for them.
#include "addresses.h"

#include "args_str.h"
#include "decide.h"
#include "linkstate.h"

#include <QHostAddress>
#include <QNetworkInterface>

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

QStringList systemIpv4Addresses() {
    QList<QList<QNetworkAddressEntry>> interfaces;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : all) {
        interfaces.append(interface.addressEntries());
    }
    return ipv4AddressList(interfaces);
}

QByteArray boardInfoPayload(const ArgsStr &args) {
    InfoCache &cache = args.info;
    const AddressReader read = cache.read != nullptr ? cache.read : systemIpv4Addresses;
    if (args.links == nullptr || !args.links->isOpen()) {
        return infoReplyPayload(args, read());
    }
    // A notification may have come since the last dispatch began (while a reset script ran,
    // say): it counts before this reply.
    args.links->catchUp();
    const quint64 generation = args.links->addressGeneration();
    if (cache.generation != generation) {
        cache.payload = infoReplyPayload(args, read());
        cache.generation = generation;
    }
    return cache.payload;
}
