// The scanning thread against the controller simulator: real lock-communication objects, the
// controllers' answers over loopback UDP and a pseudo-terminal, and the relayed datagrams received by
// a test listener.

#include "FakeController.h"
#include "KestrovaAdapter.h"
#include "MonitorListener.h"
#include "NetNamespace.h"
#include "SimulatorThread.h"
#include "TestSupport.h"
#include "unt_controllist.h"
#include "unt_ScanAllControls.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTest>

#include <dlfcn.h>

#include <functional>
#include <thread>

using namespace morvane;
using namespace morvane::monitor;
using morvane::test::FakeEcho;
using morvane::test::FakeEchoState;
using morvane::test::MonitorListener;
using platform::Variant;

using morvane::test::randomLoopback;

namespace {

const QString kMacs[3] = {QStringLiteral("00-1A-2B-3C-4D-01"), QStringLiteral("00-1A-2B-3C-4D-02"),
                          QStringLiteral("00-1A-2B-3C-4D-03")};
// A switch's ID begins with 8 hex digits: its MAC written without separators.
const QString kSwitchMac = QStringLiteral("0A0B0C0D0E0F");

// A long record whose unit bytes (the last four pairs) are `unit`.
QString longRecord(const QString& unit) {
    return QStringLiteral("01") + QStringLiteral("12AB34CD") + QStringLiteral("010020120131") +
           QStringLiteral("235900") + unit;
}

class ScanRun {
public:
    ScanRun(const std::shared_ptr<TDeviceList>& list, std::unique_ptr<platform::EchoProbe> echo = {},
            const std::function<void(TScanAllControls&)>& before = {})
        : m_thread(TScanAllControls::create(std::move(echo))) {
        m_thread->SetDeviceList(list);
        if (before)
            before(*m_thread);
        m_thread->Resume();
    }
    ~ScanRun() { stop(); }
    TScanAllControls* operator->() const { return m_thread.get(); }
    bool stop() {
        if (!m_thread)
            return true;
        m_thread->Terminate();
        const bool ended = m_thread->WaitFinished(5000);
        m_thread.reset();
        return ended;
    }

private:
    std::shared_ptr<TScanAllControls> m_thread;
};

} // namespace

