// The station's side of the link: a libpcap capture of every frame to the station address, and
// injection of requests.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "station.h"

#include <atomic>
#include <csignal>
#include <functional>

struct pcap;

// Set by the SIGINT handler: waits end early so that ping can still print its summary.
extern volatile sig_atomic_t g_interrupted;

// A frame to the station address as captured, and when it arrived.
struct Reply {
    QByteArray frame;
    double atMs = 0; // when it was captured, on the link's clock (StationLink::nowMs)
};

// When a collection ends: at `deadlineMs`, at the first reply that counts when `stopAtFirst`,
// or `quietMs` after the last reply that counts, but not before `floorMs` (collectionEndMs).
struct CollectRule {
    double deadlineMs = 0;
    double floorMs = 0;
    int quietMs = 0;
    bool stopAtFirst = false;
};

class StationLink {
  public:
    StationLink() = default;
    ~StationLink();
    StationLink(const StationLink &) = delete;
    StationLink &operator=(const StationLink &) = delete;

    // Opens the capture of frames to the station address on the interface. On failure returns
    // the exit status for it with a one-line reason.
    StationExit open(const QString &interface, QString *error);
    // Reads the frames of a capture file instead, as if they arrived: tests feed it a flood
    // that never pauses.
    StationExit openFile(const QString &path, QString *error);
    void close();
    // Sends one service frame to `dst` from the station's own address (the interface's), with
    // the station type.
    bool send(const QByteArray &dst, const QByteArray &payload);
    // The same from another source address, with another type.
    bool sendFrom(const QByteArray &src, const QByteArray &dst, const QByteArray &payload,
                  quint16 type);
    // The interface's hardware address, or the fixed station address when it has none.
    QByteArray ownMac() const {
        return ownMac_;
    }
    // Hands every reply to `take` as it arrives, until `rule` ends the collection; `take` says
    // whether the reply counts (news, rather than another station's business). The deadline
    // holds under a flood.
    void collect(const CollectRule &rule, const std::function<bool(const Reply &)> &take);
    static double nowMs();
    // A flag another thread may set to end collections and the commands made of them early
    // (the window's Cancel); SIGINT does the same for the command line.
    void setStopFlag(const std::atomic<bool> *stop) {
        stop_ = stop;
    }
    bool stopped() const {
        return g_interrupted != 0 || (stop_ != nullptr && stop_->load());
    }
    QString lastError() const {
        return error_;
    }

  private:
    pcap *handle_ = nullptr;
    QByteArray ownMac_;
    QString error_;
    const std::atomic<bool> *stop_ = nullptr;
};

// Sends `payload` to every board, or to the one board `board` names. Every board: to the group
// address from the station's own address, the same for boards before 1.3 from the station
// address, and `sharedPayload` to the shared service address (boards in the default mode). One
// board: to its address from the station's own address, and the copy for an older board.
bool sendToBoards(StationLink &link, const QByteArray &board, const QByteArray &payload,
                  const QByteArray &sharedPayload);
// Sends `keyword` so: tagged to the boards in board-address mode, plain to the shared address.
bool sendRequest(StationLink &link, const QByteArray &board, const char *keyword,
                 const QString &tag);

// The hardware address of an interface, empty when it has none (or it is unknown).
QByteArray interfaceMac(const QString &interface);

// Every capture interface with what the automatic choice needs to know.
QList<InterfaceCandidate> listInterfaces();

// Whether the station's own link can carry frames now: up, and with a carrier. Why not in
// *why, in words for the technician.
bool linkUsable(const QString &interface, QString *why);
// Waits until the link can carry frames, the time-out passes or the tool is interrupted;
// returns linkUsable.
bool waitForLink(const QString &interface, int timeoutMs);
