#include "AuditLog.h"

#include "LocalTime.h"

#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::security {

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz");

QString rotated(const QString& path, int n) {
    return path + QLatin1Char('.') + QString::number(n);
}

} // namespace

AuditLog::AuditLog(QString path)
    : AuditLog(std::move(path), Limits{}) {}

AuditLog::AuditLog(QString path, Limits limits)
    : m_path(std::move(path))
    , m_limits(limits) {}

AuditLog::~AuditLog() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool AuditLog::openLocked() {
    if (m_fd >= 0)
        return true;
    const QByteArray native = QFile::encodeName(m_path);
    m_fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return false;
    // A file made earlier under a looser umask, or by hand, is the owner's alone again.
    ::fchmod(m_fd, 0600);
    struct stat info {};
    m_size = ::fstat(m_fd, &info) == 0 ? info.st_size : 0;
    return true;
}

void AuditLog::rotateLocked() {
    // No flush runs (the caller saw to it): what the old file holds is flushed here, under the lock.
    const bool ok = ::fsync(m_fd) == 0;
    ++m_flushes;
    if (!ok) {
        m_failedAfter = m_synced;
        m_failedThrough = m_written;
    }
    m_synced = m_written;
    m_flushed.notify_all();
    ::close(m_fd);
    m_fd = -1;
    QFile::remove(rotated(m_path, m_limits.files - 1));
    for (int n = m_limits.files - 2; n >= 1; --n)
        QFile::rename(rotated(m_path, n), rotated(m_path, n + 1));
    QFile::rename(m_path, rotated(m_path, 1));
}

bool AuditLog::append(const QString& operatorName, const QString& address, const QString& method,
                      const QString& outcome, const QJsonObject& details) {
    const QJsonObject line{{QStringLiteral("time"), platform::localTimeText(QDateTime::currentMSecsSinceEpoch())},
                           {QStringLiteral("operator"), operatorName},
                           {QStringLiteral("address"), address},
                           {QStringLiteral("method"), method},
                           {QStringLiteral("outcome"), outcome},
                           {QStringLiteral("details"), details}};
    QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact);
    text.append('\n');
    std::unique_lock lock(m_mutex);
    while (m_fd >= 0 && m_size > 0 && m_size + text.size() > m_limits.fileBytes) {
        // Not while a flush runs on the descriptor; another thread may have rotated meanwhile.
        if (m_flushing)
            m_flushed.wait(lock);
        else
            rotateLocked();
    }
    bool written = openLocked();
    qsizetype done = 0;
    while (written && done < text.size()) {
        const ssize_t n = ::write(m_fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += written ? n : 0;
    }
    m_size += done;
    const quint64 number = ++m_written;
    // Under the lock, so that observers see the lines in the order of the file.
    if (m_observer)
        m_observer(line);
    written = written && flushThrough(lock, number);
    if (!written && !m_warned) {
        m_warned = true;
        qWarning("morvane: the audit log %s cannot be written: %s", qPrintable(m_path), std::strerror(errno));
    }
    return written;
}

bool AuditLog::flushThrough(std::unique_lock<std::mutex>& lock, quint64 line) {
    while (m_synced < line) {
        if (m_flushing) {
            m_flushed.wait(lock);
            continue;
        }
        // This flush covers every line written so far, those of the threads waiting for it included.
        m_flushing = true;
        const quint64 after = m_synced;
        const quint64 through = m_written;
        const int fd = m_fd;
        lock.unlock();
        const bool ok = fd >= 0 && ::fsync(fd) == 0;
        lock.lock();
        m_flushing = false;
        ++m_flushes;
        m_synced = through;
        if (!ok) {
            m_failedAfter = after;
            m_failedThrough = through;
        }
        m_flushed.notify_all();
    }
    return line <= m_failedAfter || line > m_failedThrough;
}

quint64 AuditLog::flushes() const {
    std::lock_guard lock(m_mutex);
    return m_flushes;
}

QJsonArray AuditLog::since(const QDateTime& since, int maxLines, qint64 maxBytes, bool* truncated) {
    std::lock_guard lock(m_mutex);
    QStringList files;
    for (int n = m_limits.files - 1; n >= 1; --n)
        files.append(rotated(m_path, n));
    files.append(m_path);
    QJsonArray lines;
    qint64 bytes = 0;
    *truncated = false;
    for (const QString& name : files) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            const QByteArray raw = file.readLine(1024 * 1024);
            const QJsonObject line = QJsonDocument::fromJson(raw).object();
            const QDateTime when = QDateTime::fromString(line.value(QStringLiteral("time")).toString(), kTimeFormat);
            if (line.isEmpty() || !when.isValid() || when < since)
                continue;
            if (lines.size() >= maxLines || bytes + raw.size() > maxBytes) {
                *truncated = true;
                return lines;
            }
            bytes += raw.size();
            lines.append(line);
        }
    }
    return lines;
}

} // namespace morvane::security
