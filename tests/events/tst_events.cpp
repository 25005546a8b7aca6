// The event stream through the wire: swipes of the controller simulator and the clients' own commands
// pushed to subscribers over TCP and WebSocket, in order and numbered; a resume after a dropped connection
// and after a restart of the application server; refused subscriptions; and a subscriber that never reads.
// Beside them, the doors' states read from the devices of the device table.
#include "DoorStates.h"
#include "EventStream.h"
#include "JsonRpc.h"
#include "LocalServer.h"
#include "RemoteClient.h"
#include "SimulatorThread.h"
#include "TestSupport.h"
#include "WireClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <numeric>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace morvane;
using test::bin;
using test::listenerPid;
using test::waitGone;
namespace hr = platform::hr;
namespace rpc = platform::rpc;

namespace {

const QString kLockMac = QStringLiteral("00-1A-2B-3C-4D-01");
const QString kBoardMac = QStringLiteral("00-1A-2B-3C-4D-02");
const QString kRmtserver = QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}");
// Small queues, so that a subscriber that never reads fills its own soon; a small ring, so that it moves on.
const QByteArray kSystemInfo =
    "[Device]\r\nport=0\r\n[System]\r\nComVersion=1\r\n[DataBase]\r\nProvider=SQLite\r\n"
    "ConnectMode=1\r\nDataBaseName=events.db\r\n[Events]\r\nRingEvents=1000\r\nQueueEvents=2000\r\n"
    "QueueBytes=1048576\r\nFullTimeout=2\r\n";
const QJsonObject kSystem{{QStringLiteral("operator"), QStringLiteral("SYSTEM")},
                          {QStringLiteral("password"), QStringLiteral("1")}};

using ClientPtr = std::unique_ptr<rpc::Client>;

// The params of the next `count` events, one to an Event notification or several to an Events one (fewer
// when the stream ends or `ms` pass, or once one numbered `untilSeq` or later has come); `messages` counts
// the notifications they came in.
QList<QJsonObject> notifications(rpc::Client& client, int count, int ms, int* messages = nullptr, qint64 untilSeq = 0) {
    QList<QJsonObject> found;
    QElapsedTimer clock;
    clock.start();
    while (found.size() < count && clock.elapsed() < ms &&
           (untilSeq == 0 || found.isEmpty() || found.last().value(QStringLiteral("seq")).toInteger() < untilSeq)) {
        const auto message = client.nextNotification();
        if (!message)
            break;
        if (messages)
            ++*messages;
        if (message->value(QStringLiteral("method")) == QLatin1String("Event")) {
            found.append(message->value(QStringLiteral("params")).toObject());
        } else if (message->value(QStringLiteral("method")) == QLatin1String("Events")) {
            for (const QJsonValue& event :
                 message->value(QStringLiteral("params")).toObject().value(QStringLiteral("events")).toArray())
                found.append(event.toObject());
        } else if (message->value(QStringLiteral("method")) == QLatin1String("EventStreamEnd"))
            break;
    }
    return found;
}

QList<qint64> seqs(const QList<QJsonObject>& list) {
    QList<qint64> numbers;
    for (const QJsonObject& event : list)
        numbers.append(event.value(QStringLiteral("seq")).toInteger());
    return numbers;
}

} // namespace

class TestEvents : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    ctrlsim::SimulatorThread m_sim;
    QString m_lockIp;
    QString m_boardIp;
    std::unique_ptr<QProcess> m_socketServer;
    quint16 m_tcpPort = 0;
    quint16 m_webPort = 0;
    int m_swipes = 0; // swipes made so far, each to be in the swipe log once

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = m_env->processEnvironment();
        environment.insert(QStringLiteral("MORVANE_KESTROVA_TIMEOUT_MS"), QStringLiteral("80"));
        environment.insert(QStringLiteral("MORVANE_KESTROVA_ATTEMPTS"), QStringLiteral("2"));
        environment.insert(QStringLiteral("MORVANE_MONITOR_PORT"), QStringLiteral("9"));
        environment.insert(QStringLiteral("MORVANE_EVENTS_INJECT"), QStringLiteral("1"));
        return environment;
    }
    QString endpoint() const { return platform::endpointPath(kRmtserver); }
    bool startSocketServer() {
        // Little room for a client's unread output, so that one that never reads backs up to its queue soon.
        m_env->writeFile(QStringLiteral("scktsrvr.ini"),
                         "[Security]\r\nLogon=1\r\n[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\nWebPort=0\r\n"
                         "[Limits]\r\nMaxOutput=262144\r\nOutputTimeout=600\r\n");
        m_socketServer = std::make_unique<QProcess>();
        m_socketServer->setProcessEnvironment(environment());
        const QString logPath = m_env->path(QStringLiteral("scktsrvr.log"));
        m_socketServer->setStandardErrorFile(logPath);
        m_socketServer->start(bin("scktsrvr"), {});
        static const QRegularExpression ready(QStringLiteral(R"(serving TCP [\d.]+:(\d+) and WebSocket [\d.]+:(\d+))"));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && m_socketServer->state() != QProcess::NotRunning) {
            const auto match = ready.match(QString::fromUtf8(m_env->readFile(logPath)));
            if (match.hasMatch()) {
                m_tcpPort = match.captured(1).toUShort();
                m_webPort = match.captured(2).toUShort();
                return true;
            }
            QTest::qWait(20);
        }
        return false;
    }
    ClientPtr connect(bool webSocket = false) {
        rmtclient::Endpoint endpoint;
        if (webSocket)
            endpoint.webSocketUrl = QStringLiteral("ws://127.0.0.1:%1").arg(m_webPort);
        else
            endpoint.tcpPort = m_tcpPort;
        auto channel = rmtclient::connectChannel(endpoint, 10000, nullptr);
        return channel ? std::make_unique<rpc::Client>(std::move(channel)) : nullptr;
    }
    // Connected and logged on (as SYSTEM unless told otherwise).
    ClientPtr logOn(bool webSocket = false, const QJsonObject& who = kSystem) {
        ClientPtr client = connect(webSocket);
        if (!client || !client->call(QStringLiteral("Logon"), who).ok)
            return nullptr;
        return client;
    }
    static bool createObject(rpc::Client& client) {
        return client
            .call(rpc::kCreateObject, QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}})
            .ok;
    }
    // `count` status events published by the server itself.
    static bool inject(rpc::Client& client, int count) {
        return client.call(QStringLiteral("InjectEvents"), QJsonObject{{QStringLiteral("count"), count}}).ok;
    }
    // Logged on as SYSTEM, with an object of the application server.
    ClientPtr withObject() {
        ClientPtr client = logOn();
        return client && createObject(*client) ? std::move(client) : nullptr;
    }
    bool waitServerGone() {
        const pid_t server = listenerPid(endpoint());
        return server <= 0 || waitGone(server, 10000);
    }
    void swipe(int card, int door) {
        m_sim.command({{QStringLiteral("cmd"), QStringLiteral("swipe")},
                       {QStringLiteral("mac"), kLockMac},
                       {QStringLiteral("card"), card},
                       {QStringLiteral("door"), door}});
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void swipesLiveAndResumed_data();
    void swipesLiveAndResumed();
    void refusedSubscriptions_data();
    void refusedSubscriptions();
    void neverReadingSubscriber();
    void repliesKeepTheirOrderAmongEvents();
    void watchResumesByItself();
    void swipeLogOnceAcrossAKill();
    void gapIsTold_data();
    void storedRecordsCollectedOnce();
    void gapIsTold();
    void subscriptionEndsWithItsSession_data();
    void subscriptionEndsWithItsSession();
    void goneMidReplay();
    void slowReaderIsToldOfDrops();
    void ringFileKeptWhileRewritten();
    void doorStates_data();
    void doorStates();
    void doorStatesBesideTheScan_data();
    void doorStatesBesideTheScan();
};

