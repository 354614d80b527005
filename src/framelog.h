// The five log lines of every captured frame. Streamed through QDebug and written one by one
// they cost more than the rest of the frame; so they are formatted directly, with QDebug's own
// quoting wherever a value needs escapes, and a dispatch batch's lines leave in one write
// after its replies. The bytes are the ones Qt's default message handler writes.
#pragma once

#include "decide.h"

#include <QByteArray>
#include <QString>

// The value as QDebug prints a QString: between double quotes, with its escapes.
QString debugQuoted(const QString &value);

// The five lines, each ended by "\n", exactly as qDebug() streaming writes them; false when
// one is not plain ASCII, whose bytes then depend on the locale's codec and must go through
// qDebug itself.
bool frameLogLines(quint32 capLen, quint32 wireLen, const ServiceFrame &frame, QByteArray *out);

// Logs the five lines of one frame: batched when batching is on and the lines are ASCII,
// otherwise through qDebug after whatever the batch holds.
void logFrame(quint32 capLen, quint32 wireLen, const ServiceFrame &frame);

// Batching is used only where the lines would reach standard error unchanged: Qt's default
// handler and pattern, debug output enabled. Returns whether it is on.
bool enableBatchedFrameLog();
void disableBatchedFrameLog();
// Writes what the batch holds to standard error; call it before any other log line and
// before the capture sleeps.
void flushFrameLog();
