// Collects the agent's debug lines during a test, as Qt's default handler would print them.
#pragma once

#include <QStringList>
#include <QtGlobal>

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    void clear();

  private:
    QtMessageHandler previous_;
};
