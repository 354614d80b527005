// Bytes to text, up to the first NUL.
#include "text.h"

QByteArray bytesBeforeNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

QString utf8BeforeNul(const QByteArray &bytes) {
    return QString::fromUtf8(bytesBeforeNul(bytes));
}

QString latin1BeforeNul(const QByteArray &bytes) {
    return QString::fromLatin1(bytesBeforeNul(bytes));
}
