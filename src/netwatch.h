// Waiting between capture attempts: udev's events of network-class devices, and the served
// link's own notifications where udev says nothing.
#pragma once

#include "linkstate.h"

#include <QList>
#include <QString>

#include <functional>

#include <poll.h>
#include <sys/types.h>

struct udev;
struct udev_device;
struct udev_monitor;

// Results of one watch. (A build with L2_UDEV off has no udev watch: the declarations marked
// below are left out, and the wait is waitForLinkAlone.)
enum WatchResult {
    WatchNetworkChanged = 0, // a network-class device changed, or the user is not root
    WatchMonitorFailed = 3,  // the udev monitor could not be made
    WatchEnableFailed = 4,   // receiving could not be enabled
    WatchPollFailed = 5,     // the wait failed for a cause other than a signal
};

#ifdef L2_UDEV
// Logs action, device path and subsystem; with `withProperties`, every property too.
void print_device(udev_device *device, bool withProperties);

// True when the device's subsystem name contains "net".
bool is_net_work_device_changed(udev_device *device);
#endif // L2_UDEV
bool isNetworkSubsystem(QString subsystem);

#ifdef L2_UDEV
// The system calls a watch makes, replaceable so that tests can reach the failure paths.
struct WatchOps {
    uid_t (*getUid)();
    udev_monitor *(*newMonitor)(udev *context, const char *name);
    int (*enableReceiving)(udev_monitor *monitor);
    int (*getFd)(udev_monitor *monitor);
    int (*waitReadable)(pollfd *fds, nfds_t count, int timeoutMs); // poll
    udev_device *(*receiveDevice)(udev_monitor *monitor);
};

WatchOps systemWatchOps();
#endif // L2_UDEV

// How long the wait gives udev to announce an interface that the link's notifications have
// already shown up; after that the notification alone ends the wait (a udevd that hangs).
constexpr int kUdevGraceMs = 3000;

// The served interface's link notifications, read in the same wait as udev's events.
struct LinkWatch {
    LinkMonitor *monitor = nullptr; // none: udev alone
    QString interfaceName;
    ServedLink atStart; // the link of that name when the wait began (index 0: none)
    bool udevAlive = true;
};

// What the link's notifications say for the wait (see linkWakesWait); when some were lost,
// `lookUp` tells where the link stands now.
LinkWake wakeFromLink(bool lost, const QList<LinkEvent> &events,
                      const std::function<ServedLink()> &lookUp, const LinkWatch &watch);

#ifdef L2_UDEV
// A watch sees only events that come after its monitor listens. `changedMeanwhile`, when given,
// is asked once at that moment: true means the network already changed since the caller last
// looked, and the watch ends at once instead of waiting for an event that has gone by.
int udevadm_monitor_with(udev *context, const WatchOps &ops,
                         const std::function<bool()> &changedMeanwhile = {}, LinkWatch link = {});
#endif

// The wait of a build without libudev (L2_UDEV off): the link's notifications alone, with none
// of udev's lines; `changedMeanwhile` as above.
int waitForLinkAlone(const LinkWatch &link, const std::function<bool()> &changedMeanwhile);

// The wait between attempts for the served interface, on the run's udev context and link
// monitor: udev's events and the link's notifications as above; ends at once when
// `changedSinceAttempt` says so once the watch listens.
void waitForNetworkChange(udev *context, LinkMonitor *monitor, const QString &interfaceName,
                          const std::function<bool()> &changedSinceAttempt);
