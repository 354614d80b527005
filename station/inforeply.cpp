// Parsing a board's info reply.
#include "boards.h"

#include "text.h"
#include "wire.h"

namespace {

// Device and Version are the board's file bytes: UTF-8 on a modern board, anything on an old
// one. Valid UTF-8 is taken as such (ASCII included; a leading byte-order mark dropped, as the
// decoder drops it); anything else as Latin-1, byte for byte. Valid means that the text gives
// the same bytes back: the decoder turns whatever is not valid into U+FFFD.
QString fileText(const QByteArray &bytes) {
    static const QByteArray kByteOrderMark("\xEF\xBB\xBF");
    const QString text = QString::fromUtf8(bytes);
    const QByteArray body = bytes.startsWith(kByteOrderMark) ? bytes.mid(3) : bytes;
    return text.toUtf8() == body ? text : QString::fromLatin1(bytes);
}

} // namespace

bool parseInfoReply(const QByteArray &payload, BoardInfo *board, QString *error, QString *tag) {
    // A NIC may pad a short frame with zeros; the text ends before them.
    const QByteArray bytes = bytesBeforeNul(payload);
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.first() != wire::kInfoReplyTag) {
        *error = QStringLiteral("does not start with %1").arg(QLatin1String(wire::kInfoReplyTag));
        return false;
    }
    if (!bytes.endsWith('\n')) {
        *error = QStringLiteral("cut short (no final line feed)");
        return false;
    }
    const QByteArray separatorText(wire::kLabelSeparator);
    QList<QByteArray> values;
    QList<bool> seen;
    for (int i = 0; i < wire::InfoFieldCount; ++i) {
        values.append(QByteArray());
        seen.append(false);
    }
    const auto labelIndex = [](const QByteArray &label) {
        for (int i = 0; i < wire::InfoFieldCount; ++i) {
            if (label == wire::kInfoLabels[i]) {
                return i;
            }
        }
        return -1;
    };
    QByteArray tagValue;
    QByteArray bootValue;
    QByteArray challenge;
    QStringList keyIds;
    QByteArray startValue;
    // The field the last line belonged to; -1 before the first and after one this tool does
    // not know.
    int open = -1;
    for (int i = 1; i < lines.size() - 1; ++i) {
        const QByteArray &line = lines.at(i);
        const int separator = line.indexOf(separatorText);
        const int which = separator < 0 ? -1 : labelIndex(line.left(separator));
        if ((which < 0 || seen.at(which)) && (open == wire::Product || open == wire::HardId)) {
            // The ID file keeps its inner line ends and blkid's output may run across one:
            // the line goes on with the value, joined by its line end (a CR stays with it).
            values[open] += '\n' + line;
            continue;
        }
        if (separator < 0) {
            *error = QStringLiteral("line %1 is not 'Label : value': %2")
                         .arg(i + 1)
                         .arg(QString::fromLatin1(line));
            return false;
        }
        open = which;
        if (which < 0) {
            // A label this tool does not know yet; the tag and the restart values of a
            // board-address reply.
            const QByteArray label = line.left(separator);
            const QByteArray value = line.mid(separator + separatorText.size());
            if (label == wire::kTagLabel) {
                tagValue = value;
            } else if (label == wire::kBootLabel) {
                bootValue = value;
            } else if (label == wire::kStartLabel) {
                startValue = value;
            } else if (label == keys::kChallengeLabel) {
                challenge = value;
            } else if (label == keys::kProofLabel) {
                keyIds.append(QString::fromLatin1(value.left(value.indexOf(' '))));
            }
            continue;
        }
        if (seen.at(which)) {
            *error = QStringLiteral("%1 given twice").arg(QLatin1String(wire::kInfoLabels[which]));
            return false;
        }
        seen[which] = true;
        values[which] = line.mid(separator + separatorText.size());
    }
    QStringList missing;
    for (int i = 0; i < wire::InfoFieldCount; ++i) {
        if (!seen.at(i)) {
            missing.append(QLatin1String(wire::kInfoLabels[i]));
        }
    }
    if (!missing.isEmpty()) {
        *error = QStringLiteral("missing %1").arg(missing.join(QStringLiteral(", ")));
        return false;
    }
    board->device = fileText(values.at(wire::Device));
    board->version = fileText(values.at(wire::Version));
    board->product = QString::fromLatin1(values.at(wire::Product));
    board->hardId = QString::fromLatin1(values.at(wire::HardId));
    board->ipAddresses =
        QString::fromLatin1(values.at(wire::IpAddress)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    board->reply = bytes;
    board->boot = QString::fromLatin1(bootValue);
    board->start = QString::fromLatin1(startValue);
    board->challenge = QString::fromLatin1(challenge);
    board->keyIds = keyIds;
    if (tag != nullptr) {
        *tag = QString::fromLatin1(tagValue);
    }
    return true;
}
