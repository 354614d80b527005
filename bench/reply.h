// The reply both reference responders build: addresses swapped, zero type, payload echoed, or
// a fixed identity text for an info request, as the agent answers.
#pragma once

#include "wire.h"

#include <cstddef>
#include <cstring>

inline size_t buildReply(const unsigned char *in, size_t len, unsigned char *out) {
    static const char info[] = "res:kiv+info\nDevice : BOARD-A7\nVersion : 2.3.1\nProduct : "
                               "PX0042\nHardId : 5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\n"
                               "IpAddress : 192.168.10.25\n";
    using namespace wire;
    constexpr size_t keywordLen = sizeof kInfoKeyword - 1;
    std::memcpy(out + kDstOffset, in + kSrcOffset, kAddressLen);
    std::memcpy(out + kSrcOffset, in + kDstOffset, kAddressLen);
    out[kTypeOffset] = out[kTypeOffset + 1] = 0;
    if (len >= kHeaderLen + keywordLen &&
        std::memcmp(in + kHeaderLen, kInfoKeyword, keywordLen) == 0) {
        std::memcpy(out + kHeaderLen, info, sizeof info - 1);
        return kHeaderLen + sizeof info - 1;
    }
    std::memcpy(out + kHeaderLen, in + kHeaderLen, len - kHeaderLen);
    return len;
}
