#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <mutex>

namespace morvane::security {

// An append-only log of who did what: one JSON object per line (time, operator, address, method, outcome,
// details), each written and flushed to the disk before the call it records is answered. The file is
// the owner's alone (0600); past its size it is renamed to PATH.1 (the older ones moving up to PATH.N)
// and a new one begun.
//
// Threads: any thread. m_mutex guards the file descriptor and every write, rotation and read.
class AuditLog {
public:
    struct Limits {
        qint64 fileBytes = 10 * 1024 * 1024;
        int files = 5; // the current one and the renamed ones
    };
    explicit AuditLog(QString path);
    AuditLog(QString path, Limits limits);
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // False when the line could not be written whole and flushed (said once on the log).
    bool append(const QString& operatorName, const QString& address, const QString& method, const QString& outcome,
                const QJsonObject& details = {});

    // The lines written at `since` or later, oldest first: at most `maxLines` and about `maxBytes`
    // (*truncated says when more were left out).
    QJsonArray since(const QDateTime& since, int maxLines, qint64 maxBytes, bool* truncated);

    const QString& path() const { return m_path; }
    // Told every line appended, in order, on the appending thread (it must not block). Set before the
    // log is used by more than one thread.
    void setObserver(std::function<void(const QJsonObject& line)> observer) { m_observer = std::move(observer); }

private:
    bool openLocked();
    void rotateLocked();

    const QString m_path;
    const Limits m_limits;
    std::mutex m_mutex;
    int m_fd = -1;
    qint64 m_size = 0;
    bool m_warned = false;
    std::function<void(const QJsonObject&)> m_observer;
};

} // namespace morvane::security
