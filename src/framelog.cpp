// Formatting the per-frame log lines, and the one buffer every log line waits in.
#include "framelog.h"

#include "wire.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace {

bool g_batching = false;
QByteArray g_batch;
int g_frames = 0;
QElapsedTimer g_since; // when the oldest pending line came
QtMessageHandler g_previous = nullptr;
// For the signal handler: set before a line is added, cleared once the buffer is written.
volatile sig_atomic_t g_pending = 0;
volatile sig_atomic_t g_stopSignal = 0;

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

// An address slice as the MAC codec shows it: empty unless it has all six bytes.
QString macOrEmpty(const QByteArray &slice) {
    return slice.size() == wire::kAddressLen ? wire::macText(slice) : QString();
}

void startPending() {
    g_pending = 1;
    if (g_batch.isEmpty()) {
        g_since.start();
    }
}

void appendLines(const QByteArray &lines, int frames) {
    startPending();
    g_batch.append(lines);
    g_frames += frames;
    if (g_frames >= kLogPendingFrames || g_batch.size() >= kLogPendingBytes) {
        flushLog();
    }
}

// Every other line joins the same buffer, so the log keeps its order without any call site
// flushing by hand. The text is what Qt's default handler would write for it.
void batchingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtFatalMsg) {
        flushLog();
        g_previous(type, context, message);
        return;
    }
    QByteArray line = qFormatLogMessage(type, context, message).toLocal8Bit();
    const int nul = line.indexOf('\0'); // the default handler prints it with "%s"
    if (nul >= 0) {
        line.truncate(nul);
    }
    appendLines(line + '\n', 0);
}

void onStopSignal(int signal) {
    if (g_pending == 0) {
        // Nothing waits to be written: end at once, as the agent always did.
        std::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    g_stopSignal = signal;
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
    appendQuotedLine(out, "mac src    :", debugQuoted(macOrEmpty(frame.src)));
    appendQuotedLine(out, "mac dst    :", debugQuoted(macOrEmpty(frame.dst)));
    appendQuotedLine(out, "data str   :", text);
    return true;
}

void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame) {
    if (g_batching) {
        QByteArray lines;
        lines.reserve(160);
        if (frameLogLines(capLen, wireLen, frame, &lines)) {
            appendLines(lines, 1);
            return;
        }
    }
    qDebug() << "capLen     :" << capLen;
    qDebug() << "len        :" << wireLen;
    qDebug() << "mac src    :" << macOrEmpty(frame.src);
    qDebug() << "mac dst    :" << macOrEmpty(frame.dst);
    qDebug() << "data str   :" << frame.text;
    if (g_batching) {
        g_frames += 1;
    }
}

bool startAgentLog() {
    // A message pattern or logging rules would change or drop what qDebug writes.
    g_batching = qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN") &&
                 QLoggingCategory::defaultCategory()->isDebugEnabled();
    if (g_batching) {
        g_previous = qInstallMessageHandler(batchingHandler);
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return g_batching;
}

int logDueInMs() {
    if (g_batch.isEmpty()) {
        return -1;
    }
    return static_cast<int>(qMax<qint64>(0, kLogPendingMs - g_since.elapsed()));
}

void flushLog() {
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
    g_frames = 0;
    g_pending = 0;
}

void flushLogIfDue() {
    if (logDueInMs() == 0) {
        flushLog();
    }
}

void expectLogLines() {
    g_pending = 1;
}

void honourStopRequest() {
    const int signal = g_stopSignal;
    if (signal == 0) {
        return;
    }
    flushLog();
    std::signal(signal, SIG_DFL);
    raise(signal);
}
