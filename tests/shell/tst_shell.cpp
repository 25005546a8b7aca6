#include "ClassRegistry.h"
#include "NamedMutex.h"
#include "ProfileFile.h"
#include "Startup.h"
#include "TestSupport.h"
#include "unt_localdataconnect.h"
#include "unt_public.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace morvane;
using morvane::test::MessageCapture;
using morvane::test::ReadyListener;
using morvane::test::TestEnvironment;

namespace {

QString morvanePath() {
    return morvane::test::binDir() + QStringLiteral("/morvane");
}

// Parses an ODBC connection text by the driver manager's rules: key=value pairs split at ';', a value in
// braces running to the matching '}' with '}}' standing for one brace.
QMap<QString, QString> parseOdbc(const QString& text) {
    QMap<QString, QString> pairs;
    int i = 0;
    while (i < text.size()) {
        const int eq = text.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            break;
        const QString key = text.mid(i, eq - i).trimmed().toUpper();
        QString value;
        int j = eq + 1;
        if (j < text.size() && text.at(j) == QLatin1Char('{')) {
            ++j;
            while (j < text.size()) {
                if (text.at(j) == QLatin1Char('}')) {
                    if (j + 1 < text.size() && text.at(j + 1) == QLatin1Char('}')) {
                        value.append(QLatin1Char('}'));
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                value.append(text.at(j++));
            }
            while (j < text.size() && text.at(j) != QLatin1Char(';'))
                ++j;
        } else {
            while (j < text.size() && text.at(j) != QLatin1Char(';'))
                value.append(text.at(j++));
        }
        pairs.insert(key, value);
        i = j + 1;
    }
    return pairs;
}

QByteArray ini(const QByteArray& database) {
    return "[Device]\r\nport=0\r\n[System]\r\nLanguageID=2052\r\nComVersion=1\r\n[DataBase]\r\n" + database;
}

} // namespace

class TestShell : public QObject {
    Q_OBJECT

private slots:
    void systemInfoIsReadWithItsDefaults_data();
    void systemInfoIsReadWithItsDefaults();
    void connectionTextQuotesValuesAndNamesTheServer_data();
    void connectionTextQuotesValuesAndNamesTheServer();
    void prepareStartupReportsAMissingFileOnce();
    void dataModuleWithoutDatabaseMakesNoConnection();
    void dataModuleFailsToConnect_data();
    void dataModuleFailsToConnect();
    void dataModuleConnectsToPostgreSQL();

    void missingFileEndsTheProgramAndReleasesTheMutex();
    void secondInstanceEndsSilently();
    void unopenableLockEndsTheStartNamingIt();
    void registrationSwitchesWriteAndRemoveTheClass_data();
    void registrationSwitchesWriteAndRemoveTheClass();
    void malformedRegistryIsNeverOverwritten();
    void connectModeOutOfRangeEndsWithConnectError_data();
    void connectModeOutOfRangeEndsWithConnectError();
};

void TestShell::systemInfoIsReadWithItsDefaults_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("languageId");
    QTest::addColumn<QString>("comVersion");
    QTest::addColumn<int>("connectMode");
    QTest::addColumn<QString>("serverName");

    QTest::newRow("hex port, capital section")
        << QByteArray("[DEVICE]\nport=0x3\n[system]\nComVersion=2\n") << 3 << 2052 << "2" << 0 << "";
    QTest::newRow("port not a number") << QByteArray("[Device]\nport=abc\n") << 0 << 2052 << "1" << 0 << "";
    QTest::newRow("no DataBase section") << QByteArray("[Device]\nPort=5\n[System]\nLanguageID=1033\n") << 5 << 1033
                                         << "1" << 0 << "";
    QTest::newRow("garbage lines") << QByteArray("garbage\n=\n[[[\n[DataBase\nConnectMode=1\n]]]\n[DataBase]\n"
                                                 "no equals sign\nServerName = db1 \nConnectMode=1\n")
                                   << 0 << 2052 << "1" << 1 << "db1";
    QTest::newRow("binary file") << QByteArray("\x00\xff\xfe[DataBase]\x00\x01ConnectMode=\x02\n\xff\xff", 24) << 0
                                 << 2052 << "1" << 0 << "";
    QTest::newRow("ConnectMode 7") << QByteArray("[DataBase]\nConnectMode=7\n") << 0 << 2052 << "1" << 7 << "";
    QTest::newRow("ConnectMode -1") << QByteArray("[DataBase]\nConnectMode=-1\n") << 0 << 2052 << "1" << -1 << "";
    QTest::newRow("CRLF lines") << QByteArray("[DataBase]\r\nServerName=pg:5432\r\nConnectMode=1\r\n") << 0 << 2052
                                << "1" << 1 << "pg:5432";
}

void TestShell::systemInfoIsReadWithItsDefaults() {
    QFETCH(QByteArray, content);
    TestEnvironment env;
    env.writeSystemInfo(content);
    TSystemInfo info;
    readSystemInfo(systemInfoPath(), info);
    QFETCH(int, port);
    QCOMPARE(int(info.port), port);
    QTEST(info.LanguageID, "languageId");
    QTEST(info.ComVersion, "comVersion");
    QTEST(info.ConnectMode, "connectMode");
    QTEST(info.ServerName, "serverName");
}

void TestShell::connectionTextQuotesValuesAndNamesTheServer_data() {
    QTest::addColumn<QString>("serverName");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expectedServer");
    QTest::addColumn<QString>("expectedPort");

    QTest::newRow("empty server is the local default") << ""
                                                       << "secret"
                                                       << "127.0.0.1"
                                                       << "1433";
    QTest::newRow("named server reached") << "dbhost"
                                          << "secret"
                                          << "dbhost"
                                          << "1433";
    QTest::newRow("server with port") << "dbhost,1500"
                                      << "secret"
                                      << "dbhost"
                                      << "1500";
    QTest::newRow("semicolon in password") << "dbhost"
                                           << "a;Database=master"
                                           << "dbhost"
                                           << "1433";
    QTest::newRow("braces in password") << "dbhost"
                                        << "}{x}}"
                                        << "dbhost"
                                        << "1433";
    QTest::newRow("blank around password") << "dbhost"
                                           << " pw "
                                           << "dbhost"
                                           << "1433";
}

void TestShell::connectionTextQuotesValuesAndNamesTheServer() {
    QFETCH(QString, serverName);
    QFETCH(QString, password);
    TSystemInfo info;
    info.Provider = QStringLiteral("SQLOLEDB.1");
    info.ServerName = serverName;
    info.DataBaseName = QStringLiteral("access;control");
    info.UserName = QStringLiteral("sa");
    info.Password = password;
    const QMap<QString, QString> pairs = parseOdbc(connectionText(info));
    QCOMPARE(pairs.value(QStringLiteral("PWD")), password);
    QCOMPARE(pairs.value(QStringLiteral("DATABASE")), QStringLiteral("access;control"));
    QCOMPARE(pairs.value(QStringLiteral("UID")), QStringLiteral("sa"));
    QTEST(pairs.value(QStringLiteral("SERVER")), "expectedServer");
    QTEST(pairs.value(QStringLiteral("PORT")), "expectedPort");
    QCOMPARE(pairs.value(QStringLiteral("PACKETSIZE")), QStringLiteral("4096"));
    QCOMPARE(pairs.value(QStringLiteral("ENCRYPTION")), QStringLiteral("off"));
}

void TestShell::prepareStartupReportsAMissingFileOnce() {
    TestEnvironment env;
    MessageCapture capture;
    SystemInfo.LanguageID = 1;
    SystemInfo.ConnectMode = 5;
    QVERIFY(!PrepareStartup());
    const auto messages = capture.messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.first().text, QStringLiteral("Not system file"));
    QCOMPARE(messages.first().caption, QStringLiteral("Error"));
    QCOMPARE(messages.first().icon, platform::MessageIcon::Warning);
    // Every field took its default, so no database work was asked for.
    QCOMPARE(SystemInfo.LanguageID, 2052);
    QCOMPARE(SystemInfo.ConnectMode, 0);
    QCOMPARE(SystemInfo.ComVersion, QStringLiteral("1"));
}

