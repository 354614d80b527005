// Keys for board-address mode: the key file both programs read, and the proofs that a keyed
// board and a station with one of its keys make and check (HMAC-SHA-256 from Qt Core).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace keys {

// One key: 32 secret bytes, and an id derived from them, which frames name.
struct Key {
    QString id;
    QByteArray secret;
};
constexpr int kSecretLen = 32;
// A key file: text, one key a line, "l2key ID SECRET" (ID: 8 hexadecimal digits, SECRET: 64);
// empty lines and lines from "#" on are comments. Files concatenate: a board's file may hold
// several keys while keys are rotated.
constexpr char kLineWord[] = "l2key";

// The first 8 hexadecimal digits of SHA-256 of the secret.
QString keyId(const QByteArray &secret);
// A new key from the kernel's generator (getrandom); empty when it failed.
Key newKey();
QByteArray keyLine(const Key &key);
// The keys of a file's text; a line that is not a key, or whose id does not match its secret,
// is left out and said in *problems ("line N: ...").
QList<Key> parseKeys(const QByteArray &text, QStringList *problems = nullptr);
// Reads a key file for a program that serves or acts on it: refused (false, *error says why,
// naming the file) when another user than its owner may read or write it, or when it holds no
// valid key.
bool readKeyFile(const QString &path, QList<Key> *keys, QString *error);

// What a proof is for: each purpose proves something else, so that a board's proof sent back to
// it (or to another board) is never a reset's.
enum class Purpose { Info, Reset, Ack };
// HMAC-SHA-256 under `secret` of the purpose and each part, each part length-prefixed so that
// no two different lists of parts give one message.
QByteArray proof(const QByteArray &secret, Purpose purpose, const QList<QByteArray> &parts);
// Compares two proofs in a time that does not depend on where they differ.
bool sameProof(const QByteArray &a, const QByteArray &b);
const Key *findKey(const QList<Key> &keys, const QString &id);

// The lines of board-address frames that keys add (l2agent(8), "KEYS").
// A keyed board's info reply ends with "Challenge : C" (32 hexadecimal digits, new for each
// reply), then one "Proof : ID HEX" line per key of the board, each over the board's address,
// the station's, the request's tag and the reply's text before the proofs.
// An authenticated reset request: "req:kiv+init #TAG", then "Key : ID", "Challenge : C" (one
// the board gave out and did not take back) and "Proof : HEX" over the board's address, the
// station's, the challenge and the tag; sent to the board's own address.
// Its acknowledgement ends with a "Proof : ID HEX" line over the same four.
constexpr char kKeyLabel[] = "Key";
constexpr char kChallengeLabel[] = "Challenge";
constexpr char kProofLabel[] = "Proof";
constexpr int kChallengeLen = 16; // bytes

// What a reset request carries to prove itself.
struct ResetAuth {
    QString keyId;
    QString challenge;
    QByteArray proof; // empty: none, or not hexadecimal
    bool present() const {
        return !keyId.isEmpty() || !challenge.isEmpty() || !proof.isEmpty();
    }
};
ResetAuth resetAuth(const QByteArray &text);
// `request` ("req:kiv+init #TAG") with the lines that prove it.
QByteArray authenticatedReset(const QByteArray &request, const Key &key, const QByteArray &boardMac,
                              const QByteArray &stationMac, const QString &challenge,
                              const QString &tag);
// "Proof : ID HEX" for each key.
QByteArray proofLines(const QList<Key> &keys, Purpose purpose, const QList<QByteArray> &parts);
// Whether one of the "Proof" lines of `text` checks under one of `keys`: over `parts` and the
// text before the first proof line.
bool verified(const QList<Key> &keys, Purpose purpose, const QByteArray &text,
              const QList<QByteArray> &parts);

} // namespace keys
