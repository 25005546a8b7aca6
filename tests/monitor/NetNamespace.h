#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

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
    bool ip(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral("ip"), arguments);
        if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            if (m_error.isEmpty())
                m_error = QStringLiteral("ip %1: %2%3")
                              .arg(arguments.join(QLatin1Char(' ')), process.errorString(),
                                   QString::fromLocal8Bit(process.readAllStandardError()));
            return false;
        }
        return true;
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