void TestEvents::initTestCase() {
    m_env = std::make_unique<test::TestEnvironment>();
    m_env->writeSystemInfo(kSystemInfo);
    for (const char* name : {"scktsrvr", "regsvr32", "KestrovaCom.so"})
        QVERIFY(QFile::link(bin(name), m_env->path(QLatin1String(name))));
    QCOMPARE(test::runProgram(bin("morvane"), {QStringLiteral("-regserver")}, environment()).exitCode, 0);
    QCOMPARE(test::runProgram(bin("regsvr32"), {QStringLiteral("/s"), m_env->path(QStringLiteral("KestrovaCom.so"))},
                              environment())
                 .exitCode,
             0);
    m_lockIp = test::randomLoopback();
    do
        m_boardIp = test::randomLoopback();
    while (m_boardIp == m_lockIp);
    QString goneIp;
    do
        goneIp = test::randomLoopback();
    while (goneIp == m_lockIp || goneIp == m_boardIp);
    const QJsonArray controllers{QJsonObject{{QStringLiteral("mac"), kLockMac},
                                             {QStringLiteral("ip"), m_lockIp},
                                             {QStringLiteral("port"), 2008}},
                                 QJsonObject{{QStringLiteral("mac"), kBoardMac},
                                             {QStringLiteral("kind"), QStringLiteral("uhppote")},
                                             {QStringLiteral("serial"), 405419896},
                                             {QStringLiteral("ip"), m_boardIp}}};
    QString error;
    QVERIFY2(m_sim.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error), qPrintable(error));
    QVERIFY(startSocketServer());

    // Operators of two groups: one may watch the controllers only, one may not even that.
    ClientPtr admin = withObject();
    QVERIFY(admin);
    for (const char* statement :
         {"insert into ac_popedomgroup (popedomgroupname) values ('Watchers')",
          "insert into ac_popedomgroup (popedomgroupname) values ('Clerks')",
          "insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuenglishname, pbrowse, pinsert, pedit, "
          "pdelete) values (2, 1009, 'atn_scanallcontrol', 1, 0, 0, 0)",
          "insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuenglishname, pbrowse, pinsert, pedit, "
          "pdelete) values (3, 1000, 'atn_base_dept', 1, 0, 0, 0)",
          "insert into ac_operator (popedomgroupid, operatorname, operatorpasd) values (2, 'watcher', 'w')",
          "insert into ac_operator (popedomgroupid, operatorname, operatorpasd) values (3, 'clerk', 'c')",
          // The names a swipe of the first card at door 1 of the lock resolves to.
          "insert into ac_device (devicename, mac, ipaddress) values ('Front', '00-1a-2b-3c-4d-01', '127.0.0.1')",
          "insert into ac_doorinfo (doorname, dooraddress, deviceid) values ('Lobby', 1, 1)",
          "insert into ac_staffer (username, cardnumber) values ('Ann', '1223476')"}) {
        const rpc::Reply reply =
            admin->call(QStringLiteral("AS_Execute"), QJsonArray{QStringLiteral("dsp_open_public"),
                                                                 QLatin1String(statement), QJsonValue(), QJsonValue()});
        QVERIFY2(reply.ok, qPrintable(reply.message));
    }
    // A board, and a device whose controller is gone (nothing answers at its address).
    for (const QString& statement :
         {QStringLiteral(
              "insert into ac_device (devicename, mac, ipaddress) values ('Gate', '00:1a:2b:3c:4d:02', '%1')")
              .arg(m_boardIp),
          QStringLiteral(
              "insert into ac_device (devicename, mac, ipaddress) values ('Gone', '00-1A-2B-3C-4D-03', '%1')")
              .arg(goneIp)}) {
        const rpc::Reply reply =
            admin->call(QStringLiteral("AS_Execute"),
                        QJsonArray{QStringLiteral("dsp_open_public"), statement, QJsonValue(), QJsonValue()});
        QVERIFY2(reply.ok, qPrintable(reply.message));
    }
}

void TestEvents::cleanupTestCase() {
    const pid_t server = listenerPid(endpoint());
    if (m_socketServer) {
        m_socketServer->terminate();
        m_socketServer->waitForFinished(5000);
    }
    if (server > 0 && !waitGone(server, 5000))
        ::kill(server, SIGKILL);
    m_sim.stop();
}

void TestEvents::swipesLiveAndResumed_data() {
    QTest::addColumn<bool>("webSocket");
    QTest::newRow("tcp") << false;
    QTest::newRow("websocket") << true;
}