class TestMonitorCtrlsim : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    ctrlsim::SimulatorThread m_sim;
    QString m_ips[3];

    QJsonObject sim(const QJsonObject& message) {
        const QJsonObject reply = m_sim.command(message);
        if (!reply.value(QStringLiteral("ok")).toBool())
            qWarning("simulator: %s", QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
        return reply;
    }
    void realtime(const QString& mac, const QStringList& records) {
        sim({{QStringLiteral("cmd"), QStringLiteral("realtime")},
             {QStringLiteral("mac"), mac},
             {QStringLiteral("records"), QJsonArray::fromStringList(records)}});
    }
    void scriptRecord(const QString& mac, int status, const QString& record, bool always) {
        QJsonObject message{{QStringLiteral("cmd"), QStringLiteral("script")},
                            {QStringLiteral("mac"), mac},
                            {QStringLiteral("method"), QStringLiteral("ComifGetRealTimeMonitorRecord")},
                            {QStringLiteral("status"), status},
                            {QStringLiteral("outputs"), QJsonObject{{QStringLiteral("0"), record}}}};
        if (always)
            message.insert(QStringLiteral("always"), true);
        sim(message);
    }
    static int countOf(const QJsonArray& log, const QString& method) {
        int n = 0;
        for (const QJsonValue& entry : log)
            n += entry.toObject().value(QStringLiteral("method")).toString() == method ? 1 : 0;
        return n;
    }

    // A lock connected and monitored as BegScanControl leaves it.
    std::shared_ptr<TNetworkLock> connectedLock(int index) {
        Variant link(platform::createObject(QStringLiteral("KestrovaCom.TKestrova")));
        Variant mode(1);
        Variant ip(m_ips[index]);
        Variant mac(kMacs[index]);
        auto lock = std::make_shared<TNetworkLock>();
        lock->SetID(kMacs[index]);
        lock->SetKind(kNetworkLock);
        lock->SetIP(m_ips[index]);
        lock->SetConnection(link);
        if (kestrova::COMifCreateNetworkConnection(link, mode, ip, mac) == 0 &&
            kestrova::COMifBegRealTimeMonitor(link) == 0)
            lock->SetActive(true);
        return lock;
    }
    std::shared_ptr<TNetworkSwitch> connectedSwitch() {
        Variant link(platform::createObject(QStringLiteral("KestrovaCom.TKestrova")));
        Variant handle(0);
        Variant mode(3);
        Variant mac(kSwitchMac);
        auto networkSwitch = std::make_shared<TNetworkSwitch>();
        networkSwitch->SetID(kSwitchMac);
        networkSwitch->SetKind(kNetworkSwitch);
        networkSwitch->SetConnection(link);
        if (kestrova::ComifSerialPortHandle(link, handle, 1) == 0 &&
            kestrova::COMifCreateSerialConnection(link, mode, mac, handle) == 0)
            networkSwitch->SetActive(true);
        return networkSwitch;
    }
    void reset() {
        for (const QString& mac : {kMacs[0], kMacs[1], kMacs[2], kSwitchMac}) {
            sim({{QStringLiteral("cmd"), QStringLiteral("unscript")}, {QStringLiteral("mac"), mac}});
            sim({{QStringLiteral("cmd"), QStringLiteral("silent")},
                 {QStringLiteral("mac"), mac},
                 {QStringLiteral("on"), false}});
        }
        sim({{QStringLiteral("cmd"), QStringLiteral("clearlog")}});
    }

private slots:
    void initTestCase();
    void init() { reset(); }
    void cleanupTestCase() { m_sim.stop(); }

    void threeLocksInRegistryOrder();
    void recordTexts_data();
    void recordTexts();
    void linkCheck_data();
    void linkCheck();
    void switchAnswers_data();
    void switchAnswers();
    void stopScanControl();
    void storedRecordsOnlyWhereAsked_data();
    void storedRecordsOnlyWhereAsked();
};

void TestMonitorCtrlsim::initTestCase() {
    m_env = std::make_unique<test::TestEnvironment>();
    // Short component time-outs keep a silent controller's call to 200 ms.
    qputenv("MORVANE_KESTROVA_TIMEOUT_MS", "100");
    qputenv("MORVANE_KESTROVA_ATTEMPTS", "2");
    qputenv("MORVANE_KESTROVA_SERIAL_PATTERN", m_env->path(QStringLiteral("ttyS{n-1}")).toLocal8Bit());
    // Registered in-process: no child process under the sanitizer.
    QString error;
    QVERIFY2(test::loadComponent(QStringLiteral(KESTROVA_LIBRARY), true, &error), qPrintable(error));

    QJsonArray controllers;
    for (int i = 0; i < 3; ++i) {
        do {
            m_ips[i] = randomLoopback();
        } while ((i > 0 && m_ips[i] == m_ips[0]) || (i > 1 && m_ips[i] == m_ips[1]));
        controllers.append(QJsonObject{
            {QStringLiteral("mac"), kMacs[i]}, {QStringLiteral("ip"), m_ips[i]}, {QStringLiteral("port"), 2008}});
    }
    controllers.append(QJsonObject{{QStringLiteral("mac"), kSwitchMac},
                                   {QStringLiteral("kind"), QStringLiteral("switch")},
                                   {QStringLiteral("link"), m_env->path(QStringLiteral("ttyS0"))}});

    QVERIFY2(m_sim.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error), qPrintable(error));
}

