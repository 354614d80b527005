// Start-up and the supervision loop: find the interface, capture until the capture ends, wait
// for the network to change, pause, and try again, for ever.
#pragma once

#include "capture.h"
#include "linkstate.h"
#include "usage.h"

#include <QString>

#include <functional>

#include <pcap/pcap.h>

struct ArgsStr;
struct udev;

// Attempts begin at most this often. After a wait the pause is the whole of it, so that udev has
// settled a new interface; only when the served link itself came back up (the same interface,
// taken down and up) it is what is left of it since the attempt began, and a link that served
// for longer is served again at once.
constexpr int kRetryPauseMs = 3000;

// Collects the identity, then takes the interface name and the mode from the command line.
void initArgsStr(ArgsStr *args, const AgentCommandLine &line);

// How an attempt ended, from the open to the wait.
enum class AttemptEnd {
    NotFound,     // no interface of the served name is listed
    OpenFailed,   // it cannot be captured for a reason no change of the link mends
    LinkDown,     // it was down at the open, or was taken down or removed during the capture
    Renamed,      // the served interface took another name
    CaptureEnded, // libpcap ended the capture, or the capture could not go on
};

// Whether the network already changed, as the wait begins, since the attempt looked: an
// interface of the served name is listed now that was not (or another one, after a failure
// that only another interface mends), or the link whose capture could not start or ended is
// up under that name now: up again, back under its name, or re-created. The events of such a
// change came while nothing listened. Otherwise the wait blocks until the network changes:
// retrying an interface that cannot be captured would only fill the log.
bool changedSinceAttempt(AttemptEnd how, const ServedLink &seen, const ServedLink &now);

// What one attempt calls, replaceable so that tests can drive every path of the loop.
struct LoopOps {
    std::function<bool(QString interfaceName)> find;
    std::function<ServedLink(QString interfaceName)> look;
    std::function<OpenResult(pcap **handle, QString interfaceName, QString filter, int mtu)> open;
    std::function<ServeEnd(pcap **handle, ArgsStr *args, const ServedLink &opened)> serve;
    std::function<void(pcap *handle)> close;
    std::function<void(QString interfaceName, AttemptEnd how, const ServedLink &seen)> wait;
    std::function<void(int milliseconds)> pause;
    std::function<qint64()> clockMs; // a monotonic clock
};

// The real calls, on the run's udev context and link monitor.
LoopOps systemLoopOps(udev *context, LinkMonitor *monitor);

// The pause after the wait: kRetryPauseMs, or what is left of it since the attempt began when
// the attempt ended with the link down and `now` is that link (by index) up again.
int retryPauseMs(AttemptEnd how, const ServedLink &seen, const ServedLink &now, qint64 elapsedMs);

// One attempt of the supervision loop, the wait and the pause included.
void runAttempt(ArgsStr *args, const LoopOps &ops);

// The supervision loop, for ever.
[[noreturn]] void runAgent(ArgsStr *args);
