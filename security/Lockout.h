#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <mutex>
#include <optional>

namespace morvane::security {

// Failed log-ons per operator and address: the fifth in a row locks that pair out for 15 minutes, each
// lock-out after that for twice as long as the one before, a day at most. Addresses on the exempt list
// (single addresses or CIDR ranges) are never locked out, so the installer keeps a way in. Times are
// milliseconds since the epoch, given by the caller (tests move them on).
//
// Threads: any thread; m_mutex guards m_entries.
class Lockout {
public:
    static constexpr int kFailures = 5;
    static constexpr qint64 kFirstMs = 15 * 60 * 1000;
    static constexpr qint64 kLongestMs = 24 * 60 * 60 * 1000;

    // "127.0.0.1, 10.0.0.0/8 ::1": separated by commas or blanks; false with the word that is no address.
    bool setExempt(const QString& list, QString* bad = nullptr);
    bool exempt(const QString& address) const;

    // Until when the pair is locked out (ms since the epoch), or nullopt.
    std::optional<qint64> lockedUntil(const QString& operatorName, const QString& address, qint64 now);
    // A failed log-on; answers the end of the lock-out it began, if it began one.
    std::optional<qint64> fail(const QString& operatorName, const QString& address, qint64 now);
    void succeed(const QString& operatorName, const QString& address);

private:
    struct Entry {
        int failures = 0;
        int lockouts = 0; // how many the pair has had: each doubles the next
        qint64 until = 0;
        qint64 last = 0;
    };
    static QString key(const QString& operatorName, const QString& address);
    void pruneLocked(qint64 now);

    QList<QPair<QHostAddress, int>> m_exempt; // set before clients are served, then only read
    std::mutex m_mutex;
    QHash<QString, Entry> m_entries;
};

} // namespace morvane::security
