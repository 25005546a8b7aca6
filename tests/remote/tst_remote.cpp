// The remote data module as a client meets it: requests through the wire protocol's server session, the
// real lock-communication component, and the controller simulator on loopback UDP and a pseudo-terminal.
#include "AutomationEndpoint.h"
#include "ComServer.h"
#include "JsonRpc.h"
#include "LocalServer.h"
#include "rmtdm.h"
#include "server_TLB.h"
#include "SimulatorThread.h"
#include "SystemInfo.h"
#include "TestSupport.h"
#include "unt_controllist.h"
#include "unt_ScanAllControls.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTest>

#include <dlfcn.h>
#include <latch>
#include <thread>

using namespace morvane;
namespace hr = platform::hr;
namespace rpc = platform::rpc;

namespace {

const QString kLockMac = QStringLiteral("00-1A-2B-3C-4D-01");
const QString kOtherMac = QStringLiteral("00-1A-2B-3C-4D-02");
const QString kSwitchMac = QStringLiteral("00-1A-2B-3C-4D-10");

// The main window's part: a running scanning thread with its registry.
class TestScanHost : public IScanHost {
public:
    TestScanHost()
        : m_list(std::make_shared<monitor::TDeviceList>())
        , m_thread(monitor::TScanAllControls::create()) {
        m_thread->SetDeviceList(m_list);
        m_thread->Resume();
    }
    ~TestScanHost() override {
        m_thread->Terminate();
        m_thread->WaitFinished(5000);
    }
    std::shared_ptr<monitor::TScanAllControls> ScanThread() const override { return m_thread; }
    monitor::TDeviceList& list() const { return *m_list; }

private:
    std::shared_ptr<monitor::TDeviceList> m_list;
    std::shared_ptr<monitor::TScanAllControls> m_thread;
};

// One client connection: its own object, its requests as lines.
class Client {
public:
    Client()
        : m_session([](const QString& name) { return platform::ComServer::instance().createInstance(name); }) {
        const QJsonObject created = call(QStringLiteral("CreateObject"),
                                         QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}});
        if (!created.contains(QStringLiteral("result")))
            qFatal("CreateObject failed: %s", QJsonDocument(created).toJson().constData());
    }
    QJsonObject call(const QString& method, const QJsonValue& params = QJsonArray()) {
        const QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                  {QStringLiteral("id"), ++m_id},
                                  {QStringLiteral("method"), method},
                                  {QStringLiteral("params"), params}};
        return line(QJsonDocument(request).toJson(QJsonDocument::Compact));
    }
    QJsonObject line(const QByteArray& text) { return QJsonDocument::fromJson(m_session.handle(text)).object(); }
    // The retval of a call that must succeed with S_OK.
    QJsonValue retval(const QString& method, const QJsonValue& params = QJsonArray()) {
        const QJsonObject reply = call(method, params);
        const QJsonObject result = reply.value(QStringLiteral("result")).toObject();
        if (result.value(QStringLiteral("hresult")) != QJsonValue(0))
            qWarning("%s failed: %s", qPrintable(method),
                     QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
        m_out = result.value(QStringLiteral("out")).toObject();
        return result.value(QStringLiteral("retval"));
    }
    const QJsonObject& out() const { return m_out; }

private:
    platform::rpc::ServerSession m_session;
    int m_id = 0;
    QJsonObject m_out;
};

int errorCode(const QJsonObject& reply) {
    return reply.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt();
}

QString errorMessage(const QJsonObject& reply) {
    return reply.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
}

QStringList methods(const QJsonArray& log) {
    QStringList names;
    for (const QJsonValue& entry : log)
        names.append(entry.toObject().value(QStringLiteral("method")).toString());
    return names;
}

} // namespace

class TestRemote : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    ctrlsim::SimulatorThread m_sim;
    std::unique_ptr<TestScanHost> m_host;
    QString m_lockIp;
    QString m_otherIp;

    QJsonObject sim(const QJsonObject& message) {
        const QJsonObject reply = m_sim.command(message);
        if (!reply.value(QStringLiteral("ok")).toBool())
            qWarning("simulator: %s", QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
        return reply;
    }
    void script(const QString& mac, const QString& method, int status, const QJsonValue& result = QJsonValue()) {
        QJsonObject message{{QStringLiteral("cmd"), QStringLiteral("script")},
                            {QStringLiteral("mac"), mac},
                            {QStringLiteral("method"), method},
                            {QStringLiteral("status"), status}};
        if (!result.isNull())
            message.insert(QStringLiteral("result"), result);
        sim(message);
    }
    QJsonArray log(const QString& mac) { return m_sim.takeLog(mac); }
    // True once the controller has been sent `method`, within `ms`.
    bool sent(const QString& mac, const QString& method, int ms) {
        QElapsedTimer clock;
        clock.start();
        do {
            if (methods(log(mac)).contains(method))
                return true;
            QTest::qWait(20);
        } while (clock.elapsed() < ms);
        return false;
    }
    QJsonArray lockParams(const QString& mac, const QString& ip) { return {1, mac, ip}; }
    QJsonValue openLock(Client& client) {
        return client.retval(QStringLiteral("OpenCon"), lockParams(kLockMac, m_lockIp));
    }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void typeLibraryAndLookUp();
    void forwardingFamily_data();
    void forwardingFamily();
    void callingConvention_data();
    void callingConvention();
    void openConShares();
    void openConSerialPortEachTime();
    void begScanControlStates();
    void begScanControlFailures_data();
    void begScanControlFailures();
    void concurrentCallersShareOneSession();
    void serialHandleReusedAndScanStopped();
    void commandsWithLogicOfTheirOwn();
    void endpointServesClientsInParallel();
    void registrationValues();
};

