// Named single-instance objects and message boxes: what a second instance and a headless run see.
#include "MessageBox.h"
#include "NamedMutex.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace morvane::platform;
using morvane::test::TestEnvironment;

Q_DECLARE_METATYPE(morvane::platform::MessageAnswer)

namespace {

const QString kHelper = QStringLiteral(PLATFORM_TEST_HELPER);

// Starts the helper holding the named lock; returns once it says it holds it.
bool startLockHolder(QProcess& process, const TestEnvironment& env, const QString& name) {
    process.setProcessEnvironment(env.processEnvironment());
    process.start(kHelper, {QStringLiteral("lock"), name});
    if (!process.waitForStarted(10000))
        return false;
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(10000))
            return false;
    }
    return process.readLine().trimmed() == "locked";
}

} // namespace

class TestProcess : public QObject {
    Q_OBJECT

private slots:
    void lockDirectoryFollowsTheEnvironment() {
        TestEnvironment env;
        QCOMPARE(NamedMutex::lockDirectory(), env.lockDir());
        {
            NamedMutex mutex(QStringLiteral("morvane"), true);
            QVERIFY(mutex.isOwned());
        }
        QVERIFY(QFileInfo::exists(env.lockDir() + QStringLiteral("/morvane-mutex-morvane.lock")));
        // A name cannot reach outside the lock directory.
        {
            NamedMutex mutex(QStringLiteral("../../escape"), true);
            QVERIFY(mutex.isOwned());
        }
        QCOMPARE(QDir(env.lockDir()).entryList(QDir::Files).size(), 2);
        QVERIFY(!QFileInfo::exists(env.lockDir() + QStringLiteral("/../../escape.lock")));

        // Without the variable the locks are the user's own: in a folder made for them in the user's runtime
        // folder, never in a directory that every user may write, such as /run/lock.
        QTemporaryDir runtimeDir;
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        const auto defaultWith = [&](const QString& runtime) {
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
            qunsetenv("MORVANE_LOCK_DIR");
            const QString chosen = NamedMutex::lockDirectory();
            qputenv("MORVANE_LOCK_DIR", QFile::encodeName(env.lockDir()));
            qputenv("XDG_RUNTIME_DIR", savedRuntime);
            return chosen;
        };
        const auto isPrivate = [](const QString& path) {
            struct stat status {};
            return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
                   status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
        };
        const QString inRuntime = defaultWith(runtimeDir.path());
        QCOMPARE(inRuntime, runtimeDir.path() + QStringLiteral("/morvane"));
        QVERIFY(isPrivate(inRuntime));
        // A runtime folder of another user is not taken: the locks go to a private folder elsewhere.
        if (::geteuid() == 0) {
            QVERIFY(::chown(QFile::encodeName(runtimeDir.path()).constData(), 65534, 65534) == 0);
            const QString elsewhere = defaultWith(runtimeDir.path());
            QVERIFY2(!elsewhere.startsWith(runtimeDir.path()), qPrintable(elsewhere));
            QVERIFY2(isPrivate(elsewhere), qPrintable(elsewhere));
        }
    }

