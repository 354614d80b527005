// Waiting for udev to report a change of a network-class device between capture attempts.
#pragma once

#include <QString>

#include <functional>

#include <sys/select.h>
#include <sys/types.h>

struct udev;
struct udev_device;
struct udev_monitor;

// Results of one watch.
enum WatchResult {
    WatchNetworkChanged = 0, // a network-class device changed, or the user is not root
    WatchMonitorFailed = 3,  // the udev monitor could not be made
    WatchEnableFailed = 4,   // receiving could not be enabled
    WatchSelectFailed = 5,   // select failed for a cause other than a signal
};

// Makes a udev context, runs one watch on it, releases it; always returns 1.
int wait_device_receive();

// One whole watch: user test, monitor, wait for a network-class event, tear-down.
int udevadm_monitor(udev *context);

// Logs action, device path and subsystem; with `withProperties`, every property too.
void print_device(udev_device *device, bool withProperties);

// True when the device's subsystem name contains "net".
bool is_net_work_device_changed(udev_device *device);
bool isNetworkSubsystem(QString subsystem);

// The system calls a watch makes, replaceable so that tests can reach the failure paths.
struct WatchOps {
    uid_t (*getUid)();
    udev_monitor *(*newMonitor)(udev *context, const char *name);
    int (*enableReceiving)(udev_monitor *monitor);
    int (*getFd)(udev_monitor *monitor);
    int (*waitReadable)(int nfds, fd_set *readSet); // select without a time-out
    udev_device *(*receiveDevice)(udev_monitor *monitor);
};

WatchOps systemWatchOps();

class LinkMonitor;

// The served interface's link notifications (see linkstate.h), read in the same wait as
// udev's events. They end the wait only where udev says nothing: for an interface that was
// listed when the wait began (brought up, no uevent), or when no udev daemon runs.
struct LinkWatch {
    LinkMonitor *monitor = nullptr; // none: udev alone
    QString interfaceName;
    int indexAtStart = 0; // 0: not listed when the wait began
    bool udevRunning = true;
};

// A watch sees only events that come after its monitor listens. `changedMeanwhile`, when given,
// is asked once at that moment: true means the network already changed since the caller last
// looked, and the watch ends at once instead of waiting for an event that has gone by.
int udevadm_monitor_with(udev *context, const WatchOps &ops,
                         const std::function<bool()> &changedMeanwhile = {}, LinkWatch link = {});

// The wait between attempts for the served interface: udev's events and the link's
// notifications as above; ends at once when `changedSinceAttempt` says so once the watch
// listens. Always returns 1.
int waitForNetworkChange(QString interfaceName, const std::function<bool()> &changedSinceAttempt);
