#include "NamedMutex.h"

#include "PrivateFiles.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

QString elsewhere() {
    return QStringLiteral("or set MORVANE_LOCK_DIR to a directory of this user's own");
}

QString safeName(const QString& name) {
    QString safe = name;
    for (QChar& c : safe) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            c = QLatin1Char('_');
    }
    return safe;
}

// Why a directory may not hold the locks and endpoints; empty when it may. `forbidden`: the mode bits that
// no other user may have on it.
QString directoryRefusal(const QString& directory, const struct stat& status, mode_t forbidden) {
    if (!S_ISDIR(status.st_mode))
        return QStringLiteral("%1: the lock directory is not a directory (a link or a file); remove it, %2")
            .arg(directory, elsewhere());
    if (status.st_uid != ::geteuid())
        return QStringLiteral("%1: the lock directory belongs to another user (%2), not to this one (%3); %4")
            .arg(directory, ownerText(status.st_uid), ownerText(::geteuid()), elsewhere());
    if (status.st_mode & forbidden)
        return QStringLiteral("%1: other users may %2 the lock directory (mode %3); make it 0700, %4")
            .arg(directory, (status.st_mode & 022) ? QStringLiteral("write in") : QStringLiteral("look into"),
                 modeText(status.st_mode), elsewhere());
    return {};
}

// Makes the directory 0700 when it is missing (its parent must exist), then checks it.
QString prepareDirectory(const QString& directory, bool followLink, mode_t forbidden) {
    const QByteArray native = QFile::encodeName(directory);
    if (::mkdir(native.constData(), 0700) == 0) {
        // The umask may have taken the owner's own bits.
        ::chmod(native.constData(), 0700);
    } else if (errno != EEXIST) {
        return QStringLiteral("%1: the lock directory cannot be made (%2); %3")
            .arg(directory, QString::fromLocal8Bit(std::strerror(errno)), elsewhere());
    }
    struct stat status {};
    if ((followLink ? ::stat(native.constData(), &status) : ::lstat(native.constData(), &status)) != 0)
        return QStringLiteral("%1: %2").arg(directory, QString::fromLocal8Bit(std::strerror(errno)));
    return directoryRefusal(directory, status, forbidden);
}

} // namespace

QString NamedMutex::lockDirectory(QString* error) {
    const auto refuse = [error](const QString& why) {
        if (error)
            *error = why;
        return QString();
    };
    // Never a directory that other users may write (such as /run/lock): one of them could take the locks,
    // and the server would end as though another one ran, or the endpoint, and receive every client's calls.
    const QString chosen = qEnvironmentVariable("MORVANE_LOCK_DIR");
    if (!chosen.isEmpty()) {
        // Named by whoever starts the program: a link to a directory of this user's own serves.
        const QString why = prepareDirectory(chosen, true, 022);
        return why.isEmpty() ? chosen : refuse(why);
    }
    const uid_t me = ::geteuid();
    struct stat status {};
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && ::stat(QFile::encodeName(runtime).constData(), &status) == 0 &&
        directoryRefusal(runtime, status, 022).isEmpty()) {
        const QString directory = runtime + QStringLiteral("/morvane");
        const QString why = prepareDirectory(directory, false, 077);
        return why.isEmpty() ? directory : refuse(why);
    }
    // The service's folder, which root makes, or the service manager for the service's user (0755 is its
    // default mode, and writable by nobody else). Another user's is not this user's business.
    const QString service = QStringLiteral("/run/morvane");
    const QByteArray nativeService = QFile::encodeName(service);
    if (::mkdir(nativeService.constData(), 0700) == 0)
        ::chmod(nativeService.constData(), 0700);
    if (::lstat(nativeService.constData(), &status) == 0 && status.st_uid == me) {
        const QString why = directoryRefusal(service, status, 022);
        return why.isEmpty() ? service : refuse(why);
    }
    const QString own = QStringLiteral("/tmp/morvane-%1").arg(me);
    const QString why = prepareDirectory(own, false, 077);
    return why.isEmpty() ? own : refuse(why);
}

QString NamedMutex::foreignOwnerText(uid_t owner) {
    return QStringLiteral("it belongs to another user (%1), not to this one (%2), and is refused; remove it, %3")
        .arg(ownerText(owner), ownerText(::geteuid()), elsewhere());
}

NamedMutex::NamedMutex(const QString& name, bool owned) {
    const QString directory = lockDirectory(&m_failure);
    if (directory.isEmpty()) {
        m_lastError = EACCES;
        return;
    }
    m_path = directory + QStringLiteral("/morvane-mutex-") + safeName(name) + QStringLiteral(".lock");
    const QByteArray path = QFile::encodeName(m_path);
    // Reading is all that flock needs. Never through a link: the lock is this file, here.
    const int fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) {
        m_lastError = errno;
        if (errno == ELOOP)
            m_failure =
                QStringLiteral("%1: a symbolic link stands in place of the lock file and is refused; remove it, %2")
                    .arg(m_path, elsewhere());
        return;
    }
    // A lock file that another user made could be held by that user at will.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        m_lastError = EPERM;
        m_failure = m_path + QStringLiteral(": ") +
                    (S_ISREG(status.st_mode) ? foreignOwnerText(status.st_uid)
                                             : QStringLiteral("it is not a lock file; remove it, ") + elsewhere());
        ::close(fd);
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
    if (!m_failure.isEmpty())
        return m_failure;
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