void TestMonitorCtrlsim::threeLocksInRegistryOrder() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    for (int i = 0; i < 3; ++i) {
        const QString unit = QStringLiteral("0%1").arg(i + 1).repeated(4);
        realtime(kMacs[i], {longRecord(unit), longRecord(unit), longRecord(unit)});
        const auto lock = connectedLock(i);
        QVERIFY(lock->Active());
        QVERIFY(list->Add(lock));
    }
    ScanRun scan(list);
    const auto received = listener.collect(7, 4000);
    QCOMPARE(received.size(), 7);
    for (int i = 0; i < received.size(); ++i) {
        QCOMPARE(received[i].first.size(), 22);
        QCOMPARE(received[i].first.front(), char(0x02));
        QCOMPARE(received[i].first.back(), char(0x03));
        QCOMPARE(int(received[i].first.at(3)), i % 3 + 1); // registry order, repeating
        // A busy receiver may take one datagram late and the next at once: each gap shows a step, the
        // whole run its length.
        if (i > 0)
            QVERIFY2(received[i].second - received[i - 1].second >= 100,
                     qPrintable(QString::number(received[i].second - received[i - 1].second)));
    }
    const qint64 span = received.last().second - received.first().second;
    QVERIFY2(span >= (received.size() - 1) * 190, qPrintable(QString::number(span)));
}

void TestMonitorCtrlsim::recordTexts_data() {
    QTest::addColumn<QString>("record");
    QTest::addColumn<QByteArray>("expected"); // empty: nothing is sent
    QByteArray shortDatagram(22, '\0');
    shortDatagram[0] = 0x02;
    shortDatagram[1] = 0x01;
    shortDatagram[2] = 1;
    shortDatagram[3] = 1;
    shortDatagram[4] = 2;
    shortDatagram[5] = 3;
    shortDatagram[6] = 4;
    shortDatagram[20] = 0x0A;
    shortDatagram[21] = 0x03;
    QTest::newRow("short 0A01020304") << QStringLiteral("0A01020304") << shortDatagram;
    // pairs 6 to 14 are decimal: "12" gives 12 there, 0x12 elsewhere
    const QString twelves = QStringLiteral("12").repeated(18);
    QByteArray longDatagram;
    for (int b : {0x02, 0x01, 2,  0x12, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12,
                  0x12, 12,   12, 12,   12,   12,   12,   12,   12,   12,   0x03})
        longDatagram.append(char(b));
    QTest::newRow("decimal and hex pairs") << twelves << longDatagram;
    QTest::newRow("1A in pair 7") << QString(twelves).replace(12, 2, QStringLiteral("1A")) << QByteArray();
    QTest::newRow("12 characters") << QStringLiteral("0A0102030405") << QByteArray();
}

void TestMonitorCtrlsim::recordTexts() {
    QFETCH(QString, record);
    QFETCH(QByteArray, expected);
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    // The tested record first, then a sound one: the scan goes on either way.
    realtime(kMacs[0], {record, longRecord(QStringLiteral("EEEEEEEE"))});
    const auto lock = connectedLock(0);
    QVERIFY(lock->Active());
    list->Add(lock);
    ScanRun scan(list);
    const auto first = listener.next(2000);
    QVERIFY(first);
    if (expected.isEmpty()) {
        QCOMPARE(uint8_t(first->at(3)), uint8_t(0xEE));
    } else {
        QCOMPARE(*first, expected);
        const auto second = listener.next(2000);
        QVERIFY(second);
        QCOMPARE(uint8_t(second->at(3)), uint8_t(0xEE));
    }
    QCOMPARE(list->Count(), 1);
}

void TestMonitorCtrlsim::linkCheck_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("echoTarget"); // "lock", "namespace" (link taken down) or "fake"
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("pings"); // for the fake echo
    QTest::newRow("37 is not pinged") << 37 << QStringLiteral("fake") << true << 0;
    QTest::newRow("5 with an echo reply") << 5 << QStringLiteral("lock") << true << -1;
    QTest::newRow("5 without an echo reply") << 5 << QStringLiteral("namespace") << false << -1;
    QTest::newRow("silent controller, no reply") << -1 << QStringLiteral("namespace") << false << -1;
}