// Swipes and a door command arrive live, in order; a subscriber that comes back with the last number it
// saw gets exactly what it missed, also from a restarted application server.
void TestEvents::swipesLiveAndResumed() {
    QFETCH(bool, webSocket);
    ClientPtr controller = withObject();
    QVERIFY(controller);
    QCOMPARE(controller->call(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1})
                 .result.value(QStringLiteral("retval")),
             QJsonValue(0));
    QCOMPARE(controller->call(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp})
                 .result.value(QStringLiteral("retval")),
             QJsonValue(0));
    const QJsonObject swipesAndCommands{
        {QStringLiteral("kinds"), QJsonArray{QStringLiteral("swipe"), QStringLiteral("command")}}};
    // Everything, to compare with.
    ClientPtr all = logOn();
    QVERIFY(all && all->call(QStringLiteral("Subscribe"), QJsonObject{}).ok);

    ClientPtr watcher = logOn(false, {{QStringLiteral("operator"), QStringLiteral("watcher")},
                                      {QStringLiteral("password"), QStringLiteral("w")}});
    QVERIFY(watcher && watcher->call(QStringLiteral("Subscribe"), swipesAndCommands).ok);
    ClientPtr subscriber = logOn(webSocket);
    QVERIFY(subscriber);
    const rpc::Reply subscribed = subscriber->call(QStringLiteral("Subscribe"), swipesAndCommands);
    QVERIFY2(subscribed.ok, qPrintable(subscribed.message));
    QCOMPARE(controller->call(QStringLiteral("RmtOpenDoor"), QJsonArray{2}).result.value(QStringLiteral("retval")),
             QJsonValue(0));
    swipe(0x12AB34, 1);
    swipe(0x12AB35, 3);
    const QList<QJsonObject> live = notifications(*subscriber, 3, 10000);
    QCOMPARE(live.size(), 3);
    QCOMPARE(live.at(0).value(QStringLiteral("kind")), QJsonValue(QStringLiteral("command")));
    QCOMPARE(live.at(0).value(QStringLiteral("method")), QJsonValue(QStringLiteral("RmtOpenDoor")));
    QCOMPARE(live.at(0).value(QStringLiteral("door")), QJsonValue(2));
    QCOMPARE(live.at(0).value(QStringLiteral("operator")), QJsonValue(QStringLiteral("SYSTEM")));
    QCOMPARE(live.at(0).value(QStringLiteral("status")), QJsonValue(0));
    for (int i = 1; i < 3; ++i) {
        QCOMPARE(live.at(i).value(QStringLiteral("kind")), QJsonValue(QStringLiteral("swipe")));
        QCOMPARE(live.at(i).value(QStringLiteral("lock")), QJsonValue(kLockMac));
        QCOMPARE(live.at(i).value(QStringLiteral("card")), QJsonValue(0x12AB34 + i - 1));
        QCOMPARE(live.at(i).value(QStringLiteral("door")), QJsonValue(i == 1 ? 1 : 3));
        QVERIFY(live.at(i).value(QStringLiteral("seq")).toInteger() >
                live.at(i - 1).value(QStringLiteral("seq")).toInteger());
    }
    QVERIFY(!live.at(1).value(QStringLiteral("controllerTime")).toString().isEmpty());
    // Names where they are known: the staff member only for those who may browse the staff.
    QCOMPARE(live.at(1).value(QStringLiteral("deviceName")), QJsonValue(QStringLiteral("Front")));
    QCOMPARE(live.at(1).value(QStringLiteral("doorName")), QJsonValue(QStringLiteral("Lobby")));
    QCOMPARE(live.at(1).value(QStringLiteral("staffName")), QJsonValue(QStringLiteral("Ann")));
    QVERIFY(!live.at(2).contains(QStringLiteral("staffName")));
    // The watcher may browse real-time monitoring (the door command's module too), not the staff.
    const QList<QJsonObject> watched = notifications(*watcher, 3, 5000);
    QCOMPARE(seqs(watched), seqs(live));
    QCOMPARE(watched.at(1).value(QStringLiteral("deviceName")), QJsonValue(QStringLiteral("Front")));
    QVERIFY(!watched.at(1).contains(QStringLiteral("staffName")));
    watcher.reset();

    // Away for two swipes; back with the last number seen.
    const qint64 last = live.last().value(QStringLiteral("seq")).toInteger();
    subscriber.reset();
    swipe(0x12AB36, 1);
    swipe(0x12AB37, 2);
    QList<qint64> wanted;
    for (const QJsonObject& event : notifications(*all, 100, 3000)) {
        const qint64 seq = event.value(QStringLiteral("seq")).toInteger();
        if (seq > last && (event.value(QStringLiteral("kind")) == QLatin1String("swipe") ||
                           event.value(QStringLiteral("kind")) == QLatin1String("command")))
            wanted.append(seq);
        if (wanted.size() == 2)
            break;
    }
    QCOMPARE(wanted.size(), 2);
    subscriber = logOn(webSocket);
    QVERIFY(subscriber);
    QJsonObject resume = swipesAndCommands;
    resume.insert(QStringLiteral("since"), last);
    QVERIFY(subscriber->call(QStringLiteral("Subscribe"), resume).ok);
    QCOMPARE(seqs(notifications(*subscriber, 3, 1500)), wanted);

    // Every client gone, the application server ends; the next one has kept the ring, numbers and all.
    const QList<qint64> before = seqs(live) + wanted;
    controller.reset();
    all.reset();
    subscriber.reset();
    QVERIFY(waitServerGone());
    subscriber = logOn(webSocket);
    QVERIFY(subscriber);
    resume.insert(QStringLiteral("since"), before.first() - 1);
    const rpc::Reply again = subscriber->call(QStringLiteral("Subscribe"), resume);
    QVERIFY2(again.ok, qPrintable(again.message));
    QVERIFY(again.result.value(QStringLiteral("newest")).toInteger() >= before.last());
    QCOMPARE(seqs(notifications(*subscriber, 5, 5000)), before);
    struct stat status {};
    QCOMPARE(::stat(QFile::encodeName(m_env->path(QStringLiteral("events.log"))).constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, mode_t(0600));

    // The swipe log holds each swipe once, across the restart, with its names.
    m_swipes += 4;
    QVERIFY(createObject(*subscriber));
    const rpc::Reply rows = subscriber->call(
        QStringLiteral("AS_GetRecords"),
        QJsonArray{QStringLiteral("dsp_brushcardlog"), -1, 0, 0,
                   QStringLiteral("select cardno, mac, devicename, doornumber, doorname, eventtype, holder, "
                                  "brushcardtime, InputTime from brushcardlog order by ID"),
                   QJsonValue(), QJsonValue()});
    QVERIFY2(rows.ok, qPrintable(rows.message));
    const QJsonArray logged = rows.result.value(QStringLiteral("retval"))
                                  .toObject()
                                  .value(QStringLiteral("value"))
                                  .toObject()
                                  .value(QStringLiteral("rows"))
                                  .toArray();
    QCOMPARE(logged.size(), m_swipes);
    const QJsonArray first = logged.at(m_swipes - 4).toArray();
    QCOMPARE(first.at(0), QJsonValue(QStringLiteral("1223476")));
    QCOMPARE(first.at(1), QJsonValue(kLockMac));
    QCOMPARE(first.at(2), QJsonValue(QStringLiteral("Front")));
    QCOMPARE(first.at(3), QJsonValue(1));
    QCOMPARE(first.at(4), QJsonValue(QStringLiteral("Lobby")));
    QCOMPARE(first.at(5), QJsonValue(QStringLiteral("refused (1)"))); // the card is not in the controller
    QCOMPARE(first.at(6), QJsonValue(QStringLiteral("Ann")));
    static const QRegularExpression moment(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$)"));
    QVERIFY2(moment.match(first.at(7).toString()).hasMatch(), qPrintable(first.at(7).toString()));
    QVERIFY2(moment.match(first.at(8).toString()).hasMatch(), qPrintable(first.at(8).toString()));
}

void TestEvents::refusedSubscriptions_data() {
    QTest::addColumn<QString>("who");       // "SYSTEM", "watcher", "clerk", or "" for no log-on
    QTest::addColumn<QByteArray>("params"); // the Subscribe params
    QTest::addColumn<bool>("twice");        // subscribed once already on the connection
    QTest::addColumn<int>("code");          // 0: taken
    QTest::addColumn<QString>("message");
    const int invalid = int(hr::E_INVALIDARG);
    QTest::newRow("unknown kind") << "SYSTEM" << QByteArray(R"({"kinds":["swipe","swipes"]})") << false << invalid
                                  << "Unknown event kind \"swipes\"";
    QTest::newRow("negative since") << "SYSTEM" << QByteArray(R"({"since":-1})") << false << invalid << "0 or more";
    QTest::newRow("since past the newest")
        << "SYSTEM" << QByteArray(R"({"since":900000000000})") << false << invalid << "past the newest event";
    QTest::newRow("door not a number") << "SYSTEM" << QByteArray(R"({"doors":["x"]})") << false << invalid
                                       << "A door is a number";
    QTest::newRow("unknown lock is taken")
        << "SYSTEM" << QByteArray(R"({"locks":["AA-BB-CC-DD-EE-FF"]})") << false << 0 << "";
    QTest::newRow("twice on one connection")
        << "SYSTEM" << QByteArray("{}") << true << int(hr::E_UNEXPECTED) << "subscribed already";
    QTest::newRow("before log-on") << "" << QByteArray("{}") << false << int(hr::E_ACCESSDENIED) << "Log on first";
    QTest::newRow("without the monitoring right")
        << "clerk" << QByteArray("{}") << false << int(hr::E_ACCESSDENIED) << "lacks the browse right on module";
    QTest::newRow("with the monitoring right") << "watcher" << QByteArray("{}") << false << 0 << "";
}

