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

// The same test on bytes: what QDebug prints as it is, between its quotes.
bool plainBytes(const QByteArray &bytes) {
    for (const char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
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

void appendNumberLine(QByteArray *out, const char (&label)[14], quint32 value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out->append(label, 13);
    while (n > 0) {
        out->append(digits[--n]);
    }
    out->append('\n');
}

// An address slice as the MAC codec writes it (empty unless it has all six bytes), between
// QDebug's quotes: the characters need no escape.
void appendMacLine(QByteArray *out, const char (&label)[14], const QByteArray &mac) {
    static const char kHex[] = "0123456789ABCDEF";
    char text[20];
    int n = 0;
    text[n++] = '"';
    if (mac.size() == wire::kAddressLen) {
        for (int i = 0; i < wire::kAddressLen; ++i) {
            const unsigned char byte = static_cast<unsigned char>(mac.at(i));
            if (i > 0) {
                text[n++] = ':';
            }
            text[n++] = kHex[byte >> 4];
            text[n++] = kHex[byte & 0x0F];
        }
    }
    text[n++] = '"';
    text[n++] = '\n';
    out->append(label, 13);
    out->append(text, n);
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
    // Plain text goes between the quotes as it is; anything else is quoted by QDebug, which
    // escapes every control character, but prints printable non-ASCII as it is.
    const bool plain = plainBytes(frame.textBytes);
    QByteArray quoted;
    if (!plain) {
        const QString text = debugQuoted(frame.text());
        if (!isAscii(text)) {
            return false;
        }
        quoted = text.toLatin1();
    }
    appendNumberLine(out, "capLen     : ", capLen);
    appendNumberLine(out, "len        : ", wireLen);
    appendMacLine(out, "mac src    : ", frame.src);
    appendMacLine(out, "mac dst    : ", frame.dst);
    out->append("data str   : ", 13);
    if (plain) {
        out->append('"');
        out->append(frame.textBytes);
        out->append('"');
    } else {
        out->append(quoted);
    }
    out->append('\n');
    return true;
}

void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame) {
    if (g_batching) {
        startPending();
        if (frameLogLines(capLen, wireLen, frame, &g_batch)) {
            if (++g_frames >= kLogPendingFrames || g_batch.size() >= kLogPendingBytes) {
                flushLog();
            }
            return;
        }
    }
    qDebug() << "capLen     :" << capLen;
    qDebug() << "len        :" << wireLen;
    qDebug() << "mac src    :" << macOrEmpty(frame.src);
    qDebug() << "mac dst    :" << macOrEmpty(frame.dst);
    qDebug() << "data str   :" << frame.text();
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
        // Written out at this size; reserved once, so that no frame pays for growing it.
        g_batch.reserve(kLogPendingBytes + 4 * 1024);
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
    g_batch.resize(0); // keeps what was reserved
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
