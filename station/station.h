// l2station's pure parts: command line (options.cpp), info-reply parsing (inforeply.cpp),
// output formats (output.cpp), ping figures (ping.cpp), when a collection ends (collect.cpp)
// and following boards across rounds (fleet.cpp).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
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
};

enum class Command { None, Info, Ping, Reset, Send, Watch };

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
constexpr int kDefaultWatchIntervalMs = 2000;
// watch: a board is gone once it missed this many rounds in a row.
constexpr int kWatchMissedRounds = 2;

struct StationOptions {
    Command command = Command::None;
    bool help = false;
    QString interface;                 // -i; empty: pick one
    int waitMs = 1000;                 // info, watch: the longest collection; send: the window;
                                       // reset --wait: how long boards may take to come back
    int minWaitMs = kDefaultMinWaitMs; // info, watch: listen at least this long
    int quietMs = kDefaultQuietMs;     // info, watch: then stop once quiet this long
    bool fast = false;                 // info, watch: no minimum (fleets of current agents)
    bool first = false;                // info: stop at the first reply
    bool json = false;                 // info: JSON array; watch: JSON Lines
    int count = 4;                     // ping -c; watch -c (0: until interrupted)
    int size = 46;                     // ping -s: payload bytes (46 makes a 60-byte frame)
    int timeoutMs = 1000;              // ping -W: how long to wait for the last replies
    int intervalMs = 1000;             // ping, watch --interval
    bool yes = false;                  // reset --yes
    bool wait = false;                 // reset --wait
    bool hex = false;                  // send --hex: DATA is hexadecimal
    QByteArray data;                   // send: the payload
};

// The defaults of one command (they differ for -w, -c and --interval).
StationOptions defaultOptions(Command command);

// Parses argv without the program name. On failure returns false with a one-line reason.
bool parseStationArgs(const QStringList &args, StationOptions *options, QString *error);
QString stationUsage(Command command);

// One board's answer to an info request.
struct BoardInfo {
    QString device;
    QString version;
    QString product;
    QString hardId;
    QStringList ipAddresses;
    double replyMs = 0;
};

// Parses the payload of an info reply (the bytes after the 14-byte header). Returns false
// with the reason when it is not a well-formed info reply.
bool parseInfoReply(const QByteArray &payload, BoardInfo *board, QString *error);

QString boardsTable(const QList<BoardInfo> &boards);
QByteArray boardsJson(const QList<BoardInfo> &boards);
// One board as a JSON object (the reply's labels as keys, replyMs), and serialised JSON with
// every DEL and C1 control escaped as \uXXXX, as the JSON writer already does for C0.
QJsonObject boardJson(const BoardInfo &board);
QByteArray escapeJsonControls(QByteArray json);

// A payload shown to a person: text with escapes for what is not printable.
QString printablePayload(const QByteArray &payload);
// The same without the trailing zero bytes, whose number goes to *padding: the zeros a sender
// adds to reach the minimum frame are padding, not text. Zero bytes inside stay escaped.
QString printablePayloadText(const QByteArray &payload, int *padding);
// The text with a backslash doubled and every control character (C0, DEL, C1) as \xNN.
QString printableText(const QString &text);
QString hexDump(const QByteArray &bytes);

// ping's figures.
struct PingSummary {
    int transmitted = 0;
    int received = 0;    // requests with at least one reply
    int duplicates = 0;  // further replies to an already answered request
    QList<double> rttMs; // first reply per request
};
QString pingPayloadTag(int sequence);
constexpr int kMaxPingCount = 1000000;
// The smallest -s: room for the tag of the highest sequence number -c allows.
int pingMinSize();
// The request's sequence number from an echoed payload, or -1.
int pingSequence(const QByteArray &payload);
QByteArray pingPayload(int sequence, int size);
QString pingSummaryText(const QString &target, const PingSummary &summary, double elapsedMs);

// Candidate interfaces for the automatic choice, in libpcap's order.
struct InterfaceCandidate {
    QString name;
    bool up = false;
    bool loopback = false;
    bool ethernet = false;
};
QString pickInterface(const QList<InterfaceCandidate> &candidates);
// Every interface that could be the boards' segment: up, not loopback, Ethernet.
QStringList segmentCandidates(const QList<InterfaceCandidate> &candidates);

// When a collection ends: at the deadline; or, once a reply came (lastReplyMs >= 0), `quietMs`
// after the last one, but not before `floorMs`.
double collectionEndMs(double floorMs, double deadlineMs, double lastReplyMs, int quietMs);

// Following boards across rounds of info requests (fleet.cpp). A board is known by its
// HardId, or by Device and Product when it has none.
QString boardKey(const BoardInfo &board);
// The fields of `now` that differ from `before`, by their reply labels.
QStringList changedFields(const BoardInfo &before, const BoardInfo &now);

// watch: what one round showed against the rounds before.
struct WatchEvent {
    enum Kind { Added, Changed, Gone } kind;
    BoardInfo board;
    BoardInfo before; // Changed: the board as it was
};
struct WatchedBoard {
    BoardInfo board;
    int missed = 0; // rounds in a row without an answer
};
using WatchState = QMap<QString, WatchedBoard>;
QList<WatchEvent> watchRound(WatchState *state, const QList<BoardInfo> &answered);

// reset --wait: each board first answers, then goes silent while it resets, then is back.
struct ResetTrack {
    enum Phase { Answering, Silent, Back } phase = Answering;
    BoardInfo board;
    double silentMs = -1; // since the reset was sent
    double backMs = -1;
};
using ResetState = QMap<QString, ResetTrack>;
// One round: `answered` maps the key of each board that answered to its first reply's time
// since the reset; `roundStartMs` is when the round's request went out. Returns the keys whose
// phase changed.
QStringList resetRound(ResetState *state, const QMap<QString, double> &answered,
                       double roundStartMs);
bool allBack(const ResetState &state);
