// The frame handler and the MAC codec.
#include "protocol.h"

#include "args_str.h"
#include "process.h"

#include <QDebug>
#include <QRegExp>

#include <cstdlib>

const char *const kResetCommand = "./run/resetAll.sh";

void on_handle_pkt(unsigned char *user, const pcap_pkthdr *header, const unsigned char *bytes) {
    const ArgsStr *args = reinterpret_cast<const ArgsStr *>(user);
    const QByteArray frame(reinterpret_cast<const char *>(bytes), static_cast<int>(header->caplen));
    logFrame(header->caplen, header->len, splitFrame(frame));
    const FrameDecision decision = decideFrame(frame, *args, boardIpv4Addresses);
    switch (decision.action) {
    case FrameAction::Reset: {
        // The batch's lines first, and the script's own output after them.
        flushFrameLog();
        qDebug() << "start reset all";
        // The script's outcome is the board's business; the agent only starts it and waits.
        // Its children must not keep the capture open after the agent is gone.
        closeOnExecAboveStderr();
        const int ignored = std::system(kResetCommand);
        Q_UNUSED(ignored);
        break;
    }
    case FrameAction::Send:
        if (pcap_sendpacket(args->pcapHandle,
                            reinterpret_cast<const u_char *>(decision.reply.constData()),
                            decision.reply.size()) != 0) {
            // E.g. a reply longer than the link's MTU: lost, but not without a trace.
            flushFrameLog();
            qDebug() << "pcap_sendpacket error" << pcap_geterr(args->pcapHandle);
        }
        break;
    case FrameAction::Drop:
        break;
    }
}

QString macBytes2String(QByteArray mac) {
    // The wire definition's MAC text: six upper-case hexadecimal pairs joined by ":".
    return mac.size() == wire::kAddressLen ? wire::macText(mac) : QString();
}

QByteArray string2MacBytes(QString text) {
    const QStringList groups =
        text.split(QRegExp(QStringLiteral("[: \r\n\t]")), Qt::SkipEmptyParts);
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
