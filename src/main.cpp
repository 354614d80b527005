// l2agent: answers service frames from the station on one interface, for ever.
#include "args_str.h"
#include "framelog.h"
#include "process.h"
#include "supervisor.h"
#include "usage.h"

int main(int argc, char **argv) {
    if (handleInfoOptions(argc, argv)) {
        return 0;
    }
    ignoreSigpipe();
    enableBatchedFrameLog();
    ArgsStr args;
    initArgsStr(&args, argc, argv);
    const LoopOps ops = systemLoopOps();
    for (;;) {
        runAttempt(&args, ops);
    }
}
