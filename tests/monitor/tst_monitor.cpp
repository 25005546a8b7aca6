// The device registry, the record decoding and datagrams, and the scanning thread against scripted
// lock-communication objects, with the datagrams received over real loopback UDP.

#include "FakeController.h"
#include "MonitorListener.h"
#include "MonitorRecords.h"
#include "NetNamespace.h"
#include "TestSupport.h"
#include "unt_controllist.h"
#include "unt_ScanAllControls.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <thread>
#include <vector>

using namespace morvane;
using namespace morvane::monitor;
using morvane::test::FakeController;
using morvane::test::FakeEcho;
using morvane::test::FakeEchoState;
using morvane::test::MonitorListener;
using platform::Variant;

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray lockDatagram(const LockMonitorRecord& record) {
    QByteArray out(kLockDatagramSize, '\0');
    writeLockDatagram(record, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

// A long record of 18 pairs: the lead pair, 4 data pairs, 9 decimal pairs, 4 unit pairs.
QString longRecord(const QString& unit = QStringLiteral("A1B2C3D4")) {
    return QStringLiteral("1F") + QStringLiteral("11223344") + QStringLiteral("010203040506070809") + unit;
}

std::shared_ptr<TNetworkLock> makeLock(const QString& id, const std::shared_ptr<FakeController>& component,
                                       const QString& ip = QStringLiteral("127.0.0.1")) {
    auto lock = std::make_shared<TNetworkLock>();
    lock->SetID(id);
    lock->SetKind(kNetworkLock);
    lock->SetIP(ip);
    lock->SetConnection(Variant(platform::DispatchPtr(component)));
    lock->SetActive(true);
    return lock;
}

std::shared_ptr<TNetworkSwitch> makeSwitch(const QString& id, const std::shared_ptr<FakeController>& component) {
    auto networkSwitch = std::make_shared<TNetworkSwitch>();
    networkSwitch->SetID(id);
    networkSwitch->SetKind(kNetworkSwitch);
    networkSwitch->SetConnection(Variant(platform::DispatchPtr(component)));
    networkSwitch->SetActive(true);
    return networkSwitch;
}

// Runs a scanning thread over a registry for the length of a test and makes sure it is gone after.
class ScanRun {
public:
    ScanRun(const std::shared_ptr<TDeviceList>& list, std::unique_ptr<platform::EchoProbe> echo = {})
        : m_thread(TScanAllControls::create(std::move(echo)))
        , m_watch(m_thread) {
        m_thread->SetDeviceList(list);
        m_thread->Resume();
    }
    ~ScanRun() { stop(); }
    TScanAllControls* operator->() const { return m_thread.get(); }
    // Requests termination and lets go, as the main window does; true once the thread object is freed.
    bool stop(int timeoutMs = 5000) {
        if (m_thread)
            m_thread->Terminate();
        m_thread.reset();
        QElapsedTimer clock;
        clock.start();
        while (!m_watch.expired() && clock.elapsed() < timeoutMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return m_watch.expired();
    }

private:
    std::shared_ptr<TScanAllControls> m_thread;
    std::weak_ptr<TScanAllControls> m_watch;
};

std::unique_ptr<platform::EchoProbe> echoFrom(const std::shared_ptr<FakeEchoState>& state) {
    return std::make_unique<FakeEcho>(state);
}

} // namespace

Q_DECLARE_METATYPE(morvane::platform::Variant)
Q_DECLARE_METATYPE(morvane::test::FakeController::SwitchAnswer)

class TestMonitor : public QObject {
    Q_OBJECT

private slots:
    // --- decoding --------------------------------------------------------------------------------
    void shortRecordDatagram();
    void longRecordDatagram();
    void pairKinds_data();
    void pairKinds();
    void everyLength();
    void everyBadCharacterInEveryPair();
    void leadingHexBytes_data();
    void leadingHexBytes();
    void switchDatagramLayout();
    void describeDatagrams();

    // --- registry --------------------------------------------------------------------------------
    void registryOperations();
    void removeAndClearFreeOnlyUnheldDevices();
    void registrationClaims_data();
    void registrationClaims();
    void sendsToLocalPort();
    void portVariable_data();
    void portVariable();
    void registryUnderConcurrentUse();
    void listenerPrintsDecodedDatagrams();

    // --- scanning thread ---------------------------------------------------------------------------
    void threeLocksInRegistryOrder();
    void lockRecordTexts_data();
    void lockRecordTexts();
    void linkCheck_data();
    void linkCheck();
    void removalWrapsScanPosition();
    void switchAnswers_data();
    void switchAnswers();
    void badSwitchTextsNeverStopTheScan();
    void componentFailureNeverStopsTheScan();
    void terminationWithEmptyRegistry();
    void terminationDuringLinkCheck();
    void suspendWaitsForTheStep();
    void deviceRemovedDuringItsVisit();
    void registryOutlivesItsOwner();
    void neverStartedThreadStillEnds();

    // --- link check over the network -----------------------------------------------------------------
    void echoLoopbackAndBadHosts();
    void echoThroughNamespace();
    void linkCheckAgainstNamespace_data();
    void linkCheckAgainstNamespace();
};

void TestMonitor::shortRecordDatagram() {
    const auto record = decodeLockRecord(u"0A01020304");
    QVERIFY(record);
    const QByteArray datagram = lockDatagram(*record);
    QCOMPARE(datagram.size(), 22);
    QCOMPARE(datagram.at(0), char(0x02));
    QCOMPARE(datagram.at(1), char(0x01));
    QCOMPARE(datagram.at(2), char(1));
    QCOMPARE(datagram.mid(3, 4), bytes({1, 2, 3, 4}));
    QCOMPARE(datagram.mid(7, 13), QByteArray(13, '\0'));
    QCOMPARE(datagram.at(20), char(0x0A));
    QCOMPARE(datagram.at(21), char(0x03));
}

void TestMonitor::longRecordDatagram() {
    const auto record = decodeLockRecord(longRecord());
    QVERIFY(record);
    QCOMPARE(record->recordForm, kLongRecordForm);
    // form, unit, data, lead, A, C1..C6, B, tail, in datagram order
    QCOMPARE(lockDatagram(*record), bytes({0x02, 0x01, 2, 0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44,
                                           0x1F, 1,    3, 4,    5,    6,    7,    8,    2,    9,    0x03}));
}

void TestMonitor::pairKinds_data() {
    QTest::addColumn<int>("pair");
    QTest::addColumn<int>("offset"); // where the pair lands in the datagram
    QTest::addColumn<int>("expected");
    const int offsets[18] = {11, 7, 8, 9, 10, 12, 19, 13, 14, 15, 16, 17, 18, 20, 3, 4, 5, 6};
    for (int pair = 1; pair <= 18; ++pair) {
        const bool decimal = pair >= 6 && pair <= 14;
        QTest::addRow("P%d", pair) << pair << offsets[pair - 1] << (decimal ? 12 : 0x12);
    }
}

void TestMonitor::pairKinds() {
    QFETCH(int, pair);
    QFETCH(int, offset);
    QFETCH(int, expected);
    QString text(36, QLatin1Char('0'));
    text.replace((pair - 1) * 2, 2, QStringLiteral("12"));
    const auto record = decodeLockRecord(text);
    QVERIFY(record);
    const QByteArray datagram = lockDatagram(*record);
    QCOMPARE(int(uint8_t(datagram.at(offset))), expected);
    // every other field byte stays 0
    for (int i = 3; i < 21; ++i) {
        if (i != offset)
            QCOMPARE(int(datagram.at(i)), 0);
    }
}

void TestMonitor::everyLength() {
    for (int length = 0; length <= 64; ++length) {
        const QString text(length, QLatin1Char('1'));
        const bool decodes = length == 10 || length == 36;
        QVERIFY2(decodeLockRecord(text).has_value() == decodes, qPrintable(QString::number(length)));
    }
}

void TestMonitor::everyBadCharacterInEveryPair() {
    const QString bad = QStringLiteral(" -+xXgG$.\t\u00e9\u4e2d");
    const QString hexOnly = QStringLiteral("aAfF"); // fine as hex, not as decimal
    const QString candidates = bad + hexOnly + QChar(u'\0');
    for (const QString& valid : {QStringLiteral("0A01020304"), longRecord()}) {
        for (int at = 0; at < valid.size(); ++at) {
            const int pair = at / 2 + 1;
            const bool decimalPosition = valid.size() == 36 && pair >= 6 && pair <= 14;
            for (QChar c : candidates) {
                QString text = valid;
                text[at] = c;
                const bool shouldDecode = hexOnly.contains(c) && !decimalPosition;
                QVERIFY2(decodeLockRecord(text).has_value() == shouldDecode,
                         qPrintable(QStringLiteral("%1 at %2 of %3").arg(c).arg(at).arg(valid)));
            }
        }
    }
}

void TestMonitor::leadingHexBytes_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("card") << QStringLiteral("DEADbeef") << true << bytes({0xDE, 0xAD, 0xBE, 0xEF});
    QTest::newRow("mac with more") << QStringLiteral("0011AABB-CC") << true << bytes({0x00, 0x11, 0xAA, 0xBB});
    QTest::newRow("seven digits") << QStringLiteral("0011AAB") << false << QByteArray();
    QTest::newRow("empty") << QString() << false << QByteArray();
    QTest::newRow("colon in third pair") << QStringLiteral("0011:ABB") << false << QByteArray();
}

void TestMonitor::leadingHexBytes() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QByteArray, expected);
    const auto result = monitor::leadingHexBytes(text);
    QCOMPARE(result.has_value(), ok);
    if (ok)
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(result->data()), 4), expected);
}

