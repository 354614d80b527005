// l2station's pure parts: command line (options.cpp), info-reply parsing (inforeply.cpp),
// boards and the replies of one round (boards.cpp), output formats (output.cpp), ping figures
// (ping.cpp), when a collection ends (collect.cpp) and following boards across rounds
// (fleet.cpp).
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

// One board's answer to an info request.
struct BoardInfo {
    QString device;
    QString version;
    QString product;
    QString hardId;
    QStringList ipAddresses;
    // The board's own address: a board in board-address mode answers from it. Empty for a
    // board that answers from the shared service address.
    QByteArray mac;
    // The reply's text as it came: what tells boards at the shared address apart.
    QByteArray reply;
    // Identical replies from the shared address to one request: boards cloned from one image.
    int count = 1;
    double replyMs = 0;
    // Board-address mode from 1.3 on: the board's boot id and its agent's start value, which
    // tell a restart; empty from older agents and at the shared address.
    QString boot;
    QString start;
    // Keys: the challenge a keyed board gave out with this reply, and the ids of its keys.
    QString challenge;
    QStringList keyIds;
    // The station held keys and checked the reply's proofs; whether one of them held.
    bool checked = false;
    bool verified = false;
    // Two different replies came from its own address in one round: a second board with the
    // same address, or an impostor. Neither can be trusted to be the board.
    bool conflict = false;

    bool sharedAddress() const {
        return mac.isEmpty();
    }
};

// Parses the payload of an info reply (the bytes after the 14-byte header). Returns false
// with the reason when it is not a well-formed info reply. Device and Version are the file's
// bytes on the board: UTF-8 where they are valid UTF-8, Latin-1 otherwise; Product and HardId
// are Latin-1, as the agent sends them. *tag gets the "Tag" line of a board-address reply.
bool parseInfoReply(const QByteArray &payload, BoardInfo *board, QString *error,
                    QString *tag = nullptr);

// A board is known by its own address where it has one; a board at the shared address by its
// whole reply, so that two boards that differ in anything are never taken for one.
QString boardKey(const BoardInfo &board);
// What a board keeps across a reset: HardId, or Device and Product when it has none.
QString identityKey(const BoardInfo &board);

// A fresh tag for one run's requests. The process remembers the last kOwnTags it made, so that
// its own requests, which its capture sees leave, are told from other stations'.
QString newRequestTag();
bool ownRequestTag(const QString &tag);
constexpr int kOwnTags = 256;

// What a captured frame to the station (or the group address) is.
struct ReplyFacts {
    // Request: another station's request to the group address, which the station sees since
    // switches flood that address.
    enum Kind { InfoReply, ResetAck, Request, Other } kind = Other;
    QByteArray from;     // its source address
    bool shared = false; // from the shared service address
    QString tag;         // the tag it echoes (board-address mode), or a request's tag
    QString boot;        // an acknowledgement's restart values
    QString start;
    // Request: another station's copy for boards before 1.3, which stands for no station of
    // its own (its own-address copy does).
    bool copyForOldBoards = false;
};
ReplyFacts replyFacts(const QByteArray &frame);
// The value of a "Label : value" line of a reply's text; empty when it has none.
QString replyLine(const QByteArray &text, const char *label);

// The replies of one round, taken as they arrive: each board once; what answers a request this
// round did not make (another station's, a late reply to an earlier run) is left out.
class BoardCollector {
  public:
    // `tag`: the round's tag; `onlyFrom`: one board's address (empty: any); `sentAtMs`: when
    // the round's requests went out, on the replies' clock.
    BoardCollector(const QString &tag, const QByteArray &onlyFrom, double sentAtMs,
                   int limit = kMaxBoards);
    // Takes one reply; true when it brought something new (a board, another clone, or a reset
    // acknowledgement): what keeps a collection listening.
    bool take(const QByteArray &frame, double atMs);

    QList<BoardInfo> boards() const;
    QList<QByteArray> acknowledged() const {
        return acked_;
    }
    int malformed() const {
        return malformed_;
    }
    // The first few malformed replies, each described in one line.
    QStringList problems() const {
        return problems_;
    }
    int sharedReplies() const {
        return sharedReplies_;
    }
    int beyondLimit() const {
        return beyondLimit_;
    }
    // With keys, info replies are checked: each board is marked verified or not.
    void setKeys(const QList<keys::Key> &keys) {
        keys_ = keys;
    }
    // The second, different reply of each board with a conflict (marked so, as the first).
    QList<BoardInfo> twins() const {
        return twins_;
    }
    // The text of a board's acknowledgement, for its proof.
    QByteArray ackText(const QByteArray &mac) const {
        return ackTexts_.value(mac);
    }
    // Other stations whose requests came since shortly before this round's: their addresses,
    // and when the requests came (since this round's went out; negative: before it).
    QList<QByteArray> otherStations() const {
        return others_;
    }
    QList<double> othersAskedMs() const {
        return othersAskedMs_;
    }

