// Reads the board's identity sources and parses them into the four identity texts.
#include "identity.h"

#include "args_str.h"

#include <QFile>
#include <QStringList>

#include <cstdio>
#include <cstring>

const char *const kHardIdCommand = "blkid /dev/mmcblk0";
const char *const kDeviceIdPath = "/App/cfg/ID.txt";
const char *const kVersionPath = "/App/bin/version";

const char *const kNoHardId = "00000000-0000-0000-0000-000000000000";
const char *const kNoDeviceId = "Error";
const char *const kNoDeviceName = "DOREVIVIZ";
const char *const kNoVersion = "0.0.0.0";

QString hardIdFromBlkid(QByteArray output) {
    // QString::fromUtf8(QByteArray) stops at the first NUL byte.
    const QString text = QString::fromUtf8(output);
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

QString deviceIdFromFile(QByteArray content) {
    const QString id = QString::fromUtf8(content.trimmed());
    return id.isEmpty() ? QString::fromLatin1(kNoDeviceId) : id;
}

void deviceInfoFromFile(QByteArray content, QString *deviceName, QString *version) {
    content.replace('\r', QByteArray());
    const QStringList parts = QString::fromLatin1(content).split(
        QLatin1Char('\n'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() < 2) {
        *deviceName = QString::fromLatin1(kNoDeviceName);
        *version = QString::fromLatin1(kNoVersion);
        return;
    }
    *deviceName = parts.at(0);
    *version = parts.at(1);
}

QString getHardIdFrom(const char *command) {
    FILE *stream = popen(command, "r");
    if (stream == nullptr) {
        return QString::fromLatin1(kNoHardId);
    }
    // fgets hands out at most 1023 bytes at a time; a longer line arrives in pieces.
    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    QByteArray output;
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        output.append(buffer, static_cast<int>(std::strlen(buffer)));
    }
    pclose(stream);
    return hardIdFromBlkid(output);
}

QString getDeviceIdFrom(QString path) {
    QByteArray content;
    if (QFile::exists(path)) {
        QFile file(path);
        // A file that cannot be opened reads as no bytes and so gives the fallback.
        file.open(QIODevice::ReadOnly);
        content = file.readAll();
        file.close();
    }
    return deviceIdFromFile(content);
}

void initDeviceInfoFrom(ArgsStr *args, QString path) {
    if (!QFile::exists(path)) {
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return;
    }
    deviceInfoFromFile(file.readAll(), &args->deviceName, &args->version);
    file.close();
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
