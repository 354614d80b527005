// Parsing a board's info reply.
#include "station.h"

#include "wire.h"

bool parseInfoReply(const QByteArray &payload, BoardInfo *board, QString *error) {
    // A NIC may pad a short frame with zeros; the text ends before them.
    QByteArray bytes = payload;
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) {
        bytes.truncate(zero);
    }
    const QStringList lines = QString::fromLatin1(bytes).split(QLatin1Char('\n'));
    if (lines.first() != QLatin1String(wire::kInfoReplyTag)) {
        *error = QStringLiteral("does not start with %1").arg(QLatin1String(wire::kInfoReplyTag));
        return false;
    }
    if (!bytes.endsWith('\n')) {
        *error = QStringLiteral("cut short (no final line feed)");
        return false;
    }
    QStringList labels;
    for (const char *label : wire::kInfoLabels) {
        labels.append(QLatin1String(label));
    }
    QStringList values(QVector<QString>(labels.size()).toList());
    QList<bool> seen(QVector<bool>(labels.size(), false).toList());
    // The field the last line belonged to; -1 before the first and after one this tool does
    // not know.
    int open = -1;
    for (int i = 1; i < lines.size() - 1; ++i) {
        const QString line = lines.at(i);
        const int separator = line.indexOf(QLatin1String(wire::kLabelSeparator));
        const int which = separator < 0 ? -1 : labels.indexOf(line.left(separator));
        if ((which < 0 || seen.at(which)) && (open == wire::Product || open == wire::HardId)) {
            // The ID file keeps its inner line ends and blkid's output may run across one:
            // the line goes on with the value, joined by its line end (a CR stays with it).
            values[open] += QLatin1Char('\n') + line;
            continue;
        }
        if (separator < 0) {
            *error = QStringLiteral("line %1 is not 'Label : value': %2").arg(i + 1).arg(line);
            return false;
        }
        open = which;
        if (which < 0) {
            continue; // a label this tool does not know yet
        }
        if (seen.at(which)) {
            *error = QStringLiteral("%1 given twice").arg(labels.at(which));
            return false;
        }
        seen[which] = true;
        values[which] = line.mid(separator + int(sizeof wire::kLabelSeparator) - 1);
    }
    QStringList missing;
    for (int i = 0; i < labels.size(); ++i) {
        if (!seen.at(i)) {
            missing.append(labels.at(i));
        }
    }
    if (!missing.isEmpty()) {
        *error = QStringLiteral("missing %1").arg(missing.join(QStringLiteral(", ")));
        return false;
    }
    board->device = values.at(wire::Device);
    board->version = values.at(wire::Version);
    board->product = values.at(wire::Product);
    board->hardId = values.at(wire::HardId);
    board->ipAddresses = values.at(wire::IpAddress).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return true;
}
