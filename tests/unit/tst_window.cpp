// The window's table: rows follow watch's events by the station's keys, and copy and export
// write cells safely.
#include "boardmodel.h"

#include "stationboards.h"
#include "wire.h"

#include "boardproxy.h"

#include <QGuiApplication>
#include <QPalette>
#include <QStandardItemModel>
#include <QtTest>

namespace {

BoardInfo board(int n, const QString &version = QStringLiteral("1.0"), bool shared = false) {
    return stationBoard(n, version, shared);
}

QDateTime at(int seconds) {
    return momentAfter(seconds);
}

// One round of watch, as the worker reports it, applied to the table.
int applyRound(BoardTableModel *model, WatchState *state, const QList<BoardInfo> &answered,
               int seconds) {
    RoundReport r;
    r.at = at(seconds);
    r.answered = answered;
    r.events = watchRound(state, answered);
    return model->applyRound(r);
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
  private slots:
    void rowsFollowTheRounds();
    void lastLookShowsWhatIsMissing();
    void sortAndStateFilter();
    void stateColoursReadable_data();
    void stateColoursReadable();
    void verifiedMark();
    void boardTextsEscaped();
    void rowsBounded();
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
    QCOMPARE(model.boardAt(0).state, WindowBoard::Missing);

    WatchState state;
    state.insert(boardKey(known.board), WatchedBoard{known.board, 0});
    const auto round = [&](const QList<BoardInfo> &answered, int s) {
        applyRound(&model, &state, answered, s);
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
    QCOMPARE(model.heardCount(), 1);
    // Back: the same row, present again, and still marked with the change of this session.
    round({board(1, QStringLiteral("1.1")), board(2, QStringLiteral("3.0"), true)}, 50);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.boardAt(0).state, WindowBoard::Changed);
    QCOMPARE(model.index(0, BoardTableModel::LastSeen).data(BoardTableModel::SortRole),
             QVariant(at(50).toMSecsSinceEpoch()));
}

// The window opens on the history's boards: those there at the last look stay "missing since"
// until they answer (never "gone": they were not seen going), those gone then stay gone.
void TestWindow::lastLookShowsWhatIsMissing() {
    BoardTableModel model;
    HistoryBoard there;
    there.board = board(1);
    there.firstSeen = at(-7200);
    there.lastSeen = at(-60);
    HistoryBoard left = there;
    left.board = board(2);
    left.present = false;
    model.reset({there, left});
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.boardAt(1).state, WindowBoard::Gone);
    const QModelIndex state = model.index(0, BoardTableModel::State);
    QCOMPARE(state.data().toString(),
             QStringLiteral("missing since ") +
                 at(-60).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    WatchState watched;
    watched.insert(boardKey(there.board), WatchedBoard{there.board, 0});
    for (int s = 0; s < 3; ++s) {
        applyRound(&model, &watched, {board(3)}, s);
    }
    QCOMPARE(model.boardAt(0).state, WindowBoard::Missing);
    const StateCounts counts = model.counts();
    QCOMPARE(counts.present, 1);
    QCOMPARE(counts.missing, 1);
    QCOMPARE(counts.gone, 1);
    QCOMPARE(counts.changed, 0);
    QCOMPARE(model.heardCount(), 1); // what "reset all" counts: heard in this session
}

// Names sort as people read them, numbers as numbers; the state filter and the text filter
// both apply.
void TestWindow::sortAndStateFilter() {
    BoardTableModel model;
    QList<HistoryBoard> known;
    for (int n : {10, 2, 100, 1}) {
        HistoryBoard h;
        h.board = board(n);
        h.board.device = QStringLiteral("SIM-%1").arg(n);
        h.lastSeen = at(0);
        h.present = n != 100;
        known.append(h);
    }
    model.reset(known);
    BoardProxy proxy;
    proxy.setSourceModel(&model);
    proxy.sort(BoardTableModel::Device, Qt::AscendingOrder);
    QStringList names;
    for (int r = 0; r < proxy.rowCount(); ++r) {
        names.append(proxy.index(r, BoardTableModel::Device).data().toString());
    }
    QCOMPARE(names, QStringList({QStringLiteral("SIM-1"), QStringLiteral("SIM-2"),
                                 QStringLiteral("SIM-10"), QStringLiteral("SIM-100")}));
    proxy.setStates({int(WindowBoard::Gone)});
    QCOMPARE(proxy.rowCount(), 1);
    QCOMPARE(proxy.index(0, BoardTableModel::Device).data().toString(), QStringLiteral("SIM-100"));
    proxy.setStates({int(WindowBoard::Missing)});
    proxy.setFilterFixedString(QStringLiteral("sim-1"));
    QCOMPARE(proxy.rowCount(), 2); // SIM-1 and SIM-10; SIM-100 is gone
    proxy.setStates({});
    QCOMPARE(proxy.rowCount(), 3);
}

// A changed row's colour is a tint of the palette's base, so the palette's own text stays
// readable on it, light or dark (contrast of at least 4.5:1, as WCAG asks of text).
void TestWindow::stateColoursReadable_data() {
    QTest::addColumn<QColor>("base");
    QTest::addColumn<QColor>("text");
    QTest::newRow("light") << QColor(255, 255, 255) << QColor(0, 0, 0);
    QTest::newRow("dark") << QColor(30, 30, 30) << QColor(240, 240, 240);
}

void TestWindow::stateColoursReadable() {
    QFETCH(QColor, base);
    QFETCH(QColor, text);
    const QPalette before = QGuiApplication::palette();
    QPalette palette = before;
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::Text, text);
    QGuiApplication::setPalette(palette);
    BoardTableModel model;
    HistoryBoard h;
    h.board = board(1);
    h.lastSeen = at(0);
    model.reset({h});
    WatchState state;
    state.insert(boardKey(h.board), WatchedBoard{h.board, 0});
    applyRound(&model, &state, {board(1, QStringLiteral("2.0"))}, 1);
    QCOMPARE(model.boardAt(0).state, WindowBoard::Changed);
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const QColor back =
        model.index(0, BoardTableModel::Device).data(Qt::BackgroundRole).value<QBrush>().color();
    const QVariant fore = model.index(0, BoardTableModel::Device).data(Qt::ForegroundRole);
    const QColor shown = fore.isValid() ? fore.value<QBrush>().color() : text;
    const double a = luminance(back) + 0.05;
    const double b = luminance(shown) + 0.05;
    QGuiApplication::setPalette(before);
    QVERIFY2(std::max(a, b) / std::min(a, b) >= 4.5,
             qPrintable(back.name() + QStringLiteral(" under ") + shown.name()));
}