void TestEvents::refusedSubscriptions() {
    QFETCH(QString, who);
    QFETCH(QByteArray, params);
    QFETCH(bool, twice);
    QFETCH(int, code);
    QFETCH(QString, message);
    const QJsonObject password{{QStringLiteral("SYSTEM"), QStringLiteral("1")},
                               {QStringLiteral("watcher"), QStringLiteral("w")},
                               {QStringLiteral("clerk"), QStringLiteral("c")}};
    ClientPtr client =
        who.isEmpty()
            ? connect()
            : logOn(false, {{QStringLiteral("operator"), who}, {QStringLiteral("password"), password.value(who)}});
    QVERIFY(client);
    if (twice)
        QVERIFY(client->call(QStringLiteral("Subscribe"), QJsonObject{}).ok);
    const rpc::Reply reply = client->call(QStringLiteral("Subscribe"), QJsonDocument::fromJson(params).object());
    QCOMPARE(reply.ok ? 0 : int(reply.hresult), code);
    QVERIFY2(reply.message.contains(message), qPrintable(reply.message));
    // A connection that was refused may still call: the refusal changed nothing.
    if (!reply.ok && !who.isEmpty() && !twice)
        QVERIFY(client->call(QStringLiteral("Unsubscribe"), QJsonObject{}).ok);
    // One that logs off has no subscription left.
    if (reply.ok) {
        QVERIFY(client->call(QStringLiteral("Logoff"), QJsonObject{}).ok);
        ClientPtr admin = logOn();
        QVERIFY(admin);
        QCOMPARE(admin->call(QStringLiteral("EventSubscribers"), QJsonObject{})
                     .result.value(QStringLiteral("subscribers"))
                     .toArray()
                     .size(),
                 0);
    }
}

// A subscriber that never reads is dropped, counted and disconnected with a reason, while another gets
// every event in order; the events its operator may not browse (log-ons) reach the watcher not at all.
void TestEvents::neverReadingSubscriber() {
    test::WireClient stalled(m_tcpPort);
    QVERIFY(stalled.connected());
    stalled.send(R"({"id":1,"method":"Logon","params":{"operator":"SYSTEM","password":"1"}})"
                 "\n"
                 R"({"id":2,"method":"Subscribe","params":{}})"
                 "\n");
    QVERIFY(stalled.readLine(10000));
    QVERIFY(stalled.readLine(10000));
    ClientPtr watcher = logOn(false, {{QStringLiteral("operator"), QStringLiteral("watcher")},
                                      {QStringLiteral("password"), QStringLiteral("w")}});
    QVERIFY(watcher);
    const rpc::Reply subscribed = watcher->call(QStringLiteral("Subscribe"), QJsonObject{});
    QVERIFY2(subscribed.ok, qPrintable(subscribed.message));
    ClientPtr admin = logOn(); // its log-on comes after the watcher's subscription: it must not see it
    QVERIFY(admin);

    constexpr int kBatches = 40;
    constexpr int kBatch = 500;
    QList<QJsonObject> received;
    for (int batch = 0; batch < kBatches; ++batch) {
        const rpc::Reply injected =
            admin->call(QStringLiteral("InjectEvents"),
                        QJsonObject{{QStringLiteral("count"), kBatch}, {QStringLiteral("bytes"), 200}});
        QVERIFY2(injected.ok, qPrintable(injected.message));
        QCOMPARE(injected.result.value(QStringLiteral("published")), QJsonValue(kBatch));
        received += notifications(*watcher, kBatch, 10000);
        QCOMPARE(received.size(), (batch + 1) * kBatch);
    }
    for (int i = 0; i < received.size(); ++i) {
        const QJsonObject& event = received.at(i);
        QCOMPARE(event.value(QStringLiteral("kind")), QJsonValue(QStringLiteral("status")));
        QVERIFY(!event.contains(QStringLiteral("dropped")) && !event.contains(QStringLiteral("lost")));
        if (i > 0)
            QCOMPARE(event.value(QStringLiteral("seq")).toInteger(),
                     received.at(i - 1).value(QStringLiteral("seq")).toInteger() + 1);
    }

    // The one that never read is gone, with its reason and its count.
    QJsonObject gone;
    QElapsedTimer clock;
    clock.start();
    while (gone.isEmpty() && clock.elapsed() < 15000) {
        const rpc::Reply listed = admin->call(QStringLiteral("EventSubscribers"), QJsonObject{});
        QVERIFY2(listed.ok, qPrintable(listed.message));
        for (const QJsonValue& entry : listed.result.value(QStringLiteral("disconnected")).toArray())
            gone = entry.toObject();
        if (gone.isEmpty())
            QTest::qWait(200);
    }
    QVERIFY2(!gone.isEmpty(), "the subscriber that never reads was not disconnected");
    QVERIFY(gone.value(QStringLiteral("dropped")).toInteger() > 0);
    QVERIFY(gone.value(QStringLiteral("reason")).toString().contains(QStringLiteral("did not read its events")));
    // Nobody but an administrator sees the counters.
    const rpc::Reply refused = watcher->call(QStringLiteral("EventSubscribers"), QJsonObject{});
    QCOMPARE(int(refused.hresult), int(hr::E_ACCESSDENIED));
}

// Notifications come between the replies without taking a reply's place: an answer of the socket server's
// own that waits for the reply of a slow call before it still comes after that reply, while events arrive.
void TestEvents::repliesKeepTheirOrderAmongEvents() {
    test::WireClient client(m_tcpPort);
    QVERIFY(client.connected());
    client.send(R"({"id":1,"method":"Logon","params":{"operator":"SYSTEM","password":"1"}})"
                "\n"
                R"({"id":2,"method":"CreateObject","params":{"progid":"server.rmtserver"}})"
                "\n"
                R"({"id":3,"method":"Subscribe","params":{"kinds":["status"]}})"
                "\n");
    for (int i = 0; i < 3; ++i)
        QVERIFY(client.readLine(10000));
    ClientPtr injector = logOn();
    QVERIFY(injector);
    // A statement that runs for a while, then a request that the socket server refuses itself (a second
    // object).
    client.send(R"({"id":10,"method":"AS_Execute","params":["dsp_open_public","with recursive c(x) as (select 1 )"
                R"(union all select x + 1 from c where x < 3000000) select count(*) from c",null,null]})"
                "\n"
                R"({"id":11,"method":"CreateObject","params":{"progid":"server.rmtserver"}})"
                "\n");
    QTest::qWait(100);
    QVERIFY(inject(*injector, 20));
    QList<qint64> ids;
    QList<qint64> beforeFirstReply;
    int notifications = 0;
    QElapsedTimer clock;
    clock.start();
    while ((ids.size() < 2 || notifications < 20) && clock.elapsed() < 20000) {
        const auto line = client.readLine(20000);
        QVERIFY(line);
        const QJsonObject message = QJsonDocument::fromJson(*line).object();
        if (message.contains(QStringLiteral("id"))) {
            ids.append(message.value(QStringLiteral("id")).toInteger());
        } else {
            ++notifications;
            if (ids.isEmpty())
                beforeFirstReply.append(
                    message.value(QStringLiteral("params")).toObject().value(QStringLiteral("seq")).toInteger());
        }
    }
    QCOMPARE(ids, (QList<qint64>{10, 11}));
    QCOMPARE(notifications, 20);
    // The events did not wait for the slow call.
    QVERIFY(!beforeFirstReply.isEmpty());
}

