// Message handler that records debug lines instead of printing them.
#include "logcapture.h"

namespace {
QStringList *g_lines = nullptr;

void record(QtMsgType, const QMessageLogContext &, const QString &message) {
    if (g_lines != nullptr) {
        g_lines->append(message);
    }
}
} // namespace

LogCapture::LogCapture() {
    g_lines = new QStringList;
    previous_ = qInstallMessageHandler(record);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previous_);
    delete g_lines;
    g_lines = nullptr;
}

QStringList LogCapture::lines() const {
    return *g_lines;
}

void LogCapture::clear() {
    g_lines->clear();
}