// With keys, the Address column marks each board verified or not; without, nothing.
void TestWindow::verifiedMark() {
    BoardTableModel model;
    BoardInfo proven = board(3);
    proven.checked = proven.verified = true;
    BoardInfo unproven = board(4);
    unproven.checked = true;
    WatchState state;
    applyRound(&model, &state, {board(1), proven, unproven}, 0);
    const auto address = [&](const BoardInfo &b) {
        return model.index(model.rowOf(boardKey(b)), BoardTableModel::Address).data().toString();
    };
    QCOMPARE(address(proven), boardAddressText(proven) + QStringLiteral(" \u2713"));
    QCOMPARE(address(unproven), boardAddressText(unproven) + QStringLiteral(" (not verified)"));
    QCOMPARE(address(board(1)), boardAddressText(board(1)));
}

// A board's text reaches no cell, tip, export or clipboard raw: controls, and characters that
// reorder text (a name ending in ".exe" that would show as ".png").
void TestWindow::boardTextsEscaped() {
    BoardTableModel model;
    BoardInfo b = board(1);
    b.device = QStringLiteral("SAFE-\u202egnp.exe");
    b.product = QStringLiteral("=cmd|' /C calc'!A0\u2028");
    WatchState state;
    applyRound(&model, &state, {b}, 0);
    const QModelIndex device = model.index(0, BoardTableModel::Device);
    QCOMPARE(device.data().toString(), QStringLiteral("SAFE-\\u202egnp.exe"));
    QCOMPARE(device.data(Qt::ToolTipRole).toString(), QStringLiteral("SAFE-\\u202egnp.exe"));
    const QString csv = QString::fromUtf8(tableCsv(model));
    const QString copied = tableText(model);
    const QString json = QString::fromUtf8(boardsJsonExport(model, {0}));
    for (const QString &shown : {csv, copied, json}) {
        QVERIFY2(!shown.contains(QChar(0x202e)) && !shown.contains(QChar(0x2028)),
                 qPrintable(shown));
    }
    QVERIFY(csv.contains(QStringLiteral("SAFE-\\u202egnp.exe")));
    QVERIFY(copied.contains(QStringLiteral("\t'=cmd|' /C calc'!A0\\u2028\t")));
    QVERIFY(json.contains(QStringLiteral("SAFE-\\u202egnp.exe")));
}

