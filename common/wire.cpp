// The protocol's constants and frame builders.
#include "wire.h"

#include <QStringList>

#include <cctype>
#include <cstring>

namespace wire {

const unsigned char kStationAddress[kAddressLen] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const unsigned char kServiceAddress[kAddressLen] = {0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
const unsigned char kGroupAddress[kAddressLen] = {0x67, 0x77, 0x88, 0x99, 0xAA, 0xBB};
const char *const kInfoLabels[InfoFieldCount] = {"Device", "Version", "Product", "HardId",
                                                 "IpAddress"};

QByteArray stationMac() {
    return QByteArray(reinterpret_cast<const char *>(kStationAddress), kAddressLen);
}

QByteArray serviceMac() {
    return QByteArray(reinterpret_cast<const char *>(kServiceAddress), kAddressLen);
}

QByteArray groupMac() {
    return QByteArray(reinterpret_cast<const char *>(kGroupAddress), kAddressLen);
}

bool isGroupAddress(const QByteArray &mac) {
    return !mac.isEmpty() && (static_cast<unsigned char>(mac.at(0)) & 0x01) != 0;
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

QByteArray macFromText(const QString &text) {
    const QByteArray latin = text.toLatin1();
    if (latin.size() != kAddressLen * 3 - 1) {
        return QByteArray();
    }
    const char separator = latin.at(2);
    if (separator != ':' && separator != '-') {
        return QByteArray();
    }
    QByteArray mac;
    for (int i = 0; i < kAddressLen; ++i) {
        if (i > 0 && latin.at(i * 3 - 1) != separator) {
            return QByteArray();
        }
        bool ok = false;
        const QByteArray pair = latin.mid(i * 3, 2);
        const int value = pair.toInt(&ok, 16);
        if (!ok || !isxdigit(static_cast<unsigned char>(pair.at(0))) ||
            !isxdigit(static_cast<unsigned char>(pair.at(1)))) {
            return QByteArray();
        }
        mac.append(static_cast<char>(value));
    }
    return mac;
}

namespace {

QString filter(const QByteArray &src, const QByteArray &dst) {
    return QStringLiteral("ether src %1 and ether dst %2").arg(macText(src), macText(dst));
}

} // namespace

QString requestFilter() {
    return filter(stationMac(), serviceMac());
}

QString boardRequestFilter(const QByteArray &boardMac) {
    // ether[0] & 1 tests the group bit of the source address (byte 6).
    return QStringLiteral("(ether dst %1 or ether dst %2) and not ether src %1 and "
                          "ether[6] & 1 = 0 and (ether proto 0x%3 or "
                          "(ether src %4 and not ether proto 0x%5))")
        .arg(macText(boardMac), macText(groupMac()), QString::number(kStationType, 16),
             macText(stationMac()), QString::number(kOldBoardsType, 16));
}

QString stationFilter(const QByteArray &ownMac) {
    QString filter = QStringLiteral("ether dst %1 or ether dst %2")
                         .arg(macText(stationMac()), macText(groupMac()));
    if (ownMac.size() == kAddressLen && ownMac != stationMac()) {
        filter += QStringLiteral(" or ether dst %1").arg(macText(ownMac));
    }
    return filter;
}

bool boardTakesRequest(const QByteArray &src, quint16 type, const QByteArray &boardMac) {
    if (src.size() != kAddressLen || isGroupAddress(src) || src == boardMac) {
        return false; // no one to answer, or the board's own frame
    }
    return type == kStationType || (src == stationMac() && type != kOldBoardsType);
}

quint16 frameType(const QByteArray &frame) {
    if (frame.size() < kHeaderLen) {
        return 0;
    }
    return quint16((static_cast<unsigned char>(frame.at(kTypeOffset)) << 8) |
                   static_cast<unsigned char>(frame.at(kTypeOffset + 1)));
}

QString restartLines(const QString &boot, const QString &start) {
    QString lines;
    if (!boot.isEmpty()) {
        lines +=
            QLatin1String(kBootLabel) + QLatin1String(kLabelSeparator) + boot + QLatin1Char('\n');
    }
    if (!start.isEmpty()) {
        lines +=
            QLatin1String(kStartLabel) + QLatin1String(kLabelSeparator) + start + QLatin1Char('\n');
    }
    return lines;
}

QString requestTag(const QString &text, const char *keyword) {
    const QString prefix = QLatin1String(keyword) + QLatin1String(kTagMarker);
    if (!text.startsWith(prefix)) {
        return QString();
    }
    // The first line: an authenticated reset carries its proof on the lines after it.
    const int end = text.indexOf(QLatin1Char('\n'));
    const QString tag = text.mid(prefix.size(), end < 0 ? -1 : end - prefix.size());
    if (tag.isEmpty() || tag.size() > kMaxTagLen) {
        return QString();
    }
    for (const QChar c : tag) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z'))) {
            return QString();
        }
    }
    return tag;
}

QByteArray taggedRequest(const char *keyword, const QString &tag) {
    QByteArray text(keyword);
    if (!tag.isEmpty()) {
        text += kTagMarker + tag.toLatin1();
    }
    return text;
}

QString tagLine(const QString &tag) {
    return tag.isEmpty() ? QString()
                         : QLatin1String(kTagLabel) + QLatin1String(kLabelSeparator) + tag +
                               QLatin1Char('\n');
}

QByteArray buildFrame(const QByteArray &dst, const QByteArray &src, const QByteArray &payload,
                      int padTo, quint16 type) {
    // One allocation: every reply the agent sends is built here.
    const int size = dst.size() + src.size() + 2 + payload.size();
    QByteArray frame(qMax(size, padTo), Qt::Uninitialized);
    char *out = frame.data();
    std::memcpy(out, dst.constData(), size_t(dst.size()));
    out += dst.size();
    std::memcpy(out, src.constData(), size_t(src.size()));
    out += src.size();
    *out++ = static_cast<char>(type >> 8);
    *out++ = static_cast<char>(type & 0xFF);
    std::memcpy(out, payload.constData(), size_t(payload.size()));
    if (size < padTo) {
        std::memset(frame.data() + size, 0, size_t(padTo - size));
    }
    return frame;
}

QByteArray requestFrame(const QByteArray &payload, int padTo) {
    return requestFrameTo(serviceMac(), payload, padTo);
}

QByteArray requestFrameTo(const QByteArray &dst, const QByteArray &payload, int padTo) {
    return buildFrame(dst, stationMac(), payload, padTo, kStationType);
}

QByteArray requestFrameFrom(const QByteArray &src, const QByteArray &dst, const QByteArray &payload,
                            quint16 type, int padTo) {
    return buildFrame(dst, src, payload, padTo, type);
}

} // namespace wire
