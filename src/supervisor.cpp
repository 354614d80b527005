// Start-up and one attempt of the supervision loop.
#include "supervisor.h"

#include "args_str.h"
#include "capture.h"
#include "identity.h"
#include "netwatch.h"
#include "protocol.h"

#include <QDebug>

#include <unistd.h>

const char *const kDefaultInterface = "eth1";
const char *const kServiceFilter = "ether src 00:11:22:33:44:55 and ether dst 66:77:88:99:AA:BB";

QString interfaceFromArgs(int argc, char **argv) {
    return argc < 2 ? QString::fromLatin1(kDefaultInterface) : QString::fromUtf8(argv[1]);
}

void initArgsStr(ArgsStr *args, int argc, char **argv) {
    args->hardId = getHardId();
    args->deviceId = getDeviceId();
    initDeviceInfo(args);
    args->interfaceName = interfaceFromArgs(argc, argv);
}

int waitAfterAttempt(QString interfaceName, AttemptEnd how) {
    if (how == AttemptEnd::OpenFailed) {
        // The interface is there but cannot be captured: only a change can help.
        return wait_device_receive();
    }
    return waitUnlessPresent(interfaceName);
}

LoopOps systemLoopOps() {
    return LoopOps{pcap_find, pcap_init, pcap_loop, pcap_close, waitAfterAttempt, sleep};
}

void runAttempt(ArgsStr *args, const LoopOps &ops) {
    pcap *handle = nullptr;
    AttemptEnd end = AttemptEnd::CaptureEnded;
    if (!ops.find(args->interfaceName)) {
        qDebug() << QStringLiteral("could not find device '%1'").arg(args->interfaceName);
        end = AttemptEnd::NotFound;
    } else if (!ops.open(&handle, args->interfaceName, QString::fromLatin1(kServiceFilter))) {
        qDebug() << "pcap_init failed";
        end = AttemptEnd::OpenFailed;
    } else {
        // Only a capture whose filter is installed is ever handed to the frame handler.
        args->pcapHandle = handle;
        qDebug() << QStringLiteral("start '%1' dump").arg(args->interfaceName);
        // Returns only when libpcap ends the capture, e.g. when the interface is removed.
        ops.dispatch(handle, 0, on_handle_pkt, reinterpret_cast<u_char *>(args));
        qDebug() << QStringLiteral("stop '%1' dump").arg(args->interfaceName);
        ops.close(handle);
    }
    ops.waitForChange(args->interfaceName, end);
    ops.pause(kRetryPauseSeconds);
}
