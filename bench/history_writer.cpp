// One station's history writer for bench/history-scale.sh: its boards, answering every round,
// written to a shared history as watch writes them, each round timed.
//   history_writer URL STATION BOARDS INTERVAL_MS SECONDS OUT
// OUT gets one line per round: the milliseconds record() took.
#include "history.h"
#include "station.h"
#include "wire.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <cstdio>

namespace {

BoardInfo board(int station, int n, int version) {
    BoardInfo b;
    b.device = QStringLiteral("BOARD-%1-%2").arg(station).arg(n);
    b.version = QStringLiteral("1.%1").arg(version);
    b.product = QStringLiteral("PX%1").arg(n % 7);
    b.hardId = QStringLiteral("%1%2")
                   .arg(station, 4, 10, QLatin1Char('0'))
                   .arg(n, 6, 10, QLatin1Char('0'));
    b.ipAddresses =
        QStringList{QStringLiteral("10.%1.%2.%3").arg(station).arg(n / 250).arg(n % 250 + 1)};
    b.mac = wire::macFromText(QStringLiteral("02:%1:00:00:%2:%3")
                                  .arg(station, 2, 16, QLatin1Char('0'))
                                  .arg(n / 256, 2, 16, QLatin1Char('0'))
                                  .arg(n % 256, 2, 16, QLatin1Char('0')));
    b.reply = (b.device + QLatin1Char('|') + b.version).toLatin1();
    return b;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 7) {
        fprintf(stderr, "usage: history_writer URL STATION BOARDS INTERVAL_MS SECONDS OUT\n");
        return 2;
    }
    const int station = a[2].toInt();
    const int boards = a[3].toInt();
    const int intervalMs = a[4].toInt();
    const qint64 untilMs = a[5].toLongLong() * 1000;
    HistoryStore store;
    store.setStation(QStringLiteral("line-%1").arg(station));
    QString error;
    if (!store.open(a[1], &error) ||
        !store.beginSession(QStringLiteral("watch"), QStringLiteral("eth1"), &error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    QFile out(a[6]);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return 1;
    }
    // A line's life: now and then a board is updated (changed), swapped for another (gone,
    // added); about one change every five rounds.
    QRandomGenerator random{quint32(station)};
    QVector<int> versions(boards, 0);
    QVector<int> ids(boards);
    for (int n = 0; n < boards; ++n) {
        ids[n] = n;
    }
    int nextId = boards;
    WatchState state;
    QElapsedTimer clock;
    clock.start();
    int failed = 0;
    for (qint64 next = 0; next < untilMs; next += intervalMs) {
        const qint64 wait = next - clock.elapsed();
        if (wait > 0) {
            QThread::msleep(quint64(wait));
        }
        QList<BoardInfo> answered;
        for (int n = 0; n < boards; ++n) {
            const quint32 roll = random.bounded(10000u);
            if (roll < 15) {
                ++versions[n];
            } else if (roll < 20) {
                ids[n] = nextId++;
            }
            answered.append(board(station, ids[n], versions[n]));
        }
        const QList<WatchEvent> events = watchRound(&state, answered);
        QElapsedTimer took;
        took.start();
        const bool ok = store.record(answered, events, QDateTime::currentDateTimeUtc(), &error);
        out.write(QByteArray::number(double(took.nsecsElapsed()) / 1e6, 'f', 3) + '\n');
        if (!ok) {
            ++failed;
            fprintf(stderr, "%s\n", qPrintable(error));
        }
    }
    store.endSession();
    return failed == 0 ? 0 : 1;
}
