// The administrator's tool: backups that restore while clients write, restores that refuse what they
// must not replace, and passwords set on the server's machine.
#include "Admin.h"
#include "NamedMutex.h"
#include "PasswordHasher.h"
#include "TestSupport.h"
#include "unt_initdbms.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <map>
#include <thread>

#include <sys/stat.h>

using namespace morvane;
using platform::SqlConnectionSettings;
using platform::SqlProvider;

namespace {

constexpr int kWriters = 10;

SqlConnectionSettings sqliteAt(const QString& path) {
    SqlConnectionSettings s;
    s.provider = SqlProvider::SQLite;
    s.database = path;
    return s;
}

// Per writer, the sequence numbers the database at `path` holds.
std::map<int, QList<int>> rowsOf(const QString& path) {
    std::map<int, QList<int>> rows;
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, "select writer, seq from writes order by writer, seq", -1, &query, nullptr) ==
        SQLITE_OK) {
        while (sqlite3_step(query) == SQLITE_ROW)
            rows[sqlite3_column_int(query, 0)].append(sqlite3_column_int(query, 1));
    }
    sqlite3_finalize(query);
    sqlite3_close_v2(db);
    return rows;
}

bool run(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A server database with a table of the test's own beside the server's tables.
void makeDatabase(const QString& path) {
    QVERIFY(TCreateDataBase(path, {}, {}, {}, SqlProvider::SQLite).BuildDataBase());
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    QVERIFY(run(db, "create table writes (writer integer, seq integer, primary key (writer, seq))"));
    sqlite3_close_v2(db);
}

} // namespace