void TestMonitor::switchDatagramLayout() {
    SwitchStatusRecord status;
    status.idBytes = {0x10, 0x20, 0x30, 0x40};
    status.status = 2;
    status.cardBytes = {0xDE, 0xAD, 0xBE, 0xEF};
    status.circuitry1 = 5;
    status.circuitry2 = 6;
    status.alarmState = 7;
    status.mcState = 8;
    QByteArray datagram(kSwitchDatagramSize, '\0');
    writeSwitchDatagram(status, reinterpret_cast<uint8_t*>(datagram.data()));
    QCOMPARE(datagram, bytes({0x02, 0x03, 0x10, 0x20, 0x30, 0x40, 0xDE, 0xAD, 0xBE, 0xEF, 5, 6, 7, 2, 8, 0x03}));
}

void TestMonitor::describeDatagrams() {
    const QJsonObject lock = describeDatagram(lockDatagram(*decodeLockRecord(u"0A01020304")));
    QCOMPARE(lock.value(QStringLiteral("type")).toString(), QStringLiteral("lock"));
    QCOMPARE(lock.value(QStringLiteral("unit")).toString(), QStringLiteral("01020304"));
    QCOMPARE(lock.value(QStringLiteral("tail")).toInt(), 10);
    QCOMPARE(lock.value(QStringLiteral("form")).toInt(), 1);
    const QJsonObject sw = describeDatagram(bytes({2, 3, 1, 2, 3, 4, 0, 0, 0, 0, 9, 8, 7, 1, 6, 3}));
    QCOMPARE(sw.value(QStringLiteral("type")).toString(), QStringLiteral("switch"));
    QCOMPARE(sw.value(QStringLiteral("id")).toString(), QStringLiteral("01020304"));
    QCOMPARE(sw.value(QStringLiteral("status")).toInt(), 1);
    QCOMPARE(sw.value(QStringLiteral("mcState")).toInt(), 6);
    QCOMPARE(describeDatagram(bytes({2, 1, 3})).value(QStringLiteral("type")).toString(), QStringLiteral("unknown"));
    QCOMPARE(describeDatagram(QByteArray()).value(QStringLiteral("type")).toString(), QStringLiteral("unknown"));
}

