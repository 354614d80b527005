// Start-up and one attempt of the supervision loop.
#include "supervisor.h"

#include "args_str.h"
#include "framelog.h"
#include "guard.h"
#include "identity.h"
#include "netwatch.h"
#include "process.h"
#include "protocol.h"
#include "usage.h"
#include "wire.h"

#include <QDebug>
#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <memory>

#ifdef L2_UDEV
#include <libudev.h>
#endif
#include <ctime>
#include <unistd.h>

void initArgsStr(ArgsStr *args, const AgentCommandLine &line) {
    args->hardId = getHardId();
    args->deviceId = getDeviceId();
    initDeviceInfo(args);
    args->interfaceName = line.interfaceName;
    args->boardAddress = line.boardAddress;
    if (args->boardAddress) {
        args->bootId = getBootId();
        args->startId = newStartId();
        // What stations compare to tell a restart, so that the log shows which run this is.
        qDebug() << QStringLiteral("board-address mode: boot %1, start %2")
                        .arg(args->bootId, args->startId);
    }
    if (!line.keys.isEmpty()) {
        QStringList ids;
        for (const keys::Key &key : line.keys) {
            ids.append(key.id);
        }
        // The ids only: key material never reaches the log.
        qDebug() << QStringLiteral("resets need a key: %1 from %2")
                        .arg(ids.join(QStringLiteral(", ")), line.keyFile);
        args->guard = std::make_shared<ResetGuard>(line.keys);
    }
}

bool changedSinceAttempt(AttemptEnd how, const ServedLink &seen, const ServedLink &now) {
    if (now.index == 0 || now.removed) {
        return false;
    }
    switch (how) {
    case AttemptEnd::NotFound:
        return true;
    case AttemptEnd::OpenFailed:
        return now.index != seen.index;
    case AttemptEnd::LinkDown:
    case AttemptEnd::Renamed:
    case AttemptEnd::CaptureEnded:
        return now.up;
    }
    return false;
}

LoopOps systemLoopOps(udev *context, LinkMonitor *monitor) {
    LoopOps ops;
    ops.find = pcap_find;
    ops.look = [](QString interfaceName) { return lookUpLink(interfaceName); };
    ops.open = [](pcap **handle, QString interfaceName, QString filter, int mtu) {
        return openCapture(handle, interfaceName, filter, mtu);
    };
    ops.serve = [monitor](pcap **handle, ArgsStr *args, const ServedLink &opened) {
        return pcap_serve(handle, args, opened, monitor);
    };
    ops.close = pcap_close;
    ops.wait = [context, monitor](QString interfaceName, AttemptEnd how, const ServedLink &seen) {
        waitForNetworkChange(context, monitor, interfaceName, [&] {
            return changedSinceAttempt(how, seen, lookUpLink(interfaceName));
        });
    };
    ops.pause = [](int milliseconds) {
        flushLog(); // nothing waits in the buffer while the agent sleeps
        // A stop signal cuts the sleep short, and is honoured at once.
        const timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        honourStopRequest();
    };
    const auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    ops.clockMs = [clock] { return clock->elapsed(); };
    return ops;
}

namespace {

// Opens the capture, serves it until it ends, and closes it.
AttemptEnd capture(ArgsStr *args, const LoopOps &ops, const ServedLink &seen) {
    const QString name = args->interfaceName;
    if (args->boardAddress) {
        if (seen.mac.size() != wire::kAddressLen) {
            qDebug() << QStringLiteral("no hardware address on '%1' to serve at").arg(name);
            return AttemptEnd::OpenFailed;
        }
        args->boardMac = seen.mac;
    }
    pcap *handle = nullptr;
    const OpenResult opened = ops.open(&handle, name, captureFilter(*args), seen.mtu);
    if (opened != OpenResult::Open) {
        qDebug() << "pcap_init failed";
        return opened == OpenResult::NotUp ? AttemptEnd::LinkDown : AttemptEnd::OpenFailed;
    }
    // Only a capture whose filter is installed is ever handed to the frame handler.
    args->pcapHandle = handle;
    qDebug() << QStringLiteral("start '%1' dump").arg(name);
    if (args->boardAddress) {
        qDebug() << QStringLiteral("serving '%1' at %2 and %3")
                        .arg(name, macBytes2String(args->boardMac),
                             macBytes2String(wire::groupMac()));
    }
    // Returns only when the capture ends: the interface was removed, renamed or taken down.
    const ServeEnd served = ops.serve(&handle, args, seen);
    qDebug() << QStringLiteral("stop '%1' dump").arg(name);
    ops.close(handle);
    args->pcapHandle = nullptr;
    switch (served) {
    case ServeEnd::LinkDown:
        return AttemptEnd::LinkDown;
    case ServeEnd::Renamed:
        return AttemptEnd::Renamed;
    case ServeEnd::Ended:
        break;
    }
    return AttemptEnd::CaptureEnded;
}

} // namespace

int retryPauseMs(AttemptEnd how, const ServedLink &seen, const ServedLink &now, qint64 elapsedMs) {
    const bool cameBack = how == AttemptEnd::LinkDown && seen.index != 0 &&
                          now.index == seen.index && !now.removed && now.up;
    if (!cameBack) {
        return kRetryPauseMs;
    }
    return static_cast<int>(qBound(qint64(0), kRetryPauseMs - elapsedMs, qint64(kRetryPauseMs)));
}

void runAttempt(ArgsStr *args, const LoopOps &ops) {
    const QString name = args->interfaceName;
    const qint64 began = ops.clockMs();
    AttemptEnd end = AttemptEnd::NotFound;
    ServedLink seen;
    if (!ops.find(name)) {
        qDebug() << QStringLiteral("could not find device '%1'").arg(name);
    } else {
        seen = ops.look(name);
        end = capture(args, ops, seen);
    }
    ops.wait(name, end, seen);
    const ServedLink now = end == AttemptEnd::LinkDown ? ops.look(name) : ServedLink();
    ops.pause(retryPauseMs(end, seen, now, ops.clockMs() - began));
}

void runAgent(ArgsStr *args) {
    ignoreSigpipe();
    startAgentLog();
    // One socket for the whole run: a change between a capture and the wait that follows it
    // waits in it rather than falling between two.
    LinkMonitor monitor;
    if (!monitor.open()) {
        qDebug() << QStringLiteral("link notifications unavailable: %1: a link taken down or "
                                   "renamed is noticed only when libpcap or udev says so")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
#ifdef L2_UDEV
    // One context for the whole run; each wait makes a monitor of its own.
    udev *context = udev_new();
#else
    udev *context = nullptr;
#endif
    const LoopOps ops = systemLoopOps(context, &monitor);
    for (;;) {
        runAttempt(args, ops);
    }
}
