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
using morvane::test::ReadyListener;
using platform::SqlProvider;

class TestDatabaseStartup : public QObject {
    Q_OBJECT

private slots:
    void startupCreatesTheDatabaseThenLeavesItAlone();
    void startupInReadOnlyDirectoryEnds();
};

void TestDatabaseStartup::startupCreatesTheDatabaseThenLeavesItAlone() {
    test::TestEnvironment env;
    env.writeSystemInfo("[DataBase]\r\nProvider=SQLite\r\nConnectMode=1\r\nDataBaseName=x.db\r\n");
    env.holdSocketServer();
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
        // The eighteen, the operators' password hashes and the swipe log's place.
        QCOMPARE(c.tables().size(), 20);
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
