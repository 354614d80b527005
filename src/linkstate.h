// The agent's one view of the kernel's links (rtnetlink): link and address notifications,
// parsed and keyed by interface index with the name tracked, and the link's facts read afresh.
// It serves the wait between attempts, the capture's down, rename and MTU detection, and the
// address cache of the info reply. A link brought up sends no uevent, and a board may run no
// udevd at all, so udev alone cannot tell these.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One RTM_NEWLINK, RTM_DELLINK, RTM_NEWADDR or RTM_DELADDR notification.
struct LinkEvent {
    enum Kind { Link, LinkRemoved, Address } kind = Link;
    int index = 0;
    unsigned flags = 0; // IFF_* of the link (Link only)
    QString name;       // IFLA_IFNAME (Link, LinkRemoved)
    int mtu = 0;        // IFLA_MTU; 0 when not given
    bool up() const;
};

// The notifications in one rtnetlink datagram; other messages and malformed ones are skipped.
QList<LinkEvent> parseLinkMessages(QByteArray datagram);

// A socket subscribed to link and IPv4 address notifications, close-on-exec and non-blocking.
class LinkMonitor {
  public:
    LinkMonitor() = default;
    ~LinkMonitor();
    LinkMonitor(const LinkMonitor &) = delete;
    LinkMonitor &operator=(const LinkMonitor &) = delete;

    bool open();
    int fd() const {
        return fd_;
    }
    enum ReadResult {
        Complete, // every pending notification is in *events
        Lost,     // the kernel dropped some (ENOBUFS) or one was cut (MSG_TRUNC): read afresh
        Failed,   // the socket failed
    };
    // Reads every pending notification.
    ReadResult read(QList<LinkEvent> *events);

  private:
    int fd_ = -1;
};

// What the kernel says of an interface now.
struct LinkFacts {
    int index = 0; // 0: no such interface
    QString name;
    bool up = false; // administratively up
    int mtu = 0;
};
LinkFacts linkFacts(QString interfaceName);
int linkIndex(QString interfaceName); // 0 when there is no such interface
QString linkName(int index);          // empty when there is no such interface

// The link a capture serves, followed through notifications by its index.
struct ServedLink {
    int index = 0;
    QString name; // its current name
    bool up = true;
    int mtu = 0;
    bool removed = false;
};
enum class LinkVerdict { Serving, Down, Renamed, Removed, MtuChanged };
// Applies a batch of notifications: the latest state of the served index counts, so a link
// taken down and up again within one batch is still served. `servedName` is the name the
// capture was opened on.
LinkVerdict followServedLink(ServedLink *link, const QList<LinkEvent> &events,
                             const QString &servedName, int capturedMtu);

// Whether these notifications end the wait for `servedName`: the latest one for that name says
// it is up, and either the interface was listed when the wait began (index `indexAtStart`:
// present but down, so no uevent will come), or no udev daemon runs to announce a new one.
bool linkEndsWait(const QList<LinkEvent> &events, const QString &servedName, int indexAtStart,
                  bool udevRunning);

// Whether any of these notifications may change the board's address list.
bool addressesMayHaveChanged(const QList<LinkEvent> &events);

// A udev daemon runs when its control socket exists, as udevadm settle and libudev's own
// users decide; events of a new interface then come from udev.
extern const char *const kUdevControlPath; // "/run/udev/control"
bool udevRunning();
