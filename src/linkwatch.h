// Kernel link notifications (rtnetlink): they see an interface come up or appear when udev
// says nothing (a link brought up sends no uevent, and a board may run no udevd at all).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One RTM_NEWLINK or RTM_DELLINK notification.
struct LinkEvent {
    bool removed = false; // RTM_DELLINK
    int index = 0;
    unsigned flags = 0; // IFF_* of the link
    QString name;
    bool up() const;
};

// The link notifications in one rtnetlink datagram; other messages and malformed ones are
// skipped.
QList<LinkEvent> parseLinkMessages(QByteArray datagram);

// A socket subscribed to link notifications, close-on-exec and non-blocking; -1 on failure.
int openLinkMonitor();

// Reads every pending notification into *events. False when the kernel dropped some (the
// socket overflowed) or the socket failed: the caller must then look at the link itself.
bool readLinkEvents(int fd, QList<LinkEvent> *events);

// Whether the interface exists and is administratively up.
bool linkIsUp(QString interfaceName);
int linkIndex(QString interfaceName); // 0 when there is no such interface
