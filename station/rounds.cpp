// One info round: the requests, the collection and the boards it found.
#include "rounds.h"

#include "link.h"
#include "wire.h"

#include <QRandomGenerator>

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

Round askSegment(StationLink &link, const StationOptions &o, double listenUntilMs) {
    Round round;
    const QString tag = newRequestTag();
    round.startMs = StationLink::nowMs();
    round.ownMac = link.ownMac();
    round.sent = sendRequest(link, o.board, wire::kInfoKeyword, tag);
    if (!round.sent) {
        return round;
    }
    BoardCollector collector(tag, o.board, round.startMs);
    collector.setKeys(o.keys);
    const auto take = [&](const Reply &reply) { return collector.take(reply.frame, reply.atMs); };
    CollectRule rule;
    rule.deadlineMs = round.startMs + o.waitMs;
    rule.floorMs = round.startMs + o.minWaitMs;
    rule.quietMs = o.quietMs;
    rule.stopAtFirst = o.first;
    link.collect(rule, take);
    if (listenUntilMs > StationLink::nowMs() && !o.first) {
        CollectRule rest;
        rest.deadlineMs = listenUntilMs;
        link.collect(rest, take);
    }
    round.boards = collector.boards();
    round.twins = collector.twins();
    if (o.first) {
        round.boards = round.boards.mid(0, 1);
    }
    round.malformed = collector.malformed();
    round.problems = collector.problems();
    round.sharedReplies = collector.sharedReplies();
    round.beyondLimit = collector.beyondLimit();
    round.otherStations = collector.otherStations();
    round.othersAskedMs = collector.othersAskedMs();
    return round;
}

QString followLimitText(const QString &interface) {
    return QStringLiteral("%1 boards followed on %2, the most this station follows: further "
                          "boards are not followed (made-up replies flooding the segment?)")
        .arg(kMaxWatchedBoards)
        .arg(interface);
}

QString conflictKey(const BoardInfo &twin) {
    return boardKey(twin) + QString::fromLatin1(twin.reply);
}

QString conflictText(const BoardInfo &twin) {
    return QStringLiteral("two different replies came from %1 in one round: a second board "
                          "with that address, or an impostor; neither is trusted to be the "
                          "board, and both are shown, marked (conflict)")
        .arg(wire::macText(twin.mac));
}

void reportProblems(const Round &round) {
    for (const QString &problem : round.problems) {
        err() << "l2station: " << problem << '\n';
    }
    if (round.malformed > round.problems.size()) {
        err() << "l2station: " << round.malformed - round.problems.size()
              << " more malformed replies\n";
    }
    if (round.beyondLimit > 0) {
        err() << "l2station: " << round.beyondLimit << " more boards answered than the "
              << kMaxBoards << " this tool keeps\n";
    }
    err().flush();
}

QString sharedAddressWarning(const QString &what) {
    return QStringLiteral("%1 from the shared address %2. A learning switch sends the next "
                          "request to that address to the one board that answered last, so "
                          "boards may be missing here and in later runs. Run the agents in "
                          "board-address mode (l2agent --board-address; see \"Switches\" in "
                          "l2station(8)).")
        .arg(what, wire::macText(wire::serviceMac()));
}

void warnAboutSharedAddress(const QString &what) {
    err() << "l2station: " << sharedAddressWarning(what) << '\n';
    err().flush();
}

QString silentSharedWarning(const QString &before) {
    return QStringLiteral("no board answered from the shared address %1, though boards did %2. "
                          "A learning switch sends requests to that address to the port it "
                          "last heard it on: a board there that no longer answers hides the "
                          "others until the switch forgets it (300 s by default). Run the "
                          "agents in board-address mode (see \"Switches\" in l2station(8)).")
        .arg(wire::macText(wire::serviceMac()), before);
}

QString otherStationNote(const QString &interface, const QByteArray &station,
                         const QByteArray &ownMac) {
    const QString from =
        station == ownMac ? QStringLiteral("from this host: another l2station or window here")
        : station == wire::stationMac()
            ? QStringLiteral("from the station address %1: an l2station before 1.3")
                  .arg(wire::macText(station))
            : QStringLiteral("from %1").arg(wire::macText(station));
    return QStringLiteral("another station asks on %1 too (%2). Boards in board-address mode "
                          "answer each station at its own address; boards at the shared "
                          "address answer the station address, which a switch delivers to the "
                          "station that asked last")
        .arg(interface, from);
}

void noteOtherStations(const QString &interface, const Round &round, QList<QByteArray> *told) {
    for (const QByteArray &station : round.otherStations) {
        if (!told->contains(station)) {
            told->append(station);
            err() << "l2station: " << otherStationNote(interface, station, round.ownMac) << '\n';
        }
    }
    err().flush();
}

int jitteredIntervalMs(int intervalMs) {
    const double spread = intervalMs * kWatchJitter;
    return int(intervalMs - spread + QRandomGenerator::global()->generateDouble() * 2 * spread);
}
