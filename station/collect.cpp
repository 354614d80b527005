// When the collection of replies ends.
#include "boards.h"

#include <algorithm>

double collectionEndMs(double floorMs, double deadlineMs, double lastReplyMs, int quietMs) {
    // Current agents answer within milliseconds of one another; once none has for quietMs, the
    // segment is done answering. Older agents hold their reply up to half a second, so the
    // floor keeps listening for them however early the fast ones were done.
    if (lastReplyMs < 0 || quietMs <= 0) {
        return deadlineMs;
    }
    return std::min(deadlineMs, std::max(floorMs, lastReplyMs + quietMs));
}
