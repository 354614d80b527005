// The record that main owns for the whole run and lends to the frame handler.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class ResetGuard;

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
};