void TestMonitorCtrlsim::linkCheck() {
    QFETCH(int, status);
    QFETCH(QString, echoTarget);
    QFETCH(bool, kept);
    QFETCH(int, pings);
    std::unique_ptr<test::NetNamespace> space;
    if (echoTarget == QLatin1String("namespace")) {
        space = std::make_unique<test::NetNamespace>();
        if (!space->ok())
            QSKIP(qPrintable(QStringLiteral("cannot make a network namespace: ") + space->error()));
        QVERIFY(space->setPeerLink(false));
    }
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto lock = connectedLock(0);
    QVERIFY(lock->Active());
    if (space) // the echo goes where no reply can come from
        lock->SetIP(space->peerAddress());
    list->Add(lock);
    if (status >= 0)
        scriptRecord(kMacs[0], status, QStringLiteral("0A01020304"), true);
    else
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")}, {QStringLiteral("mac"), kMacs[0]}});
    const auto echoState = std::make_shared<FakeEchoState>();
    std::unique_ptr<platform::EchoProbe> echo;
    if (echoTarget == QLatin1String("fake"))
        echo = std::make_unique<FakeEcho>(echoState);
    else if (platform::IcmpEcho().ping(QStringLiteral("127.0.0.1")).result == platform::EchoResult::CouldNotCheck)
        QSKIP("no ICMP rights here");
    std::weak_ptr<TNetworkLock> watch = lock;
    ScanRun scan(list, std::move(echo));
    if (kept) {
        const auto datagram = listener.next(3000); // with a reply the record is still decoded and sent
        QVERIFY(datagram);
        QCOMPARE(datagram->at(20), char(0x0A));
        QCOMPARE(list->Count(), 1);
        QVERIFY(lock->Active());
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(list->Count(), 0, 4000);
        QVERIFY(!lock->Active());
        QVERIFY(!listener.next(100));
    }
    QVERIFY(scan.stop());
    if (pings >= 0)
        QCOMPARE(echoState->pings.load(), pings);
    if (status == 5 && !kept) // closed before it was dropped
        QCOMPARE(countOf(m_sim.takeLog(kMacs[0]), QStringLiteral("ComifCloseConnection")), 1);
}

void TestMonitorCtrlsim::switchAnswers_data() {
    QTest::addColumn<QJsonArray>("statuses"); // empty: the switch is silent
    QTest::addColumn<QString>("card");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QByteArray>("cardBytes");
    QTest::addColumn<int>("answered"); // requests the switch answered in the visit
    QTest::newRow("4,4,0") << QJsonArray{4, 4, 0} << QStringLiteral("12AB34CD") << 3 << true
                           << QByteArray::fromHex("12AB34CD") << 3;
    QTest::newRow("4,4,4") << QJsonArray{4, 4, 4} << QStringLiteral("12AB34CD") << 1 << false
                           << QByteArray::fromHex("12AB34CD") << 3;
    QTest::newRow("37") << QJsonArray{37} << QStringLiteral("12AB34CD") << 2 << true << QByteArray::fromHex("12AB34CD")
                        << 1;
    QTest::newRow("CardNumber 12345") << QJsonArray{0} << QStringLiteral("12345") << 3 << true << QByteArray(4, '\0')
                                      << 1;
    // Three attempts without a reply make a dead switch unreachable, as three busy answers do.
    QTest::newRow("silent") << QJsonArray{} << QStringLiteral("12AB34CD") << 1 << false << QByteArray(4, '\0') << 0;
}

