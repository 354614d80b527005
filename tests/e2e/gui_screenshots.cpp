// Pictures of the station's window for the README, made against a demo segment: five boards on
// a learning bridge (one at the shared address), then one gone and one changed. The window is
// shown as a user first sees it: its own size and column widths, fitted to the screen.
//   gui_screenshots OUTPUT_DIR [main|small|dark]   (by scripts/screenshots.sh, under Xvfb, as
//   root: "small" on a 1024x600 screen, "dark" with a dark palette and a reset in progress)
#include "mainwindow.h"
#include "netlab.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPalette>
#include <QScreen>
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

// A dark palette, as a desktop's dark theme gives the window.
QPalette darkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(45, 45, 48));
    p.setColor(QPalette::WindowText, QColor(230, 230, 230));
    p.setColor(QPalette::Base, QColor(30, 30, 30));
    p.setColor(QPalette::AlternateBase, QColor(40, 40, 44));
    p.setColor(QPalette::Text, QColor(230, 230, 230));
    p.setColor(QPalette::Button, QColor(55, 55, 60));
    p.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    p.setColor(QPalette::Highlight, QColor(38, 79, 120));
    p.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
    p.setColor(QPalette::ToolTipBase, QColor(60, 60, 60));
    p.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
    p.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(130, 130, 130));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(130, 130, 130));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(130, 130, 130));
    return p;
}

bool shoot(const QString &outDir, const QString &mode) {
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());
    // A first start: nothing remembered of an earlier window.
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
    if (mode == QLatin1String("dark")) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setPalette(darkPalette());
    }
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
        if (ok && mode != QLatin1String("main")) {
            if (mode == QLatin1String("dark")) {
                // A reset under way on its row, the table usable around it.
                window.setConfirm([](const QString &, const QString &) { return true; });
                window.selectBoard(QStringLiteral("mac:") + boards[2].mac());
                window.resetAndWaitSelected();
                ok = window.resetsRunning() == 1;
            }
            QTest::qWait(1500); // a round and a repaint under Xvfb, not a wait for the segment
            const QRect screen = window.screen()->availableGeometry();
            std::printf("%s: window %dx%d at %d,%d (frame %dx%d) on a screen of %dx%d\n",
                        qPrintable(mode), window.width(), window.height(), window.x(), window.y(),
                        window.frameGeometry().width(), window.frameGeometry().height(),
                        screen.width(), screen.height());
            ok = window.grab().save(outDir + QStringLiteral("/l2station-gui-%1.png").arg(mode));
        } else if (ok) {
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
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: gui_screenshots OUTPUT_DIR [main|small|dark]\n");
        return 2;
    }
    return shoot(QString::fromLocal8Bit(argv[1]),
                 argc == 3 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("main"))
               ? 0
               : 1;
}