void TestMonitor::registryOperations() {
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    const auto first = makeLock(QStringLiteral("00-1A-2B"), component);
    const auto second = makeLock(QStringLiteral("00-1A-2B"), component, QStringLiteral("127.0.0.9"));
    QVERIFY(list->Add(first));
    QVERIFY(!list->Add(second)); // same ID and kind: refused, the first stays
    QCOMPARE(list->Count(), 1);
    QCOMPARE(list->Items(0), DevicePtr(first));
    QCOMPARE(first->Owner(), list);
    QVERIFY(!second->Owner());

    const auto sameIdSwitch = makeSwitch(QStringLiteral("00-1A-2B"), component);
    QVERIFY(list->Add(sameIdSwitch)); // kinds differ: two entries
    QCOMPARE(list->Count(), 2);

    TDevice probe;
    probe.SetID(QStringLiteral("00-1A-2B"));
    probe.SetKind(kNetworkSwitch);
    QCOMPARE(list->Find(probe), DevicePtr(sameIdSwitch));
    probe.SetID(QStringLiteral("00-1a-2b")); // a MAC names the same controller in either case
    QCOMPARE(list->Find(probe), DevicePtr(sameIdSwitch));
    QVERIFY(!list->Add(makeLock(QStringLiteral("00-1a-2b"), component)));
    QCOMPARE(list->Count(), 2);

    const auto unnamed = std::make_shared<TDevice>();
    QVERIFY(list->Add(unnamed));
    QVERIFY(!list->Add(unnamed)); // the very same object is not listed twice
    TDevice emptyProbe;
    QVERIFY(!list->Find(emptyProbe)); // an empty ID finds nothing, also the entry with an empty ID

    QVERIFY(list->Items(list->Count()) == nullptr);
    QVERIFY(list->Items(-1) == nullptr);

    list->Remove(second.get()); // a stranger
    QCOMPARE(list->Count(), 3);
    list->Remove(sameIdSwitch.get());
    QCOMPARE(list->Count(), 2);
    QCOMPARE(list->Items(1), unnamed);
    list->Clear();
    QCOMPARE(list->Count(), 0);
    QVERIFY(first->Active());             // cleared devices stay usable
    QCOMPARE(component->closeCalls(), 0); // and get no command
}

void TestMonitor::registrationClaims_data() {
    QTest::addColumn<QString>("first"); // how the first caller's attempt stands when the next one comes
    QTest::addColumn<int>("next");      // what the next caller, the MAC in another case, is given
    using State = TDeviceList::Claim::State;
    QTest::newRow("under way: busy after the time-out") << "running" << int(State::Busy);
    QTest::newRow("given up: the next one connects") << "abandoned" << int(State::Connect);
    QTest::newRow("failed: the next one connects") << "failed" << int(State::Connect);
    QTest::newRow("added: registered") << "added" << int(State::Registered);
}

void TestMonitor::registrationClaims() {
    using namespace std::chrono_literals;
    using State = TDeviceList::Claim::State;
    QFETCH(QString, first);
    const auto list = std::make_shared<TDeviceList>();
    const auto device = makeLock(QStringLiteral("00-1A-2B"), std::make_shared<FakeController>());
    TDeviceList::Claim claim = list->Register(*device, 1000ms);
    QCOMPARE(claim.state, State::Connect);
    if (first == QLatin1String("abandoned")) {
        claim.registration.reset();
    } else if (first == QLatin1String("failed")) {
        claim.registration->Finish(1002);
    } else if (first == QLatin1String("added")) {
        QVERIFY(list->Add(device));
        claim.registration->Finish(0);
    }
    TDevice probe;
    probe.SetID(QStringLiteral("00-1a-2b"));
    probe.SetKind(kNetworkLock);
    QElapsedTimer clock;
    clock.start();
    const TDeviceList::Claim next = list->Register(probe, 50ms);
    QTEST(int(next.state), "next");
    QCOMPARE(next.device, next.state == State::Registered ? DevicePtr(device) : DevicePtr());
    QCOMPARE(next.registration != nullptr, next.state == State::Connect);
    QVERIFY(clock.elapsed() < 1000);
}

void TestMonitor::removeAndClearFreeOnlyUnheldDevices() {
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    std::weak_ptr<TDevice> removed, cleared, shared;
    {
        auto a = makeLock(QStringLiteral("A"), component);
        auto b = makeLock(QStringLiteral("B"), component);
        auto c = makeLock(QStringLiteral("C"), component);
        removed = a;
        cleared = b;
        shared = c;
        list->Add(a);
        list->Add(b);
        list->Add(c);
    }
    DevicePtr client = list->Items(2); // e.g. an instance that shares the device's connection
    list->Remove(removed.lock().get());
    QVERIFY(removed.expired());
    list->Clear();
    QVERIFY(cleared.expired());
    QVERIFY(!shared.expired());
    QCOMPARE(client->ID(), QStringLiteral("C"));
    client.reset();
    QVERIFY(shared.expired());
    QCOMPARE(component->closeCalls(), 0);
}

