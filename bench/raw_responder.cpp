// The floor: the least a responder can do on Linux, a blocking AF_PACKET socket that checks the
// two addresses and sends the reply straight back.
#include "wire.h"

#include "reply.h"

#include <arpa/inet.h>
#include <cstdio>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

int main(int argc, char **argv) {
    const unsigned char *const service = wire::kServiceAddress;
    const unsigned char *const station = wire::kStationAddress;
    const int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = int(if_nametoindex(argc > 1 ? argv[1] : "eth1"));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("raw_responder");
        return 1;
    }
    const int size = 8 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    std::fprintf(stderr, "ready\n");
    static unsigned char in[70000], out[70000];
    for (;;) {
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            recvfrom(fd, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 14 || from.sll_pkttype == PACKET_OUTGOING || std::memcmp(in, service, 6) != 0 ||
            std::memcmp(in + 6, station, 6) != 0) {
            continue;
        }
        const size_t m = buildReply(in, size_t(n), out);
        send(fd, out, m, 0);
    }
}
