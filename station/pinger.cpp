// ping's loop: requests at their interval, every echo of this run matched to its request.
#include "actions.h"

#include "link.h"
#include "wire.h"

#include <QRandomGenerator>
#include <QSet>

PingOutcome pingBoards(StationLink &link, const StationOptions &o, PingObserver *observer) {
    // This run's requests only: another ping beside this one uses another id.
    const quint16 run = quint16(QRandomGenerator::system()->bounded(0x10000));
    PingOutcome outcome;
    QMap<QByteArray, QSet<int>> answered;
    QMap<int, double> sentAt;
    const auto take = [&](const Reply &reply) {
        const QByteArray from = reply.frame.mid(wire::kSrcOffset, wire::kAddressLen);
        if (wire::isGroupAddress(reply.frame.mid(wire::kDstOffset, wire::kAddressLen))) {
            return false; // a request, this tool's own among them
        }
        const QByteArray payload = reply.frame.mid(wire::kHeaderLen);
        const int sequence = pingSequence(payload, run);
        if (sequence < 0 || !sentAt.contains(sequence) || reply.atMs < sentAt.value(sequence) ||
            (!o.board.isEmpty() && from != o.board)) {
            return false;
        }
        PingSummary &summary = outcome.boards[from];
        PingReply echo;
        echo.from = from;
        echo.sequence = sequence;
        echo.bytes = reply.frame.size();
        echo.rttMs = reply.atMs - sentAt.value(sequence);
        echo.duplicate = answered[from].contains(sequence);
        answered[from].insert(sequence);
        // A NIC may pad short replies; what was sent must come back unchanged.
        echo.intact = payload.left(o.size) == pingPayload(run, sequence, o.size);
        if (echo.duplicate) {
            ++summary.duplicates;
        } else {
            ++summary.received;
            summary.rttMs.append(echo.rttMs);
        }
        if (observer != nullptr) {
            observer->reply(echo);
        }
        return true;
    };
    const double start = StationLink::nowMs();
    for (int sequence = 0; sequence < o.count && !link.stopped(); ++sequence) {
        const double at = StationLink::nowMs();
        sentAt.insert(sequence, at);
        const QByteArray payload = pingPayload(run, sequence, o.size);
        outcome.sent = sendToBoards(link, o.board, payload, payload);
        if (!outcome.sent) {
            break;
        }
        ++outcome.transmitted;
        const bool last = sequence + 1 == o.count;
        CollectRule rule;
        rule.deadlineMs = at + (last ? o.timeoutMs : o.intervalMs);
        link.collect(rule, take);
    }
    outcome.elapsedMs = StationLink::nowMs() - start;
    for (PingSummary &summary : outcome.boards) {
        summary.transmitted = outcome.transmitted;
    }
    return outcome;
}
