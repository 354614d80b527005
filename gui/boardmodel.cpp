// The window's table: rows follow watch's changes by the station's own board keys; cells show
// texts as the command line does (escaped, "-" for empty), and the exports write them so.
#include "boardmodel.h"
#include "stablesort.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPalette>

#include <algorithm>
#include <functional>

namespace {

QString shownTime(const QDateTime &t) {
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                       : QString();
}

QString isoTime(const QDateTime &t) {
    if (!t.isValid()) {
        return QString();
    }
    const QDateTime local = t.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

const char *const kHeadings[] = {"Device",   "Version",    "Product",   "HardId", "Address", "IPv4",
                                 "Reply ms", "First seen", "Last seen", "State",  "Reset"};

// The rows to write: `rows`, or every row.
QList<int> rowsOf(const QAbstractItemModel &model, const QList<int> &rows) {
    if (!rows.isEmpty()) {
        return rows;
    }
    QList<int> all;
    for (int r = 0; r < model.rowCount(); ++r) {
        all.append(r);
    }
    return all;
}

// A state's colour over the palette's own: a tint of the base, so that the palette's text stays
// readable on it in a light and a dark theme alike.
QColor tinted(const QColor &tint, double share) {
    const QColor base = QGuiApplication::palette().color(QPalette::Base);
    return QColor::fromRgbF(base.redF() + (tint.redF() - base.redF()) * share,
                            base.greenF() + (tint.greenF() - base.greenF()) * share,
                            base.blueF() + (tint.blueF() - base.blueF()) * share);
}

// =, +, - and @ start a formula in a spreadsheet, wherever the cell is pasted or imported: a
// board's text must stay text.
QString defusedCell(QString text) {
    if (!text.isEmpty() && QStringLiteral("=+-@").contains(text.at(0)) &&
        text != QLatin1String("-")) {
        text.prepend(QLatin1Char('\''));
    }
    return text;
}

QString csvCell(QString text) {
    text = defusedCell(text);
    if (text.contains(QLatin1Char('"')) || text.contains(QLatin1Char(',')) ||
        text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

} // namespace

QString stateText(WindowBoard::State state) {
    switch (state) {
    case WindowBoard::Missing:
        return QStringLiteral("missing");
    case WindowBoard::Present:
        return QStringLiteral("present");
    case WindowBoard::Changed:
        return QStringLiteral("changed");
    case WindowBoard::Gone:
        return QStringLiteral("gone");
    }
    return QString();
}

QString boardLogName(const BoardInfo &b) {
    return QStringLiteral("%1 %2 %3 (%4)")
        .arg(shownValue(b.device), shownValue(b.product), shownValue(b.hardId),
             boardAddressText(b));
}

QString stateCellText(const WindowBoard &b) {
    switch (b.state) {
    case WindowBoard::Changed:
        return stateText(b.state) + QStringLiteral(": ") + b.changed.join(QStringLiteral(", "));
    case WindowBoard::Missing:
        return QStringLiteral("missing since ") + shownTime(b.lastSeen);
    case WindowBoard::Present:
    case WindowBoard::Gone:
        break;
    }
    return stateText(b.state);
}

void BoardTableModel::reset(const QList<HistoryBoard> &lastLook) {
    beginResetModel();
    rows_.clear();
    index_.clear();
    for (const HistoryBoard &h : lastLook) {
        WindowBoard b;
        b.board = h.board;
        b.firstSeen = h.firstSeen;
        b.lastSeen = h.lastSeen;
        b.state = h.present ? WindowBoard::Missing : WindowBoard::Gone;
        index_.insert(boardKey(b.board), rows_.size());
        rows_.append(b);
    }
    endResetModel();
}

int BoardTableModel::add(const WindowBoard &board) {
    const int row = rows_.size();
    beginInsertRows(QModelIndex(), row, row);
    index_.insert(boardKey(board.board), row);
    rows_.append(board);
    endInsertRows();
    return row;
}

void BoardTableModel::rekey(const QString &from, const QString &to) {
    const int row = index_.take(from);
    index_.insert(to, row);
}

int BoardTableModel::prune() {
    if (rows_.size() <= kMaxWatchedBoards) {
        return 0;
    }
    QList<int> gone;
    for (int r = 0; r < rows_.size(); ++r) {
        if (rows_.at(r).state == WindowBoard::Gone) {
            gone.append(r);
        }
    }
    stableSort(&gone, [&](int a, int b) { return rows_.at(a).lastSeen < rows_.at(b).lastSeen; });
    gone = gone.mid(0, rows_.size() - kMaxWatchedBoards);
    std::sort(gone.begin(), gone.end(), std::greater<int>());
    for (int r : gone) {
        beginRemoveRows(QModelIndex(), r, r);
        rows_.removeAt(r);
        endRemoveRows();
    }
    index_.clear();
    for (int r = 0; r < rows_.size(); ++r) {
        index_.insert(boardKey(rows_.at(r).board), r);
    }
    return gone.size();
}

int BoardTableModel::applyRound(const RoundReport &report) {
    for (const WatchEvent &e : report.events) {
        const QString key = boardKey(e.board);
        int row = index_.value(key, -1);
        switch (e.kind) {
        case WatchEvent::Added:
            if (row < 0) {
                WindowBoard b;
                b.board = e.board;
                b.firstSeen = report.firstSeen.value(key, report.at);
                b.lastSeen = report.at;
                add(b);
            } else {
                // Back: a change seen earlier in this session stays marked.
                WindowBoard &b = rows_[row];
                b.board = e.board;
                b.state = b.changed.isEmpty() ? WindowBoard::Present : WindowBoard::Changed;
            }
            break;
        case WatchEvent::Changed: {
            const QString former = boardKey(e.before);
            if (row < 0 && index_.contains(former)) {
                rekey(former, key);
                row = index_.value(key);
            }
            if (row < 0) {
                WindowBoard b;
                b.board = e.board;
                b.firstSeen = report.firstSeen.value(key, report.at);
                row = add(b);
            }
            WindowBoard &b = rows_[row];
            if (b.changed.isEmpty()) {
                b.before = e.before;
            }
            for (const QString &field : changedFields(e.before, e.board)) {
                if (!b.changed.contains(field)) {
                    b.changed.append(field);
                }
            }
            b.board = e.board;
            b.state = WindowBoard::Changed;
            break;
        }
        case WatchEvent::Gone:
            // A board not heard in this session stays missing since its last look.
            if (row >= 0 && rows_[row].state != WindowBoard::Missing) {
                rows_[row].state = WindowBoard::Gone;
            }
            break;
        }
    }
    for (const BoardInfo &answered : report.answered) {
        const int row = index_.value(boardKey(answered), -1);
        if (row < 0) {
            continue;
        }
        WindowBoard &b = rows_[row];
        b.board = answered;
        b.lastSeen = report.at;
        if (report.firstSeen.contains(boardKey(answered))) {
            b.firstSeen = report.firstSeen.value(boardKey(answered));
        }
        if (b.state == WindowBoard::Missing || b.state == WindowBoard::Gone) {
            b.state = b.changed.isEmpty() ? WindowBoard::Present : WindowBoard::Changed;
        }
    }
    if (!rows_.isEmpty()) {
        emit dataChanged(index(0, 0), index(rows_.size() - 1, ColumnCount - 1));
    }
    return prune();
}

int BoardTableModel::heardCount() const {
    int n = 0;
    for (const WindowBoard &b : rows_) {
        n += b.state == WindowBoard::Present || b.state == WindowBoard::Changed ? b.board.count : 0;
    }
    return n;
}

StateCounts BoardTableModel::counts() const {
    StateCounts c;
    for (const WindowBoard &b : rows_) {
        switch (b.state) {
        case WindowBoard::Present:
            ++c.present;
            break;
        case WindowBoard::Changed:
            ++c.changed;
            break;
        case WindowBoard::Gone:
            ++c.gone;
            break;
        case WindowBoard::Missing:
            ++c.missing;
            break;
        }
    }
    return c;
}

int BoardTableModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : rows_.size();
}

int BoardTableModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QString BoardTableModel::cell(const WindowBoard &b, int column) const {
    switch (column) {
    case Device:
        return shownValue(b.board.device);
    case Version:
        return shownValue(b.board.version);
    case Product:
        return shownValue(b.board.product);
    case HardId:
        return shownValue(b.board.hardId);
    case Address:
        // With keys, the mark of a board that proved one, or the warning of one that did not.
        return boardAddressText(b.board) + (!b.board.checked   ? QString()
                                            : b.board.verified ? QStringLiteral(" \u2713")
                                                               : QStringLiteral(" (not verified)"));
    case IPv4:
        return shownValue(b.board.ipAddresses.join(QStringLiteral(", ")));
    case ReplyMs:
        return b.state == WindowBoard::Missing || b.board.replyMs <= 0
                   ? QString()
                   : QString::number(b.board.replyMs, 'f', 1);
    case FirstSeen:
        return shownTime(b.firstSeen);
    case LastSeen:
        return shownTime(b.lastSeen);
    case State:
        return stateCellText(b);
    case Reset:
        return b.reset;
    }
    return QString();
}

void BoardTableModel::setReset(const QString &key, const QString &state) {
    const int row = rowOf(key);
    if (row < 0) {
        return;
    }
    rows_[row].reset = state;
    emit dataChanged(index(row, Reset), index(row, Reset));
}

QVariant BoardTableModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= rows_.size()) {
        return QVariant();
    }
    const WindowBoard &b = rows_.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return cell(b, index.column());
    case SortRole:
        switch (index.column()) {
        case ReplyMs:
            return b.board.replyMs;
        case FirstSeen:
            return b.firstSeen.toMSecsSinceEpoch();
        case LastSeen:
            return b.lastSeen.toMSecsSinceEpoch();
        case State:
            return int(b.state);
        default:
            return cell(b, index.column());
        }
    case KeyRole:
        return boardKey(b.board);
    case StateRole:
        return int(b.state);
    case Qt::ToolTipRole:
        if (b.state == WindowBoard::Changed) {
            QStringList lines;
            for (const QString &field : b.changed) {
                lines.append(fieldChangeText(field, b.before, b.board));
            }
            return lines.join(QLatin1Char('\n'));
        }
        if (b.state == WindowBoard::Missing) {
            return QStringLiteral("There at the last look (%1); not heard from in this session")
                .arg(shownTime(b.lastSeen));
        }
        // The whole value, for a cell cut to its column's width.
        return cell(b, index.column());
    case Qt::ForegroundRole:
        // Gone and missing boards in the palette's own muted text; the others in its text.
        return b.state == WindowBoard::Gone || b.state == WindowBoard::Missing
                   ? QVariant(QBrush(
                         QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text)))
                   : QVariant();
    case Qt::BackgroundRole:
        return b.state == WindowBoard::Changed ? QVariant(QBrush(tinted(QColor(255, 200, 0), 0.3)))
               : b.state == WindowBoard::Missing
                   ? QVariant(QBrush(tinted(QColor(255, 80, 60), 0.15)))
                   : QVariant();
    case Qt::FontRole:
        if (b.state == WindowBoard::Missing || b.state == WindowBoard::Gone) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant BoardTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < ColumnCount) {
        return QLatin1String(kHeadings[section]);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

QByteArray tableCsv(const QAbstractItemModel &model, const QList<int> &rows) {
    QStringList lines;
    QStringList heading;
    for (int c = 0; c < model.columnCount(); ++c) {
        heading.append(csvCell(model.headerData(c, Qt::Horizontal).toString()));
    }
    lines.append(heading.join(QLatin1Char(',')));
    for (int r : rowsOf(model, rows)) {
        QStringList cells;
        for (int c = 0; c < model.columnCount(); ++c) {
            cells.append(csvCell(model.index(r, c).data().toString()));
        }
        lines.append(cells.join(QLatin1Char(',')));
    }
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

QString tableText(const QAbstractItemModel &model, const QList<int> &rows) {
    QStringList lines;
    QStringList heading;
    for (int c = 0; c < model.columnCount(); ++c) {
        heading.append(model.headerData(c, Qt::Horizontal).toString());
    }
    lines.append(heading.join(QLatin1Char('\t')));
    for (int r : rowsOf(model, rows)) {
        QStringList cells;
        for (int c = 0; c < model.columnCount(); ++c) {
            cells.append(defusedCell(model.index(r, c).data().toString()));
        }
        lines.append(cells.join(QLatin1Char('\t')));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QByteArray boardsJsonExport(const BoardTableModel &source, const QList<int> &rows) {
    QJsonArray array;
    for (int r : rows) {
        const WindowBoard &b = source.boardAt(r);
        QJsonObject o = boardJson(b.board);
        o.insert(QStringLiteral("firstSeen"), isoTime(b.firstSeen));
        o.insert(QStringLiteral("lastSeen"), isoTime(b.lastSeen));
        o.insert(QStringLiteral("state"), stateText(b.state));
        if (!b.changed.isEmpty()) {
            o.insert(QStringLiteral("changed"), QJsonArray::fromStringList(b.changed));
            o.insert(QStringLiteral("was"), boardJson(b.before));
        }
        array.append(o);
    }
    return escapeJsonControls(QJsonDocument(array).toJson(QJsonDocument::Indented));
}