// rmtclient watch prints the events and, when its application server is killed, logs on to the next one and
// goes on after the last event it printed.
void TestEvents::watchResumesByItself() {
    const QString lock = QStringLiteral("AA-00-00-00-00-01");
    QProcess watch;
    QProcessEnvironment environment = this->environment();
    environment.insert(QStringLiteral("MORVANE_OPERATOR"), QStringLiteral("SYSTEM"));
    environment.insert(QStringLiteral("MORVANE_PASSWORD"), QStringLiteral("1"));
    watch.setProcessEnvironment(environment);
    watch.start(bin("rmtclient"), {QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(m_tcpPort),
                                   QStringLiteral("watch"), QStringLiteral("--json"), QStringLiteral("--locks"), lock,
                                   QStringLiteral("--count"), QStringLiteral("3")});
    QVERIFY(watch.waitForStarted(5000));
    const auto cleanup = qScopeGuard([&watch] {
        watch.kill();
        watch.waitForFinished(5000);
    });
    const auto inject = [&](int count) {
        ClientPtr admin = logOn();
        return admin && admin
                            ->call(QStringLiteral("InjectEvents"),
                                   QJsonObject{{QStringLiteral("count"), count}, {QStringLiteral("lock"), lock}})
                            .ok;
    };
    // Once it has subscribed (its log-on shows in the stream), one event, then its server dies.
    QByteArray printed;
    QElapsedTimer clock;
    clock.start();
    while (!printed.contains('\n') && clock.elapsed() < 15000) {
        QVERIFY(inject(1));
        watch.waitForReadyRead(500);
        printed += watch.readAllStandardOutput();
    }
    const int before = int(printed.count('\n'));
    QVERIFY(before >= 1 && before < 3);
    const pid_t server = listenerPid(endpoint());
    QVERIFY(server > 0);
    ::kill(server, SIGKILL);
    QVERIFY(waitGone(server, 5000));
    QVERIFY(inject(3 - before)); // the next server, started for this client; the watcher comes back to it
    QVERIFY(watch.waitForFinished(30000));
    QCOMPARE(watch.exitCode(), 0);
    printed += watch.readAllStandardOutput();
    const QList<QByteArray> lines = printed.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    qint64 last = 0;
    for (const QByteArray& line : lines) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        QCOMPARE(event.value(QStringLiteral("lock")), QJsonValue(lock));
        QVERIFY(event.value(QStringLiteral("seq")).toInteger() > last);
        last = event.value(QStringLiteral("seq")).toInteger();
    }
    QVERIFY2(watch.readAllStandardError().contains("the event stream was lost"), "it did not say it resumed");
}

// A record read twice is one row of the swipe log, and so it stays when the server is killed right after
// it and the next one goes on from where the swipe log was.
void TestEvents::swipeLogOnceAcrossAKill() {
    ClientPtr controller = withObject();
    QVERIFY(controller);
    QVERIFY(controller
                ->call(QStringLiteral("Subscribe"),
                       QJsonObject{{QStringLiteral("kinds"), QJsonArray{QStringLiteral("swipe")}}})
                .ok);
    QCOMPARE(controller->call(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1})
                 .result.value(QStringLiteral("retval")),
             QJsonValue(0));
    // Card 0x12AB38 at door 2, let through, at a fixed moment: the same record twice.
    const QString record = QStringLiteral("010012AB380200261209003000002B3C4D01");
    m_sim.command({{QStringLiteral("cmd"), QStringLiteral("realtime")},
                   {QStringLiteral("mac"), kLockMac},
                   {QStringLiteral("records"), QJsonArray{record, record}}});
    const QList<QJsonObject> seen = notifications(*controller, 2, 10000);
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.at(1).value(QStringLiteral("record")), QJsonValue(record));
    const pid_t server = listenerPid(endpoint());
    QVERIFY(server > 0);
    ::kill(server, SIGKILL);
    QVERIFY(waitGone(server, 5000));
    controller.reset();

    ClientPtr reader = withObject();
    QVERIFY(reader);
    const auto rows = [&] {
        const rpc::Reply reply = reader->call(
            QStringLiteral("AS_GetRecords"),
            QJsonArray{QStringLiteral("dsp_brushcardlog"), -1, 0, 0,
                       QStringLiteral("select doornumber, brushcardtime, eventtype from brushcardlog where cardno = "
                                      "'1223480'"),
                       QJsonValue(), QJsonValue()});
        return reply.result.value(QStringLiteral("retval"))
            .toObject()
            .value(QStringLiteral("value"))
            .toObject()
            .value(QStringLiteral("rows"))
            .toArray();
    };
    // The restarted server writes what the killed one had not, then nothing more.
    QElapsedTimer clock;
    clock.start();
    while (rows().isEmpty() && clock.elapsed() < 5000)
        QTest::qWait(100);
    QTest::qWait(300);
    const QJsonArray logged = rows();
    QCOMPARE(logged.size(), 1);
    QCOMPARE(logged.at(0).toArray(),
             (QJsonArray{2, QStringLiteral("2026-12-09 00:30:00"), QStringLiteral("let through")}));
}