    // A lock that another user could hold or replace is refused, saying which file or directory and what
    // to do, instead of a server that ends silently as though another one ran.
    void lockNotOfThisUserIsRefused_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("namesTheDirectory");
        QTest::addColumn<QString>("reason");
        QTest::newRow("lock file of another user") << "foreign file" << false << "uid 65534";
        QTest::newRow("a link in place of the lock file") << "link" << false << "link";
        QTest::newRow("lock directory of another user") << "foreign directory" << true << "uid 65534";
        QTest::newRow("lock directory that others may write") << "open directory" << true << "0777";
    }
    void lockNotOfThisUserIsRefused() {
        QFETCH(QString, what);
        QFETCH(bool, namesTheDirectory);
        QFETCH(QString, reason);
        if (what.startsWith(QLatin1String("foreign")) && ::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        TestEnvironment env;
        const QByteArray directory = QFile::encodeName(env.lockDir());
        const QString file = env.lockDir() + QStringLiteral("/morvane-mutex-morvane.lock");
        const QByteArray nativeFile = QFile::encodeName(file);
        const QString target = env.path(QStringLiteral("elsewhere"));
        if (what == QLatin1String("foreign file")) {
            QFile(file).open(QIODevice::WriteOnly);
            QVERIFY(::chown(nativeFile.constData(), 65534, 65534) == 0);
        } else if (what == QLatin1String("link")) {
            env.writeFile(target, "kept");
            QVERIFY(QFile::link(target, file));
        } else if (what == QLatin1String("foreign directory")) {
            QVERIFY(::chown(directory.constData(), 65534, 65534) == 0);
        } else {
            QVERIFY(::chmod(directory.constData(), 0777) == 0);
        }
        NamedMutex mutex(QStringLiteral("morvane"), true);
        QVERIFY(!mutex.isOwned());
        QVERIFY(!mutex.alreadyExists());
        const QString text = mutex.failureText();
        QVERIFY2(text.startsWith((namesTheDirectory ? env.lockDir() : file) + QLatin1Char(':')), qPrintable(text));
        QVERIFY2(text.contains(reason), qPrintable(text));
        QVERIFY2(text.contains(QLatin1String("MORVANE_LOCK_DIR")), qPrintable(text));
        QVERIFY(!NamedMutex::isHeld(QStringLiteral("morvane")));
        QCOMPARE(env.readFile(target), what == QLatin1String("link") ? QByteArray("kept") : QByteArray());
    }

    void secondCreateReportsAlreadyExists() {
        TestEnvironment env;
        NamedMutex first(QStringLiteral("morvane"), true);
        QVERIFY(first.isOwned());
        QCOMPARE(first.lastError(), 0);

        NamedMutex second(QStringLiteral("morvane"), true);
        QVERIFY(second.alreadyExists());
        QCOMPARE(second.lastError(), 183);
        QVERIFY(!second.isOwned());
        QVERIFY(NamedMutex::isHeld(QStringLiteral("morvane")));
        // Looking does not take it, and other names are independent.
        QVERIFY(!NamedMutex::isHeld(QStringLiteral("SCKTSRVR")));
        NamedMutex other(QStringLiteral("SCKTSRVR"), true);
        QVERIFY(other.isOwned());

        first.release();
        first.release();
        QVERIFY(!first.isOwned());
        QVERIFY(!NamedMutex::isHeld(QStringLiteral("morvane")));
        NamedMutex third(QStringLiteral("morvane"), true);
        QVERIFY(third.isOwned());
    }

    void destructionReleases() {
        TestEnvironment env;
        {
            NamedMutex held(QStringLiteral("morvane"), true);
            QVERIFY(NamedMutex::isHeld(QStringLiteral("morvane")));
        }
        QVERIFY(!NamedMutex::isHeld(QStringLiteral("morvane")));
        // Created without ownership: nothing is held afterwards.
        NamedMutex unowned(QStringLiteral("morvane"), false);
        QVERIFY(!unowned.isOwned());
        QVERIFY(!unowned.alreadyExists());
        QVERIFY(!NamedMutex::isHeld(QStringLiteral("morvane")));
    }

    void anotherProcessSeesTheLockAndTheKernelDropsIt() {
        TestEnvironment env;
        QProcess holder;
        QVERIFY(startLockHolder(holder, env, QStringLiteral("morvane")));
        {
            NamedMutex mine(QStringLiteral("morvane"), true);
            QVERIFY(mine.alreadyExists());
        }
        // Killed without a chance to clean up: the lock must be free all the same.
        holder.kill();
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(holder.exitStatus(), QProcess::CrashExit);
        NamedMutex mine(QStringLiteral("morvane"), true);
        QVERIFY(mine.isOwned());

        // And the other way round: a second process is told "already exists" while this one holds it.
        const auto result = morvane::test::runProgram(kHelper, {QStringLiteral("lock"), QStringLiteral("morvane")},
                                                      env.processEnvironment());
        QVERIFY(result.finished);
        QCOMPARE(result.standardOutput.trimmed(), QByteArray("exists"));
        QCOMPARE(result.exitCode, 1);
    }

    void hookSeesEveryBox_data() {
        QTest::addColumn<MessageAnswer>("answer");
        QTest::newRow("ok") << MessageAnswer::Ok;
        QTest::newRow("cancel") << MessageAnswer::Cancel;
        QTest::newRow("yes") << MessageAnswer::Yes;
        QTest::newRow("no") << MessageAnswer::No;
    }
    void hookSeesEveryBox() {
        QFETCH(MessageAnswer, answer);
        morvane::test::MessageCapture capture(answer);
        MessageRequest request;
        request.caption = QStringLiteral("Error");
        request.text = QStringLiteral("Connect database error");
        request.icon = MessageIcon::Warning;
        request.buttons = MessageButtons::YesNoCancel;
        request.defaultAnswer = MessageAnswer::Ok;
        QCOMPARE(showMessage(request), answer);
        request.icon = MessageIcon::Question;
        request.buttons = MessageButtons::OkCancel;
        QCOMPARE(showMessage(request), answer);

        const auto seen = capture.messages();
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(0).caption, QStringLiteral("Error"));
        QCOMPARE(seen.at(0).text, QStringLiteral("Connect database error"));
        QCOMPARE(seen.at(0).icon, MessageIcon::Warning);
        QCOMPARE(seen.at(0).buttons, MessageButtons::YesNoCancel);
        QCOMPARE(seen.at(1).icon, MessageIcon::Question);
        QCOMPARE(seen.at(1).buttons, MessageButtons::OkCancel);
    }

    void headlessRunWritesOneLineAndAnswersTheDefault_data() {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("start-up failure") << "Error"
                                          << "Not system file"
                                          << "yes" << QByteArray("Error: Not system file\n");
        QTest::newRow("default no") << "Confirm"
                                    << "Close the server?"
                                    << "no" << QByteArray("Confirm: Close the server?\n");
        QTest::newRow("default cancel") << "Confirm"
                                        << "Record texts?"
                                        << "cancel" << QByteArray("Confirm: Record texts?\n");
        QTest::newRow("several lines") << "Error"
                                       << "Unable to connect\nFATAL:  no database\r\nend"
                                       << "yes" << QByteArray("Error: Unable to connect FATAL:  no database end\n");
        QTest::newRow("Chinese text") << QString::fromUtf8("错误") << QString::fromUtf8("连接数据库错误") << "yes"
                                      << QByteArray("错误: 连接数据库错误\n");
    }
    void headlessRunWritesOneLineAndAnswersTheDefault() {
        QFETCH(QString, caption);
        QFETCH(QString, text);
        QFETCH(QString, answer);
        QFETCH(QByteArray, line);
        TestEnvironment env;
        QProcessEnvironment environment = env.processEnvironment();
        // Qt's own notice about a missing runtime directory would be a second line.
        QTemporaryDir runtimeDir;
        QVERIFY(runtimeDir.isValid());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
        const auto result =
            morvane::test::runProgram(kHelper, {QStringLiteral("message"), caption, text, answer}, environment);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.standardError, line);
        QCOMPARE(QString::fromUtf8(result.standardOutput.trimmed()), answer);

        // Headless also when a display variable is set but Qt runs offscreen: still no box that waits.
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":99"));
        const auto offscreen =
            morvane::test::runProgram(kHelper, {QStringLiteral("message"), caption, text, answer}, environment, 10000);
        QVERIFY(offscreen.finished);
        QCOMPARE(QString::fromUtf8(offscreen.standardOutput.trimmed()), answer);
    }

    void headlessInsideThisProcess() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
        QVERIFY(isHeadless());
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_process.moc"
