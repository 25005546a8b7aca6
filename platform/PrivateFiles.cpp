#include "PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

bool failWith(QString* error, const QString& path, int code) {
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(code)));
    return false;
}

} // namespace

bool createPrivateFile(const QString& path, QString* error) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EEXIST || failWith(error, path, errno);
    // The umask can only have taken bits away; the owner must still read and write it.
    const bool changed = ::fchmod(fd, 0600) == 0;
    const int code = errno;
    ::close(fd);
    return changed || failWith(error, path, code);
}

bool makePrivatePath(const QString& path, QString* error) {
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    qsizetype from = 1;
    for (;;) {
        const qsizetype slash = absolute.indexOf(QLatin1Char('/'), from);
        const QString folder = slash < 0 ? absolute : absolute.left(slash);
        const QByteArray native = QFile::encodeName(folder);
        if (::mkdir(native.constData(), 0700) == 0) {
            if (::chmod(native.constData(), 0700) != 0)
                return failWith(error, folder, errno);
        } else if (errno != EEXIST && !QFileInfo(folder).isDir()) {
            return failWith(error, folder, errno);
        }
        if (slash < 0)
            return true;
        from = slash + 1;
    }
}

QString ownerText(uid_t owner) {
    return QStringLiteral("uid %1").arg(owner);
}

QString modeText(mode_t mode) {
    return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0'));
}

} // namespace morvane::platform
