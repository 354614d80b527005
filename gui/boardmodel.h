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
Q_DECLARE_METATYPE(BoardInfo)
Q_DECLARE_METATYPE(HistoryBoard)

struct WindowBoard {
    // Missing: there at the last look (the history), not heard in this session yet. Gone:
    // gone in this session, or already at the last look.
    enum State { Missing, Present, Changed, Gone };
    BoardInfo board;
    QDateTime firstSeen;
    QDateTime lastSeen;
    State state = Present;
    QStringList changed; // the fields that changed in this session
    BoardInfo before;    // as it was before its first change in this session
    QString reset;       // the last reset's state or result, in its words
};

// How many rows are in each state (a board at the shared address counts as one row).
struct StateCounts {
    int present = 0;
    int changed = 0;
    int gone = 0;
    int missing = 0;
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
    static constexpr int KeyRole = Qt::UserRole + 1;   // the row's boardKey
    static constexpr int StateRole = Qt::UserRole + 2; // the row's WindowBoard::State

    using QAbstractTableModel::QAbstractTableModel;

    // Starts afresh with the interface's boards from the history: those there at the last
    // look as missing until they answer, the others as gone.
    void reset(const QList<HistoryBoard> &lastLook);
    // Applies a round; past kMaxWatchedBoards rows, the gone rows seen longest ago leave the
    // table, and this returns how many did.
    int applyRound(const RoundReport &report);
    // A reset's progress or result on the board's row.
    void setReset(const QString &key, const QString &state);

    const WindowBoard &boardAt(int row) const {
        return rows_.at(row);
    }
    int rowOf(const QString &key) const {
        return index_.value(key, -1);
    }
    // Boards heard in this session and not gone since (a row at the shared address may stand
    // for several): what "reset all" is known to reach.
    int heardCount() const;
    StateCounts counts() const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  private:
    int add(const WindowBoard &board);
    int prune();
    void rekey(const QString &from, const QString &to);
    QString cell(const WindowBoard &b, int column) const;

    QList<WindowBoard> rows_;
    QHash<QString, int> index_;
};

QString stateText(WindowBoard::State state);
// How the window's log names a board: device, product, HardId and its address.
QString boardLogName(const BoardInfo &board);
// The State column: "missing since ..." with the time the board was last seen, "changed: ..."
// with the fields.
QString stateCellText(const WindowBoard &board);

// The rows of `model` as shown (a sort/filter proxy's order), as CSV with a heading row:
// RFC 4180 quoting, and a cell that a spreadsheet would take for a formula (a board may be an
// impostor) prefixed with an apostrophe. `rows` limits it to those rows of `model` (all when
// empty).
QByteArray tableCsv(const QAbstractItemModel &model, const QList<int> &rows = {});
// The same rows as tab-separated text, for the clipboard: formula cells defused as in CSV.
QString tableText(const QAbstractItemModel &model, const QList<int> &rows = {});
// The boards of `rows` (rows of `source`, in that order) as a JSON array: the info fields as
// info --json gives them, with first and last seen and the state.
QByteArray boardsJsonExport(const BoardTableModel &source, const QList<int> &rows);
