// Station-side load generator for the benchmarks: stop-and-wait round trips and back-to-back
// bursts of service frames over a raw AF_PACKET socket.
//   l2bench rtt IFACE echo|info COUNT     prints median_us p99_us lost
//   l2bench burst IFACE COUNT             prints sent answered
//   l2bench flood IFACE COUNT             sends COUNT mixed frames, prints sent
//   l2bench paced IFACE echo|info COUNT GAP_US
//                                         sends COUNT requests GAP_US microseconds apart
//                                         (sleeping between them, so a responder pinned to
//                                         the same processor runs meanwhile), prints sent
//                                         answered
#include "wire.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

const unsigned char *const kService = wire::kServiceAddress;
const unsigned char *const kStation = wire::kStationAddress;

using Clock = std::chrono::steady_clock;

int openSocket(const char *interface) {
    const int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0) {
        std::perror("socket");
        std::exit(1);
    }
    const int size = 16 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = int(if_nametoindex(interface));
    if (address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "l2bench: no interface %s\n", interface);
        std::exit(1);
    }
    return fd;
}

std::vector<unsigned char> frame(const std::string &payload, size_t padTo = 60) {
    std::vector<unsigned char> f(std::max(padTo, 14 + payload.size()), 0);
    std::memcpy(f.data(), kService, 6);
    std::memcpy(f.data() + 6, kStation, 6);
    f[12] = 0x88;
    f[13] = 0xB5;
    std::memcpy(f.data() + 14, payload.data(), payload.size());
    return f;
}

// Next reply (service -> station) within the time-out; its payload, or false.
bool receiveReply(int fd, int timeoutMs, std::string *payload) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned char buffer[70000];
    for (;;) {
        // Rounded up, and looked at once at least: a time-out of 0 takes what is there.
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, left > 0 ? int((left + 999) / 1000) : 0) <= 0) {
            if (left <= 0) {
                return false;
            }
            continue;
        }
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 14 || from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        if (std::memcmp(buffer, kStation, 6) == 0 && std::memcmp(buffer + 6, kService, 6) == 0) {
            payload->assign(reinterpret_cast<char *>(buffer) + 14, size_t(n - 14));
            return true;
        }
    }
}

int rtt(int fd, bool info, int count) {
    std::vector<double> samples;
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        const std::string tag = "rtt " + std::to_string(i);
        const auto request = frame(info ? wire::kInfoKeyword : tag);
        const auto start = Clock::now();
        send(fd, request.data(), request.size(), 0);
        std::string payload;
        bool matched = false;
        while (receiveReply(fd, 1000, &payload)) {
            if (info ? payload.rfind(wire::kInfoReplyTag, 0) == 0
                     : payload.compare(0, tag.size() + 1, tag + '\0') == 0) {
                matched = true;
                break;
            }
        }
        if (!matched) {
            ++lost;
            continue;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples.empty() ? 0.0 : samples[size_t(q * double(samples.size() - 1))];
    };
    std::printf("median_us=%.1f p99_us=%.1f lost=%d\n", at(0.5), at(0.99), lost);
    return 0;
}

int burst(int fd, int count) {
    for (int i = 0; i < count; ++i) {
        const auto request = frame("burst " + std::to_string(i));
        send(fd, request.data(), request.size(), 0);
    }
    std::vector<bool> seen(size_t(count), false);
    int answered = 0;
    std::string payload;
    while (receiveReply(fd, 500, &payload)) {
        if (payload.rfind("burst ", 0) == 0) {
            const int i = std::atoi(payload.c_str() + 6);
            if (i >= 0 && i < count && !seen[size_t(i)]) {
                seen[size_t(i)] = true;
                ++answered;
            }
        }
    }
    std::printf("sent=%d answered=%d\n", count, answered);
    return 0;
}

// Requests at a fixed pace; the replies are counted as they come, without waiting for them.
int paced(int fd, bool info, int count, int gapUs) {
    int answered = 0;
    std::string payload;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const auto take = [&] {
        while (receiveReply(fd, 0, &payload)) {
            ++answered;
        }
    };
    for (int i = 0; i < count; ++i) {
        const auto request = frame(info ? wire::kInfoKeyword : "paced " + std::to_string(i));
        send(fd, request.data(), request.size(), 0);
        next.tv_nsec += long(gapUs) * 1000;
        while (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        take();
    }
    while (answered < count && receiveReply(fd, 500, &payload)) {
        ++answered;
    }
    std::printf("sent=%d answered=%d\n", count, answered);
    return 0;
}

// Mixed kinds and lengths, malformed ones included, paced so that the link keeps up.
int flood(int fd, int count) {
    unsigned seed = 12345;
    std::string payload;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        std::string body;
        switch (seed % 5) {
        case 0:
            body = wire::kInfoKeyword;
            break;
        case 1:
            body = std::string(seed % 1500, char(seed >> 8));
            break;
        case 2:
            body = "req:kiv+inf";
            break;
        case 3:
            body = std::string("\0req:kiv+info", 13);
            break;
        default:
            body = "echo " + std::to_string(i);
            break;
        }
        auto request = frame(body, (seed >> 4) % 2 ? 60 : 14);
        if (request.size() > 1514) {
            request.resize(1514);
        }
        send(fd, request.data(), request.size(), 0);
        // Drain replies now and then so the station's own socket never backs up.
        while (i % 64 == 63 && receiveReply(fd, 0, &payload)) {
        }
    }
    std::printf("sent=%d\n", count);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(
            stderr,
            "usage: l2bench rtt IFACE echo|info COUNT | burst IFACE COUNT | flood IFACE COUNT |\n"
            "       paced IFACE echo|info COUNT GAP_US\n");
        return 2;
    }
    const std::string mode = argv[1];
    const int fd = openSocket(argv[2]);
    if (mode == "rtt" && argc == 5) {
        return rtt(fd, std::strcmp(argv[3], "info") == 0, std::atoi(argv[4]));
    }
    if (mode == "burst") {
        return burst(fd, std::atoi(argv[3]));
    }
    if (mode == "flood") {
        return flood(fd, std::atoi(argv[3]));
    }
    if (mode == "paced" && argc == 6) {
        return paced(fd, std::strcmp(argv[3], "info") == 0, std::atoi(argv[4]), std::atoi(argv[5]));
    }
    std::fprintf(stderr, "l2bench: unknown mode %s\n", argv[1]);
    return 2;
}