void TestRemote::initTestCase() {
    m_env = std::make_unique<test::TestEnvironment>();
    qputenv("MORVANE_KESTROVA_TIMEOUT_MS", "80");
    qputenv("MORVANE_KESTROVA_ATTEMPTS", "2");
    qputenv("MORVANE_KESTROVA_SERIAL_PATTERN", m_env->path(QStringLiteral("ttyS{n-1}")).toLocal8Bit());
    // Registered in-process: no child process under the sanitizer.
    QString error;
    QVERIFY2(test::loadComponent(QStringLiteral(KESTROVA_LIBRARY), true, &error), qPrintable(error));
    registerRmtserverFactory();

    m_lockIp = test::randomLoopback();
    do {
        m_otherIp = test::randomLoopback();
    } while (m_otherIp == m_lockIp);
    const QJsonArray controllers{QJsonObject{{QStringLiteral("mac"), kLockMac},
                                             {QStringLiteral("ip"), m_lockIp},
                                             {QStringLiteral("port"), 2008},
                                             {QStringLiteral("cards"), QJsonArray{1001}}},
                                 QJsonObject{{QStringLiteral("mac"), kOtherMac},
                                             {QStringLiteral("ip"), m_otherIp},
                                             {QStringLiteral("port"), 2008}},
                                 QJsonObject{{QStringLiteral("mac"), kSwitchMac},
                                             {QStringLiteral("kind"), QStringLiteral("switch")},
                                             {QStringLiteral("link"), m_env->path(QStringLiteral("ttyS0"))}}};
    QVERIFY2(m_sim.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error), qPrintable(error));
    m_host = std::make_unique<TestScanHost>();
    setScanHost(m_host.get());
}

void TestRemote::init() {
    for (const QString& mac : {kLockMac, kOtherMac, kSwitchMac}) {
        sim({{QStringLiteral("cmd"), QStringLiteral("unscript")}, {QStringLiteral("mac"), mac}});
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")},
             {QStringLiteral("mac"), mac},
             {QStringLiteral("on"), false}});
    }
    m_host->ScanThread()->Suspend();
    m_host->list().Clear();
    m_host->ScanThread()->Resume();
    platform::SystemInfo.port = 0;
    sim({{QStringLiteral("cmd"), QStringLiteral("clearlog")}});
}

void TestRemote::cleanupTestCase() {
    setScanHost(nullptr);
    m_host.reset();
    m_sim.stop();
}

void TestRemote::typeLibraryAndLookUp() {
    Client client;
    const QJsonObject info = client.call(QStringLiteral("GetTypeInfo")).value(QStringLiteral("result")).toObject();
    const auto library = platform::TypeLibraryDesc::fromJson(info.value(QStringLiteral("typeLibrary")).toObject());
    QVERIFY(library);
    // What the wire carries is the library itself.
    QCOMPARE(library->toJson(), server_TLB::typeLibrary().toJson());
    QCOMPARE(library->libid, QStringLiteral("{BDF42383-20AE-49BB-A2B1-D07C76A9BAD5}"));
    QCOMPARE(library->lcid, 1033);
    QCOMPARE(library->coclass.clsid, QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}"));
    const auto& itf = library->dispatchInterface;
    QCOMPARE(itf.baseIid, QStringLiteral("{1AEFCC20-7A24-11D2-98B0-C69BEB4B5B6D}"));
    QCOMPARE(library->baseSlots.size() + itf.methods.size(), qsizetype(51));
    for (qsizetype i = 0; i < itf.methods.size(); ++i) {
        const platform::MethodDesc& method = itf.methods.at(i);
        QCOMPARE(method.slot, int(i) + 7);
        QVERIFY2(method.retval || method.name == QLatin1String("AS_Execute"), qPrintable(method.name));
        if (method.slot >= 14)
            QCOMPARE(method.interfaceName, QStringLiteral("Irmtserver"));
    }
    QCOMPARE(itf.methods.at(7).name, QStringLiteral("LoadControlsTime"));
    QCOMPARE(itf.findByName(QStringLiteral("AS_GetRecords"))->dispid, 20000001);
    QCOMPARE(itf.methods.at(1).params.at(2).flags, platform::paramflag::Out);
    // The last five carry the lowest DISPIDs.
    QList<int> lastFive;
    for (qsizetype i = itf.methods.size() - 5; i < itf.methods.size(); ++i)
        lastFive.append(itf.methods.at(i).dispid);
    QCOMPARE(lastFive, (QList<int>{301, 302, 303, 304, 305}));
    const platform::MethodDesc* records = itf.findByName(QStringLiteral("GetRecords"));
    QCOMPARE(records->params.at(3).type, platform::ParamType::VariantPtr);
    QCOMPARE(records->params.at(3).flags, platform::paramflag::In);
    QCOMPARE(records->retval->name, QStringLiteral("Param4"));
    QCOMPARE(records->helpString, QStringLiteral("读取用户记录"));
    QCOMPARE(itf.findByName(QStringLiteral("readdeviceinfo"))->params.size(), qsizetype(5));

    // By name without regard to case, by DISPID, and the controller-type method only as it is spelled.
    QCOMPARE(client.retval(QStringLiteral("realtimescanid")), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("#356")), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("GetContolType"), QJsonArray{kLockMac, 1, m_lockIp, 2008}),
             QJsonValue(QJsonObject{{QStringLiteral("vt"), QStringLiteral("empty")}}));
    QCOMPARE(errorCode(client.call(QStringLiteral("GetControlType"), QJsonArray{kLockMac, 1, m_lockIp, 2008})),
             hr::DISP_E_UNKNOWNNAME);
    QCOMPARE(errorCode(client.call(QStringLiteral("#999"))), hr::DISP_E_MEMBERNOTFOUND);
}

