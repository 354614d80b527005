// The agent's decision about one captured frame, a pure function of the frame, the record and
// the addresses: which action, and the exact reply bytes. The wire rules are in wire.h.
#pragma once

#include "wire.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/time.h>

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
    Reset, // run the reset script; in board-address mode send `reply`, the acknowledgement, first
    Send,  // send `reply`
};

struct FrameDecision {
    FrameAction action = FrameAction::Drop;
    QByteArray reply;
    ServiceFrame request;
};

using AddressSource = QStringList (*)();

ServiceFrame splitFrame(QByteArray frame);

// The whole decision about one frame. `addresses` is asked only for an info reply. In
// board-address mode only frames to the board's own address or the group address are served,
// replies leave from the board's own address, a reset is acknowledged and a request's tag is
// echoed.
FrameDecision decideFrame(QByteArray frame, const ArgsStr &args, AddressSource addresses);

// The six lines of an info reply.
QString infoReplyText(const ArgsStr &args, QStringList ipv4Addresses);

// Station and service addresses swapped, a zero type field, then the payload.
QByteArray replyFrame(const ServiceFrame &request, QByteArray payload);

// A reset request read while or before the last run of the reset script ended was served by
// that run: it is logged, not run again. `lastRunEnded` is zero before the first run.
bool foldsIntoLastReset(const timeval &requestReceived, const timeval &lastRunEnded);