void TestMonitorCtrlsim::switchAnswers() {
    QFETCH(QJsonArray, statuses);
    QFETCH(QString, card);
    QFETCH(int, status);
    QFETCH(bool, active);
    QFETCH(QByteArray, cardBytes);
    QFETCH(int, answered);
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto networkSwitch = connectedSwitch();
    QVERIFY(networkSwitch->Active());
    list->Add(networkSwitch);
    sim({{QStringLiteral("cmd"), QStringLiteral("switch")},
         {QStringLiteral("mac"), kSwitchMac},
         {QStringLiteral("statuses"), statuses},
         {QStringLiteral("card"), card},
         {QStringLiteral("circuitry1"), 1},
         {QStringLiteral("circuitry2"), 0x102},
         {QStringLiteral("mcState"), 3},
         {QStringLiteral("alarmState"), 4}});
    if (statuses.isEmpty())
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")}, {QStringLiteral("mac"), kSwitchMac}});
    m_sim.takeLog(kSwitchMac);
    ScanRun scan(list);
    const auto datagram = listener.next(3000);
    // Taken when the visit's datagram arrives: the next visit is a whole step away.
    const QJsonArray log = m_sim.takeLog(kSwitchMac);
    QVERIFY(datagram);
    QVERIFY(scan.stop());
    QCOMPARE(datagram->size(), 16);
    QCOMPARE(datagram->mid(2, 4), QByteArray::fromHex("0A0B0C0D"));
    QCOMPARE(datagram->mid(6, 4), cardBytes);
    QCOMPARE(int(datagram->at(13)), status);
    QCOMPARE(networkSwitch->Active(), active);
    QCOMPARE(countOf(log, QStringLiteral("ComifReadDeviceInfo")), answered);
}

void TestMonitorCtrlsim::stopScanControl() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto lock = connectedLock(1);
    QVERIFY(lock->Active());
    list->Add(lock);
    scriptRecord(kMacs[1], 0, QStringLiteral("0A01020304"), true);
    ScanRun scan(list);
    QVERIFY(listener.next(2000));
    scan->Suspend(); // StopScanControl: suspend, then empty the registry
    list->Clear();
    m_sim.takeLog(kMacs[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const QJsonArray after = m_sim.takeLog(kMacs[1]);
    QCOMPARE(after.size(), 0); // nothing polled, and the removed device's object got no command
    // A client that shared the device's connection still uses it.
    int32_t doorNumber = 1;
    QCOMPARE(kestrova::ComifRmtOpenDoor(lock->Connection(), doorNumber), 0);
}

QTEST_GUILESS_MAIN(TestMonitorCtrlsim)
void TestMonitorCtrlsim::storedRecordsOnlyWhereAsked_data() {
    QTest::addColumn<bool>("collect");
    QTest::newRow("the server stores the log rows") << true;
    QTest::newRow("another program reads them") << false;
}

// The records a lock kept are read by the scan only where it is asked to: reading them moves the lock's own
// read position, which a program that stores the log rows itself relies on.
void TestMonitorCtrlsim::storedRecordsOnlyWhereAsked() {
    QFETCH(bool, collect);
    QJsonArray records;
    for (int i = 0; i < 5; ++i) // lead, card, door and result, controller time, tail
        records.append(QString(QStringLiteral("01") + QStringLiteral("%1").arg(0x400000 + i, 8, 16, QLatin1Char('0')) +
                               QStringLiteral("0100") + QStringLiteral("26120900000%1").arg(i) +
                               QStringLiteral("002B3C4D01")));
    sim({{QStringLiteral("cmd"), QStringLiteral("records")},
         {QStringLiteral("mac"), kMacs[0]},
         {QStringLiteral("records"), records}});
    const auto cleanUp = qScopeGuard([this] {
        sim({{QStringLiteral("cmd"), QStringLiteral("records")},
             {QStringLiteral("mac"), kMacs[0]},
             {QStringLiteral("records"), QJsonArray()}});
    });
    const auto list = std::make_shared<TDeviceList>();
    const auto lock = connectedLock(0);
    QVERIFY(lock->Active());
    QVERIFY(list->Add(lock));
    std::atomic<int> stored{0};
    ScanRun scan(list, {}, [&](TScanAllControls& thread) {
        thread.SetCollectStored(collect);
        thread.SetObserver([&stored](const ScanReport& report) {
            if (report.stored)
                ++stored;
        });
    });
    QTRY_VERIFY_WITH_TIMEOUT(scan->Steps() >= 4, 5000);
    QVERIFY(scan.stop());
    QCOMPARE(stored.load(), collect ? 5 : 0);
}

#include "tst_monitor_ctrlsim.moc"
