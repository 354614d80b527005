// l2agent: answers service frames from the station on one interface, for ever.
#include "args_str.h"
#include "process.h"
#include "supervisor.h"

int main(int argc, char **argv) {
    guardStandardDescriptors(); // before anything opens a descriptor
    const AgentCommandLine line = readAgentCommandLine(argc, argv);
    if (line.exitStatus >= 0) {
        return line.exitStatus;
    }
    ArgsStr args;
    initArgsStr(&args, line);
    runAgent(&args);
}
