#ifndef PRINTABLE_H
#define PRINTABLE_H

#include <QString>

// Text from a device, shown on a terminal or in a log: a control character
// could retitle or clear the terminal, or forge a line of its own, and a
// direction override could reorder what follows. Doubled backslashes keep an
// escape from being forged either. Reports and databases keep the text as it came.
inline QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            shown += (c.unicode() < 0x100 ? QStringLiteral("\\x") : QStringLiteral("\\u"))
                    + QString::number(c.unicode(), 16)
                              .toUpper()
                              .rightJustified(c.unicode() < 0x100 ? 2 : 4, QLatin1Char('0'));
            break;
        default:
            if (c == QLatin1Char('\\'))
                shown += c;
            shown += c;
        }
    }
    return shown;
}

#endif // PRINTABLE_H
