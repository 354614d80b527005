// A keyed board's guard of its reset script: the challenges it gave out in its info replies, and
// the check that a reset request proves a key of the board and is fresh.
#pragma once

#include "keys.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <deque>

class ResetGuard {
  public:
    // How long a challenge stands, and how many stand at once (an info flood gives out more:
    // the oldest go first).
    static constexpr qint64 kChallengeLifeMs = 30000;
    static constexpr int kMaxChallenges = 1024;

    using Clock = qint64 (*)();
    explicit ResetGuard(QList<keys::Key> keys, Clock clock = nullptr);

    const QList<keys::Key> &keys() const {
        return keys_;
    }
    // A fresh challenge (hexadecimal), given out in an info reply.
    QString issue();
    // Why a reset request is refused, in the log's words; empty when it proves one of the keys
    // for this board and station, with a challenge given out and not yet taken back: that
    // challenge is then taken back, so the same request never runs the script twice.
    QString check(const QByteArray &requestText, const QString &tag, const QByteArray &boardMac,
                  const QByteArray &stationMac);

  private:
    void expire(qint64 now);

    QList<keys::Key> keys_;
    Clock clock_;
    QHash<QString, qint64> standing_; // challenge, when it was given out
    std::deque<QString> order_;       // oldest first
};