// A lock that was away comes back with records it kept meanwhile: each reaches the stream and the swipe log
// once and in order, also when the server is stopped while it collects them and the next one goes on.
void TestEvents::storedRecordsCollectedOnce() {
    constexpr int kStored = 500;
    constexpr qint64 kFirstCard = 0x300000;
    const auto command = [&](const QString& cmd, QJsonObject message) {
        message.insert(QStringLiteral("cmd"), cmd);
        message.insert(QStringLiteral("mac"), kLockMac);
        return m_sim.command(message).value(QStringLiteral("ok")).toBool();
    };
    const auto cleanUp = qScopeGuard([&] {
        command(QStringLiteral("silent"), {{QStringLiteral("on"), false}});
        command(QStringLiteral("delay"), {{QStringLiteral("ms"), 0}});
    });
    const QJsonObject kinds{{QStringLiteral("kinds"), QJsonArray{QStringLiteral("swipe"), QStringLiteral("link")}}};
    const auto watch = [&](qint64 since) {
        ClientPtr client = withObject();
        if (!client)
            return ClientPtr();
        QJsonObject filter = kinds;
        if (since > 0)
            filter.insert(QStringLiteral("since"), since);
        if (!client->call(QStringLiteral("Subscribe"), filter).ok ||
            client->call(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1})
                    .result.value(QStringLiteral("retval")) != QJsonValue(0))
            return ClientPtr();
        return client;
    };
    // Reads until `until` holds or the stream is quiet; the collected swipes of the test's cards by card.
    QList<qint64> cards;
    qint64 lastSeq = 0;
    const auto read = [&](rpc::Client& client, const std::function<bool(const QJsonObject&)>& until) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000) {
            const QList<QJsonObject> got = notifications(client, 1, 5000);
            if (got.isEmpty())
                return false;
            const QJsonObject& event = got.first();
            lastSeq = event.value(QStringLiteral("seq")).toInteger();
            const qint64 card = event.value(QStringLiteral("card")).toInteger();
            if (event.value(QStringLiteral("kind")) == QLatin1String("swipe") && card >= kFirstCard &&
                card < kFirstCard + kStored) {
                if (!event.value(QStringLiteral("collected")).toBool())
                    return false;
                cards.append(card - kFirstCard);
            }
            if (until(event))
                return true;
        }
        return false;
    };
    const auto link = [](const char* state) {
        return [state](const QJsonObject& event) {
            return event.value(QStringLiteral("kind")) == QLatin1String("link") &&
                   event.value(QStringLiteral("state")) == QLatin1String(state);
        };
    };

    ClientPtr client = watch(0);
    QVERIFY(client);
    QVERIFY(command(QStringLiteral("silent"), {{QStringLiteral("on"), true}}));
    QVERIFY(read(*client, link("down")));
    QJsonArray records;
    // Kept after every record the lock told before it went away.
    const QDateTime start = QDateTime::currentDateTime().addSecs(60);
    for (int i = 0; i < kStored; ++i) {
        // Lead 01, card, door, result, controller time, tail 00, the MAC's last four bytes.
        const QString card = QStringLiteral("%1").arg(kFirstCard + i, 8, 16, QLatin1Char('0')).toUpper();
        const QString doorAndResult =
            QStringLiteral("%1%2").arg(i % 4 + 1, 2, 10, QLatin1Char('0')).arg(i % 2, 2, 10, QLatin1Char('0'));
        records.append(QString(QStringLiteral("01") + card + doorAndResult +
                               start.addSecs(i).toString(QStringLiteral("yyMMddHHmmss")) +
                               QStringLiteral("002B3C4D01")));
    }
    QVERIFY(command(QStringLiteral("records"), {{QStringLiteral("records"), records}}));
    // Slow answers, so that the server is stopped in the middle of the collection.
    QVERIFY(command(QStringLiteral("delay"), {{QStringLiteral("ms"), 15}}));
    QVERIFY(command(QStringLiteral("silent"), {{QStringLiteral("on"), false}}));
    QVERIFY(read(*client, [&](const QJsonObject&) { return cards.size() >= 40; }));
    const pid_t server = listenerPid(endpoint());
    QVERIFY(server > 0);
    ::kill(server, SIGTERM);
    QVERIFY(waitGone(server, 10000));
    client.reset();
    const qsizetype beforeRestart = cards.size();
    QVERIFY2(beforeRestart < kStored, "the collection ended before the server stopped");

    // Resumed from the last event seen, the rest comes from the next server.
    client = watch(lastSeq);
    QVERIFY(client);
    QVERIFY(read(*client, [&](const QJsonObject&) { return cards.size() >= kStored; }));
    QList<qint64> wanted(kStored);
    std::iota(wanted.begin(), wanted.end(), 0);
    QCOMPARE(cards, wanted);
    // Nothing comes twice after them.
    read(*client, [](const QJsonObject&) { return false; });
    QCOMPARE(cards.size(), kStored);

    const rpc::Reply rows = client->call(
        QStringLiteral("AS_GetRecords"),
        QJsonArray{QStringLiteral("dsp_brushcardlog"), -1, 0, 0,
                   QStringLiteral("select count(*), count(distinct cardno) from brushcardlog where cardno >= '%1' "
                                  "and cardno < '%2' and length(cardno) = 7")
                       .arg(kFirstCard)
                       .arg(kFirstCard + kStored),
                   QJsonValue(), QJsonValue()});
    QVERIFY2(rows.ok, qPrintable(rows.message));
    const QJsonArray counts = rows.result.value(QStringLiteral("retval"))
                                  .toObject()
                                  .value(QStringLiteral("value"))
                                  .toObject()
                                  .value(QStringLiteral("rows"))
                                  .toArray()
                                  .at(0)
                                  .toArray();
    QCOMPARE(counts, (QJsonArray{kStored, kStored}));
}

// A subscriber that comes back after more than the ring holds is told how many it lost, in the reply and in
// its first notification.
void TestEvents::gapIsTold_data() {
    QTest::addColumn<bool>("webSocket");
    QTest::addColumn<int>("batch");
    QTest::newRow("one to a notification") << false << 0;
    QTest::newRow("batched, websocket") << true << 64;
}

// A replay that starts before the oldest kept event tells the gap in its first event; batched, the same
// events come in order, at most `batch` to a notification, and far fewer notifications than events.
void TestEvents::gapIsTold() {
    QFETCH(bool, webSocket);
    QFETCH(int, batch);
    ClientPtr admin = logOn();
    QVERIFY(admin);
    const auto newestSeq = [&admin] {
        return admin->call(QStringLiteral("EventSubscribers")).result.value(QStringLiteral("newest")).toInteger();
    };
    const qint64 before = newestSeq();
    const rpc::Reply injected =
        admin->call(QStringLiteral("InjectEvents"), QJsonObject{{QStringLiteral("count"), 1500}});
    QVERIFY(injected.ok);
    // They are numbered by the stream's thread after the call: the ring is full of them once it has.
    QTRY_VERIFY_WITH_TIMEOUT(newestSeq() >= before + injected.result.value(QStringLiteral("published")).toInteger(),
                             10000);
    ClientPtr late = logOn(webSocket);
    QVERIFY(late);
    const rpc::Reply reply = late->call(QStringLiteral("Subscribe"),
                                        QJsonObject{{QStringLiteral("since"), 0},
                                                    {QStringLiteral("kinds"), QJsonArray{QStringLiteral("status")}},
                                                    {QStringLiteral("batch"), batch}});
    QVERIFY2(reply.ok, qPrintable(reply.message));
    const qint64 oldest = reply.result.value(QStringLiteral("oldest")).toInteger();
    const qint64 newest = reply.result.value(QStringLiteral("newest")).toInteger();
    QVERIFY(newest - oldest + 1 <= 1000);
    QCOMPARE(reply.result.value(QStringLiteral("lost")).toInteger(), oldest - 1);
    // One more, live: the replay is over when it has come.
    QVERIFY(inject(*admin, 1));
    int messages = 0;
    const QList<QJsonObject> replayed = notifications(*late, 2000, 10000, &messages, newest + 1);
    QVERIFY2(replayed.size() > 900, qPrintable(QString::number(replayed.size())));
    QCOMPARE(replayed.at(0).value(QStringLiteral("lost")).toInteger(), oldest - 1);
    QCOMPARE(replayed.at(0).value(QStringLiteral("seq")).toInteger(), oldest);
    QVERIFY(replayed.last().value(QStringLiteral("seq")).toInteger() > newest);
    for (qsizetype i = 1; i < replayed.size(); ++i) {
        QVERIFY(!replayed.at(i).contains(QStringLiteral("lost")));
        QVERIFY(replayed.at(i).value(QStringLiteral("seq")).toInteger() >
                replayed.at(i - 1).value(QStringLiteral("seq")).toInteger());
    }
    const int kept = int(replayed.size());
    if (batch == 0)
        QCOMPARE(messages, kept);
    else
        QVERIFY2(messages >= (kept + batch - 1) / batch && messages <= kept / 4, qPrintable(QString::number(messages)));
}

