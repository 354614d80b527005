// Which interface is the boards' segment, when -i does not say (options.cpp).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Candidate interfaces for the automatic choice, in libpcap's order.
struct InterfaceCandidate {
    QString name;
    bool up = false;
    bool loopback = false;
    bool ethernet = false; // ARPHRD_ETHER
    bool wireless = false; // Ethernet framing, but Wi-Fi
};
// Why an interface named with -i cannot be the boards' segment, or empty.
QString unfitInterface(const InterfaceCandidate &candidate);
QString pickInterface(const QList<InterfaceCandidate> &candidates);
// Every interface that could be the boards' segment: up, not loopback, Ethernet.
QStringList segmentCandidates(const QList<InterfaceCandidate> &candidates);
