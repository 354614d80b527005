// Boards as the station sees them: an info reply parsed (inforeply.cpp), a board's keys, the
// replies of one round and when its collection ends (boards.cpp, collect.cpp), and how boards
// are shown: tables, JSON, escaped text (output.cpp).
#pragma once

#include "keys.h"
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

// When a collection ends: at the deadline; or, once a reply came (lastReplyMs >= 0), `quietMs`
// after the last one, but not before `floorMs`.
double collectionEndMs(double floorMs, double deadlineMs, double lastReplyMs, int quietMs);
