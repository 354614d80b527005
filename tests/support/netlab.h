// Test hosts for end-to-end tests: network namespaces joined by veth links, a raw station socket
// on the station's side, and agents started inside a board namespace with their logs in files.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/types.h>

#include <memory>

// The protocol's fixed addresses, as raw bytes.
extern const QByteArray kStationMac;
extern const QByteArray kServiceMac;

// Runs a command, returns true when it exits 0; its output goes to *output when given.
bool runCommand(const QStringList &command, QString *output = nullptr);

// A frame from the station to the service address with the given payload, zero-padded to
// `padTo` bytes.
QByteArray stationFrame(const QByteArray &payload, int padTo = 0);

// Whether end-to-end tests can run here (root, `ip netns`); why not in *reason.
bool netlabAvailable(QString *reason);

// In a test function: skips where namespaces cannot be made, but fails under CI (CI=true),
// where the end-to-end tests must run.
#define L2_REQUIRE_NETLAB()                                                                        \
    do {                                                                                           \
        QString why_;                                                                              \
        if (!netlabAvailable(&why_)) {                                                             \
            if (qgetenv("CI") == "true") {                                                         \
                QFAIL(qPrintable(why_));                                                           \
            }                                                                                      \
            QSKIP(qPrintable(why_));                                                               \
        }                                                                                          \
    } while (0)

// Writes a file, making its directory; `executable` sets the execute bits.
bool writeFile(const QString &path, const QByteArray &content, bool executable = false);

// A named network namespace that lives as long as this object.
class Netns {
  public:
    explicit Netns(const QString &tag);
    ~Netns();
    Netns(const Netns &) = delete;
    Netns &operator=(const Netns &) = delete;
    bool ok() const {
        return ok_;
    }
    QString name() const {
        return name_;
    }
    // `ip -n NAME ARGS...`
    bool ip(const QStringList &args) const;
    // Runs a command inside the namespace.
    bool exec(const QStringList &command, QString *output = nullptr) const;

  private:
    QString name_;
    bool ok_ = false;
};

// Moves the calling thread into `ns` (threads it starts later, and processes, follow);
// returns a handle to come back with leaveNetns, or -1.
int enterNetns(const Netns &ns);
void leaveNetns(int previous);

// The one way the suites wire namespaces: a veth pair from `boardSide` in `board` to
// `peerSide` in `peer`, with `address` on the board side (none when empty), the board side up
// unless `up` is false, the peer side up and, when `bridge` is given, a port of that bridge.
bool addVeth(const Netns &board, const QString &boardSide, const Netns &peer,
             const QString &peerSide, const QString &address = QString(), bool up = true,
             const QString &bridge = QString());
// A link's hardware address, as l2station shows it (upper case).
QString linkMac(const Netns &ns, const QString &link);
// `ip link set LINK up|down` in the namespace.
bool setLinkUp(const Netns &ns, const QString &link, bool up);

// A raw AF_PACKET socket on one interface of a namespace, as the station uses.
class PacketSocket {
  public:
    PacketSocket() = default;
    ~PacketSocket();
    PacketSocket(const PacketSocket &) = delete;
    PacketSocket &operator=(const PacketSocket &) = delete;
    bool open(const QString &netns, const QString &interface);
    void close();
    bool send(const QByteArray &frame);
    // The next incoming frame from `from` to `to` (empty: any) within the time-out; null on
    // time-out. Other frames (the kernel's own, the socket's outgoing ones) are skipped.
    QByteArray receive(int timeoutMs, const QByteArray &from = kServiceMac,
                       const QByteArray &to = kStationMac);

  private:
    int fd_ = -1;
};

// An agent process started as a board would run it, with standard error and standard output
// in files that tests poll.
class AgentRun {
  public:
    AgentRun();
    ~AgentRun();
    AgentRun(const AgentRun &) = delete;
    AgentRun &operator=(const AgentRun &) = delete;

    // Runs another responder in the agent's place (by default the agent, see agentBinary).
    void setProgram(const QString &program) {
        program_ = program;
    }
    // Options for the board environment (see board-env.sh), then the agent's arguments.
    bool start(const Netns &board, const QStringList &envOptions, const QStringList &agentArgs,
               const QString &workDir = QString());
    void stop();
    bool running() const;
    // Waits for the agent to end by itself; its wait status, or -1 on time-out.
    int waitForExit(int timeoutMs);
    pid_t pid() const {
        return pid_;
    }

    QString log() const;
    QByteArray logBytes() const; // the log as written, byte for byte
    QString out() const;
    QStringList logLines() const;
    int logCount(const QString &line) const;
    // Polls the log until `line` has appeared `count` times as a whole line.
    bool waitForLine(const QString &line, int count = 1, int timeoutMs = 15000) const;
    // Polls the log until the file holds `text` anywhere.
    bool waitForText(const QString &text, int timeoutMs = 15000) const;
    QString workDir() const {
        return workDir_;
    }

  private:
    // Reads what the agent logged since the last call; a soak run logs millions of lines, so
    // polls must not read the whole file again.
    void readNewLines() const;

    pid_t pid_ = -1;
    QString program_;
    QTemporaryDir files_;
    QString workDir_;
    mutable QStringList lines_;
    mutable QByteArray partial_;
    mutable qint64 offset_ = 0;
};

// A bridge in `segment`: learning addresses with the default ageing, as every switch does, or
// (learning false) the lab's kind that floods every frame.
bool addBridge(const Netns &segment, const QString &name, bool learning = true);

// A board on a test segment: its namespace, its agent and its files.
struct LabBoard {
    std::unique_ptr<Netns> ns;
    std::unique_ptr<AgentRun> agent;
    QString root; // app/, bin/ and work/ below it
    QString work;

    // The board's own address, as l2station and the agent show it.
    QString mac() const;
    // How many times its reset script ran.
    int resets() const;
    // Stops its agent and starts it again as before.
    bool restart();

    QStringList envOptions; // as startLabBoard started the agent
    QStringList agentArgs;
};

// Board n: BOARD-n (or `version`'s first line), version 1.n.0, product PXn (or `id`), HardId
// 0000000n, 192.0.2.(10+n), plugged into `bridge` of `segment`, in board-address mode unless
// `boardAddress` is false; it runs `program` (the agent when empty) and has `resetScript`.
struct LabBoardSetup {
    int n = 1;
    QString bridge;
    bool boardAddress = true;
    QByteArray id;
    QByteArray resetScript = "#!/bin/sh\necho reset >> reset.log\n";
    QString program;
    QByteArray version;
    QString keyFile; // the agent's --key-file (board-address mode)
};
bool startLabBoard(LabBoard *board, const Netns &segment, const QString &dir,
                   const LabBoardSetup &setup);

// Directory of the agent binary, the board helper script and such, from the build.
QString agentBinary();
QStringList agentWrapper();
QString stationBinary();
// A responder that captures the classic way (500 ms buffer timeout), as older agents do.
QString classicResponderBinary();
QString boardEnvScript();
// Whether the agent under test writes udev's lines: L2_AGENT_UDEV=0 says it was built without
// libudev (L2_UDEV off).
bool agentWatchesUdev();
