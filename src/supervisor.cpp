// Start-up and one attempt of the supervision loop.
#include "supervisor.h"

#include "args_str.h"
#include "capture.h"
#include "identity.h"
#include "netwatch.h"
#include "protocol.h"
#include "wire.h"

#include <QDebug>

#include <unistd.h>

const char *const kDefaultInterface = "eth1";

QString interfaceFromArgs(int argc, char **argv) {
    return argc < 2 ? QString::fromLatin1(kDefaultInterface) : QString::fromUtf8(argv[1]);
}

void initArgsStr(ArgsStr *args, int argc, char **argv) {
    args->hardId = getHardId();
    args->deviceId = getDeviceId();
    initDeviceInfo(args);
    args->interfaceName = interfaceFromArgs(argc, argv);
}

int waitAfterAttempt(QString interfaceName, AttemptEnd) {
    // However the attempt ended, the interface may have come back or up since: an open that
    // failed because the link was down must not miss the link coming up a moment later.
    return waitUntilServable(interfaceName);
}

LoopOps systemLoopOps() {
    return LoopOps{pcap_find, pcap_init, pcap_serve, pcap_close, waitAfterAttempt, sleep};
}

void runAttempt(ArgsStr *args, const LoopOps &ops) {
    pcap *handle = nullptr;
    AttemptEnd end = AttemptEnd::CaptureEnded;
    if (!ops.find(args->interfaceName)) {
        qDebug() << QStringLiteral("could not find device '%1'").arg(args->interfaceName);
        end = AttemptEnd::NotFound;
    } else if (!ops.open(&handle, args->interfaceName, wire::requestFilter())) {
        qDebug() << "pcap_init failed";
        end = AttemptEnd::OpenFailed;
    } else {
        // Only a capture whose filter is installed is ever handed to the frame handler.
        args->pcapHandle = handle;
        qDebug() << QStringLiteral("start '%1' dump").arg(args->interfaceName);
        // Returns only when the capture ends: the interface was removed or taken down.
        ops.dispatch(handle, args->interfaceName, on_handle_pkt, reinterpret_cast<u_char *>(args));
        qDebug() << QStringLiteral("stop '%1' dump").arg(args->interfaceName);
        ops.close(handle);
    }
    ops.waitForChange(args->interfaceName, end);
    ops.pause(kRetryPauseSeconds);
}
