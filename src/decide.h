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
    QByteArray textBytes; // the payload up to its first zero byte
    // What a keyword is tested on: those bytes without a leading UTF-8 byte-order mark, which
    // the text's decoder drops too. So the byte test is the text test: an ASCII prefix
    // decodes to itself, and nothing else decodes to ASCII.
    QByteArray keywordBytes;
    // The text bytes as UTF-8: the frame's text.
    QString text() const {
        return QString::fromUtf8(textBytes);
    }
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
    QString refused; // a keyed board's reset that did not prove itself: why, in the log's words
};

// The payload of an info reply for the record: asked only for an info request.
using InfoSource = QByteArray (*)(const ArgsStr &args);

ServiceFrame splitFrame(const QByteArray &frame);

// The whole decision about one frame. In board-address mode only frames to the board's own
// address or the group address are served, replies leave from the board's own address, a reset
// is acknowledged and a request's tag is echoed.
FrameDecision decideFrame(const QByteArray &frame, const ArgsStr &args, InfoSource info);

// The six lines of an info reply, and the reply's payload: those lines as Latin-1.
QString infoReplyText(const ArgsStr &args, QStringList ipv4Addresses);
QByteArray infoReplyPayload(const ArgsStr &args, QStringList ipv4Addresses);

// Station and service addresses swapped, a zero type field, then the payload.
QByteArray replyFrame(const ServiceFrame &request, QByteArray payload);

// A reset request read while or before the last run of the reset script ended was served by
// that run: it is logged, not run again. `lastRunEnded` is zero before the first run.
bool foldsIntoLastReset(const timeval &requestReceived, const timeval &lastRunEnded);
