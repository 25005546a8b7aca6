#include "ReadOnlyDirectory.h"
#include "SqlConnection.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

// Start-up as a whole: the server program makes its SQLite database on the first start and leaves it
// alone on the next. Kept apart from the threaded database tests, since it starts child processes.

using namespace morvane;
using morvane::test::ReadOnlyDirectory;
using platform::SqlProvider;

namespace {

// The datagram socket a service manager would give: the server says "READY=1" once its loop runs.
class ReadyListener {
public:
    explicit ReadyListener(const QString& path)
        : m_path(path) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray p = path.toLocal8Bit();
        std::memcpy(address.sun_path, p.constData(), std::min(size_t(p.size()), sizeof(address.sun_path) - 1));
        ::unlink(p.constData());
        ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    }
    ~ReadyListener() {
        ::close(m_fd);
        ::unlink(m_path.toLocal8Bit().constData());
    }
    bool waitReady(int timeoutMs) {
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return false;
        char buffer[64] = {};
        const auto n = ::recv(m_fd, buffer, sizeof(buffer) - 1, 0);
        return n > 0 && QByteArray(buffer, int(n)) == "READY=1";
    }
    const QString& path() const { return m_path; }

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace

class TestDatabaseStartup : public QObject {
    Q_OBJECT

private slots:
    void startupCreatesTheDatabaseThenLeavesItAlone();
    void startupInReadOnlyDirectoryEnds();
};

void TestDatabaseStartup::startupCreatesTheDatabaseThenLeavesItAlone() {
    test::TestEnvironment env;
    env.writeSystemInfo("[DataBase]\r\nProvider=SQLite\r\nConnectMode=1\r\nDataBaseName=x.db\r\n");
    const QString morvane = test::binDir() + QStringLiteral("/morvane");
    const auto startAndStop = [&]() -> bool {
        ReadyListener ready(env.path(QStringLiteral("notify.sock")));
        QProcessEnvironment environment = env.processEnvironment();
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), ready.path());
        QProcess server;
        server.setProcessEnvironment(environment);
        server.start(morvane, {});
        if (!server.waitForStarted())
            return false;
        const bool reached = ready.waitReady(15000);
        ::kill(pid_t(server.processId()), SIGTERM);
        server.waitForFinished(5000);
        if (!reached)
            qWarning("%s", server.readAllStandardError().constData());
        return reached;
    };
    QVERIFY2(startAndStop(), "the first start did not reach its message loop");
    const QString path = env.path(QStringLiteral("x.db"));
    QVERIFY(QFile::exists(path));
    {
        platform::SqlConnection c;
        platform::SqlConnectionSettings s;
        s.provider = SqlProvider::SQLite;
        s.database = path;
        QVERIFY(c.open(s));
        QCOMPARE(c.tables().size(), 18);
        QVERIFY(c.exec(QStringLiteral("insert into ac_department (departmentname) values ('kept')")).ok);
    }
    QVERIFY2(startAndStop(), "the second start did not reach its message loop");
    platform::SqlConnection c;
    platform::SqlConnectionSettings s;
    s.provider = SqlProvider::SQLite;
    s.database = path;
    QVERIFY(c.open(s));
    QCOMPARE(c.exec(QStringLiteral("select count(*) from ac_department")).rows.first().first().toInt(), 1);
    QCOMPARE(c.exec(QStringLiteral("select count(*) from ac_operator")).rows.first().first().toInt(), 1);
}

void TestDatabaseStartup::startupInReadOnlyDirectoryEnds() {
    test::TestEnvironment env;
    env.writeSystemInfo("[DataBase]\r\nProvider=SQLite\r\nConnectMode=1\r\nDataBaseName=x.db\r\n");
    ReadOnlyDirectory readOnly(env.programDir());
    if (!readOnly.ok())
        QSKIP("cannot make a read-only directory here");
    const auto result =
        test::runProgram(test::binDir() + QStringLiteral("/morvane"), {}, env.processEnvironment(), 15000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("Error: Create database error"), result.standardError.constData());
    QVERIFY(!QFile::exists(env.path(QStringLiteral("x.db"))));
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestDatabaseStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_database_startup.moc"