// Past kMaxWatchedBoards rows, the gone boards seen longest ago leave the table, with their
// keys; the others keep their rows.
void TestWindow::rowsBounded() {
    BoardTableModel model;
    QList<HistoryBoard> known;
    for (int n = 0; n < kMaxWatchedBoards + 5; ++n) {
        HistoryBoard h;
        h.board.mac = QByteArray::fromHex(QByteArray::number(0x020000000000LL + n, 16));
        h.lastSeen = at(n); // board 0 seen longest ago
        h.present = n < 3;  // three there at the last look, the rest gone
        known.append(h);
    }
    model.reset(known);
    WatchState state;
    QCOMPARE(applyRound(&model, &state, {}, kMaxWatchedBoards + 10), 5);
    QCOMPARE(model.rowCount(), kMaxWatchedBoards);
    QCOMPARE(model.counts().missing, 3);
    QCOMPARE(model.rowOf(boardKey(known.at(3).board)), -1); // the oldest gone ones
    QCOMPARE(model.rowOf(boardKey(known.at(7).board)), -1);
    const int row = model.rowOf(boardKey(known.at(8).board));
    QVERIFY(row >= 0);
    QCOMPARE(model.boardAt(row).lastSeen, at(8));
}

void TestWindow::csvCells_data() {
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("copied");
    QTest::newRow("plain") << QStringLiteral("BOARD-1") << QStringLiteral("BOARD-1")
                           << QStringLiteral("BOARD-1");
    QTest::newRow("comma") << QStringLiteral("a, b") << QStringLiteral("\"a, b\"")
                           << QStringLiteral("a, b");
    QTest::newRow("quote") << QStringLiteral("say \"hi\"") << QStringLiteral("\"say \"\"hi\"\"\"")
                           << QStringLiteral("say \"hi\"");
    QTest::newRow("formula") << QStringLiteral("=HYPERLINK(\"x\")")
                             << QStringLiteral("\"'=HYPERLINK(\"\"x\"\")\"")
                             << QStringLiteral("'=HYPERLINK(\"x\")");
    QTest::newRow("DDE") << QStringLiteral("=cmd|' /C calc'!A0")
                         << QStringLiteral("'=cmd|' /C calc'!A0")
                         << QStringLiteral("'=cmd|' /C calc'!A0");
    QTest::newRow("plus") << QStringLiteral("+1") << QStringLiteral("'+1") << QStringLiteral("'+1");
    QTest::newRow("at") << QStringLiteral("@SUM") << QStringLiteral("'@SUM")
                        << QStringLiteral("'@SUM");
    QTest::newRow("empty marker") << QStringLiteral("-") << QStringLiteral("-")
                                  << QStringLiteral("-");
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
    // The clipboard takes the cell as CSV does, unquoted.
    QFETCH(QString, copied);
    QCOMPARE(tableText(model),
             QStringLiteral("Device\tProduct\n") + copied + QStringLiteral("\tP\n"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
