// The frame decision: slices, reply bytes and the info reply text.
#include "decide.h"

#include "args_str.h"
#include "guard.h"
#include "text.h"

ServiceFrame splitFrame(const QByteArray &frame) {
    ServiceFrame f;
    f.dst = frame.mid(wire::kDstOffset, wire::kAddressLen);
    f.src = frame.mid(wire::kSrcOffset, wire::kAddressLen);
    f.payload = frame.mid(kHeaderLen);
    // Senders pad short frames with zeros up to the Ethernet minimum; those never reach the
    // text.
    f.textBytes = bytesBeforeNul(f.payload);
    static const char kByteOrderMark[] = "\xEF\xBB\xBF";
    f.keywordBytes = f.textBytes.startsWith(kByteOrderMark) ? f.textBytes.mid(3) : f.textBytes;
    return f;
}

QByteArray replyFrame(const ServiceFrame &request, QByteArray payload) {
    // The request's own slices, as they are: shorter than 6 bytes for a runt frame.
    return wire::buildFrame(request.src, request.dst, payload);
}

QByteArray infoReplyPayload(const ArgsStr &args, QStringList ipv4Addresses) {
    return infoReplyText(args, ipv4Addresses).toLatin1();
}

QString infoReplyText(const ArgsStr &args, QStringList ipv4Addresses) {
    const QString addresses = ipv4Addresses.isEmpty() ? QStringLiteral("127.0.0.1")
                                                      : ipv4Addresses.join(QLatin1Char(' '));
    const QString values[wire::InfoFieldCount] = {args.deviceName, args.version, args.deviceId,
                                                  args.hardId, addresses};
    QString text = QLatin1String(wire::kInfoReplyTag) + QLatin1Char('\n');
    for (int field = 0; field < wire::InfoFieldCount; ++field) {
        // Each value is put in whole, with no field width or fill.
        text += QLatin1String(wire::kInfoLabels[field]) + QLatin1String(wire::kLabelSeparator) +
                values[field] + QLatin1Char('\n');
    }
    return text;
}

namespace {

// Board-address mode: what reaches the board's own address or the group address from a station,
// answered to whichever address asked, from the board's own address so that no switch learns
// the shared one.
FrameDecision decideBoardFrame(FrameDecision decision, const QByteArray &frame, const ArgsStr &args,
                               InfoSource info) {
    const ServiceFrame &request = decision.request;
    if (request.dst != args.boardMac && request.dst != wire::groupMac()) {
        return decision; // sent to the shared address, or to an address this board had before
    }
    if (!wire::boardTakesRequest(request.src, wire::frameType(frame), args.boardMac)) {
        return decision; // a reply, the board's own frame, or the copy for older boards
    }
    const auto reply = [&](const QByteArray &payload) {
        return wire::buildFrame(request.src, args.boardMac, payload);
    };
    // The tag, then the restart lines: stations before 1.3 read the tag on the
    // acknowledgement's second line.
    const auto closing = [&](const char *keyword) {
        return (wire::tagLine(wire::requestTag(request.text(), keyword)) +
                wire::restartLines(args.bootId, args.startId))
            .toLatin1();
    };
    ResetGuard *guard = args.guard.get();
    if (request.keywordBytes.startsWith(kResetKeyword)) {
        QByteArray ack = QByteArray(wire::kResetAckTag) + '\n' + closing(kResetKeyword);
        if (guard != nullptr) {
            const QString tag = wire::requestTag(request.text(), kResetKeyword);
            decision.refused = guard->check(request.keywordBytes, tag, args.boardMac, request.src);
            if (!decision.refused.isEmpty()) {
                return decision; // nothing runs, nothing is sent
            }
            // The acknowledgement proves the board, for this station, challenge and tag.
            const QByteArray challenge = keys::resetAuth(request.keywordBytes).challenge.toLatin1();
            ack += keys::proofLines(guard->keys(), keys::Purpose::Ack,
                                    {args.boardMac, request.src, challenge, tag.toLatin1(), ack});
        }
        decision.action = FrameAction::Reset;
        decision.reply = reply(ack);
        return decision;
    }
    decision.action = FrameAction::Send;
    if (request.keywordBytes.startsWith(kInfoKeyword)) {
        QByteArray text = info(args) + closing(kInfoKeyword);
        if (guard != nullptr) {
            // A challenge for the station's next reset, and proofs that tie the reply to this
            // request's tag: a recording answers no other request.
            text += QByteArray(keys::kChallengeLabel) + " : " + guard->issue().toLatin1() + '\n';
            const QByteArray tag = wire::requestTag(request.text(), kInfoKeyword).toLatin1();
            text += keys::proofLines(guard->keys(), keys::Purpose::Info,
                                     {args.boardMac, request.src, tag, text});
        }
        decision.reply = reply(text);
    } else {
        decision.reply = reply(request.payload);
    }
    return decision;
}

} // namespace

FrameDecision decideFrame(const QByteArray &frame, const ArgsStr &args, InfoSource info) {
    FrameDecision decision;
    decision.request = splitFrame(frame);
    if (frame.size() < kMinAddressedLen) {
        // Without both addresses there is no one to answer; a reply would be a malformed
        // frame shorter than an Ethernet header.
        return decision;
    }
    if (args.boardAddress) {
        return decideBoardFrame(decision, frame, args, info);
    }
    const ServiceFrame &request = decision.request;
    if (request.keywordBytes.startsWith(kResetKeyword)) {
        decision.action = FrameAction::Reset;
        return decision;
    }
    decision.action = FrameAction::Send;
    if (request.keywordBytes.startsWith(kInfoKeyword)) {
        decision.reply = replyFrame(request, info(args));
    } else {
        decision.reply = replyFrame(request, request.payload);
    }
    return decision;
}

bool foldsIntoLastReset(const timeval &requestReceived, const timeval &lastRunEnded) {
    if (lastRunEnded.tv_sec == 0 && lastRunEnded.tv_usec == 0) {
        return false;
    }
    return timercmp(&requestReceived, &lastRunEnded, <);
}
