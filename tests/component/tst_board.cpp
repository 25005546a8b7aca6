// The lock-communication component driving door boards: against the simulator's boards over loopback
// UDP, what each mapped method leaves on the board, and the replies that must never be taken.
#include "BoardProtocol.h"
#include "ControllerProtocol.h"
#include "KestrovaAdapter.h"
#include "SimulatorThread.h"
#include "TestSupport.h"

#include <QDate>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace morvane;
using platform::Variant;
namespace st = ctrlproto::status;
namespace bp = boardproto;

using morvane::test::randomLoopback;

namespace {

const QString kBoardMac = QStringLiteral("00-12-23-34-45-56");
const QString kOtherBoardMac = QStringLiteral("00-12-23-34-45-57");
const QString kLockMac = QStringLiteral("00-1A-2B-3C-4D-01");
constexpr uint32_t kSerial = 405419896;
constexpr int kAttemptMs = 80;
constexpr int kAttempts = 2;
constexpr int kSlack = 250; // what a loaded machine may add to a time-out

// A UDP socket bound to ip:port for a board that the test plays itself.
} // namespace

class TestBoard : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    ctrlsim::SimulatorThread m_sim;
    QString m_ip;
    QString m_otherIp;

    Variant newLink() { return Variant(platform::createObject(QStringLiteral("KestrovaCom.TKestrova"))); }

    Variant connect(const QString& ip, const QString& mac, int32_t* status = nullptr) {
        Variant link = newLink();
        Variant mode(1);
        Variant ipValue(ip);
        Variant macValue(mac);
        const int32_t result = kestrova::COMifCreateNetworkConnection(link, mode, ipValue, macValue);
        if (status)
            *status = result;
        return link;
    }

    QJsonObject sim(QJsonObject message) {
        if (!message.contains(QStringLiteral("mac")))
            message.insert(QStringLiteral("mac"), kBoardMac);
        const QJsonObject reply = m_sim.command(message);
        if (!reply.value(QStringLiteral("ok")).toBool())
            qWarning("simulator: %s", QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
        return reply;
    }

    QJsonObject state() { return sim({{QStringLiteral("cmd"), QStringLiteral("state")}}); }
    QJsonObject doorState(int door) {
        return state().value(QStringLiteral("doorStates")).toArray().at(door - 1).toObject();
    }
    QStringList functionsLogged() {
        QStringList names;
        for (const QJsonValue& entry : m_sim.takeLog(kBoardMac))
            names.append(entry.toObject().value(QStringLiteral("method")).toString());
        return names;
    }

    int32_t addCard(const Variant& link, int32_t card, int32_t door, const Variant& password, int32_t userTime,
                    const Variant& end) {
        int32_t type = 0;
        int32_t mode = 0;
        int32_t deadbolt = 0;
        Variant pin = password;
        Variant begin(platform::VariantDate{platform::dateTimeToOleDate(QDateTime::currentDateTime())});
        Variant until = end;
        return kestrova::ComifAddCardNo(link, card, type, door, pin, mode, userTime, begin, until, deadbolt);
    }

private slots:
    void initTestCase() {
        m_env = std::make_unique<test::TestEnvironment>();
        qputenv("MORVANE_KESTROVA_TIMEOUT_MS", QByteArray::number(kAttemptMs));
        qputenv("MORVANE_KESTROVA_ATTEMPTS", QByteArray::number(kAttempts));
        QString failure;
        QVERIFY2(test::loadComponent(QStringLiteral(KESTROVA_LIBRARY), true, &failure), qPrintable(failure));
        m_ip = randomLoopback();
        do {
            m_otherIp = randomLoopback();
        } while (m_otherIp == m_ip);
        QJsonArray controllers;
        controllers.append(QJsonObject{{QStringLiteral("mac"), kBoardMac},
                                       {QStringLiteral("kind"), QStringLiteral("uhppote")},
                                       {QStringLiteral("serial"), static_cast<qint64>(kSerial)},
                                       {QStringLiteral("ip"), m_ip}});
        controllers.append(QJsonObject{{QStringLiteral("mac"), kLockMac}, {QStringLiteral("ip"), m_ip}});
        controllers.append(QJsonObject{{QStringLiteral("mac"), kOtherBoardMac},
                                       {QStringLiteral("kind"), QStringLiteral("uhppote")},
                                       {QStringLiteral("serial"), 303986753},
                                       {QStringLiteral("ip"), m_otherIp}});
        QString error;
        QVERIFY2(m_sim.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error), qPrintable(error));
    }

    void cleanupTestCase() {
        m_sim.stop();
        m_env.reset();
    }

    void init() {
        sim({{QStringLiteral("cmd"), QStringLiteral("unscript")}});
        m_sim.takeLog(kBoardMac);
        m_sim.takeLog(kLockMac);
    }

    void connection_data() {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mac");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("answers"); // whose log shows the open door that follows
        QTest::newRow("the board with its MAC") << m_ip << kBoardMac << 0 << kBoardMac;
        QTest::newRow("the board, MAC in another spelling")
            << m_ip << QStringLiteral("00:12:23:34:45:56") << 0 << kBoardMac;
        QTest::newRow("our controller on the same address") << m_ip << kLockMac << 0 << kLockMac;
        QTest::newRow("another board answers") << m_otherIp << kBoardMac << st::WrongController << QString();
        QTest::newRow("nobody there") << randomLoopback() << kBoardMac << st::NoReply << QString();
    }

    // One connection call finds a board or one of our controllers by the MAC that answers, within
    // the time-out; only a bound object sends commands, and to the one that answered.
    void connection() {
        QFETCH(QString, ip);
        QFETCH(QString, mac);
        QFETCH(int, expected);
        QFETCH(QString, answers);
        QElapsedTimer clock;
        clock.start();
        int32_t status = -1;
        Variant link = connect(ip, mac, &status);
        QCOMPARE(status, expected);
        QVERIFY(clock.elapsed() < kAttemptMs * kAttempts + kSlack);
        m_sim.takeLog(kBoardMac);
        m_sim.takeLog(kLockMac);
        int32_t door = 1;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), expected == 0 ? 0 : st::NotConnected);
        if (!answers.isEmpty())
            QCOMPARE(m_sim.takeLog(answers).size(), 1);
    }

    // Each method with a counterpart, read back from what the board stores.
    void doors() {
        Variant link = connect(m_ip, kBoardMac);
        const int before = doorState(2).value(QStringLiteral("opened")).toInt();
        int32_t door = 2;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), 0);
        QCOMPARE(doorState(2).value(QStringLiteral("opened")).toInt(), before + 1);
        door = 5;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), ctrlproto::controllerStatus::OutOfRange);

        door = 2;
        int32_t delay = 9;
        QCOMPARE(kestrova::ComifOpenDoorDelayTime(link, door, delay).toInt32(), 0);
        QCOMPARE(doorState(2).value(QStringLiteral("delay")).toInt(), 9);
        QCOMPARE(kestrova::ComifExigLongOpenDoor(link, door), 0);
        QCOMPARE(doorState(2).value(QStringLiteral("mode")).toInt(), bp::doorMode::NormallyOpen);
        QCOMPARE(doorState(2).value(QStringLiteral("delay")).toInt(), 9); // the delay stays
        Variant cardType(0);
        door = 3;
        QCOMPARE(kestrova::ComifExigLongCloseDoor(link, cardType, door), 0);
        QCOMPARE(doorState(3).value(QStringLiteral("mode")).toInt(), bp::doorMode::NormallyClosed);
        QCOMPARE(kestrova::ComifCancelAlarm(link), 0);
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(doorState(i).value(QStringLiteral("mode")).toInt(), bp::doorMode::Controlled);
        QCOMPARE(doorState(2).value(QStringLiteral("delay")).toInt(), 9);
        door = 2;
        delay = 256;
        QCOMPARE(kestrova::ComifOpenDoorDelayTime(link, door, delay).toInt32(), st::BadArgument);

        Variant master(QStringLiteral("111"));
        Variant common(222);
        Variant duress(QStringLiteral("333"));
        QCOMPARE(kestrova::ComifLoadPassword(link, master, common, duress), 0);
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(doorState(i).value(QStringLiteral("passcodes")).toArray(), (QJsonArray{111, 222, 333, 0}));
        Variant letters(QStringLiteral("12a"));
        QCOMPARE(kestrova::ComifLoadPassword(link, master, letters, duress), st::BadArgument);

        QCOMPARE(kestrova::COMifAdjustDateTime(link), 0);
        QCOMPARE(kestrova::TestControl(link), 0);
        Variant server(QStringLiteral("127.0.0.1"));
        Variant address(QStringLiteral("10.1.2.3"));
        Variant mask(QStringLiteral("255.255.0.0"));
        Variant gateway(QStringLiteral("10.1.0.1"));
        Variant port(60000);
        QCOMPARE(kestrova::ComifLoadLinkInfo(link, server, address, mask, gateway, port), 0);
        QTRY_COMPARE_WITH_TIMEOUT(state().value(QStringLiteral("address")).toString(), QStringLiteral("10.1.2.3"),
                                  2000);
        QCOMPARE(state().value(QStringLiteral("netmask")).toString(), QStringLiteral("255.255.0.0"));
    }

    // A second door's permission is added to the first, a time profile kept, and a delete removes it.
    void cards() {
        Variant link = connect(m_ip, kBoardMac);
        const Variant end(QStringLiteral("2030-12-31"));
        QCOMPARE(addCard(link, 100200, 1, Variant(QStringLiteral("1234")), 0, end), 0);
        QCOMPARE(addCard(link, 100200, 3, Variant(QStringLiteral("1234")), 7, end), 0);
        QJsonObject card;
        for (const QJsonValue& value : state().value(QStringLiteral("cards")).toArray()) {
            if (value.toObject().value(QStringLiteral("card")).toInt() == 100200)
                card = value.toObject();
        }
        QCOMPARE(card.value(QStringLiteral("doors")).toArray(), (QJsonArray{1, 0, 7, 0}));
        QCOMPARE(card.value(QStringLiteral("pin")).toInt(), 1234);
        QCOMPARE(card.value(QStringLiteral("start")).toString(), QDate::currentDate().toString(Qt::ISODate));
        QCOMPARE(card.value(QStringLiteral("end")).toString(), QStringLiteral("2030-12-31"));

        int32_t number = 100200;
        QCOMPARE(kestrova::ComifDeleteCardNo(link, number).toInt32(), 0);
        QCOMPARE(kestrova::ComifDeleteCardNo(link, number).toInt32(), ctrlproto::controllerStatus::NotFound);
        QVERIFY(state().value(QStringLiteral("cards")).toArray().isEmpty());
    }

    void refusedCards_data() {
        QTest::addColumn<int>("card");
        QTest::addColumn<int>("door");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("userTime");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("expected");
        QTest::newRow("card 0") << 0 << 1 << "" << 0 << "2030-01-01" << st::BadArgument;
        QTest::newRow("card 0xffffffff") << -1 << 1 << "" << 0 << "2030-01-01" << st::BadArgument;
        QTest::newRow("card 0x00ffffff") << 0x00ffffff << 1 << "" << 0 << "2030-01-01" << st::BadArgument;
        QTest::newRow("a seven-digit password") << 5 << 1 << "1234567" << 0 << "2030-01-01" << st::BadArgument;
        QTest::newRow("a password of letters") << 5 << 1 << "abcd" << 0 << "2030-01-01" << st::BadArgument;
        QTest::newRow("an end the BCD date cannot hold") << 5 << 1 << "" << 0 << "10000-01-01" << st::BadArgument;
        QTest::newRow("an end that is no date") << 5 << 1 << "" << 0 << "soon" << st::BadArgument;
        QTest::newRow("a time profile of 255") << 5 << 1 << "" << 255 << "2030-01-01" << st::BadArgument;
        QTest::newRow("door 0") << 5 << 0 << "" << 0 << "2030-01-01" << ctrlproto::controllerStatus::OutOfRange;
        QTest::newRow("door 5") << 5 << 5 << "" << 0 << "2030-01-01" << ctrlproto::controllerStatus::OutOfRange;
    }

    // Nothing the board would refuse or misread is sent at all.
    void refusedCards() {
        QFETCH(int, card);
        QFETCH(int, door);
        QFETCH(QString, password);
        QFETCH(int, userTime);
        QFETCH(QString, end);
        QFETCH(int, expected);
        Variant link = connect(m_ip, kBoardMac);
        m_sim.takeLog(kBoardMac);
        QCOMPARE(addCard(link, card, door, Variant(password), userTime, Variant(end)), expected);
        QCOMPARE(functionsLogged(), QStringList());
    }

    // Records are read in order over the board's read index, past an overwritten event, and re-read
    // from the first; the record is the 36-character form the scanning thread decodes.
    void records() {
        Variant link = connect(m_ip, kBoardMac);
        QCOMPARE(kestrova::ComifReadOldAllRecord(link), 0);
        const int already = state().value(QStringLiteral("events")).toInt();
        Variant record;
        while (already > 0 && kestrova::COMifReadRecord(link, record) == 0) {
        }
        sim({{QStringLiteral("cmd"), QStringLiteral("swipe")},
             {QStringLiteral("card"), 0x12AB34CD},
             {QStringLiteral("door"), 2}});
        sim({{QStringLiteral("cmd"), QStringLiteral("event")},
             {QStringLiteral("card"), 1},
             {QStringLiteral("type"), 255}});
        sim({{QStringLiteral("cmd"), QStringLiteral("event")},
             {QStringLiteral("card"), 4000000000.0},
             {QStringLiteral("door"), 4},
             {QStringLiteral("granted"), true}});
        int32_t count = -1;
        QCOMPARE(kestrova::COMifReadRecordCount(link, count), 0);
        QCOMPARE(count, 3);
        QCOMPARE(kestrova::COMifReadRecord(link, record), 0);
        const QString first = record.toText();
        QCOMPARE(first.size(), 36);
        QVERIFY2(first.startsWith(QStringLiteral("0112AB34CD0201")), qPrintable(first)); // door 2, refused
        QCOMPARE(first.mid(26, 2), QStringLiteral("00"));
        QCOMPARE(first.right(8), QStringLiteral("23344556"));
        QCOMPARE(QDateTime::fromString(QStringLiteral("20") + first.mid(14, 12), QStringLiteral("yyyyMMddHHmmss"))
                         .secsTo(QDateTime::currentDateTime()) < 60,
                 true);
        QCOMPARE(kestrova::COMifReadRecord(link, record), 0);
        QVERIFY2(record.toText().startsWith(QStringLiteral("01EE6B28000400")), qPrintable(record.toText()));
        QCOMPARE(kestrova::COMifReadRecord(link, record), ctrlproto::controllerStatus::NotFound);
        QCOMPARE(record.toText(), QString());
        QCOMPARE(kestrova::COMifReadRecordCount(link, count), 0);
        QCOMPARE(count, 0);
        QCOMPARE(kestrova::ComifReadOldAllRecord(link), 0);
        QCOMPARE(state().value(QStringLiteral("readIndex")).toInt(), 0);
        QCOMPARE(kestrova::COMifReadRecordCount(link, count), 0);
        QCOMPARE(count, already + 3);
    }

    // A slot the board answers with event index 0 holds nothing: the read moves on past it.
    void emptyEventSlot() {
        Variant link = connect(m_ip, kBoardMac);
        Variant record;
        for (int i = 0; i < 1000 && kestrova::COMifReadRecord(link, record) == 0; ++i) {
        }
        sim({{QStringLiteral("cmd"), QStringLiteral("swipe")}, {QStringLiteral("card"), 0x55}});
        sim({{QStringLiteral("cmd"), QStringLiteral("swipe")}, {QStringLiteral("card"), 0x56}});
        sim({{QStringLiteral("cmd"), QStringLiteral("script")},
             {QStringLiteral("function"), bp::fn::GetEvent},
             {QStringLiteral("reply"),
              QString::fromLatin1(
                  bp::reply(bp::fn::GetEvent, kSerial, {{QStringLiteral("index"), QStringLiteral("0")}}).toHex())}});
        QCOMPARE(kestrova::COMifReadRecord(link, record), 0);
        QCOMPARE(record.toText().mid(2, 8), QStringLiteral("00000056"));
        QCOMPARE(kestrova::COMifReadRecord(link, record), ctrlproto::controllerStatus::NotFound);
    }

    // Real-time monitoring hands each later swipe out once, in order, two between polls included.
    void realTime() {
        Variant link = connect(m_ip, kBoardMac);
        sim({{QStringLiteral("cmd"), QStringLiteral("swipe")}, {QStringLiteral("card"), 7}});
        QCOMPARE(kestrova::COMifBegRealTimeMonitor(link), 0);
        Variant record;
        QCOMPARE(kestrova::ComifGetRealTimeMonitorRecord(link, record), 0);
        QCOMPARE(record.toText(), QString()); // from before the monitoring began
        sim({{QStringLiteral("cmd"), QStringLiteral("swipe")}, {QStringLiteral("card"), 8}});
        sim({{QStringLiteral("cmd"), QStringLiteral("event")},
             {QStringLiteral("card"), 1},
             {QStringLiteral("type"), 255}});
        sim({{QStringLiteral("cmd"), QStringLiteral("swipe")},
             {QStringLiteral("card"), 9},
             {QStringLiteral("door"), 3}});
        QStringList seen;
        for (int poll = 0; poll < 4; ++poll) {
            QCOMPARE(kestrova::ComifGetRealTimeMonitorRecord(link, record), 0);
            seen.append(record.toText().left(14));
        }
        QCOMPARE(seen, (QStringList{QStringLiteral("01000000080101"), QString(), QStringLiteral("01000000090301"),
                                    QString()}));
    }

    void badReplies_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("expected");
        const QByteArray ok = bp::reply(bp::fn::OpenDoor, kSerial, {{QStringLiteral("ok"), QStringLiteral("true")}});
        QByteArray start19 = ok;
        start19[0] = static_cast<char>(bp::kEventStart);
        QTest::newRow("well formed") << ok << 0;
        QTest::newRow("start byte 0x19") << start19 << 0;
        QTest::newRow("the board did not open it")
            << bp::reply(bp::fn::OpenDoor, kSerial, {{QStringLiteral("ok"), QStringLiteral("false")}})
            << st::BoardRefused;
        QTest::newRow("63 bytes") << ok.left(63) << st::NoReply;
        QTest::newRow("65 bytes") << ok + '\x01' << st::NoReply;
        QTest::newRow("start byte 0x18") << QByteArray(ok).replace(0, 1, "\x18") << st::NoReply;
        QTest::newRow("another function")
            << bp::reply(bp::fn::DeleteCard, kSerial, {{QStringLiteral("ok"), QStringLiteral("true")}}) << st::NoReply;
        QTest::newRow("another serial number")
            << bp::reply(bp::fn::OpenDoor, kSerial + 1, {{QStringLiteral("ok"), QStringLiteral("true")}})
            << st::NoReply;
        QTest::newRow("garbage") << QByteArray(64, '\xff') << st::NoReply;
    }

    // A reply that is not this board's answer to this call is dropped and the wait goes on to its
    // time-out; nothing is taken for an answer that is not one.
    void badReplies() {
        QFETCH(QByteArray, reply);
        QFETCH(int, expected);
        Variant link = connect(m_ip, kBoardMac);
        sim({{QStringLiteral("cmd"), QStringLiteral("script")},
             {QStringLiteral("function"), bp::fn::OpenDoor},
             {QStringLiteral("reply"), QString::fromLatin1(reply.toHex())},
             {QStringLiteral("always"), true}});
        QElapsedTimer clock;
        clock.start();
        int32_t door = 1;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), expected);
        QVERIFY(clock.elapsed() < kAttemptMs * kAttempts + kSlack);
    }

    // An answer that comes after its call gave up is never taken for the next call's answer.
    void lateReply() {
        Variant link = connect(m_ip, kBoardMac);
        sim({{QStringLiteral("cmd"), QStringLiteral("delay")}, {QStringLiteral("ms"), kAttemptMs * kAttempts + 60}});
        int32_t door = 1;
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::NoReply);
        sim({{QStringLiteral("cmd"), QStringLiteral("delay")}, {QStringLiteral("ms"), 0}});
        sim({{QStringLiteral("cmd"), QStringLiteral("script")},
             {QStringLiteral("function"), bp::fn::OpenDoor},
             {QStringLiteral("reply"),
              QString::fromLatin1(
                  bp::reply(bp::fn::OpenDoor, kSerial, {{QStringLiteral("ok"), QStringLiteral("false")}}).toHex())}});
        QTest::qWait(2 * 60 + 40); // both late "ok" answers have arrived by now
        QCOMPARE(kestrova::ComifRmtOpenDoor(link, door), st::BoardRefused);
    }

    // A board's reply from another port of its address is not its reply.
    void replyFromAnotherAddress() {
        const QString ip = randomLoopback();
        const int board = test::boundUdpSocket(ip, bp::kPort);
        const int other = test::boundUdpSocket(ip, bp::kPort + 1);
        QVERIFY(board >= 0 && other >= 0);
        std::atomic<bool> done{false};
        std::thread player([&]() {
            char buffer[128];
            while (!done) {
                pollfd waiting{board, POLLIN, 0};
                if (::poll(&waiting, 1, 20) <= 0)
                    continue;
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t got =
                    ::recvfrom(board, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
                const auto header = bp::peekHeader(QByteArray(buffer, got > 0 ? static_cast<int>(got) : 0));
                if (!header)
                    continue;
                const QByteArray answer =
                    header->function == bp::fn::GetController
                        ? bp::reply(bp::fn::GetController, kSerial,
                                    {{QStringLiteral("macaddress"), QStringLiteral("00:12:23:34:45:56")},
                                     {QStringLiteral("version"), QStringLiteral("v8.92")},
                                     {QStringLiteral("date"), QStringLiteral("2018-11-05")}})
                        : bp::reply(header->function, kSerial, {{QStringLiteral("ok"), QStringLiteral("true")}});
                // The handshake comes back properly; every later answer from the neighbouring port.
                ::sendto(header->function == bp::fn::GetController ? board : other, answer.constData(),
                         static_cast<size_t>(answer.size()), 0, reinterpret_cast<const sockaddr*>(&from), length);
            }
        });
        int32_t status = -1;
        Variant link = connect(ip, kBoardMac, &status);
        int32_t door = 1;
        const int32_t opened = kestrova::ComifRmtOpenDoor(link, door);
        done = true;
        player.join();
        ::close(board);
        ::close(other);
        QCOMPARE(status, 0);
        QCOMPARE(opened, st::NoReply);
    }

    // One object called from three threads at once, as a client and the scanning thread do: every
    // call gets its own answer, and the monitoring hands each swipe out once.
    void concurrentCalls() {
        Variant link = connect(m_ip, kBoardMac);
        QCOMPARE(kestrova::COMifBegRealTimeMonitor(link), 0);
        constexpr int kCalls = 150;
        std::atomic<int> wrongOpen{0};
        std::atomic<int> wrongDelete{0};
        std::atomic<bool> stop{false};
        QStringList records;
        std::thread opener([&]() {
            for (int i = 0; i < kCalls; ++i) {
                int32_t door = 1 + i % 4;
                wrongOpen += kestrova::ComifRmtOpenDoor(link, door) != 0;
            }
        });
        std::thread deleter([&]() {
            for (int i = 0; i < kCalls; ++i) {
                int32_t card = 77000000 + i;
                wrongDelete +=
                    kestrova::ComifDeleteCardNo(link, card).toInt32() != ctrlproto::controllerStatus::NotFound;
            }
        });
        std::thread monitor([&]() {
            for (int poll = 0; poll < 20000 && (!stop || records.size() < 5); ++poll) {
                Variant record;
                if (kestrova::ComifGetRealTimeMonitorRecord(link, record) == 0 && !record.toText().isEmpty())
                    records.append(record.toText().mid(2, 8));
            }
        });
        for (int i = 0; i < 5; ++i)
            sim({{QStringLiteral("cmd"), QStringLiteral("swipe")}, {QStringLiteral("card"), 500 + i}});
        opener.join();
        deleter.join();
        stop = true;
        monitor.join();
        QCOMPARE(wrongOpen.load(), 0);
        QCOMPARE(wrongDelete.load(), 0);
        QCOMPARE(records,
                 (QStringList{QStringLiteral("000001F4"), QStringLiteral("000001F5"), QStringLiteral("000001F6"),
                              QStringLiteral("000001F7"), QStringLiteral("000001F8")}));
    }

    // Methods without a counterpart say so, and send nothing.
    void notOnBoard() {
        Variant link = connect(m_ip, kBoardMac);
        m_sim.takeLog(kBoardMac);
        Variant holiday(QStringLiteral("2024-12-25"));
        int32_t option = 1;
        Variant card;
        Variant a;
        Variant b;
        Variant c;
        Variant d;
        QCOMPARE(kestrova::ComifSetHoliday(link, holiday), st::NotOnBoard);
        QCOMPARE(kestrova::ComifCleHoliday(link), st::NotOnBoard);
        QCOMPARE(kestrova::ComifDataSaveMode(link, option), st::NotOnBoard);
        QCOMPARE(kestrova::ComifPreventReturn(link, option), st::NotOnBoard);
        QCOMPARE(kestrova::ComifReadDeviceInfo(link, card, a, b, c, d), st::NotOnBoard);
        QCOMPARE(functionsLogged(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestBoard)
#include "tst_board.moc"
