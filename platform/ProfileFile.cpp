#include "ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

QString sectionOf(const QString& line) {
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(QLatin1Char('[')))
        return {};
    const int close = trimmed.indexOf(QLatin1Char(']'));
    if (close < 0)
        return {};
    return trimmed.mid(1, close - 1).trimmed();
}

bool isSectionLine(const QString& line) {
    const QString trimmed = line.trimmed();
    return trimmed.startsWith(QLatin1Char('[')) && trimmed.contains(QLatin1Char(']'));
}

// One line of a profile file: its bytes as stored (so that a rewrite keeps every line it does not
// change byte for byte, whatever code page it is in) and its text for comparisons.
struct ProfileLine {
    QByteArray raw;
    QString text;
};

// The files that installations have are in the system's code page, 936 (GBK); ours are UTF-8. Qt's
// converter reads GBK through ICU.
constexpr const char* kCodePage = "GBK";

struct ProfileText {
    QList<ProfileLine> lines;
    bool codePage = false; // the file is not UTF-8: its text is GBK, and so are the lines written into it
};

// Profile files are text in UTF-8 or the system code page; a file that is not valid UTF-8 is read as
// GBK. *readable is false when the file exists but cannot be read.
ProfileText readText(const QString& path, bool* exists = nullptr, bool* readable = nullptr) {
    // Opened directly rather than asked whether it exists first: Qt's existence check can miss the file
    // for the instant a writer renames the new one over it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool missing = fd < 0 && errno == ENOENT;
    if (exists)
        *exists = !missing;
    if (readable)
        *readable = true;
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        if (readable)
            *readable = missing;
        return {};
    }
    const QByteArray raw = file.readAll();
    // Stateless: a sequence cut short at the end of the file is an error too.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString asUtf8 = utf8(raw); // decoded only to learn whether the bytes are UTF-8
    ProfileText result;
    result.codePage = utf8.hasError();
    for (QByteArray line : raw.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        // Each line decoded on its own, so that a broken character cannot reach into the next line.
        QString text = QString::fromUtf8(line);
        if (result.codePage)
            text = QStringDecoder(kCodePage)(line);
        // An editor's byte-order mark must not hide the first section header; the bytes stay as they are.
        if (result.lines.isEmpty() && line.startsWith("\xEF\xBB\xBF"))
            text = QString::fromUtf8(line.mid(3));
        result.lines.append(ProfileLine{line, std::move(text)});
    }
    return result;
}

bool hasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

// Whether an existing file may be replaced by this process. The rename needs only the directory's
// permission, so the file's own is asked: a file without any write bit is read-only for every user,
// root too, as a read-only attribute is; otherwise the effective user's access decides. 0 when it may,
// else the errno to report.
int refusalToReplace(const QByteArray& target, const struct stat& old) {
    if (!S_ISREG(old.st_mode))
        return 0; // a directory or device in the way fails at the rename with its own reason
    if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return EACCES;
    return ::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

} // namespace

