#include "ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace morvane::platform {

namespace {

QString sectionOf(const QString& line)
{
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(QLatin1Char('[')))
        return {};
    const int close = trimmed.indexOf(QLatin1Char(']'));
    if (close < 0)
        return {};
    return trimmed.mid(1, close - 1).trimmed();
}

bool isSectionLine(const QString& line)
{
    const QString trimmed = line.trimmed();
    return trimmed.startsWith(QLatin1Char('[')) && trimmed.contains(QLatin1Char(']'));
}

QStringList readLines(const QString& path, bool* exists = nullptr)
{
    QFile file(path);
    if (exists)
        *exists = file.exists();
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Profile files are text in the system code page; text that is not valid UTF-8 is taken as Latin-1
    // so that no byte is lost.
    const QByteArray raw = file.readAll();
    QString text = QString::fromUtf8(raw);
    if (text.contains(QChar::ReplacementCharacter))
        text = QString::fromLatin1(raw);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text.split(QLatin1Char('\n'));
}

} // namespace

bool parseProfileInteger(const QString& text, int& value)
{
    const QString t = text.trimmed();
    bool ok = false;
    if (t.size() > 2 && (t.startsWith(QLatin1String("0x")) || t.startsWith(QLatin1String("0X")))) {
        const qlonglong v = t.mid(2).toLongLong(&ok, 16);
        value = static_cast<int>(static_cast<uint32_t>(v));
        return ok && v >= 0 && v <= 0xFFFFFFFFLL;
    }
    const qlonglong v = t.toLongLong(&ok, 10);
    if (!ok || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(v);
    return true;
}

ProfileWriteError::ProfileWriteError(const QString& path)
    : std::runtime_error(QStringLiteral("Unable to write to %1").arg(path).toStdString())
    , m_text(QStringLiteral("Unable to write to %1").arg(path))
{
}

ProfileFile::ProfileFile(QString path)
    : m_path(std::move(path))
{
}

bool ProfileFile::exists() const { return QFileInfo::exists(m_path); }

bool ProfileFile::lookup(const QString& section, const QString& key, QString& value) const
{
    const QStringList lines = readLines(m_path);
    bool inSection = false;
    for (const QString& line : lines) {
        if (isSectionLine(line)) {
            inSection = sectionOf(line).compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection)
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        if (line.left(eq).trimmed().compare(key, Qt::CaseInsensitive) != 0)
            continue;
        value = line.mid(eq + 1).trimmed();
        // A value in matching quotes is read without them, as the platform does.
        if (value.size() >= 2 && ((value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"'))) ||
                                  (value.startsWith(QLatin1Char('\'')) && value.endsWith(QLatin1Char('\'')))))
            value = value.mid(1, value.size() - 2);
        return true;
    }
    return false;
}

QString ProfileFile::readString(const QString& section, const QString& key, const QString& defaultValue) const
{
    QString value;
    if (!lookup(section, key, value))
        value = defaultValue;
    return value.left(kMaxText);
}

int ProfileFile::readInteger(const QString& section, const QString& key, int defaultValue) const
{
    QString text;
    if (!lookup(section, key, text))
        return defaultValue;
    int value = 0;
    return parseProfileInteger(text, value) ? value : defaultValue;
}

void ProfileFile::writeString(const QString& section, const QString& key, const QString& value)
{
    bool existed = false;
    QStringList lines = readLines(m_path, &existed);
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    int sectionStart = -1;
    int sectionEnd = lines.size();
    for (int i = 0; i < lines.size(); ++i) {
        if (!isSectionLine(lines.at(i)))
            continue;
        if (sectionStart >= 0) {
            sectionEnd = i;
            break;
        }
        if (sectionOf(lines.at(i)).compare(section, Qt::CaseInsensitive) == 0)
            sectionStart = i;
    }
    const QString entry = key + QLatin1Char('=') + value;
    if (sectionStart < 0) {
        lines.append(QLatin1Char('[') + section + QLatin1Char(']'));
        lines.append(entry);
    } else {
        bool replaced = false;
        for (int i = sectionStart + 1; i < sectionEnd; ++i) {
            const int eq = lines.at(i).indexOf(QLatin1Char('='));
            if (eq >= 0 && lines.at(i).left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0) {
                lines[i] = entry;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            // After the section's last non-blank line.
            int at = sectionEnd;
            while (at > sectionStart + 1 && lines.at(at - 1).trimmed().isEmpty())
                --at;
            lines.insert(at, entry);
        }
    }
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        throw ProfileWriteError(m_path);
    file.write((lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n")).toUtf8());
    if (!file.commit())
        throw ProfileWriteError(m_path);
}

void ProfileFile::writeInteger(const QString& section, const QString& key, int value)
{
    writeString(section, key, QString::number(value));
}

} // namespace morvane::platform
