// Formatting and batching the per-frame log lines.
#include "framelog.h"

#include "protocol.h"

#include <QDebug>
#include <QLoggingCategory>

#include <cerrno>
#include <unistd.h>

namespace {

bool g_batching = false;
QByteArray g_batch;
// A flood keeps a dispatch batch going; past this the lines leave without waiting for its end.
constexpr int kBatchFlushBytes = 64 * 1024;

bool plainAscii(const QString &value) {
    for (const QChar c : value) {
        const ushort u = c.unicode();
        if (u < 0x20 || u > 0x7E || u == '"' || u == '\\') {
            return false;
        }
    }
    return true;
}

bool isAscii(const QString &text) {
    for (const QChar c : text) {
        if (c.unicode() > 0x7F) {
            return false;
        }
    }
    return true;
}

void appendNumberLine(QByteArray *out, const char *label, quint32 value) {
    out->append(label);
    out->append(' ');
    out->append(QByteArray::number(value));
    out->append('\n');
}

void appendQuotedLine(QByteArray *out, const char *label, const QString &quoted) {
    out->append(label);
    out->append(' ');
    out->append(quoted.toLatin1()); // ASCII, checked by the caller
    out->append('\n');
}

} // namespace

QString debugQuoted(const QString &value) {
    if (plainAscii(value)) {
        return QLatin1Char('"') + value + QLatin1Char('"');
    }
    QString quoted;
    QDebug(&quoted).nospace() << value;
    return quoted;
}

bool frameLogLines(quint32 capLen, quint32 wireLen, const ServiceFrame &frame, QByteArray *out) {
    // QDebug escapes every control character, but prints printable non-ASCII as it is.
    const QString text = debugQuoted(frame.text);
    if (!isAscii(text)) {
        return false;
    }
    appendNumberLine(out, "capLen     :", capLen);
    appendNumberLine(out, "len        :", wireLen);
    appendQuotedLine(out, "mac src    :", debugQuoted(macBytes2String(frame.src)));
    appendQuotedLine(out, "mac dst    :", debugQuoted(macBytes2String(frame.dst)));
    appendQuotedLine(out, "data str   :", text);
    return true;
}

void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame) {
    if (g_batching && frameLogLines(capLen, wireLen, frame, &g_batch)) {
        if (g_batch.size() >= kBatchFlushBytes) {
            flushFrameLog();
        }
        return;
    }
    flushFrameLog();
    qDebug() << "capLen     :" << capLen;
    qDebug() << "len        :" << wireLen;
    qDebug() << "mac src    :" << macBytes2String(frame.src);
    qDebug() << "mac dst    :" << macBytes2String(frame.dst);
    qDebug() << "data str   :" << frame.text;
}

bool enableBatchedFrameLog() {
    // A message pattern or logging rules would change or drop what qDebug writes.
    g_batching = qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN") &&
                 QLoggingCategory::defaultCategory()->isDebugEnabled();
    return g_batching;
}

void disableBatchedFrameLog() {
    flushFrameLog();
    g_batching = false;
}

void flushFrameLog() {
    const char *data = g_batch.constData();
    qint64 left = g_batch.size();
    while (left > 0) {
        const ssize_t n = write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // a log nobody reads loses its lines, as qDebug's would be lost
        }
        data += n;
        left -= n;
    }
    g_batch.clear();
}