void TestMonitor::sendsToLocalPort() {
    MonitorListener listener;
    QVERIFY(listener.isBound());
    const auto list = std::make_shared<TDeviceList>();
    QCOMPARE(list->UDPClient().remotePort(), listener.port());
    const auto component = std::make_shared<FakeController>();
    const auto lock = makeLock(QStringLiteral("L"), component);
    const auto networkSwitch = makeSwitch(QStringLiteral("01020304"), component);

    QVERIFY(!lock->SendMonitorRecord()); // not in a registry yet: no sender
    list->Add(lock);
    list->Add(networkSwitch);
    lock->SetMonitorRecord(*decodeLockRecord(u"0A01020304"));
    QString error;
    QVERIFY2(lock->SendMonitorRecord(&error), qPrintable(error));
    const auto lockDatagramReceived = listener.next(2000);
    QVERIFY(lockDatagramReceived);
    QCOMPARE(*lockDatagramReceived, lockDatagram(*decodeLockRecord(u"0A01020304")));
    QCOMPARE(lock->Buffer().mid(22), QByteArray(256 - 22, '\0'));

    SwitchStatusRecord status;
    status.status = 3;
    networkSwitch->SetSwitchStatus(status);
    QVERIFY(networkSwitch->SendSwitchStatus());
    const auto switchDatagram = listener.next(2000);
    QVERIFY(switchDatagram);
    QCOMPARE(switchDatagram->size(), 16);
    QCOMPARE(switchDatagram->front(), char(0x02));
    QCOMPARE(switchDatagram->back(), char(0x03));

    std::weak_ptr<TDeviceList> gone = list;
    const auto keep = lock;
    list->Clear();
    QVERIFY(lock->SendMonitorRecord()); // still owned by the registry object that lives on
    listener.next(2000);
}

void TestMonitor::portVariable_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("port");
    QTest::newRow("unset") << QByteArray() << 7800;
    QTest::newRow("set") << QByteArrayLiteral("17801") << 17801;
    QTest::newRow("zero") << QByteArrayLiteral("0") << 7800;
    QTest::newRow("too big") << QByteArrayLiteral("70000") << 7800;
    QTest::newRow("not a number") << QByteArrayLiteral("x1") << 7800;
}

void TestMonitor::portVariable() {
    QFETCH(QByteArray, value);
    QFETCH(int, port);
    const QByteArray saved = qgetenv("MORVANE_MONITOR_PORT");
    if (value.isNull())
        qunsetenv("MORVANE_MONITOR_PORT");
    else
        qputenv("MORVANE_MONITOR_PORT", value);
    QCOMPARE(int(monitorPort()), port);
    QCOMPARE(int(TDeviceList().UDPClient().remotePort()), port);
    if (saved.isNull())
        qunsetenv("MORVANE_MONITOR_PORT");
    else
        qputenv("MORVANE_MONITOR_PORT", saved);
}

void TestMonitor::registryUnderConcurrentUse() {
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    std::atomic<bool> failed{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const QString id = QStringLiteral("%1-%2").arg(t).arg(i % 50);
                auto lock = makeLock(id, component);
                list->Add(lock);
                TDevice probe;
                probe.SetID(id);
                probe.SetKind(kNetworkLock);
                if (DevicePtr found = list->Find(probe)) {
                    if (found->ID() != id)
                        failed = true;
                    found->Connection(); // what OpenCon takes
                }
                if (DevicePtr item = list->Items(i % 64))
                    item->Active();
                if (i % 7 == 0)
                    list->Remove(list->Items(0).get());
                if (t == 0 && i % 500 == 499)
                    list->Clear();
            }
        });
    }
    for (auto& client : clients)
        client.join();
    QVERIFY(!failed);
    // No two entries share ID and kind, however the adds raced.
    QSet<QString> ids;
    for (int i = 0; i < list->Count(); ++i)
        QVERIFY(!ids.contains(list->Items(i)->ID()) && (ids.insert(list->Items(i)->ID()), true));
}

void TestMonitor::listenerPrintsDecodedDatagrams() {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    // ThreadSanitizer of Debian's clang aborts in the child that QProcess clones; the listener program has
    // no threads of its own to check.
    QSKIP("starting a program is not supported under ThreadSanitizer");
#endif
#endif
    // A bad number is a usage error, whichever option carries it and whatever follows it.
    for (const QStringList& bad : {QStringList{QStringLiteral("--count"), QStringLiteral("abc"),
                                               QStringLiteral("--time-ms"), QStringLiteral("500")},
                                   QStringList{QStringLiteral("--time-ms"), QStringLiteral("soon")},
                                   QStringList{QStringLiteral("--count"), QStringLiteral("-3")},
                                   QStringList{QStringLiteral("--port"), QStringLiteral("0")}}) {
        const auto refused = test::runProgram(test::binDir() + QStringLiteral("/monlisten"), bad,
                                              QProcessEnvironment::systemEnvironment(), 5000);
        QVERIFY2(refused.finished && refused.exitCode == 2, qPrintable(bad.join(QLatin1Char(' '))));
    }

    quint16 port = 0;
    {
        QUdpSocket probe;
        probe.setProxy(QNetworkProxy::NoProxy);
        QVERIFY(probe.bind(QHostAddress::AnyIPv4, 0));
        port = probe.localPort();
    }
    QProcess listener;
    listener.start(test::binDir() + QStringLiteral("/monlisten"),
                   {QStringLiteral("--port"), QString::number(port), QStringLiteral("--count"), QStringLiteral("2"),
                    QStringLiteral("--time-ms"), QStringLiteral("10000")});
    QVERIFY(listener.waitForStarted(5000));
    listener.setReadChannel(QProcess::StandardError);
    QByteArray announced;
    QElapsedTimer started;
    started.start();
    while (!announced.contains("listening") && listener.state() == QProcess::Running && started.elapsed() < 5000) {
        listener.waitForReadyRead(100);
        announced += listener.readAllStandardError();
    }
    QVERIFY2(announced.contains("listening"), announced.constData());
    QCOMPARE(listener.state(), QProcess::Running);

    qputenv("MORVANE_MONITOR_PORT", QByteArray::number(port));
    const auto list = std::make_shared<TDeviceList>();
    qunsetenv("MORVANE_MONITOR_PORT");
    const auto component = std::make_shared<FakeController>();
    const auto lock = makeLock(QStringLiteral("L"), component);
    const auto networkSwitch = makeSwitch(QStringLiteral("0A0B0C0D"), component);
    list->Add(lock);
    list->Add(networkSwitch);
    lock->SetMonitorRecord(*decodeLockRecord(u"0A01020304"));
    QVERIFY(lock->SendMonitorRecord());
    SwitchStatusRecord status;
    status.idBytes = {0x0A, 0x0B, 0x0C, 0x0D};
    status.status = 1;
    networkSwitch->SetSwitchStatus(status);
    QVERIFY(networkSwitch->SendSwitchStatus());

    QVERIFY(listener.waitForFinished(5000));
    QCOMPARE(listener.exitCode(), 0);
    const QList<QByteArray> lines = listener.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    const QJsonObject first = QJsonDocument::fromJson(lines[0]).object();
    QCOMPARE(first.value(QStringLiteral("type")).toString(), QStringLiteral("lock"));
    QCOMPARE(first.value(QStringLiteral("length")).toInt(), 22);
    QCOMPARE(first.value(QStringLiteral("unit")).toString(), QStringLiteral("01020304"));
    QCOMPARE(first.value(QStringLiteral("tail")).toInt(), 10);
    const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(second.value(QStringLiteral("type")).toString(), QStringLiteral("switch"));
    QCOMPARE(second.value(QStringLiteral("id")).toString(), QStringLiteral("0A0B0C0D"));
    QCOMPARE(second.value(QStringLiteral("status")).toInt(), 1);
}

