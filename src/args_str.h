// The record that main owns for the whole run and lends to the frame handler.
#pragma once

#include <QString>

struct pcap;

struct ArgsStr {
    // Not owned: main opens and closes every capture; the handler only sends through it.
    pcap *pcapHandle = nullptr;
    QString deviceName;
    QString version;
    QString deviceId;
    QString hardId;
    QString interfaceName;
};
