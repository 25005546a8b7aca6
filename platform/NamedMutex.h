#pragma once

#include <QString>

#include <sys/types.h>

namespace morvane::platform {

// A named single-instance object: an flock on a file per name in the lock directory, which also holds the
// application server's endpoints. The directory is the server user's own, so that no other user can take
// a lock or an endpoint first:
//   $MORVANE_LOCK_DIR, made when missing;
//   else $XDG_RUNTIME_DIR/morvane, when that runtime folder is the user's;
//   else /run/morvane, when it is the user's or can be made (root, or a service manager, makes it);
//   else /tmp/morvane-<uid>.
// A directory is refused when another user owns it or may write in it; the two this code alone makes
// ($XDG_RUNTIME_DIR/morvane and /tmp/morvane-<uid>, 0700) also when anyone else may look into them, and
// when they are links. A lock file of another user, or a link in its place, is refused too. The kernel
// drops the lock when its process dies, so a lock held by a dead process is free again.
class NamedMutex {
public:
    static constexpr int kErrorAlreadyExists = 183;

    // The lock directory, made when missing; empty, with the reason and what to do in *error ("DIR: ..."),
    // when it may not be used.
    static QString lockDirectory(QString* error = nullptr);
    // The reason why a file found in the lock directory, owned by `owner`, is refused; empty when it is this
    // user's.
    static QString foreignOwnerText(uid_t owner);

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
    // Why the lock could not be taken: "PATH: reason" (the lock file's or the directory's), empty when it was
    // taken or another process holds it.
    QString failureText() const;
    // Releases the lock (idempotent).
    void release();

    // True when some process holds the named lock, without taking it.
    static bool isHeld(const QString& name);

private:
    QString m_path;
    int m_fd = -1;
    int m_lastError = 0;
    QString m_failure;
};

} // namespace morvane::platform
