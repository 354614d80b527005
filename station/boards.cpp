// Boards and their keys, what a reply to the station address is, and one round's replies.
#include "boards.h"

#include "text.h"
#include "wire.h"

#include <QRandomGenerator>

QString boardKey(const BoardInfo &board) {
    if (!board.sharedAddress()) {
        return QStringLiteral("mac:") + wire::macText(board.mac);
    }
    // Every byte of the reply, one character each.
    return QStringLiteral("reply:") + QString::fromLatin1(board.reply);
}

QString identityKey(const BoardInfo &board) {
    // Two boards of one product share Device and Product; the partition-table UUID tells them
    // apart, when the board has one.
    if (!board.hardId.isEmpty()) {
        return QStringLiteral("hardid:") + board.hardId;
    }
    return QStringLiteral("device:") + board.device + QLatin1Char('\n') + board.product;
}

namespace {

// The tags this process made, oldest first.
QStringList &ownTags() {
    static QStringList tags;
    return tags;
}

} // namespace

QString newRequestTag() {
    static const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    QString tag;
    for (int i = 0; i < 12; ++i) {
        tag += QLatin1Char(kAlphabet[QRandomGenerator::system()->bounded(36)]);
    }
    ownTags().append(tag);
    if (ownTags().size() > kOwnTags) {
        ownTags().removeFirst();
    }
    return tag;
}

bool ownRequestTag(const QString &tag) {
    return ownTags().contains(tag);
}

QString replyLine(const QByteArray &text, const char *label) {
    const QByteArray prefix = QByteArray(label) + wire::kLabelSeparator;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(prefix)) {
            return QString::fromLatin1(line.mid(prefix.size()));
        }
    }
    return QString();
}

ReplyFacts replyFacts(const QByteArray &frame) {
    ReplyFacts facts;
    facts.from = frame.mid(wire::kSrcOffset, wire::kAddressLen);
    facts.shared = facts.from == wire::serviceMac();
    if (frame.mid(wire::kDstOffset, wire::kAddressLen) == wire::groupMac()) {
        // Requests from a station: boards never send to the group address.
        facts.kind = ReplyFacts::Request;
        facts.copyForOldBoards = wire::frameType(frame) == wire::kOldBoardsType;
        const QString request = latin1BeforeNul(frame.mid(wire::kHeaderLen));
        facts.tag = wire::requestTag(request, wire::kInfoKeyword);
        if (facts.tag.isEmpty()) {
            facts.tag = wire::requestTag(request, wire::kResetKeyword);
        }
        return facts;
    }
    const QByteArray text = bytesBeforeNul(frame.mid(wire::kHeaderLen));
    if (text.startsWith(wire::kInfoReplyTag)) {
        facts.kind = ReplyFacts::InfoReply;
    } else if (text.startsWith(QByteArray(wire::kResetAckTag) + '\n')) {
        facts.kind = ReplyFacts::ResetAck;
        const QByteArray tagLine = QByteArray(wire::kTagLabel) + wire::kLabelSeparator;
        const QList<QByteArray> lines = text.split('\n');
        if (lines.size() > 1 && lines.at(1).startsWith(tagLine)) {
            facts.tag = QString::fromLatin1(lines.at(1).mid(tagLine.size()));
        }
        facts.boot = replyLine(text, wire::kBootLabel);
        facts.start = replyLine(text, wire::kStartLabel);
    }
    return facts;
}

BoardCollector::BoardCollector(const QString &tag, const QByteArray &onlyFrom, double sentAtMs,
                               int limit)
    : tag_(tag), onlyFrom_(onlyFrom), sentAtMs_(sentAtMs), limit_(limit) {}