bool writeFileAtomically(const QString& path, const QByteArray& content, QString* error) {
    // A file reached through a symbolic link is replaced where it lies; the link stays.
    const QFileInfo link(path);
    const QFileInfo info(link.isSymLink() ? link.symLinkTarget() : path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    QByteArray temporary =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const char* step = nullptr;
    int failure = 0;
    const auto failed = [&](const char* what, int code) {
        step = what;
        failure = code;
    };
    struct stat old {};
    const bool replacing = ::stat(target.constData(), &old) == 0;
    if (const int refusal = replacing ? refusalToReplace(target, old) : 0)
        failed("open", refusal);
    const int fd = step ? -1 : ::mkstemp(temporary.data());
    if (!step && fd < 0) {
        failed("create", errno);
    } else if (fd >= 0) {
        for (qsizetype done = 0; !step && done < content.size();) {
            const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                failed("write", n < 0 ? errno : EIO);
            else
                done += n;
        }
        // Keep the permissions of the file being replaced; a new file is its owner's alone (a profile may
        // hold the database's password).
        const mode_t mode = replacing ? (old.st_mode & 07777) : 0600;
        if (!step && ::fchmod(fd, mode) != 0)
            failed("chmod", errno);
        if (!step && ::fsync(fd) != 0)
            failed("fsync", errno);
        ::close(fd);
        if (!step && ::rename(temporary.constData(), target.constData()) != 0)
            failed("rename", errno);
        if (step)
            ::unlink(temporary.constData());
    }
    if (step) {
        if (error)
            *error = QStringLiteral("Unable to write to %1: %2 failed (%3)")
                         .arg(path, QLatin1String(step), QString::fromLocal8Bit(std::strerror(failure)));
        return false;
    }
    // The rename itself reaches the disk with the directory.
    const int dir = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool parseProfileInteger(const QString& text, int& value) {
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
    , m_text(QStringLiteral("Unable to write to %1").arg(path)) {}

ProfileFile::ProfileFile(QString path)
    : m_path(std::move(path)) {}

bool ProfileFile::exists() const {
    struct stat info {};
    return ::stat(QFile::encodeName(m_path).constData(), &info) == 0;
}

bool ProfileFile::lookup(const QString& section, const QString& key, QString& value) const {
    const QList<ProfileLine> lines = readText(m_path).lines;
    bool inSection = false;
    for (const ProfileLine& entry : lines) {
        const QString& line = entry.text;
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

QString ProfileFile::readString(const QString& section, const QString& key, const QString& defaultValue) const {
    QString value;
    if (!lookup(section, key, value))
        value = defaultValue;
    return value.left(kMaxText);
}

int ProfileFile::readInteger(const QString& section, const QString& key, int defaultValue) const {
    QString text;
    if (!lookup(section, key, text))
        return defaultValue;
    int value = 0;
    return parseProfileInteger(text, value) ? value : defaultValue;
}

void ProfileFile::writeString(const QString& section, const QString& key, const QString& value) {
    // A line break would split the entry into lines of its own (a forged section, say).
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value) || key.trimmed().isEmpty())
        throw ProfileWriteError(m_path);
    bool readable = true;
    ProfileText file = readText(m_path, nullptr, &readable);
    QList<ProfileLine>& lines = file.lines;
    // A file that exists but cannot be read is not replaced by one holding only the new entry.
    if (!readable)
        throw ProfileWriteError(m_path);
    if (!lines.isEmpty() && lines.last().raw.isEmpty())
        lines.removeLast();
    int sectionStart = -1;
    int sectionEnd = lines.size();
    for (int i = 0; i < lines.size(); ++i) {
        if (!isSectionLine(lines.at(i).text))
            continue;
        if (sectionStart >= 0) {
            sectionEnd = i;
            break;
        }
        if (sectionOf(lines.at(i).text).compare(section, Qt::CaseInsensitive) == 0)
            sectionStart = i;
    }
    // New lines are written in the file's own encoding; text that GBK cannot hold would read back as
    // something else, so such a write fails instead.
    const auto makeLine = [&](const QString& text) {
        if (!file.codePage)
            return ProfileLine{text.toUtf8(), text};
        QStringEncoder encoder(kCodePage);
        QByteArray bytes = encoder.encode(text);
        if (encoder.hasError())
            throw ProfileWriteError(m_path);
        return ProfileLine{std::move(bytes), text};
    };
    const QString entry = key + QLatin1Char('=') + value;
    if (sectionStart < 0) {
        lines.append(makeLine(QLatin1Char('[') + section + QLatin1Char(']')));
        lines.append(makeLine(entry));
    } else {
        bool replaced = false;
        for (int i = sectionStart + 1; i < sectionEnd; ++i) {
            const QString& text = lines.at(i).text;
            const int eq = text.indexOf(QLatin1Char('='));
            if (eq >= 0 && text.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0) {
                lines[i] = makeLine(entry);
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            // After the section's last non-blank line.
            int at = sectionEnd;
            while (at > sectionStart + 1 && lines.at(at - 1).text.trimmed().isEmpty())
                --at;
            lines.insert(at, makeLine(entry));
        }
    }
    QByteArray content;
    for (const ProfileLine& line : lines)
        content += line.raw + "\r\n";
    if (!writeFileAtomically(m_path, content))
        throw ProfileWriteError(m_path);
}

void ProfileFile::writeInteger(const QString& section, const QString& key, int value) {
    writeString(section, key, QString::number(value));
}

} // namespace morvane::platform