void TestMonitor::threeLocksInRegistryOrder() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    std::vector<std::shared_ptr<FakeController>> components;
    const QStringList units{QStringLiteral("01010101"), QStringLiteral("02020202"), QStringLiteral("03030303")};
    for (int i = 0; i < 3; ++i) {
        components.push_back(std::make_shared<FakeController>());
        components.back()->answerRecords({0, Variant(longRecord(units[i]))});
        list->Add(makeLock(QStringLiteral("L%1").arg(i), components.back()));
    }
    ScanRun scan(list);
    const auto received = listener.collect(7, 4000);
    QCOMPARE(received.size(), 7);
    for (int i = 0; i < received.size(); ++i) {
        QCOMPARE(received[i].first.size(), 22);
        QCOMPARE(int(received[i].first.at(3)), i % 3 + 1); // registry order, repeating
        // One device per step of at least 200 ms. A busy receiver may take one datagram late and the next
        // at once, so each gap only shows that there is a step at all, and the whole run shows its length.
        if (i > 0)
            QVERIFY2(received[i].second - received[i - 1].second >= 100,
                     qPrintable(QString::number(received[i].second - received[i - 1].second)));
    }
    const qint64 span = received.last().second - received.first().second;
    QVERIFY2(span >= (received.size() - 1) * 190, qPrintable(QString::number(span)));
    QCOMPARE(scan->LastResult(), 0);
}

void TestMonitor::lockRecordTexts_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<Variant>("record");
    QTest::addColumn<bool>("sent");
    QTest::newRow("short") << 0 << Variant(QStringLiteral("0A01020304")) << true;
    QTest::newRow("37 decodes") << 37 << Variant(longRecord()) << true;
    QTest::newRow("1A in pair 7") << 0 << Variant(QString(longRecord()).replace(12, 2, QStringLiteral("1A"))) << false;
    QTest::newRow("12 characters") << 0 << Variant(QStringLiteral("0A0102030405")) << false;
    QTest::newRow("empty") << 0 << Variant(QString()) << false;
    QTest::newRow("left empty") << 0 << Variant() << false;
    QTest::newRow("an integer") << 0 << Variant(int32_t(1234567890)) << true; // its text has 10 digits
    QTest::newRow("an array") << 0 << Variant(platform::VariantArray{Variant(1)}) << false;
}

void TestMonitor::lockRecordTexts() {
    QFETCH(int, code);
    QFETCH(Variant, record);
    QFETCH(bool, sent);
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto tested = std::make_shared<FakeController>();
    tested->answerRecords({code, record});
    const auto next = std::make_shared<FakeController>();
    next->answerRecords({0, Variant(longRecord(QStringLiteral("EEEEEEEE")))});
    list->Add(makeLock(QStringLiteral("T"), tested));
    list->Add(makeLock(QStringLiteral("N"), next));
    const auto echo = std::make_shared<FakeEchoState>();
    ScanRun scan(list, echoFrom(echo));
    // tested, next, tested, next: two visits of each
    const auto received = listener.collect(sent ? 4 : 2, 2000);
    scan.stop();
    int fromTested = 0;
    int fromNext = 0;
    for (const auto& [datagram, ms] : received)
        (uint8_t(datagram.at(3)) == 0xEE ? fromNext : fromTested)++;
    QCOMPARE(fromNext, 2); // the scan goes on with the next device either way
    QCOMPARE(fromTested, sent ? 2 : 0);
    QCOMPARE(echo->pings.load(), 0); // 0 and 37 are never pinged
    QCOMPARE(list->Count(), 2);
}

