// The frame decision: slices, reply bytes and the info reply text.
#include "decide.h"

#include "args_str.h"

ServiceFrame splitFrame(QByteArray frame) {
    ServiceFrame f;
    f.dst = frame.mid(wire::kDstOffset, wire::kAddressLen);
    f.src = frame.mid(wire::kSrcOffset, wire::kAddressLen);
    f.payload = frame.mid(kHeaderLen);
    // Senders pad short frames with zeros up to the Ethernet minimum; those never reach the
    // text. fromUtf8(QByteArray) stops at the first zero byte.
    f.text = QString::fromUtf8(f.payload);
    return f;
}

QByteArray replyFrame(const ServiceFrame &request, QByteArray payload) {
    // The request's own slices, as they are: shorter than 6 bytes for a runt frame.
    return wire::buildFrame(request.src, request.dst, payload);
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

// Board-address mode: what reaches the board's own address or the group address, answered from
// the board's own address so that no switch learns the shared one.
FrameDecision decideBoardFrame(FrameDecision decision, const ArgsStr &args,
                               AddressSource addresses) {
    const ServiceFrame &request = decision.request;
    if (request.dst != args.boardMac && request.dst != wire::groupMac()) {
        return decision; // sent to the shared address, or to an address this board had before
    }
    const auto reply = [&](const QString &text) {
        return wire::buildFrame(request.src, args.boardMac, text.toLatin1());
    };
    if (request.text.startsWith(QLatin1String(kResetKeyword))) {
        decision.action = FrameAction::Reset;
        decision.reply = reply(QLatin1String(wire::kResetAckTag) + QLatin1Char('\n') +
                               wire::tagLine(wire::requestTag(request.text, kResetKeyword)));
        return decision;
    }
    decision.action = FrameAction::Send;
    if (request.text.startsWith(QLatin1String(kInfoKeyword))) {
        decision.reply = reply(infoReplyText(args, addresses()) +
                               wire::tagLine(wire::requestTag(request.text, kInfoKeyword)));
    } else {
        decision.reply = wire::buildFrame(request.src, args.boardMac, request.payload);
    }
    return decision;
}

} // namespace

FrameDecision decideFrame(QByteArray frame, const ArgsStr &args, AddressSource addresses) {
    FrameDecision decision;
    decision.request = splitFrame(frame);
    if (frame.size() < kMinAddressedLen) {
        // Without both addresses there is no one to answer; a reply would be a malformed
        // frame shorter than an Ethernet header.
        return decision;
    }
    if (args.boardAddress) {
        return decideBoardFrame(decision, args, addresses);
    }
    const ServiceFrame &request = decision.request;
    if (request.text.startsWith(QLatin1String(kResetKeyword))) {
        decision.action = FrameAction::Reset;
        return decision;
    }
    decision.action = FrameAction::Send;
    if (request.text.startsWith(QLatin1String(kInfoKeyword))) {
        decision.reply = replyFrame(request, infoReplyText(args, addresses()).toLatin1());
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
