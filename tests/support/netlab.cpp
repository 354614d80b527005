// Network namespaces, veth links, raw station sockets and agent processes for end-to-end tests.
#include "netlab.h"

#include "wire.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

const QByteArray kStationMac = wire::stationMac();
const QByteArray kServiceMac = wire::serviceMac();

bool runCommand(const QStringList &command, QString *output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    const QString text = QString::fromLocal8Bit(process.readAll());
    if (output != nullptr) {
        *output = text;
    }
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok) {
        qWarning("command failed: %s\n%s", qPrintable(command.join(QLatin1Char(' '))),
                 qPrintable(text));
    }
    return ok;
}

bool setLinkUp(const Netns &ns, const QString &link, bool up) {
    return ns.ip({QStringLiteral("link"), QStringLiteral("set"), link,
                  up ? QStringLiteral("up") : QStringLiteral("down")});
}

bool addVeth(const Netns &board, const QString &boardSide, const Netns &peer,
             const QString &peerSide, const QString &address, bool up, const QString &bridge) {
    if (!board.ip({QStringLiteral("link"), QStringLiteral("add"), boardSide, QStringLiteral("type"),
                   QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), peerSide,
                   QStringLiteral("netns"), peer.name()})) {
        return false;
    }
    if (!address.isEmpty() && !board.ip({QStringLiteral("addr"), QStringLiteral("add"), address,
                                         QStringLiteral("dev"), boardSide})) {
        return false;
    }
    if (!bridge.isEmpty() && !peer.ip({QStringLiteral("link"), QStringLiteral("set"), peerSide,
                                       QStringLiteral("master"), bridge})) {
        return false;
    }
    return (!up || setLinkUp(board, boardSide, true)) && setLinkUp(peer, peerSide, true);
}

QByteArray stationFrame(const QByteArray &payload, int padTo) {
    return wire::requestFrame(payload, padTo);
}

bool netlabAvailable(QString *reason) {
    if (geteuid() != 0) {
        *reason = QStringLiteral("end-to-end tests need root (network namespaces, raw sockets)");
        return false;
    }
    Netns probe(QStringLiteral("probe"));
    if (!probe.ok()) {
        *reason = QStringLiteral("cannot create a network namespace with `ip netns add`");
        return false;
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &content, bool executable) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    file.write(content);
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner |
                                              QFile::ExeGroup | QFile::ExeOther);
}

namespace {
int g_nsCounter = 0;
}

Netns::Netns(const QString &tag)
    : name_(QStringLiteral("l2t%1-%2-%3").arg(getpid()).arg(++g_nsCounter).arg(tag)) {
    ok_ = runCommand({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("add"), name_});
    if (ok_) {
        ok_ = ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
                  QStringLiteral("up")});
    }
}

Netns::~Netns() {
    runCommand({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("del"), name_});
}

int enterNetns(const Netns &ns) {
    const int previous = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const QByteArray path = QStringLiteral("/run/netns/%1").arg(ns.name()).toUtf8();
    const int target = open(path.constData(), O_RDONLY | O_CLOEXEC);
    const bool entered = previous >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) {
        close(target);
    }
    if (!entered && previous >= 0) {
        close(previous);
    }
    return entered ? previous : -1;
}

void leaveNetns(int previous) {
    if (previous >= 0) {
        setns(previous, CLONE_NEWNET);
        close(previous);
    }
}

bool Netns::ip(const QStringList &args) const {
    return runCommand(QStringList{QStringLiteral("ip"), QStringLiteral("-n"), name_} + args);
}

bool Netns::exec(const QStringList &command, QString *output) const {
    return runCommand(
        QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), name_} +
            command,
        output);
}

PacketSocket::~PacketSocket() {
    close();
}

