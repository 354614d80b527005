// The reset loops: one request and its acknowledgements; or the boards listed, reset, and
// asked after each second until each is back.
#include "actions.h"

#include "link.h"
#include "wire.h"

#include <algorithm>

namespace {

// The key to prove a reset to `board` with: one it holds, or the first (the board then says
// "unknown key id").
const keys::Key &keyFor(const QList<keys::Key> &keys, const BoardInfo &board) {
    for (const keys::Key &key : keys) {
        if (board.keyIds.contains(key.id)) {
            return key;
        }
    }
    return keys.first();
}

// The reset: a proven request to each keyed board of `known` (every one, or `board`), then the
// plain requests for the others. *challenges: the challenge each keyed board was sent.
bool sendReset(StationLink &link, const QByteArray &board, const QString &tag,
               const QList<keys::Key> &keys, const QList<BoardInfo> &known,
               QHash<QByteArray, QString> *challenges) {
    const QByteArray request = wire::taggedRequest(wire::kResetKeyword, tag);
    bool boardKeyed = false;
    for (const BoardInfo &b : known) {
        if (keys.isEmpty() || b.challenge.isEmpty() || b.sharedAddress() ||
            (!board.isEmpty() && b.mac != board)) {
            continue;
        }
        const QByteArray proven = keys::authenticatedReset(request, keyFor(keys, b), b.mac,
                                                           link.ownMac(), b.challenge, tag);
        if (!link.send(b.mac, proven)) {
            return false;
        }
        challenges->insert(b.mac, b.challenge);
        boardKeyed = boardKeyed || b.mac == board;
    }
    // Keyed boards refuse these, and say so in their logs; the others take them.
    return boardKeyed || sendRequest(link, board, wire::kResetKeyword, tag);
}

// The acknowledgements that prove their boards, for the challenges sent.
QList<QByteArray> verifiedAcks(const BoardCollector &acks, const QList<keys::Key> &keys,
                               const QHash<QByteArray, QString> &challenges, const QString &tag,
                               const QByteArray &ownMac) {
    QList<QByteArray> verified;
    for (const QByteArray &mac : acks.acknowledged()) {
        if (!keys.isEmpty() &&
            keys::verified(keys, keys::Purpose::Ack, acks.ackText(mac),
                           {mac, ownMac, challenges.value(mac).toLatin1(), tag.toLatin1()})) {
            verified.append(mac);
        }
    }
    return verified;
}

} // namespace

QByteArray actionTarget(const BoardInfo &board) {
    return board.sharedAddress() ? wire::serviceMac() : board.mac;
}

QList<BoardInfo> resetReached(QList<BoardInfo> listed, const ResetOutcome &outcome) {
    for (const QByteArray &mac : outcome.acknowledged) {
        if (std::none_of(listed.cbegin(), listed.cend(),
                         [&](const BoardInfo &b) { return b.mac == mac; })) {
            BoardInfo b;
            b.mac = mac;
            listed.append(b);
        }
    }
    return listed;
}

QString resetSentText(const BoardInfo &board, const ResetOutcome &outcome, bool keyed) {
    if (!outcome.sent) {
        return QStringLiteral("not sent");
    }
    if (board.sharedAddress()) {
        return QStringLiteral("sent to the shared address (boards there do not acknowledge)");
    }
    if (!outcome.acknowledged.contains(board.mac)) {
        return QStringLiteral("sent; not acknowledged");
    }
    if (!keyed) {
        return QStringLiteral("acknowledged");
    }
    return outcome.verified.contains(board.mac)
               ? QStringLiteral("acknowledged, verified")
               : QStringLiteral("acknowledged, not verified: not counted");
}

ResetOutcome resetBoards(StationLink &link, const QByteArray &board, const QList<keys::Key> &keys,
                         const QList<BoardInfo> &known) {
    ResetOutcome outcome;
    const QString tag = newRequestTag();
    const double sentAt = StationLink::nowMs();
    QHash<QByteArray, QString> challenges;
    outcome.sent = sendReset(link, board, tag, keys, known, &challenges);
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
    outcome.verified = verifiedAcks(acks, keys, challenges, tag, link.ownMac());
    return outcome;
}

ResetWaitOutcome resetAndWait(StationLink &link, const QByteArray &board, int waitMs,
                              ResetWaitObserver *observer, const QList<keys::Key> &keys) {
    ResetWaitObserver quiet;
    if (observer == nullptr) {
        observer = &quiet;
    }
    ResetWaitOutcome outcome;
    // Who is there before the reset, asked as info asks.
    StationOptions asking = defaultOptions(Command::Info);
    asking.board = board;
    asking.keys = keys;
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
    QHash<QByteArray, QString> challenges;
    if (!sendReset(link, board, resetTag, keys, before.boards, &challenges)) {
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
        // With keys, only an acknowledgement that proves its board counts.
        for (const QByteArray &mac :
             keys.isEmpty() ? acks.acknowledged()
                            : verifiedAcks(acks, keys, challenges, resetTag, link.ownMac())) {
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
