// Following boards across rounds: watch's added, changed and gone, and reset --wait's phases of
// each board (fleet.cpp). The CLI and the window both follow the segment through these.
#pragma once

#include "boards.h"
#include "options.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// The fields of `now` that differ from `before`, by their reply labels (and "Count").
QStringList changedFields(const BoardInfo &before, const BoardInfo &now);
// One of those fields as "Label old > new", the values as tables show them.
QString fieldChangeText(const QString &field, const BoardInfo &was, const BoardInfo &now);

// watch: what one round showed against the rounds before.
struct WatchEvent {
    enum Kind { Added, Changed, Gone } kind;
    BoardInfo board;
    BoardInfo before; // Changed: the board as it was
};
struct WatchedBoard {
    BoardInfo board;
    int missed = 0; // rounds in a row without an answer
    int streak = 1; // rounds in a row with one, this one included
    int best = 1;   // the longest such run
};
// The boards watch follows, by boardKey, and what the rounds showed of the segment.
struct WatchState : QMap<QString, WatchedBoard> {
    // Rounds in a row in which several boards answered from the shared address.
    int floodedRounds = 0;
    // Two such rounds in a row: the segment floods the shared address (a hub, or a bridge
    // that does not learn), where a switch would have learned it after the first.
    bool floods = false;
    // Boards at the shared address were known, and none answered from there this round.
    bool sharedSilent = false;
    // Boards being reset, by boardKey: their silence is the reset's, not their going away.
    QSet<QString> resetting;
    // Boards left unfollowed since the state held kMaxWatchedBoards; and whether this round
    // was the first to leave one out (to be said once).
    int unfollowed = 0;
    bool fullNow = false;
};
// Boards are gone after kWatchMissedRounds missed rounds. A board at the shared address that
// misses a round is not counted as missing when the round fits a switch hiding it: exactly one
// board answered from that address on a segment not known to flood it (the switch delivered
// the request to that board alone), or another station asked from the station address within
// kStolenReplyMarginMs of the board's reply time (the switch delivered the reply there);
// `othersAskedMs` are those requests' times since the round's own. *spared tells that this
// happened. A board at the shared address whose reply changed is matched by its identityKey
// when it is the only candidate.
// Boards in state.resetting are never reported gone: they miss rounds, and answer again as
// the boards they were.
QList<WatchEvent> watchRound(WatchState *state, const QList<BoardInfo> &answered,
                             bool *spared = nullptr, const QList<double> &othersAskedMs = {});

// What a board's answer after a reset says of a restart, from its restart values (Boot, Start)
// against those before the reset.
enum class RestartEvidence {
    Restarted, // a new boot or a new start of the agent
    SameRun,   // the agent that took the reset still runs
    Unknown,   // the board does not say (default mode, or an agent before 1.3)
};
RestartEvidence restartEvidence(const BoardInfo &before, const BoardInfo &now);

// reset --wait: each board first answers; then it restarts, as its restart values show, or,
// where it has none, goes silent while it resets and answers again. A board that answers as
// the same run of its agent kNeverSilentMs after the reset, or once it was silent, or when the
// wait ends, did not restart. Boards at the shared address, when several answer from there,
// are Unknown from the start: a switch passes the request to one of them, which the station
// cannot tell.
struct ResetTrack {
    enum Phase { Answering, Silent, Back, NotRestarted, Unknown } phase = Answering;
    BoardInfo board; // as it answered before the reset
    BoardInfo now;   // as it answered last
    bool acknowledged = false;
    double silentMs = -1; // since the reset was sent
    double backMs = -1;
    // NotRestarted: it came back as the same run after going silent (rather than never going
    // silent).
    bool cameBackSame = false;
    // Unknown: two different replies came from its address (before the reset or since), so
    // no answer from there tells that it restarted.
    bool conflict = false;
};
using ResetState = QMap<QString, ResetTrack>;
// The key of reset --wait: the board's own address, or its identityKey, which survives a reset
// that changes the reply.
QString resetKey(const BoardInfo &board);
// One round: `answered` maps the resetKey of each board that answered to its reply (replyMs
// since the reset); `acked` holds the keys that acknowledged; `roundStartMs` is when the
// round's request went out. Returns the keys whose phase changed.
QStringList resetRound(ResetState *state, const QMap<QString, BoardInfo> &answered,
                       const QSet<QString> &acked, double roundStartMs);
// Every board back or known not to reset: nothing more to wait for.
bool resetSettled(const ResetState &state);
// The boards before the reset as reset --wait follows them: Answering, or Unknown for boards at
// the shared address when more than one answered from there.
ResetState resetStart(const QList<BoardInfo> &before);
// What happened to a board, in the words reset --wait and the window use: "resetting", "went
// silent after 1.2 s", "back after 31.0 s", "did not restart: ...", "not back (silent since
// 1.2 s)", or what the station cannot tell of a board at the shared address. `over`: the wait
// has ended (a silent board is then not back).
QString resetPhaseText(const ResetTrack &track, bool over);
// The wait is over: a board still answering as the same run did not restart. Returns the keys
// whose phase changed.
QStringList resetFinish(ResetState *state);