void TestMonitor::linkCheck_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("echo");
    QTest::addColumn<bool>("kept");
    QTest::newRow("5 with reply") << 5 << int(platform::EchoResult::Reply) << true;
    QTest::newRow("5 without reply") << 5 << int(platform::EchoResult::NoReply) << false;
    QTest::newRow("4 without reply") << 4 << int(platform::EchoResult::NoReply) << false;
    QTest::newRow("5, no ICMP rights") << 5 << int(platform::EchoResult::CouldNotCheck) << true;
    QTest::newRow("-1 with reply") << -1 << int(platform::EchoResult::Reply) << true;
}

void TestMonitor::linkCheck() {
    QFETCH(int, code);
    QFETCH(int, echo);
    QFETCH(bool, kept);
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    component->answerRecords({code, Variant(QStringLiteral("0A01020304"))});
    std::weak_ptr<TNetworkLock> device;
    {
        auto lock = makeLock(QStringLiteral("L"), component);
        device = lock;
        list->Add(lock);
    }
    const auto echoState = std::make_shared<FakeEchoState>();
    echoState->result = echo;
    ScanRun scan(list, echoFrom(echoState));
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(echoState->pings.load() == 1, 3000);
    QVERIFY(clock.elapsed() >= 1150); // a step and the second before the check
    if (kept) {
        // kept, active, and the record text still decoded and sent
        const auto datagram = listener.next(2000);
        QVERIFY(datagram);
        QCOMPARE(datagram->at(20), char(0x0A));
        QVERIFY(scan.stop());
        QCOMPARE(list->Count(), 1);
        QVERIFY(list->Items(0)->Active());
        QCOMPARE(component->closeCalls(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(list->Count(), 0, 1000);
        QVERIFY(scan.stop());
        QCOMPARE(component->closeCalls(), 1);
        QVERIFY(device.expired()); // freed: nothing else held it
        QVERIFY(!listener.next(100));
    }
}

void TestMonitor::removalWrapsScanPosition() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto first = std::make_shared<FakeController>();
    first->answerRecords({0, Variant(QStringLiteral("0001010101"))});
    const auto dead = std::make_shared<FakeController>();
    dead->answerRecords({5, Variant(QString())});
    list->Add(makeLock(QStringLiteral("first"), first));
    list->Add(makeLock(QStringLiteral("dead"), dead));
    const auto echoState = std::make_shared<FakeEchoState>();
    echoState->result = int(platform::EchoResult::NoReply);
    ScanRun scan(list, echoFrom(echoState));
    QTRY_COMPARE_WITH_TIMEOUT(list->Count(), 1, 4000);
    // The position passed the new end and wrapped: the first device comes next, and again after that.
    const auto received = listener.collect(3, 2000);
    QCOMPARE(received.size(), 3);
    QCOMPARE(first->recordCalls() >= 3, true);
    QCOMPARE(dead->recordCalls(), 1);
}

void TestMonitor::switchAnswers_data() {
    using SwitchAnswer = FakeController::SwitchAnswer;
    QTest::addColumn<QList<SwitchAnswer>>("answers");
    QTest::addColumn<int>("calls");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QByteArray>("card");
    const SwitchAnswer timedOut{4, Variant(), Variant(), Variant(), Variant(), Variant()};
    const SwitchAnswer ok{0, Variant(QStringLiteral("DEADBEEF")), Variant(1), Variant(0x1202), Variant(3), Variant(4)};
    QTest::newRow("4,4,0") << QList<SwitchAnswer>{timedOut, timedOut, ok} << 3 << 3 << true
                           << bytes({0xDE, 0xAD, 0xBE, 0xEF});
    QTest::newRow("4,4,4") << QList<SwitchAnswer>{timedOut, timedOut, timedOut} << 3 << 1 << false
                           << bytes({0, 0, 0, 0});
    SwitchAnswer answered37 = ok;
    answered37.code = 37;
    QTest::newRow("37") << QList<SwitchAnswer>{answered37} << 1 << 2 << true << bytes({0xDE, 0xAD, 0xBE, 0xEF});
    SwitchAnswer shortCard = ok;
    shortCard.cardNumber = Variant(int32_t(12345));
    QTest::newRow("card 12345") << QList<SwitchAnswer>{shortCard} << 1 << 3 << true << bytes({0, 0, 0, 0});
    SwitchAnswer arrayCard = ok;
    arrayCard.code = 9;
    arrayCard.cardNumber = Variant(platform::VariantArray{Variant(1)});
    QTest::newRow("card an array, code 9") << QList<SwitchAnswer>{arrayCard} << 1 << 3 << true << bytes({0, 0, 0, 0});
    SwitchAnswer longCard = ok;
    longCard.cardNumber = Variant(QStringLiteral("DEADBEEF0"));
    QTest::newRow("card of 9") << QList<SwitchAnswer>{longCard} << 1 << 3 << true << bytes({0, 0, 0, 0});
}

void TestMonitor::switchAnswers() {
    using SwitchAnswer = FakeController::SwitchAnswer;
    QFETCH(QList<SwitchAnswer>, answers);
    QFETCH(int, calls);
    QFETCH(int, status);
    QFETCH(bool, active);
    QFETCH(QByteArray, card);
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    const SwitchAnswer last = answers.last();
    answers.removeLast();
    component->answerSwitch(last, answers);
    const auto networkSwitch = makeSwitch(QStringLiteral("0A0B0C0D-rest"), component);
    list->Add(networkSwitch);
    ScanRun scan(list);
    const auto datagram = listener.next(2000);
    // Counted when the visit's datagram arrives: the next visit is a whole step away.
    const int callsOfTheVisit = component->switchCalls();
    QVERIFY(datagram);
    scan.stop();
    QCOMPARE(callsOfTheVisit, calls);
    QCOMPARE(datagram->size(), 16);
    QCOMPARE(datagram->mid(2, 4), bytes({0x0A, 0x0B, 0x0C, 0x0D}));
    QCOMPARE(datagram->mid(6, 4), card);
    QCOMPARE(int(datagram->at(13)), status);
    QCOMPARE(networkSwitch->Active(), active);
    QCOMPARE(networkSwitch->SwitchStatus().status, uint8_t(status));
    if (status != 1) // the low bytes of Circuitry1, Circuitry2, AlarmState, MCState
        QCOMPARE(datagram->mid(10, 5), bytes({1, 0x02, 4, status, 3}));
    else
        QCOMPARE(datagram->mid(10, 5), bytes({0, 0, 0, 1, 0}));
}

void TestMonitor::badSwitchTextsNeverStopTheScan() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    const FakeController::SwitchAnswer ok{
        0, Variant(QStringLiteral("DEADBEEF")), Variant(1), Variant(2), Variant(3), Variant(4)};
    component->answerSwitch(ok);
    const auto badCard = std::make_shared<FakeController>();
    auto badCardAnswer = ok;
    badCardAnswer.cardNumber = Variant(QStringLiteral("DEADBEEG"));
    badCard->answerSwitch(badCardAnswer);
    const auto badCircuit = std::make_shared<FakeController>();
    auto badCircuitAnswer = ok;
    badCircuitAnswer.circuitry1 = Variant(QStringLiteral("on"));
    badCircuit->answerSwitch(badCircuitAnswer);
    list->Add(makeSwitch(QStringLiteral("0A0B0C"), component)); // ID of 6 hex digits
    list->Add(makeSwitch(QStringLiteral("0A0B0C0D"), badCard));
    list->Add(makeSwitch(QStringLiteral("0A0B0C0E"), badCircuit));
    list->Add(makeSwitch(QStringLiteral("01020304"), component));
    ScanRun scan(list);
    const auto received = listener.collect(2, 3000);
    scan.stop();
    QCOMPARE(received.size(), 2);
    for (const auto& [datagram, ms] : received)
        QCOMPARE(datagram.mid(2, 4), bytes({1, 2, 3, 4})); // only the sound switch is relayed
    QVERIFY(badCard->switchCalls() >= 1);
    QVERIFY(badCircuit->switchCalls() >= 1);
}

