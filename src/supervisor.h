// Start-up and the supervision loop: find the interface, capture until the capture ends, wait
// for the network to change, pause, and try again, for ever.
#pragma once

#include <QString>

#include <pcap/pcap.h>

struct ArgsStr;

extern const char *const kDefaultInterface; // "eth1"
constexpr unsigned kRetryPauseSeconds = 3;

// The interface to serve: the first argument, or eth1 when there is none.
QString interfaceFromArgs(int argc, char **argv);

// Collects the identity, then takes the interface name from the command line.
void initArgsStr(ArgsStr *args, int argc, char **argv);

struct LinkFacts;

// How an attempt ended.
enum class AttemptEnd {
    NotFound,
    OpenFailed,   // for a reason no change of the link mends (a filter that cannot compile)
    LinkChanged,  // the link was not up at the open, went down, or changed its MTU
    CaptureEnded, // the interface went away or was renamed
};

// What one attempt calls, replaceable so that tests can drive every path of the loop.
struct LoopOps {
    bool (*find)(QString interfaceName);
    int (*indexOf)(QString interfaceName);
    bool (*open)(pcap **handle, QString interfaceName, QString filter);
    bool (*openFoundLinkDown)();
    int (*dispatch)(pcap *handle, QString interfaceName, pcap_handler handler, u_char *user);
    void (*close)(pcap *handle);
    // `indexSeen`: the interface's index when the attempt found it, 0 when it did not.
    int (*waitForChange)(QString interfaceName, AttemptEnd how, int indexSeen);
    unsigned (*pause)(unsigned seconds);
};

LoopOps systemLoopOps();

// Whether the network already changed, as the wait begins, since the attempt looked: an
// interface of that name is listed now that was not (or another one), or the link the attempt
// found down or changed is up now. The events of such a change came while nothing listened.
// Otherwise the wait blocks until the network changes: retrying an interface that cannot be
// captured would only fill the log.
bool changedSinceAttempt(AttemptEnd how, int indexSeen, const LinkFacts &now);

// The wait between attempts (netwatch.h), ending at once when changedSinceAttempt says so.
int waitAfterAttempt(QString interfaceName, AttemptEnd how, int indexSeen);

// One attempt of the supervision loop, the wait and the pause included.
void runAttempt(ArgsStr *args, const LoopOps &ops);