void TestEvents::subscriptionEndsWithItsSession_data() {
    QTest::addColumn<QString>("change");
    QTest::newRow("browse right taken away") << QStringLiteral("rights");
    QTest::newRow("password changed on another connection") << QStringLiteral("password");
}

// A subscriber whose operator loses the right to watch, or whose session another connection ends, is told
// why and sees no event after it.
void TestEvents::subscriptionEndsWithItsSession() {
    QFETCH(QString, change);
    const QJsonObject watcherLogOn{{QStringLiteral("operator"), QStringLiteral("watcher")},
                                   {QStringLiteral("password"), QStringLiteral("w")}};
    ClientPtr admin = withObject();
    QVERIFY(admin);
    const auto browse = [&](int right) {
        return admin
            ->call(QStringLiteral("AS_Execute"),
                   QJsonArray{QStringLiteral("dsp_open_public"),
                              QStringLiteral("update ac_popedomgroupmodule set pbrowse = %1 where popedomgroupid = 2 "
                                             "and menuenglishname = 'atn_scanallcontrol'")
                                  .arg(right),
                              QJsonValue(), QJsonValue()})
            .ok;
    };
    ClientPtr watcher = logOn(false, watcherLogOn);
    QVERIFY(watcher && watcher
                           ->call(QStringLiteral("Subscribe"),
                                  QJsonObject{{QStringLiteral("kinds"), QJsonArray{QStringLiteral("status")}}})
                           .ok);
    QVERIFY(inject(*admin, 1));
    QCOMPARE(notifications(*watcher, 1, 10000).size(), 1);

    ClientPtr other;
    if (change == QLatin1String("rights")) {
        QVERIFY(browse(0));
    } else {
        other = logOn(false, watcherLogOn);
        QVERIFY(other);
        QVERIFY(other
                    ->call(QStringLiteral("ChangePassword"), QJsonObject{{QStringLiteral("old"), QStringLiteral("w")},
                                                                         {QStringLiteral("new"), QStringLiteral("w2")}})
                    .ok);
    }
    const auto restore = qScopeGuard([&] {
        if (other)
            other->call(QStringLiteral("ChangePassword"), QJsonObject{{QStringLiteral("old"), QStringLiteral("w2")},
                                                                      {QStringLiteral("new"), QStringLiteral("w")}});
        else
            browse(1);
    });
    QVERIFY(inject(*admin, 3));
    QString reason;
    int after = 0;
    QElapsedTimer clock;
    clock.start();
    while (reason.isEmpty() && clock.elapsed() < 10000) {
        const auto message = watcher->nextNotification();
        if (!message)
            break;
        if (message->value(QStringLiteral("method")) == QLatin1String("Event"))
            ++after;
        else if (message->value(QStringLiteral("method")) == QLatin1String("EventStreamEnd"))
            reason = message->value(QStringLiteral("params")).toObject().value(QStringLiteral("reason")).toString();
    }
    QVERIFY2(reason.contains(QLatin1String("session has ended")), qPrintable(reason));
    QCOMPARE(after, 0);
}

// A client that goes in the middle of its replay leaves no subscriber behind, and the stream goes on.
void TestEvents::goneMidReplay() {
    for (int i = 0; i < 5; ++i) {
        test::WireClient client(m_tcpPort);
        QVERIFY(client.connected());
        client.send(R"({"id":1,"method":"Logon","params":{"operator":"SYSTEM","password":"1"}})"
                    "\n"
                    R"({"id":2,"method":"Subscribe","params":{"since":0}})"
                    "\n");
        QVERIFY(client.readLine(10000));
        QVERIFY(client.readLine(10000)); // the reply, then the replay has begun
        QVERIFY(client.readLine(10000));
    }
    ClientPtr admin = logOn();
    QVERIFY(admin);
    QJsonArray left{QJsonValue()};
    QElapsedTimer clock;
    clock.start();
    while (!left.isEmpty() && clock.elapsed() < 10000) {
        left = admin->call(QStringLiteral("EventSubscribers"), QJsonObject{})
                   .result.value(QStringLiteral("subscribers"))
                   .toArray();
        if (!left.isEmpty())
            QTest::qWait(100);
    }
    QVERIFY2(left.isEmpty(), QJsonDocument(left).toJson().constData());
    QVERIFY(admin
                ->call(QStringLiteral("Subscribe"),
                       QJsonObject{{QStringLiteral("kinds"), QJsonArray{QStringLiteral("status")}}})
                .ok);
    QVERIFY(inject(*admin, 3));
    QCOMPARE(notifications(*admin, 3, 10000).size(), 3);
}

// A subscriber that falls behind loses its oldest events, and is told how many: what it gets and what it is
// told it lost add up to what was sent.
void TestEvents::slowReaderIsToldOfDrops() {
    const QString lock = QStringLiteral("AA-00-00-00-00-02");
    ClientPtr slow = logOn();
    QVERIFY(slow &&
            slow->call(QStringLiteral("Subscribe"), QJsonObject{{QStringLiteral("locks"), QJsonArray{lock}}}).ok);
    ClientPtr admin = logOn();
    QVERIFY(admin);
    // Many times more than the queue, the socket server's output and the sockets between hold.
    qint64 sent = 0;
    for (int i = 0; i < 4; ++i) {
        const rpc::Reply injected =
            admin->call(QStringLiteral("InjectEvents"), QJsonObject{{QStringLiteral("count"), 5000},
                                                                    {QStringLiteral("bytes"), 2000},
                                                                    {QStringLiteral("lock"), lock}});
        QVERIFY(injected.ok);
        sent += injected.result.value(QStringLiteral("published")).toInteger();
    }
    qint64 received = 0;
    qint64 dropped = 0;
    qint64 last = 0;
    QElapsedTimer clock;
    clock.start();
    while (received + dropped < sent && clock.elapsed() < 20000) {
        const QList<QJsonObject> got = notifications(*slow, 1, 5000);
        if (got.isEmpty())
            break;
        const QJsonObject& event = got.first();
        QVERIFY(event.value(QStringLiteral("seq")).toInteger() > last);
        last = event.value(QStringLiteral("seq")).toInteger();
        dropped += event.value(QStringLiteral("dropped")).toInteger();
        ++received;
    }
    QVERIFY2(dropped > 0, qPrintable(QStringLiteral("nothing of %1 was dropped (%2 received): the queue is not bounded")
                                         .arg(sent)
                                         .arg(received)));
    QCOMPARE(received + dropped, sent);
}

