// Bytes to text, up to the first NUL.
#include "text.h"

namespace {

QByteArray beforeNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

} // namespace

QString utf8BeforeNul(const QByteArray &bytes) {
    return QString::fromUtf8(beforeNul(bytes));
}

QString latin1BeforeNul(const QByteArray &bytes) {
    return QString::fromLatin1(beforeNul(bytes));
}
