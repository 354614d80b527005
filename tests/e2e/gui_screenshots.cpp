// Pictures of the station's window for the README, made against a demo segment: five boards on
// a learning bridge (one at the shared address), then one gone and one changed.
//   gui_screenshots OUTPUT_DIR        (run by scripts/screenshots.sh, under Xvfb, as root)
#include "mainwindow.h"
#include "netlab.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <vector>

namespace {

int countState(const MainWindow &window, WindowBoard::State state) {
    int n = 0;
    for (int r = 0; r < window.boards().rowCount(); ++r) {
        n += window.boards().boardAt(r).state == state ? 1 : 0;
    }
    return n;
}

bool fail(const char *what) {
    std::fprintf(stderr, "gui_screenshots: %s\n", what);
    return false;
}

bool shoot(const QString &outDir) {
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());
    Netns segment(QStringLiteral("shots"));
    if (!segment.ok() || !addBridge(segment, QStringLiteral("seg0"))) {
        return fail("cannot make the segment");
    }
    std::vector<LabBoard> boards(5);
    for (int i = 0; i < 5; ++i) {
        LabBoardSetup setup;
        setup.n = i + 1;
        setup.bridge = QStringLiteral("seg0");
        setup.boardAddress = i < 4;
        if (!startLabBoard(&boards[size_t(i)], segment, dir.path(), setup) ||
            !boards[size_t(i)].agent->waitForText(QStringLiteral("start 'eth1' dump"))) {
            return fail("a board did not start");
        }
    }
    const int home = enterNetns(segment);
    if (home < 0) {
        return fail("cannot enter the segment's namespace");
    }
    bool ok = false;
    {
        WindowOptions options;
        options.interface = QStringLiteral("seg0");
        options.intervalMs = 1000;
        MainWindow window(options);
        window.show();
        ok = QTest::qWaitFor([&] { return countState(window, WindowBoard::Present) == 5; }, 20000);
        // A board gets a second address (a new lease), another is switched off.
        ok = ok && boards[1].ns->ip({QStringLiteral("addr"), QStringLiteral("add"),
                                     QStringLiteral("192.0.2.102/24"), QStringLiteral("dev"),
                                     QStringLiteral("eth1")});
        boards[3].agent->stop();
        ok = ok && QTest::qWaitFor(
                       [&] {
                           return countState(window, WindowBoard::Changed) == 1 &&
                                  countState(window, WindowBoard::Gone) == 1;
                       },
                       20000);
        if (ok) {
            window.table()->resizeColumnsToContents();
            QTest::qWait(300); // a repaint under Xvfb, not a wait for the segment
            ok = window.grab().save(outDir + QStringLiteral("/l2station-gui.png"));
            window.selectBoard(QStringLiteral("mac:") + boards[1].mac());
            window.showDetails();
            auto *details = window.findChild<QDialog *>(QStringLiteral("details"));
            QTest::qWait(300);
            ok = ok && details != nullptr &&
                 details->grab().save(outDir + QStringLiteral("/l2station-gui-details.png"));
        } else {
            fail("the window did not show the demo's boards");
        }
    }
    leaveNetns(home);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: gui_screenshots OUTPUT_DIR\n");
        return 2;
    }
    return shoot(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
