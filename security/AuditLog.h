#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace morvane::security {

// An append-only log of who did what: one JSON object per line (time, operator, address, method, outcome,
// details), each written and flushed to the disk before the call it records is answered. The file is
// the owner's alone (0600); past its size it is renamed to PATH.1 (the older ones moving up to PATH.N)
// and a new one begun.
//
// A flush takes milliseconds: lines appended by several threads at once share one (the first thread to
// find none running flushes what all have written; the others wait for it), so that the calls recorded
// are not answered one flush after the other.
//
// Threads: any thread. m_mutex guards every member below it (every write, flush decision, rotation and
// read); the flush itself runs outside it on the descriptor, which is not closed while m_flushing.
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
    // The flushes made so far: fewer than the lines when appenders share them.
    quint64 flushes() const;
    // Told every line appended, in order, on the appending thread (it must not block). Set before the
    // log is used by more than one thread.
    void setObserver(std::function<void(const QJsonObject& line)> observer) { m_observer = std::move(observer); }

private:
    bool openLocked();
    void rotateLocked();
    // Until the line numbered `line` is on the disk; false when the flush that covered it failed.
    bool flushThrough(std::unique_lock<std::mutex>& lock, quint64 line);

    const QString m_path;
    const Limits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_flushed;
    int m_fd = -1;
    qint64 m_size = 0;
    bool m_warned = false;
    quint64 m_written = 0;     // lines written to the file, numbered from 1
    quint64 m_synced = 0;      // the last of them that a flush has covered
    quint64 m_failedAfter = 0; // the lines of the last failed flush: (after, through]
    quint64 m_failedThrough = 0;
    quint64 m_flushes = 0;
    bool m_flushing = false;
    std::function<void(const QJsonObject&)> m_observer;
};

} // namespace morvane::security
