// The agent's log. Every line goes through Qt's debug logger to standard error. Streamed
// through QDebug and written one by one, the five lines of a frame cost more than the rest of
// the frame; so they are formatted directly, with QDebug's own quoting wherever a value needs
// escapes, and every line, the frames' and the others', waits in one buffer, in its order,
// until 64 frames are pending, 10 ms have passed, or the agent is about to block or end. The
// bytes are the ones Qt's default message handler writes. Writing never blocks: lines a stalled
// reader does not take wait, within a bound, and past it are dropped whole and counted.
#pragma once

#include "decide.h"

#include <QByteArray>
#include <QString>

// What may be pending at most, and so what a SIGKILL can lose.
constexpr int kLogPendingFrames = 64;
constexpr int kLogPendingMs = 10;
constexpr int kLogPendingBytes = 64 * 1024;
// What waits for a reader that does not read: about 8000 frames' lines. Past it lines are
// dropped whole, and one line says how many once the reader takes the log again.
constexpr int kLogBacklogBytes = 1024 * 1024;
// A stop signal ends the agent this long after it came at the latest, written or not.
constexpr unsigned kStopDeadlineSeconds = 1;

// The value as QDebug prints a QString: between double quotes, with its escapes.
QString debugQuoted(const QString &value);

// The five lines, each ended by "\n", exactly as qDebug() streaming writes them; false when
// one is not plain ASCII, whose bytes then depend on the locale's codec and must go through
// qDebug itself.
bool frameLogLines(quint32 capLen, quint32 wireLen, const ServiceFrame &frame, QByteArray *out);

// Installs the log's message handler. The frames' lines are formatted here only where they
// would reach standard error unchanged: Qt's default pattern, debug output enabled; otherwise
// they go through qDebug. Also makes SIGTERM and SIGINT write what is pending, without
// waiting for a reader, before they end the agent as before. Returns whether the frames' lines
// are formatted here.
bool startAgentLog();

// Logs the five lines of one frame.
void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame);

// Milliseconds until the pending lines are due; -1 when nothing is pending, or the reader is
// stalled (then logStalledFd() says when to write).
int logDueInMs();
// Writes the pending lines: before anything that blocks, and when they are due.
void flushLog();
void flushLogIfDue();
// While the reader takes nothing: the descriptor to wait on for room (POLLOUT); -1 otherwise.
int logStalledFd();
// There is room again: writes what waits.
void resumeLog();

// Called before frames are handled: a stop signal that comes between a frame's reply and its
// lines then waits for the lines.
void expectLogLines();

// Ends the agent by the stop signal it got, if one came, once the pending lines are written.
void honourStopRequest();
