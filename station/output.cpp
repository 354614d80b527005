// What l2station prints: the boards as a table or JSON, payloads as escaped text and hex.
#include "boards.h"
#include "stablesort.h"

#include "wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

QString shownValue(const QString &text) {
    // One sign for an empty value everywhere, so a blank is never mistaken for a gap.
    return text.isEmpty() ? QStringLiteral("-") : printableText(text);
}

QString boardAddressText(const BoardInfo &board) {
    if (!board.sharedAddress()) {
        return wire::macText(board.mac) +
               (board.conflict ? QStringLiteral(" (conflict)") : QString());
    }
    return board.count > 1 ? QStringLiteral("shared x%1").arg(board.count)
                           : QStringLiteral("shared");
}

bool boardLess(const BoardInfo &a, const BoardInfo &b) {
    if (a.device != b.device) {
        return a.device < b.device;
    }
    if (a.hardId != b.hardId) {
        return a.hardId < b.hardId;
    }
    return boardAddressText(a) < boardAddressText(b);
}

void sortBoards(QList<BoardInfo> *boards) {
    stableSort(boards, boardLess);
}

int displayWidth(const QString &text) {
    int width = 0;
    for (int i = 0; i < text.size(); ++i) {
        uint c = text.at(i).unicode();
        if (text.at(i).isHighSurrogate() && i + 1 < text.size()) {
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        const bool combining = (c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F);
        // The East Asian wide and full-width ranges: Hangul, CJK, kana, full-width forms.
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                          (c >= 0x20000 && c <= 0x3FFFD);
        width += combining ? 0 : wide ? 2 : 1;
    }
    return width;
}

namespace {

// The text cut to at most `width` columns, its end marked with an ellipsis.
QString cut(const QString &text, int width) {
    if (displayWidth(text) <= width) {
        return text;
    }
    static const QString ellipsis = QStringLiteral("\u2026");
    QString kept;
    for (int i = 0; i < text.size(); ++i) {
        const int step = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString next = text.mid(i, step);
        if (displayWidth(kept + next) + 1 > width) {
            break;
        }
        kept += next;
        i += step - 1;
    }
    return kept + ellipsis;
}

QString padded(const QString &text, int width) {
    return text + QString(qMax(0, width - displayWidth(text)), QLatin1Char(' '));
}

} // namespace

QString boardsTable(const QList<BoardInfo> &boards, int width) {
    QList<QStringList> rows{{QStringLiteral("DEVICE"), QStringLiteral("VERSION"),
                             QStringLiteral("PRODUCT"), QStringLiteral("HARDID"),
                             QStringLiteral("IPV4"), QStringLiteral("MAC"), QStringLiteral("MS")}};
    // With keys, whether each board proved one.
    const bool checked =
        std::any_of(boards.cbegin(), boards.cend(), [](const BoardInfo &b) { return b.checked; });
    if (checked) {
        rows.first().append(QStringLiteral("VERIFIED"));
    }
    for (const BoardInfo &b : boards) {
        // Any board on the segment can be an impostor: its texts never reach the terminal raw.
        rows.append({shownValue(b.device), shownValue(b.version), shownValue(b.product),
                     shownValue(b.hardId), shownValue(b.ipAddresses.join(QLatin1Char(' '))),
                     boardAddressText(b), QString::number(b.replyMs, 'f', 1)});
        if (checked) {
            rows.last().append(b.verified ? QStringLiteral("yes") : QStringLiteral("no"));
        }
    }
    return textTable(rows, {0, 1, 2, 3, 4}, width);
}

QString textTable(const QList<QStringList> &rows, const QList<int> &cuttable, int width) {
    if (rows.isEmpty()) {
        return QString();
    }
    const int columns = rows.first().size();
    QList<int> widths;
    for (int c = 0; c < columns; ++c) {
        int w = 0;
        for (const QStringList &row : rows) {
            w = std::max(w, displayWidth(row.value(c)));
        }
        widths.append(w);
    }
    if (width > 0 && !cuttable.isEmpty()) {
        // The widest of the board's own texts (addresses and times stay whole) gives up a
        // column at a time until a row fits, down to 8.
        const auto total = [&] {
            int sum = 2 * (columns - 1);
            for (int w : widths) {
                sum += w;
            }
            return sum;
        };
        for (;;) {
            int widest = cuttable.first();
            for (int c : cuttable) {
                widest = widths.at(c) > widths.at(widest) ? c : widest;
            }
            if (total() <= width || widths.at(widest) <= 8) {
                break;
            }
            --widths[widest];
        }
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < columns; ++c) {
            const QString cell = cut(row.value(c), widths.at(c));
            line += c + 1 < columns ? padded(cell, widths.at(c) + 2) : cell;
        }
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString fieldChangeText(const QString &field, const BoardInfo &was, const BoardInfo &now) {
    const auto value = [&](const BoardInfo &b) {
        if (field == QLatin1String(wire::kInfoLabels[wire::Device])) {
            return shownValue(b.device);
        }
        if (field == QLatin1String(wire::kInfoLabels[wire::Version])) {
            return shownValue(b.version);
        }
        if (field == QLatin1String(wire::kInfoLabels[wire::Product])) {
            return shownValue(b.product);
        }
        if (field == QLatin1String(wire::kInfoLabels[wire::HardId])) {
            return shownValue(b.hardId);
        }
        if (field == QLatin1String(wire::kInfoLabels[wire::IpAddress])) {
            return shownValue(b.ipAddresses.join(QLatin1Char(',')));
        }
        return QString::number(b.count);
    };
    return field + QLatin1Char(' ') + value(was) + QStringLiteral(" > ") + value(now);
}

QJsonObject boardJson(const BoardInfo &b) {
    QJsonObject o;
    // The keys are the reply's own labels.
    o.insert(QLatin1String(wire::kInfoLabels[wire::Device]), b.device);
    o.insert(QLatin1String(wire::kInfoLabels[wire::Version]), b.version);
    o.insert(QLatin1String(wire::kInfoLabels[wire::Product]), b.product);
    o.insert(QLatin1String(wire::kInfoLabels[wire::HardId]), b.hardId);
    o.insert(QLatin1String(wire::kInfoLabels[wire::IpAddress]),
             QJsonArray::fromStringList(b.ipAddresses));
    // The board's own address as the agent logs it; null for a board at the shared address.
    o.insert(QStringLiteral("Mac"),
             b.sharedAddress() ? QJsonValue() : QJsonValue(wire::macText(b.mac)));
    o.insert(QStringLiteral("Count"), b.count);
    o.insert(QStringLiteral("replyMs"), std::round(b.replyMs * 1000) / 1000);
    // What tells a restart; null from boards that do not send it.
    const auto orNull = [](const QString &v) { return v.isEmpty() ? QJsonValue() : QJsonValue(v); };
    o.insert(QLatin1String(wire::kBootLabel), orNull(b.boot));
    o.insert(QLatin1String(wire::kStartLabel), orNull(b.start));
    if (b.checked) {
        o.insert(QStringLiteral("Verified"), b.verified);
    }
    if (b.conflict) {
        o.insert(QStringLiteral("Conflict"), true);
    }
    return o;
}

QByteArray boardsJson(const QList<BoardInfo> &boards) {
    QJsonArray array;
    for (const BoardInfo &b : boards) {
        array.append(boardJson(b));
    }
    return escapeJsonControls(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

bool unsafeToShow(uint c) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
        return true; // ESC, BEL, CR and CSI could drive the technician's terminal
    }
    // U+202E makes "SAFE-<RLO>gnp.exe" show as ending in ".png"; U+2028 breaks a line where
    // none is.
    switch (QChar::category(c)) {
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

QByteArray escapeJsonControls(QByteArray json) {
    // Qt writes DEL, the C1 controls and format characters raw. Outside strings JSON is plain
    // ASCII, so every such character stands inside a string, where \uXXXX means the same (a
    // character beyond the first plane as its surrogate pair, JSON's own spelling of it).
    const QString text = QString::fromUtf8(json);
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const uint c =
            pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        const int units = pair ? 2 : 1;
        for (int u = 0; u < units; ++u) {
            const QChar unit = text.at(i + u);
            // Raw C0 here is the writer's own layout (its line breaks): Qt escapes C0 in strings.
            out += c >= 0x20 && unsafeToShow(c)
                       ? QStringLiteral("\\u%1").arg(unit.unicode(), 4, 16, QLatin1Char('0'))
                       : QString(unit);
        }
        i += units - 1;
    }
    return out.toUtf8();
}

QString printableText(const QString &text) {
    QString out;
    const QVector<uint> points = text.toUcs4();
    for (const uint c : points) {
        if (c == '\\') {
            out += QStringLiteral("\\\\");
        } else if (!unsafeToShow(c)) {
            const char32_t point = c;
            out += QString::fromUcs4(&point, 1);
        } else if (c <= 0xFF) {
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        } else if (c <= 0xFFFF) {
            out += QStringLiteral("\\u%1").arg(c, 4, 16, QLatin1Char('0'));
        } else {
            out += QStringLiteral("\\U%1").arg(c, 8, 16, QLatin1Char('0'));
        }
    }
    return out;
}

QString printablePayload(const QByteArray &payload) {
    QString text;
    for (char ch : payload) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            text += QStringLiteral("\\n");
        } else if (c == '\\') {
            text += QStringLiteral("\\\\");
        } else if (c >= 0x20 && c < 0x7F) {
            text += QLatin1Char(ch);
        } else {
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        }
    }
    return text;
}

QString printablePayloadText(const QByteArray &payload, int *padding) {
    int end = payload.size();
    while (end > 0 && payload.at(end - 1) == '\0') {
        --end;
    }
    *padding = payload.size() - end;
    return printablePayload(payload.left(end));
}

QString hexDump(const QByteArray &bytes) {
    QString text;
    for (int offset = 0; offset < bytes.size(); offset += 16) {
        const QByteArray line = bytes.mid(offset, 16);
        QString hex;
        QString ascii;
        for (int i = 0; i < 16; ++i) {
            if (i < line.size()) {
                const unsigned char c = static_cast<unsigned char>(line.at(i));
                hex += QStringLiteral("%1 ").arg(c, 2, 16, QLatin1Char('0'));
                ascii += c >= 0x20 && c < 0x7F ? QLatin1Char(char(c)) : QLatin1Char('.');
            } else {
                hex += QStringLiteral("   ");
            }
            if (i == 7) {
                hex += QLatin1Char(' ');
            }
        }
        text +=
            QStringLiteral("%1  %2 |%3|\n").arg(offset, 4, 16, QLatin1Char('0')).arg(hex, ascii);
    }
    return text;
}