void TestRemote::forwardingFamily_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonArray>("params");
    QTest::addColumn<QString>("component");
    QTest::addColumn<QJsonArray>("sent"); // the arguments as the controller received them
    QTest::addColumn<bool>("variantResult");
    const auto row = [](const char* method, QJsonArray params, const char* component, QJsonArray sent,
                        bool variant = false) {
        QTest::newRow(method) << QString::fromLatin1(method) << params << QString::fromLatin1(component) << sent
                              << variant;
    };
    row("LoadControlsTime", {}, "COMifAdjustDateTime", {});
    row("OpenDoorDelayTime", {2, 7}, "ComifOpenDoorDelayTime", {2, 7}, true);
    row("DataSaveMode", {1}, "ComifDataSaveMode", {1});
    // Three VARIANTs in, three VARIANTs out, untouched.
    row("LoadPassword", {QStringLiteral("111"), 222, QJsonArray{3}}, "ComifLoadPassword",
        {QStringLiteral("111"), 222, QJsonArray{3}});
    row("SetDoorEachLock", {1}, "ComifSetEachLock", {1});
    row("RmtOpenDoor", {QStringLiteral("3")}, "ComifRmtOpenDoor", {3}); // an int32 takes "3" as 3
    row("CleHoliday", {}, "ComifCleHoliday", {});
    row("SetHoliday", {QStringLiteral("2024-10-01")}, "ComifSetHoliday", {QStringLiteral("2024-10-01")});
    row("LoadOpenDoorTime", {1, 2, QStringLiteral("08:00-18:00")}, "ComifLoadOpenDoorTime",
        {1, 2, QStringLiteral("08:00-18:00")});
    row("LoadOpenDoorMode", {3, QStringLiteral("card+pin")}, "ComifLoadOpenDoorMode", {3, QStringLiteral("card+pin")},
        true);
    row("DeleteUser", {1001}, "ComifDeleteCardNo", {1001}, true);
    row("DoorAlarmState", {1}, "ComifDoorAlarmState", {1});
    row("LoadMoreCardGroup", {1, 3}, "ComifLoadMoreCardGroup", {1, 3});
    row("ExigLongOpenDoor", {2}, "ComifExigLongOpenDoor", {2});
    row("LoadLinkInfo",
        {QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2"), QStringLiteral("255.255.255.0"),
         QStringLiteral("10.0.0.254"), 2008},
        "ComifLoadLinkInfo",
        {QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2"), QStringLiteral("255.255.255.0"),
         QStringLiteral("10.0.0.254"), 2008});
    row("PreventReturn", {1}, "ComifPreventReturn", {1});
    row("CheckDoorMagnetism", {4}, "ComifCheckDoorMagnetism", {4});
    row("TestLink", {}, "TestControl", {});
    row("HostilityBrushCard", {5}, "ComifHostilityBrushCard", {5});
    row("SetComputerAlarm", {1}, "ComifSetComputerAlarm", {1});
    row("CancelAlarm", {}, "ComifCancelAlarm", {});
    row("ExigLongCloseDoor", {QStringLiteral("1"), 2}, "ComifExigLongCloseDoor", {QStringLiteral("1"), 2});
    row("RmtOperatorPower", {1, 0}, "ComifRmtOperatorPower", {1, 0});
    row("InitializeControl", {0}, "ComifInitializeControl", {0});
}

