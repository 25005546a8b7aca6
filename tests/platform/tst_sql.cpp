// The one database connection: every caller's statement runs on the connection's own thread.
#include "SqlConnection.h"
#include "TestSupport.h"

#include <QMap>
#include <QSet>
#include <QSqlError>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace morvane::platform;

namespace {

// Splits an ODBC connection text by the driver manager's rules: attributes separated by ';', a value in
// braces runs to the closing brace that is not doubled, "}}" inside stands for "}". Keys upper-cased.
// Returns false on text a driver would not accept.
bool parseOdbc(const QString& text, QMap<QString, QString>& attributes) {
    int i = 0;
    while (i < text.size()) {
        const int eq = text.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            return false;
        const QString key = text.mid(i, eq - i).trimmed().toUpper();
        if (key.isEmpty() || key.contains(QLatin1Char(';')) || attributes.contains(key))
            return false;
        i = eq + 1;
        QString value;
        if (i < text.size() && text.at(i) == QLatin1Char('{')) {
            ++i;
            for (;;) {
                if (i >= text.size())
                    return false; // unterminated brace
                if (text.at(i) == QLatin1Char('}')) {
                    if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('}')) {
                        value += QLatin1Char('}');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text.at(i++);
            }
            if (i < text.size() && text.at(i) != QLatin1Char(';'))
                return false;
        } else {
            const int end = text.indexOf(QLatin1Char(';'), i);
            value = text.mid(i, end < 0 ? -1 : end - i);
            i = end < 0 ? int(text.size()) : end;
        }
        attributes.insert(key, value);
        if (i < text.size())
            ++i; // the ';'
    }
    return true;
}

SqlConnectionSettings pgSettings(const morvane::test::PgServer& pg) {
    SqlConnectionSettings settings;
    settings.provider = SqlProvider::PostgreSQL;
    settings.server = pg.serverName();
    settings.database = QStringLiteral("postgres");
    settings.user = pg.user;
    settings.password = pg.password;
    return settings;
}

SqlConnectionSettings sqliteSettings(const QString& file) {
    SqlConnectionSettings settings;
    settings.provider = SqlProvider::SQLite;
    settings.database = file;
    return settings;
}

// Many threads at once: each inserts its rows and reads them back; every statement must succeed and
// every one must have run on the same thread, the connection's own.
void hammer(SqlConnection& connection, const QString& table, int threads, int statements) {
    std::atomic<int> failures{0};
    std::mutex idsMutex; // guards ids (the worker threads)
    QSet<std::thread::id> ids;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < statements; ++i) {
                const SqlResult insert =
                    connection.exec(QStringLiteral("insert into %1 (worker, n) values (?, ?)").arg(table), {t, i});
                const SqlResult count =
                    connection.exec(QStringLiteral("select count(*) from %1 where worker = ?").arg(table), {t});
                if (!insert.ok || !count.ok || count.rows.value(0).value(0).toInt() != i + 1)
                    ++failures;
                const auto id = connection.call([](QSqlDatabase&) { return std::this_thread::get_id(); });
                std::lock_guard lock(idsMutex);
                ids.insert(id);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    QCOMPARE(failures.load(), 0);
    QCOMPARE(ids.size(), 1);
    QVERIFY(!ids.contains(std::this_thread::get_id()));
    const SqlResult total =
        connection.exec(QStringLiteral("select count(*), count(distinct worker) from %1").arg(table));
    QVERIFY2(total.ok, qPrintable(total.error));
    QCOMPARE(total.rows.value(0).value(0).toInt(), threads * statements);
    QCOMPARE(total.rows.value(0).value(1).toInt(), threads);
}

} // namespace

class TestSql : public QObject {
    Q_OBJECT

private slots:
    void odbcQuote_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << "sa"
                               << "sa";
        QTest::newRow("semicolon") << "pa;ss"
                                   << "{pa;ss}";
        QTest::newRow("closing brace") << "a}b"
                                       << "{a}}b}";
        QTest::newRow("opening brace") << "{x"
                                       << "{{x}";
        QTest::newRow("equals") << "a=b"
                                << "{a=b}";
        QTest::newRow("blanks around") << " pw "
                                       << "{ pw }";
        QTest::newRow("empty") << ""
                               << "{}";
    }
    void odbcQuote() {
        QFETCH(QString, value);
        QFETCH(QString, quoted);
        QCOMPARE(morvane::platform::odbcQuote(value), quoted);
    }

