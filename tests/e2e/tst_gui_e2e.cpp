// The station's window (offscreen) against real agents on a learning bridge: this process
// joins the segment's namespace, so the window's worker captures there as it would on a
// technician's laptop.
#include "boardproxy.h"
#include "mainwindow.h"
#include "netlab.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kBoards = 5; // 1-4 in board-address mode, 5 at the shared address
constexpr int kSettleMs = 20000;

// Capabilities belong to a thread, and a thread starts with its creator's: a window made while
// this thread lacks CAP_NET_RAW has a worker that lacks it too.
bool setNetRaw(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    const quint32 bit = 1u << CAP_NET_RAW;
    data[0].effective = on ? (data[0].effective | bit) : (data[0].effective & ~bit);
    return syscall(SYS_capset, &header, data) == 0;
}

QString key(const LabBoard &board) {
    return QStringLiteral("mac:") + board.mac();
}

} // namespace

class TestGuiE2e : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void boardsAppear();
    void filterAndSort();
    void csvExportMatchesTheTable();
    void resetRunsThatBoardsScriptOnly();
    void resetAndWaitLeavesTheWindowUsable();
    void resetAllSaysHowMany();
    void actionsWaitForTheLink();
    void keyboardReachesEveryAction();
    void bannersSayWhatIsWrong();
    void removedBoardTurnsGone();
    void historyOfTheSession();
    void withoutNetRawSaysWhatToDo();
    void cleanupTestCase();

  private:
    std::unique_ptr<MainWindow> openWindow();
    int stateCount(WindowBoard::State state) const;

    QTemporaryDir dir_;
    std::unique_ptr<Netns> segment_;
    std::vector<LabBoard> boards_;
    std::unique_ptr<MainWindow> window_;
    int home_ = -1;
};

std::unique_ptr<MainWindow> TestGuiE2e::openWindow() {
    WindowOptions options;
    options.interface = QStringLiteral("seg0");
    options.intervalMs = 500;
    auto window = std::make_unique<MainWindow>(options);
    window->show();
    return window;
}

int TestGuiE2e::stateCount(WindowBoard::State state) const {
    int n = 0;
    for (int r = 0; r < window_->boards().rowCount(); ++r) {
        n += window_->boards().boardAt(r).state == state ? 1 : 0;
    }
    return n;
}

