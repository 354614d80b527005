// l2station-gui: the station's window on the boards of one segment.
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM (a logout, a kill) and SIGINT close the window as its Quit does: the history's
// session gets its end time, the layout is kept, running waits say how far they came.
void quitOnSignals(QApplication *app) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        return;
    }
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        QApplication::closeAllWindows();
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("l2station-gui"));
    QApplication::setApplicationVersion(QStringLiteral(L2_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("l2station-gui"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The l2station window: every l2agent board on the segment, live, with ping, reset and "
        "reset-and-wait per board, and a history of what was seen (shared with 'l2station "
        "watch' and 'l2station history'). Needs CAP_NET_RAW: sudo setcap cap_net_raw+ep "
        "/usr/bin/l2station-gui."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("i"), QStringLiteral("the interface on the boards' segment"),
                      QStringLiteral("IFACE")});
    parser.addOption({QStringLiteral("interval"),
                      QStringLiteral("between the starts of two rounds (default 2000)"),
                      QStringLiteral("MS"), QStringLiteral("2000")});
    parser.addOption({QStringLiteral("no-history"), QStringLiteral("keep nothing in the history")});
    parser.addOption({QStringLiteral("history"),
                      QStringLiteral("the history: a file, or a PostgreSQL database as a libpq URI "
                                     "(postgresql://host/db; its password from ~/.pgpass, never "
                                     "in the URI); default L2STATION_HISTORY, else the user's "
                                     "own file"),
                      QStringLiteral("PATH|URL")});
    parser.addOption({QStringLiteral("station-name"),
                      QStringLiteral("this station's name in the history (default: the host "
                                     "name)"),
                      QStringLiteral("NAME")});
    parser.addOption({QStringLiteral("key-file"),
                      QStringLiteral("prove resets with FILE's keys, and mark each board verified "
                                     "or not (FILE from 'l2station key new', its owner's alone)"),
                      QStringLiteral("FILE")});
    parser.process(app);
    WindowOptions options;
    options.interface = parser.value(QStringLiteral("i"));
    bool ok = false;
    options.intervalMs = parser.value(QStringLiteral("interval")).toInt(&ok);
    if (!ok || options.intervalMs < 200 || options.intervalMs > 3600000) {
        qCritical("l2station-gui: --interval takes milliseconds from 200 to 3600000");
        return 2;
    }
    options.keepHistory = !parser.isSet(QStringLiteral("no-history"));
    options.historyAt = parser.value(QStringLiteral("history"));
    options.stationName = parser.value(QStringLiteral("station-name")).trimmed();
    if ((parser.isSet(QStringLiteral("history")) && options.historyAt.isEmpty()) ||
        (parser.isSet(QStringLiteral("station-name")) && options.stationName.isEmpty())) {
        qCritical("l2station-gui: --history and --station-name take a value");
        return 2;
    }
    QString error;
    if (parser.isSet(QStringLiteral("key-file")) &&
        !keys::readKeyFile(parser.value(QStringLiteral("key-file")), &options.keys, &error)) {
        qCritical("l2station-gui: %s", qPrintable(error));
        return 2;
    }
    quitOnSignals(&app);
    MainWindow window(options);
    window.show();
    return app.exec();
}