bool PacketSocket::open(const QString &netns, const QString &interface) {
    close();
    // A socket belongs to the namespace its creator was in: enter the station's namespace on
    // this thread just long enough to make and bind it.
    const int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target =
        ::open(QByteArray("/var/run/netns/" + netns.toUtf8()).constData(), O_RDONLY | O_CLOEXEC);
    if (self < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
        qWarning("cannot enter namespace %s: %s", qPrintable(netns), strerror(errno));
        if (self >= 0) {
            ::close(self);
        }
        if (target >= 0) {
            ::close(target);
        }
        return false;
    }
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    // Room for every reply to a burst, so a test sees all the frames that were answered.
    const int size = 16 * 1024 * 1024;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    const unsigned index = if_nametoindex(interface.toUtf8().constData());
    bool ok = fd_ >= 0 && index != 0;
    if (ok) {
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = int(index);
        ok = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    if (setns(self, CLONE_NEWNET) != 0) {
        qFatal("cannot return to the test's own network namespace");
    }
    ::close(self);
    ::close(target);
    if (!ok) {
        qWarning("cannot open a packet socket on %s in %s", qPrintable(interface),
                 qPrintable(netns));
        close();
    }
    return ok;
}

void PacketSocket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool PacketSocket::send(const QByteArray &frame) {
    return fd_ >= 0 && ::send(fd_, frame.constData(), size_t(frame.size()), 0) == frame.size();
}

QByteArray PacketSocket::receive(int timeoutMs, const QByteArray &from, const QByteArray &to) {
    QElapsedTimer timer;
    timer.start();
    QByteArray buffer(70000, '\0');
    for (;;) {
        // Looked at once at least, so that a time-out of 0 takes what is already there.
        const int left = qMax(0, timeoutMs - int(timer.elapsed()));
        pollfd pfd{fd_, POLLIN, 0};
        if (fd_ < 0 || poll(&pfd, 1, left) <= 0) {
            if (left == 0 || fd_ < 0) {
                return QByteArray();
            }
            continue;
        }
        sockaddr_ll address{};
        socklen_t length = sizeof address;
        const ssize_t n = recvfrom(fd_, buffer.data(), size_t(buffer.size()), 0,
                                   reinterpret_cast<sockaddr *>(&address), &length);
        if (n < 0 || address.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        const QByteArray frame = buffer.left(int(n));
        if ((to.isEmpty() || frame.mid(0, 6) == to) &&
            (from.isEmpty() || frame.mid(6, 6) == from)) {
            return frame;
        }
    }
}

QString agentBinary() {
    // L2_AGENT_BIN runs another build of the agent (e.g. the arm64 one) under these tests.
    const QString override = qEnvironmentVariable("L2_AGENT_BIN");
    return override.isEmpty() ? QStringLiteral(L2AGENT_BIN) : override;
}

// L2_AGENT_WRAPPER runs the agent under a command, e.g. "qemu-aarch64 -L /".
QStringList agentWrapper() {
    return qEnvironmentVariable("L2_AGENT_WRAPPER").split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString stationBinary() {
    // L2_STATION_BIN, like L2_AGENT_BIN, runs the installed tool (autopkgtest).
    const QString override = qEnvironmentVariable("L2_STATION_BIN");
    return override.isEmpty() ? QStringLiteral(L2STATION_BIN) : override;
}

QString classicResponderBinary() {
    return QStringLiteral(L2CLASSIC_BIN); // empty without the bench programs
}

bool agentWatchesUdev() {
    return qEnvironmentVariable("L2_AGENT_UDEV") != QLatin1String("0");
}

QString boardEnvScript() {
    return QStringLiteral(BOARD_ENV_SCRIPT);
}

AgentRun::AgentRun() = default;

AgentRun::~AgentRun() {
    stop();
}

bool AgentRun::start(const Netns &board, const QStringList &envOptions,
                     const QStringList &agentArgs, const QString &workDir) {
    workDir_ = workDir.isEmpty() ? files_.path() : workDir;
    // The log starts afresh (a restarted agent's too).
    lines_.clear();
    partial_.clear();
    offset_ = 0;
    const QStringList command = QStringList{QStringLiteral("ip"),
                                            QStringLiteral("netns"),
                                            QStringLiteral("exec"),
                                            board.name(),
                                            QStringLiteral("unshare"),
                                            QStringLiteral("--mount"),
                                            QStringLiteral("--propagation"),
                                            QStringLiteral("private"),
                                            boardEnvScript()} +
                                envOptions + QStringList{QStringLiteral("--")} + agentWrapper() +
                                QStringList{program_.isEmpty() ? agentBinary() : program_} +
                                agentArgs;
    QList<QByteArray> storage;
    for (const QString &part : command) {
        storage.append(part.toUtf8());
    }
    const QByteArray errPath = QFile::encodeName(files_.filePath(QStringLiteral("stderr")));
    const QByteArray outPath = QFile::encodeName(files_.filePath(QStringLiteral("stdout")));
    const QByteArray dir = QFile::encodeName(workDir_);
    pid_ = fork();
    if (pid_ < 0) {
        return false;
    }
    if (pid_ == 0) {
        // A group of its own, so that stop() also ends the board's udevd.
        setpgid(0, 0);
        const int err = ::open(errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int out = ::open(outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || out < 0 || chdir(dir.constData()) != 0) {
            _exit(127);
        }
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char *> argv;
        for (QByteArray &part : storage) {
            argv.push_back(part.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    return true;
}

void AgentRun::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(-pid_, SIGTERM);
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (timer.elapsed() > 5000) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        QThread::msleep(10);
    }
    // The board's udevd may outlive the agent for a moment.
    kill(-pid_, SIGKILL);
    pid_ = -1;
}

int AgentRun::waitForExit(int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
        if (timer.elapsed() > timeoutMs) {
            return -1;
        }
        QThread::msleep(10);
    }
    // Its group (a board's udevd) is stopped as stop() would.
    kill(-pid_, SIGKILL);
    pid_ = -1;
    return status;
}

bool AgentRun::running() const {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

namespace {
QString readText(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}
} // namespace

QString AgentRun::log() const {
    return readText(files_.filePath(QStringLiteral("stderr")));
}

QByteArray AgentRun::logBytes() const {
    QFile file(files_.filePath(QStringLiteral("stderr")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString AgentRun::out() const {
    return readText(files_.filePath(QStringLiteral("stdout")));
}

void AgentRun::readNewLines() const {
    QFile file(files_.filePath(QStringLiteral("stderr")));
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset_)) {
        return;
    }
    const QByteArray chunk = file.readAll();
    offset_ += chunk.size();
    partial_ += chunk;
    const int end = partial_.lastIndexOf('\n');
    if (end < 0) {
        return;
    }
    for (const QByteArray &line : partial_.left(end).split('\n')) {
        if (!line.isEmpty()) {
            lines_.append(QString::fromUtf8(line));
        }
    }
    partial_.remove(0, end + 1);
}

QStringList AgentRun::logLines() const {
    readNewLines();
    return lines_;
}

int AgentRun::logCount(const QString &line) const {
    readNewLines();
    return lines_.count(line);
}

bool AgentRun::waitForLine(const QString &line, int count, int timeoutMs) const {
    QElapsedTimer timer;
    timer.start();
    int seen = 0;
    int scanned = 0;
    for (;;) {
        readNewLines();
        for (; scanned < lines_.size(); ++scanned) {
            seen += lines_.at(scanned) == line ? 1 : 0;
        }
        if (seen >= count) {
            return true;
        }
        if (timer.elapsed() > timeoutMs) {
            qWarning("waited %d ms for %d x line %s; log ends:\n%s", timeoutMs, count,
                     qPrintable(line),
                     qPrintable(lines_.mid(lines_.size() - 40).join(QLatin1Char('\n'))));
            return false;
        }
        QThread::msleep(10);
    }
}

bool AgentRun::waitForText(const QString &text, int timeoutMs) const {
    QElapsedTimer timer;
    timer.start();
    while (!log().contains(text)) {
        if (timer.elapsed() > timeoutMs) {
            qWarning("waited %d ms for %s; log:\n%s", timeoutMs, qPrintable(text),
                     qPrintable(log()));
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

bool addBridge(const Netns &segment, const QString &name, bool learning) {
    QStringList add{QStringLiteral("link"), QStringLiteral("add"), name, QStringLiteral("type"),
                    QStringLiteral("bridge")};
    if (!learning) {
        add << QStringLiteral("ageing_time") << QStringLiteral("0");
    }
    return segment.ip(add) && setLinkUp(segment, name, true);
}

QString linkMac(const Netns &ns, const QString &link) {
    QString out;
    ns.exec({QStringLiteral("cat"), QStringLiteral("/sys/class/net/%1/address").arg(link)}, &out);
    return out.trimmed().toUpper();
}

QString LabBoard::mac() const {
    return linkMac(*ns, QStringLiteral("eth1"));
}

int LabBoard::resets() const {
    QFile log(work + QStringLiteral("/reset.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
}

bool startLabBoard(LabBoard *board, const Netns &segment, const QString &dir,
                   const LabBoardSetup &setup) {
    const int n = setup.n;
    board->ns = std::make_unique<Netns>(QStringLiteral("b%1").arg(n));
    board->root = dir + QStringLiteral("/board%1").arg(n);
    board->work = board->root + QStringLiteral("/work");
    board->agent = std::make_unique<AgentRun>();
    board->agent->setProgram(setup.program);
    QStringList args{QStringLiteral("eth1")};
    if (!setup.keyFile.isEmpty()) {
        args = QStringList{QStringLiteral("--key-file"), setup.keyFile} + args;
    }
    if (setup.boardAddress && setup.program.isEmpty()) {
        args.prepend(QStringLiteral("--board-address"));
    }
    board->agentArgs = args;
    board->envOptions = QStringList{QStringLiteral("--app"), board->root + QStringLiteral("/app"),
                                    QStringLiteral("--path"), board->root + QStringLiteral("/bin")};
    const QString &root = board->root;
    return board->ns->ok() &&
           addVeth(*board->ns, QStringLiteral("eth1"), segment, QStringLiteral("p%1").arg(n),
                   QStringLiteral("192.0.2.%1/24").arg(10 + n), true, setup.bridge) &&
           writeFile(root + QStringLiteral("/app/bin/version"),
                     setup.version.isEmpty()
                         ? QStringLiteral("BOARD-%1\n1.%1.0\n").arg(n).toLatin1()
                         : setup.version) &&
           writeFile(root + QStringLiteral("/app/cfg/ID.txt"),
                     setup.id.isEmpty() ? QStringLiteral("PX%1\n").arg(n).toLatin1() : setup.id) &&
           writeFile(root + QStringLiteral("/bin/blkid"),
                     QStringLiteral("#!/bin/sh\necho '/dev/mmcblk0: PTUUID=\"0000000%1\" "
                                    "PTTYPE=\"dos\"'\n")
                         .arg(n)
                         .toLatin1(),
                     true) &&
           writeFile(board->work + QStringLiteral("/run/resetAll.sh"), setup.resetScript, true) &&
           board->agent->start(*board->ns, board->envOptions, args, board->work);
}

bool LabBoard::restart() {
    agent->stop();
    return agent->start(*ns, envOptions, agentArgs, work);
}
