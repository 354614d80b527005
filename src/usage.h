// The agent's command line: the interface, board-address mode, help and version.
#pragma once

#include "keys.h"

#include <QString>
#include <QStringList>

extern const char *const kDefaultInterface; // "eth1"

// [--board-address] [INTERFACE]. Options come before the interface: from the first argument on
// every word is an argument, and only the first one counts; "--" ends the options, for an
// interface whose name begins with "-".
struct AgentCommandLine {
    QString interfaceName;
    bool boardAddress = false;
    QString keyFile; // --key-file, read and checked
    QList<keys::Key> keys;
    int exitStatus = -1; // >= 0: help, the version or a usage error was printed; exit with it
};
// `args` without the program's name. Prints what --help, --version or an error asks for.
AgentCommandLine readAgentCommandLine(const QStringList &args);
AgentCommandLine readAgentCommandLine(int argc, char **argv);
QString agentUsage();
