#include "NamedMutex.h"

#include <QDir>

#include <cerrno>
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
    for (const char* variable : {"MORVANE_LOCK_DIR", "XDG_RUNTIME_DIR"}) {
        const QString dir = qEnvironmentVariable(variable);
        if (!dir.isEmpty() && QDir(dir).exists())
            return dir;
    }
    return QStringLiteral("/tmp");
}

NamedMutex::NamedMutex(const QString& name, bool owned) {
    const QByteArray path = lockPath(name).toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
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