void TestRemote::forwardingFamily() {
    QFETCH(QString, method);
    QFETCH(QJsonArray, params);
    QFETCH(QString, component);
    QFETCH(QJsonArray, sent);
    QFETCH(bool, variantResult);
    Client client;
    QCOMPARE(openLock(client), QJsonValue(0));
    log(kLockMac);

    QCOMPARE(client.retval(method, params), QJsonValue(0));
    const QJsonArray entries = log(kLockMac);
    QCOMPARE(methods(entries), QStringList{component});
    QCOMPARE(entries.first().toObject().value(QStringLiteral("args")).toArray(), sent);

    // The controller's refusal is a status, never a failure; a VARIANT result comes back as it is.
    script(kLockMac, component, 5, variantResult ? QJsonValue(QStringLiteral("answer")) : QJsonValue());
    QCOMPARE(client.retval(method, params), variantResult ? QJsonValue(QStringLiteral("answer")) : QJsonValue(5));
}

void TestRemote::callingConvention_data() {
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("code");         // 0: success
    QTest::addColumn<QString>("expected"); // the retval as JSON, or a part of the error's message
    const auto call = [](const char* method, const char* params) -> QByteArray {
        return QByteArray(R"({"jsonrpc":"2.0","id":7,"method":")") + method + R"(","params":)" + params + "}";
    };
    QTest::newRow("command before OpenCon")
        << false << call("RmtOpenDoor", "[1]") << hr::E_UNEXPECTED << QStringLiteral("automation object");
    QTest::newRow("uncoercible int32") << true << call("RmtOpenDoor", R"(["abc"])") << hr::DISP_E_TYPEMISMATCH
                                       << QStringLiteral("aDoorNumber");
    QTest::newRow("int32 overflow") << true << call("RmtOpenDoor", "[3000000000]") << hr::DISP_E_OVERFLOW
                                    << QStringLiteral("Overflow");
    // A VARIANT parameter passes the coercion as it comes; the method's own conversion fails the call.
    QTest::newRow("conversion in the body: MAC an array")
        << false << call("OpenCon", R"([1,[1,2],"10.0.0.1"])") << hr::E_UNEXPECTED
        << QStringLiteral("Could not convert variant of type (Array Variant) into type (String)");
    QTest::newRow("conversion in the body: read old records")
        << true << call("GetControlRecordCount", R"([1,"m","i",0,"maybe"])") << hr::E_UNEXPECTED
        << QStringLiteral("Could not convert variant of type (String) into type (Boolean)");
    QTest::newRow("too few") << true << call("LoadMoreCardGroup", "[1]") << hr::DISP_E_BADPARAMCOUNT
                             << QStringLiteral("takes 2");
    QTest::newRow("too many") << true << call("CancelAlarm", "[1]") << hr::DISP_E_BADPARAMCOUNT
                              << QStringLiteral("takes 0");
    QTest::newRow("bad variant") << true << call("SetHoliday", R"([{"vt":"bytes","value":"%%%"}])")
                                 << hr::DISP_E_TYPEMISMATCH << QStringLiteral("base64");
    QTest::newRow("named") << true << call("LoadMoreCardGroup", R"({"acardcount":3,"aGroupNumber":1})") << 0
                           << QStringLiteral("0");
    QTest::newRow("named, one missing") << true << call("LoadMoreCardGroup", R"({"aGroupNumber":1})")
                                        << hr::DISP_E_PARAMNOTOPTIONAL << QStringLiteral("aCardCount");
    QTest::newRow("named, unknown") << true << call("RmtOpenDoor", R"({"aDoorNumber":1,"door":2})")
                                    << hr::DISP_E_PARAMNOTFOUND << QStringLiteral("door");
    QTest::newRow("does nothing: TestLinkControl")
        << false << call("TestLinkControl", "[]") << 0 << QStringLiteral(R"({"vt":"empty"})");
    QTest::newRow("does nothing: CloseCon") << false << call("CloseCon", "[]") << 0 << QStringLiteral("0");
    QTest::newRow("unknown provider") << false << call("AS_GetRecords", R"(["dspStaff",-1,0,1,"",null,null])")
                                      << hr::E_UNEXPECTED << QStringLiteral("Provider not exported: dspStaff");
    QTest::newRow("no database") << false << call("AS_GetRecords", R"(["dsp_department",-1,0,1,"select 1",null,null])")
                                 << hr::E_FAIL << QStringLiteral("the database connection is not open");
    QTest::newRow("malformed JSON") << false << QByteArray(R"({"method":"RmtOpenDoor",)") << rpc::kParseError
                                    << QStringLiteral("Parse error");
    QTest::newRow("no method") << false << QByteArray(R"({"id":1,"params":[]})") << rpc::kInvalidRequest
                               << QStringLiteral("method");
    QTest::newRow("second CreateObject") << false << call("CreateObject", R"({"progid":"server.rmtserver"})")
                                         << hr::E_UNEXPECTED << QStringLiteral("already");
}

void TestRemote::callingConvention() {
    QFETCH(bool, opened);
    QFETCH(QByteArray, request);
    QFETCH(int, code);
    QFETCH(QString, expected);
    Client client;
    if (opened)
        QCOMPARE(openLock(client), QJsonValue(0));
    const QJsonObject reply = client.line(request);
    if (code == 0) {
        const QJsonValue retval = reply.value(QStringLiteral("result")).toObject().value(QStringLiteral("retval"));
        QCOMPARE(QJsonDocument(QJsonArray{retval}).toJson(QJsonDocument::Compact), "[" + expected.toUtf8() + "]");
    } else {
        QCOMPARE(errorCode(reply), code);
        QVERIFY2(errorMessage(reply).contains(expected), qPrintable(errorMessage(reply)));
    }
}

void TestRemote::openConShares() {
    Client monitor;
    QCOMPARE(monitor.retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1}), QJsonValue(0));
    const QJsonArray begun = log(kLockMac);
    QCOMPARE(methods(begun).mid(0, 2),
             (QStringList{QStringLiteral("COMifCreateConnection"), QStringLiteral("COMifBegRealTimeMonitor")}));
    const QJsonValue monitorSession = begun.first().toObject().value(QStringLiteral("session"));

    // A monitored controller: no connection call; the commands go to the object the thread polls.
    Client client;
    QCOMPARE(openLock(client), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{1}), QJsonValue(0));
    const QJsonArray commanded = log(kLockMac);
    QVERIFY(!methods(commanded).contains(QStringLiteral("COMifCreateConnection")));
    bool sawOpen = false;
    for (const QJsonValue& entry : commanded) {
        if (entry.toObject().value(QStringLiteral("method")) == QLatin1String("ComifRmtOpenDoor")) {
            sawOpen = true;
            QCOMPARE(entry.toObject().value(QStringLiteral("session")), monitorSession);
        }
    }
    QVERIFY(sawOpen);

    // Mode 4: an unconnected object and success; its commands answer "not connected".
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{4, kOtherMac, m_otherIp}), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{1}), QJsonValue(1001));
    QVERIFY(log(kOtherMac).isEmpty());
}

