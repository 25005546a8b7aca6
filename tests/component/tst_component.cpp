// The lock-communication component driven through the server's adapters against the controller
// simulator, over real loopback UDP and a real pseudo-terminal.
#include "ControllerProtocol.h"
#include "KestrovaAdapter.h"
#include "SimulatorThread.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <QFile>

#include <arpa/inet.h>
#include <atomic>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace morvane;
using platform::Argument;
using platform::Arguments;
using platform::Variant;
using platform::VarType;
namespace st = ctrlproto::status;

using morvane::test::randomLoopback;

namespace {

const QString kLockMac = QStringLiteral("00-1A-2B-3C-4D-01");
const QString kOtherLockMac = QStringLiteral("00-1A-2B-3C-4D-02");
const QString kSwitchMac = QStringLiteral("00-1A-2B-3C-4D-10");
constexpr int kAttemptMs = 80;
constexpr int kAttempts = 2;

QJsonValue json(const Variant& value) {
    return ctrlproto::encodeVariant(value);
}

} // namespace

class TestComponent : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    ctrlsim::SimulatorThread m_sim;
    QString m_ip;
    QString m_otherIp;

    Variant newLink() { return Variant(platform::createObject(QStringLiteral("KestrovaCom.TKestrova"))); }

    Variant connectedLock() {
        Variant link = newLink();
        Variant mode(1);
        Variant ip(m_ip);
        Variant mac(kLockMac);
        const int32_t status = kestrova::COMifCreateNetworkConnection(link, mode, ip, mac);
        if (status != 0)
            qWarning("connection status %d", status);
        return link;
    }

    QJsonObject sim(QJsonObject message) {
        const QJsonObject reply = m_sim.command(message);
        if (!reply.value(QStringLiteral("ok")).toBool())
            qWarning("simulator: %s", QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
        return reply;
    }

    void script(const QString& mac, const QString& method, int status, QJsonObject outputs = {},
                QJsonValue result = QJsonValue(QJsonValue::Undefined)) {
        QJsonObject message{{QStringLiteral("cmd"), QStringLiteral("script")},
                            {QStringLiteral("mac"), mac},
                            {QStringLiteral("method"), method},
                            {QStringLiteral("status"), status},
                            {QStringLiteral("outputs"), outputs}};
        if (!result.isUndefined())
            message.insert(QStringLiteral("result"), result);
        sim(message);
    }

private slots:
    void initTestCase() {
        m_env = std::make_unique<test::TestEnvironment>();
        qputenv("MORVANE_KESTROVA_TIMEOUT_MS", QByteArray::number(kAttemptMs));
        qputenv("MORVANE_KESTROVA_ATTEMPTS", QByteArray::number(kAttempts));
        qputenv("MORVANE_KESTROVA_SERIAL_PATTERN", (m_env->path(QStringLiteral("ttyS{n-1}"))).toLocal8Bit());
        // Registered in-process (regsvr32 itself has its own tests): no child process under the sanitizer.
        QString failure;
        QVERIFY2(test::loadComponent(QStringLiteral(KESTROVA_LIBRARY), true, &failure), qPrintable(failure));

        m_ip = randomLoopback();
        do {
            m_otherIp = randomLoopback();
        } while (m_otherIp == m_ip);
        const QJsonObject config{
            {QStringLiteral("controllers"),
             QJsonArray{QJsonObject{{QStringLiteral("mac"), kLockMac},
                                    {QStringLiteral("ip"), m_ip},
                                    {QStringLiteral("port"), 2008},
                                    {QStringLiteral("doors"), 4}},
                        QJsonObject{{QStringLiteral("mac"), kOtherLockMac},
                                    {QStringLiteral("ip"), m_otherIp},
                                    {QStringLiteral("port"), 2008}},
                        QJsonObject{{QStringLiteral("mac"), kSwitchMac},
                                    {QStringLiteral("kind"), QStringLiteral("switch")},
                                    {QStringLiteral("link"), m_env->path(QStringLiteral("ttyS0"))}}}}};
        QString error;
        QVERIFY2(m_sim.start(config, &error), qPrintable(error));
    }

    void cleanupTestCase() {
        m_sim.stop();
        m_env.reset();
    }

    void init() {
        for (const QString& mac : {kLockMac, kOtherLockMac, kSwitchMac}) {
            sim({{QStringLiteral("cmd"), QStringLiteral("unscript")}, {QStringLiteral("mac"), mac}});
            sim({{QStringLiteral("cmd"), QStringLiteral("silent")},
                 {QStringLiteral("mac"), mac},
                 {QStringLiteral("on"), false}});
            sim({{QStringLiteral("cmd"), QStringLiteral("delay")},
                 {QStringLiteral("mac"), mac},
                 {QStringLiteral("ms"), 0}});
            m_sim.takeLog(mac);
        }
    }

    void connection_data() {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mac");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("reachesController");
        const QString ip = m_ip;
        QTest::newRow("the controller confirms its MAC") << ip << kLockMac << 2008 << 1 << 0 << true;
        QTest::newRow("MAC in another spelling") << ip << QStringLiteral("00:1a:2b:3c:4d:01") << 2008 << 1 << 0 << true;
        QTest::newRow("another controller answers")
            << m_otherIp << kLockMac << 2008 << 1 << st::WrongController << true;
        QTest::newRow("nobody at that address") << randomLoopback() << kLockMac << 2008 << 1 << st::NoReply << false;
        QTest::newRow("wrong port") << ip << kLockMac << 2009 << 1 << st::NoReply << false;
        QTest::newRow("empty MAC") << ip << QString() << 2008 << 1 << st::BadArgument << false;
        QTest::newRow("malformed MAC") << ip << QStringLiteral("00-1A-2B-3C-4D") << 2008 << 1 << st::BadArgument
                                       << false;
        QTest::newRow("MAC with a bad digit")
            << ip << QStringLiteral("00-1A-2B-3C-4D-0G") << 2008 << 1 << st::BadArgument << false;
        QTest::newRow("empty IP") << QString() << kLockMac << 2008 << 1 << st::BadArgument << false;
        QTest::newRow("malformed IP") << QStringLiteral("127.0.0") << kLockMac << 2008 << 1 << st::BadArgument << false;
        QTest::newRow("IP out of range") << QStringLiteral("127.0.0.300") << kLockMac << 2008 << 1 << st::BadArgument
                                         << false;
        QTest::newRow("port 0") << ip << kLockMac << 0 << 1 << st::BadArgument << false;
        QTest::newRow("unknown mode") << ip << kLockMac << 2008 << 7 << st::BadArgument << false;
    }

    void connection() {
        QFETCH(QString, ip);
        QFETCH(QString, mac);
        QFETCH(int, port);
        QFETCH(int, mode);
        QFETCH(int, expected);
        QFETCH(bool, reachesController);
        Variant link = newLink();
        Variant modeValue(mode);
        Variant ipValue(ip);
        Variant macValue(mac);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(kestrova::COMifCreateNetworkConnection(link, modeValue, ipValue, macValue, port, VarType::I4),
                 expected);
        QVERIFY2(clock.elapsed() < kAttemptMs * kAttempts + 200, "the connection waited longer than its time-out");
        const QJsonArray log = m_sim.takeLog(ip == m_otherIp ? kOtherLockMac : kLockMac);
        QCOMPARE(!log.isEmpty(), reachesController);
        if (reachesController) {
            const QJsonObject entry = log.first().toObject();
            QCOMPARE(entry.value(QStringLiteral("method")).toString(), QStringLiteral("COMifCreateConnection"));
            QCOMPARE(entry.value(QStringLiteral("args")).toArray(), (QJsonArray{mode, ip, mac, port}));
        }
        // Only a confirmed connection lets commands through.
        int32_t door = 1;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), expected == 0 ? 0 : st::NotConnected);
    }

    // Every method: its arguments reach the controller in order with their values, the outputs that
    // the controller writes come back into the by-reference arguments, a scripted status comes back.
    void everyMethodForwards() {
        Variant link = connectedLock();
        m_sim.takeLog(kLockMac);
        struct Case {
            const char* method;
            QJsonArray expectedArgs;
            std::function<int32_t()> call; // returns the status (or the variant result as int)
            std::function<bool()> outputsArrived;
        };
        int32_t i1 = 11, i2 = 12, i3 = 13, i4 = 14, i5 = 15, i6 = 16, i7 = 17;
        Variant v1(QStringLiteral("first")), v2(QStringLiteral("second")), v3(QStringLiteral("third")),
            v4(QStringLiteral("fourth")), v5(QStringLiteral("fifth"));
        Variant begin(platform::VariantDate{45000.5});
        Variant end(platform::VariantDate{45100.25});
        auto reset = [&]() {
            i1 = 11, i2 = 12, i3 = 13, i4 = 14, i5 = 15, i6 = 16, i7 = 17;
            v1 = Variant(QStringLiteral("first")), v2 = Variant(QStringLiteral("second")),
            v3 = Variant(QStringLiteral("third"));
            v4 = Variant(QStringLiteral("fourth")), v5 = Variant(QStringLiteral("fifth"));
        };
        const QList<Case> cases = {
            {"ComifOpenDoorDelayTime",
             {11, 12},
             [&] { return kestrova::ComifOpenDoorDelayTime(link, i1, i2).toInt32(); },
             [&] { return i1 == 901; }},
            {"ComifDataSaveMode",
             {11},
             [&] { return kestrova::ComifDataSaveMode(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifLoadPassword",
             {QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")},
             [&] { return kestrova::ComifLoadPassword(link, v1, v2, v3); },
             [&] { return v1 == Variant(901); }},
            {"ComifSetEachLock", {11}, [&] { return kestrova::ComifSetEachLock(link, i1); }, [&] { return i1 == 901; }},
            {"ComifInitializeControl",
             {11},
             [&] { return kestrova::ComifInitializeControl(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifRmtOpenDoor", {11}, [&] { return kestrova::ComifRmtOpenDoor(link, i1); }, [&] { return i1 == 901; }},
            {"ComifCleHoliday", {}, [&] { return kestrova::ComifCleHoliday(link); }, [] { return true; }},
            {"ComifSetHoliday",
             {QStringLiteral("first")},
             [&] { return kestrova::ComifSetHoliday(link, v1); },
             [&] { return v1 == Variant(901); }},
            {"ComifLoadOpenDoorTime",
             {11, 12, QStringLiteral("first")},
             [&] { return kestrova::ComifLoadOpenDoorTime(link, i1, i2, v1); },
             [&] { return i1 == 901; }},
            {"ComifLoadOpenDoorMode",
             {11, QStringLiteral("first")},
             [&] { return kestrova::ComifLoadOpenDoorMode(link, i1, v1).toInt32(); },
             [&] { return i1 == 901; }},
            {"ComifDeleteCardNo",
             {11},
             [&] { return kestrova::ComifDeleteCardNo(link, i1).toInt32(); },
             [&] { return i1 == 901; }},
            {"ComifReadOldAllRecord", {}, [&] { return kestrova::ComifReadOldAllRecord(link); }, [] { return true; }},
            {"ComifDoorAlarmState",
             {11},
             [&] { return kestrova::ComifDoorAlarmState(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifLoadMoreCardGroup",
             {11, 12},
             [&] { return kestrova::ComifLoadMoreCardGroup(link, i1, i2); },
             [&] { return i1 == 901; }},
            {"ComifExigLongOpenDoor",
             {11},
             [&] { return kestrova::ComifExigLongOpenDoor(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifLoadLinkInfo",
             {QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third"), QStringLiteral("fourth"),
              QStringLiteral("fifth")},
             [&] { return kestrova::ComifLoadLinkInfo(link, v1, v2, v3, v4, v5); },
             [&] { return v1 == Variant(901); }},
            {"ComifPreventReturn",
             {11},
             [&] { return kestrova::ComifPreventReturn(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifCheckDoorMagnetism",
             {11},
             [&] { return kestrova::ComifCheckDoorMagnetism(link, i1); },
             [&] { return i1 == 901; }},
            {"TestControl", {}, [&] { return kestrova::TestControl(link); }, [] { return true; }},
            {"ComifHostilityBrushCard",
             {11},
             [&] { return kestrova::ComifHostilityBrushCard(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifSetComputerAlarm",
             {11},
             [&] { return kestrova::ComifSetComputerAlarm(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifCancelAlarm", {}, [&] { return kestrova::ComifCancelAlarm(link); }, [] { return true; }},
            {"ComifExigLongCloseDoor",
             {QStringLiteral("first"), 11},
             [&] { return kestrova::ComifExigLongCloseDoor(link, v1, i1); },
             [&] { return v1 == Variant(901); }},
            {"ComifRmtOperatorPower",
             {11, 12},
             [&] { return kestrova::ComifRmtOperatorPower(link, i1, i2); },
             [&] { return i1 == 901; }},
            {"COMifBegRealTimeMonitor",
             {},
             [&] { return kestrova::COMifBegRealTimeMonitor(link); },
             [] { return true; }},
            {"COMifAdjustDateTime", {}, [&] { return kestrova::COMifAdjustDateTime(link); }, [] { return true; }},
            {"COMifReadRecord",
             {QStringLiteral("first")},
             [&] { return kestrova::COMifReadRecord(link, v1); },
             [&] { return v1 == Variant(901); }},
            {"COMifReadRecordCount",
             {11},
             [&] { return kestrova::COMifReadRecordCount(link, i1); },
             [&] { return i1 == 901; }},
            {"ComifGetRealTimeMonitorRecord",
             {QStringLiteral("first")},
             [&] { return kestrova::ComifGetRealTimeMonitorRecord(link, v1); },
             [&] { return v1 == Variant(901); }},
            {"ComifReadDeviceInfo",
             {11, 12, 13, 14, 15},
             [&] { return kestrova::ComifReadDeviceInfo(link, i1, i2, i3, i4, i5); },
             [&] { return i1 == 901; }},
            {"ComifAddCardNo",
             {11, 12, 13, QStringLiteral("first"), 14, 15, json(begin), json(end), 16},
             [&] { return kestrova::ComifAddCardNo(link, i1, i2, i3, v1, i4, i5, begin, end, i6); },
             [&] { return i1 == 901 && v1 == Variant(901); }},
        };
        Q_UNUSED(i7);
        for (const Case& c : cases) {
            const QString method = QLatin1String(c.method);
            reset();
            QJsonObject outputs;
            if (ctrlproto::findMethod(method)->paramCount > 0)
                outputs.insert(QStringLiteral("0"), 901);
            if (ctrlproto::findMethod(method)->paramCount > 3)
                outputs.insert(QStringLiteral("3"), 901);
            script(kLockMac, method, 57, outputs);
            int32_t status = 0;
            try {
                status = c.call();
            } catch (const platform::AutomationError& e) {
                QFAIL(qPrintable(method + QLatin1String(": ") + e.message()));
            }
            QCOMPARE(status, 57);
            const QJsonArray log = m_sim.takeLog(kLockMac);
            QVERIFY2(log.size() == 1, qPrintable(method));
            const QJsonObject entry = log.first().toObject();
            QCOMPARE(entry.value(QStringLiteral("method")).toString(), method);
            QVERIFY2(entry.value(QStringLiteral("args")).toArray() == c.expectedArgs,
                     qPrintable(method + QLatin1String(": ") +
                                QString::fromUtf8(QJsonDocument(entry.value(QStringLiteral("args")).toArray())
                                                      .toJson(QJsonDocument::Compact))));
            QVERIFY2(c.outputsArrived(), qPrintable(method + QLatin1String(": outputs not written back")));
        }
    }

    void variantResultsPassThrough() {
        Variant link = connectedLock();
        int32_t door = 1, seconds = 5, card = 7;
        Variant mode(QStringLiteral("m"));
        script(kLockMac, QStringLiteral("ComifOpenDoorDelayTime"), 0, {}, QStringLiteral("delay set"));
        QCOMPARE(kestrova::ComifOpenDoorDelayTime(link, door, seconds), Variant(QStringLiteral("delay set")));
        script(kLockMac, QStringLiteral("ComifLoadOpenDoorMode"), 3, {},
               QJsonObject{{QStringLiteral("vt"), QStringLiteral("r8")}, {QStringLiteral("value"), 2.5}});
        QCOMPARE(kestrova::ComifLoadOpenDoorMode(link, door, mode), Variant(2.5));
        // Without a result of its own the controller's status is the result.
        QCOMPARE(kestrova::ComifDeleteCardNo(link, card), Variant(ctrlproto::controllerStatus::NotFound));
    }

    void controllerBehaviour() {
        Variant link = connectedLock();
        int32_t card = 4711, type = 1, door = 2, mode = 0, userTime = 3, deadbolt = 0;
        Variant password(QStringLiteral("1234"));
        Variant begin(platform::VariantDate{45000.0});
        Variant end(platform::VariantDate{46000.0});
        QCOMPARE(kestrova::ComifAddCardNo(link, card, type, door, password, mode, userTime, begin, end, deadbolt), 0);
        QCOMPARE(kestrova::ComifDeleteCardNo(link, card), Variant(0));
        QCOMPARE(kestrova::ComifDeleteCardNo(link, card), Variant(ctrlproto::controllerStatus::NotFound));
        int32_t badDoor = 9;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, badDoor), ctrlproto::controllerStatus::OutOfRange);
        QCOMPARE(kestrova::COMifAdjustDateTime(link), 0);
        const QJsonObject state =
            sim({{QStringLiteral("cmd"), QStringLiteral("state")}, {QStringLiteral("mac"), kLockMac}});
        const double clock = state.value(QStringLiteral("clock")).toDouble();
        QVERIFY(std::abs(clock - platform::dateTimeToOleDate(QDateTime::currentDateTime())) < 10.0 / 86400);

        // Records: swipes are stored, counted, read once, and read again after ComifReadOldAllRecord.
        int32_t count = -1;
        QCOMPARE(kestrova::COMifReadRecordCount(link, count), 0);
        while (count-- > 0) {
            Variant drained;
            kestrova::COMifReadRecord(link, drained);
        }
        const QString swiped = sim({{QStringLiteral("cmd"), QStringLiteral("swipe")},
                                    {QStringLiteral("mac"), kLockMac},
                                    {QStringLiteral("card"), 255},
                                    {QStringLiteral("door"), 3}})
                                   .value(QStringLiteral("record"))
                                   .toString();
        QCOMPARE(swiped.size(), 36);
        QVERIFY(swiped.startsWith(QStringLiteral("01000000FF0301")));
        QCOMPARE(kestrova::COMifReadRecordCount(link, count), 0);
        QCOMPARE(count, 1);
        Variant record;
        QCOMPARE(kestrova::COMifReadRecord(link, record), 0);
        QCOMPARE(record, Variant(swiped));
        QCOMPARE(kestrova::COMifReadRecord(link, record), ctrlproto::controllerStatus::NotFound);
        QCOMPARE(kestrova::ComifReadOldAllRecord(link), 0);
        QCOMPARE(kestrova::COMifReadRecordCount(link, count), 0);
        QVERIFY(count >= 1);

        // Real-time records: any text, handed out once each, in order, then an empty text.
        Variant realTime;
        while (kestrova::ComifGetRealTimeMonitorRecord(link, realTime) == 0 && !realTime.toText().isEmpty()) {
        }
        const QStringList texts{QStringLiteral("0A01020304"), QStringLiteral("01020304050607080910111213141516171A"),
                                QStringLiteral("0G"), QString(12, QLatin1Char('1'))};
        sim({{QStringLiteral("cmd"), QStringLiteral("realtime")},
             {QStringLiteral("mac"), kLockMac},
             {QStringLiteral("records"), QJsonArray::fromStringList(texts)}});
        for (const QString& text : texts) {
            realTime = Variant();
            QCOMPARE(kestrova::ComifGetRealTimeMonitorRecord(link, realTime), 0);
            QCOMPARE(realTime, Variant(text));
        }
        QCOMPARE(kestrova::ComifGetRealTimeMonitorRecord(link, realTime), 0);
        QCOMPARE(realTime, Variant(QString()));
    }

    void timeOutsAndLateReplies() {
        Variant link = connectedLock();
        int32_t door = 1;
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")},
             {QStringLiteral("mac"), kLockMac},
             {QStringLiteral("on"), true}});
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::NoReply);
        const qint64 waited = clock.elapsed();
        QVERIFY2(waited >= kAttemptMs * kAttempts - 5 && waited < kAttemptMs * kAttempts + 100,
                 qPrintable(QString::number(waited)));

        // Coming back: the next call is answered.
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")},
             {QStringLiteral("mac"), kLockMac},
             {QStringLiteral("on"), false}});
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), 0);

        // A reply that comes after the time-out is never taken for the next call's.
        sim({{QStringLiteral("cmd"), QStringLiteral("delay")},
             {QStringLiteral("mac"), kLockMac},
             {QStringLiteral("ms"), kAttemptMs * kAttempts + 60}});
        script(kLockMac, QStringLiteral("ComifRmtOpenDoor"), 41);
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::NoReply);
        sim({{QStringLiteral("cmd"), QStringLiteral("delay")},
             {QStringLiteral("mac"), kLockMac},
             {QStringLiteral("ms"), 0}});
        script(kLockMac, QStringLiteral("ComifRmtOpenDoor"), 42);
        QTest::qWait(40); // the late reply is on its way now
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), 42);
        QTest::qWait(100);
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), 0);

        // The time-out per object.
        Arguments args{Argument::byValue(Variant(30)), Argument::byValue(Variant(1))};
        QCOMPARE(platform::callMethod(link, QStringLiteral("ComifSetTimeOut"), args), Variant(0));
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")},
             {QStringLiteral("mac"), kLockMac},
             {QStringLiteral("on"), true}});
        clock.restart();
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::NoReply);
        QVERIFY(clock.elapsed() < 30 + 60);
    }

    // A controller that sends garbage, short frames, replies with the wrong sequence number and replies
    // from another address before the right one: only the right reply counts.
    void strayDatagramsAreIgnored() {
        const QString ip = randomLoopback();
        const int controller = test::boundUdpSocket(ip, 2008);
        const int impostor = test::boundUdpSocket(ip, 2010);
        QVERIFY(controller >= 0 && impostor >= 0);
        std::atomic<bool> stop{false};
        std::thread fake([&]() {
            char buffer[9000];
            while (!stop) {
                pollfd waiting{controller, POLLIN, 0};
                if (::poll(&waiting, 1, 50) <= 0)
                    continue;
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t got =
                    ::recvfrom(controller, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (got <= 0)
                    continue;
                const auto request = ctrlproto::decodeRequest(QByteArray(buffer, static_cast<int>(got)));
                if (!request)
                    continue;
                auto send = [&](int fd, const QByteArray& bytes) {
                    ::sendto(fd, bytes.constData(), static_cast<size_t>(bytes.size()), 0,
                             reinterpret_cast<sockaddr*>(&from), length);
                };
                ctrlproto::Reply reply;
                reply.session = request->session;
                reply.sequence = request->sequence;
                reply.mac = kLockMac;
                reply.status = request->method == QLatin1String("COMifCreateConnection") ? 0 : 7;
                send(controller, QByteArrayLiteral("garbage \x01\x02"));
                send(controller, QByteArrayLiteral("{\"k\":\"KV1\""));
                send(controller, QByteArray());
                ctrlproto::Reply wrong = reply;
                wrong.sequence += 1;
                wrong.status = 99;
                send(controller, ctrlproto::encodeReply(wrong));
                wrong = reply;
                wrong.session += 1;
                wrong.status = 98;
                send(controller, ctrlproto::encodeReply(wrong));
                wrong = reply;
                wrong.status = 97;
                send(impostor, ctrlproto::encodeReply(wrong));
                if (reply.status != 0) {
                    // (A handshake answered with another MAC is a wrong controller: not sent there.)
                    wrong.mac = kOtherLockMac;
                    wrong.status = 96;
                    send(controller, ctrlproto::encodeReply(wrong));
                }
                send(controller, ctrlproto::encodeReply(reply));
            }
        });
        Variant link = newLink();
        Variant mode(1), ipValue(ip), mac(kLockMac);
        const int32_t connected = kestrova::COMifCreateNetworkConnection(link, mode, ipValue, mac);
        int32_t door = 1;
        const int32_t opened = kestrova::ComifRmtOpenDoor(link, door);
        stop = true;
        fake.join();
        ::close(controller);
        ::close(impostor);
        QCOMPARE(connected, 0);
        QCOMPARE(opened, 7);
    }

    // One object used from two threads at once: each call gets its own reply.
    void concurrentCallsKeepTheirReplies() {
        Variant link = connectedLock();
        std::atomic<int> mismatches{0};
        std::atomic<int> calls{0};
        auto worker = [&](int32_t door, int32_t expected) {
            for (int i = 0; i < 300; ++i) {
                int32_t value = door;
                if (kestrova::ComifRmtOpenDoor(link, value) != expected)
                    ++mismatches;
                ++calls;
            }
        };
        std::thread inRange(worker, 1, 0);
        std::thread outOfRange(worker, 9, ctrlproto::controllerStatus::OutOfRange);
        inRange.join();
        outOfRange.join();
        QCOMPARE(calls.load(), 600);
        QCOMPARE(mismatches.load(), 0);
    }

    // Many objects against many controllers at once: no reply lost, none given to another call.
    void manyObjectsOnManyControllers() {
        constexpr int kControllers = 20;
        constexpr int kCalls = 50;
        ctrlsim::SimulatorThread many;
        const QString base = randomLoopback().section(QLatin1Char('.'), 0, 2);
        auto macOf = [](int i) {
            return QStringLiteral("02-00-00-00-01-%1").arg(i, 2, 16, QLatin1Char('0')).toUpper();
        };
        auto ipOf = [&](int i) -> QString { return base + QLatin1Char('.') + QString::number(i + 1); };
        QJsonArray controllers;
        for (int i = 0; i < kControllers; ++i)
            controllers.append(QJsonObject{{QStringLiteral("mac"), macOf(i)}, {QStringLiteral("ip"), ipOf(i)}});
        QString error;
        QVERIFY2(many.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error), qPrintable(error));
        std::vector<Variant> links;
        for (int i = 0; i < kControllers; ++i) {
            links.push_back(newLink());
            // A generous time-out: here only a lost or mismatched reply is a fault, not a slow machine.
            Arguments timeout{Argument::byValue(Variant(1000)), Argument::byValue(Variant(3))};
            platform::callMethod(links.back(), QStringLiteral("ComifSetTimeOut"), timeout);
            Variant mode(1), ip(ipOf(i)), mac(macOf(i));
            QCOMPARE(kestrova::COMifCreateNetworkConnection(links.back(), mode, ip, mac), 0);
        }
        std::atomic<int> faults{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < kControllers; ++i) {
            workers.emplace_back([&, i]() {
                for (int c = 0; c < kCalls; ++c) {
                    int32_t door = c % 2 == 0 ? 1 : 9;
                    if (kestrova::ComifRmtOpenDoor(links[static_cast<size_t>(i)], door) != (c % 2 == 0 ? 0 : 2))
                        ++faults;
                }
            });
        }
        for (auto& worker : workers)
            worker.join();
        QCOMPARE(faults.load(), 0);
        // Each controller saw exactly its own object's calls.
        const QJsonArray log =
            many.command({{QStringLiteral("cmd"), QStringLiteral("log")}}).value(QStringLiteral("log")).toArray();
        QCOMPARE(log.size(), kControllers * (kCalls + 1));
    }

    void udpLinkInfoOnAnUnconnectedObject() {
        Variant link = newLink();
        Variant mac(kLockMac), server(QStringLiteral("127.0.0.1")), control(m_ip), mask(QStringLiteral("255.0.0.0")),
            gateway(QStringLiteral("127.0.0.254"));
        QCOMPARE(kestrova::ComifSetUDPLinkInfo(link, mac, server, control, mask, gateway), 0);
        const QJsonObject info =
            sim({{QStringLiteral("cmd"), QStringLiteral("state")}, {QStringLiteral("mac"), kLockMac}})
                .value(QStringLiteral("linkInfo"))
                .toObject();
        QCOMPARE(info.value(QStringLiteral("serverIp")).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(info.value(QStringLiteral("subnetMask")).toString(), QStringLiteral("255.0.0.0"));
        QCOMPARE(info.value(QStringLiteral("port")).toString(), QStringLiteral("2008"));
        Variant badMac(QStringLiteral("nope"));
        QCOMPARE(kestrova::ComifSetUDPLinkInfo(link, badMac, server, control, mask, gateway), st::BadArgument);
        // The object stays unconnected.
        int32_t door = 1;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::NotConnected);
    }

    void serialSwitch() {
        Variant link = newLink();
        Variant handle;
        QCOMPARE(kestrova::ComifSerialPortHandle(link, handle, 9), st::NoPort);
        QCOMPARE(handle, Variant(0));
        QCOMPARE(kestrova::ComifSerialPortHandle(link, handle, 1), 0);
        QVERIFY(handle.toInt32() != 0);
        Variant again;
        QCOMPARE(kestrova::ComifSerialPortHandle(newLink(), again, 1), 0);
        QCOMPARE(again, handle);

        Variant mode(3), mac(kSwitchMac);
        Variant noHandle(12345);
        QCOMPARE(kestrova::COMifCreateSerialConnection(link, mode, mac, noHandle), st::NoPort);
        QCOMPARE(kestrova::COMifCreateSerialConnection(link, mode, mac, handle), 0);
        QJsonArray log = m_sim.takeLog(kSwitchMac);
        QCOMPARE(log.size(), 1);
        QCOMPARE(log.first().toObject().value(QStringLiteral("args")).toArray(),
                 (QJsonArray{3, QString(), kSwitchMac, handle.toInt32()}));

        // The switch answers 4, 4, 0 and then its values.
        sim({{QStringLiteral("cmd"), QStringLiteral("switch")},
             {QStringLiteral("mac"), kSwitchMac},
             {QStringLiteral("statuses"), QJsonArray{4, 4, 0}},
             {QStringLiteral("card"), QStringLiteral("12AB34CD")},
             {QStringLiteral("circuitry1"), 1},
             {QStringLiteral("circuitry2"), 0},
             {QStringLiteral("mcState"), 2},
             {QStringLiteral("alarmState"), 5}});
        Variant card, c1, c2, mc, alarm;
        QCOMPARE(kestrova::ComifReadDeviceInfo(link, card, c1, c2, mc, alarm), 4);
        QCOMPARE(kestrova::ComifReadDeviceInfo(link, card, c1, c2, mc, alarm), 4);
        QCOMPARE(kestrova::ComifReadDeviceInfo(link, card, c1, c2, mc, alarm), 0);
        QCOMPARE(card, Variant(QStringLiteral("12AB34CD")));
        QCOMPARE(c1, Variant(1));
        QCOMPARE(mc, Variant(2));
        QCOMPARE(alarm, Variant(5));

        // Through int32 references (the client's form) the card is the number its digits spell.
        for (const auto& [digits, number] : {std::pair{"12AB34CD", 313210061}, {"00001234", 4660}, {"FFFFFFFE", -2}}) {
            sim({{QStringLiteral("cmd"), QStringLiteral("switch")},
                 {QStringLiteral("mac"), kSwitchMac},
                 {QStringLiteral("card"), QLatin1String(digits)}});
            int32_t cardNumber = 0, circuit1 = 0, circuit2 = 0, mcState = 0, alarmState = 0;
            QCOMPARE(kestrova::ComifReadDeviceInfo(link, cardNumber, circuit1, circuit2, mcState, alarmState), 0);
            QCOMPARE(cardNumber, number);
            QCOMPARE(circuit1, 1);
            QCOMPARE(alarmState, 5);
        }

        // The BegScanControl form: texts by reference.
        Variant scanMode(3);
        QString ipText, macText = kSwitchMac;
        QCOMPARE(kestrova::COMifCreateSerialConnection(newLink(), scanMode, ipText, macText, handle), 0);

        // Two threads on one line: every exchange is answered or told the line is busy, never mismatched.
        std::atomic<int> wrong{0};
        auto worker = [&](int32_t door, int32_t expected) {
            for (int i = 0; i < 100; ++i) {
                int32_t value = door;
                const int32_t result = kestrova::ComifRmtOpenDoor(link, value);
                if (result != expected && result != st::LineBusy)
                    ++wrong;
            }
        };
        std::thread a(worker, 1, 0), b(worker, 9, ctrlproto::controllerStatus::OutOfRange);
        a.join();
        b.join();
        QCOMPARE(wrong.load(), 0);

        // A reply that comes after the time-out is not taken for the next call's.
        sim({{QStringLiteral("cmd"), QStringLiteral("delay")},
             {QStringLiteral("mac"), kSwitchMac},
             {QStringLiteral("ms"), kAttemptMs * kAttempts + 60}});
        script(kSwitchMac, QStringLiteral("ComifRmtOpenDoor"), 41);
        int32_t late = 1;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, late), st::NoReply);
        sim({{QStringLiteral("cmd"), QStringLiteral("delay")},
             {QStringLiteral("mac"), kSwitchMac},
             {QStringLiteral("ms"), 0}});
        script(kSwitchMac, QStringLiteral("ComifRmtOpenDoor"), 42);
        QTest::qWait(40);
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, late), 42);

        // A silent switch times out; a line that closes mid-exchange ends the call at once.
        sim({{QStringLiteral("cmd"), QStringLiteral("silent")},
             {QStringLiteral("mac"), kSwitchMac},
             {QStringLiteral("on"), true}});
        int32_t door = 1;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::NoReply);
        // A switch's poll is told to ask again instead, so that the scan's attempts can run out.
        QCOMPARE(kestrova::ComifReadDeviceInfo(link, card, c1, c2, mc, alarm), st::LineBusy);
        std::atomic<int32_t> result{-1};
        QElapsedTimer clock;
        clock.start();
        std::thread caller([&]() {
            int32_t value = 1;
            result = kestrova::ComifRmtOpenDoor(link, value);
        });
        QTest::qWait(30);
        sim({{QStringLiteral("cmd"), QStringLiteral("hangup")}, {QStringLiteral("mac"), kSwitchMac}});
        caller.join();
        QCOMPARE(result.load(), st::LineError);
        QVERIFY(clock.elapsed() < kAttemptMs * kAttempts);
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::LineError);
        QCOMPARE(kestrova::ComifReadDeviceInfo(link, card, c1, c2, mc, alarm), st::LineBusy);
        // The port is gone with the line: no handle for it now.
        Variant gone;
        QCOMPARE(kestrova::ComifSerialPortHandle(link, gone, 1), st::NoPort);
    }

    // A line that carries noise, half frames, replies to other requests and late replies: only the
    // request's own reply counts.
    void noisySerialLine() {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        char name[128] = {};
        QVERIFY(::ptsname_r(master, name, sizeof name) == 0);
        const QString link = m_env->path(QStringLiteral("ttyS4"));
        QVERIFY(QFile::link(QString::fromLocal8Bit(name), link));
        std::atomic<bool> stop{false};
        std::atomic<int> requests{0};
        std::thread fake([&]() {
            QByteArray pending;
            while (!stop) {
                pollfd waiting{master, POLLIN, 0};
                if (::poll(&waiting, 1, 20) <= 0)
                    continue;
                char chunk[4096];
                const ssize_t got = ::read(master, chunk, sizeof chunk);
                if (got <= 0)
                    continue;
                pending.append(chunk, static_cast<int>(got));
                qsizetype end;
                while ((end = pending.indexOf('\n')) >= 0) {
                    const auto request = ctrlproto::decodeRequest(pending.left(end));
                    pending.remove(0, end + 1);
                    if (!request)
                        continue;
                    ++requests;
                    ctrlproto::Reply reply;
                    reply.session = request->session;
                    reply.sequence = request->sequence;
                    reply.mac = kSwitchMac;
                    reply.status = request->method == QLatin1String("COMifCreateConnection") ? 0 : 7;
                    ctrlproto::Reply stale = reply;
                    stale.sequence -= 1;
                    stale.status = 99;
                    QByteArray out = "\x01\x02 line noise\n{\"k\":\"KV1\",\"t\":\"rep\"\n\n" +
                                     ctrlproto::encodeReply(stale) + '\n' + ctrlproto::encodeReply(reply).left(20);
                    (void)::write(master, out.constData(), static_cast<size_t>(out.size()));
                    out = ctrlproto::encodeReply(reply).mid(20) + '\n';
                    (void)::write(master, out.constData(), static_cast<size_t>(out.size()));
                }
            }
        });
        Variant link5 = newLink();
        Variant handle;
        const int32_t opened = kestrova::ComifSerialPortHandle(link5, handle, 5);
        Variant mode(2), mac(kSwitchMac);
        const int32_t connected = kestrova::COMifCreateSerialConnection(link5, mode, mac, handle);
        int32_t door = 1;
        const int32_t first = kestrova::ComifRmtOpenDoor(link5, door);
        const int32_t second = kestrova::ComifRmtOpenDoor(link5, door);
        stop = true;
        fake.join();
        ::close(master);
        QFile::remove(link);
        QCOMPARE(opened, 0);
        QCOMPARE(connected, 0);
        QCOMPARE(first, 7);
        QCOMPARE(second, 7);
        QCOMPARE(requests.load(), 3);
    }

    void badArgumentsAreStatuses() {
        Variant link = newLink();
        Variant object(std::static_pointer_cast<platform::IDispatchObject>(
            platform::createObject(QStringLiteral("KestrovaCom.TKestrova"))));
        Variant mac(kLockMac), ip(m_ip);
        // A mode that is no number, an object for an IP: statuses, not failures.
        Variant textMode(QStringLiteral("network"));
        QCOMPARE(kestrova::COMifCreateNetworkConnection(link, textMode, ip, mac), st::BadArgument);
        Variant mode(1);
        QCOMPARE(kestrova::COMifCreateNetworkConnection(link, mode, object, mac), st::BadArgument);
        // The wrong number of arguments is a failure of the call itself.
        QVERIFY_THROWS_EXCEPTION(platform::AutomationError,
                                 platform::callMethod(link, QStringLiteral("ComifRmtOpenDoor")));
        Variant handle;
        Variant textPort(QStringLiteral("one"));
        Arguments args{Argument::byRef(handle), Argument::byValue(textPort)};
        QCOMPARE(platform::callMethod(link, QStringLiteral("ComifSerialPortHandle"), args), Variant(st::BadArgument));
    }
};

QTEST_GUILESS_MAIN(TestComponent)
#include "tst_component.moc"
