// How bytes from the kernel or a file become text. Qt 5's QString::fromUtf8(QByteArray) and
// fromLatin1(QByteArray) stop at the first NUL byte and Qt 6's do not; the agent's texts keep
// Qt 5's rule, on either Qt, by saying it here.
#pragma once

#include <QByteArray>
#include <QString>

// The bytes before the first NUL: all of them when there is none.
QByteArray bytesBeforeNul(const QByteArray &bytes);
// Those bytes as UTF-8 or as Latin-1.
QString utf8BeforeNul(const QByteArray &bytes);
QString latin1BeforeNul(const QByteArray &bytes);