  private:
    static constexpr int kMaxTwins = 64;
    QList<BoardInfo> twins_;
    QSet<QString> sharedKinds_; // identityKey|tag or |plain of the shared replies taken
    QString tag_;
    QByteArray onlyFrom_;
    double sentAtMs_;
    int limit_;
    QList<BoardInfo> boards_;
    QHash<QString, int> index_;
    QHash<int, double> firstShared_; // by board: when its first reply came
    QList<QByteArray> acked_;
    QHash<QByteArray, QByteArray> ackTexts_;
    QList<keys::Key> keys_;
    QList<QByteArray> others_;
    QList<double> othersAskedMs_;
    int malformed_ = 0;
    QStringList problems_;
    int sharedReplies_ = 0;
    int beyondLimit_ = 0;
};

// Rows in a stable order: Device, then HardId, then the board's address.
void sortBoards(QList<BoardInfo> *boards);
bool boardLess(const BoardInfo &a, const BoardInfo &b);
// The table; with `width` > 0 the widest cells are cut, with an ellipsis, until a row fits.
QString boardsTable(const QList<BoardInfo> &boards, int width = 0);
// Rows of cells in aligned columns, the first row the heading; with `width` > 0 the widest of
// the `cuttable` columns is cut, with an ellipsis, until a row fits.
QString textTable(const QList<QStringList> &rows, const QList<int> &cuttable, int width = 0);
// Columns a text takes on a terminal: two for a wide (East Asian) character.
int displayWidth(const QString &text);
QByteArray boardsJson(const QList<BoardInfo> &boards);
// One board as a JSON object (the reply's labels as keys, Mac, Count, replyMs), and serialised
// JSON with every character unsafeToShow escaped as \uXXXX, as the JSON writer already does
// for C0.
QJsonObject boardJson(const BoardInfo &board);
QByteArray escapeJsonControls(QByteArray json);
// A board's address as tables show it: its own, or "shared" (with the count of clones).
QString boardAddressText(const BoardInfo &board);
// The one way an empty value is shown in tables and lines.
QString shownValue(const QString &text);

// A payload shown to a person: text with escapes for what is not printable.
QString printablePayload(const QByteArray &payload);
// The same without the trailing zero bytes, whose number goes to *padding: the zeros a sender
// adds to reach the minimum frame are padding, not text. Zero bytes inside stay escaped.
QString printablePayloadText(const QByteArray &payload, int *padding);
// Whether a character of a board's text must not reach a screen as it is: a control character
// (C0, DEL, C1), or one that reorders or hides text around it (format characters such as the
// bidi overrides and isolates and the zero-width ones, line and paragraph separators).
bool unsafeToShow(uint codePoint);
// The text with a backslash doubled and every character unsafeToShow escaped: \xNN up to
// U+00FF, \uXXXX in the rest of the first plane, \UXXXXXXXX beyond.
QString printableText(const QString &text);
QString hexDump(const QByteArray &bytes);

// ping's figures, per board.
struct PingSummary {
    int transmitted = 0;
    int received = 0;    // requests with at least one reply
    int duplicates = 0;  // further replies to an already answered request (boards at the
                         // shared address, which cannot be told apart)
    QList<double> rttMs; // first reply per request
};
// Every request carries the run's id and its sequence number: replies to another ping
// running beside this one are not counted.
QString pingPayloadTag(quint16 run, int sequence);
constexpr int kMaxPingCount = 1000000;
// The smallest -s: room for the tag of the highest sequence number -c allows.
int pingMinSize();
// The request's sequence number from an echoed payload of this run, or -1.
int pingSequence(const QByteArray &payload, quint16 run);
QByteArray pingPayload(quint16 run, int sequence, int size);
QString pingSummaryText(const QString &target, const PingSummary &summary, double elapsedMs);

// Candidate interfaces for the automatic choice, in libpcap's order.
struct InterfaceCandidate {
    QString name;
    bool up = false;
    bool loopback = false;
    bool ethernet = false; // ARPHRD_ETHER
    bool wireless = false; // Ethernet framing, but Wi-Fi
};
// Why an interface named with -i cannot be the boards' segment, or empty.
QString unfitInterface(const InterfaceCandidate &candidate);
QString pickInterface(const QList<InterfaceCandidate> &candidates);
// Every interface that could be the boards' segment: up, not loopback, Ethernet.
QStringList segmentCandidates(const QList<InterfaceCandidate> &candidates);

// When a collection ends: at the deadline; or, once a reply came (lastReplyMs >= 0), `quietMs`
// after the last one, but not before `floorMs`.
double collectionEndMs(double floorMs, double deadlineMs, double lastReplyMs, int quietMs);

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