namespace {

class FakeMainWindow : public IServerMain {
public:
    explicit FakeMainWindow(int& created) { ++created; }
    void StartServices() override {}
    void CloseServices() override {}
};

} // namespace

void TestShell::dataModuleWithoutDatabaseMakesNoConnection() {
    TestEnvironment env;
    MessageCapture capture;
    SystemInfo.ConnectMode = 0;
    SystemInfo.Provider = QStringLiteral("PostgreSQL");
    SystemInfo.ServerName = QStringLiteral("127.0.0.1:1"); // would fail at once if it were tried
    int created = 0;
    Tlocaldataconnect module([&] { return std::make_unique<FakeMainWindow>(created); });
    module.DataModuleCreate();
    QCOMPARE(created, 1);
    QVERIFY(frm_server_main != nullptr);
    QVERIFY(!module.terminateRequested());
    QVERIFY(!module.ADOCon.isOpen());
    QVERIFY(capture.messages().isEmpty());
}

void TestShell::dataModuleFailsToConnect_data() {
    QTest::addColumn<int>("connectMode");
    QTest::addColumn<QString>("provider");
    QTest::addColumn<bool>("needsPostgres");
    QTest::newRow("wrong password") << 1 << "PostgreSQL" << true;
    QTest::newRow("ConnectMode 2") << 2 << "PostgreSQL" << true;
    QTest::newRow("SQLite file missing") << 1 << "SQLite" << false;
    QTest::newRow("unknown provider") << 1 << "Oracle" << false;
}

