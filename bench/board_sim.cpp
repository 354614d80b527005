// A segment of boards in board-address mode in one process, for scale runs: it answers as N
// boards on one link, each from its own address (02:53:49 and the board's number), as the
// agent answers in that mode: any station's requests, answered to the station that asked: info
// with the request's tag and the restart values, echo, and a reset acknowledgement.
// With --churn every request to the group address is answered by N boards never seen before:
// new addresses and identities each time, as a forger flooding a station would.
//   board_sim IFACE N [--churn]      prints "ready" on standard error once it listens
#include "wire.h"

#include <QByteArray>
#include <QString>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray boardMac(int board) {
    const char mac[6] = {0x02, 0x53, 0x49, char(board >> 16), char(board >> 8), char(board)};
    return QByteArray(mac, 6);
}

// Board n's reply to one request, or nothing. Every simulated board has one start value, this
// run's, and no boot id.
QByteArray answer(int board, const QByteArray &request, const QString &start) {
    QByteArray payload = request.mid(wire::kHeaderLen);
    const QString text = QString::fromUtf8(payload.left(payload.indexOf('\0')));
    const QByteArray restart = wire::restartLines(QString(), start).toLatin1();
    if (text.startsWith(QLatin1String(wire::kResetKeyword))) {
        payload = QByteArray(wire::kResetAckTag) + '\n' +
                  wire::tagLine(wire::requestTag(text, wire::kResetKeyword)).toLatin1() + restart;
    } else if (text.startsWith(QLatin1String(wire::kInfoKeyword))) {
        payload =
            QStringLiteral("res:kiv+info\nDevice : SIM-%1\nVersion : 1.0.%1\nProduct : "
                           "PX%2\nHardId : 5e1d0c2a-0000-4000-8000-%3\nIpAddress : 10.%4.%5.%6\n")
                .arg(board)
                .arg(board, 4, 10, QLatin1Char('0'))
                .arg(board, 12, 10, QLatin1Char('0'))
                .arg(board >> 16)
                .arg((board >> 8) & 0xFF)
                .arg(board & 0xFF)
                .toLatin1() +
            wire::tagLine(wire::requestTag(text, wire::kInfoKeyword)).toLatin1() + restart;
    }
    return wire::buildFrame(request.mid(wire::kSrcOffset, wire::kAddressLen), boardMac(board),
                            payload);
}

} // namespace

int main(int argc, char **argv) {
    const bool churn = argc == 4 && QByteArray(argv[3]) == "--churn";
    if ((argc != 3 && !churn) || std::atoi(argv[2]) < 1 || std::atoi(argv[2]) > 0xFFFFFF) {
        std::fprintf(stderr, "usage: board_sim IFACE N [--churn]\n");
        return 2;
    }
    const int boards = std::atoi(argv[2]);
    int round = 0;
    const QString start = QString::number(quint64(std::time(nullptr)), 16);
    const int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = int(if_nametoindex(argv[1]));
    if (fd < 0 || address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("board_sim");
        return 1;
    }
    // The boards' own addresses are not the interface's.
    packet_mreq promiscuous{};
    promiscuous.mr_ifindex = address.sll_ifindex;
    promiscuous.mr_type = PACKET_MR_PROMISC;
    setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous, sizeof promiscuous);
    const int size = 16 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    std::fprintf(stderr, "ready\n");
    QByteArray frame(70000, '\0');
    for (;;) {
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, frame.data(), size_t(frame.size()), 0,
                                   reinterpret_cast<sockaddr *>(&from), &length);
        if (n < wire::kHeaderLen || from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        const QByteArray request = frame.left(int(n));
        if (!wire::boardTakesRequest(request.mid(wire::kSrcOffset, wire::kAddressLen),
                                     wire::frameType(request), QByteArray())) {
            continue;
        }
        const QByteArray dst = request.left(6);
        const auto reply = [&](int board) {
            const QByteArray out = answer(board, request, start);
            send(fd, out.constData(), size_t(out.size()), 0);
        };
        if (dst == wire::groupMac()) {
            // Churn: the next N numbers each time, past the end back to the start.
            const int first = churn ? 1 + (round++ * boards) % (0xFFFFFF - boards) : 1;
            for (int board = first; board < first + boards; ++board) {
                reply(board);
            }
        } else if (dst.startsWith(boardMac(0).left(3))) {
            const int board = (uchar(dst[3]) << 16) | (uchar(dst[4]) << 8) | uchar(dst[5]);
            if (board >= 1 && (churn || board <= boards)) {
                reply(board);
            }
        }
    }
}
