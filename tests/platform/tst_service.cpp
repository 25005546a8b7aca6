// What the server tells a service manager: readiness, and watchdog pings while its loop turns.
#include "ServiceManager.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace morvane::platform;

namespace {

// A service manager's notification socket: a datagram socket bound to a path or an abstract name.
class FakeManager {
public:
    explicit FakeManager(const QByteArray& name) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (address.sun_path[0] == '@')
            address.sun_path[0] = '\0';
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address),
                         socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()))) == 0;
        qputenv("NOTIFY_SOCKET", name);
    }
    ~FakeManager() {
        ::close(m_fd);
        qunsetenv("NOTIFY_SOCKET");
    }
    bool bound() const { return m_bound; }
    // The datagrams that have arrived so far.
    QList<QByteArray> take() {
        char buffer[256];
        ssize_t n = 0;
        while ((n = ::recv(m_fd, buffer, sizeof(buffer), 0)) > 0)
            m_received.append(QByteArray(buffer, qsizetype(n)));
        return m_received;
    }

private:
    int m_fd = -1;
    bool m_bound = false;
    QList<QByteArray> m_received;
};

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    void readinessReachesPathAndAbstractSockets_data() {
        QTest::addColumn<bool>("abstract");
        QTest::newRow("path") << false;
        QTest::newRow("abstract") << true;
    }
    void readinessReachesPathAndAbstractSockets() {
        QFETCH(bool, abstract);
        QTemporaryDir dir;
        const QByteArray name = abstract ? QByteArrayLiteral("@morvane-test-") + QByteArray::number(::getpid())
                                         : QFile::encodeName(dir.filePath(QStringLiteral("notify")));
        FakeManager manager(name);
        QVERIFY(manager.bound());
        QVERIFY(notifyServiceManager(QByteArrayLiteral("READY=1")));
        QVERIFY(QTest::qWaitFor([&] { return manager.take().contains("READY=1"); }, 2000));
    }

    // Pings come at half the interval, and only for the process the watchdog was set for: a child that
    // inherited the variables must not keep a hung server alive.
    void watchdogPingsOnlyForItsProcess_data() {
        QTest::addColumn<QByteArray>("usec");
        QTest::addColumn<QByteArray>("pid");
        QTest::addColumn<qint64>("intervalMs");
        const QByteArray self = QByteArray::number(qint64(::getpid()));
        QTest::newRow("this process") << QByteArray("100000") << self << qint64(50);
        QTest::newRow("no pid named") << QByteArray("100000") << QByteArray() << qint64(50);
        QTest::newRow("another process") << QByteArray("100000") << QByteArray::number(qint64(::getpid()) + 1)
                                         << qint64(0);
        QTest::newRow("no watchdog") << QByteArray() << self << qint64(0);
        QTest::newRow("garbage") << QByteArray("soon") << self << qint64(0);
    }
    void watchdogPingsOnlyForItsProcess() {
        QFETCH(QByteArray, usec);
        QFETCH(QByteArray, pid);
        QFETCH(qint64, intervalMs);
        const auto restore = qScopeGuard([] {
            qunsetenv("WATCHDOG_USEC");
            qunsetenv("WATCHDOG_PID");
        });
        qputenv("WATCHDOG_USEC", usec);
        qputenv("WATCHDOG_PID", pid);
        QTemporaryDir dir;
        FakeManager manager(QFile::encodeName(dir.filePath(QStringLiteral("notify"))));
        QVERIFY(manager.bound());
        QCOMPARE(qint64(watchdogPingInterval().count()), intervalMs);
        WatchdogPinger pinger;
        QCOMPARE(pinger.start(), intervalMs > 0);
        if (intervalMs > 0)
            QVERIFY(QTest::qWaitFor([&] { return manager.take().count(QByteArray("WATCHDOG=1")) >= 3; }, 5000));
        else
            QVERIFY(manager.take().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
