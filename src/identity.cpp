// Reads the board's identity sources and parses them into the four identity texts.
#include "identity.h"

#include "args_str.h"
#include "process.h"
#include "text.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <sys/random.h>

const char *const kHardIdCommand = "blkid /dev/mmcblk0";
const char *const kDeviceIdPath = "/App/cfg/ID.txt";
const char *const kVersionPath = "/App/bin/version";

const char *const kNoHardId = "00000000-0000-0000-0000-000000000000";
const char *const kNoDeviceId = "Error";
const char *const kNoDeviceName = "DOREVIVIZ";
const char *const kNoVersion = "0.0.0.0";

QString hardIdFromBlkid(QByteArray output) {
    // The text stops at the first NUL byte.
    const QString text = utf8BeforeNul(output);
    const QString tag = QStringLiteral("PTUUID=\"");
    const int start = text.indexOf(tag);
    if (start < 0) {
        return QString();
    }
    const int valueStart = start + tag.size();
    const int end = text.indexOf(QLatin1Char('"'), valueStart);
    if (end < 0) {
        return QString();
    }
    return text.mid(valueStart, end - valueStart);
}

QString bootIdFromFile(QByteArray content) {
    const QByteArray id = content.trimmed();
    if (id.size() != 36) {
        return QString();
    }
    for (int i = 0; i < id.size(); ++i) {
        const char c = id.at(i);
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return QString();
        }
    }
    return QString::fromLatin1(id);
}

QString getBootId() {
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return bootIdFromFile(file.read(64));
}

QString newStartId() {
    unsigned char bytes[8] = {};
    // Blocks only before the kernel's pool is first seeded, early in a boot; a start id must
    // differ from the last one, so waiting for it is right.
    if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
        return QString();
    }
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex());
}

QString deviceIdFromFile(QByteArray content) {
    const QString id = utf8BeforeNul(content.trimmed());
    return id.isEmpty() ? QString::fromLatin1(kNoDeviceId) : id;
}

void deviceInfoFromFile(QByteArray content, QString *deviceName, QString *version) {
    content.replace('\r', QByteArray());
    const QStringList parts =
        latin1BeforeNul(content).split(QLatin1Char('\n'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() < 2) {
        *deviceName = QString::fromLatin1(kNoDeviceName);
        *version = QString::fromLatin1(kNoVersion);
        return;
    }
    *deviceName = parts.at(0);
    *version = parts.at(1);
}

QByteArray joinFgetsPieces(QByteArray raw) {
    // As fgets with a 1024-byte buffer hands it out: pieces that end after a line feed or
    // after 1023 bytes, each kept up to its first NUL byte.
    QByteArray joined;
    int at = 0;
    while (at < raw.size()) {
        int end = raw.indexOf('\n', at);
        end = end < 0 ? raw.size() : end + 1;
        end = qMin(end, at + 1023);
        joined.append(bytesBeforeNul(raw.mid(at, end - at)));
        at = end;
    }
    return joined;
}

QString getHardIdFrom(const char *command) {
    QByteArray output;
    if (!readCommandOutput(command, kHardIdTimeoutMs, kIdentityReadCap, &output)) {
        return QString::fromLatin1(kNoHardId);
    }
    return hardIdFromBlkid(joinFgetsPieces(output));
}

namespace {

// Only a regular file is read, only its first kIdentityReadCap bytes, and within
// kIdentityReadMs: a FIFO would block start-up for ever, a device such as /dev/zero would never
// end, and some regular files block on read (/proc/kmsg). False, with no bytes, when there is
// no such file this process may open.
bool readIdentityFile(const QString &path, QByteArray *content) {
    content->clear();
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || !info.isReadable()) {
        return false;
    }
    readFileBounded(QFile::encodeName(path).constData(), kIdentityReadMs, kIdentityReadCap,
                    content);
    return true;
}

} // namespace

QString getDeviceIdFrom(QString path) {
    // A file that cannot be read gives no bytes, and so the fallback.
    QByteArray content;
    readIdentityFile(path, &content);
    return deviceIdFromFile(content);
}

void initDeviceInfoFrom(ArgsStr *args, QString path) {
    QByteArray content;
    if (readIdentityFile(path, &content)) {
        deviceInfoFromFile(content, &args->deviceName, &args->version);
    }
    // No file to read: the record's texts stay as they are.
}

QString getHardId() {
    return getHardIdFrom(kHardIdCommand);
}

QString getDeviceId() {
    return getDeviceIdFrom(QString::fromLatin1(kDeviceIdPath));
}

void initDeviceInfo(ArgsStr *args) {
    initDeviceInfoFrom(args, QString::fromLatin1(kVersionPath));
}
