// The record that main owns for the whole run and lends to the frame handler.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

#include <sys/time.h>

class LinkMonitor;
class ResetGuard;

// How the board's addresses are listed; tests put in their own to count the reads.
using AddressReader = QStringList (*)();

// The info reply built for one address generation of the run's link notifications.
struct InfoCache {
    quint64 generation = 0; // 0: none built
    QByteArray payload;
    AddressReader read = nullptr; // null: the system's list
};

struct pcap;

struct ArgsStr {
    // Not owned: main opens and closes every capture; the handler only sends through it.
    pcap *pcapHandle = nullptr;
    QString deviceName;
    QString version;
    QString deviceId;
    QString hardId;
    QString interfaceName;
    // Board-address mode (--board-address): the board serves the station's frames sent to its
    // own hardware address or to the group address, and answers from its own address.
    bool boardAddress = false;
    // That address while a capture runs; the capture follows a change of it.
    QByteArray boardMac;
    // Board-address mode: what a station compares to tell a restart, sent with every info
    // reply and reset acknowledgement: the kernel's boot id, and a random value drawn when
    // this process started.
    QString bootId;
    QString startId;
    // Board-address mode with --key-file: the board's keys and the challenges it gave out. A
    // reset then runs only when it proves one of the keys, and replies carry proofs.
    std::shared_ptr<ResetGuard> guard;
    // While a capture runs: the run's link notifications (not owned), which the info reply's
    // address list follows, and the reply kept for their address generation. A cache, so the
    // handler may refresh it through the record it reads.
    LinkMonitor *links = nullptr;
    mutable InfoCache info;
    // When the last run of the reset script ended; requests read before that were served by
    // it. Zero before the first run.
    timeval lastResetEnded{0, 0};
};
