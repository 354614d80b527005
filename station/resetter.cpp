// The reset loops: one request and its acknowledgements; or the boards listed, reset, and
// asked after each second until each is back.
#include "actions.h"

#include "link.h"
#include "wire.h"

ResetOutcome resetBoards(StationLink &link, const QByteArray &board) {
    ResetOutcome outcome;
    const QString tag = newRequestTag();
    const double sentAt = StationLink::nowMs();
    outcome.sent = sendRequest(link, board, wire::kResetKeyword, tag);
    if (!outcome.sent || board == wire::serviceMac()) {
        return outcome;
    }
    BoardCollector acks(tag, board, sentAt);
    CollectRule rule;
    rule.deadlineMs = sentAt + kAckWaitMs;
    rule.quietMs = kAckQuietMs;
    rule.stopAtFirst = !board.isEmpty();
    link.collect(rule, [&](const Reply &reply) { return acks.take(reply.frame, reply.atMs); });
    outcome.acknowledged = acks.acknowledged();
    return outcome;
}

ResetWaitOutcome resetAndWait(StationLink &link, const QByteArray &board, int waitMs,
                              ResetWaitObserver *observer) {
    ResetWaitObserver quiet;
    if (observer == nullptr) {
        observer = &quiet;
    }
    ResetWaitOutcome outcome;
    // Who is there before the reset, asked as info asks.
    StationOptions asking = defaultOptions(Command::Info);
    asking.board = board;
    const Round before = askSegment(link, asking);
    if (!before.sent) {
        return outcome;
    }
    observer->before(before);
    outcome.state = resetStart(before.boards);
    if (outcome.state.isEmpty()) {
        outcome.result = ResetWaitOutcome::NoBoards;
        return outcome;
    }
    observer->resetting(outcome.state);
    const QString resetTag = newRequestTag();
    const double resetAt = StationLink::nowMs();
    if (!sendRequest(link, board, wire::kResetKeyword, resetTag)) {
        return outcome;
    }
    outcome.result = ResetWaitOutcome::Waited;
    BoardCollector acks(resetTag, board, resetAt);
    while (!resetSettled(outcome.state) && !link.stopped()) {
        const double roundStart = StationLink::nowMs();
        if (roundStart - resetAt >= waitMs) {
            break;
        }
        const QString tag = newRequestTag();
        if (!sendRequest(link, board, wire::kInfoKeyword, tag)) {
            outcome.result = ResetWaitOutcome::NotSent;
            return outcome;
        }
        BoardCollector round(tag, board, roundStart);
        CollectRule rule;
        rule.deadlineMs = std::min(roundStart + kResetRoundMs, resetAt + waitMs);
        link.collect(rule, [&](const Reply &reply) {
            acks.take(reply.frame, reply.atMs);
            round.take(reply.frame, reply.atMs);
            return false; // a round lasts its second: a board may answer late
        });
        if (link.stopped()) {
            break;
        }
        QMap<QString, BoardInfo> answered;
        for (BoardInfo b : round.boards()) {
            b.replyMs += roundStart - resetAt; // times count from the reset
            const QString key = resetKey(b);
            if (!answered.contains(key)) {
                answered.insert(key, b);
            }
        }
        QSet<QString> acked;
        for (const QByteArray &mac : acks.acknowledged()) {
            BoardInfo b;
            b.mac = mac;
            acked.insert(resetKey(b));
        }
        for (const QString &key :
             resetRound(&outcome.state, answered, acked, roundStart - resetAt)) {
            observer->changed(outcome.state.value(key));
        }
        observer->progress(outcome.state, StationLink::nowMs() - resetAt);
    }
    outcome.stopped = link.stopped() && !resetSettled(outcome.state);
    if (!outcome.stopped) {
        for (const QString &key : resetFinish(&outcome.state)) {
            observer->changed(outcome.state.value(key));
        }
    }
    outcome.tookMs = StationLink::nowMs() - resetAt;
    return outcome;
}
