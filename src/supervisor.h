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

// How an attempt ended.
enum class AttemptEnd { NotFound, OpenFailed, CaptureEnded };

// What one attempt calls, replaceable so that tests can drive every path of the loop.
struct LoopOps {
    bool (*find)(QString interfaceName);
    bool (*open)(pcap **handle, QString interfaceName, QString filter);
    int (*dispatch)(pcap *handle, QString interfaceName, pcap_handler handler, u_char *user);
    void (*close)(pcap *handle);
    int (*waitForChange)(QString interfaceName, AttemptEnd how);
    unsigned (*pause)(unsigned seconds);
};

LoopOps systemLoopOps();

// The wait between attempts: for udev to report a network change, or the served link to come
// up. A watch that finds the interface listed and up when it begins ends at once: the events of
// an interface that came back while the agent was still busy are gone.
int waitAfterAttempt(QString interfaceName, AttemptEnd how);

// One attempt of the supervision loop, the wait and the pause included.
void runAttempt(ArgsStr *args, const LoopOps &ops);
