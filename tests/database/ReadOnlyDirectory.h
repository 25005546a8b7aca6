#pragma once

#include <QFile>
#include <QString>

#include <sys/mount.h>
#include <unistd.h>

namespace morvane::test {

// A directory made read-only for this process: by its mode, or for root (whom modes do not stop) by
// a read-only bind mount over itself.
class ReadOnlyDirectory {
public:
    explicit ReadOnlyDirectory(const QString& path)
        : m_path(path) {
        if (::geteuid() != 0) {
            m_ok = QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
            m_chmod = true;
            return;
        }
        // Straight system calls: no child process, so no fork from a threaded test.
        const QByteArray p = QFile::encodeName(path);
        m_ok = ::mount(p.constData(), p.constData(), nullptr, MS_BIND, nullptr) == 0;
        if (m_ok) {
            m_mounted = true;
            m_ok = ::mount(nullptr, p.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        }
    }
    ~ReadOnlyDirectory() {
        if (m_chmod)
            QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (m_mounted)
            ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH); // even while a file in it is still open
    }
    bool ok() const { return m_ok; }

private:
    QString m_path;
    bool m_ok = false;
    bool m_chmod = false;
    bool m_mounted = false;
};

} // namespace morvane::test
