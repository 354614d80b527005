// Board identity, collected once at start-up: each source is read by one function and parsed by
// a pure function of its bytes, so the parsing can be tested without the board's files.
#pragma once

#include <QByteArray>
#include <QString>

struct ArgsStr;

// The fixed sources on a board.
extern const char *const kHardIdCommand; // "blkid /dev/mmcblk0"
extern const char *const kDeviceIdPath;  // "/App/cfg/ID.txt"
extern const char *const kVersionPath;   // "/App/bin/version"

// Bounds on the sources: a reply longer than a frame cannot be sent anyway, and a blkid that
// hangs must not keep the agent from serving.
constexpr int kIdentityReadCap = 16384;
constexpr int kHardIdTimeoutMs = 5000;
// How long an identity file may take to read.
constexpr int kIdentityReadMs = 2000;

// Fallback texts.
extern const char *const kNoHardId;     // popen failed
extern const char *const kNoDeviceId;   // ID file missing or blank
extern const char *const kNoDeviceName; // version file with fewer than two lines
extern const char *const kNoVersion;

QString getHardId();
QString getDeviceId();
void initDeviceInfo(ArgsStr *args);

// Board-address mode's restart values: the kernel's boot id ("/proc/sys/kernel/random/boot_id",
// empty when unreadable), and a value drawn from the kernel's generator, new at every start.
QString getBootId();
QString newStartId();
// The boot id's text as the kernel writes it, checked: a UUID, or empty.
QString bootIdFromFile(QByteArray content);

// The same operations on other sources; the agent itself only uses the fixed ones above.
QString getHardIdFrom(const char *command);
QString getDeviceIdFrom(QString path);
void initDeviceInfoFrom(ArgsStr *args, QString path);

// Parsers.
// blkid's output as a loop of fgets(buffer, 1024) joins it: every piece cut at its first NUL.
QByteArray joinFgetsPieces(QByteArray raw);
// The PTUUID value from blkid's output: the text between the quotes after the first
// `PTUUID="`; empty when the tag or its closing quote is missing.
QString hardIdFromBlkid(QByteArray output);
// The ID file's content, outer white space trimmed, or "Error" when nothing is left.
QString deviceIdFromFile(QByteArray content);
// Lines 1 and 2 of the version file's bytes (carriage returns dropped, as a text-mode read
// does), or the fallbacks when the text has fewer than two lines.
void deviceInfoFromFile(QByteArray content, QString *deviceName, QString *version);
