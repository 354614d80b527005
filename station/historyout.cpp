// How the history is shown: the boards with when they were first and last seen, or the changes
// one per row; as tables or JSON.
#include "history.h"

#include "wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString shownTime(const QDateTime &t) {
    return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString jsonTime(const QDateTime &t) {
    const QDateTime local = t.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

// Rows from more than one station name it with the interface ("line-1/eth1"); from one
// station, the interface alone is as it always was.
template <typename Row> bool manyStations(const QList<Row> &rows) {
    for (const Row &r : rows) {
        if (r.station != rows.first().station) {
            return true;
        }
    }
    return false;
}

QString where(bool withStation, const QString &station, const QString &interface) {
    return withStation ? printableText(station) + QLatin1Char('/') + printableText(interface)
                       : printableText(interface);
}

QString whereHeading(bool withStation) {
    return withStation ? QStringLiteral("STATION/INTERFACE") : QStringLiteral("INTERFACE");
}

} // namespace

QString historyBoardsTable(const QList<HistoryBoard> &boards, int width) {
    const bool stations = manyStations(boards);
    QList<QStringList> rows{{whereHeading(stations), QStringLiteral("DEVICE"),
                             QStringLiteral("VERSION"), QStringLiteral("PRODUCT"),
                             QStringLiteral("HARDID"), QStringLiteral("IPV4"),
                             QStringLiteral("MAC"), QStringLiteral("FIRST SEEN"),
                             QStringLiteral("LAST SEEN"), QStringLiteral("STATE")}};
    for (const HistoryBoard &h : boards) {
        const BoardInfo &b = h.board;
        rows.append({where(stations, h.station, h.interface), shownValue(b.device),
                     shownValue(b.version), shownValue(b.product), shownValue(b.hardId),
                     shownValue(b.ipAddresses.join(QLatin1Char(' '))), boardAddressText(b),
                     shownTime(h.firstSeen), shownTime(h.lastSeen),
                     h.present ? QStringLiteral("present") : QStringLiteral("gone")});
    }
    return textTable(rows, {1, 2, 3, 4, 5}, width);
}

