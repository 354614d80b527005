// Fuzzes the frame decision with any captured bytes and checks the reply rules.
#include "args_str.h"
#include "decide.h"
#include "framelog.h"
#include "protocol.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

namespace {
QStringList addresses() {
    return {QStringLiteral("192.0.2.1")};
}
QByteArray info(const ArgsStr &args) {
    return infoReplyPayload(args, addresses());
}
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) {
        return 0;
    }
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;
    ArgsStr args;
    args.deviceName = QStringLiteral("BOARD");
    args.hardId = QString::fromUtf8("\xc3\xa9\xe2\x82\xac");
    const QByteArray frame(reinterpret_cast<const char *>(data), int(size));
    const ServiceFrame parts = splitFrame(frame);
    logFrame(quint32(size), quint32(size), parts);
    const FrameDecision d = decideFrame(frame, args, info);
    if (frame.size() < kMinAddressedLen) {
        check(d.action == FrameAction::Drop && d.reply.isEmpty());
        return 0;
    }
    // The decision tests keywords on the bytes; the decoded text must agree with it.
    if (d.action == FrameAction::Reset) {
        check(parts.text().startsWith(QLatin1String(kResetKeyword)) && d.reply.isEmpty());
        return 0;
    }
    check(d.action == FrameAction::Send);
    // Header: the request's source, then its destination, then a zero type field.
    check(d.reply.size() >= kHeaderLen);
    check(d.reply.mid(0, 6) == frame.mid(6, 6) && d.reply.mid(6, 6) == frame.mid(0, 6));
    check(d.reply.at(12) == 0 && d.reply.at(13) == 0);
    if (parts.text().startsWith(QLatin1String(kInfoKeyword))) {
        check(d.reply.mid(kHeaderLen) == infoReplyText(args, addresses()).toLatin1());
        check(d.reply.endsWith("IpAddress : 192.0.2.1\n"));
    } else {
        check(d.reply.size() == qMax(frame.size(), kHeaderLen));
        check(d.reply.mid(kHeaderLen) == frame.mid(kHeaderLen));
    }
    return 0;
}