void TestRemote::openConSerialPortEachTime() {
    Client client;
    // Port 0 in the configuration is serial port 1, the switch's link.
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{3, kSwitchMac, QString()}), QJsonValue(0));
    QCOMPARE(methods(log(kSwitchMac)), QStringList{QStringLiteral("COMifCreateConnection")});
    QCOMPARE(client.retval(QStringLiteral("RmtOperatorPower"), QJsonArray{1, 1}), QJsonValue(0));
    // The option is read at each call: port 1 is serial port 2, which has no device.
    platform::SystemInfo.port = 1;
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{2, kSwitchMac, QString()}), QJsonValue(1005));
    platform::SystemInfo.port = 0;
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{2, kSwitchMac, QString()}), QJsonValue(0));

    // The switch's five values land in the client's int32 variables.
    sim({{QStringLiteral("cmd"), QStringLiteral("switch")},
         {QStringLiteral("mac"), kSwitchMac},
         {QStringLiteral("circuitry1"), 1},
         {QStringLiteral("circuitry2"), 0},
         {QStringLiteral("mcState"), 1},
         {QStringLiteral("alarmState"), 2}});
    QCOMPARE(client.retval(QStringLiteral("ReadDeviceInfo"), QJsonArray{0, 0, 0, 0, 0}), QJsonValue(0));
    QCOMPARE(client.out().value(QStringLiteral("Circuitry1")), QJsonValue(1));
    QCOMPARE(client.out().value(QStringLiteral("MCState")), QJsonValue(1));
    QCOMPARE(client.out().value(QStringLiteral("AlarmState")), QJsonValue(2));
    QVERIFY(client.out().value(QStringLiteral("CardNumber")).isDouble());
}

void TestRemote::begScanControlStates() {
    Client client;
    // New: connected, monitoring started, handed to the thread, which polls it.
    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1}), QJsonValue(0));
    QCOMPARE(m_host->list().Count(), 1);
    QVERIFY(sent(kLockMac, QStringLiteral("ComifGetRealTimeMonitorRecord"), 3000));

    // Already active: nothing is called.
    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1}), QJsonValue(0));
    QCOMPARE(m_host->list().Count(), 1);
    QVERIFY(!methods(log(kLockMac)).contains(QStringLiteral("COMifCreateConnection")));

    // In the registry but inactive: only that entry's object is closed.
    m_host->list().Items(0)->SetActive(false);
    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1}), QJsonValue(0));
    const QStringList closing = methods(log(kLockMac));
    QVERIFY(closing.contains(QStringLiteral("ComifCloseConnection")));
    QVERIFY(!closing.contains(QStringLiteral("COMifCreateConnection")));
    QVERIFY(!closing.contains(QStringLiteral("COMifBegRealTimeMonitor")));
}

