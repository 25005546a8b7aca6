// regsvr32 and the component's registration entries: what registration writes, that /u removes
// exactly that, and the outcome reported by exit code and message.
#include "Automation.h"
#include "ClassRegistry.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QTest>

using namespace morvane;

namespace {

const QString kClsidKey = QStringLiteral("CLSID\\{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}");

QString library() {
    return QFileInfo(QStringLiteral(KESTROVA_LIBRARY)).absoluteFilePath();
}

test::ProcessResult regsvr32(const test::TestEnvironment& env, const QStringList& args) {
    return test::runProgram(QStringLiteral(REGSVR32), args, env.processEnvironment());
}

} // namespace

class TestRegsvr32 : public QObject {
    Q_OBJECT

private slots:
    void registrationWritesTheClass() {
        test::TestEnvironment env;
        const auto result = regsvr32(env, {QStringLiteral("/s"), library()});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.standardError.isEmpty());
        const platform::ClassRegistry registry(env.registryPath());
        QCOMPARE(registry.value(kClsidKey + QStringLiteral("\\InprocServer32")), library());
        QCOMPARE(registry.value(kClsidKey + QStringLiteral("\\ProgID")), QStringLiteral("KestrovaCom.TKestrova"));
        QCOMPARE(registry.value(kClsidKey + QStringLiteral("\\Version")), QStringLiteral("1"));
        QCOMPARE(registry.value(QStringLiteral("KestrovaCom.TKestrova\\CLSID")),
                 QStringLiteral("{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}"));
        // Registered means creatable by ProgID, with the component's members.
        const platform::DispatchPtr object = platform::createObject(QStringLiteral("KestrovaCom.TKestrova"));
        QVERIFY(object);
        platform::DispId id = 0;
        QCOMPARE(object->getIdOfName(QStringLiteral("comifrmtopendoor"), id), platform::hr::S_OK);
        // Registering twice changes nothing.
        const QByteArray once = env.readFile(env.registryPath());
        QCOMPARE(regsvr32(env, {QStringLiteral("/s"), library()}).exitCode, 0);
        QCOMPARE(env.readFile(env.registryPath()), once);
    }

    void unregistrationRemovesExactlyWhatWasWritten_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("no registry file yet") << QByteArray();
        QTest::newRow("empty registry") << QByteArrayLiteral("REGEDIT4\n\n");
        QTest::newRow("other classes") << QByteArrayLiteral(
            "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\CLSID]\n\n[HKEY_CLASSES_ROOT\\CLSID\\{35D710D5-91F6-4BAE-A571-"
            "8ED6C8E5E82D}]\n"
            "@=\"rmtserver\"\n\n[HKEY_CLASSES_ROOT\\CLSID\\{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}\\LocalServer32]\n"
            "@=\"/opt/morvane -Automation\"\n\n[HKEY_CLASSES_ROOT\\server.rmtserver]\n@=\"rmtserver\"\n\n");
        QTest::newRow("an old version registered")
            << QByteArrayLiteral("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\KestrovaComOld]\n@=\"x\"\n\n");
    }

    void unregistrationRemovesExactlyWhatWasWritten() {
        QFETCH(QByteArray, before);
        test::TestEnvironment env;
        if (!before.isEmpty())
            env.writeFile(env.registryPath(), before);
        const platform::ClassRegistry registry(env.registryPath());
        const QStringList keysBefore = registry.subKeys(QString()) + registry.subKeys(QStringLiteral("CLSID"));
        QCOMPARE(regsvr32(env, {QStringLiteral("/s"), library()}).exitCode, 0);
        QVERIFY(registry.keyExists(kClsidKey));
        QCOMPARE(regsvr32(env, {QStringLiteral("/u"), QStringLiteral("/s"), library()}).exitCode, 0);
        QVERIFY(!registry.keyExists(kClsidKey));
        QVERIFY(!registry.keyExists(QStringLiteral("KestrovaCom.TKestrova")));
        QCOMPARE(registry.subKeys(QString()) + registry.subKeys(QStringLiteral("CLSID")), keysBefore);
        if (!before.isEmpty())
            QCOMPARE(env.readFile(env.registryPath()), before);
        if (!before.isEmpty() && before.contains("rmtserver")) {
            QCOMPARE(registry.value(QStringLiteral("CLSID\\{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}\\LocalServer32")),
                     QStringLiteral("/opt/morvane -Automation"));
        }
        // Unregistering what is not registered is no failure.
        QCOMPARE(regsvr32(env, {QStringLiteral("/u"), QStringLiteral("/s"), library()}).exitCode, 0);
    }

    void outcomes_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("register") << QStringList{library()} << 0
                                  << QStringLiteral("RegSvr32: DllRegisterServer in %1 succeeded.").arg(library());
        QTest::newRow("unregister, switches in any case")
            << QStringList{QStringLiteral("-U"), library()} << 0
            << QStringLiteral("RegSvr32: DllUnregisterServer in %1 succeeded.").arg(library());
        QTest::newRow("no such file") << QStringList{QStringLiteral("/nowhere/KestrovaCom.so")} << 3
                                      << QStringLiteral("RegSvr32: LoadLibrary(\"/nowhere/KestrovaCom.so\") failed");
        QTest::newRow("a library without the entry")
            << QStringList{QStringLiteral(PLATFORM_LIBRARY)} << 4 << QStringLiteral("entry point was not found");
        QTest::newRow("no path") << QStringList{QStringLiteral("/s"), QStringLiteral("/u")} << 1 << QString();
        QTest::newRow("two paths") << QStringList{library(), library()} << 1 << QStringLiteral("Usage: regsvr32");
    }

    void outcomes() {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        test::TestEnvironment env;
        const auto result = regsvr32(env, args);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, exitCode);
        const QString text = QString::fromLocal8Bit(result.standardError);
        if (message.isEmpty())
            QVERIFY(text.isEmpty()); // silent
        else
            QVERIFY2(text.contains(message), qPrintable(text));
        // Silent runs report by exit code alone.
        const auto silent = regsvr32(env, QStringList{QStringLiteral("/s")} + args);
        QCOMPARE(silent.exitCode, exitCode);
        QVERIFY(silent.standardError.isEmpty());
    }

    // A registry that cannot be parsed is never rewritten: registration fails and says so.
    void unreadableRegistryFailsAndKeepsTheFile() {
        test::TestEnvironment env;
        const QByteArray broken = QByteArrayLiteral("this is not REGEDIT4\n[unterminated\n");
        env.writeFile(env.registryPath(), broken);
        const auto result = regsvr32(env, {library()});
        QCOMPARE(result.exitCode, 5);
        QVERIFY2(result.standardError.contains("DllRegisterServer in"), result.standardError.constData());
        QVERIFY(result.standardError.contains("0x80040201"));
        QCOMPARE(env.readFile(env.registryPath()), broken);
    }
};

QTEST_GUILESS_MAIN(TestRegsvr32)
#include "tst_regsvr32.moc"
