#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace morvane::test {

// A network namespace of the test's own, joined to this one by a veth pair: a peer address that answers
// echoes until the test takes the namespace's side of the link down. Needs the right to make namespaces
// (root and iproute2); ok() says whether that worked. Test thread only.
class NetNamespace {
public:
    NetNamespace() {
        const qint64 pid = QCoreApplication::applicationPid();
        m_name = QStringLiteral("morvane-mon-%1").arg(pid);
        m_hostSide = QStringLiteral("mvh%1").arg(pid);
        m_peerSide = QStringLiteral("mvn%1").arg(pid);
        const QString net = QStringLiteral("10.213.%1.%2").arg(pid / 64 % 250);
        const int base = int(pid % 64) * 4;
        m_hostAddress = net.arg(base + 1);
        m_peerAddress = net.arg(base + 2);
        m_ok = ip({QStringLiteral("netns"), QStringLiteral("add"), m_name}) &&
               ip({QStringLiteral("link"), QStringLiteral("add"), m_hostSide, QStringLiteral("type"),
                   QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), m_peerSide}) &&
               ip({QStringLiteral("link"), QStringLiteral("set"), m_peerSide, QStringLiteral("netns"), m_name}) &&
               ip({QStringLiteral("addr"), QStringLiteral("add"), m_hostAddress + QStringLiteral("/30"),
                   QStringLiteral("dev"), m_hostSide}) &&
               ip({QStringLiteral("link"), QStringLiteral("set"), m_hostSide, QStringLiteral("up")}) &&
               ip({QStringLiteral("-n"), m_name, QStringLiteral("addr"), QStringLiteral("add"),
                   m_peerAddress + QStringLiteral("/30"), QStringLiteral("dev"), m_peerSide}) &&
               setPeerLink(true);
    }
    ~NetNamespace() {
        ip({QStringLiteral("link"), QStringLiteral("del"), m_hostSide});
        ip({QStringLiteral("netns"), QStringLiteral("del"), m_name});
    }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString peerAddress() const { return m_peerAddress; }
    bool setPeerLink(bool up) {
        return ip({QStringLiteral("-n"), m_name, QStringLiteral("link"), QStringLiteral("set"), m_peerSide,
                   up ? QStringLiteral("up") : QStringLiteral("down")});
    }

private:
    // posix_spawn rather than QProcess: ThreadSanitizer aborts in the child that QProcess clones.
    bool ip(const QStringList& arguments) {
        QList<QByteArray> texts{QByteArrayLiteral("ip")};
        for (const QString& argument : arguments)
            texts.append(argument.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& text : texts)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t child = 0;
        const int spawned = posix_spawnp(&child, "ip", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        const bool ok =
            spawned == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok && m_error.isEmpty())
            m_error = QStringLiteral("ip %1 failed").arg(arguments.join(QLatin1Char(' ')));
        return ok;
    }

    QString m_name;
    QString m_hostSide;
    QString m_peerSide;
    QString m_hostAddress;
    QString m_peerAddress;
    bool m_ok = false;
    QString m_error;
};

} // namespace morvane::test