void TestGuiE2e::initTestCase() {
    L2_REQUIRE_NETLAB();
    // The history goes where this run alone reads it.
    qputenv("XDG_DATA_HOME", dir_.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", dir_.filePath(QStringLiteral("config")).toUtf8());
    segment_ = std::make_unique<Netns>(QStringLiteral("gseg"));
    QVERIFY(segment_->ok());
    QVERIFY(addBridge(*segment_, QStringLiteral("seg0")));
    for (int n = 1; n <= kBoards; ++n) {
        LabBoardSetup setup;
        setup.n = 30 + n;
        setup.bridge = QStringLiteral("seg0");
        setup.boardAddress = n < kBoards;
        LabBoard board;
        QVERIFY(startLabBoard(&board, *segment_, dir_.path(), setup));
        boards_.push_back(std::move(board));
    }
    for (const LabBoard &board : boards_) {
        QVERIFY(board.agent->waitForText(QStringLiteral("start 'eth1' dump")));
    }
    home_ = enterNetns(*segment_);
    QVERIFY(home_ >= 0);
    window_ = openWindow();
}

// Every board on its own row, keyed by its own address; the one at the shared address raises
// the switch banner.
void TestGuiE2e::boardsAppear() {
    QTRY_COMPARE_WITH_TIMEOUT(stateCount(WindowBoard::Present), kBoards, kSettleMs);
    QCOMPARE(window_->boards().rowCount(), kBoards);
    for (int n = 0; n < kBoards - 1; ++n) {
        const int row = window_->boards().rowOf(key(boards_[size_t(n)]));
        QVERIFY(row >= 0);
        const BoardInfo b = window_->boards().boardAt(row).board;
        QCOMPARE(b.device, QStringLiteral("BOARD-%1").arg(31 + n));
        QCOMPARE(b.ipAddresses, QStringList{QStringLiteral("192.0.2.%1").arg(41 + n)});
    }
    QTRY_VERIFY2_WITH_TIMEOUT(
        window_->bannerText().contains(QStringLiteral("from the shared address 66:77:88:99:AA:BB")),
        qPrintable(window_->bannerText()), kSettleMs);
    QVERIFY(window_->activityLog().contains(QStringLiteral("BOARD-35")));
    // Within its screen (the offscreen platform's is 800x600), the close button included.
    const QRect screen = window_->screen()->availableGeometry();
    QVERIFY2(screen.contains(window_->frameGeometry()),
             qPrintable(QStringLiteral("%1x%2").arg(window_->width()).arg(window_->height())));
}

void TestGuiE2e::filterAndSort() {
    QSortFilterProxyModel *shown = window_->shownBoards();
    window_->filter()->setText(QStringLiteral("board-32"));
    QCOMPARE(shown->rowCount(), 1);
    QCOMPARE(shown->index(0, BoardTableModel::Device).data().toString(),
             QStringLiteral("BOARD-32"));
    window_->filter()->setText(QStringLiteral("shared"));
    QCOMPARE(shown->rowCount(), 1);
    QCOMPARE(shown->index(0, BoardTableModel::Address).data().toString(), QStringLiteral("shared"));
    window_->filter()->setText(QStringLiteral("no such board"));
    QCOMPARE(shown->rowCount(), 0);
    window_->filter()->clear();
    QCOMPARE(shown->rowCount(), kBoards);
    window_->table()->sortByColumn(BoardTableModel::Device, Qt::DescendingOrder);
    QCOMPARE(shown->index(0, BoardTableModel::Device).data().toString(),
             QStringLiteral("BOARD-35"));
    window_->table()->sortByColumn(BoardTableModel::Device, Qt::AscendingOrder);
    QCOMPARE(shown->index(0, BoardTableModel::Device).data().toString(),
             QStringLiteral("BOARD-31"));
}

// The export is the table as shown: filtered, in the shown order, cell for cell.
void TestGuiE2e::csvExportMatchesTheTable() {
    QSortFilterProxyModel *shown = window_->shownBoards();
    window_->table()->sortByColumn(BoardTableModel::Device, Qt::DescendingOrder);
    window_->filter()->setText(QStringLiteral("PX3"));
    const QString path = dir_.filePath(QStringLiteral("boards.csv"));
    QString error;
    QVERIFY2(window_->exportCsv(path, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines =
        QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1 + shown->rowCount());
    QCOMPARE(lines.first(), QStringLiteral("Device,Version,Product,HardId,Address,IPv4,Reply ms,"
                                           "First seen,Last seen,State,Reset"));
    for (int r = 0; r < shown->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < shown->columnCount(); ++c) {
            cells.append(shown->index(r, c).data().toString());
        }
        QCOMPARE(lines.at(r + 1), cells.join(QLatin1Char(',')));
    }
    QCOMPARE(lines.at(1).section(QLatin1Char(','), 0, 0), QStringLiteral("BOARD-35"));
    const QString json = dir_.filePath(QStringLiteral("boards.json"));
    QVERIFY2(window_->exportJson(json, &error), qPrintable(error));
    QFile jsonFile(json);
    QVERIFY(jsonFile.open(QIODevice::ReadOnly));
    const QJsonArray rows = QJsonDocument::fromJson(jsonFile.readAll()).array();
    QCOMPARE(rows.size(), shown->rowCount());
    QCOMPARE(rows.at(1).toObject().value(QStringLiteral("Mac")).toString(), boards_[3].mac());
    window_->filter()->clear();
    window_->table()->sortByColumn(BoardTableModel::Device, Qt::AscendingOrder);
}

// The confirmation names the board; a declined one sends nothing; an accepted one runs that
// board's script and no other's.
void TestGuiE2e::resetRunsThatBoardsScriptOnly() {
    QStringList asked;
    bool answer = false;
    window_->setConfirm([&](const QString &, const QString &text) {
        asked.append(text);
        return answer;
    });
    QVERIFY(window_->selectBoard(key(boards_[1])));
    window_->resetSelected();
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked.first().contains(QStringLiteral("BOARD-32")));
    QVERIFY(asked.first().contains(boards_[1].mac()));
    QVERIFY(!window_->activityLog().contains(QStringLiteral("reset BOARD-32")));
    answer = true;
    QVERIFY(window_->selectBoard(key(boards_[2])));
    window_->resetSelected();
    QCOMPARE(asked.size(), 2);
    QVERIFY2(asked.last().contains(
                 QStringLiteral("BOARD-33 (product PX33, HardId 000000033, address ")) &&
                 asked.last().contains(boards_[2].mac()),
             qPrintable(asked.last()));
    QTRY_COMPARE_WITH_TIMEOUT(boards_[2].resets(), 1, kSettleMs);
    QTRY_VERIFY_WITH_TIMEOUT(window_->activityLog().contains(
                                 QStringLiteral("reset BOARD-33 PX33 000000033 (%1): acknowledged")
                                     .arg(boards_[2].mac())),
                             kSettleMs);
    for (size_t i = 0; i < boards_.size(); ++i) {
        QCOMPARE(boards_[i].resets(), i == 2 ? 1 : 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(window_->resetsRunning(), 0, kSettleMs);
    QCOMPARE(window_->boards()
                 .index(window_->boards().rowOf(key(boards_[2])), BoardTableModel::Reset)
                 .data()
                 .toString(),
             QStringLiteral("acknowledged"));
}

// Reset and wait runs beside the rounds: the window's thread never stalls, rounds go on, the
// filter answers, and the board's row shows how it fares. The board's script leaves its agent
// running: the row says it did not restart, and the board was never gone.
void TestGuiE2e::resetAndWaitLeavesTheWindowUsable() {
    window_->setConfirm([](const QString &, const QString &) { return true; });
    QVERIFY(window_->selectBoard(key(boards_[0])));
    QElapsedTimer gap;
    qint64 longest = 0;
    QTimer tick;
    gap.start();
    connect(&tick, &QTimer::timeout, this, [&] { longest = std::max(longest, gap.restart()); });
    tick.start(10);
    const int roundsBefore = window_->rounds();
    window_->resetAndWaitSelected();
    QCOMPARE(window_->resetsRunning(), 1);
    const int row = window_->boards().rowOf(key(boards_[0]));
    const QModelIndex reset = window_->boards().index(row, BoardTableModel::Reset);
    QCOMPARE(reset.data().toString(), QStringLiteral("resetting"));
    QVERIFY(window_->action(QStringLiteral("stopWaits"))->isEnabled());
    // While it waits (it takes ten seconds to tell a board that did not restart): rounds, and
    // a filter that answers.
    QTRY_VERIFY_WITH_TIMEOUT(window_->rounds() >= roundsBefore + 3, kSettleMs);
    QCOMPARE(window_->resetsRunning(), 1);
    window_->filter()->setText(QStringLiteral("board-32"));
    QCOMPARE(window_->shownBoards()->rowCount(), 1);
    window_->filter()->clear();
    QVERIFY(window_->statusText().contains(QStringLiteral("1 reset running")));
    QTRY_COMPARE_WITH_TIMEOUT(window_->resetsRunning(), 0, 60000);
    tick.stop();
    QVERIFY2(reset.data().toString().startsWith(QStringLiteral("did not restart: ")),
             qPrintable(reset.data().toString()));
    QVERIFY2(
        window_->activityLog().contains(
            QStringLiteral("BOARD-31 PX31 000000031 (%1): 0 of 1 back in").arg(boards_[0].mac())),
        qPrintable(window_->activityLog()));
    QCOMPARE(window_->boards().boardAt(row).state, WindowBoard::Present);
    QVERIFY(!window_->activityLog().contains(QStringLiteral("BOARD-31 (product PX31, HardId "
                                                            "000000031, address %1) gone")
                                                 .arg(boards_[0].mac())));
    QCOMPARE(boards_[0].resets(), 1);
    QVERIFY(!window_->action(QStringLiteral("stopWaits"))->isEnabled());
    QVERIFY2(longest < 250, qPrintable(QString::number(longest)));
}

// "Reset all" counts the boards heard in this session, and the confirmation says that the
// filter has no say.
void TestGuiE2e::resetAllSaysHowMany() {
    QString asked;
    window_->setConfirm([&](const QString &, const QString &text) {
        asked = text;
        return false;
    });
    window_->filter()->setText(QStringLiteral("board-32"));
    window_->resetAll();
    window_->filter()->clear();
    QVERIFY2(asked.startsWith(QStringLiteral("Reset all %1 boards on seg0?").arg(kBoards)),
             qPrintable(asked));
    QVERIFY(asked.contains(QStringLiteral("whatever the filter shows")));
    QCOMPARE(window_->resetsRunning(), 0);
}

// While the station's own link is down, nothing that sends can be started, and the action
// says why; once it is back, they can.
void TestGuiE2e::actionsWaitForTheLink() {
    QVERIFY(window_->selectBoard(key(boards_[1])));
    QAction *reset = window_->action(QStringLiteral("reset"));
    QVERIFY(reset->isEnabled());
    QVERIFY(setLinkUp(*segment_, QStringLiteral("seg0"), false));
    QTRY_VERIFY_WITH_TIMEOUT(!reset->isEnabled(), kSettleMs);
    QVERIFY2(reset->toolTip().contains(QStringLiteral("the link of seg0 is down")),
             qPrintable(reset->toolTip()));
    QVERIFY(!window_->action(QStringLiteral("resetAll"))->isEnabled());
    QVERIFY(window_->action(QStringLiteral("details"))->isEnabled());
    QVERIFY(setLinkUp(*segment_, QStringLiteral("seg0"), true));
    QTRY_VERIFY_WITH_TIMEOUT(reset->isEnabled(), kSettleMs);
    QVERIFY(window_->action(QStringLiteral("resetAll"))->isEnabled());
}

// Every action has a shortcut, named in its tooltip and in the manual page; Tab into the
// table picks a row, Enter opens its details and Delete asks to reset it.
void TestGuiE2e::keyboardReachesEveryAction() {
    QFile page(QStringLiteral(L2_SOURCE_DIR "/doc/l2station-gui.1.scd"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString manual = QString::fromUtf8(page.readAll());
    for (const char *name : {"details", "ping", "reset", "resetWait", "resetAll", "resetAllWait",
                             "stopWaits", "copy", "exportCsv", "exportJson"}) {
        const QAction *a = window_->action(QLatin1String(name));
        QVERIFY2(a != nullptr && !a->shortcut().isEmpty(), name);
        const QString keys = a->shortcut().toString(QKeySequence::NativeText);
        QVERIFY2(a->property("baseTip").toString().contains(keys), name);
        QVERIFY2(manual.contains(keys.section(QLatin1Char(','), 0, 0)), qPrintable(keys));
    }
    window_->table()->clearSelection();
    window_->table()->setCurrentIndex(QModelIndex());
    window_->filter()->setFocus();
    QTRY_VERIFY(window_->filter()->hasFocus());
    window_->table()->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(window_->table()->selectionModel()->selectedRows().size(), 1);
    QVERIFY(window_->action(QStringLiteral("details"))->isEnabled());
    QTest::keyClick(window_->table(), Qt::Key_Return);
    QDialog *details = window_->findChild<QDialog *>(QStringLiteral("details"));
    QVERIFY(details != nullptr);
    details->close();
    QString asked;
    window_->setConfirm([&](const QString &, const QString &text) {
        asked = text;
        return false;
    });
    QTest::keyClick(window_->table(), Qt::Key_Delete);
    QVERIFY2(asked.startsWith(QStringLiteral("Reset 1 selected board on seg0?")),
             qPrintable(asked));
    // In the filter, Delete edits the text.
    asked.clear();
    window_->filter()->setText(QStringLiteral("ab"));
    window_->filter()->setFocus();
    window_->filter()->setCursorPosition(0);
    QTest::keyClick(window_->filter(), Qt::Key_Delete);
    QCOMPARE(window_->filter()->text(), QStringLiteral("b"));
    QVERIFY(asked.isEmpty());
    window_->filter()->clear();
}

// A second window on an interface where no board answers, with a history it cannot keep:
// each problem in a banner, with its cause and what to do.
void TestGuiE2e::bannersSayWhatIsWrong() {
    QVERIFY(addBridge(*segment_, QStringLiteral("seg9")));
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    const QString notAFolder = dir_.filePath(QStringLiteral("plain-file"));
    QVERIFY(writeFile(notAFolder, "not a folder\n"));
    qputenv("XDG_DATA_HOME", notAFolder.toUtf8());
    WindowOptions options;
    options.interface = QStringLiteral("seg9");
    options.intervalMs = 500;
    auto window = std::make_unique<MainWindow>(options);
    window->show();
    QTRY_VERIFY2_WITH_TIMEOUT(
        window->bannerText().contains(QStringLiteral("No board answered on seg9. Other Ethernet "
                                                     "interfaces that are up: ")) &&
            window->bannerText().contains(QStringLiteral("seg0")),
        qPrintable(window->bannerText()), kSettleMs);
    QVERIFY2(window->bannerText().contains(QStringLiteral("cannot make its folder")) &&
                 window->bannerText().contains(QStringLiteral("the window keeps no history")),
             qPrintable(window->bannerText()));
    QVERIFY(!window->bannerText().contains(QStringLiteral("damaged")));
    window.reset();
    qputenv("XDG_DATA_HOME", data);
    QVERIFY(runCommand({QStringLiteral("ip"), QStringLiteral("-n"), segment_->name(),
                        QStringLiteral("link"), QStringLiteral("del"), QStringLiteral("seg9")}));
}

void TestGuiE2e::removedBoardTurnsGone() {
    boards_[3].agent->stop();
    const QString gone = key(boards_[3]);
    QTRY_COMPARE_WITH_TIMEOUT(window_->boards().boardAt(window_->boards().rowOf(gone)).state,
                              WindowBoard::Gone, kSettleMs);
    QCOMPARE(stateCount(WindowBoard::Gone), 1);
    const QModelIndex row =
        window_->boards().index(window_->boards().rowOf(gone), BoardTableModel::State);
    QCOMPARE(row.data().toString(), QStringLiteral("gone"));
}

// What the window saw is in the history when it is closed: the CLI lists it, and the next
// window starts from that last look.
void TestGuiE2e::historyOfTheSession() {
    // A column the technician sized, and a sort, are remembered for the next window.
    window_->table()->setColumnWidth(BoardTableModel::Product, 333);
    window_->table()->sortByColumn(BoardTableModel::Version, Qt::DescendingOrder);
    window_.reset();
    QProcess history;
    history.start(stationBinary(), {QStringLiteral("history"), QStringLiteral("--json"),
                                    QStringLiteral("-i"), QStringLiteral("seg0")});
    QVERIFY(history.waitForFinished(30000));
    QCOMPARE(history.exitCode(), 0);
    const QJsonArray listed = QJsonDocument::fromJson(history.readAllStandardOutput()).array();
    QCOMPARE(listed.size(), kBoards);
    QStringList states;
    for (const QJsonValue &v : listed) {
        const QJsonObject o = v.toObject();
        QCOMPARE(o.value(QStringLiteral("interface")).toString(), QStringLiteral("seg0"));
        states.append(o.value(QStringLiteral("Device")).toString() + QLatin1Char(' ') +
                      o.value(QStringLiteral("state")).toString());
    }
    QCOMPARE(states,
             QStringList({QStringLiteral("BOARD-31 present"), QStringLiteral("BOARD-32 present"),
                          QStringLiteral("BOARD-33 present"), QStringLiteral("BOARD-34 gone"),
                          QStringLiteral("BOARD-35 present")}));
    QProcess changes;
    changes.start(stationBinary(), {QStringLiteral("history"), QStringLiteral("--changes"),
                                    QStringLiteral("--wide")});
    QVERIFY(changes.waitForFinished(30000));
    const QString table = QString::fromUtf8(changes.readAllStandardOutput());
    const QRegularExpression goneRow(
        QStringLiteral(" seg0 +gone +BOARD-34 +PX34 +000000034 +%1 +l2station-gui")
            .arg(boards_[3].mac()));
    QVERIFY2(table.contains(goneRow), qPrintable(table));
    // The session's resets, each with its outcome, and never as a board gone and added.
    QProcess resets;
    resets.start(stationBinary(), {QStringLiteral("history"), QStringLiteral("--event"),
                                   QStringLiteral("reset"), QStringLiteral("--json")});
    QVERIFY(resets.waitForFinished(30000));
    QCOMPARE(resets.exitCode(), 0);
    QStringList outcomes;
    for (const QJsonValue &v : QJsonDocument::fromJson(resets.readAllStandardOutput()).array()) {
        const QJsonObject o = v.toObject();
        QCOMPARE(o.value(QStringLiteral("program")).toString(), QStringLiteral("l2station-gui"));
        QVERIFY(!o.value(QStringLiteral("user")).toString().isEmpty());
        outcomes.append(
            o.value(QStringLiteral("board")).toObject().value(QStringLiteral("Device")).toString() +
            QLatin1Char(' ') + o.value(QStringLiteral("outcome")).toString());
    }
    QCOMPARE(outcomes.size(), 2);
    QCOMPARE(outcomes.at(0), QStringLiteral("BOARD-33 acknowledged"));
    QVERIFY2(outcomes.at(1).startsWith(QStringLiteral("BOARD-31 did not restart: ")),
             qPrintable(outcomes.at(1)));

    window_ = openWindow();
    // Straight from the history: the four there at the last look missing until they answer,
    // before the first round (which listens a second) ends; the one gone then, gone.
    QTRY_COMPARE(stateCount(WindowBoard::Missing), kBoards - 1);
    QCOMPARE(window_->boards().rowCount(), kBoards);
    QCOMPARE(window_->boards().boardAt(window_->boards().rowOf(key(boards_[3]))).state,
             WindowBoard::Gone);
    QTRY_COMPARE_WITH_TIMEOUT(stateCount(WindowBoard::Present), kBoards - 1, kSettleMs);
    QVERIFY2(
        window_->statusText().contains(QStringLiteral("4 present, 0 changed, 1 gone, 0 missing")),
        qPrintable(window_->statusText()));
}

void TestGuiE2e::withoutNetRawSaysWhatToDo() {
    QVERIFY(setNetRaw(false));
    WindowOptions options;
    options.interface = QStringLiteral("seg0");
    options.keepHistory = false;
    auto window = std::make_unique<MainWindow>(options);
    QVERIFY(setNetRaw(true));
    window->show();
    QTRY_VERIFY_WITH_TIMEOUT(window->bannerText().contains(QStringLiteral("CAP_NET_RAW")),
                             kSettleMs);
    QVERIFY2(window->bannerText().contains(QStringLiteral("sudo setcap cap_net_raw+ep %1")
                                               .arg(QCoreApplication::applicationFilePath())),
             qPrintable(window->bannerText()));
    QCOMPARE(window->boards().rowCount(), 0);
}

void TestGuiE2e::cleanupTestCase() {
    window_.reset();
    leaveNetns(home_);
    boards_.clear();
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    TestGuiE2e test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gui_e2e.moc"
