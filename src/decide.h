// The agent's decision about one captured frame, a pure function of the frame, the identity
// and the addresses: which action, and the exact reply bytes. The wire rules are in wire.h.
#pragma once

#include "wire.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

struct ArgsStr;

using wire::kHeaderLen;
using wire::kInfoKeyword;
using wire::kResetKeyword;
// A frame needs both 6-byte addresses before a reply can be addressed.
constexpr int kMinAddressedLen = wire::kTypeOffset;

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
