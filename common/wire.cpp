// The protocol's constants and frame builders.
#include "wire.h"

#include <QStringList>

namespace wire {

const unsigned char kStationAddress[kAddressLen] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const unsigned char kServiceAddress[kAddressLen] = {0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
const char *const kInfoLabels[InfoFieldCount] = {"Device", "Version", "Product", "HardId",
                                                 "IpAddress"};

QByteArray stationMac() {
    return QByteArray(reinterpret_cast<const char *>(kStationAddress), kAddressLen);
}

QByteArray serviceMac() {
    return QByteArray(reinterpret_cast<const char *>(kServiceAddress), kAddressLen);
}

QString macText(const QByteArray &mac) {
    // Two table lookups a byte: the agent writes this text twice for every frame it sees.
    static const char kHex[] = "0123456789ABCDEF";
    QString text(mac.isEmpty() ? 0 : mac.size() * 3 - 1, QLatin1Char(':'));
    QChar *out = text.data();
    for (int i = 0; i < mac.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(mac.at(i));
        out[i * 3] = QLatin1Char(kHex[byte >> 4]);
        out[i * 3 + 1] = QLatin1Char(kHex[byte & 0x0F]);
    }
    return text;
}

namespace {

QString filter(const QByteArray &src, const QByteArray &dst) {
    return QStringLiteral("ether src %1 and ether dst %2").arg(macText(src), macText(dst));
}

} // namespace

QString requestFilter() {
    return filter(stationMac(), serviceMac());
}

QString replyFilter() {
    return filter(serviceMac(), stationMac());
}

QByteArray buildFrame(const QByteArray &dst, const QByteArray &src, const QByteArray &payload,
                      int padTo, quint16 type) {
    QByteArray frame;
    frame.reserve(qMax(kHeaderLen + payload.size(), padTo));
    frame.append(dst);
    frame.append(src);
    frame.append(static_cast<char>(type >> 8));
    frame.append(static_cast<char>(type & 0xFF));
    frame.append(payload);
    if (frame.size() < padTo) {
        frame.append(padTo - frame.size(), '\0');
    }
    return frame;
}

QByteArray requestFrame(const QByteArray &payload, int padTo) {
    return buildFrame(serviceMac(), stationMac(), payload, padTo, kStationType);
}

QByteArray replyFrame(const QByteArray &payload) {
    return buildFrame(stationMac(), serviceMac(), payload);
}

} // namespace wire
