// Following boards across rounds: who appeared, changed or went away (watch), and who
// acknowledged, went silent and came back after a reset (reset --wait).
#include "fleet.h"
#include "stablesort.h"

#include "wire.h"

#include <algorithm>

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

namespace {

// Whether a board at the shared address that did not answer this round may have been hidden by
// a switch rather than be gone.
bool hiddenBySwitch(const WatchState &state, const WatchedBoard &silent, int sharedAnswered,
                    const QList<double> &othersAskedMs) {
    if (sharedAnswered == 1 && !state.floods) {
        return true; // the switch learned the shared address at the one board that answered
    }
    // The switch delivers replies to the station address to the station that sent from it
    // last: another station that asked after this one, before this board answered, got its
    // reply.
    const double reach = silent.board.replyMs + kStolenReplyMarginMs;
    for (const double at : othersAskedMs) {
        if (at >= 0 && at <= reach) {
            return true;
        }
    }
    return false;
}

} // namespace

QList<WatchEvent> watchRound(WatchState *state, const QList<BoardInfo> &answered, bool *spared,
                             const QList<double> &othersAskedMs) {
    QList<WatchEvent> events;
    QSet<QString> seen;
    int sharedAnswered = 0;
    bool sharedKnown = false;
    state->fullNow = false;
    for (const WatchedBoard &known : *state) {
        sharedKnown = sharedKnown || known.board.sharedAddress();
    }
    for (const BoardInfo &board : answered) {
        QString key = boardKey(board);
        if (seen.contains(key)) {
            continue; // one board answering twice in a round is still one board
        }
        seen.insert(key);
        sharedAnswered += board.sharedAddress() ? board.count : 0;
        auto known = state->find(key);
        if (known == state->end()) {
            const QString former = formerKey(*state, seen, board);
            if (former.isEmpty()) {
                if (state->size() >= kMaxWatchedBoards) {
                    state->fullNow = state->fullNow || state->unfollowed == 0;
                    ++state->unfollowed;
                    continue;
                }
                state->insert(key, WatchedBoard{board, 0});
                events.append(WatchEvent{WatchEvent::Added, board, BoardInfo()});
                continue;
            }
            known = state->insert(key, state->take(former));
        }
        if (known->missed == 0) {
            ++known->streak;
        } else {
            known->streak = 1;
        }
        known->best = std::max(known->best, std::min(known->streak, 1000));
        if (board.conflict) {
            // Two replies from its address: neither is taken for a change of the board.
            known->missed = 0;
            continue;
        }
        if (!changedFields(known->board, board).isEmpty()) {
            events.append(WatchEvent{WatchEvent::Changed, board, known->board});
        }
        known->board = board;
        known->missed = 0;
    }
    // A switch floods the shared address only until a board answers from it; a segment where
    // several boards answer from it round after round passes every request to every board.
    state->floodedRounds = sharedAnswered > 1 ? state->floodedRounds + 1 : 0;
    state->floods = state->floods || state->floodedRounds >= 2;
    state->sharedSilent = sharedKnown && sharedAnswered == 0;
    // The boards a switch may hide: at most kMaxSparedShared of them, those that answered
    // longest in a row first. Replies forged anew each round cannot pile up.
    QList<QString> hidden;
    for (auto it = state->cbegin(); it != state->cend(); ++it) {
        if (!seen.contains(it.key()) && it->board.sharedAddress() &&
            hiddenBySwitch(*state, it.value(), sharedAnswered, othersAskedMs)) {
            hidden.append(it.key());
        }
    }
    if (hidden.size() > kMaxSparedShared) {
        stableSort(&hidden, [&](const QString &a, const QString &b) {
            return state->value(a).best > state->value(b).best;
        });
        hidden = hidden.mid(0, kMaxSparedShared);
    }
    const QSet<QString> sparedKeys(hidden.cbegin(), hidden.cend());
    bool anySpared = false;
    for (auto it = state->begin(); it != state->end();) {
        if (seen.contains(it.key())) {
            ++it;
            continue;
        }
        if (sparedKeys.contains(it.key())) {
            anySpared = true;
            ++it;
            continue;
        }
        if (++it->missed >= kWatchMissedRounds && !state->resetting.contains(it.key())) {
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

RestartEvidence restartEvidence(const BoardInfo &before, const BoardInfo &now) {
    if (before.start.isEmpty() || now.start.isEmpty()) {
        // An agent before 1.3 that was replaced by a current one has restarted all the same.
        return now.start.isEmpty() ? RestartEvidence::Unknown : RestartEvidence::Restarted;
    }
    if (before.start != now.start || before.boot != now.boot) {
        return RestartEvidence::Restarted;
    }
    return RestartEvidence::SameRun;
}

ResetState resetStart(const QList<BoardInfo> &before) {
    int shared = 0;
    for (const BoardInfo &b : before) {
        shared += b.sharedAddress() ? b.count : 0;
    }
    ResetState state;
    for (const BoardInfo &b : before) {
        ResetTrack track;
        track.board = b;
        track.now = b;
        // Behind a switch the request to the shared address reaches one of them only; from
        // an address two boards answer from, no answer tells a restart.
        track.conflict = b.conflict;
        track.phase = (b.sharedAddress() && shared > 1) || b.conflict ? ResetTrack::Unknown
                                                                      : ResetTrack::Answering;
        state.insert(resetKey(b), track);
    }
    return state;
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
            if (answer->conflict && !track.conflict &&
                (track.phase == ResetTrack::Answering || track.phase == ResetTrack::Silent)) {
                track.conflict = true;
                track.phase = ResetTrack::Unknown;
                changed.append(it.key());
                continue;
            }
        }
        track.acknowledged = track.acknowledged || acked.contains(it.key());
        if (track.phase != ResetTrack::Answering && track.phase != ResetTrack::Silent) {
            continue;
        }
        const ResetTrack::Phase was = track.phase;
        if (!answeredNow) {
            if (track.phase == ResetTrack::Answering) {
                track.phase = ResetTrack::Silent;
                track.silentMs = roundStartMs;
            }
        } else {
            switch (restartEvidence(track.board, answer.value())) {
            case RestartEvidence::Restarted:
                track.phase = ResetTrack::Back;
                break;
            case RestartEvidence::SameRun:
                // Back from silence as the same run: its script ended without a restart. Still
                // answering so long after the reset: it is not going to.
                if (track.phase == ResetTrack::Silent || roundStartMs >= kNeverSilentMs) {
                    track.cameBackSame = track.phase == ResetTrack::Silent;
                    track.phase = ResetTrack::NotRestarted;
                }
                break;
            case RestartEvidence::Unknown:
                // Without restart values, silence and an answer after it is all there is.
                if (track.phase == ResetTrack::Silent) {
                    track.phase = ResetTrack::Back;
                } else if (roundStartMs >= kNeverSilentMs) {
                    track.phase = ResetTrack::NotRestarted;
                }
                break;
            }
            if (track.phase == ResetTrack::Back) {
                track.backMs = answer->replyMs;
            }
        }
        if (track.phase != was) {
            changed.append(it.key());
        }
    }
    return changed;
}

QStringList resetFinish(ResetState *state) {
    QStringList changed;
    for (auto it = state->begin(); it != state->end(); ++it) {
        if (it->phase == ResetTrack::Answering) {
            it->phase = ResetTrack::NotRestarted;
            changed.append(it.key());
        }
    }
    return changed;
}

bool resetSettled(const ResetState &state) {
    for (const ResetTrack &track : state) {
        if (track.phase == ResetTrack::Answering || track.phase == ResetTrack::Silent) {
            return false;
        }
    }
    return true;
}

QString resetPhaseText(const ResetTrack &t, bool over) {
    const auto seconds = [](double ms) {
        return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
    };
    switch (t.phase) {
    case ResetTrack::Answering:
        return QStringLiteral("resetting");
    case ResetTrack::Silent:
        return over ? QStringLiteral("not back (silent since %1)").arg(seconds(t.silentMs))
                    : QStringLiteral("went silent after %1").arg(seconds(t.silentMs));
    case ResetTrack::Back:
        return QStringLiteral("back after %1").arg(seconds(t.backMs));
    case ResetTrack::NotRestarted:
        if (t.cameBackSame) {
            return QStringLiteral("did not restart: it answered again as the same run of its "
                                  "agent (its reset script does not restart the agent)");
        }
        if (!t.now.start.isEmpty()) {
            return QStringLiteral("did not restart: still the same run of its agent %1 after "
                                  "the reset%2")
                .arg(seconds(t.now.replyMs),
                     t.acknowledged ? QStringLiteral(" (its reset script does not restart the "
                                                     "agent)")
                                    : QStringLiteral(" (it did not acknowledge the reset)"));
        }
        return QStringLiteral("did not restart: still answering %1 after the reset (its reset "
                              "script does not restart the agent, or the request did not reach "
                              "it)")
            .arg(seconds(t.now.replyMs));
    case ResetTrack::Unknown:
        if (t.conflict) {
            return QStringLiteral("cannot tell: two different replies came from its address (a "
                                  "second board with that address, or an impostor)");
        }
        return QStringLiteral("cannot tell: several boards answer from the shared address, and "
                              "a switch passes the request to whichever one it chose");
    }
    return QString();
}
