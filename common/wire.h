// The service-frame protocol on raw Ethernet, defined once for the agent, l2station, the
// tests, the benchmarks and the fuzz targets: addresses, capture filters, keywords, reply
// labels, header layout and the frame builder.
#pragma once

#include <QByteArray>
#include <QString>

namespace wire {

// The station sends from one fixed address to one fixed service address; every board
// answers from the service address, so the board's own hardware address plays no part.
constexpr int kAddressLen = 6;
extern const unsigned char kStationAddress[kAddressLen];
extern const unsigned char kServiceAddress[kAddressLen];
QByteArray stationMac();
QByteArray serviceMac();
// Six groups of two upper-case hexadecimal digits joined by ":".
QString macText(const QByteArray &mac);

// The agent captures requests, the station captures replies.
QString requestFilter(); // "ether src <station> and ether dst <service>"
QString replyFilter();   // the other way round

// Header layout: destination, source, a type field that is never examined (zero in replies).
constexpr int kDstOffset = 0;
constexpr int kSrcOffset = 6;
constexpr int kTypeOffset = 12;
constexpr int kHeaderLen = 14;
// Ethernet's minimum frame without its checksum; senders pad up to it with zeros.
constexpr int kMinFrameLen = 60;
// The largest payload a standard Ethernet frame carries.
constexpr int kMaxPayloadLen = 1500;

// Payload prefixes; the text of a payload ends at its first zero byte.
constexpr char kResetKeyword[] = "req:kiv+init";
constexpr char kInfoKeyword[] = "req:kiv+info";
// The info reply: this line, then "Label : value" lines in this order, each ended by "\n".
constexpr char kInfoReplyTag[] = "res:kiv+info";
constexpr char kLabelSeparator[] = " : ";
enum InfoField { Device, Version, Product, HardId, IpAddress, InfoFieldCount };
extern const char *const kInfoLabels[InfoFieldCount];

// The type field of the station's requests: the IEEE local experimental EtherType, so that
// other hosts' stacks leave these frames alone. The agent never examines it.
constexpr quint16 kStationType = 0x88B5;

// dst, src, the type field, the payload, zero-padded to `padTo` bytes.
QByteArray buildFrame(const QByteArray &dst, const QByteArray &src, const QByteArray &payload,
                      int padTo = 0, quint16 type = 0);
// A request as the station sends it: station to service, padded to the minimum frame as a
// NIC would pad it.
QByteArray requestFrame(const QByteArray &payload, int padTo = kMinFrameLen);
// A reply as a board sends it: service to station, unpadded.
QByteArray replyFrame(const QByteArray &payload);

} // namespace wire
