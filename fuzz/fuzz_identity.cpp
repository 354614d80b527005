// Fuzzes the identity parsers (blkid output, ID file, version file) and checks their rules.
#include "identity.h"

#include <cstdint>
#include <cstdlib>

namespace {
void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    const QString hardId = hardIdFromBlkid(bytes);
    check(!hardId.contains(QLatin1Char('"')));
    if (!hardId.isEmpty()) {
        check(QString::fromUtf8(bytes).contains(QStringLiteral("PTUUID=\"") + hardId +
                                                QLatin1Char('"')));
    }

    const QString id = deviceIdFromFile(bytes);
    check(!id.isEmpty());
    // Only the ASCII white space of the file's bytes is trimmed (a leading U+00A0 stays), and
    // before the text is cut at a NUL byte, so white space before a NUL remains.
    const auto asciiSpace = [](QChar c) {
        return c == QLatin1Char(' ') || (c.unicode() >= 9 && c.unicode() <= 13);
    };
    if (!bytes.contains('\0')) {
        check(!asciiSpace(id.front()) && !asciiSpace(id.back()));
    }

    QString name;
    QString version;
    deviceInfoFromFile(bytes, &name, &version);
    check(!name.contains(QLatin1Char('\n')) && !name.contains(QLatin1Char('\r')));
    check(!version.contains(QLatin1Char('\n')) && !version.contains(QLatin1Char('\r')));
    check(!name.contains(QChar(0)) && !version.contains(QChar(0)));
    return 0;
}
