// When the collection of replies ends.
#include "station.h"

#include <algorithm>

double collectionEndMs(double deadlineMs, double lastReplyMs, int quietMs) {
    // Boards answer within milliseconds of one another; once none has for quietMs, the
    // segment is done answering and waiting out the rest of the window only costs time.
    return lastReplyMs < 0 || quietMs <= 0 ? deadlineMs
                                           : std::min(deadlineMs, lastReplyMs + quietMs);
}
