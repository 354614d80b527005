// The frame handler and the MAC codec.
#include "protocol.h"

#include "addresses.h"
#include "args_str.h"
#include "decide.h"
#include "framelog.h"
#include "process.h"

#include <QDebug>
#include <QRegularExpression>

#include <cstdlib>

#include <sys/time.h>

const char *const kResetCommand = "./run/resetAll.sh";

namespace {

bool send(const ArgsStr *args, const QByteArray &frame) {
    return pcap_sendpacket(args->pcapHandle, reinterpret_cast<const u_char *>(frame.constData()),
                           frame.size()) == 0;
}

void runResetScript(ArgsStr *args, const timeval &requestReceived) {
    if (foldsIntoLastReset(requestReceived, args->lastResetEnded)) {
        // A flood of resets would otherwise replay the script once per request, and the board
        // would stay deaf for as long.
        qDebug() << "reset request folded into the run that just ended";
        return;
    }
    qDebug() << "start reset all";
    // The lines so far first, and the script's own output after them.
    flushLog();
    // The script's outcome is the board's business; the agent only starts it and waits.
    // Its children must not keep the capture open after the agent is gone.
    closeOnExecAboveStderr();
    const int ignored = std::system(kResetCommand);
    Q_UNUSED(ignored);
    // Taken when the script has ended: requests that came while it ran were served by it.
    gettimeofday(&args->lastResetEnded, nullptr);
}

} // namespace

void on_handle_pkt(unsigned char *user, const pcap_pkthdr *header, const unsigned char *bytes) {
    // The record: the handler reads it, and keeps in it when the reset script last ended.
    ArgsStr *args = reinterpret_cast<ArgsStr *>(user);
    // Read in place: the decision copies what it keeps.
    const QByteArray frame = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes),
                                                     static_cast<int>(header->caplen));
    const FrameDecision decision = decideFrame(frame, *args, boardInfoPayload);
    // The reply (or a reset's acknowledgement) leaves first; the lines are formatted after.
    const bool sent = decision.reply.isEmpty() || send(args, decision.reply);
    logFrame(header->caplen, header->len, decision.request);
    if (!sent) {
        // E.g. a reply longer than the link's MTU: lost, but not without a trace.
        qDebug() << "pcap_sendpacket error" << pcap_geterr(args->pcapHandle);
    }
    if (!decision.refused.isEmpty()) {
        qDebug() << QStringLiteral("reset refused: %1").arg(decision.refused);
    }
    if (decision.action == FrameAction::Reset) {
        runResetScript(args, header->ts);
    }
}

QString macBytes2String(QByteArray mac) {
    // The wire definition's MAC text: six upper-case hexadecimal pairs joined by ":".
    return mac.size() == wire::kAddressLen ? wire::macText(mac) : QString();
}
QByteArray string2MacBytes(QString text) {
    const QStringList groups =
        text.split(QRegularExpression(QStringLiteral("[: \r\n\t]")), Qt::SkipEmptyParts);
    if (groups.size() != 6) {
        return QByteArray();
    }
    QByteArray mac;
    for (const QString &group : groups) {
        // An invalid group reads as 0, as toInt reports it.
        mac.append(static_cast<char>(group.toInt(nullptr, 16) & 0xFF));
    }
    return mac;
}
