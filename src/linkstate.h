// The agent's one view of the kernel's links (rtnetlink): link and address notifications,
// parsed and keyed by interface index with the name tracked, and the one answer to "where does
// the served link stand". A link brought up sends no uevent, and a board may run no udevd at
// all, so udev alone cannot tell these.
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
    QByteArray mac;     // IFLA_ADDRESS; empty when not given
    // Administratively up: only a link notification says so.
    bool up() const;
};

// The notifications in one rtnetlink datagram; other messages and malformed ones are skipped.
QList<LinkEvent> parseLinkMessages(QByteArray datagram);

// The served link as the agent last knew it, followed by index so that a rename shows.
struct ServedLink {
    int index = 0; // 0: no interface of the served name
    QString name;  // its current name
    bool up = false;
    bool removed = false;
    int mtu = 0;
    QByteArray mac; // its hardware address; empty when it has none (a tun)
};

struct sockaddr_nl;

// The one reader of the kernel's link and IPv4 address notifications, owned by the agent's run
// for its whole length, so that nothing falls between a capture and the wait that follows it.
// It keeps the served link as the notifications tell it, and an address generation that moves
// on whenever the board's address list may have changed. The capture loop, the frame handler
// (before an info reply) and the wait all read through it; whatever any of them reads is
// applied here first, so none of them misses what another one read.
class LinkMonitor {
  public:
    // How a datagram is received; tests put in their own. MSG_TRUNC semantics: the datagram's
    // whole length is returned even when the buffer is shorter. *from is the sender.
    using Receive = ssize_t (*)(int fd, char *buffer, size_t size, sockaddr_nl *from);

    LinkMonitor() = default;
    ~LinkMonitor();
    LinkMonitor(const LinkMonitor &) = delete;
    LinkMonitor &operator=(const LinkMonitor &) = delete;

    // False (with errno set) when the socket cannot be made.
    bool open();
    // Reads datagrams from `fd` instead, which it then owns: tests feed it messages.
    void openOn(int fd, Receive receive = nullptr);
    bool isOpen() const {
        return fd_ >= 0;
    }
    int fd() const {
        return fd_;
    }

    enum ReadResult {
        Complete, // every pending notification is in *events
        Lost,     // the kernel dropped some (ENOBUFS) or one was cut: the followed link has been
                  // asked afresh, and the receive buffer grown for next time
    };
    // Reads every pending notification and applies it; *events gets them, in order.
    ReadResult read(QList<LinkEvent> *events);
    // The same, keeping nothing: the frame handler's look before an info reply.
    void catchUp();

    // Follows the link named `servedName`, from where the kernel says it stands now (`known`:
    // as the caller last saw it, followed by its index).
    void follow(const ServedLink &known, const QString &servedName);
    const ServedLink &served() const {
        return served_;
    }
    // Moves on with every notification that may change the address list, a lost one included,
    // and with follow(); a kept list or reply of an older generation is stale.
    quint64 addressGeneration() const {
        return generation_;
    }

  private:
    void growReceiveBuffer();
    int fd_ = -1;
    Receive receive_ = nullptr;
    QString servedName_;
    ServedLink served_;
    quint64 generation_ = 1;
};

// Where the link stands now, as the kernel says: by its index when it has one, so that a
// renamed or removed link shows as such, otherwise by the served name. The capture, the wait
// and the supervisor all ask here.
ServedLink resyncServedLink(const ServedLink &known, const QString &servedName);
// The link of that name now (index 0 when there is none).
ServedLink lookUpLink(const QString &servedName);

// Applies a batch of notifications to the followed index: the latest state counts, so a link
// taken down and up again within one batch is still served.
void followServedLink(ServedLink *link, const QList<LinkEvent> &events);

// Whether a capture on the link can go on; the MTU and the address are followed in place.
enum class LinkVerdict { Serving, Down, Renamed, Removed };
LinkVerdict servedLinkVerdict(const ServedLink &link, const QString &servedName);

// Whether these notifications say that an interface of the served name came up since the wait
// began (`atStart`: the link of that name then), and how the wait should take that. Other flag
// changes of a link that was up already (promiscuous mode, carrier) are no news. A link brought
// up sends no uevent: that ends the wait at once. A new interface (or one renamed back) is
// announced by udev when a udev daemon runs, with the lines log readers expect: the wait gives
// udev a moment first.
enum class LinkWake { None, Now, AfterUdev };
LinkWake linkWakesWait(const QList<LinkEvent> &events, const QString &servedName,
                       const ServedLink &atStart, bool udevAlive);
LinkWake linkWakesWait(const ServedLink &now, const ServedLink &atStart, bool udevAlive);

// Whether any of these notifications may change the board's address list.
bool addressesMayHaveChanged(const QList<LinkEvent> &events);

// Whether a udev daemon answers on its control socket. Its socket file may outlive it (a
// killed udevd, or systemd's socket unit), and then nobody will announce a new interface.
extern const char *const kUdevControlPath; // "/run/udev/control"
bool udevAlive(const char *controlPath = kUdevControlPath);
