// The service-frame protocol: what the agent answers to a captured frame, the frame handler that
// glues it to libpcap, and the MAC address text codec.
#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAddressEntry>
#include <QString>
#include <QStringList>

#include <pcap/pcap.h>

struct ArgsStr;

// Payload prefixes of the two requests; anything else is echoed.
extern const char *const kResetKeyword; // "req:kiv+init"
extern const char *const kInfoKeyword;  // "req:kiv+info"
extern const char *const kResetCommand; // "./run/resetAll.sh"

constexpr int kHeaderLen = 14;
// A frame needs both 6-byte addresses before a reply can be addressed.
constexpr int kMinAddressedLen = 12;

// A captured frame cut into its slices, clamped to the frame's length.
struct ServiceFrame {
    QByteArray dst;
    QByteArray src;
    QByteArray payload;
    QString text; // payload up to its first zero byte, as UTF-8
};

enum class FrameAction {
    Drop,  // nothing to send or run
    Reset, // run the reset script, send nothing
    Send,  // send `reply`
};

struct FrameDecision {
    FrameAction action = FrameAction::Drop;
    QByteArray reply;
};

using AddressSource = QStringList (*)();

ServiceFrame splitFrame(QByteArray frame);

// The whole decision about one frame: which action, and the exact reply bytes. `addresses` is
// asked only for an info request.
FrameDecision decideFrame(QByteArray frame, const ArgsStr &args, AddressSource addresses);

// The six lines of an info reply.
QString infoReplyText(const ArgsStr &args, QStringList ipv4Addresses);

// Station and service addresses swapped, a zero type field, then the payload.
QByteArray replyFrame(const ServiceFrame &request, QByteArray payload);

// The IPv4, non-loopback addresses of the given interfaces' address entries, in order.
QStringList ipv4AddressList(QList<QList<QNetworkAddressEntry>> interfaces);
// The same for the interfaces the system reports now.
QStringList boardIpv4Addresses();

// The five debug lines written for every captured frame.
void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame);

// libpcap's handler: `user` is the ArgsStr given to pcap_loop.
void on_handle_pkt(unsigned char *user, const pcap_pkthdr *header, const unsigned char *bytes);

QString macBytes2String(QByteArray mac);
QByteArray string2MacBytes(QString text);
