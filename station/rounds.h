// Asking the segment who is there: one info round and its boards, the tool's standard streams,
// and the commands made of repeated rounds (watch, reset --wait).
#pragma once

#include "station.h"

#include <QList>
#include <QString>
#include <QTextStream>

class StationLink;

QTextStream &out();
QTextStream &err();
// Prints "l2station: MESSAGE" on standard error and returns `status`.
int fail(StationExit status, const QString &message);

// One info request (to every board, or to o.board) and what came back for it.
struct Round {
    bool sent = false;
    double startMs = 0; // when the requests went out, on StationLink::nowMs's clock
    QList<BoardInfo> boards;
    // The second reply of each board with a conflict (two different replies from one address).
    QList<BoardInfo> twins;
    int malformed = 0;
    int sharedReplies = 0;
    int beyondLimit = 0;
    QStringList problems;
    QByteArray ownMac; // the address the round asked from
    // Other stations that asked on the segment meanwhile, and when (since startMs).
    QList<QByteArray> otherStations;
    QList<double> othersAskedMs;
};

// Sends an info request and collects the replies as info does; with `listenUntilMs` later
// than the collection's end, it goes on listening until then (a late reply still counts).
Round askSegment(StationLink &link, const StationOptions &o, double listenUntilMs = 0);
// Malformed replies and boards past the limit, on standard error.
void reportProblems(const Round &round);
// watch and the window follow kMaxWatchedBoards boards at most: said once when reached.
QString followLimitText(const QString &interface);
// Two different replies from one address, in the words info, watch and the window use.
QString conflictText(const BoardInfo &twin);
// What tells one pair of replies from one address from another: said once a pair.
QString conflictKey(const BoardInfo &twin);
// Boards at the shared service address hide one another behind a learning switch: says so on
// standard error, with the remedy.
void warnAboutSharedAddress(const QString &what);
// The warning's text, for the window's banner too.
QString sharedAddressWarning(const QString &what);
// When boards that answered from the shared address before are silent: a switch may have
// learned that address at a board that no longer answers. `before` says where they were seen.
QString silentSharedWarning(const QString &before);
// Another station on the segment, said once: information, not a fault.
QString otherStationNote(const QString &interface, const QByteArray &station,
                         const QByteArray &ownMac);
// The stations of `round` not in *told yet, each noted once on standard error.
void noteOtherStations(const QString &interface, const Round &round, QList<QByteArray> *told);
// watch and the window: the pause to the next round, the interval moved by up to kWatchJitter
// either way so that two stations do not keep asking together.
int jitteredIntervalMs(int intervalMs);

class HistoryStore;
// reset's history: opens it and begins a session on `interface`, or says on standard error
// why the resets are not kept (a reset never waits for its history).
bool openResetHistory(HistoryStore *history, const StationOptions &o, const QString &interface);

// watch opens its own link, and opens it again after its link was down.
int runWatch(const QString &interface, const StationOptions &o);
int runResetWait(StationLink &link, const StationOptions &o, const QString &interface);
