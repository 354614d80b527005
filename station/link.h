// The station's side of the link: a libpcap capture of replies and injection of requests.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "station.h"

#include <csignal>

struct pcap;

// Set by the SIGINT handler: waits end early so that ping can still print its summary.
extern volatile sig_atomic_t g_interrupted;

// A reply as captured: its payload (bytes after the header) and when it arrived.
struct Reply {
    QByteArray frame;
    double atMs = 0; // when it was captured, on the link's clock (StationLink::nowMs)
};

class StationLink {
  public:
    StationLink() = default;
    ~StationLink();
    StationLink(const StationLink &) = delete;
    StationLink &operator=(const StationLink &) = delete;

    // Opens the reply capture (service address to station address only) on the interface.
    // On failure returns the exit status for it with a one-line reason.
    StationExit open(const QString &interface, QString *error);
    // Sends one service frame from the station address to the service address.
    bool send(const QByteArray &payload);
    // Waits for replies until `deadlineMs` (on nowMs's clock), until the first one when
    // `stopAtFirst`, or, with `quietMs`, until that long passed without one after the last,
    // but not before `floorMs` (see collectionEndMs).
    QList<Reply> receiveUntil(double deadlineMs, bool stopAtFirst = false, int quietMs = 0,
                              double floorMs = 0);
    static double nowMs();
    QString lastError() const {
        return error_;
    }

  private:
    pcap *handle_ = nullptr;
    QString error_;
};

// Every capture interface with what the automatic choice needs to know.
QList<InterfaceCandidate> listInterfaces();
