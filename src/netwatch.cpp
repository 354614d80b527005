// The network change watcher on libudev.
#include "netwatch.h"

#include "linkstate.h"

#include <QDebug>

#include <libudev.h>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

int selectForever(int nfds, fd_set *readSet) {
    return select(nfds, readSet, nullptr, nullptr, nullptr);
}

} // namespace

WatchOps systemWatchOps() {
    return WatchOps{getuid,
                    udev_monitor_new_from_netlink,
                    udev_monitor_enable_receiving,
                    udev_monitor_get_fd,
                    selectForever,
                    udev_monitor_receive_device};
}

bool isNetworkSubsystem(QString subsystem) {
    return subsystem.indexOf(QLatin1String("net"), 0, Qt::CaseSensitive) != -1;
}

bool is_net_work_device_changed(udev_device *device) {
    return isNetworkSubsystem(QString::fromUtf8(udev_device_get_subsystem(device)));
}

void print_device(udev_device *device, bool withProperties) {
    // A missing value streams as an empty text, so the separators stay in place.
    qDebug() << udev_device_get_action(device) << udev_device_get_devpath(device)
             << udev_device_get_subsystem(device);
    if (!withProperties) {
        return;
    }
    for (udev_list_entry *entry = udev_device_get_properties_list_entry(device); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        qDebug() << udev_list_entry_get_name(entry) << udev_list_entry_get_value(entry);
    }
}

namespace {

// Whether the link's notifications end the wait (see LinkWatch); when some were lost, the
// link itself says.
bool servedLinkCameUp(const LinkWatch &link) {
    QList<LinkEvent> events;
    if (link.monitor->read(&events) != LinkMonitor::Complete) {
        const LinkFacts now = linkFacts(link.interfaceName);
        return now.up &&
               ((link.indexAtStart != 0 && now.index == link.indexAtStart) || !link.udevRunning);
    }
    return linkEndsWait(events, link.interfaceName, link.indexAtStart, link.udevRunning);
}

} // namespace

int udevadm_monitor_with(udev *context, const WatchOps &ops,
                         const std::function<bool()> &changedMeanwhile, LinkWatch link) {
    int result = WatchNetworkChanged;
    udev_monitor *monitor = nullptr;
    if (ops.getUid() != 0) {
        qDebug() << "getuid error"
                 << "root privileges needed to subscribe to kernel events";
    } else {
        std::puts("monitor will print the received events.");
        std::fflush(stdout);
        monitor = ops.newMonitor(context, "udev");
        if (monitor == nullptr) {
            qDebug() << "udev_monitor_new_from_netlink error";
            result = WatchMonitorFailed;
        } else if (ops.enableReceiving(monitor) < 0) {
            qDebug() << "udev_monitor_enable_receiving error";
            result = WatchEnableFailed;
        } else {
            qDebug() << "start the kernel uevent";
            const int fd = ops.getFd(monitor);
            // Asked only now that the monitor listens, so no change can fall between the
            // answer and the first event.
            const bool missed = changedMeanwhile && changedMeanwhile();
            if (missed) {
                qDebug() << "network changed before the watch began";
            }
            while (!missed) {
                fd_set readSet;
                FD_ZERO(&readSet);
                FD_SET(fd, &readSet);
                const int linkFd = link.monitor != nullptr ? link.monitor->fd() : -1;
                if (linkFd >= 0) {
                    FD_SET(linkFd, &readSet);
                }
                if (ops.waitReadable(qMax(fd, linkFd) + 1, &readSet) < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    // Retrying a select that keeps failing would spin a core and flood the
                    // log; end the watch so the supervision loop pauses and starts afresh.
                    qDebug() << "udev_monitor_get_fd error"
                             << "receiving uevent message";
                    result = WatchSelectFailed;
                    break;
                }
                if (linkFd >= 0 && FD_ISSET(linkFd, &readSet) && servedLinkCameUp(link)) {
                    // No uevent says so when a link is brought up, nor without a udevd.
                    qDebug() << QStringLiteral("link '%1' up").arg(link.interfaceName);
                    break;
                }
                if (!FD_ISSET(fd, &readSet)) {
                    continue;
                }
                udev_device *device = ops.receiveDevice(monitor);
                if (device == nullptr) {
                    continue;
                }
                print_device(device, false);
                const bool changed = is_net_work_device_changed(device);
                if (changed) {
                    qDebug() << "network changed";
                }
                udev_device_unref(device);
                if (changed) {
                    break;
                }
            }
        }
    }
    qDebug() << "stop the kernel uevent";
    if (monitor != nullptr) {
        udev_monitor_unref(monitor);
    }
    return result;
}

int udevadm_monitor(udev *context) {
    return udevadm_monitor_with(context, systemWatchOps());
}

namespace {

// One watch on a context of its own, released afterwards so that a process that runs for
// years does not collect one per attempt.
void watchOnce(const std::function<bool()> &changedMeanwhile, LinkWatch link = {}) {
    udev *context = udev_new();
    udevadm_monitor_with(context, systemWatchOps(), changedMeanwhile, link);
    udev_unref(context);
}

} // namespace

int waitForNetworkChange(QString interfaceName, const std::function<bool()> &changedSinceAttempt) {
    // Subscribed before anything is asked of the link, so that no change falls between the
    // answer and the first notification.
    LinkMonitor monitor;
    LinkWatch link;
    if (monitor.open()) {
        link.monitor = &monitor;
    }
    link.interfaceName = interfaceName;
    link.indexAtStart = linkIndex(interfaceName);
    link.udevRunning = udevRunning();
    watchOnce(changedSinceAttempt, link);
    return 1;
}

int wait_device_receive() {
    watchOnce({});
    return 1;
}
