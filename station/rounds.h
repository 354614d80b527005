// Asking the segment who is there: one info round and its parsed replies, the tool's standard
// streams, and the commands made of repeated rounds (watch, reset --wait).
#pragma once

#include "station.h"

#include <QList>
#include <QString>
#include <QTextStream>

class StationLink;
struct Reply;

QTextStream &out();
QTextStream &err();
// Prints "l2station: MESSAGE" on standard error and returns `status`.
int fail(StationExit status, const QString &message);

// One info request and what came back within the collection rule of `o`.
struct Round {
    bool sent = false;
    double startMs = 0; // when the request went out, on StationLink::nowMs's clock
    QList<BoardInfo> boards;
    int malformed = 0;
};

// Sends an info request and collects the replies as info does.
Round askSegment(StationLink &link, const StationOptions &o);
// Parses replies into the round's boards; what is not a well-formed info reply is reported on
// standard error and counted.
void addReplies(Round *round, const QList<Reply> &replies);

int runWatch(StationLink &link, const StationOptions &o, const QString &interface);
int runResetWait(StationLink &link, const StationOptions &o, const QString &interface);