bool BoardCollector::take(const QByteArray &frame, double atMs) {
    const ReplyFacts facts = replyFacts(frame);
    if (facts.kind == ReplyFacts::Request) {
        // Another station asks (l2station tags its info and reset requests; this process's
        // own are known by their tags): replies to the shared address may now answer it.
        if (!facts.tag.isEmpty() && !ownRequestTag(facts.tag) &&
            atMs >= sentAtMs_ - kOtherRequestReachMs && othersAskedMs_.size() < 64) {
            othersAskedMs_.append(atMs - sentAtMs_);
            if (!facts.copyForOldBoards && !others_.contains(facts.from) && others_.size() < 64) {
                others_.append(facts.from);
            }
        }
        return false;
    }
    if (atMs < sentAtMs_) {
        return false; // a late reply to an earlier request
    }
    if (facts.from.size() != wire::kAddressLen || wire::isGroupAddress(facts.from) ||
        (!onlyFrom_.isEmpty() && facts.from != onlyFrom_)) {
        return false;
    }
    if (facts.kind == ReplyFacts::ResetAck) {
        if (facts.shared || facts.tag != tag_ || acked_.contains(facts.from)) {
            return false;
        }
        acked_.append(facts.from);
        ackTexts_.insert(facts.from, bytesBeforeNul(frame.mid(wire::kHeaderLen)));
        return true;
    }
    if (facts.kind != ReplyFacts::InfoReply) {
        return false; // an echo or another station's business
    }
    BoardInfo board;
    QString why;
    QString tag;
    const QByteArray payload = frame.mid(wire::kHeaderLen);
    if (!parseInfoReply(payload, &board, &why, &tag)) {
        ++malformed_;
        if (problems_.size() < 10) {
            problems_.append(
                QStringLiteral("not a well-formed info reply from %1 (%2, %3 bytes): %4")
                    .arg(wire::macText(facts.from), printableText(why))
                    .arg(frame.size())
                    .arg(printablePayload(payload.left(200))));
        }
        return false;
    }
    if (!facts.shared) {
        if (tag != tag_) {
            return false; // it answers another station's request, or an earlier one
        }
        board.mac = facts.from;
        if (!keys_.isEmpty()) {
            // The proof covers the board, this station, this round's tag and the reply: a
            // recording or a forgery does not hold.
            board.checked = true;
            board.verified =
                keys::verified(keys_, keys::Purpose::Info, board.reply,
                               {facts.from, frame.mid(wire::kDstOffset, 6), tag.toLatin1()});
        }
    } else {
        board.checked = !keys_.isEmpty();
        ++sharedReplies_;
    }
    board.replyMs = atMs - sentAtMs_;
    if (facts.shared) {
        // A board-address agent whose own address is the shared one answers the tagged
        // request and the plain one: one board, listed once.
        const QString identity = identityKey(board) + (tag.isEmpty() ? QStringLiteral("|plain")
                                                                     : QStringLiteral("|tag"));
        const QString other = identityKey(board) +
                              (tag.isEmpty() ? QStringLiteral("|tag") : QStringLiteral("|plain"));
        if (!tag.isEmpty() && tag != tag_) {
            return false; // its answer to another station's request
        }
        if (sharedKinds_.contains(other)) {
            return false;
        }
        sharedKinds_.insert(identity);
    }
    const QString key = boardKey(board);
    const auto known = index_.constFind(key);
    if (known != index_.constEnd()) {
        if (!facts.shared) {
            // One board once; a different reply from the same address is a conflict, which
            // both replies show.
            BoardInfo &first = boards_[known.value()];
            const bool seen = std::any_of(twins_.cbegin(), twins_.cend(), [&](const BoardInfo &t) {
                return t.mac == board.mac && t.reply == board.reply;
            });
            if (first.reply == board.reply || seen || twins_.size() >= kMaxTwins) {
                return false;
            }
            first.conflict = true;
            board.conflict = true;
            twins_.append(board);
            return true;
        }
        // Boards cloned from one image answer alike from the shared address, and together.
        // Once another station asked, an identical reply may answer its request instead.
        if (atMs - firstShared_.value(known.value()) > kCloneSpreadMs ||
            !othersAskedMs_.isEmpty()) {
            return false;
        }
        ++boards_[known.value()].count;
        return true;
    }
    if (boards_.size() >= limit_) {
        ++beyondLimit_;
        return false;
    }
    index_.insert(key, boards_.size());
    if (facts.shared) {
        firstShared_.insert(boards_.size(), atMs);
    }
    boards_.append(board);
    return true;
}

QList<BoardInfo> BoardCollector::boards() const {
    return boards_;
}