void TestShell::dataModuleFailsToConnect() {
    QFETCH(int, connectMode);
    QFETCH(QString, provider);
    QFETCH(bool, needsPostgres);
    TestEnvironment env;
    MessageCapture capture;
    SystemInfo.ConnectMode = connectMode;
    SystemInfo.Provider = provider;
    SystemInfo.DataBaseName = QStringLiteral("postgres");
    if (needsPostgres) {
        MORVANE_REQUIRE_PG(pg);
        SystemInfo.ServerName = pg.serverName();
        SystemInfo.UserName = pg.user;
        SystemInfo.Password = pg.password + QStringLiteral("-wrong");
    } else {
        SystemInfo.DataBaseName = QStringLiteral("absent.db");
    }
    int created = 0;
    Tlocaldataconnect module([&] { return std::make_unique<FakeMainWindow>(created); });
    module.DataModuleCreate();
    QCOMPARE(created, 0);
    QVERIFY(module.terminateRequested());
    const auto messages = capture.messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.first().text, QStringLiteral("Connect database error"));
    QCOMPARE(messages.first().caption, QStringLiteral("Error"));
    QCOMPARE(messages.first().icon, platform::MessageIcon::Warning);
    QVERIFY(!QFileInfo::exists(env.path(QStringLiteral("absent.db"))));
}

void TestShell::dataModuleConnectsToPostgreSQL() {
    MORVANE_REQUIRE_PG(pg);
    TestEnvironment env;
    MessageCapture capture;
    SystemInfo.ConnectMode = 1;
    SystemInfo.Provider = QStringLiteral("PostgreSQL");
    SystemInfo.ServerName = pg.serverName();
    SystemInfo.DataBaseName = QStringLiteral("postgres");
    SystemInfo.UserName = pg.user;
    SystemInfo.Password = pg.password;
    int created = 0;
    Tlocaldataconnect module([&] { return std::make_unique<FakeMainWindow>(created); });
    module.DataModuleCreate();
    QCOMPARE(created, 1);
    QVERIFY(!module.terminateRequested());
    QVERIFY(capture.messages().isEmpty());
    const auto result = module.ADOCon.exec(QStringLiteral("select 40 + 2"));
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.rows.value(0).value(0).toInt(), 42);
}

