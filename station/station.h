// l2station's pure parts: command line (options.cpp), info-reply parsing (inforeply.cpp),
// output formats (output.cpp), ping figures (ping.cpp) and the quiet gap (collect.cpp).
#pragma once

#include <QByteArray>
#include <QList>
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

enum class Command { None, Info, Ping, Reset, Send };

// info's default quiet gap: after the last reply, this long without one ends the collection
// (README, "l2station": measured on 100 boards).
constexpr int kDefaultQuietMs = 100;

struct StationOptions {
    Command command = Command::None;
    bool help = false;
    QString interface;             // -i; empty: pick one
    int waitMs = 1000;             // info, send: the longest replies are collected
    int quietMs = kDefaultQuietMs; // info: stop once the segment was quiet this long
    bool first = false;            // info: stop at the first reply
    bool json = false;             // info: JSON array instead of a table
    int count = 4;                 // ping -c
    int size = 46;                 // ping -s: payload bytes (46 makes a 60-byte frame)
    int timeoutMs = 1000;          // ping -W: how long to wait for the last replies
    int intervalMs = 1000;         // ping --interval
    bool yes = false;              // reset --yes
    bool hex = false;              // send --hex: DATA is hexadecimal
    QByteArray data;               // send: the payload
};

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

// A payload shown to a person: text with escapes for what is not printable.
QString printablePayload(const QByteArray &payload);
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

// When a collection that began with a deadline ends: at the deadline, or `quietMs` after the
// last reply when one came (lastReplyMs < 0: none yet).
double collectionEndMs(double deadlineMs, double lastReplyMs, int quietMs);
