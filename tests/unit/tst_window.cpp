// The window's table: rows follow watch's events by the station's keys, and copy and export
// write cells safely.
#include "boardmodel.h"

#include "stationboards.h"
#include "wire.h"

#include <QStandardItemModel>
#include <QtTest>

namespace {

BoardInfo board(int n, const QString &version = QStringLiteral("1.0"), bool shared = false) {
    return stationBoard(n, version, shared);
}

QDateTime at(int seconds) {
    return momentAfter(seconds);
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
  private slots:
    void rowsFollowTheRounds();
    void verifiedMark();
    void csvCells_data();
    void csvCells();
};

// The events of watch's rounds, as the worker reports them, through a whole session.
void TestWindow::rowsFollowTheRounds() {
    BoardTableModel model;
    HistoryBoard known;
    known.board = board(1);
    known.firstSeen = at(-3600);
    known.lastSeen = at(-60);
    model.reset({known});
    QCOMPARE(model.boardAt(0).state, WindowBoard::Expected);

    WatchState state;
    state.insert(boardKey(known.board), WatchedBoard{known.board, 0});
    const auto round = [&](const QList<BoardInfo> &answered, int s) {
        RoundReport r;
        r.at = at(s);
        r.answered = answered;
        r.events = watchRound(&state, answered);
        model.applyRound(r);
    };
    // The known board answers as it was; a shared board appears.
    round({board(1), board(2, QStringLiteral("1.0"), true)}, 0);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.boardAt(0).state, WindowBoard::Present);
    QCOMPARE(model.boardAt(0).firstSeen, at(-3600));
    QCOMPARE(model.boardAt(0).lastSeen, at(0));
    QCOMPARE(model.boardAt(1).firstSeen, at(0));
    // The shared board's reply changes twice: one row, the first state kept as "before".
    round({board(1), board(2, QStringLiteral("2.0"), true)}, 10);
    round({board(1, QStringLiteral("1.1")), board(2, QStringLiteral("3.0"), true)}, 20);
    QCOMPARE(model.rowCount(), 2);
    const int shared = model.rowOf(boardKey(board(2, QStringLiteral("3.0"), true)));
    QCOMPARE(shared, 1);
    QCOMPARE(model.boardAt(shared).before.version, QStringLiteral("1.0"));
    QCOMPARE(model.boardAt(shared).state, WindowBoard::Changed);
    QCOMPARE(model.index(0, BoardTableModel::State).data().toString(),
             QStringLiteral("changed: Version"));
    QCOMPARE(model.index(0, BoardTableModel::State).data(Qt::ToolTipRole).toString(),
             QStringLiteral("Version 1.0 > 1.1"));
    // A reset-and-wait's result stays on the board's row; another board's is not shown there.
    model.setReset(boardKey(board(1, QStringLiteral("1.1"))), QStringLiteral("did not restart"));
    model.setReset(QStringLiteral("mac:no such board"), QStringLiteral("back after 1.0 s"));
    QCOMPARE(model.index(0, BoardTableModel::Reset).data().toString(),
             QStringLiteral("did not restart"));
    QCOMPARE(model.index(shared, BoardTableModel::Reset).data().toString(), QString());
    // Board 1 misses two rounds: gone; not reached by "reset all" any more.
    round({board(2, QStringLiteral("3.0"), true)}, 30);
    QCOMPARE(model.boardAt(0).state, WindowBoard::Changed);
    round({board(2, QStringLiteral("3.0"), true)}, 40);
    QCOMPARE(model.boardAt(0).state, WindowBoard::Gone);
    QCOMPARE(model.presentCount(), 1);
    // Back: the same row, present again.
    round({board(1, QStringLiteral("1.1")), board(2, QStringLiteral("3.0"), true)}, 50);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.boardAt(0).state, WindowBoard::Present);
    QCOMPARE(model.index(0, BoardTableModel::LastSeen).data(BoardTableModel::SortRole),
             QVariant(at(50).toMSecsSinceEpoch()));
}

// With keys, the Address column marks each board verified or not; without, nothing.
void TestWindow::verifiedMark() {
    BoardTableModel model;
    BoardInfo proven = board(3);
    proven.checked = proven.verified = true;
    BoardInfo unproven = board(4);
    unproven.checked = true;
    WatchState state;
    RoundReport r;
    r.at = at(0);
    r.answered = {board(1), proven, unproven};
    r.events = watchRound(&state, r.answered);
    model.applyRound(r);
    const auto address = [&](const BoardInfo &b) {
        return model.index(model.rowOf(boardKey(b)), BoardTableModel::Address).data().toString();
    };
    QCOMPARE(address(proven), boardAddressText(proven) + QStringLiteral(" \u2713"));
    QCOMPARE(address(unproven), boardAddressText(unproven) + QStringLiteral(" (not verified)"));
    QCOMPARE(address(board(1)), boardAddressText(board(1)));
}

void TestWindow::csvCells_data() {
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("written");
    QTest::newRow("plain") << QStringLiteral("BOARD-1") << QStringLiteral("BOARD-1");
    QTest::newRow("comma") << QStringLiteral("a, b") << QStringLiteral("\"a, b\"");
    QTest::newRow("quote") << QStringLiteral("say \"hi\"") << QStringLiteral("\"say \"\"hi\"\"\"");
    QTest::newRow("formula") << QStringLiteral("=HYPERLINK(\"x\")")
                             << QStringLiteral("\"'=HYPERLINK(\"\"x\"\")\"");
    QTest::newRow("plus") << QStringLiteral("+1") << QStringLiteral("'+1");
    QTest::newRow("at") << QStringLiteral("@SUM") << QStringLiteral("'@SUM");
    QTest::newRow("empty marker") << QStringLiteral("-") << QStringLiteral("-");
}

void TestWindow::csvCells() {
    QFETCH(QString, cell);
    QFETCH(QString, written);
    QStandardItemModel model(1, 2);
    model.setHorizontalHeaderLabels({QStringLiteral("Device"), QStringLiteral("Product")});
    model.setItem(0, 0, new QStandardItem(cell));
    model.setItem(0, 1, new QStandardItem(QStringLiteral("P")));
    QCOMPARE(tableCsv(model),
             (QStringLiteral("Device,Product\r\n") + written + QStringLiteral(",P\r\n")).toUtf8());
    QCOMPARE(tableText(model),
             QStringLiteral("Device\tProduct\n") + cell + QStringLiteral("\tP\n"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
