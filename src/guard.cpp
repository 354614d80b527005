// The challenges and the reset check.
#include "guard.h"

#include <sys/random.h>
#include <time.h>

namespace {

qint64 monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

ResetGuard::ResetGuard(QList<keys::Key> keys, Clock clock)
    : keys_(std::move(keys)), clock_(clock != nullptr ? clock : monotonicMs) {}

void ResetGuard::expire(qint64 now) {
    while (!order_.empty() && (int(order_.size()) > kMaxChallenges ||
                               now - standing_.value(order_.front(), now) > kChallengeLifeMs ||
                               !standing_.contains(order_.front()))) {
        standing_.remove(order_.front());
        order_.pop_front();
    }
}

QString ResetGuard::issue() {
    QByteArray bytes(keys::kChallengeLen, '\0');
    if (getrandom(bytes.data(), size_t(bytes.size()), 0) != ssize_t(bytes.size())) {
        return QString(); // no challenge: no reset can be proven with this reply
    }
    const QString challenge = QString::fromLatin1(bytes.toHex());
    const qint64 now = clock_();
    standing_.insert(challenge, now);
    order_.push_back(challenge);
    expire(now);
    return challenge;
}

QString ResetGuard::check(const QByteArray &requestText, const QString &tag,
                          const QByteArray &boardMac, const QByteArray &stationMac) {
    const keys::ResetAuth auth = keys::resetAuth(requestText);
    if (!auth.present()) {
        return QStringLiteral("no key");
    }
    const keys::Key *key = keys::findKey(keys_, auth.keyId);
    if (key == nullptr) {
        return QStringLiteral("unknown key id");
    }
    const QByteArray expected =
        keys::proof(key->secret, keys::Purpose::Reset,
                    {boardMac, stationMac, auth.challenge.toLatin1(), tag.toLatin1()});
    if (!keys::sameProof(expected, auth.proof)) {
        return QStringLiteral("bad proof");
    }
    expire(clock_());
    // A proof made for a challenge that this run did not give out, or took back after its
    // one use or its time: a recording sent again.
    if (!standing_.remove(auth.challenge)) {
        return QStringLiteral("replayed");
    }
    return QString();
}
