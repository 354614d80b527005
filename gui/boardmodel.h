// The window's table: one row per board, kept up to date from the rounds the worker reports
// (the changes watch would print), and what copy and export make of it.
#pragma once

#include "history.h"
#include "station.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMetaType>

// What the worker tells the window after each round of asking the segment.
struct RoundReport {
    QDateTime at;
    QList<BoardInfo> answered;
    QList<WatchEvent> events;
    QHash<QString, QDateTime> firstSeen; // by boardKey, from the history where it has them
    int sharedReplies = 0;
    int malformed = 0;
    QStringList problems;
};
Q_DECLARE_METATYPE(RoundReport)
Q_DECLARE_METATYPE(HistoryBoard)

struct WindowBoard {
    // Expected: there at the last look (the history), not yet heard in this session.
    enum State { Expected, Present, Changed, Gone };
    BoardInfo board;
    QDateTime firstSeen;
    QDateTime lastSeen;
    State state = Present;
    QStringList changed; // the fields that changed in this session
    BoardInfo before;    // as it was before its first change in this session
    QString reset;       // the last reset-and-wait's state or result, in its words
};

class BoardTableModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column {
        Device,
        Version,
        Product,
        HardId,
        Address,
        IPv4,
        ReplyMs,
        FirstSeen,
        LastSeen,
        State,
        Reset,
        ColumnCount
    };
    // What sorting compares: numbers and times as such.
    static constexpr int SortRole = Qt::UserRole;
    static constexpr int KeyRole = Qt::UserRole + 1; // the row's boardKey

    using QAbstractTableModel::QAbstractTableModel;

    // Starts afresh with the boards that were there at the last look.
    void reset(const QList<HistoryBoard> &lastLook);
    void applyRound(const RoundReport &report);
    // A reset-and-wait's progress or result on the board's row.
    void setReset(const QString &key, const QString &state);

    const WindowBoard &boardAt(int row) const {
        return rows_.at(row);
    }
    int rowOf(const QString &key) const {
        return index_.value(key, -1);
    }
    // Boards not gone: what "reset all" reaches.
    int presentCount() const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  private:
    int add(const WindowBoard &board);
    void rekey(const QString &from, const QString &to);
    QString cell(const WindowBoard &b, int column) const;

    QList<WindowBoard> rows_;
    QHash<QString, int> index_;
};

QString stateText(WindowBoard::State state);

// The rows of `model` as shown (a sort/filter proxy's order), as CSV with a heading row:
// RFC 4180 quoting, and a cell that a spreadsheet would take for a formula (a board may be an
// impostor) prefixed with an apostrophe. `rows` limits it to those rows of `model` (all when
// empty).
QByteArray tableCsv(const QAbstractItemModel &model, const QList<int> &rows = {});
// The same rows as tab-separated text, for the clipboard.
QString tableText(const QAbstractItemModel &model, const QList<int> &rows = {});
// The boards of `rows` (rows of `source`, in that order) as a JSON array: the info fields as
// info --json gives them, with first and last seen and the state.
QByteArray boardsJsonExport(const BoardTableModel &source, const QList<int> &rows);
