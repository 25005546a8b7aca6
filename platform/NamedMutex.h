#pragma once

#include <QString>

namespace morvane::platform {

// A named, machine-wide single-instance object: an flock on a file per name in the lock directory
// ($MORVANE_LOCK_DIR, else /run/lock when it exists and is writable, else /tmp), the same for every
// user, as the platform's named objects are. The kernel drops the lock when its process dies, so a lock
// held by a dead process is free again.
class NamedMutex {
public:
    static constexpr int kErrorAlreadyExists = 183;

    static QString lockDirectory();

    // Creates the object; owned = take the lock. lastError() is kErrorAlreadyExists when another process
    // holds it (the object then owns nothing), or the errno of a lock file that cannot be opened.
    NamedMutex(const QString& name, bool owned);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    int lastError() const { return m_lastError; }
    bool alreadyExists() const { return m_lastError == kErrorAlreadyExists; }
    bool isOwned() const { return m_fd >= 0; }
    // The lock file of this name.
    const QString& path() const { return m_path; }
    // Why the lock could not be taken: "PATH: reason", empty when it was taken or another process holds it.
    QString failureText() const;
    // Releases the lock (idempotent).
    void release();

    // True when some process holds the named lock, without taking it.
    static bool isHeld(const QString& name);

private:
    QString m_path;
    int m_fd = -1;
    int m_lastError = 0;
};

} // namespace morvane::platform
