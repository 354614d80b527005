// Following boards across rounds: who appeared, changed or went away (watch), and who
// acknowledged, went silent and came back after a reset (reset --wait).
#include "station.h"

#include "wire.h"

QStringList changedFields(const BoardInfo &before, const BoardInfo &now) {
    QStringList fields;
    const auto check = [&](const QString &field, bool differs) {
        if (differs) {
            fields.append(field);
        }
    };
    const auto label = [](wire::InfoField field) {
        return QLatin1String(wire::kInfoLabels[field]);
    };
    check(label(wire::Device), before.device != now.device);
    check(label(wire::Version), before.version != now.version);
    check(label(wire::Product), before.product != now.product);
    check(label(wire::HardId), before.hardId != now.hardId);
    check(label(wire::IpAddress), before.ipAddresses != now.ipAddresses);
    check(QStringLiteral("Count"), before.count != now.count);
    return fields;
}

namespace {

// A board at the shared address is keyed by its whole reply, so a change gives it a new key.
// The one missing board at that address with the same identity is taken for it.
QString formerKey(const WatchState &state, const QSet<QString> &seen, const BoardInfo &board) {
    if (!board.sharedAddress()) {
        return QString();
    }
    QString found;
    for (auto it = state.cbegin(); it != state.cend(); ++it) {
        if (!seen.contains(it.key()) && it->board.sharedAddress() &&
            identityKey(it->board) == identityKey(board)) {
            if (!found.isEmpty()) {
                return QString(); // two candidates: neither is taken
            }
            found = it.key();
        }
    }
    return found;
}

} // namespace

QList<WatchEvent> watchRound(WatchState *state, const QList<BoardInfo> &answered, bool *spared) {
    QList<WatchEvent> events;
    QSet<QString> seen;
    bool sharedAnswered = false;
    for (const BoardInfo &board : answered) {
        sharedAnswered = sharedAnswered || board.sharedAddress();
        QString key = boardKey(board);
        if (seen.contains(key)) {
            continue; // one board answering twice in a round is still one board
        }
        seen.insert(key);
        auto known = state->find(key);
        if (known == state->end()) {
            const QString former = formerKey(*state, seen, board);
            if (former.isEmpty()) {
                state->insert(key, WatchedBoard{board, 0});
                events.append(WatchEvent{WatchEvent::Added, board, BoardInfo()});
                continue;
            }
            known = state->insert(key, state->take(former));
        }
        if (!changedFields(known->board, board).isEmpty()) {
            events.append(WatchEvent{WatchEvent::Changed, board, known->board});
        }
        known->board = board;
        known->missed = 0;
    }
    bool anySpared = false;
    for (auto it = state->begin(); it != state->end();) {
        if (seen.contains(it.key())) {
            ++it;
            continue;
        }
        if (it->board.sharedAddress() && sharedAnswered) {
            // A learning switch delivered this round's request to another board at the
            // shared address: this one's silence says nothing.
            anySpared = true;
            ++it;
            continue;
        }
        if (++it->missed >= kWatchMissedRounds) {
            // One missed round is a lost frame or a busy board; two in a row, it is gone.
            events.append(WatchEvent{WatchEvent::Gone, it->board, BoardInfo()});
            it = state->erase(it);
        } else {
            ++it;
        }
    }
    if (spared != nullptr) {
        *spared = anySpared;
    }
    return events;
}

QString resetKey(const BoardInfo &board) {
    return board.sharedAddress() ? identityKey(board)
                                 : QStringLiteral("mac:") + wire::macText(board.mac);
}

QStringList resetRound(ResetState *state, const QMap<QString, BoardInfo> &answered,
                       const QSet<QString> &acked, double roundStartMs) {
    QStringList changed;
    for (auto it = state->begin(); it != state->end(); ++it) {
        ResetTrack &track = it.value();
        const auto answer = answered.constFind(it.key());
        const bool answeredNow = answer != answered.constEnd();
        if (answeredNow) {
            track.now = answer.value();
        }
        track.acknowledged = track.acknowledged || acked.contains(it.key());
        switch (track.phase) {
        case ResetTrack::Answering:
            if (track.acknowledged && answeredNow) {
                // It took the reset, and an agent that answers again has finished its script:
                // it need not go silent first.
                track.phase = ResetTrack::Back;
                track.backMs = answer->replyMs;
            } else if (!answeredNow) {
                track.phase = ResetTrack::Silent;
                track.silentMs = roundStartMs;
            } else if (!track.acknowledged && roundStartMs >= kNeverSilentMs) {
                track.phase = ResetTrack::NeverSilent;
            } else {
                continue;
            }
            break;
        case ResetTrack::Silent:
            if (!answeredNow) {
                continue;
            }
            track.phase = ResetTrack::Back;
            track.backMs = answer->replyMs;
            break;
        case ResetTrack::Back:
        case ResetTrack::NeverSilent:
            continue;
        }
        changed.append(it.key());
    }
    return changed;
}

bool resetSettled(const ResetState &state) {
    for (const ResetTrack &track : state) {
        if (track.phase != ResetTrack::Back && track.phase != ResetTrack::NeverSilent) {
            return false;
        }
    }
    return true;
}
