#include "NamedMutex.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

QString lockPath(const QString& name) {
    QString safe = name;
    for (QChar& c : safe) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            c = QLatin1Char('_');
    }
    return NamedMutex::lockDirectory() + QStringLiteral("/morvane-mutex-") + safe + QStringLiteral(".lock");
}

} // namespace

QString NamedMutex::lockDirectory() {
    // Never a per-user folder: a second server started by another user must find the same lock.
    const QString chosen = qEnvironmentVariable("MORVANE_LOCK_DIR");
    if (!chosen.isEmpty())
        return chosen;
    if (::access("/run/lock", W_OK | X_OK) == 0)
        return QStringLiteral("/run/lock");
    return QStringLiteral("/tmp");
}

NamedMutex::NamedMutex(const QString& name, bool owned)
    : m_path(lockPath(name)) {
    const QByteArray path = QFile::encodeName(m_path);
    // Reading is all that flock needs, so a lock file that another user made serves this one too. In a
    // sticky directory the kernel refuses O_CREAT on another user's file: then it is opened as it is.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(path.constData(), flags | O_CREAT, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.constData(), flags);
    if (fd < 0) {
        m_lastError = errno;
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_lastError = errno == EWOULDBLOCK ? kErrorAlreadyExists : errno;
        ::close(fd);
        return;
    }
    if (owned) {
        m_fd = fd;
    } else {
        // Created without owning it: nobody else held it, so it did not exist before; let it go again.
        ::flock(fd, LOCK_UN);
        ::close(fd);
    }
}

NamedMutex::~NamedMutex() {
    release();
}

QString NamedMutex::failureText() const {
    if (isOwned() || alreadyExists() || m_lastError == 0)
        return {};
    return m_path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(m_lastError));
}

void NamedMutex::release() {
    if (m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
        m_fd = -1;
    }
}

bool NamedMutex::isHeld(const QString& name) {
    return NamedMutex(name, false).alreadyExists();
}

} // namespace morvane::platform
