// The agent's log. Every line goes through Qt's debug logger to standard error. Streamed
// through QDebug and written one by one, the five lines of a frame cost more than the rest of
// the frame; so they are formatted directly, with QDebug's own quoting wherever a value needs
// escapes, and every line, the frames' and the others', waits in one buffer, in its order,
// until 64 frames are pending, 10 ms have passed, or the agent is about to block or end. The
// bytes are the ones Qt's default message handler writes.
#pragma once

#include "decide.h"

#include <QByteArray>
#include <QString>

// What may be pending at most, and so what a SIGKILL can lose.
constexpr int kLogPendingFrames = 64;
constexpr int kLogPendingMs = 10;
constexpr int kLogPendingBytes = 64 * 1024;

// The value as QDebug prints a QString: between double quotes, with its escapes.
QString debugQuoted(const QString &value);

// The five lines, each ended by "\n", exactly as qDebug() streaming writes them; false when
// one is not plain ASCII, whose bytes then depend on the locale's codec and must go through
// qDebug itself.
bool frameLogLines(quint32 capLen, quint32 wireLen, const ServiceFrame &frame, QByteArray *out);

// Batching is used only where the lines would reach standard error unchanged: Qt's default
// handler and pattern, debug output enabled. Also makes SIGTERM and SIGINT write what is
// pending before they end the agent as before. Returns whether batching is on.
bool startAgentLog();

// Logs the five lines of one frame.
void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame);

// Milliseconds until the pending lines are due; -1 when nothing is pending.
int logDueInMs();
// Writes the pending lines: before anything that blocks, and when they are due.
void flushLog();
void flushLogIfDue();

// Called before frames are handled: a stop signal that comes between a frame's reply and its
// lines then waits for the lines.
void expectLogLines();

// Ends the agent by the stop signal it got, if one came, once the pending lines are written.
void honourStopRequest();
