// Start-up and one attempt of the supervision loop.
#include "supervisor.h"

#include "args_str.h"
#include "capture.h"
#include "identity.h"
#include "linkstate.h"
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

bool changedSinceAttempt(AttemptEnd how, int indexSeen, const LinkFacts &now) {
    if (now.index != 0 && now.index != indexSeen) {
        return true;
    }
    return how == AttemptEnd::LinkChanged && now.index != 0 && now.up;
}

int waitAfterAttempt(QString interfaceName, AttemptEnd how, int indexSeen) {
    return waitForNetworkChange(interfaceName, [&] {
        return changedSinceAttempt(how, indexSeen, linkFacts(interfaceName));
    });
}

LoopOps systemLoopOps() {
    return LoopOps{pcap_find,  linkIndex,  pcap_init,        openFoundLinkDown,
                   pcap_serve, pcap_close, waitAfterAttempt, sleep};
}

void runAttempt(ArgsStr *args, const LoopOps &ops) {
    pcap *handle = nullptr;
    AttemptEnd end = AttemptEnd::CaptureEnded;
    int index = 0;
    if (!ops.find(args->interfaceName)) {
        qDebug() << QStringLiteral("could not find device '%1'").arg(args->interfaceName);
        end = AttemptEnd::NotFound;
    } else {
        index = ops.indexOf(args->interfaceName);
        if (!ops.open(&handle, args->interfaceName, wire::requestFilter())) {
            qDebug() << "pcap_init failed";
            end = ops.openFoundLinkDown() ? AttemptEnd::LinkChanged : AttemptEnd::OpenFailed;
        } else {
            // Only a capture whose filter is installed is ever handed to the frame handler.
            args->pcapHandle = handle;
            qDebug() << QStringLiteral("start '%1' dump").arg(args->interfaceName);
            // Returns only when the capture ends: the interface was removed, renamed, taken
            // down or given another MTU.
            const int served = ops.dispatch(handle, args->interfaceName, on_handle_pkt,
                                            reinterpret_cast<u_char *>(args));
            qDebug() << QStringLiteral("stop '%1' dump").arg(args->interfaceName);
            ops.close(handle);
            if (served == ServeLinkDown || served == ServeMtuChanged) {
                end = AttemptEnd::LinkChanged;
            }
        }
    }
    ops.waitForChange(args->interfaceName, end, index);
    ops.pause(kRetryPauseSeconds);
}