void TestMonitor::componentFailureNeverStopsTheScan() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    auto broken = std::make_shared<TNetworkLock>(); // its connection holds no object
    broken->SetID(QStringLiteral("broken"));
    broken->SetActive(true);
    list->Add(broken);
    auto plain = std::make_shared<TDevice>(); // kind 1: passed over
    plain->SetID(QStringLiteral("plain"));
    plain->SetKind(kPlainDevice);
    plain->SetActive(true);
    list->Add(plain);
    const auto component = std::make_shared<FakeController>();
    component->answerRecords({0, Variant(QStringLiteral("0001020304"))});
    list->Add(makeLock(QStringLiteral("good"), component));
    const auto echoState = std::make_shared<FakeEchoState>();
    ScanRun scan(list, echoFrom(echoState));
    const auto received = listener.collect(2, 3000);
    QCOMPARE(received.size(), 2);
    QCOMPARE(list->Count(), 3);
    QCOMPARE(echoState->pings.load(), 0);
}

void TestMonitor::terminationWithEmptyRegistry() {
    const auto list = std::make_shared<TDeviceList>();
    ScanRun scan(list);
    QTRY_VERIFY_WITH_TIMEOUT(scan->Steps() >= 2, 2000);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(scan.stop(1000)); // the thread object freed itself
    QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
}

void TestMonitor::terminationDuringLinkCheck() {
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    component->answerRecords({5, Variant(QString())});
    list->Add(makeLock(QStringLiteral("L"), component));
    const auto echoState = std::make_shared<FakeEchoState>();
    echoState->result = int(platform::EchoResult::NoReply);
    ScanRun scan(list, echoFrom(echoState));
    QTRY_COMPARE_WITH_TIMEOUT(component->recordCalls(), 1, 2000);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(scan.stop(1000));
    QVERIFY(clock.elapsed() < 300);
    QCOMPARE(echoState->pings.load(), 0);
    QCOMPARE(list->Count(), 1); // not judged: the check was not made
    QCOMPARE(component->closeCalls(), 0);
}

void TestMonitor::suspendWaitsForTheStep() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    component->answerRecords({0, Variant(QStringLiteral("0001020304"))});
    std::atomic<bool> inCall{false};
    std::atomic<bool> release{false};
    component->duringRecordFetch([&] {
        inCall = true;
        for (int i = 0; i < 300 && !release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        inCall = false;
    });
    std::weak_ptr<TDevice> device;
    {
        auto lock = makeLock(QStringLiteral("L"), component);
        device = lock;
        list->Add(lock);
    }
    ScanRun scan(list);
    QTRY_VERIFY_WITH_TIMEOUT(inCall.load(), 2000);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        release = true;
    });
    QElapsedTimer clock;
    clock.start();
    scan->Suspend();
    const qint64 waited = clock.elapsed();
    releaser.join();
    QVERIFY(!inCall.load());
    QVERIFY2(waited >= 50, qPrintable(QString::number(waited))); // it waited for the call to end
    QVERIFY(scan->Suspended());
    list->Clear();                // what StopScanControl does next
    QVERIFY(device.expired());    // the thread holds nothing between steps
    QVERIFY(listener.next(1000)); // the visit that was under way finished
    const int calls = component->recordCalls();
    QTest::qWait(500);
    QCOMPARE(component->recordCalls(), calls); // polls nothing while suspended

    const auto again = std::make_shared<FakeController>();
    again->answerRecords({0, Variant(QStringLiteral("0001020304"))});
    list->Add(makeLock(QStringLiteral("L2"), again));
    scan->Resume();
    QTRY_VERIFY_WITH_TIMEOUT(again->recordCalls() >= 1, 2000);
}

