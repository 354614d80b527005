// ping's requests and figures (ping.cpp).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// ping's figures, per board.
struct PingSummary {
    int transmitted = 0;
    int received = 0;    // requests with at least one reply
    int duplicates = 0;  // further replies to an already answered request (boards at the
                         // shared address, which cannot be told apart)
    QList<double> rttMs; // first reply per request
};
// Every request carries the run's id and its sequence number: replies to another ping
// running beside this one are not counted.
QString pingPayloadTag(quint16 run, int sequence);
constexpr int kMaxPingCount = 1000000;
// The smallest -s: room for the tag of the highest sequence number -c allows.
int pingMinSize();
// The request's sequence number from an echoed payload of this run, or -1.
int pingSequence(const QByteArray &payload, quint16 run);
QByteArray pingPayload(quint16 run, int sequence, int size);
QString pingSummaryText(const QString &target, const PingSummary &summary, double elapsedMs);