    void connectionTextKeepsEveryValueWhole_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("password");
        QTest::newRow("semicolon password") << "db.example"
                                            << "db.example"
                                            << "1433"
                                            << "x;Trusted_Connection=yes";
        QTest::newRow("braces password") << "db,1444"
                                         << "db"
                                         << "1444"
                                         << "}{;}}=;PWD=evil";
        QTest::newRow("colon port") << "10.0.0.5:2000"
                                    << "10.0.0.5"
                                    << "2000"
                                    << "plain";
        QTest::newRow("local default") << ""
                                       << "127.0.0.1"
                                       << "1433"
                                       << ";";
        QTest::newRow("dot is local") << "."
                                      << "127.0.0.1"
                                      << "1433"
                                      << " spaced ";
        QTest::newRow("IPv6 alone") << "::1"
                                    << "::1"
                                    << "1433"
                                    << "plain";
        QTest::newRow("IPv6 with port") << "[fe80::1]:1500"
                                        << "fe80::1"
                                        << "1500"
                                        << "plain";
        QTest::newRow("IPv6 in brackets") << "[::1]"
                                          << "::1"
                                          << "1433"
                                          << "plain";
        QTest::newRow("IPv6, comma port") << "::1,1444"
                                          << "::1"
                                          << "1444"
                                          << "plain";
        QTest::newRow("named instance") << "host\\SQLEXPRESS"
                                        << "host\\SQLEXPRESS"
                                        << ""
                                        << "{}";
    }
    void connectionTextKeepsEveryValueWhole() {
        QFETCH(QString, server);
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QString, password);
        SqlConnectionSettings settings;
        settings.server = server;
        settings.database = QStringLiteral("ac;db}");
        settings.user = QStringLiteral("user=;x");
        settings.password = password;
        const QString text = odbcConnectionText(settings);
        QMap<QString, QString> attributes;
        QVERIFY2(parseOdbc(text, attributes), qPrintable(text));
        QCOMPARE(attributes.value(QStringLiteral("PWD")), password);
        QCOMPARE(attributes.value(QStringLiteral("UID")), settings.user);
        QCOMPARE(attributes.value(QStringLiteral("DATABASE")), settings.database);
        QCOMPARE(attributes.value(QStringLiteral("SERVER")), host);
        QCOMPARE(attributes.value(QStringLiteral("PORT")), port);
        QCOMPARE(attributes.value(QStringLiteral("CLIENTCHARSET")), QStringLiteral("GBK"));
        // Nothing a value held became an attribute of its own.
        QVERIFY(!attributes.contains(QStringLiteral("TRUSTED_CONNECTION")));
        QSet<QString> expected;
        for (const char* key : {"DRIVER", "SERVER", "PORT", "DATABASE", "UID", "PWD", "TDS_VERSION", "CLIENTCHARSET",
                                "ENCRYPTION", "PACKETSIZE", "LOGINTIMEOUT"})
            expected.insert(QLatin1String(key));
        for (const QString& key : attributes.keys())
            QVERIFY2(expected.contains(key), qPrintable(key));
    }

    void providerNames() {
        QCOMPARE(sqlProviderFromName(QString()), SqlProvider::SqlServer);
        QCOMPARE(sqlProviderFromName(QStringLiteral("sqloledb.1")), SqlProvider::SqlServer);
        QCOMPARE(sqlProviderFromName(QStringLiteral("postgresql")), SqlProvider::PostgreSQL);
        QCOMPARE(sqlProviderFromName(QStringLiteral(" SQLite ")), SqlProvider::SQLite);
        QCOMPARE(sqlProviderFromName(QStringLiteral("Microsoft.Jet.OLEDB.4.0")), SqlProvider::Unknown);
        QCOMPARE(sqlProviderName(SqlProvider::SqlServer), QStringLiteral("SQLOLEDB.1"));
    }

    void sqliteStatementsAndErrors() {
        QTemporaryDir dir;
        SqlConnection connection;
        QVERIFY(!connection.isOpen());
        SqlResult closed = connection.exec(QStringLiteral("select 1"));
        QVERIFY(!closed.ok);
        QVERIFY(!closed.error.isEmpty());

        QString error;
        QVERIFY2(connection.open(sqliteSettings(dir.filePath(QStringLiteral("a.db"))), &error), qPrintable(error));
        QVERIFY(connection.isOpen());
        QCOMPARE(connection.provider(), SqlProvider::SQLite);
        QVERIFY(connection.exec(QStringLiteral("create table ac_department (id integer primary key, name text)")).ok);
        SqlResult insert = connection.exec(QStringLiteral("insert into ac_department (name) values (?)"),
                                           {QStringLiteral("Sales; drop table ac_department")});
        QVERIFY2(insert.ok, qPrintable(insert.error));
        QCOMPARE(insert.rowsAffected, 1);
        QCOMPARE(insert.lastInsertId.toInt(), 1);
        const SqlResult rows = connection.exec(QStringLiteral("select id, name from ac_department"));
        QVERIFY(rows.ok);
        QCOMPARE(rows.columns, (QStringList{QStringLiteral("id"), QStringLiteral("name")}));
        QCOMPARE(rows.rows.size(), 1);
        QCOMPARE(rows.rows.at(0).at(1).toString(), QStringLiteral("Sales; drop table ac_department"));
        QCOMPARE(rows.sets.size(), 1);
        QCOMPARE(connection.tables(&error), QStringList{QStringLiteral("ac_department")});

        // Errors come back with the driver's own text.
        const SqlResult missing = connection.exec(QStringLiteral("select * from no_such_table"));
        QVERIFY(!missing.ok);
        QVERIFY2(missing.error.contains(QStringLiteral("no such table")), qPrintable(missing.error));
        const SqlResult syntax = connection.exec(QStringLiteral("selec 1"));
        QVERIFY(!syntax.ok);
        QVERIFY2(syntax.error.contains(QStringLiteral("syntax error")), qPrintable(syntax.error));

        // A transaction rolled back leaves nothing.
        QVERIFY(connection.transaction(&error));
        QVERIFY(connection.exec(QStringLiteral("insert into ac_department (name) values ('temp')")).ok);
        QVERIFY(connection.rollback(&error));
        QCOMPARE(connection.exec(QStringLiteral("select count(*) from ac_department")).rows.value(0).value(0).toInt(),
                 1);
        QVERIFY(!connection.commit(&error));
        QVERIFY(!error.isEmpty());

        // Work handed to the connection's thread may call it again, and its exceptions reach the caller.
        QCOMPARE(connection.call([&](QSqlDatabase&) {
            return connection.exec(QStringLiteral("select 7")).rows.value(0).value(0).toInt();
        }),
                 7);
        QVERIFY_THROWS_EXCEPTION(
            std::runtime_error, connection.call([](QSqlDatabase&) -> int { throw std::runtime_error("work failed"); }));
        QVERIFY(connection.isOpen());

        connection.close();
        QVERIFY(!connection.isOpen());
        QVERIFY(!connection.exec(QStringLiteral("select 1")).ok);
    }

    void openFailuresSayWhy() {
        SqlConnection connection;
        QString error;
        SqlConnectionSettings unknown;
        unknown.provider = SqlProvider::Unknown;
        QVERIFY(!connection.open(unknown, &error));
        QVERIFY(!error.isEmpty());
        error.clear();
        QVERIFY(!connection.open(sqliteSettings(QStringLiteral("/nonexistent/dir/x.db")), &error));
        QVERIFY2(!error.isEmpty(), "no reason given");
        QVERIFY(!connection.isOpen());
    }

    void sqliteFromManyThreads() {
        QTemporaryDir dir;
        SqlConnection connection;
        QString error;
        QVERIFY2(connection.open(sqliteSettings(dir.filePath(QStringLiteral("t.db"))), &error), qPrintable(error));
        QVERIFY(connection.exec(QStringLiteral("create table work (worker integer, n integer)")).ok);
        hammer(connection, QStringLiteral("work"), 8, 40);
    }

    void postgresqlStatementsFromManyThreads() {
        MORVANE_REQUIRE_PG(pg);
        SqlConnection connection;
        QString error;
        QVERIFY2(connection.open(pgSettings(pg), &error), qPrintable(error));
        QVERIFY(connection.exec(QStringLiteral("drop table if exists plat_work")).ok);
        QVERIFY(
            connection.exec(QStringLiteral("create table plat_work (id serial primary key, worker integer, n integer)"))
                .ok);
        hammer(connection, QStringLiteral("plat_work"), 6, 30);
        QVERIFY(connection.tables().contains(QStringLiteral("plat_work")));
        const SqlResult missing = connection.exec(QStringLiteral("select * from no_such_table"));
        QVERIFY(!missing.ok);
        QVERIFY2(missing.error.contains(QStringLiteral("no_such_table")), qPrintable(missing.error));
        QVERIFY(connection.exec(QStringLiteral("drop table plat_work")).ok);
    }

    // "[addr]:port" reaches that IPv6 address at that port (a listener that never answers sees the attempt).
    void postgresqlReachesAnIpv6Server() {
        const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof address;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (listener >= 0)
                ::close(listener);
            QSKIP("no IPv6 loopback here");
        }
        SqlConnectionSettings settings;
        settings.provider = SqlProvider::PostgreSQL;
        settings.server = QStringLiteral("[::1]:%1").arg(ntohs(address.sin6_port));
        settings.database = QStringLiteral("postgres");
        settings.connectTimeoutSeconds = 2;
        SqlConnection connection;
        QVERIFY(!connection.open(settings));
        pollfd waiting{listener, POLLIN, 0};
        const int attempts = ::poll(&waiting, 1, 0);
        ::close(listener);
        QCOMPARE(attempts, 1);
    }

    // Qt's PostgreSQL and ODBC drivers answer a failed table listing with an empty list and a warning in
    // the log: a listing on a session that the server has ended must still be told from an empty database.
    void failedTableListingIsReported_data() {
        QTest::addColumn<QString>("driver");
        QTest::newRow("PostgreSQL") << "QPSQL";
        QTest::newRow("ODBC") << "QODBC"; // the PostgreSQL ODBC driver stands in for SQL Server's
    }
    void failedTableListingIsReported() {
        MORVANE_REQUIRE_PG(pg);
        QFETCH(QString, driver);
        const QString name = QStringLiteral("listing-") + driver;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(driver, name);
            if (driver == QLatin1String("QODBC")) {
                db.setDatabaseName(QStringLiteral("DRIVER={PostgreSQL Unicode};SERVER=%1;PORT=%2;DATABASE=postgres;"
                                                  "UID=%3;PWD=%4;CommLog=0;Debug=0")
                                       .arg(pg.host)
                                       .arg(pg.port)
                                       .arg(pg.user, morvane::platform::odbcQuote(pg.password)));
            } else {
                db.setHostName(pg.host);
                db.setPort(pg.port);
                db.setDatabaseName(QStringLiteral("postgres"));
                db.setUserName(pg.user);
                db.setPassword(pg.password);
            }
            QVERIFY2(db.open(), qPrintable(db.lastError().text()));
            QStringList names;
            QString error;
            QVERIFY2(listTablesOn(db, &names, &error), qPrintable(error));
            const QVariant backend = execOn(db, QStringLiteral("select pg_backend_pid()")).rows.value(0).value(0);
            SqlConnection admin;
            QVERIFY(admin.open(pgSettings(pg)));
            QVERIFY(admin.exec(QStringLiteral("select pg_terminate_backend(?)"), {backend}).ok);
            QVERIFY(!listTablesOn(db, &names, &error));
            QVERIFY(!error.isEmpty());
            QVERIFY(names.isEmpty());
        }
        QSqlDatabase::removeDatabase(name);
    }

    void postgresqlWrongPasswordGivesTheServersMessage() {
        MORVANE_REQUIRE_PG(pg);
        SqlConnectionSettings settings = pgSettings(pg);
        settings.password = pg.password + QStringLiteral("-wrong;x}");
        SqlConnection connection;
        QString error;
        QVERIFY(!connection.open(settings, &error));
        QVERIFY2(error.contains(QStringLiteral("password authentication failed")), qPrintable(error));
        QVERIFY(!connection.isOpen());
    }
};

QTEST_GUILESS_MAIN(TestSql)
#include "tst_sql.moc"