void TestRemote::begScanControlFailures_data() {
    QTest::addColumn<QString>("scripted"); // the method that answers `status`
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("param2");
    QTest::newRow("connection refused") << QStringLiteral("COMifCreateConnection") << 7 << 1 << 7;
    QTest::newRow("monitoring not started") << QStringLiteral("COMifBegRealTimeMonitor") << 3 << 1 << 0;
    QTest::newRow("controller silent") << QString() << 0 << 1 << 1002;
    // Message mode 2 is a device the scan does not poll: reported, not registered.
    QTest::newRow("mode 2") << QString() << 0 << 2 << 1004;
}

void TestRemote::begScanControlFailures() {
    QFETCH(QString, scripted);
    QFETCH(int, status);
    QFETCH(int, mode);
    QFETCH(int, param2);
    if (!scripted.isEmpty())
        script(kLockMac, scripted, status);
    else if (param2 == 1002)
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")}, {QStringLiteral("mac"), kLockMac}});
    Client client;
    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, mode}), QJsonValue(param2));
    QCOMPARE(m_host->list().Count(), 0);
    // Nothing of it is polled.
    QVERIFY(!sent(kLockMac, QStringLiteral("ComifGetRealTimeMonitorRecord"), 500));
}

void TestRemote::concurrentCallersShareOneSession() {
    // Twenty clients ask at the same moment, with the MAC in either case; each sees the connection
    // succeed, and the controller sees one.
    constexpr int kCallers = 20;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kCallers; ++i)
        clients.push_back(std::make_unique<Client>());
    std::latch start(kCallers);
    std::vector<QJsonValue> answers(kCallers);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            const QString mac = i % 2 ? kLockMac.toLower() : kLockMac;
            start.arrive_and_wait();
            answers[i] = clients[i]->retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, mac, 1});
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    for (const QJsonValue& answer : answers)
        QCOMPARE(answer, QJsonValue(0));
    QCOMPARE(m_host->list().Count(), 1);
    // Another client in lower case is given the monitored object, as in upper case.
    Client other;
    QCOMPARE(other.retval(QStringLiteral("OpenCon"), lockParams(kLockMac.toLower(), m_lockIp)), QJsonValue(0));
    QCOMPARE(other.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{1}), QJsonValue(0));

    // The controller's sessions: who connected, who polls, who took the door command.
    QMultiHash<QString, double> sessions;
    QElapsedTimer clock;
    clock.start();
    do {
        for (const QJsonValue& entry : log(kLockMac))
            sessions.insert(entry.toObject().value(QStringLiteral("method")).toString(),
                            entry.toObject().value(QStringLiteral("session")).toDouble());
        if (sessions.contains(QStringLiteral("ComifGetRealTimeMonitorRecord")))
            break;
        QTest::qWait(20);
    } while (clock.elapsed() < 3000);
    const auto sessionsOf = [&](const char* method) {
        const QList<double> all = sessions.values(QLatin1String(method));
        return QSet<double>(all.cbegin(), all.cend());
    };
    QCOMPARE(sessions.count(QStringLiteral("COMifCreateConnection")), qsizetype(1));
    QCOMPARE(sessions.count(QStringLiteral("COMifBegRealTimeMonitor")), qsizetype(1));
    QCOMPARE(sessions.count(QStringLiteral("ComifCloseConnection")), qsizetype(0));
    const QSet<double> connected = sessionsOf("COMifCreateConnection");
    QCOMPARE(sessionsOf("ComifGetRealTimeMonitorRecord"), connected);
    QCOMPARE(sessionsOf("ComifRmtOpenDoor"), connected);

    // Stopped: nothing polls the lock any more.
    QCOMPARE(clients.front()->retval(QStringLiteral("StopScanControl")), QJsonValue(0));
    QCOMPARE(m_host->list().Count(), 0);
    log(kLockMac);
    QTest::qWait(700);
    QVERIFY(!methods(log(kLockMac)).contains(QStringLiteral("ComifGetRealTimeMonitorRecord")));
}

void TestRemote::serialHandleReusedAndScanStopped() {
    Client client;
    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{QString(), kSwitchMac, 3}), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1}), QJsonValue(0));
    QCOMPARE(m_host->list().Count(), 2);
    QVERIFY(sent(kLockMac, QStringLiteral("ComifGetRealTimeMonitorRecord"), 3000));

    // Stopped: nothing is polled until the next BegScanControl, of any client.
    QCOMPARE(client.retval(QStringLiteral("StopScanControl")), QJsonValue(0));
    QCOMPARE(m_host->list().Count(), 0);
    log(kLockMac);
    log(kSwitchMac);
    QTest::qWait(700);
    QVERIFY(log(kLockMac).isEmpty());
    QVERIFY(log(kSwitchMac).isEmpty());

    // The handle of the first call serves the second: no port is looked up again, so a configured port
    // without a device changes nothing for this client, and a new client fails on it.
    platform::SystemInfo.port = 5;
    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{QString(), kSwitchMac, 3}), QJsonValue(0));
    QCOMPARE(m_host->list().Count(), 1);
    m_host->ScanThread()->Suspend();
    m_host->list().Clear();
    m_host->ScanThread()->Resume();
    Client other;
    QCOMPARE(other.retval(QStringLiteral("BegScanControl"), QJsonArray{QString(), kSwitchMac, 3}), QJsonValue(1005));
}