class TestAdmin : public QObject {
    Q_OBJECT

private slots:
    // Ten clients commit rows, each its own sequence, while the copy is made: the copy holds for each of
    // them an unbroken run that reaches at least what was committed before it began, and a restore brings
    // back exactly the copy, keeping the database it replaced with every committed row.
    void backupWhileTenClientsWriteRestoresEveryCommittedRow() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("morvane.db"));
        makeDatabase(path);
        std::array<std::atomic<int>, kWriters> committed{};
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&, w] {
                sqlite3* db = nullptr;
                sqlite3_open(QFile::encodeName(path).constData(), &db);
                sqlite3_busy_timeout(db, 10000);
                // Durability is not what is measured here: the locks are the same without the syncs.
                run(db, "pragma synchronous = off");
                // A commit refused as busy is tried again; only a committed row counts.
                int refused = 0;
                for (int seq = 1; seq <= 100000 && refused < 1000 && !stop.load();) {
                    const QByteArray sql =
                        QStringLiteral("insert into writes values (%1, %2)").arg(w).arg(seq).toUtf8();
                    if (!run(db, sql.constData())) {
                        ++refused;
                        continue;
                    }
                    committed[size_t(w)].store(seq++);
                }
                sqlite3_close_v2(db);
            });
        }
        const auto joinWriters = [&] {
            stop = true;
            for (std::thread& t : writers) {
                if (t.joinable())
                    t.join();
            }
        };
        const auto joinOnFailure = qScopeGuard(joinWriters);
        // Whether each writer has committed at least `least[w]` rows.
        const auto reached = [&](const std::array<int, kWriters>& least) {
            for (size_t w = 0; w < kWriters; ++w) {
                if (committed[w].load() < least[w])
                    return false;
            }
            return true;
        };
        const auto snapshot = [&] {
            std::array<int, kWriters> counts{};
            for (size_t w = 0; w < kWriters; ++w)
                counts[w] = committed[w].load();
            return counts;
        };
        // The writers' threads, waited for a bounded time.
        std::array<int, kWriters> started{};
        started.fill(5);
        QVERIFY(test::waitUntil([&] { return reached(started); }, 30000));
        const std::array<int, kWriters> before = snapshot();
        const QString copy = dir.filePath(QStringLiteral("copy.db"));
        const admin::Outcome backup = admin::backupDatabase(sqliteAt(path), copy);
        const std::array<int, kWriters> after = snapshot();
        // The writers go on past the copy, so that the restore has something to take away.
        std::array<int, kWriters> further = after;
        for (int& count : further)
            count += 2;
        const bool wentOn = test::waitUntil([&] { return reached(further); }, 30000);
        joinWriters();
        QVERIFY2(backup.ok, qPrintable(backup.text));
        QVERIFY(wentOn);
        QCOMPARE(QFileInfo(copy).permissions() &
                     ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
                 QFileDevice::Permissions());

        const std::map<int, QList<int>> copied = rowsOf(copy);
        for (int w = 0; w < kWriters; ++w) {
            const QList<int> seqs = copied.count(w) ? copied.at(w) : QList<int>();
            QVERIFY2(seqs.size() >= before[size_t(w)] && seqs.size() <= after[size_t(w)],
                     qPrintable(QStringLiteral("writer %1: %2 rows, committed %3 before and %4 after")
                                    .arg(w)
                                    .arg(seqs.size())
                                    .arg(before[size_t(w)])
                                    .arg(after[size_t(w)])));
            for (int i = 0; i < seqs.size(); ++i)
                QCOMPARE(seqs[i], i + 1);
        }

        const admin::Outcome restore = admin::restoreDatabase(sqliteAt(path), copy);
        QVERIFY2(restore.ok, qPrintable(restore.text));
        QVERIFY2(restore.text.contains(QStringLiteral("replaced ") + path), qPrintable(restore.text));
        QCOMPARE(rowsOf(path), copied);
        const std::map<int, QList<int>> replaced = rowsOf(path + QStringLiteral(".before-restore"));
        for (int w = 0; w < kWriters; ++w)
            QCOMPARE(replaced.at(w).size(), committed[size_t(w)].load());
    }

    // What is not a sound database of this server replaces nothing; a journal left beside the old file
    // goes with it, never onto the restored one.
    void restoreReplacesOnlyWithASoundCopy_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("restores");
        QTest::newRow("missing file") << "missing" << false;
        QTest::newRow("not a database") << "garbage" << false;
        QTest::newRow("another program's database") << "foreign" << false;
        QTest::newRow("sound copy, old journal beside the target") << "sound" << true;
    }
    void restoreReplacesOnlyWithASoundCopy() {
        QFETCH(QString, kind);
        QFETCH(bool, restores);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("morvane.db"));
        makeDatabase(path);
        const QString journal = path + QStringLiteral("-journal");
        QFile(journal).open(QIODevice::WriteOnly);
        const QByteArray original = [&] {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        const QString source = dir.filePath(QStringLiteral("source.db"));
        if (kind == QLatin1String("garbage")) {
            QFile f(source);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(8192, 'x'));
        } else if (kind == QLatin1String("foreign")) {
            sqlite3* db = nullptr;
            sqlite3_open(QFile::encodeName(source).constData(), &db);
            QVERIFY(run(db, "create table other (a integer)"));
            sqlite3_close_v2(db);
        } else if (kind == QLatin1String("sound")) {
            makeDatabase(source);
        }
        const admin::Outcome outcome = admin::restoreDatabase(sqliteAt(path), source);
        QCOMPARE(outcome.ok, restores);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll() == original, !restores);
        QCOMPARE(QFileInfo::exists(path + QStringLiteral(".before-restore")), restores);
        // The old journal stays with the old file.
        QCOMPARE(QFileInfo::exists(journal), !restores);
        QCOMPARE(QFileInfo::exists(path + QStringLiteral(".before-restore-journal")), restores);
    }

    // The command: a restore is refused while a server holds its lock, and works once it has gone; a
    // backup without a file name lands in the data directory's backup folder, keeping the newest copies.
    void commandsRespectTheRunningServer() {
        test::TestEnvironment environment;
        environment.writeSystemInfo("[DataBase]\r\nProvider=SQLite\r\nDataBaseName=morvane.db\r\nConnectMode=1\r\n");
        const QString path = environment.path(QStringLiteral("morvane.db"));
        makeDatabase(path);
        const QString backups = environment.path(QStringLiteral("backup"));
        for (int n = 0; n < 3; ++n)
            QCOMPARE(admin::run({QStringLiteral("backup"), QStringLiteral("--keep"), QStringLiteral("2")}), 0);
        QCOMPARE(QDir(backups).entryList(QDir::Files).size(), 2);
        QCOMPARE(QFileInfo(backups).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFileDevice::Permissions());
        const QString copy = QDir(backups).absoluteFilePath(QDir(backups).entryList(QDir::Files).first());
        {
            platform::NamedMutex server(QStringLiteral("morvane"), true);
            QVERIFY(server.isOwned());
            QCOMPARE(admin::run({QStringLiteral("restore"), copy}), 1);
            QVERIFY(!QFileInfo::exists(path + QStringLiteral(".before-restore")));
        }
        QCOMPARE(admin::run({QStringLiteral("restore"), copy}), 0);
        QVERIFY(QFileInfo::exists(path + QStringLiteral(".before-restore")));
    }

    // PostgreSQL: a dump made while the server's database is open comes back over rows written since.
    void postgresBackupRestoresTheCopy() {
        MORVANE_REQUIRE_PG(pg);
        const QString name = QStringLiteral("morvane_admin_%1").arg(QCoreApplication::applicationPid());
        SqlConnectionSettings s;
        s.provider = SqlProvider::PostgreSQL;
        s.server = pg.serverName();
        s.database = name;
        s.user = pg.user;
        s.password = pg.password;
        const auto drop = qScopeGuard([&] {
            SqlConnectionSettings admin = s;
            admin.database = QStringLiteral("postgres");
            platform::SqlConnection server;
            if (server.open(admin))
                server.exec(QStringLiteral("drop database if exists \"%1\" with (force)").arg(name));
        });
        QVERIFY(TCreateDataBase(name, pg.user, pg.password, pg.serverName(), SqlProvider::PostgreSQL).BuildDataBase());
        const auto departments = [&] {
            platform::SqlConnection db;
            QStringList names;
            if (db.open(s)) {
                for (const QVariantList& row :
                     db.exec(QStringLiteral("select departmentname from ac_department order by 1")).rows)
                    names.append(row.value(0).toString());
            }
            return names;
        };
        platform::SqlConnection writer;
        QVERIFY(writer.open(s));
        QVERIFY(writer.exec(QStringLiteral("insert into ac_department (departmentname) values ('kept')")).ok);
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("copy.dump"));
        const admin::Outcome backup = admin::backupDatabase(s, copy);
        QVERIFY2(backup.ok, qPrintable(backup.text));
        QVERIFY(!backup.text.contains(pg.password) || pg.password.isEmpty());
        QCOMPARE(QFileInfo(copy).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFileDevice::Permissions());
        QVERIFY(writer.exec(QStringLiteral("insert into ac_department (departmentname) values ('after the copy')")).ok);
        writer.close();
        const admin::Outcome restore = admin::restoreDatabase(s, copy);
        QVERIFY2(restore.ok, qPrintable(restore.text));
        QCOMPARE(departments(), QStringList{QStringLiteral("kept")});
    }

    void pruneKeepsTheNewestCopies() {
        QTemporaryDir dir;
        const QDateTime start(QDate(2026, 3, 1), QTime(2, 0));
        QStringList made;
        for (int n = 0; n < 9; ++n) {
            // Two copies of one millisecond among them: the second counts on.
            const QString name =
                admin::backupFileName(dir.path(), SqlProvider::SQLite, start.addSecs(n == 5 ? 4 * 60 : n * 60));
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            made.append(QFileInfo(name).fileName());
        }
        QFile other(dir.filePath(QStringLiteral("notes.txt")));
        QVERIFY(other.open(QIODevice::WriteOnly));
        const QStringList removed = admin::pruneBackups(dir.path(), 7);
        QCOMPARE(removed, made.mid(0, 2));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 8);
        QVERIFY(QFileInfo::exists(dir.filePath(made[5])));
    }

    void passwordIsSetWithTheServersHasher_data() {
        QTest::addColumn<QString>("operatorName");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("set");
        QTest::newRow("SYSTEM") << "SYSTEM"
                                << "n3w secret" << true;
        QTest::newRow("unknown operator") << "NOBODY"
                                          << "n3w secret" << false;
        QTest::newRow("empty password") << "SYSTEM"
                                        << "" << false;
    }
    void passwordIsSetWithTheServersHasher() {
        QFETCH(QString, operatorName);
        QFETCH(QString, password);
        QFETCH(bool, set);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("morvane.db"));
        makeDatabase(path);
        const admin::Outcome outcome = admin::setPassword(sqliteAt(path), operatorName, password);
        QCOMPARE(outcome.ok, set);
        QVERIFY(!outcome.text.contains(QStringLiteral("n3w")));
        platform::SqlConnection db;
        QVERIFY(db.open(sqliteAt(path)));
        const platform::SqlResult hash =
            db.exec(QStringLiteral("select p.hash from morvane_operatorpassword p join ac_operator o on o.ID = "
                                   "p.operatorid where o.operatorname = 'SYSTEM'"));
        QVERIFY(hash.ok && hash.rows.size() == 1);
        security::PasswordHasher hasher;
        bool matches = false;
        QCOMPARE(hasher.verify(hash.rows[0][0].toString(), QStringLiteral("n3w secret"), &matches),
                 security::PasswordHasher::Outcome::Done);
        QCOMPARE(matches, set);
        QCOMPARE(hasher.verify(hash.rows[0][0].toString(), QStringLiteral("1"), &matches),
                 security::PasswordHasher::Outcome::Done);
        QCOMPARE(matches, !set);
    }
};

QTEST_GUILESS_MAIN(TestAdmin)
#include "tst_admin.moc"
