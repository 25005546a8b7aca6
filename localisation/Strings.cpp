#include "Strings.h"

namespace morvane::localisation {

void TStringList::setStrings(const QStringList& texts) {
    m_texts = texts;
}

QStringList splitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        lines.append(text.mid(start, i - start));
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.append(text.mid(start));
    return lines;
}

QString joinLines(const QStringList& lines) {
    QString text;
    for (const QString& line : lines)
        text += line + QLatin1String("\r\n");
    return text;
}

} // namespace morvane::localisation
