// The network change watcher on libudev, with the served link's notifications beside it.
#include "netwatch.h"

#include "framelog.h"

#include <QDebug>
#include <QElapsedTimer>

#ifdef L2_UDEV
#include <libudev.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

bool isNetworkSubsystem(QString subsystem) {
    return subsystem.indexOf(QLatin1String("net"), 0, Qt::CaseSensitive) != -1;
}

LinkWake wakeFromLink(bool lost, const QList<LinkEvent> &events,
                      const std::function<ServedLink()> &lookUp, const LinkWatch &watch) {
    if (lost) {
        return linkWakesWait(lookUp(), watch.atStart, watch.udevAlive);
    }
    return linkWakesWait(events, watch.interfaceName, watch.atStart, watch.udevAlive);
}

namespace {

// Reads the link's notifications for the wait.
LinkWake readLinkWake(const LinkWatch &link) {
    QList<LinkEvent> events;
    const bool lost = link.monitor->read(&events) == LinkMonitor::Lost;
    return wakeFromLink(
        lost, events, [&] { return lookUpLink(link.interfaceName); }, link);
}

} // namespace

#ifdef L2_UDEV

WatchOps systemWatchOps() {
    return WatchOps{
        getuid,
        udev_monitor_new_from_netlink,
        udev_monitor_enable_receiving,
        udev_monitor_get_fd,
        [](pollfd *fds, nfds_t count, int timeoutMs) { return poll(fds, count, timeoutMs); },
        udev_monitor_receive_device};
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

int udevadm_monitor_with(udev *context, const WatchOps &ops,
                         const std::function<bool()> &changedMeanwhile, LinkWatch link) {
    int result = WatchNetworkChanged;
    udev_monitor *monitor = nullptr;
    if (ops.getUid() != 0) {
        qDebug() << "getuid error"
                 << "root privileges needed to subscribe to kernel events";
    } else {
        flushLog();
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
            // Asked only now that the monitor listens, so no change can fall between the
            // answer and the first event.
            const bool missed = changedMeanwhile && changedMeanwhile();
            if (missed) {
                qDebug() << "network changed before the watch began";
            }
            enum Slot { UdevSlot, LinkSlot, SlotCount };
            // Set once the link showed a new interface that udev has yet to announce.
            QElapsedTimer udevGrace;
            bool done = missed;
            while (!done) {
                pollfd fds[SlotCount] = {
                    {ops.getFd(monitor), POLLIN, 0},
                    {link.monitor != nullptr ? link.monitor->fd() : -1, POLLIN, 0}};
                const int timeout = udevGrace.isValid()
                                        ? int(qMax<qint64>(0, kUdevGraceMs - udevGrace.elapsed()))
                                        : -1;
                flushLog(); // nothing waits in the buffer while the agent sleeps
                const int ready = ops.waitReadable(fds, SlotCount, timeout);
                if (ready < 0) {
                    if (errno == EINTR) {
                        honourStopRequest();
                        continue;
                    }
                    // Retrying a wait that keeps failing would spin a core and flood the log;
                    // end the watch so the supervision loop pauses and starts afresh.
                    qDebug() << "udev_monitor_get_fd error"
                             << "receiving uevent message";
                    result = WatchPollFailed;
                    break;
                }
                if (ready == 0 && udevGrace.isValid()) {
                    // udev did not announce it in time; the link's own word ends the wait.
                    udevGrace.invalidate();
                    if (linkWakesWait(lookUpLink(link.interfaceName), link.atStart, false) ==
                        LinkWake::Now) {
                        qDebug() << QStringLiteral("link '%1' up").arg(link.interfaceName);
                        break;
                    }
                    continue;
                }
                if (fds[LinkSlot].revents != 0) {
                    const LinkWake wake = readLinkWake(link);
                    if (wake == LinkWake::Now) {
                        // No uevent says so when a link is brought up, nor without a udevd.
                        qDebug() << QStringLiteral("link '%1' up").arg(link.interfaceName);
                        break;
                    }
                    if (wake == LinkWake::AfterUdev && !udevGrace.isValid()) {
                        udevGrace.start();
                    }
                }
                if (fds[UdevSlot].revents == 0) {
                    continue; // an error condition is read (and cleared) by the receive
                }
                udev_device *device = ops.receiveDevice(monitor);
                if (device == nullptr) {
                    continue;
                }
                print_device(device, false);
                done = is_net_work_device_changed(device);
                if (done) {
                    qDebug() << "network changed";
                }
                udev_device_unref(device);
            }
        }
    }
    qDebug() << "stop the kernel uevent";
    if (monitor != nullptr) {
        udev_monitor_unref(monitor);
    }
    return result;
}

#endif // L2_UDEV

int waitForLinkAlone(const LinkWatch &link, const std::function<bool()> &changedMeanwhile) {
    if (changedMeanwhile && changedMeanwhile()) {
        qDebug() << "network changed before the watch began";
        return WatchNetworkChanged;
    }
    if (link.monitor == nullptr) {
        // Nothing to wait on: the supervision loop's pause is all there is between attempts.
        return WatchNetworkChanged;
    }
    for (;;) {
        flushLog(); // nothing waits in the buffer while the agent sleeps
        pollfd readable{link.monitor->fd(), POLLIN, 0};
        if (poll(&readable, 1, -1) < 0) {
            if (errno == EINTR) {
                honourStopRequest();
                continue;
            }
            qDebug() << QStringLiteral("the wait failed: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return WatchPollFailed;
        }
        if (readLinkWake(link) == LinkWake::Now) {
            qDebug() << QStringLiteral("link '%1' up").arg(link.interfaceName);
            return WatchNetworkChanged;
        }
    }
}

void waitForNetworkChange(udev *context, LinkMonitor *monitor, const QString &interfaceName,
                          const std::function<bool()> &changedSinceAttempt) {
    LinkWatch link;
    if (monitor != nullptr && monitor->isOpen()) {
        link.monitor = monitor;
    }
    link.interfaceName = interfaceName;
    link.atStart = lookUpLink(interfaceName);
#ifdef L2_UDEV
    link.udevAlive = udevAlive();
    udevadm_monitor_with(context, systemWatchOps(), changedSinceAttempt, link);
#else
    Q_UNUSED(context);
    link.udevAlive = false; // nothing announces a new interface but its own notification
    waitForLinkAlone(link, changedSinceAttempt);
#endif
}
