// Boards as the station sees them, for the unit tests of the station's history and window:
// board n is BOARD-n, PXn, HardId 0000000n, 192.0.2.(10+n), at 02:00:00:00:00:nn (or at the
// shared address), its reply text made of its device and version.
#pragma once

#include "station.h"
#include "wire.h"

#include <QDateTime>

inline BoardInfo stationBoard(int n, const QString &version = QStringLiteral("1.0"),
                              bool shared = false) {
    BoardInfo b;
    b.device = QStringLiteral("BOARD-%1").arg(n);
    b.version = version;
    b.product = QStringLiteral("PX%1").arg(n);
    b.hardId = QStringLiteral("0000000%1").arg(n);
    b.ipAddresses = QStringList{QStringLiteral("192.0.2.%1").arg(10 + n)};
    if (!shared) {
        b.mac =
            wire::macFromText(QStringLiteral("02:00:00:00:00:%1").arg(n, 2, 10, QLatin1Char('0')));
    }
    b.reply = (b.device + QLatin1Char('|') + b.version).toLatin1();
    return b;
}

// A fixed moment, and seconds from it: rounds at known times.
inline QDateTime momentAfter(int seconds) {
    return QDateTime(QDate(2026, 12, 1), QTime(8, 0), Qt::UTC).addSecs(seconds);
}
