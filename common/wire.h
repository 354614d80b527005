// The service-frame protocol on raw Ethernet, defined once for the agent, l2station, the
// tests, the benchmarks and the fuzz targets: addresses, capture filters, keywords, reply
// labels, header layout, request tags and the frame builder.
#pragma once

#include <QByteArray>
#include <QString>

namespace wire {

// The station sends from one fixed address to one fixed service address, and by default every
// board answers from the service address (board-address mode, below, is the other way).
constexpr int kAddressLen = 6;
extern const unsigned char kStationAddress[kAddressLen];
extern const unsigned char kServiceAddress[kAddressLen];
QByteArray stationMac();
QByteArray serviceMac();
// Six groups of two upper-case hexadecimal digits joined by ":".
QString macText(const QByteArray &mac);
// The 6 bytes of a MAC text with ":" or "-" between two-digit groups, any case; empty when
// the text is not one.
QByteArray macFromText(const QString &text);

// Board-address mode. A learning switch sends frames for an address to the port it last saw
// that address on, so boards that all answer from the service address hide one another. A
// board in this mode answers from its own hardware address, and serves the station's frames
// sent to that address or to this group address: the service address with the group bit set,
// which switches flood to every port.
extern const unsigned char kGroupAddress[kAddressLen]; // 67:77:88:99:AA:BB
QByteArray groupMac();
bool isGroupAddress(const QByteArray &mac); // the group bit of the first byte

// What the agent captures: "ether src <station> and ether dst <service>".
QString requestFilter();
// A board in board-address mode: requests to its own address or the group, from any station
// (boardTakesRequest says which; this is the same rule for the kernel to apply).
QString boardRequestFilter(const QByteArray &boardMac);
// What l2station captures: frames to its own address and to the station address (replies), and
// to the group address (other stations' requests, which tell that they are there).
QString stationFilter(const QByteArray &ownMac);

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

// Board-address mode only. A request may carry a tag: the keyword, " #" and 1 to 32 letters
// or digits. The board echoes it as a last line "Tag : TAG" of its info reply and of its reset
// acknowledgement, so that a station counts only the replies to its own requests.
constexpr char kTagMarker[] = " #";
constexpr char kTagLabel[] = "Tag";
constexpr int kMaxTagLen = 32;
// A reset request is acknowledged, before the script runs, with this line (and the tag line).
constexpr char kResetAckTag[] = "res:kiv+init";
// The tag of a request text that starts with `keyword` (its first line); empty when it carries
// none.
QString requestTag(const QString &text, const char *keyword);
QByteArray taggedRequest(const char *keyword, const QString &tag);
// "Tag : TAG\n", or nothing for an empty tag.
QString tagLine(const QString &tag);

// Board-address mode, from l2station 1.3 on. Each station sends from its own hardware address,
// and a board answers whichever address asked: a learning switch then delivers every station
// its own replies. What a board takes as a request (boardTakesRequest):
// - a frame with the station type, from any address but the board's own and group addresses;
// - a frame from the station address, of any type but kOldBoardsType (stations before 1.3 and
//   tools that send with another type).
// A board's replies carry a zero type and never come from the station address, so no board
// takes another's reply, or its own, for a request.
//
// The type field of the station's requests: the IEEE local experimental EtherType, so that
// other hosts' stacks leave these frames alone. A board in the default mode never examines it.
constexpr quint16 kStationType = 0x88B5;
// The station's copy of a request for boards whose agent (before 1.3) takes requests from the
// station address only: sent from the station address with IEEE local experimental EtherType
// 2, which such boards do not examine and current boards leave alone (they answer the copy
// from the station's own address instead).
constexpr quint16 kOldBoardsType = 0x88B6;
bool boardTakesRequest(const QByteArray &src, quint16 type, const QByteArray &boardMac);
quint16 frameType(const QByteArray &frame);

// Board-address mode: the info reply and the reset acknowledgement end with these lines, after
// the tag, so that a station tells a board that restarted from one that kept running:
// "Boot : " the kernel's boot id (new at every boot), and "Start : " a random value drawn at
// each start of the agent. Boards before 1.3 send neither.
constexpr char kBootLabel[] = "Boot";
constexpr char kStartLabel[] = "Start";
// "Boot : BOOT\nStart : START\n", each line left out when its value is empty.
QString restartLines(const QString &boot, const QString &start);

// dst, src, the type field, the payload, zero-padded to `padTo` bytes.
QByteArray buildFrame(const QByteArray &dst, const QByteArray &src, const QByteArray &payload,
                      int padTo = 0, quint16 type = 0);
// A request as the station sends it: station to `dst` (the service address by default),
// padded to the minimum frame as a NIC would pad it.
QByteArray requestFrame(const QByteArray &payload, int padTo = kMinFrameLen);
QByteArray requestFrameTo(const QByteArray &dst, const QByteArray &payload,
                          int padTo = kMinFrameLen);
// A request from `src` with the given type, padded likewise.
QByteArray requestFrameFrom(const QByteArray &src, const QByteArray &dst, const QByteArray &payload,
                            quint16 type = kStationType, int padTo = kMinFrameLen);

} // namespace wire