QByteArray historyBoardsJson(const QList<HistoryBoard> &boards) {
    QJsonArray array;
    for (const HistoryBoard &h : boards) {
        QJsonObject o = boardJson(h.board);
        o.remove(QStringLiteral("replyMs"));
        o.insert(QStringLiteral("station"), h.station);
        o.insert(QStringLiteral("interface"), h.interface);
        o.insert(QStringLiteral("firstSeen"), jsonTime(h.firstSeen));
        o.insert(QStringLiteral("lastSeen"), jsonTime(h.lastSeen));
        o.insert(QStringLiteral("state"),
                 h.present ? QStringLiteral("present") : QStringLiteral("gone"));
        array.append(o);
    }
    return escapeJsonControls(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

QString historyChangesTable(const QList<HistoryChange> &changes, int width) {
    const bool stations = manyStations(changes);
    QList<QStringList> rows{
        {QStringLiteral("TIME"), whereHeading(stations), QStringLiteral("EVENT"),
         QStringLiteral("DEVICE"), QStringLiteral("PRODUCT"), QStringLiteral("HARDID"),
         QStringLiteral("MAC"), QStringLiteral("BY"), QStringLiteral("CHANGE")}};
    for (const HistoryChange &c : changes) {
        QStringList detail;
        for (const QString &field : c.fields) {
            detail.append(fieldChangeText(field, c.was, c.board));
        }
        if (c.event == QLatin1String("reset")) {
            detail.append(printableText(c.outcome));
        }
        QString by = shownValue(c.program);
        if (!c.user.isEmpty()) {
            by +=
                QLatin1Char(' ') + printableText(c.user) + QLatin1Char('@') + printableText(c.host);
        }
        rows.append({shownTime(c.at), where(stations, c.station, c.interface), c.event,
                     shownValue(c.board.device), shownValue(c.board.product),
                     shownValue(c.board.hardId), boardAddressText(c.board), by,
                     detail.join(QStringLiteral("; "))});
    }
    // The board's own texts are what a narrow terminal cuts.
    return textTable(rows, {3, 4, 5, 7, 8}, width);
}

QByteArray historyChangesJson(const QList<HistoryChange> &changes) {
    QJsonArray array;
    for (const HistoryChange &c : changes) {
        QJsonObject o;
        o.insert(QStringLiteral("time"), jsonTime(c.at));
        o.insert(QStringLiteral("station"), c.station);
        o.insert(QStringLiteral("interface"), c.interface);
        o.insert(QStringLiteral("event"), c.event);
        o.insert(QStringLiteral("program"), c.program);
        if (!c.user.isEmpty()) {
            o.insert(QStringLiteral("user"), c.user);
            o.insert(QStringLiteral("host"), c.host);
        }
        QJsonObject board = boardJson(c.board);
        board.remove(QStringLiteral("replyMs"));
        o.insert(QStringLiteral("board"), board);
        if (c.event == QLatin1String("changed")) {
            QJsonObject was = boardJson(c.was);
            was.remove(QStringLiteral("replyMs"));
            o.insert(QStringLiteral("was"), was);
            o.insert(QStringLiteral("fields"), QJsonArray::fromStringList(c.fields));
        }
        if (c.event == QLatin1String("reset")) {
            o.insert(QStringLiteral("outcome"), c.outcome);
            o.insert(QStringLiteral("ended"),
                     c.ended.isValid() ? QJsonValue(jsonTime(c.ended)) : QJsonValue());
        }
        array.append(o);
    }
    return escapeJsonControls(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

QString historyStatsText(const HistoryStats &stats) {
    QString text = QStringLiteral("history %1: %2 KiB\n")
                       .arg(printableText(stats.path))
                       .arg((stats.bytes + 1023) / 1024);
    const bool stations = manyStations(stats.interfaces);
    QList<QStringList> rows{{whereHeading(stations), QStringLiteral("BOARDS"),
                             QStringLiteral("CHANGES"), QStringLiteral("RESETS"),
                             QStringLiteral("OLDEST"), QStringLiteral("NEWEST")}};
    for (const HistoryStats::Interface &i : stats.interfaces) {
        rows.append({where(stations, i.station, i.name), QString::number(i.boards),
                     QString::number(i.changes), QString::number(i.resets), shownTime(i.oldest),
                     shownTime(i.newest)});
    }
    if (!stats.interfaces.isEmpty()) {
        text += textTable(rows, {});
    }
    return text + QStringLiteral("kept: %1 days, and the newest %2 boards and %3 changes and "
                                 "resets of each station's interface (L2STATION_HISTORY_DAYS, "
                                 "L2STATION_HISTORY_BOARDS, L2STATION_HISTORY_CHANGES)\n")
                      .arg(stats.retention.days)
                      .arg(stats.retention.boards)
                      .arg(stats.retention.changes);
}

QByteArray historyStatsJson(const HistoryStats &stats) {
    QJsonObject o;
    o.insert(QStringLiteral("path"), stats.path);
    o.insert(QStringLiteral("bytes"), double(stats.bytes));
    QJsonArray interfaces;
    for (const HistoryStats::Interface &i : stats.interfaces) {
        QJsonObject row;
        row.insert(QStringLiteral("station"), i.station);
        row.insert(QStringLiteral("interface"), i.name);
        row.insert(QStringLiteral("boards"), i.boards);
        row.insert(QStringLiteral("changes"), i.changes);
        row.insert(QStringLiteral("resets"), i.resets);
        row.insert(QStringLiteral("oldest"), jsonTime(i.oldest));
        row.insert(QStringLiteral("newest"), jsonTime(i.newest));
        interfaces.append(row);
    }
    o.insert(QStringLiteral("interfaces"), interfaces);
    QJsonObject kept;
    kept.insert(QStringLiteral("days"), stats.retention.days);
    kept.insert(QStringLiteral("boards"), stats.retention.boards);
    kept.insert(QStringLiteral("changes"), stats.retention.changes);
    o.insert(QStringLiteral("retention"), kept);
    return escapeJsonControls(QJsonDocument(o).toJson(QJsonDocument::Indented));
}
