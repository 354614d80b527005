// Fuzzes the MAC address codec both ways and checks that it round-trips.
#include "protocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString text = macBytes2String(bytes);
    if (size == 6) {
        if (text.size() != 17 || string2MacBytes(text) != bytes || text != text.toUpper()) {
            std::abort();
        }
    } else if (!text.isEmpty()) {
        std::abort();
    }
    const QByteArray parsed = string2MacBytes(QString::fromUtf8(bytes));
    if (!parsed.isEmpty() &&
        (parsed.size() != 6 || string2MacBytes(macBytes2String(parsed)) != parsed)) {
        std::abort();
    }
    return 0;
}