void TestRemote::commandsWithLogicOfTheirOwn() {
    Client client;
    QCOMPARE(openLock(client), QJsonValue(0));
    log(kLockMac);

    // AddCardUser: a clock that fails sends no card.
    const QJsonArray card{2002,
                          1,
                          1,
                          QStringLiteral("1234"),
                          0,
                          QJsonObject{{QStringLiteral("vt"), QStringLiteral("date")},
                                      {QStringLiteral("value"), QStringLiteral("2001-01-01T00:00:00.000")}},
                          QJsonObject{{QStringLiteral("vt"), QStringLiteral("date")},
                                      {QStringLiteral("value"), QStringLiteral("2030-01-01T00:00:00.000")}},
                          9,
                          0};
    script(kLockMac, QStringLiteral("COMifAdjustDateTime"), 3);
    QCOMPARE(client.retval(QStringLiteral("AddCardUser"), card), QJsonValue(3));
    QCOMPARE(methods(log(kLockMac)), QStringList{QStringLiteral("COMifAdjustDateTime")});
    // Then the card: the user time before the dates, the server's clock in place of the begin date.
    const double now = platform::dateTimeToOleDate(QDateTime::currentDateTime());
    QCOMPARE(client.retval(QStringLiteral("AddCardUser"), card), QJsonValue(0));
    const QJsonArray added = log(kLockMac);
    QCOMPARE(methods(added), (QStringList{QStringLiteral("COMifAdjustDateTime"), QStringLiteral("ComifAddCardNo")}));
    const QJsonArray args = added.at(1).toObject().value(QStringLiteral("args")).toArray();
    QCOMPARE(args.size(), qsizetype(9));
    QCOMPARE(args.at(5), QJsonValue(9));
    const double begin = args.at(6).toObject().value(QStringLiteral("value")).toDouble();
    QVERIFY2(std::abs(begin - now) < 10.0 / 86400, qPrintable(QString::number(begin - now)));

    // GetRecords writes the record also when the status is not 0.
    QCOMPARE(client.retval(QStringLiteral("GetRecords"), QJsonArray{1, QString(), QString(), QJsonValue()}),
             QJsonValue(3));
    QCOMPARE(client.out(), (QJsonObject{{QStringLiteral("aRecord"), QString()}}));
    sim({{QStringLiteral("cmd"), QStringLiteral("records")},
         {QStringLiteral("mac"), kLockMac},
         {QStringLiteral("records"), QJsonArray{QStringLiteral("0A01020304"), QStringLiteral("0A01020305")}}});
    QCOMPARE(client.retval(QStringLiteral("GetRecords"), QJsonArray{1, QString(), QString(), QJsonValue()}),
             QJsonValue(0));
    QCOMPARE(client.out().value(QStringLiteral("aRecord")), QJsonValue(QStringLiteral("0A01020304")));

    // GetControlRecordCount: the re-read only when asked; a failed re-read leaves the count untouched.
    const auto count = [&](bool reread) {
        return client.retval(QStringLiteral("GetControlRecordCount"), QJsonArray{1, QString(), QString(), 77, reread});
    };
    log(kLockMac);
    QCOMPARE(count(false), QJsonValue(0));
    QCOMPARE(client.out().value(QStringLiteral("aRecordCount")), QJsonValue(1));
    QVERIFY(!methods(log(kLockMac)).contains(QStringLiteral("ComifReadOldAllRecord")));
    QCOMPARE(count(true), QJsonValue(0));
    QCOMPARE(client.out().value(QStringLiteral("aRecordCount")), QJsonValue(2));
    script(kLockMac, QStringLiteral("ComifReadOldAllRecord"), 1);
    QCOMPARE(count(true), QJsonValue(1));
    QVERIFY(client.out().isEmpty());

    // ReadOldAllRecord opens its own connection first.
    Client fresh;
    log(kLockMac);
    QCOMPARE(fresh.retval(QStringLiteral("ReadOldAllRecord"), lockParams(kLockMac, m_lockIp)), QJsonValue(0));
    QCOMPARE(methods(log(kLockMac)),
             (QStringList{QStringLiteral("COMifCreateConnection"), QStringLiteral("ComifReadOldAllRecord")}));

    // UDPLoadLinkInfo needs no OpenCon and leaves the instance unconnected.
    Client setup;
    qputenv("MORVANE_KESTROVA_SETUP_TARGET", (m_otherIp + QStringLiteral(":2008")).toLatin1());
    const QJsonArray link{kOtherMac, QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2"),
                          QStringLiteral("255.255.255.0"), QStringLiteral("10.0.0.254")};
    QCOMPARE(setup.retval(QStringLiteral("UDPLoadLinkInfo"), link), QJsonValue(0));
    qunsetenv("MORVANE_KESTROVA_SETUP_TARGET");
    const QJsonArray sent = log(kOtherMac);
    QCOMPARE(methods(sent), QStringList{QStringLiteral("ComifSetUDPLinkInfo")});
    QCOMPARE(sent.first().toObject().value(QStringLiteral("args")).toArray().last(),
             QJsonValue(QStringLiteral("2008")));
    QCOMPARE(errorCode(setup.call(QStringLiteral("RmtOpenDoor"), QJsonArray{1})), hr::E_UNEXPECTED);
}