void TestShell::missingFileEndsTheProgramAndReleasesTheMutex() {
    TestEnvironment env;
    const auto result = morvane::test::runProgram(morvanePath(), {}, env.processEnvironment(), 10000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    const QList<QByteArray> lines = result.standardError.trimmed().split('\n');
    QCOMPARE(lines.count("Error: Not system file"), qsizetype(1));
    QVERIFY(!platform::NamedMutex::isHeld(QStringLiteral("morvane")));
}

void TestShell::secondInstanceEndsSilently() {
    TestEnvironment env;
    env.writeSystemInfo(ini("ConnectMode=0\r\n"));
    env.holdSocketServer();
    ReadyListener ready(env.path(QStringLiteral("notify.sock")));
    QProcessEnvironment environment = env.processEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), ready.path());

    QProcess first;
    first.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    first.start(morvanePath(), {});
    QVERIFY(first.waitForStarted());
    QVERIFY2(ready.waitReady(5000), "the first instance never reached its message loop");
    qInfo("message loop reached after %lld ms", clock.elapsed());
    QVERIFY(platform::NamedMutex::isHeld(QStringLiteral("morvane")));

    const auto second = morvane::test::runProgram(morvanePath(), {}, environment, 10000);
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 0);
    QVERIFY(second.standardError.isEmpty());
    QVERIFY(!ready.waitReady(200));
    QCOMPARE(first.state(), QProcess::Running);

    ::kill(pid_t(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(5000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QVERIFY(!platform::NamedMutex::isHeld(QStringLiteral("morvane")));
}

void TestShell::unopenableLockEndsTheStartNamingIt() {
    TestEnvironment env;
    env.writeSystemInfo(ini("ConnectMode=0\r\n"));
    // A directory where the lock file belongs: the server would otherwise run without its guard.
    const QString lock = env.lockDir() + QStringLiteral("/morvane-mutex-morvane.lock");
    QVERIFY(QDir().mkpath(lock));
    const auto result = morvane::test::runProgram(morvanePath(), {}, env.processEnvironment(), 10000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    const QList<QByteArray> lines = result.standardError.trimmed().split('\n');
    QCOMPARE(lines.size(), qsizetype(1));
    QVERIFY2(lines.first().startsWith("Error: ") && lines.first().contains(QFile::encodeName(lock)),
             lines.first().constData());
}

void TestShell::registrationSwitchesWriteAndRemoveTheClass_data() {
    QTest::addColumn<bool>("serverRunning");
    QTest::newRow("alone") << false;
    // A second instance ends at once, but a switch that asks for registration is carried out all the same.
    QTest::newRow("while a server runs") << true;
}

void TestShell::registrationSwitchesWriteAndRemoveTheClass() {
    QFETCH(bool, serverRunning);
    TestEnvironment env;
    std::optional<platform::NamedMutex> running;
    if (serverRunning)
        QVERIFY(running.emplace(QStringLiteral("morvane"), true).isOwned());
    const QByteArray foreign = "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Other.Class]\n@=\"kept\"\n";
    env.writeFile(env.registryPath(), foreign);
    const QString key = QStringLiteral("CLSID\\{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}");

    auto result = morvane::test::runProgram(morvanePath(), {QStringLiteral("/regserver")}, env.processEnvironment());
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    // Registration ends the program before the configuration is read, saying what it did.
    QVERIFY(!result.standardError.contains("Not system file"));
    const QByteArray registered = "morvane: registered server.rmtserver {35D710D5-91F6-4BAE-A571-8ED6C8E5E82D} in " +
                                  QFile::encodeName(env.registryPath());
    QVERIFY2(result.standardError.contains(registered), result.standardError.constData());
    QCOMPARE(result.standardError.contains("running"), serverRunning);
    platform::ClassRegistry registry(env.registryPath());
    QCOMPARE(registry.value(key), std::optional<QString>(QStringLiteral("rmtserver Object")));
    QCOMPARE(registry.value(key, QStringLiteral("Sockets")), std::optional<QString>(QStringLiteral("1")));
    QCOMPARE(registry.value(key, QStringLiteral("Web")), std::optional<QString>(QStringLiteral("1")));
    QCOMPARE(registry.value(key + QStringLiteral("\\ProgID")),
             std::optional<QString>(QStringLiteral("server.rmtserver")));
    QCOMPARE(registry.value(key + QStringLiteral("\\LocalServer32")), std::optional<QString>(morvanePath()));
    QCOMPARE(registry.value(key + QStringLiteral("\\TypeLib")),
             std::optional<QString>(QStringLiteral("{BDF42383-20AE-49BB-A2B1-D07C76A9BAD5}")));
    QVERIFY(
        registry.keyExists(key + QStringLiteral("\\Implemented Categories\\{13E85B3C-9508-11D2-AB63-00C04FA35CFA}")));
    QCOMPARE(registry.value(QStringLiteral("server.rmtserver\\CLSID")),
             std::optional<QString>(QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}")));
    QCOMPARE(registry.value(QStringLiteral("Other.Class")), std::optional<QString>(QStringLiteral("kept")));

    result = morvane::test::runProgram(morvanePath(), {QStringLiteral("-UNREGSERVER")}, env.processEnvironment());
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QByteArray unregistered =
        "morvane: unregistered server.rmtserver {35D710D5-91F6-4BAE-A571-8ED6C8E5E82D} from " +
        QFile::encodeName(env.registryPath());
    QVERIFY2(result.standardError.contains(unregistered), result.standardError.constData());
    QCOMPARE(result.standardError.contains("running"), serverRunning);
    QVERIFY(!registry.keyExists(key));
    QVERIFY(!registry.keyExists(QStringLiteral("server.rmtserver")));
    QCOMPARE(registry.value(QStringLiteral("Other.Class")), std::optional<QString>(QStringLiteral("kept")));
}

void TestShell::malformedRegistryIsNeverOverwritten() {
    TestEnvironment env;
    const QByteArray truncated =
        "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Kept.Class]\n@=\"value\"\n[HKEY_CLASSES_ROOT\\CLSID\\{ab";
    env.writeFile(env.registryPath(), truncated);
    auto result = morvane::test::runProgram(morvanePath(), {QStringLiteral("/RegServer")}, env.processEnvironment());
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.standardError.contains("malformed"));
    QCOMPARE(env.readFile(env.registryPath()), truncated);

    // A normal start ignores the failed refresh and runs on.
    result = morvane::test::runProgram(morvanePath(), {}, env.processEnvironment(), 10000);
    QVERIFY(result.finished);
    QCOMPARE(env.readFile(env.registryPath()), truncated);
    QVERIFY(result.standardError.contains("Not system file"));
}

void TestShell::connectModeOutOfRangeEndsWithConnectError_data() {
    QTest::addColumn<QByteArray>("mode");
    QTest::newRow("7") << QByteArray("7");
    QTest::newRow("-1") << QByteArray("-1");
}

void TestShell::connectModeOutOfRangeEndsWithConnectError() {
    QFETCH(QByteArray, mode);
    TestEnvironment env;
    env.writeSystemInfo(ini("Provider=SQLite\r\nDataBaseName=modes.db\r\nConnectMode=" + mode + "\r\n"));
    const auto result = morvane::test::runProgram(morvanePath(), {}, env.processEnvironment(), 15000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.standardError.contains("Error: Connect database error"), result.standardError.constData());
    QVERIFY(!platform::NamedMutex::isHeld(QStringLiteral("morvane")));
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_shell.moc"
