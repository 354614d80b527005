// One info round: the request, the collection and the parsing of the replies.
#include "rounds.h"

#include "link.h"
#include "wire.h"

QTextStream &out() {
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err() {
    static QTextStream stream(stderr);
    return stream;
}

int fail(StationExit status, const QString &message) {
    err() << "l2station: " << message << '\n';
    err().flush();
    return status;
}

void addReplies(Round *round, const QList<Reply> &replies) {
    for (const Reply &reply : replies) {
        BoardInfo board;
        QString why;
        const QByteArray payload = reply.frame.mid(wire::kHeaderLen);
        if (!parseInfoReply(payload, &board, &why)) {
            ++round->malformed;
            err() << "l2station: not a well-formed info reply (" << printableText(why) << ", "
                  << reply.frame.size() << " bytes): " << printablePayload(payload.left(200))
                  << '\n';
            err().flush();
            continue;
        }
        board.replyMs = reply.atMs - round->startMs;
        round->boards.append(board);
    }
}

Round askSegment(StationLink &link, const StationOptions &o) {
    Round round;
    round.startMs = StationLink::nowMs();
    round.sent = link.send(QByteArray(wire::kInfoKeyword));
    if (!round.sent) {
        return round;
    }
    QList<Reply> replies = link.receiveUntil(round.startMs + o.waitMs, o.first, o.quietMs,
                                             round.startMs + o.minWaitMs);
    if (o.first) {
        // Several replies can arrive in one read; --first means one board.
        replies = replies.mid(0, 1);
    }
    addReplies(&round, replies);
    return round;
}