void TestRemote::endpointServesClientsInParallel() {
    const int objectsBefore = platform::ComServer::instance().objectCount();
    platform::AutomationEndpoint endpoint(
        [](const QString& name) { return platform::ComServer::instance().createInstance(name); });
    QString error;
    QVERIFY2(endpoint.listen(platform::endpointPath(server_TLB::CLASS_rmtserver), &error), qPrintable(error));
    endpoint.start();
    // Each worker is a client of the class's server through the automation layer's remote object.
    const auto remoteObject = [] {
        const int fd = platform::connectClassServer(server_TLB::CLASS_rmtserver, QStringLiteral("/bin/false"), 2000);
        return platform::Variant(
            platform::RemoteObject::create(std::make_unique<rpc::SocketLineChannel>(fd), server_TLB::CLASS_rmtserver));
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 6; ++w) {
        workers.emplace_back([&, w] {
            try {
                const platform::Variant object = remoteObject();
                using platform::Argument;
                const auto status = [&](const char* name, platform::Arguments args) {
                    return platform::callMethod(object, QLatin1String(name), std::move(args)).toInt32();
                };
                wrong +=
                    status("OpenCon", {Argument::byValue(1), Argument::byValue(kLockMac), Argument::byValue(m_lockIp)});
                for (int i = 0; i < 20; ++i) {
                    wrong += status("RmtOpenDoor", {Argument::byValue(1 + i % 4)});
                    // Monitoring changes from several clients at once, while the thread scans.
                    if (w < 2)
                        wrong +=
                            status(i % 2 ? "StopScanControl" : "BegScanControl",
                                   i % 2 ? platform::Arguments{}
                                         : platform::Arguments{Argument::byValue(m_otherIp),
                                                               Argument::byValue(kOtherMac), Argument::byValue(1)});
                }
                platform::Variant count(-1);
                wrong += status("GetControlRecordCount",
                                {Argument::byValue(1), Argument::byValue(QString()), Argument::byValue(QString()),
                                 Argument::byRef(count), Argument::byValue(false)});
                wrong += count.toInt32() < 0 ? 1 : 0;
            } catch (const std::exception& failure) {
                qWarning("worker %d: %s", w, failure.what());
                ++wrong;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    QCOMPARE(wrong.load(), 0);
    // Connections still open when the server stops are ended, and their objects released.
    const platform::Variant idle = remoteObject();
    // The workers' connections end on the server's side a moment after they close them.
    QTRY_COMPARE_WITH_TIMEOUT(endpoint.connectionCount(), 1, 5000);
    QElapsedTimer clock;
    clock.start();
    endpoint.stop();
    QVERIFY(clock.elapsed() < 2000);
    QCOMPARE(platform::ComServer::instance().objectCount(), objectsBefore);
    platform::ErrorInfo info;
    platform::Variant result;
    platform::Arguments none;
    QCOMPARE(idle.toDispatch()->invoke(356, none, result, info), hr::RPC_E_DISCONNECTED);
}

void TestRemote::registrationValues() {
    platform::ComServer& server = platform::ComServer::instance();
    QVERIFY(server.registerServer(QStringLiteral("/opt/morvane/morvane")));
    platform::ClassRegistry registry;
    const QString key = QStringLiteral("CLSID\\") + server_TLB::CLASS_rmtserver;
    QCOMPARE(registry.value(key, QStringLiteral("Sockets")), std::optional<QString>(QStringLiteral("1")));
    QCOMPARE(registry.value(key, QStringLiteral("Web")), std::optional<QString>(QStringLiteral("1")));
    // The class's own values go first, while its key is still there.
    for (const platform::ServedClass& served : server.classes()) {
        platform::ClassRegistry::Tree tree;
        QVERIFY(registry.read(tree));
        served.updateRegistry(tree, false);
        QVERIFY(platform::ClassRegistry::treeKeyExists(tree, key));
        QVERIFY(!platform::ClassRegistry::treeValue(tree, key, QStringLiteral("Sockets")));
        QVERIFY(!platform::ClassRegistry::treeValue(tree, key, QStringLiteral("Web")));
    }
    QVERIFY(server.unregisterServer());
    QVERIFY(!registry.keyExists(key));
}

QTEST_GUILESS_MAIN(TestRemote)
#include "tst_remote.moc"