void TestMonitor::deviceRemovedDuringItsVisit() {
    MonitorListener listener;
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    component->answerRecords({0, Variant(longRecord())});
    // Empties the registry from inside the call, as an unsynchronised StopScanControl would.
    component->duringRecordFetch([weak = std::weak_ptr<TDeviceList>(list)] {
        if (const auto registry = weak.lock())
            registry->Clear();
    });
    std::weak_ptr<TDevice> device;
    {
        auto lock = makeLock(QStringLiteral("L"), component);
        device = lock;
        list->Add(lock);
    }
    ScanRun scan(list);
    const auto datagram = listener.next(2000);
    QVERIFY(datagram); // built from the device that the thread still held, not from freed memory
    QCOMPARE(*datagram, lockDatagram(*decodeLockRecord(longRecord())));
    QTRY_VERIFY_WITH_TIMEOUT(device.expired(), 1000); // freed after the visit
    QCOMPARE(list->Count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(scan->Steps() >= 3, 2000); // and the scan idles on
}

void TestMonitor::registryOutlivesItsOwner() {
    MonitorListener listener;
    auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    component->answerRecords({0, Variant(QStringLiteral("0001020304"))});
    list->Add(makeLock(QStringLiteral("L"), component));
    const std::weak_ptr<TDeviceList> watch = list;
    ScanRun scan(list);
    scan->Terminate(); // the main window requests termination, then frees its registry at once
    list.reset();
    QVERIFY(scan.stop());
    QVERIFY(watch.expired()); // released with the thread's last step
}

void TestMonitor::neverStartedThreadStillEnds() {
    auto thread = TScanAllControls::create();
    const std::weak_ptr<TScanAllControls> watch = thread;
    thread->SetDeviceList(std::make_shared<TDeviceList>());
    QVERIFY(thread->Suspended());
    thread->Suspend(); // not started: returns at once
    thread->Terminate();
    QVERIFY(thread->WaitFinished(0));
    thread.reset();
    QVERIFY(watch.expired());

    // A running thread keeps its object until the procedure has ended, whoever lets go first.
    auto running = TScanAllControls::create();
    const std::weak_ptr<TScanAllControls> runningWatch = running;
    running->Resume();
    const std::weak_ptr<TScanAllControls> copy = running;
    running.reset();
    QVERIFY(!runningWatch.expired());
    copy.lock()->Terminate();
    QTRY_VERIFY_WITH_TIMEOUT(runningWatch.expired(), 2000);
}

void TestMonitor::echoLoopbackAndBadHosts() {
    platform::IcmpEcho echo;
    echo.setReceiveTimeout(kEchoTimeoutMs);
    const platform::EchoOutcome loopback = echo.ping(QStringLiteral("127.0.0.1"));
    if (loopback.result == platform::EchoResult::CouldNotCheck)
        QSKIP(qPrintable(QStringLiteral("no ICMP rights here: ") + loopback.detail));
    QCOMPARE(loopback.result, platform::EchoResult::Reply);
    QElapsedTimer clock;
    clock.start();
    for (const QString& host : {QString(), QStringLiteral("no such host.invalid"), QStringLiteral("300.1.1.1")})
        QCOMPARE(echo.ping(host).result, platform::EchoResult::NoReply);
    QVERIFY(clock.elapsed() < 3000);
}

void TestMonitor::echoThroughNamespace() {
    test::NetNamespace space;
    if (!space.ok())
        QSKIP(qPrintable(QStringLiteral("cannot make a network namespace: ") + space.error()));
    platform::IcmpEcho echo;
    echo.setReceiveTimeout(kEchoTimeoutMs);
    const platform::EchoOutcome up = echo.ping(space.peerAddress());
    if (up.result == platform::EchoResult::CouldNotCheck)
        QSKIP(qPrintable(QStringLiteral("no ICMP rights here: ") + up.detail));
    QCOMPARE(up.result, platform::EchoResult::Reply);
    QVERIFY(space.setPeerLink(false));
    QElapsedTimer clock;
    clock.start();
    const platform::EchoOutcome down = echo.ping(space.peerAddress());
    QCOMPARE(down.result, platform::EchoResult::NoReply);
    QVERIFY2(clock.elapsed() <= 1200, qPrintable(QString::number(clock.elapsed()))); // the 1000 ms time-out
}

void TestMonitor::linkCheckAgainstNamespace_data() {
    QTest::addColumn<bool>("linkUp");
    QTest::newRow("echo reply: kept") << true;
    QTest::newRow("link down: removed") << false;
}

void TestMonitor::linkCheckAgainstNamespace() {
    QFETCH(bool, linkUp);
    test::NetNamespace space;
    if (!space.ok())
        QSKIP(qPrintable(QStringLiteral("cannot make a network namespace: ") + space.error()));
    if (platform::IcmpEcho().ping(space.peerAddress()).result != platform::EchoResult::Reply)
        QSKIP("no echo through the namespace (no ICMP rights)");
    QVERIFY(space.setPeerLink(linkUp));
    const auto list = std::make_shared<TDeviceList>();
    const auto component = std::make_shared<FakeController>();
    component->answerRecords({5, Variant(QString())});
    list->Add(makeLock(QStringLiteral("L"), component, space.peerAddress()));
    ScanRun scan(list); // the real ICMP client
    if (linkUp) {
        QTRY_VERIFY_WITH_TIMEOUT(component->recordCalls() >= 2, 5000); // checked, kept, visited again
        QCOMPARE(list->Count(), 1);
        QCOMPARE(component->closeCalls(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(list->Count(), 0, 4000);
        QCOMPARE(component->closeCalls(), 1);
    }
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
