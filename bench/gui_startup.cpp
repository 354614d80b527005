// How fast the station's window starts and lists a segment, and what it holds then: run on the
// station's side of a segment (bench/gui-scale.sh), offscreen.
//   gui_startup IFACE BOARDS
#include "mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <cstdio>

namespace {

// The process's resident memory now (VmRSS), in KiB.
long rssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    return -1;
}

} // namespace

int main(int argc, char **argv) {
    QElapsedTimer clock;
    clock.start();
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: gui_startup IFACE BOARDS\n");
        return 2;
    }
    const int boards = QByteArray(argv[2]).toInt();
    WindowOptions options;
    options.interface = QString::fromLocal8Bit(argv[1]);
    MainWindow window(options);
    window.show();
    const bool exposed = QTest::qWaitForWindowExposed(&window);
    const qint64 shown = clock.elapsed();
    const bool listed = QTest::qWaitFor(
        [&] { return window.rounds() > 0 && window.boards().rowCount() >= boards; }, 30000);
    const qint64 all = clock.elapsed();
    const long rssListed = rssKiB();
    // A few more rounds: what it holds once it runs.
    const bool ran = QTest::qWaitFor([&] { return window.rounds() >= 5; }, 30000);
    std::printf("window shown after %lld ms; %d of %d boards listed after %lld ms (first round); "
                "RSS %ld KiB then, %ld KiB after %d rounds\n",
                static_cast<long long>(shown), window.boards().rowCount(), boards,
                static_cast<long long>(all), rssListed, rssKiB(), window.rounds());
    return exposed && listed && ran ? 0 : 1;
}
