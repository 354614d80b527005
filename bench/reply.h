// The reply both reference responders build: addresses swapped, zero type, payload echoed, or
// a fixed identity text for an info request, as the agent answers.
#pragma once

#include <cstddef>
#include <cstring>

inline size_t buildReply(const unsigned char *in, size_t len, unsigned char *out) {
    static const char info[] = "res:kiv+info\nDevice : BOARD-A7\nVersion : 2.3.1\nProduct : "
                               "PX0042\nHardId : 5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\n"
                               "IpAddress : 192.168.10.25\n";
    std::memcpy(out, in + 6, 6);
    std::memcpy(out + 6, in, 6);
    out[12] = out[13] = 0;
    if (len >= 26 && std::memcmp(in + 14, "req:kiv+info", 12) == 0) {
        std::memcpy(out + 14, info, sizeof info - 1);
        return 14 + sizeof info - 1;
    }
    std::memcpy(out + 14, in + 14, len - 14);
    return len;
}
