// Formatting the per-frame log lines, and the one buffer every log line waits in.
#include "framelog.h"

#include "text.h"
#include "wire.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The log's one instance. Qt's message handler is a plain function and the stop signal's
// handler can reach nothing but what is global, so this state is process-wide by nature; it is
// the only mutable state the capture path keeps outside the run's own objects.
struct AgentLog {
    bool directFrames = false; // the frames' lines formatted here (see startAgentLog)
    QByteArray pending;        // lines not yet written, from `written` on
    int written = 0;           // bytes at the front already written: a cut line goes on here
    int frames = 0;
    QElapsedTimer since; // when the oldest pending line came
    QtMessageHandler previous = nullptr;
    int fd = STDERR_FILENO;
    bool socket = false;  // standard error is a socket: sent with MSG_DONTWAIT
    bool stalled = false; // the reader took nothing at the last write
    qint64 dropped = 0;   // whole lines dropped since the log was last written through
};
AgentLog g_log;
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

int backlog() {
    return g_log.pending.size() - g_log.written;
}

// Whether `lines` more fit in the bounded buffer; otherwise they are counted as dropped, whole.
// Once lines are dropped, later ones are too until the buffer is written through, so that the
// line counting them stands where they were lost.
bool roomFor(int bytes, int lines) {
    if (g_log.dropped == 0 && backlog() + bytes <= kLogBacklogBytes) {
        return true;
    }
    g_log.dropped += lines;
    return false;
}

void startPending() {
    g_pending = 1;
    if (backlog() == 0) {
        g_log.since.start();
    }
}

void flushIfFull() {
    if (g_log.frames >= kLogPendingFrames || backlog() >= kLogPendingBytes) {
        flushLog();
    }
}

// Every other line joins the same buffer, so the log keeps its order without any call site
// flushing by hand. The text is what Qt's default handler would write for it.
void agentHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtFatalMsg) {
        flushLog();
        g_log.previous(type, context, message);
        return;
    }
    // The default handler prints the line with "%s".
    QByteArray line = bytesBeforeNul(qFormatLogMessage(type, context, message).toLocal8Bit());
    line.append('\n');
    if (!roomFor(line.size(), 1)) {
        return;
    }
    startPending();
    g_log.pending.append(line);
    flushIfFull();
}

// A pipe's own open file description, non-blocking, so that a reader that stops reading never
// blocks the agent. Standard error's description is shared (with a reset script, with the
// wrapper's logger) and keeps its flags. Anything else keeps standard error itself: a socket is
// sent to without waiting, a file or terminal is written as before.
void openLogDescriptor() {
    struct stat status;
    if (fstat(STDERR_FILENO, &status) != 0) {
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        g_log.socket = true;
    } else if (S_ISFIFO(status.st_mode)) {
        const int own = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (own >= 0) {
            g_log.fd = own;
        }
    }
}

// One write of what is pending without blocking: the bytes taken, 0 when the reader takes
// nothing now, -1 when the log cannot be written at all.
ssize_t writeSome(const char *data, size_t size) {
    for (;;) {
        const ssize_t n = g_log.socket ? send(g_log.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                       : write(g_log.fd, data, size);
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void onStopDeadline(int) {
    const int signal = g_stopSignal;
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void onStopSignal(int signal) {
    if (g_pending == 0) {
        // Nothing waits to be written: end at once, as the agent always did.
        std::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    // The loop writes what it can and ends; should it be held up (a reset script still
    // running), the agent ends by this signal a second later all the same.
    g_stopSignal = signal;
    alarm(kStopDeadlineSeconds);
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
    if (g_log.directFrames) {
        // A frame's lines are about 130 bytes, with a long text up to a frame's worth.
        if (!roomFor(frame.textBytes.size() * 4 + 160, 5)) {
            return;
        }
        startPending();
        if (frameLogLines(capLen, wireLen, frame, &g_log.pending)) {
            ++g_log.frames;
            flushIfFull();
            return;
        }
    }
    qDebug() << "capLen     :" << capLen;
    qDebug() << "len        :" << wireLen;
    qDebug() << "mac src    :" << macOrEmpty(frame.src);
    qDebug() << "mac dst    :" << macOrEmpty(frame.dst);
    qDebug() << "data str   :" << frame.text();
    ++g_log.frames;
}

bool startAgentLog() {
    // A message pattern or logging rules would change or drop what qDebug writes, so then the
    // frames' lines go through qDebug too; either way every line waits in the one buffer.
    g_log.directFrames = qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN") &&
                         QLoggingCategory::defaultCategory()->isDebugEnabled();
    openLogDescriptor();
    g_log.previous = qInstallMessageHandler(agentHandler);
    // Written out at this size; reserved once, so that no frame pays for growing it.
    g_log.pending.reserve(kLogPendingBytes + 4 * 1024);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = onStopDeadline;
    sigaction(SIGALRM, &action, nullptr);
    return g_log.directFrames;
}

int logDueInMs() {
    if (backlog() == 0 || g_log.stalled) {
        return -1; // a stalled log is written again when its reader takes more
    }
    return static_cast<int>(qMax<qint64>(0, kLogPendingMs - g_log.since.elapsed()));
}

void flushLog() {
    for (;;) {
        while (backlog() > 0) {
            const ssize_t n = writeSome(g_log.pending.constData() + g_log.written,
                                        static_cast<size_t>(backlog()));
            if (n == 0) {
                // Kept, the cut line included, for when the reader reads again.
                g_log.stalled = true;
                if (g_log.written >= kLogPendingBytes) {
                    g_log.pending.remove(0, g_log.written);
                    g_log.written = 0;
                }
                return;
            }
            if (n < 0) {
                // A log nobody can read loses its lines, as qDebug's would be lost.
                g_log.dropped = 0;
                break;
            }
            g_log.written += static_cast<int>(n);
        }
        g_log.pending.resize(0); // keeps what was reserved
        g_log.written = 0;
        g_log.frames = 0;
        g_log.stalled = false;
        if (g_log.dropped == 0) {
            break;
        }
        const qint64 dropped = g_log.dropped;
        g_log.dropped = 0;
        const QString text = QStringLiteral("the log was not read: %1 lines dropped").arg(dropped);
        g_log.pending.append(
            qFormatLogMessage(QtDebugMsg, QMessageLogContext(), debugQuoted(text)).toLocal8Bit());
        g_log.pending.append('\n');
    }
    g_pending = 0;
}

void flushLogIfDue() {
    if (logDueInMs() == 0) {
        flushLog();
    }
}

int logStalledFd() {
    return g_log.stalled ? g_log.fd : -1;
}

void resumeLog() {
    g_log.stalled = false;
    flushLog();
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
