// The station's command line and its defaults: the commands, their options, exit statuses, and
// the timings both the CLI and the window go by (options.cpp).
#pragma once

#include "keys.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// Exit statuses, one per kind of failure so that scripts can tell them apart.
enum StationExit {
    ExitOk = 0,
    ExitNoAnswer = 1,
    ExitUsage = 2,
    ExitNoInterface = 3,
    ExitNoPermission = 4,
    ExitCaptureError = 5,
    ExitLinkDown = 6, // the station's own link is down or has no carrier
    ExitNotReset = 7, // reset --wait: a board kept answering, so it did not reset
    ExitHistory = 8,  // history: the history file cannot be read
};

enum class Command { None, Info, Ping, Reset, Send, Watch, History, Key };

// How info collects replies by default. Agents that capture the classic way (libpcap's 500 ms
// buffer timeout) answer about half a second late, a loaded board later still, so info listens
// at least kDefaultMinWaitMs; after that, kDefaultQuietMs without a reply ends it (README,
// "l2station": measured on mixed segments and on 100 boards).
constexpr int kDefaultMinWaitMs = 1000;
constexpr int kDefaultQuietMs = 100;
constexpr int kDefaultInfoWaitMs = 2000;
// reset --wait: long enough for a board that reboots (the emulated board takes about 30 s).
constexpr int kDefaultResetWaitMs = 120000;
// reset --wait asks the boards this often whether they are back.
constexpr int kResetRoundMs = 1000;
// reset --wait: a board that still answers this long after the reset, without having
// acknowledged it, did not reset: its script did not restart the agent, or the request did
// not reach it.
constexpr int kNeverSilentMs = 10000;
// How long reset listens for acknowledgements: until this long without one, at most kAckWaitMs.
constexpr int kAckQuietMs = 200;
constexpr int kAckWaitMs = 2000;
constexpr int kDefaultWatchIntervalMs = 2000;
// watch: a board is gone once it missed this many rounds in a row.
constexpr int kWatchMissedRounds = 2;
// A round keeps at most this many boards; a flood of made-up replies costs no more.
constexpr int kMaxBoards = 10000;
// watch and the window follow at most this many boards; past it, new ones are not followed
// (and said so once).
constexpr int kMaxWatchedBoards = 20000;
// At most this many boards at the shared address are spared as hidden by a switch while they
// miss rounds; past it, boards that never answered twice in a row (churn: forged replies that
// change every round) are the first to go as any board goes.
constexpr int kMaxSparedShared = 256;
// Boards cloned from one image answer one request alike and together: identical replies from
// the shared address within this spread of the first are that many boards. Later ones answer
// another station's request, or nothing of this run's. (Another station's request sent within
// the same moment cannot be told apart.)
constexpr int kCloneSpreadMs = 20;
// Another station's request seen this long before a round's own, or later, may bring replies
// from the shared address that are not this round's (an agent that captures the classic way
// answers up to half a second late).
constexpr int kOtherRequestReachMs = 1000;
// watch: how long after its own request another station's request to the shared address can
// still take a board's reply there (a learning switch delivers it to the station that asked
// last), beyond the time that board took to answer before.
constexpr int kStolenReplyMarginMs = 100;
// watch: the earliest round may start this share of the interval earlier or later, so that two
// stations' rounds do not keep asking at the same moment.
constexpr double kWatchJitter = 0.1;

struct StationOptions {
    Command command = Command::None;
    bool help = false;
    bool version = false;
    QString interface;                 // -i; empty: pick one
    QByteArray board;                  // --board: that board's own address only; empty: all
    int waitMs = 1000;                 // info, watch: the longest collection; send: the window;
                                       // reset --wait: how long boards may take to come back
    int minWaitMs = kDefaultMinWaitMs; // info, watch: listen at least this long
    int quietMs = kDefaultQuietMs;     // info, watch: then stop once quiet this long
    bool fast = false;                 // info, watch: no minimum (fleets of current agents)
    bool first = false;                // info: stop at the first reply
    bool wide = false;                 // info: no cell is cut to the terminal's width
    bool json = false;                 // info: JSON array; watch: JSON Lines
    int count = 4;                     // ping -c; watch -c (0: until interrupted)
    int size = 46;                     // ping -s: payload bytes (46 makes a 60-byte frame)
    int timeoutMs = 1000;              // ping -W: how long to wait for the last replies
    int intervalMs = 1000;             // ping, watch --interval
    bool yes = false;                  // reset, send: --yes
    bool wait = false;                 // reset --wait
    bool hex = false;                  // send --hex: DATA is hexadecimal
    QByteArray data;                   // send: the payload
    bool history = true;               // watch: record what it sees in the history
    QString historyAt;                 // --history: a file or a postgresql:// URI
    QString stationName;               // --station-name: this station's name in the history
    QString station;                   // history --station: that station's rows only
    bool changes = false;              // history: the changes rather than the boards
    QDateTime since;                   // history: from this time on (null: all)
    QDateTime until;                   // history: up to this time (null: now)
    QString historyBoard;              // history --board: a MAC or a HardId
    QStringList events;                // history --event: these kinds of change only
    bool stats = false;                // history --stats: its size and what it keeps
    QString keyFile;                   // --key-file; key new: the file to write
    QList<keys::Key> keys;             // --key-file's keys, read and checked
};

// The defaults of one command (they differ for -w, -c and --interval).
StationOptions defaultOptions(Command command);

// Parses argv without the program name. On failure returns false with a one-line reason.
bool parseStationArgs(const QStringList &args, StationOptions *options, QString *error);
QString stationUsage(Command command);
