// What the station does to boards (ping, reset, reset and wait), each told to an observer as it
// happens: the command line prints it, the window shows it. The decisions stay in the pure parts
// (station.h); these loops only run the link.
#pragma once

#include "rounds.h"
#include "station.h"

#include <QByteArray>
#include <QList>
#include <QMap>

class StationLink;

// One echo that came back.
struct PingReply {
    QByteArray from;
    int sequence = 0;
    int bytes = 0; // the whole frame
    double rttMs = 0;
    bool duplicate = false; // a further reply to an already answered request
    bool intact = true;     // the payload came back as it was sent
};

class PingObserver {
  public:
    virtual ~PingObserver() = default;
    virtual void reply(const PingReply &reply) = 0;
};

struct PingOutcome {
    bool sent = true; // false: a request could not be sent (the link's lastError says why)
    int transmitted = 0;
    QMap<QByteArray, PingSummary> boards; // by the address the replies came from
    double elapsedMs = 0;
};

// o.count echo requests of o.size payload bytes, o.intervalMs apart, to every board or to
// o.board; the last one waits o.timeoutMs. Ends early when the link is stopped.
PingOutcome pingBoards(StationLink &link, const StationOptions &o, PingObserver *observer);

struct ResetOutcome {
    bool sent = false;
    QList<QByteArray> acknowledged; // boards in board-address mode that took the request
    QList<QByteArray> verified;     // with keys: those whose acknowledgement proved the board
};

// Where an action on `board` goes: its own address, or the shared address for a board that
// answers from there (every board at that address gets it).
QByteArray actionTarget(const BoardInfo &board);

// The boards a reset went to, for what came of it: `listed` (as they answered before it), then
// every other board that acknowledged it, known by its address alone.
QList<BoardInfo> resetReached(QList<BoardInfo> listed, const ResetOutcome &outcome);

// What a reset without a wait came to for `board`, in the history's words: acknowledged (and
// verified or not, with keys), not acknowledged, or sent to the shared address.
QString resetSentText(const BoardInfo &board, const ResetOutcome &outcome, bool keyed);

// Sends a reset request to every board, or to `board`, and collects the acknowledgements:
// they leave before the script runs, so they come within milliseconds. To the shared address
// nothing is collected: such boards do not acknowledge. With `keys`, each keyed board of
// `known` (one that gave out a challenge) gets a request of its own proven with one of them.
ResetOutcome resetBoards(StationLink &link, const QByteArray &board,
                         const QList<keys::Key> &keys = {}, const QList<BoardInfo> &known = {});

class ResetWaitObserver {
  public:
    virtual ~ResetWaitObserver() = default;
    // Who answered before the reset: the boards that will be waited for.
    virtual void before(const Round &round) {
        Q_UNUSED(round)
    }
    // The request is about to go to these boards.
    virtual void resetting(const ResetState &state) {
        Q_UNUSED(state)
    }
    // A board's phase changed (went silent, is back, did not reset).
    virtual void changed(const ResetTrack &track) {
        Q_UNUSED(track)
    }
    // After every round of asking, with the time since the reset.
    virtual void progress(const ResetState &state, double elapsedMs) {
        Q_UNUSED(state)
        Q_UNUSED(elapsedMs)
    }
};

struct ResetWaitOutcome {
    enum Result {
        Waited,   // the request went; `state` says how each board fared
        NoBoards, // no board answered before the reset, so nothing was sent
        NotSent,  // a request could not be sent (the link's lastError says why)
    } result = NotSent;
    ResetState state;
    double tookMs = 0;    // from the reset to the end
    bool stopped = false; // interrupted before every board was settled
};

// Lists the boards (every one, or `board`), resets them, and asks each second until each is
// back or known not to have reset, or `waitMs` passed since the reset.
// With `keys`, keyed boards get proven requests, and only acknowledgements that prove the board
// count.
ResetWaitOutcome resetAndWait(StationLink &link, const QByteArray &board, int waitMs,
                              ResetWaitObserver *observer, const QList<keys::Key> &keys = {});
