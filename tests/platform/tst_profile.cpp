// Profile files as the configuration reader and the options dialog use them.
#include "ClassRegistry.h"
#include "ProfileFile.h"
#include "ProgramDirectory.h"
#include "SqlConnection.h"
#include "SystemInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using morvane::platform::ProfileFile;
using morvane::platform::ProfileWriteError;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

} // namespace

class TestProfile : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("systeminfo.ini"));
        QFile::remove(m_path);
    }

    void sectionsAndKeysIgnoreCase_data() {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::newRow("as written") << "System"
                                    << "LanguageID";
        QTest::newRow("small letters") << "system"
                                       << "languageid";
        QTest::newRow("capitals") << "SYSTEM"
                                  << "LANGUAGEID";
        QTest::newRow("mixed") << "sYsTeM"
                               << "LanguageId";
    }
    void sectionsAndKeysIgnoreCase() {
        QFETCH(QString, section);
        QFETCH(QString, key);
        writeAll(m_path, "[Device]\r\nLanguageID=1\r\n[SYSTEM]\r\nlanguageID = 1033\r\n[DataBase]\r\nLanguageID=7\r\n");
        ProfileFile profile(m_path);
        QCOMPARE(profile.readInteger(section, key, 2052), 1033);
        QCOMPARE(profile.readString(section, key, QString()), QStringLiteral("1033"));
    }

    void byteOrderMarkDoesNotHideTheFirstSection() {
        const QByteArray content("\xEF\xBB\xBF[Device]\r\nport=6\r\n");
        writeAll(m_path, content);
        ProfileFile profile(m_path);
        QCOMPARE(profile.readInteger(QStringLiteral("Device"), QStringLiteral("port"), 0), 6);
        profile.writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), 7);
        QCOMPARE(readAll(m_path), QByteArray("\xEF\xBB\xBF[Device]\r\nPort=7\r\n"));
    }

    void integers_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("expected");
        QTest::newRow("decimal") << QByteArray("19") << 19;
        QTest::newRow("negative") << QByteArray("-5") << -5;
        QTest::newRow("blanks around") << QByteArray("  42  ") << 42;
        QTest::newRow("hex small x") << QByteArray("0x3") << 3;
        QTest::newRow("hex capital X") << QByteArray("0X1F") << 31;
        QTest::newRow("hex all bits") << QByteArray("0xFFFFFFFF") << -1;
        QTest::newRow("not a number") << QByteArray("abc") << 77;
        QTest::newRow("digits then letters") << QByteArray("12abc") << 77;
        QTest::newRow("bare 0x") << QByteArray("0x") << 77;
        QTest::newRow("bad hex digits") << QByteArray("0xZZ") << 77;
        QTest::newRow("too large") << QByteArray("99999999999") << 77;
        QTest::newRow("hex too large") << QByteArray("0x100000000") << 77;
        QTest::newRow("empty") << QByteArray("") << 77;
    }
    void integers() {
        QFETCH(QByteArray, text);
        QFETCH(int, expected);
        writeAll(m_path, "[Device]\r\nport=" + text + "\r\n");
        QCOMPARE(ProfileFile(m_path).readInteger(QStringLiteral("Device"), QStringLiteral("port"), 77), expected);
    }

    void missingEntriesReadDefaults() {
        writeAll(m_path, "[System]\nComVersion=3\n[Device]\nport=2\n");
        ProfileFile profile(m_path);
        QCOMPARE(profile.readInteger(QStringLiteral("System"), QStringLiteral("LanguageID"), 2052), 2052);
        QCOMPARE(profile.readString(QStringLiteral("DataBase"), QStringLiteral("ServerName"), QStringLiteral("none")),
                 QStringLiteral("none"));
        QCOMPARE(profile.readInteger(QStringLiteral("DataBase"), QStringLiteral("ConnectMode"), 0), 0);
        // A key of the same name in another section is not taken.
        QCOMPARE(profile.readInteger(QStringLiteral("System"), QStringLiteral("port"), -1), -1);
        QCOMPARE(profile.readString(QStringLiteral("System"), QStringLiteral("ComVersion"), QStringLiteral("1")),
                 QStringLiteral("3"));

        ProfileFile absent(m_dir.filePath(QStringLiteral("absent.ini")));
        QVERIFY(!absent.exists());
        QCOMPARE(absent.readString(QStringLiteral("System"), QStringLiteral("ComVersion"), QStringLiteral("1")),
                 QStringLiteral("1"));
        QCOMPARE(absent.readInteger(QStringLiteral("Device"), QStringLiteral("port"), 0), 0);
    }

    void textIsCutAt2047Characters() {
        const QByteArray longText(3000, 'p');
        writeAll(m_path, "[DataBase]\r\nPassword=" + longText + "\r\nUserName=" + longText.left(2047) + "\r\n");
        ProfileFile profile(m_path);
        const QString password = profile.readString(QStringLiteral("DataBase"), QStringLiteral("Password"), QString());
        QCOMPARE(password.size(), ProfileFile::kMaxText);
        QCOMPARE(password, QString(2047, QLatin1Char('p')));
        QCOMPARE(profile.readString(QStringLiteral("DataBase"), QStringLiteral("UserName"), QString()).size(), 2047);
    }

    void writeCreatesFileAndKeepsTheRest() {
        ProfileFile profile(m_path);
        profile.writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), 4);
        QVERIFY(profile.exists());
        QCOMPARE(profile.readInteger(QStringLiteral("device"), QStringLiteral("port"), 0), 4);

        // A file in the Chinese code page (not UTF-8) is read as GBK; the lines a write does not touch
        // stay byte for byte, and the lines it writes are GBK too.
        const QByteArray gbk("ServerName=\xB7\xFE\xCE\xF1\xC6\xF7");
        writeAll(m_path, "; kept comment\r\n[Device]\r\nport=1\r\n\r\n[DataBase]\r\n" + gbk + "\r\n");
        QCOMPARE(profile.readString(QStringLiteral("DataBase"), QStringLiteral("ServerName"), QString()),
                 QString::fromUtf8("服务器"));
        profile.writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), 19);
        profile.writeString(QStringLiteral("DataBase"), QStringLiteral("DataBaseName"), QString::fromUtf8("门禁.db"));
        profile.writeString(QStringLiteral("Extra"), QStringLiteral("Key"), QStringLiteral("v"));
        const QByteArray content = readAll(m_path);
        QCOMPARE(content, QByteArray("; kept comment\r\n[Device]\r\nPort=19\r\n\r\n[DataBase]\r\n" + gbk +
                                     "\r\nDataBaseName=\xC3\xC5\xBD\xFB.db\r\n[Extra]\r\nKey=v\r\n"));
        QCOMPARE(profile.readInteger(QStringLiteral("Device"), QStringLiteral("port"), 0), 19);
        QCOMPARE(profile.readString(QStringLiteral("DataBase"), QStringLiteral("DataBaseName"), QString()),
                 QString::fromUtf8("门禁.db"));
        // What GBK cannot hold would read back as something else: that write fails and changes nothing.
        QVERIFY_THROWS_EXCEPTION(ProfileWriteError, profile.writeString(QStringLiteral("Extra"), QStringLiteral("Key"),
                                                                        QString::fromUtf8("\U0001F600")));
        QCOMPARE(readAll(m_path), content);
    }

    // What holds the database's password, the classes' server commands or the data is the server user's
    // alone from the moment it exists, whatever the umask; so are the folders made for it.
    void newFilesAreTheOwnersAlone_data() {
        QTest::addColumn<QString>("made");
        QTest::addColumn<int>("mode");
        QTest::newRow("profile") << "systeminfo.ini" << 0600;
        QTest::newRow("class registry") << "var/morvane/classes.reg" << 0600;
        QTest::newRow("class registry's lock") << "var/morvane/classes.reg.lock" << 0600;
        QTest::newRow("folder made for the class registry") << "var/morvane" << 0700;
        QTest::newRow("SQLite database") << "door.db" << 0600;
        QTest::newRow("SQLite write-ahead log") << "door.db-wal" << 0600;
    }
    void newFilesAreTheOwnersAlone() {
        QFETCH(QString, made);
        QFETCH(int, mode);
        QTemporaryDir dir;
        const mode_t previous = ::umask(0);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        const QString path = dir.filePath(made);
        morvane::platform::SqlConnection connection;
        if (made.endsWith(QLatin1String(".ini"))) {
            ProfileFile(path).writeString(QStringLiteral("DataBase"), QStringLiteral("Password"), QStringLiteral("pw"));
        } else if (made.startsWith(QLatin1String("var/"))) {
            QString error;
            QVERIFY2(morvane::platform::ClassRegistry(dir.filePath(QStringLiteral("var/morvane/classes.reg")))
                         .setValue(QStringLiteral("CLSID\\{1}"), QStringLiteral("LocalServer32"), QStringLiteral("/x"),
                                   &error),
                     qPrintable(error));
        } else {
            morvane::platform::SqlConnectionSettings settings;
            settings.provider = morvane::platform::SqlProvider::SQLite;
            settings.database = dir.filePath(QStringLiteral("door.db"));
            QString error;
            QVERIFY2(connection.open(settings, &error), qPrintable(error));
            QVERIFY(connection.exec(QStringLiteral("pragma journal_mode=wal")).ok);
            QVERIFY(connection.exec(QStringLiteral("create table t (x int)")).ok);
        }
        struct stat status {};
        QVERIFY2(::stat(QFile::encodeName(path).constData(), &status) == 0, qPrintable(path));
        QCOMPARE(QString::number(status.st_mode & 07777, 8), QString::number(mode, 8));
    }

    void writeThroughALinkKeepsTheLink() {
        const QString real = m_dir.filePath(QStringLiteral("real.ini"));
        writeAll(real, "[Device]\r\nport=1\r\n");
        QFile::remove(m_path);
        QVERIFY(QFile::link(real, m_path));
        ProfileFile(m_path).writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), 5);
        QVERIFY(QFileInfo(m_path).isSymLink());
        QCOMPARE(readAll(real), QByteArray("[Device]\r\nPort=5\r\n"));
        QFile::remove(m_path);
    }

    void failedWriteNamesThePath_data() {
        QTest::addColumn<QString>("relative");
        QTest::newRow("directory missing") << "no/such/dir/systeminfo.ini";
        QTest::newRow("parent is a file") << "plainfile/systeminfo.ini";
        QTest::newRow("path is a directory") << "adirectory";
        // A directory that takes no new files even from root.
        QTest::newRow("unwritable directory") << "/proc/systeminfo.ini";
        if (::geteuid() != 0)
            QTest::newRow("directory without write permission") << "readonly/systeminfo.ini";
    }
    void failedWriteNamesThePath() {
        QFETCH(QString, relative);
        writeAll(m_dir.filePath(QStringLiteral("plainfile")), "x");
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("adirectory")));
        QDir(m_dir.path()).mkpath(QStringLiteral("readonly"));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("readonly")), QFile::ReadOwner | QFile::ExeOwner);
        const QString path = QDir::isAbsolutePath(relative) ? relative : m_dir.filePath(relative);
        ProfileFile profile(path);
        try {
            profile.writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), 1);
            QFAIL("the write was reported as done");
        } catch (const ProfileWriteError& e) {
            QCOMPARE(e.text(), QStringLiteral("Unable to write to %1").arg(path));
            QCOMPARE(QString::fromStdString(e.what()), e.text());
        }
        QCOMPARE(readAll(m_dir.filePath(QStringLiteral("plainfile"))), QByteArray("x"));
    }

    // The replacement goes through the directory, so the file's own write permission must be asked for;
    // a file without any write bit stays as it is even for root (the tests run as root in CI).
    void readOnlyFileIsLeftAsItWas_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("throughLink");
        QTest::addColumn<bool>("written");
        QTest::newRow("read-only") << 0444 << false << false;
        QTest::newRow("read-only, owner only") << 0400 << false << false;
        QTest::newRow("read-only behind a link") << 0444 << true << false;
        QTest::newRow("writable keeps its mode") << 0640 << false << true;
        QTest::newRow("writable behind a link keeps its mode") << 0604 << true << true;
    }
    void readOnlyFileIsLeftAsItWas() {
        QFETCH(int, mode);
        QFETCH(bool, throughLink);
        QFETCH(bool, written);
        const QByteArray before("[Device]\r\nport=2\r\n");
        const QString real = throughLink ? m_dir.filePath(QStringLiteral("real.ini")) : m_path;
        QFile::remove(real);
        writeAll(real, before);
        if (throughLink)
            QVERIFY(QFile::link(real, m_path));
        QCOMPARE(::chmod(QFile::encodeName(real).constData(), mode_t(mode)), 0);
        ProfileFile profile(m_path);
        bool refused = false;
        try {
            profile.writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), 9);
        } catch (const ProfileWriteError& e) {
            refused = true;
            QCOMPARE(e.text(), QStringLiteral("Unable to write to %1").arg(m_path));
        }
        QCOMPARE(refused, !written);
        QCOMPARE(readAll(real), written ? QByteArray("[Device]\r\nPort=9\r\n") : before);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(real).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 07777), mode);
        // No temporary is left beside the file.
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral(".*.ini.*")}, QDir::Files | QDir::Hidden), QStringList());
        QFile::remove(m_path);
        QFile::remove(real);
    }

    void lineBreaksCannotForgeEntries_data() {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("value") << "Device"
                               << "Port"
                               << "1\r\n[DataBase]\r\nConnectMode=1";
        QTest::newRow("key") << "Device"
                             << "Po\nrt"
                             << "1";
        QTest::newRow("section") << "Dev]\nice"
                                 << "Port"
                                 << "1";
        QTest::newRow("empty key") << "Device"
                                   << ""
                                   << "1";
    }
    void lineBreaksCannotForgeEntries() {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QByteArray before("[Device]\r\nport=2\r\n");
        writeAll(m_path, before);
        ProfileFile profile(m_path);
        QVERIFY_THROWS_EXCEPTION(ProfileWriteError, profile.writeString(section, key, value));
        QCOMPARE(readAll(m_path), before);
    }

    void garbageReadsDefaults_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("no sections") << QByteArray("port=5\r\nLanguageID=1\r\n");
        QTest::newRow("broken headers") << QByteArray("[Device\r\nport=5\r\n]System[\r\n==\r\n=5\r\n[]\r\n");
        QTest::newRow("lone CR") << QByteArray("[Device]\rport=5\r");
        QTest::newRow("NUL bytes") << QByteArray("[Sys\0tem]\nLanguageID=1\n[Device]\nport\0=5\n", 42);
        QByteArray binary(64 * 1024, '\0');
        QRandomGenerator generator(1234);
        for (char& c : binary)
            c = static_cast<char>(generator.bounded(256));
        QTest::newRow("random bytes") << binary;
    }
    void garbageReadsDefaults() {
        QFETCH(QByteArray, content);
        writeAll(m_path, content);
        ProfileFile profile(m_path);
        QCOMPARE(profile.readInteger(QStringLiteral("Device"), QStringLiteral("port"), 0), 0);
        QCOMPARE(profile.readInteger(QStringLiteral("System"), QStringLiteral("LanguageID"), 2052), 2052);
        QCOMPARE(profile.readString(QStringLiteral("System"), QStringLiteral("ComVersion"), QStringLiteral("1")),
                 QStringLiteral("1"));
        // A write into such a file adds its entry and keeps every byte it held.
        profile.writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), 3);
        QCOMPARE(profile.readInteger(QStringLiteral("Device"), QStringLiteral("port"), 0), 3);
        QVERIFY(readAll(m_path).size() >= content.size());
    }

    // An installed server keeps its programs apart from its data; a build tree keeps both in one place.
    void dataDirectoryFollowsHome_data() {
        QTest::addColumn<QString>("programEnv");
        QTest::addColumn<QString>("homeEnv");
        QTest::addColumn<QString>("programs");
        QTest::addColumn<QString>("data");
        const QString own = QCoreApplication::applicationDirPath() + QLatin1Char('/');
        QTest::newRow("build tree") << QString() << QString() << own << own;
        QTest::newRow("program dir only") << "/opt/m" << QString() << "/opt/m/"
                                          << "/opt/m/";
        QTest::newRow("home only") << QString() << "/var/lib/m//" << own << "/var/lib/m/";
        QTest::newRow("both") << "/usr/lib/m/"
                              << "/var/lib/m"
                              << "/usr/lib/m/"
                              << "/var/lib/m/";
    }
    void dataDirectoryFollowsHome() {
        QFETCH(QString, programEnv);
        QFETCH(QString, homeEnv);
        QFETCH(QString, programs);
        QFETCH(QString, data);
        const auto restore = qScopeGuard([] {
            qunsetenv("MORVANE_PROGRAM_DIR");
            qunsetenv("MORVANE_HOME");
        });
        for (const auto& [name, value] : {std::pair{"MORVANE_PROGRAM_DIR", programEnv}, {"MORVANE_HOME", homeEnv}}) {
            if (value.isEmpty())
                qunsetenv(name);
            else
                qputenv(name, value.toLocal8Bit());
        }
        QCOMPARE(morvane::platform::programDirectory(), programs);
        QCOMPARE(morvane::platform::dataDirectory(), data);
        QCOMPARE(morvane::platform::systemInfoPath(), data + QStringLiteral("systeminfo.ini"));
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
};

QTEST_GUILESS_MAIN(TestProfile)
#include "tst_profile.moc"