// The ring's file is rewritten beside the stream while events keep coming: a stream started again on it has
// every kept event, in order, with nothing missing between the rewrite and what came after it.
void TestEvents::ringFileKeptWhileRewritten() {
    events::StreamSettings settings;
    settings.path = m_env->path(QStringLiteral("rewritten.log"));
    settings.ringEvents = 100;
    constexpr int kEvents = 5000;
    {
        events::EventStream stream(settings);
        QVERIFY(stream.start());
        for (int i = 0; i < kEvents; ++i) {
            events::Event event;
            event.kind = events::kStatus;
            event.serverMs = i;
            QVERIFY(stream.publish(std::move(event)));
            // In small batches, so that the rewrite overlaps many of them.
            if (i % 10 == 9)
                QVERIFY(stream.waitIdle(5000));
        }
        QVERIFY(stream.waitIdle(5000));
        // Rewritten at least once, by a thread of its own: on a busy machine it may finish only after the
        // last event.
        qsizetype lines = 0;
        const bool rewritten = test::waitUntil(
            [&] {
                QFile file(settings.path);
                lines = file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
                return lines < kEvents;
            },
            10000);
        QVERIFY2(rewritten, qPrintable(QString::number(lines)));
        stream.stop();
    }
    events::EventStream again(settings);
    QVERIFY(again.start());
    QCOMPARE(again.newest(), quint64(kEvents));
    quint64 oldest = 0;
    QList<quint64> kept;
    for (const events::EventPtr& event : again.range(1, kEvents, kEvents, &oldest))
        kept.append(event->seq);
    QList<quint64> wanted;
    for (quint64 seq = kEvents - 99; seq <= kEvents; ++seq)
        wanted.append(seq);
    QCOMPARE(kept, wanted);
}

// What the scan saw at its last visit stands beside the device's own answer: a device it saw failing is not
// asked (nor waited for), one it saw answering is up even when it says nothing now; an answer now wins.
void TestEvents::doorStatesBesideTheScan_data() {
    QTest::addColumn<bool>("lock");     // the lock that answers, or the device whose controller is gone
    QTest::addColumn<int>("monitored"); // -1: not monitored; 0: the scan saw it fail; 1: saw it answer
    QTest::addColumn<QString>("state"); // link, from, kind
    QTest::newRow("answers, not monitored") << true << -1 << QStringLiteral("up device lock");
    QTest::newRow("would answer, the scan saw it fail") << true << 0 << QStringLiteral("down monitor ");
    QTest::newRow("silent, not monitored") << false << -1 << QStringLiteral("down device ");
    QTest::newRow("silent, the scan saw it answer") << false << 1 << QStringLiteral("up monitor ");
}

void TestEvents::doorStatesBesideTheScan() {
    QFETCH(bool, lock);
    QFETCH(int, monitored);
    QFETCH(QString, state);
    boards::DeviceAddress device;
    device.id = 7;
    device.mac = lock ? kLockMac : QStringLiteral("00-1A-2B-3C-4D-09");
    device.ip = lock ? m_lockIp : QStringLiteral("127.255.255.254");
    QStringList asked;
    const boards::MonitorLink monitor = [&](const QString& mac) -> std::optional<bool> {
        asked.append(mac);
        return monitored < 0 ? std::nullopt : std::optional<bool>(monitored == 1);
    };
    QElapsedTimer clock;
    clock.start();
    const QJsonArray states = boards::readDoorStates({device}, monitor, 1500);
    QCOMPARE(asked, QStringList{device.mac});
    QCOMPARE(states.size(), 1);
    const QJsonObject got = states.first().toObject();
    QCOMPARE(got.value(QStringLiteral("id")).toInt(), 7);
    QCOMPARE(QStringList({got.value(QStringLiteral("link")).toString(), got.value(QStringLiteral("from")).toString(),
                          got.value(QStringLiteral("kind")).toString()})
                 .join(QLatin1Char(' ')),
             state);
    // Nothing is waited for when nothing is asked.
    if (monitored == 0)
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestEvents)
#include "tst_events.moc"

void TestEvents::doorStates_data() {
    QTest::addColumn<QString>("who");
    QTest::addColumn<QString>("device"); // the device table's name
    QTest::addColumn<int>("door");
    QTest::addColumn<QString>("link"); // "" for a refusal
    QTest::addColumn<int>("open");     // 1 open, 0 closed, -1 not told
    QTest::newRow("board door opened, read by a watcher") << "watcher"
                                                          << "Gate" << 2 << "up" << 1;
    QTest::newRow("board door left closed") << "SYSTEM"
                                            << "Gate" << 1 << "up" << 0;
    QTest::newRow("controller gone") << "SYSTEM"
                                     << "Gone" << 1 << "down" << -1;
    QTest::newRow("without the monitoring right") << "clerk"
                                                  << "Gate" << 2 << "" << -1;
}

// Each device of the table tells its link and its doors; one that does not answer is down while the others
// still answer, and the whole call is over in time.
void TestEvents::doorStates() {
    QFETCH(QString, who);
    QFETCH(QString, device);
    QFETCH(int, door);
    QFETCH(QString, link);
    QFETCH(int, open);
    const QJsonObject password{{QStringLiteral("SYSTEM"), QStringLiteral("1")},
                               {QStringLiteral("watcher"), QStringLiteral("w")},
                               {QStringLiteral("clerk"), QStringLiteral("c")}};
    QVERIFY(m_sim
                .command({{QStringLiteral("cmd"), QStringLiteral("door")},
                          {QStringLiteral("mac"), kBoardMac},
                          {QStringLiteral("door"), 2},
                          {QStringLiteral("open"), true}})
                .value(QStringLiteral("ok"))
                .toBool());
    ClientPtr client =
        logOn(true, {{QStringLiteral("operator"), who}, {QStringLiteral("password"), password.value(who)}});
    QVERIFY(client);
    QElapsedTimer clock;
    clock.start();
    const rpc::Reply reply = client->call(QStringLiteral("DoorStates"), QJsonObject{});
    QVERIFY2(clock.elapsed() <= 2500, qPrintable(QString::number(clock.elapsed())));
    if (link.isEmpty()) {
        QCOMPARE(int(reply.hresult), int(hr::E_ACCESSDENIED));
        QVERIFY2(reply.message.contains(QStringLiteral("atn_scanallcontrol")), qPrintable(reply.message));
        return;
    }
    QVERIFY2(reply.ok, qPrintable(reply.message));
    const QJsonArray devices = reply.result.value(QStringLiteral("devices")).toArray();
    QCOMPARE(devices.size(), 3);
    QJsonObject state;
    for (const QJsonValue& value : devices) {
        if (value.toObject().value(QStringLiteral("name")) == device)
            state = value.toObject();
    }
    QCOMPARE(state.value(QStringLiteral("link")).toString(), link);
    const QJsonArray doors = state.value(QStringLiteral("doors")).toArray();
    if (open < 0) {
        QVERIFY(doors.isEmpty());
        return;
    }
    QCOMPARE(state.value(QStringLiteral("kind")).toString(), QStringLiteral("board"));
    QCOMPARE(doors.size(), 4);
    QCOMPARE(doors.at(door - 1).toObject().value(QStringLiteral("open")).toBool(), open == 1);
}
