// ping's payloads and figures.
#include "ping.h"

#include <algorithm>
#include <cmath>

QString pingPayloadTag(quint16 run, int sequence) {
    return QStringLiteral("l2ping %1 seq=%2;").arg(run, 4, 16, QLatin1Char('0')).arg(sequence);
}

int pingMinSize() {
    // A tag longer than the payload would be cut in the request, and the reply would then
    // not match what was meant to be sent.
    return pingPayloadTag(0xFFFF, kMaxPingCount - 1).size();
}

int pingSequence(const QByteArray &payload, quint16 run) {
    const QByteArray prefix = pingPayloadTag(run, 0).toLatin1().chopped(2);
    if (!payload.startsWith(prefix)) {
        return -1;
    }
    const int end = payload.indexOf(';', prefix.size());
    if (end < 0) {
        return -1;
    }
    bool ok = false;
    const int sequence = payload.mid(prefix.size(), end - prefix.size()).toInt(&ok);
    return ok && sequence >= 0 ? sequence : -1;
}

QByteArray pingPayload(quint16 run, int sequence, int size) {
    QByteArray payload = pingPayloadTag(run, sequence).toLatin1();
    // A recognisable fill, so a reply that comes back altered stands out in a capture.
    for (int i = 0; payload.size() < size; ++i) {
        payload.append(char('a' + i % 26));
    }
    return payload;
}

QString pingSummaryText(const QString &target, const PingSummary &s, double elapsedMs) {
    const double loss =
        s.transmitted == 0 ? 0 : 100.0 * (s.transmitted - s.received) / s.transmitted;
    QString text = QStringLiteral("--- %1 l2station ping statistics ---\n").arg(target);
    text +=
        QStringLiteral("%1 packets transmitted, %2 received, ").arg(s.transmitted).arg(s.received);
    if (s.duplicates > 0) {
        text += QStringLiteral("+%1 duplicates, ").arg(s.duplicates);
    }
    text += QStringLiteral("%1% packet loss, time %2ms\n")
                .arg(QString::number(loss, 'g', 4))
                .arg(qRound64(elapsedMs));
    if (!s.rttMs.isEmpty()) {
        double min = s.rttMs.first();
        double max = min;
        double sum = 0;
        double squares = 0;
        for (double v : s.rttMs) {
            min = std::min(min, v);
            max = std::max(max, v);
            sum += v;
            squares += v * v;
        }
        const double avg = sum / s.rttMs.size();
        const double mdev = std::sqrt(std::max(0.0, squares / s.rttMs.size() - avg * avg));
        text += QStringLiteral("rtt min/avg/max/mdev = %1/%2/%3/%4 ms\n")
                    .arg(min, 0, 'f', 3)
                    .arg(avg, 0, 'f', 3)
                    .arg(max, 0, 'f', 3)
                    .arg(mdev, 0, 'f', 3);
    }
    return text;
}
