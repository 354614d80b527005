// Following boards across rounds: who appeared, changed or went away (watch), and who went
// silent and came back after a reset (reset --wait).
#include "station.h"

#include "wire.h"

QString boardKey(const BoardInfo &board) {
    // Two boards of one product share Device and Product; the partition-table UUID tells them
    // apart, when the board has one.
    if (!board.hardId.isEmpty()) {
        return QStringLiteral("hardid:") + board.hardId;
    }
    return QStringLiteral("device:") + board.device + QLatin1Char('\n') + board.product;
}

QStringList changedFields(const BoardInfo &before, const BoardInfo &now) {
    QStringList fields;
    const auto check = [&](wire::InfoField field, bool differs) {
        if (differs) {
            fields.append(QLatin1String(wire::kInfoLabels[field]));
        }
    };
    check(wire::Device, before.device != now.device);
    check(wire::Version, before.version != now.version);
    check(wire::Product, before.product != now.product);
    check(wire::HardId, before.hardId != now.hardId);
    check(wire::IpAddress, before.ipAddresses != now.ipAddresses);
    return fields;
}

QList<WatchEvent> watchRound(WatchState *state, const QList<BoardInfo> &answered) {
    QList<WatchEvent> events;
    QSet<QString> seen;
    for (const BoardInfo &board : answered) {
        const QString key = boardKey(board);
        if (seen.contains(key)) {
            continue; // one board answering twice in a round is still one board
        }
        seen.insert(key);
        auto known = state->find(key);
        if (known == state->end()) {
            state->insert(key, WatchedBoard{board, 0});
            events.append(WatchEvent{WatchEvent::Added, board, BoardInfo()});
            continue;
        }
        if (!changedFields(known->board, board).isEmpty()) {
            events.append(WatchEvent{WatchEvent::Changed, board, known->board});
        }
        known->board = board;
        known->missed = 0;
    }
    for (auto it = state->begin(); it != state->end();) {
        if (!seen.contains(it.key()) && ++it->missed >= kWatchMissedRounds) {
            // One missed round is a lost frame or a busy board; two in a row, it is gone.
            events.append(WatchEvent{WatchEvent::Gone, it->board, BoardInfo()});
            it = state->erase(it);
        } else {
            ++it;
        }
    }
    return events;
}

QStringList resetRound(ResetState *state, const QMap<QString, double> &answered,
                       double roundStartMs) {
    QStringList changed;
    for (auto it = state->begin(); it != state->end(); ++it) {
        ResetTrack &track = it.value();
        const bool answeredNow = answered.contains(it.key());
        if (track.phase == ResetTrack::Answering && !answeredNow) {
            track.phase = ResetTrack::Silent;
            track.silentMs = roundStartMs;
            changed.append(it.key());
        } else if (track.phase == ResetTrack::Silent && answeredNow) {
            track.phase = ResetTrack::Back;
            track.backMs = answered.value(it.key());
            changed.append(it.key());
        }
    }
    return changed;
}

bool allBack(const ResetState &state) {
    for (const ResetTrack &track : state) {
        if (track.phase != ResetTrack::Back) {
            return false;
        }
    }
    return true;
}
