// l2station: the service station's tool to find, query, ping and reset l2agent boards.
#include "commands.h"

#include <QCoreApplication>

int main(int argc, char **argv) {
    // QCommandLineParser's help needs the application object.
    QCoreApplication app(argc, argv);
    return stationMain(argc, argv);
}
