// The whole road of a client: TCP or WebSocket, in the clear or over TLS, into the socket server, its
// log-on, on to the application server that it starts, through the lock-communication component to the
// controller simulator, and back; and the socket server and the application server under bad input,
// vanishing clients, floods of log-ons and a killed server.
#include "ClassRegistry.h"
#include "JsonRpc.h"
#include "LineConnection.h"
#include "LocalServer.h"
#include "NamedMutex.h"
#include "RemoteClient.h"
#include "SimulatorThread.h"
#include "TestSupport.h"
#include "WireClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <functional>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace morvane;
using test::bin;
using test::listenerPid;
using test::waitGone;
namespace hr = platform::hr;
namespace rpc = platform::rpc;

namespace {

const QString kLockMac = QStringLiteral("00-1A-2B-3C-4D-01");
const QString kBoardMac = QStringLiteral("00-12-23-34-45-56");
const QString kRmtserver = QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}");
// A database holds the operators: SYSTEM logs on with its first password.
const QByteArray kSystemInfo = "[Device]\r\nport=0\r\n[System]\r\nComVersion=1\r\n[DataBase]\r\nProvider=SQLite\r\n"
                               "ConnectMode=1\r\nDataBaseName=relay.db\r\n";
const QString kLogOnFirst = QStringLiteral("Log on first: call Logon with an operator and a password or a token");
const QJsonObject kSystem{{QStringLiteral("operator"), QStringLiteral("SYSTEM")},
                          {QStringLiteral("password"), QStringLiteral("1")}};
// Log-on and CreateObject as a raw client sends them, one line each.
// A refusal that is no answer at all: the connection closed before a word.
const QByteArray kUnanswered("(closed unanswered)");
const QByteArray kLogonLine = R"({"id":0,"method":"Logon","params":{"operator":"SYSTEM","password":"1"}})"
                              "\n";
const QByteArray kCreateLine = R"({"id":1,"method":"CreateObject","params":{"progid":"server.rmtserver"}})"
                               "\n";

// Sends a request on a raw client; whether its answer says `seen`.
bool ask(test::WireClient& client, const QByteArray& request, const QByteArray& seen, int ms = 10000) {
    return client.sendRequest(request.trimmed()) > 0 && client.readAnswer(ms).value_or(QByteArray()).contains(seen);
}
// A raw client logs on as SYSTEM.
bool logOn(test::WireClient& client) {
    return ask(client, kLogonLine, "\"token\"");
}
// The parameters of AS_GetRecords for all the rows of a statement.
QJsonObject rowsOf(const QString& provider, const QString& sql) {
    return QJsonObject{{QStringLiteral("ProviderName"), provider},
                       {QStringLiteral("Count"), -1},
                       {QStringLiteral("Options"), 1},
                       {QStringLiteral("CommandText"), sql},
                       {QStringLiteral("Params"), QJsonValue()},
                       {QStringLiteral("OwnerData"), QJsonValue()}};
}
const QJsonObject kDepartments =
    rowsOf(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));

// A client connection with its own requests; the replies as JSON objects.
class Client {
public:
    explicit Client(std::unique_ptr<rpc::MessageChannel> channel)
        : m_client(channel ? std::make_unique<rpc::Client>(std::move(channel)) : nullptr) {}
    bool connected() const { return m_client != nullptr; }
    rpc::Reply call(const QString& method, const QJsonValue& params = QJsonArray()) {
        return m_client->call(method, params);
    }
    // A request written by hand.
    rpc::Reply callRaw(const QByteArray& request) { return m_client->callRaw(request); }
    // Logs on as SYSTEM, then makes the object; the reply of whichever failed.
    rpc::Reply create() {
        const rpc::Reply logon = call(QStringLiteral("Logon"), kSystem);
        if (!logon.ok)
            return logon;
        return call(rpc::kCreateObject, QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}});
    }
    QJsonValue retval(const QString& method, const QJsonValue& params = QJsonArray()) {
        const rpc::Reply reply = call(method, params);
        if (!reply.ok)
            qWarning("%s: %s", qPrintable(method), qPrintable(reply.message));
        return reply.result.value(QStringLiteral("retval"));
    }

private:
    std::unique_ptr<rpc::Client> m_client;
};

} // namespace

class TestSocketServer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    ctrlsim::SimulatorThread m_sim;
    QString m_lockIp;
    QString m_boardIp;
    QUdpSocket m_monitor;
    std::unique_ptr<QProcess> m_socketServer;
    quint16 m_tcpPort = 0;
    quint16 m_webPort = 0;
    QByteArray m_ini;
    // What the socket server is started with, beside the ports of its own choosing.
    struct Config {
        Config(QByteArray limitLines = {}, bool openMode = false)
            : limits(std::move(limitLines))
            , open(openMode) {}
        QByteArray limits;
        bool open = false;                // [Security] Logon=0
        QByteArray address = "127.0.0.1"; // [Listen] Address; empty: not set
        QByteArray listen;                // more of [Listen]
        QByteArray tls;                   // [TLS]
        rlim_t openFiles = 0;             // a limit of open files below the hard one
    };

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = m_env->processEnvironment();
        // The simulator answers at once, but it is a thread of this process: on a busy machine it may not run
        // for a good part of a second.
        environment.insert(QStringLiteral("MORVANE_KESTROVA_TIMEOUT_MS"), QStringLiteral("500"));
        environment.insert(QStringLiteral("MORVANE_KESTROVA_ATTEMPTS"), QStringLiteral("2"));
        environment.insert(QStringLiteral("MORVANE_MONITOR_PORT"), QString::number(m_monitor.localPort()));
        return environment;
    }
    QString endpoint() const { return platform::endpointPath(kRmtserver); }
    // The next datagram of the monitor relay; empty when none comes within `ms`.
    QByteArray nextDatagram(int ms) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            if (m_monitor.hasPendingDatagrams() || m_monitor.waitForReadyRead(200))
                return m_monitor.receiveDatagram().data();
        }
        return {};
    }

    static QByteArray ini(const Config& config) {
        return "[Security]\r\nLogon=" + QByteArray(config.open ? "0" : "1") + "\r\n[Listen]\r\n" +
               (config.address.isEmpty() ? QByteArray() : "Address=" + config.address + "\r\n") +
               "Port=0\r\nWebPort=0\r\n" + config.listen + "[Limits]\r\n" + config.limits + "[TLS]\r\n" + config.tls;
    }
    // Starts the socket server with these settings; its ports come from its ready line. The application
    // server that it starts reads the same [Security].
    bool startSocketServer() { return startSocketServer(Config()); }
    bool startSocketServer(const Config& config) {
        stopSocketServer();
        m_ini = ini(config);
        m_env->writeFile(QStringLiteral("scktsrvr.ini"), m_ini);
        m_socketServer = std::make_unique<QProcess>();
        m_socketServer->setProcessEnvironment(environment());
        if (const rlim_t openFiles = config.openFiles; openFiles > 0) {
            // A soft limit below the hard one, as a login shell's usual 1024 under a higher hard limit.
            m_socketServer->setChildProcessModifier([openFiles] {
                const rlimit limit{openFiles / 2, openFiles};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        // Its log goes to a file: a pipe that nobody reads while a test blocks would stop it.
        const QString logPath = m_env->path(QStringLiteral("scktsrvr.log"));
        m_socketServer->setStandardErrorFile(logPath);
        m_socketServer->start(bin("scktsrvr"), {});
        QElapsedTimer clock;
        clock.start();
        static const QRegularExpression ready(QStringLiteral(R"(serving TCP [\d.]+:(\d+) and WebSocket [\d.]+:(\d+))"));
        QString seen;
        while (clock.elapsed() < 10000 && m_socketServer->state() != QProcess::NotRunning) {
            seen = QString::fromUtf8(m_env->readFile(logPath));
            const auto match = ready.match(seen);
            if (match.hasMatch()) {
                m_tcpPort = match.captured(1).toUShort();
                m_webPort = match.captured(2).toUShort();
                return true;
            }
            QTest::qWait(20);
        }
        qWarning("scktsrvr did not get ready: %s", qPrintable(seen));
        return false;
    }
    bool ensureSocketServer(const Config& config) {
        return (m_socketServer && m_socketServer->state() == QProcess::Running && m_ini == ini(config)) ||
               startSocketServer(config);
    }
    QString socketServerLog() const {
        return QString::fromUtf8(m_env->readFile(m_env->path(QStringLiteral("scktsrvr.log"))));
    }
    bool waitLog(const QString& text, int ms) const {
        return test::waitUntil([&] { return socketServerLog().contains(text); }, ms);
    }
    void stopSocketServer() {
        if (!m_socketServer)
            return;
        m_socketServer->terminate();
        m_socketServer->waitForFinished(5000);
        m_socketServer.reset();
    }
    Client tcp() {
        rmtclient::Endpoint endpoint;
        endpoint.tcpPort = m_tcpPort;
        return Client(rmtclient::connectChannel(endpoint, 10000, nullptr));
    }
    Client web() {
        rmtclient::Endpoint endpoint;
        endpoint.webSocketUrl = QStringLiteral("ws://127.0.0.1:%1").arg(m_webPort);
        return Client(rmtclient::connectChannel(endpoint, 10000, nullptr));
    }
    // A raw TCP connection to the socket server.
    int rawTcp() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_tcpPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    QJsonArray simLog() { return m_sim.takeLog(kLockMac); }
    // What the socket server grows by at most from `startKiB` (-1: now), and the slowest call of `other`
    // meanwhile, over `ms` in which `step` runs again and again, each time followed by a call of `other`.
    struct Load {
        long startKiB = 0;
        long growthKiB = 0;
        qint64 slowestMs = 0;
        bool served = true;
    };
    Load underLoad(Client& other, int ms, const std::function<void()>& step, long startKiB = -1) {
        const qint64 pid = m_socketServer->processId();
        Load load;
        load.startKiB = startKiB >= 0 ? startKiB : test::residentKiB(pid);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            step();
            load.growthKiB = std::max(load.growthKiB, test::residentKiB(pid) - load.startKiB);
            QElapsedTimer call;
            call.start();
            load.served = other.call(QStringLiteral("RealTimeScanId")).ok && load.served;
            load.slowestMs = std::max(load.slowestMs, call.elapsed());
        }
        return load;
    }
    // The application servers started for clients of this test: "-Embedding" processes whose
    // environment names this test's lock directory.
    QList<pid_t> embeddedServers() const {
        QList<pid_t> found;
        const QByteArray lockDir = "MORVANE_LOCK_DIR=" + QFile::encodeName(m_env->lockDir());
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool number = false;
            const pid_t pid = entry.toInt(&number);
            QFile command(QStringLiteral("/proc/%1/cmdline").arg(entry));
            QFile environ(QStringLiteral("/proc/%1/environ").arg(entry));
            if (!number || !command.open(QIODevice::ReadOnly) || !environ.open(QIODevice::ReadOnly))
                continue;
            if (command.readAll().split('\0').contains("-Embedding") &&
                environ.readAll().split('\0').contains(lockDir) && platform::processAlive(pid))
                found.append(pid);
        }
        return found;
    }
    bool waitNoEmbeddedServer(int ms) const {
        return test::waitUntil([this] { return embeddedServers().isEmpty(); }, ms);
    }
    // rmtclient over TCP, as SYSTEM unless `logOn` is false; `more` goes into its environment.
    test::ProcessResult rmtclientRun(const QStringList& arguments, bool logOn = true,
                                     const QProcessEnvironment& more = {}) {
        QProcessEnvironment env = environment();
        if (logOn) {
            env.insert(QStringLiteral("MORVANE_OPERATOR"), QStringLiteral("SYSTEM"));
            env.insert(QStringLiteral("MORVANE_PASSWORD"), QStringLiteral("1"));
        }
        env.insert(more);
        return test::runProgram(
            bin("rmtclient"),
            QStringList{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(m_tcpPort)} + arguments, env);
    }

    // A self-signed certificate for 127.0.0.1 and its key, made by the openssl program: NAME.crt and NAME.key
    // in the program directory.
    bool makeCertificate(const QString& name) {
        const test::ProcessResult made = test::runProgram(
            QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
             QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=") + name,
             QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"),
             m_env->path(name + QStringLiteral(".key")), QStringLiteral("-out"),
             m_env->path(name + QStringLiteral(".crt"))},
            m_env->processEnvironment());
        if (made.exitCode != 0)
            qWarning("openssl: %s", made.standardError.constData());
        return made.exitCode == 0;
    }
    // [TLS] with the certificate and key NAME.crt and NAME.key.
    QByteArray tlsLines(const QString& name, const char* plainFrom = "any") const {
        return "Certificate=" + m_env->path(name + QStringLiteral(".crt")).toUtf8() +
               "\r\nKey=" + m_env->path(name + QStringLiteral(".key")).toUtf8() + "\r\nPlainFrom=" + plainFrom + "\r\n";
    }
    QSslCertificate certificate(const QString& name) const {
        return QSslCertificate::fromPath(m_env->path(name + QStringLiteral(".crt"))).value(0);
    }
    // A client over TLS that trusts the authorities of CA.crt.
    Client secure(bool webSocket, const QString& ca, QString* error = nullptr) {
        rmtclient::Endpoint endpoint;
        endpoint.tcpPort = m_tcpPort;
        endpoint.tls = true;
        endpoint.caFile = m_env->path(ca + QStringLiteral(".crt"));
        if (webSocket)
            endpoint.webSocketUrl = QStringLiteral("wss://127.0.0.1:%1").arg(m_webPort);
        return Client(rmtclient::connectChannel(endpoint, 10000, error));
    }
    // The certificate that a new TLS connection to the TCP port is shown.
    QSslCertificate presented() const {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_tcpPort);
        return socket.waitForEncrypted(5000) ? socket.peerCertificate() : QSslCertificate();
    }

private slots:
    void initTestCase();
    void cleanupTestCase();

    void controllerOverTcpAndWebSocket();
    void boardFromAClient();
    void classChecks_data();
    void classChecks();
    void limitsAndVanishingClients();
    void badInputOverTcp_data();
    void badInputOverTcp();
    void neverReadingClient_data();
    void neverReadingClient();
    void stalledLongReply_data();
    void stalledLongReply();
    void webSocketLimits_data();
    void webSocketLimits();
    void consoleFilesKeepAlive_data();
    void consoleFilesKeepAlive();
    void inputBudget();
    void idleWithoutObject();
    void connectionsPerAddress();
    void manyCreationsAtOnce_data();
    void manyCreationsAtOnce();
    void serverKilledWhileConnected();
    void commandLineClient();
    void callsByDispId_data();
    void callsByDispId();
    void endlessStatementEnds_data();
    void endlessStatementEnds();
    void quickClientsLeaveNoServer();
    void createRightAfterTheLastClientGoes();
    void unregisteredComponentNamesTheCommand();
    void automationLayerStartsTheLocalServer();
    void portTaken();
    void startServices_data();
    void startServices();
    void endpointOfAnotherUserIsRefused();
    void tlsRoads_data();
    void tlsRoads();
    void whoMayConnect_data();
    void whoMayConnect();
    void handshakeNeverFinishes_data();
    void handshakeNeverFinishes();
    void certificateReloadedOnHangUp_data();
    void certificateReloadedOnHangUp();
    void openMode();
    void rmtclientCredentials_data();
    void rmtclientCredentials();
    void settingsRefused_data();
    void settingsRefused();
    void beforeLogOn_data();
    void beforeLogOn();
};

void TestSocketServer::initTestCase() {
    m_env = std::make_unique<test::TestEnvironment>();
    m_env->writeSystemInfo(kSystemInfo);
    for (const char* name : {"scktsrvr", "regsvr32", "KestrovaCom.so"})
        QVERIFY(QFile::link(bin(name), m_env->path(QLatin1String(name))));
    m_monitor.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(m_monitor.bind(QHostAddress::LocalHost, 0));
    // The classes as an installation registers them.
    auto result = test::runProgram(bin("morvane"), {QStringLiteral("-regserver")}, environment());
    QCOMPARE(result.exitCode, 0);
    result = test::runProgram(bin("regsvr32"), {QStringLiteral("/s"), m_env->path(QStringLiteral("KestrovaCom.so"))},
                              environment());
    QCOMPARE(result.exitCode, 0);

    m_lockIp = test::randomLoopback();
    do {
        m_boardIp = test::randomLoopback();
    } while (m_boardIp == m_lockIp);
    QJsonArray controllers;
    controllers.append(QJsonObject{
        {QStringLiteral("mac"), kLockMac}, {QStringLiteral("ip"), m_lockIp}, {QStringLiteral("port"), 2008}});
    controllers.append(QJsonObject{{QStringLiteral("mac"), kBoardMac},
                                   {QStringLiteral("kind"), QStringLiteral("uhppote")},
                                   {QStringLiteral("serial"), 423187757},
                                   {QStringLiteral("ip"), m_boardIp}});
    QString error;
    QVERIFY2(m_sim.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error), qPrintable(error));
    // The server's certificate, one that it may change to, and one that has nothing to do with it.
    for (const char* name : {"server", "renewed", "stranger"})
        QVERIFY(makeCertificate(QLatin1String(name)));
    QVERIFY(startSocketServer());
}

void TestSocketServer::cleanupTestCase() {
    const pid_t server = listenerPid(endpoint());
    stopSocketServer();
    if (server > 0 && !waitGone(server, 5000))
        ::kill(server, SIGKILL);
    m_sim.stop();
}

void TestSocketServer::controllerOverTcpAndWebSocket() {
    Client first = tcp();
    Client second = web();
    QVERIFY(first.connected() && second.connected());
    // The first CreateObject starts the application server for the class.
    QVERIFY(!QFile::exists(endpoint()) || listenerPid(endpoint()) < 0);
    QVERIFY(first.create().ok);
    QVERIFY(second.create().ok);
    const pid_t server = listenerPid(endpoint());
    QVERIFY(server > 0);

    simLog();
    for (Client* client : {&first, &second}) {
        QCOMPARE(client->retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));
        QCOMPARE(client->retval(QStringLiteral("RmtOpenDoor"), QJsonArray{2}), QJsonValue(0));
        QCOMPARE(client->retval(QStringLiteral("RmtOpenDoor"), QJsonArray{9}), QJsonValue(2)); // no such door
    }
    int opened = 0;
    for (const QJsonValue& entry : simLog()) {
        if (entry.toObject().value(QStringLiteral("method")) == QLatin1String("ComifRmtOpenDoor"))
            ++opened;
    }
    QCOMPARE(opened, 4);
    // A WebSocket message may be written over several lines.
    {
        Client indented = web();
        const auto pretty = [](const char* method, const QJsonValue& params) {
            return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                             {QStringLiteral("id"), 5},
                                             {QStringLiteral("method"), QLatin1String(method)},
                                             {QStringLiteral("params"), params}})
                .toJson(QJsonDocument::Indented);
        };
        QVERIFY(indented.callRaw(pretty("Logon", kSystem)).ok);
        QVERIFY(indented.callRaw(pretty("CreateObject", QJsonObject{{QStringLiteral("clsid"), kRmtserver}})).ok);
        QCOMPARE(indented.callRaw(pretty("RealTimeScanId", QJsonArray())).result.value(QStringLiteral("retval")),
                 QJsonValue(0));
    }

    // Live monitoring relays the controller's records as datagrams to the monitor port.
    QCOMPARE(second.retval(QStringLiteral("BegScanControl"), QJsonArray{m_lockIp, kLockMac, 1}), QJsonValue(0));
    m_sim.command({{QStringLiteral("cmd"), QStringLiteral("realtime")},
                   {QStringLiteral("mac"), kLockMac},
                   {QStringLiteral("records"), QJsonArray{QStringLiteral("0A01020304")}}});
    const QByteArray datagram = nextDatagram(5000);
    QCOMPARE(datagram.size(), 22);
    QCOMPARE(datagram.at(2), char(1));
    QCOMPARE(first.retval(QStringLiteral("StopScanControl")), QJsonValue(0));

    // Started for clients, the server ends with its last object.
    first = Client(nullptr);
    second = Client(nullptr);
    QVERIFY2(waitGone(server, 5000), "the application server outlived its last client");
}

// A door board through the same remote methods: a door opened, a card loaded, and a swipe relayed live.
void TestSocketServer::boardFromAClient() {
    Client client = tcp();
    QVERIFY(client.connected() && client.create().ok);
    const auto board = [this]() {
        return m_sim.command({{QStringLiteral("cmd"), QStringLiteral("state")}, {QStringLiteral("mac"), kBoardMac}});
    };
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{1, kBoardMac, m_boardIp}), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{3}), QJsonValue(0));
    QCOMPARE(board().value(QStringLiteral("doorStates")).toArray().at(2).toObject().value(QStringLiteral("opened")),
             QJsonValue(1));
    const QJsonArray card{
        0x12AB34, 0, 2, QStringLiteral("4321"), 0, QStringLiteral("2001-01-01"), QStringLiteral("2031-06-30"), 0, 0};
    QCOMPARE(client.retval(QStringLiteral("AddCardUser"), card), QJsonValue(0));
    const QJsonObject stored = board().value(QStringLiteral("cards")).toArray().at(0).toObject();
    QCOMPARE(stored.value(QStringLiteral("card")), QJsonValue(0x12AB34));
    QCOMPARE(stored.value(QStringLiteral("doors")).toArray(), (QJsonArray{0, 1, 0, 0}));
    QCOMPARE(stored.value(QStringLiteral("end")), QJsonValue(QStringLiteral("2031-06-30")));

    QCOMPARE(client.retval(QStringLiteral("BegScanControl"), QJsonArray{m_boardIp, kBoardMac, 1}), QJsonValue(0));
    while (m_monitor.hasPendingDatagrams())
        m_monitor.receiveDatagram();
    m_sim.command({{QStringLiteral("cmd"), QStringLiteral("swipe")},
                   {QStringLiteral("mac"), kBoardMac},
                   {QStringLiteral("card"), 0x12AB34},
                   {QStringLiteral("door"), 2}});
    const QByteArray datagram = nextDatagram(5000);
    QCOMPARE(datagram.size(), 22);
    QCOMPARE(datagram.mid(3, 4).toHex(), QByteArray("23344556")); // the board's MAC
    QCOMPARE(datagram.mid(7, 4).toHex(), QByteArray("0012ab34")); // the card
    QCOMPARE(int(datagram.at(12)), 2);                            // the door
    QCOMPARE(int(datagram.at(19)), 0);                            // let through
    QCOMPARE(client.retval(QStringLiteral("StopScanControl")), QJsonValue(0));
}

void TestSocketServer::classChecks_data() {
    QTest::addColumn<bool>("webSocket");
    QTest::addColumn<bool>("loggedOn"); // as SYSTEM, before the request
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("code");
    const auto create = [](const char* params) -> QByteArray {
        return QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"CreateObject","params":)") + params + "}";
    };
    QTest::newRow("not registered") << false << true << create(R"({"progid":"No.Such"})") << hr::CO_E_CLASSSTRING;
    QTest::newRow("unknown CLSID") << false << true << create(R"({"clsid":"{00000000-1111-2222-3333-444444444444}"})")
                                   << hr::REGDB_E_CLASSNOTREG;
    QTest::newRow("no Sockets") << false << true << create(R"({"progid":"Test.WebOnly"})") << hr::E_ACCESSDENIED;
    QTest::newRow("no Web") << true << true << create(R"({"progid":"Test.SocketsOnly"})") << hr::E_ACCESSDENIED;
    QTest::newRow("another class than the log-on's")
        << false << true << create(R"({"progid":"Test.SocketsOnly"})") << hr::E_ACCESSDENIED;
    QTest::newRow("log-on to a class without a server program")
        << false << false
        << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Logon","params":{"progid":"Test.SocketsOnly"}})")
        << hr::CO_E_SERVER_EXEC_FAILURE;
    QTest::newRow("log-on to a class without Sockets")
        << false << false
        << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Logon","params":{"progid":"Test.WebOnly"}})")
        << hr::E_ACCESSDENIED;
    QTest::newRow("call first") << false << true
                                << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"RmtOpenDoor","params":[1]})")
                                << hr::CO_E_OBJNOTCONNECTED;
    QTest::newRow("malformed") << true << false << QByteArray(R"({"jsonrpc":"2.0",)") << rpc::kParseError;
}

void TestSocketServer::classChecks() {
    QFETCH(bool, webSocket);
    QFETCH(bool, loggedOn);
    QFETCH(QByteArray, request);
    QFETCH(int, code);
    const auto addClass = [](const QString& clsid, const QString& progId, const char* sockets, const char* web) {
        platform::ClassRegistry registry;
        registry.setValue(QStringLiteral("CLSID\\") + clsid, QStringLiteral("Sockets"), QLatin1String(sockets));
        registry.setValue(QStringLiteral("CLSID\\") + clsid, QStringLiteral("Web"), QLatin1String(web));
        // A server program that ends at once, without serving.
        registry.setValue(QStringLiteral("CLSID\\") + clsid + QStringLiteral("\\LocalServer32"), {},
                          QStringLiteral("/bin/false"));
        registry.setValue(progId + QStringLiteral("\\CLSID"), {}, clsid);
    };
    addClass(QStringLiteral("{A0000000-0000-0000-0000-000000000001}"), QStringLiteral("Test.WebOnly"), "0", "1");
    addClass(QStringLiteral("{A0000000-0000-0000-0000-000000000002}"), QStringLiteral("Test.SocketsOnly"), "1", "0");
    Client raw = webSocket ? web() : tcp();
    if (loggedOn)
        QVERIFY(raw.call(QStringLiteral("Logon"), kSystem).ok);
    const rpc::Reply reply = raw.callRaw(request);
    QVERIFY(!reply.ok);
    QCOMPARE(reply.hresult, code);
    // The connection goes on: a proper log-on and CreateObject still work on it.
    if (!loggedOn)
        QVERIFY(raw.call(QStringLiteral("Logon"), kSystem).ok);
    QVERIFY(raw.call(rpc::kCreateObject, QJsonObject{{QStringLiteral("clsid"), kRmtserver}}).ok);
}

// In the open mode: a thousand vanishing clients of which a third reach the application server.
void TestSocketServer::limitsAndVanishingClients() {
    QVERIFY(startSocketServer({"MaxMessage=4096\r\nMessageTimeout=1\r\n", true}));
    Client steady = tcp();
    QVERIFY(steady.create().ok);
    QCOMPARE(steady.retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));

    // A message over the limit: an error, and the connection is closed.
    {
        test::WireClient client(m_tcpPort);
        QVERIFY(client.send(R"({"method":"RmtOpenDoor","params":[")" + QByteArray(5000, 'x') + "\"]}\n") > 0);
        QVERIFY(client.waitClosed(3000));
        QVERIFY(client.received().contains("larger than 4096"));
    }
    // Half a line, then nothing: closed once the message time-out has passed.
    QElapsedTimer clock;
    {
        test::WireClient client(m_tcpPort);
        QCOMPARE(client.send("{\"method\":"), 10);
        clock.start();
        QVERIFY(client.waitClosed(5000));
        QVERIFY(client.received().contains("did not arrive whole"));
        QVERIFY(clock.elapsed() < 4000);
    }
    // Requests sent together are answered in their order, the socket server's own answers included.
    {
        test::WireClient client(m_tcpPort);
        const QByteArray together = kCreateLine + R"({"id":2,"method":"OpenCon","params":[1,"00-1A-2B-3C-4D-01",")" +
                                    m_lockIp.toLatin1() + "\"]}\n" +
                                    R"({"id":3,"method":"CreateObject","params":{"progid":"x"}})"
                                    "\n"
                                    R"({"id":4,"method":"RmtOpenDoor","params":[1]})"
                                    "\n"
                                    R"({"id":5,"method":)"
                                    "\n";
        QVERIFY(client.send(together) > 0);
        QList<int> order;
        for (auto line = client.readLine(5000); line && order.size() < 5; line = client.readLine(5000))
            order.append(QJsonDocument::fromJson(*line).object().value(QStringLiteral("id")).toInt(-1));
        QCOMPARE(order, (QList<int>{1, 2, 3, 4, -1}));
    }
    // A client that keeps sending whole messages is not cut off by the message time-out.
    {
        test::WireClient client(m_tcpPort);
        clock.restart();
        for (int i = 0; i < 12; ++i) {
            QVERIFY(client.send(i % 2 ? QByteArray("\"method\":\"CancelAlarm\"}\n{") : QByteArray("{")) > 0);
            QTest::qWait(250);
        }
        QVERIFY(clock.elapsed() > 2500);
        client.waitClosed(200);
        QVERIFY(!client.received().contains("did not arrive whole"));
    }

    // A thousand clients that connect, some creating an object, and vanish, while one goes on working.
    for (int i = 0; i < 1000; ++i) {
        test::WireClient client(m_tcpPort);
        QVERIFY(client.connected());
        if (i % 3 == 0)
            client.send(kCreateLine);
        else if (i % 3 == 1)
            client.send("{\"id\":");
        client.close();
        if (i % 100 == 0)
            QCOMPARE(steady.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{1}), QJsonValue(0));
    }
    QCOMPARE(steady.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{1}), QJsonValue(0));
    QCOMPARE(m_socketServer->state(), QProcess::Running);
    QVERIFY(startSocketServer());
}

void TestSocketServer::badInputOverTcp_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArrayList>("seen"); // each in the answers
    QTest::newRow("malformed JSON") << QByteArray(R"({"id":1,"method":)") << QByteArrayList{"-32700"};
    QTest::newRow("invalid UTF-8") << QByteArray("{\"id\":1,\"method\":\"\xff\xfe\"}") << QByteArrayList{"-32700"};
    QTest::newRow("100,000-deep nesting") << QByteArray(100000, '[') << QByteArrayList{"-32700"};
    QTest::newRow("wrong types") << QByteArray(R"({"id":{},"method":1})") << QByteArrayList{"-32600"};
    QTest::newRow("a long line and the next in one piece")
        << R"({"id":1,"method":"RmtOpenDoor","params":[")" + QByteArray(1 << 20, 'a') +
               "\"]}\n"
               R"({"id":2,"method":"RmtOpenDoor","params":[1]})"
        << QByteArrayList{R"("id":1,)", R"("id":2,)"};
}

// What a careless client sends is answered, and its connection goes on.
void TestSocketServer::badInputOverTcp() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArrayList, seen);
    QVERIFY(ensureSocketServer({}));
    test::WireClient client(m_tcpPort);
    // Logged on: before that, nothing longer than a log-on is taken.
    QVERIFY(logOn(client));
    QVERIFY(client.send(request + "\n" +
                        R"({"id":9,"method":"RmtOpenDoor","params":[1]})"
                        "\n") > 0);
    QByteArray got;
    for (auto line = client.readLine(5000); line; line = client.readLine(5000)) {
        got += *line + '\n';
        if (line->contains(R"("id":9,)"))
            break;
    }
    for (const QByteArray& text : seen)
        QVERIFY2(got.contains(text), got.left(500).constData());
    QVERIFY2(got.contains(R"("id":9,)"), got.left(500).constData());
}

// A client that pipelines requests and never reads its replies holds no more than its bound in the socket
// server, which stops reading its requests and its application server's replies; it is closed once it
// has not taken its replies within the time-out, and its memory goes. The other clients are served
// meanwhile.
void TestSocketServer::neverReadingClient_data() {
    QTest::addColumn<bool>("loggedOn");
    QTest::addColumn<QByteArray>("limits");
    QTest::addColumn<QByteArray>("line"); // sent again and again, its answers never read
    QTest::addColumn<int>("growthKiB");   // what scktsrvr may grow by meanwhile
    QTest::addColumn<int>("slowestMs");   // another client's call at most: well below OutputTimeout
    QTest::newRow("logged on, past MaxOutput") << true << QByteArray("MaxOutput=1048576\r\nOutputTimeout=2\r\n")
                                               << QByteArray(R"({"id":1,"method":"GetTypeInfo"})") << 16 * 1024 << 1000;
    // Before a log-on the socket server answers for itself, and holds little of that for a client. Each
    // step sends thousands of lines: on a loaded machine a call has waited over a second.
    QTest::newRow("before its log-on")
        << false << QByteArray("OutputTimeout=3\r\n")
        << QByteArray(
               R"({"id":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","method":"x"})")
        << 4 * 1024 << 2000;
}

// A client that pipelines requests and never reads the answers costs the socket server a bounded amount
// and is closed after its output time-out, its memory going back; another client is served meanwhile.
void TestSocketServer::neverReadingClient() {
    QFETCH(bool, loggedOn);
    QFETCH(QByteArray, limits);
    QFETCH(QByteArray, line);
    QFETCH(int, growthKiB);
    QFETCH(int, slowestMs);
    QVERIFY(startSocketServer({limits}));
    const qint64 pid = m_socketServer->processId();
    Client other = tcp();
    QVERIFY(other.create().ok);
    test::WireClient attacker(m_tcpPort);
    if (loggedOn)
        QVERIFY(logOn(attacker) && ask(attacker, kCreateLine, "\"result\"") && ask(attacker, line, "typeLibrary"));
    const QByteArray batch = QByteArray(line + '\n').repeated(loggedOn ? 50 : 4096);
    const Load load = underLoad(other, 3000, [&] { attacker.send(batch, 20); });
    qInfo("never-reading client: scktsrvr %ld KiB at the start, grew by %ld KiB at most; the other client's "
          "slowest call %lld ms",
          load.startKiB, load.growthKiB, load.slowestMs);
    QVERIFY(load.served);
    QVERIFY2(load.growthKiB < growthKiB, qPrintable(QStringLiteral("grew by %1 KiB").arg(load.growthKiB)));
    QVERIFY2(load.slowestMs < slowestMs, qPrintable(QStringLiteral("%1 ms").arg(load.slowestMs)));
    QVERIFY2(waitLog(QStringLiteral("(output time-out"), 6000), qPrintable(socketServerLog().right(2000)));
    attacker.close();
    QVERIFY2(test::waitUntil([&] { return test::residentKiB(pid) <= load.startKiB + 10 * 1024; }, 5000),
             qPrintable(QStringLiteral("%1 KiB after the client left").arg(test::residentKiB(pid))));
    QVERIFY(other.call(QStringLiteral("RealTimeScanId")).ok);
}

void TestSocketServer::stalledLongReply_data() {
    QTest::addColumn<QByteArray>("limits");
    QTest::addColumn<QString>("end"); // of the reply
    QTest::newRow("stops reading, then leaves") << QByteArray() << QStringLiteral("leaves");
    QTest::newRow("stops reading past OutputTimeout")
        << QByteArray("OutputTimeout=2\r\n") << QStringLiteral("time-out");
    QTest::newRow("the application server dies in the middle") << QByteArray() << QStringLiteral("server dies");
}

// A client that stops reading in the middle of a reply of tens of megabytes costs the socket server
// little more than a window of it, whatever the reply's size and MaxOutput; another client is served
// meanwhile; the reply ends with the client (which leaves, or is closed for not reading), and the
// statement behind it with the reply. A reply that its application server cannot finish ends the client's
// connection before the reply's line does: no part of the rows passes for all of them.
void TestSocketServer::stalledLongReply() {
    QFETCH(QByteArray, limits);
    QFETCH(QString, end);
    QVERIFY(startSocketServer({limits}));
    Client other = tcp();
    QVERIFY(other.create().ok);
    // About 45 MB in one reply: more than MaxOutput, whatever the kernel's buffers hold.
    const QJsonObject rows = rowsOf(QStringLiteral("dsp_open_public"),
                                    QStringLiteral("with recursive g(n) as (select 1 union all select n + 1 from g "
                                                   "where n < 200000) select n, printf('%0200d', n) from g"));
    const QByteArray request =
        kLogonLine + kCreateLine +
        QJsonDocument(test::request(2, QStringLiteral("AS_GetRecords"), rows)).toJson(QJsonDocument::Compact) + '\n';
    test::WireClient reader(m_tcpPort);
    const long start = test::residentKiB(m_socketServer->processId());
    QCOMPARE(reader.send(request), request.size());
    // A mebibyte of the reply is taken, then nothing more.
    QVERIFY(reader.receive(1 << 20, 20000));
    if (end == QLatin1String("server dies")) {
        const pid_t server = listenerPid(endpoint());
        QVERIFY(server > 0);
        ::kill(server, SIGKILL);
        QVERIFY(waitGone(server, 5000));
        QVERIFY(reader.waitClosed(10000));
        // The log-on's and CreateObject's lines, then a part of the reply and the end of the connection.
        QCOMPARE(reader.received().count('\n'), 2);
        QVERIFY(!reader.received().endsWith("]]}}}"));
        QVERIFY(other.create().ok);
        QVERIFY(other.call(QStringLiteral("RealTimeScanId")).ok);
        return;
    }
    // The reply flows into the buffers between the servers until they are full, then stops.
    const Load load = underLoad(
        other, 1500, [] { QTest::qWait(50); }, start);
    qInfo("a client that stopped reading a long reply: scktsrvr %ld KiB at the start, grew by %ld KiB at most",
          load.startKiB, load.growthKiB);
    QVERIFY(load.served);
    QVERIFY2(load.growthKiB < 6 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(load.growthKiB)));
    if (end == QLatin1String("leaves"))
        reader.close();
    else
        QVERIFY2(waitLog(QStringLiteral("(output time-out"), 8000), qPrintable(socketServerLog().right(2000)));
    // The statement has ended: the database answers another client at once.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(other.call(QStringLiteral("AS_GetRecords"), kDepartments).ok);
    qInfo("another client's read answered %lld ms after the reply ended", clock.elapsed());
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

void TestSocketServer::webSocketLimits_data() {
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<int>("closeCode");   // 0: the connection goes on
    QTest::addColumn<QByteArray>("seen"); // in the first answer (text, pong or the close frame's reason)
    using W = test::WireClient;
    const QByteArray request = R"({"id":1,"method":"RmtOpenDoor","params":[1]})";
    QTest::newRow("frame declaring 1 GiB")
        << W::frame(1, QByteArray(1000, 'x'), true, true, qint64(1) << 30) << 1009 << QByteArray("too big");
    QTest::newRow("fragments over MaxMessage")
        << W::frame(1, QByteArray(40000, 'x'), false) + W::frame(0, QByteArray(40000, 'x')) << 1009
        << QByteArray("too big");
    QTest::newRow("unmasked frame") << W::frame(1, request, true, false) << 1002 << QByteArray("masked");
    QTest::newRow("message never finished")
        << W::frame(1, R"({"id":1,)", false) << 1000 << QByteArray("did not arrive whole within 1 s");
    QTest::newRow("frame cut short") << QByteArray("\x81\xfe\x01", 3) << 1000
                                     << QByteArray("did not arrive whole within 1 s");
    QTest::newRow("continuation of nothing") << W::frame(0, request) << 1002 << QByteArray("");
    QTest::newRow("invalid UTF-8") << W::frame(1, "\"\xff\xfe\"") << 1007 << QByteArray("UTF-8");
    QTest::newRow("deep nesting") << W::frame(1, QByteArray(60000, '[')) << 0 << QByteArray("-32700");
    QTest::newRow("binary message") << W::frame(2, request) << 0 << QByteArray("Requests are text messages");
    QTest::newRow("fragmented request") << W::frame(1, request.left(10), false) + W::frame(9, "beat") +
                                               W::frame(0, request.mid(10))
                                        << 0 << QByteArray("beat");
    QByteArray pings;
    for (int i = 0; i < 2000; ++i)
        pings += W::frame(9, "ping " + QByteArray::number(i));
    QTest::newRow("ping flood") << pings << 0 << QByteArray("ping 0");
}

// WebSocket clients meet the limits of TCP clients, and frames that break the protocol end the connection
// with the code that says why.
void TestSocketServer::webSocketLimits() {
    QFETCH(QByteArray, frames);
    QFETCH(int, closeCode);
    QFETCH(QByteArray, seen);
    QVERIFY(ensureSocketServer({"MaxMessage=65536\r\nMessageTimeout=1\r\n"}));
    test::WireClient ws(m_webPort);
    QVERIFY(ws.handshake(5000));
    QVERIFY(ws.send(frames) == frames.size());
    QByteArray got;
    int code = 0;
    while (auto frame = ws.readFrame(4000)) {
        if (frame->opcode == 8) {
            code = frame->closeCode();
            got += frame->payload.mid(2);
            break;
        }
        got += frame->payload;
        if (closeCode == 0 && got.contains(seen))
            break;
    }
    QVERIFY2(got.contains(seen), got.left(300).constData());
    QCOMPARE(code, closeCode);
    if (closeCode != 0) {
        QVERIFY(ws.waitClosed(3000));
        return;
    }
    // The connection goes on.
    QVERIFY(ws.send(test::WireClient::frame(1, R"({"id":7,"method":"RmtOpenDoor","params":[1]})")) > 0);
    for (auto message = ws.readMessage(4000);; message = ws.readMessage(4000)) {
        QVERIFY(message && message->opcode == 1);
        if (message->payload.contains("\"id\":7")) {
            QVERIFY2(message->payload.contains(kLogOnFirst.toUtf8()), message->payload.constData());
            break;
        }
    }
}

void TestSocketServer::consoleFilesKeepAlive_data() {
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<int>("files");   // answers 200 expected
    QTest::addColumn<bool>("closed"); // the server closes after them
    const auto get = [](const char* path, const char* more = "") -> QByteArray {
        return QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more + "\r\n";
    };
    QTest::newRow("two files on one connection") << get("/app.js") + get("/rpc.js") << 2 << false;
    QTest::newRow("the client says close") << get("/app.js", "Connection: close\r\n") + get("/rpc.js") << 1 << true;
    QTest::newRow("HTTP/1.0") << QByteArray("GET /app.js HTTP/1.0\r\n\r\n") << 1 << true;
    QTest::newRow("no such file ends it") << get("/none.js") + get("/app.js") << 0 << true;
    QByteArray many;
    for (int i = 0; i < 40; ++i)
        many += get("/dom.js");
    QTest::newRow("at most 32 on one connection") << many << 32 << true;
}

// The console's files come several to a connection (a bounded number); what is no file ends it.
void TestSocketServer::consoleFilesKeepAlive() {
    QFETCH(QByteArray, requests);
    QFETCH(int, files);
    QFETCH(bool, closed);
    QVERIFY(ensureSocketServer({}));
    test::WireClient client(m_webPort);
    QVERIFY(client.send(requests) == requests.size());
    QCOMPARE(client.waitClosed(closed ? 5000 : 1000), closed);
    QCOMPARE(int(client.received().count("HTTP/1.1 200 OK")), files);
    QCOMPARE(int(client.received().count("Connection: keep-alive")), closed ? std::max(files - 1, 0) : files);
    if (closed)
        return;
    // Still there for the next file.
    QVERIFY(client.send(requests.left(requests.indexOf("\r\n\r\n") + 4)) > 0);
    QVERIFY(!client.waitClosed(1000));
    QCOMPARE(int(client.received().count("HTTP/1.1 200 OK")), files + 1);
}

// The messages that clients have begun and not finished share one budget: past it, a message that grows
// is refused with an error and its connection closed; small messages and the messages already in are
// served.
void TestSocketServer::inputBudget() {
    QVERIFY(startSocketServer({"MaxMessage=2097152\r\nInputBudget=3145728\r\nMessageTimeout=10\r\n"}));
    const QByteArray body(1800 * 1024, 'a');
    // Both logged on: before that, nothing longer than a log-on is taken.
    test::WireClient lines(m_tcpPort);
    QVERIFY(logOn(lines));
    QVERIFY(lines.send(R"({"id":1,"method":"RmtOpenDoor","params":[")" + body) > 0);
    test::WireClient ws(m_webPort);
    QVERIFY(ws.handshake(5000) && logOn(ws));
    QVERIFY(ws.send(test::WireClient::frame(1, R"({"id":2,"method":"RmtOpenDoor","params":[")" + body, false)) > 0);
    // One of the two crossed the budget: it is told so and closed.
    std::optional<QByteArray> lineAnswer;
    std::optional<test::WireClient::Frame> webAnswer;
    QElapsedTimer waiting;
    waiting.start();
    while (!lineAnswer && !webAnswer && waiting.elapsed() < 3000) {
        lineAnswer = lines.readLine(20);
        if (!lineAnswer)
            webAnswer = ws.readMessage(20);
    }
    const QByteArray refusal = lineAnswer ? *lineAnswer : webAnswer ? webAnswer->payload : QByteArray();
    QVERIFY2(refusal.contains("Message refused") && refusal.contains("3145728"), refusal.left(300).constData());
    // A refused client that goes on sending is not left blocked: what it sends is dropped until it is closed.
    QElapsedTimer clock;
    clock.start();
    (lineAnswer ? lines : ws).send(QByteArray(32 << 20, 'b'), 3000);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
    QVERIFY(lineAnswer ? lines.waitClosed(3000) : ws.waitClosed(3000));
    // A small request is served meanwhile, and the other message, once whole, is answered.
    test::WireClient small(m_tcpPort);
    QVERIFY(small.send(R"({"id":3,"method":"RmtOpenDoor","params":[1]})"
                       "\n") > 0);
    const auto smallAnswer = small.readLine(3000);
    QVERIFY(smallAnswer && smallAnswer->contains("\"id\":3"));
    if (lineAnswer) {
        QVERIFY(ws.send(test::WireClient::frame(0, "\"]}")) > 0);
        const auto answer = ws.readMessage(5000);
        QVERIFY(answer && answer->payload.contains("\"id\":2"));
    } else {
        QVERIFY(lines.send("\"]}\n") > 0);
        const auto answer = lines.readLine(5000);
        QVERIFY(answer && answer->contains("\"id\":1"));
    }
}

// A connection that holds no object is closed once idle for NoObjectTimeout; one with an object stays.
void TestSocketServer::idleWithoutObject() {
    QVERIFY(startSocketServer({"NoObjectTimeout=1\r\n"}));
    Client holder = tcp();
    QVERIFY(holder.create().ok);
    test::WireClient idle(m_tcpPort);
    test::WireClient idleWeb(m_webPort);
    QVERIFY(idle.connected() && idleWeb.handshake(5000));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(idle.waitClosed(4000));
    QVERIFY(clock.elapsed() >= 900);
    const auto closing = idleWeb.readFrame(4000);
    QVERIFY(closing && closing->opcode == 8);
    QVERIFY2(closing->payload.contains("idle time-out"), closing->payload.constData());
    QTest::qWait(1200 - static_cast<int>(std::min<qint64>(clock.elapsed(), 1200)));
    QVERIFY(holder.call(QStringLiteral("RealTimeScanId")).ok);
}

// At most MaxPerAddress connections from one address, except from the addresses exempt; the others are
// refused with a message, and another address is served meanwhile.
void TestSocketServer::connectionsPerAddress() {
    QVERIFY(startSocketServer({"MaxPerAddress=3\r\nExemptAddresses=127.0.0.4, 127.0.1.0/24\r\n"}));
    const QByteArray bad = "x\n";
    const auto served = [&](test::WireClient& client) {
        return client.send(bad) == bad.size() && client.readLine(5000).value_or(QByteArray()).contains("-32700");
    };
    std::vector<std::unique_ptr<test::WireClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<test::WireClient>(m_tcpPort, QStringLiteral("127.0.0.2")));
        QVERIFY(served(*held.back()));
    }
    test::WireClient refused(m_tcpPort, QStringLiteral("127.0.0.2"));
    const auto refusal = refused.readLine(5000);
    QVERIFY(refusal);
    QVERIFY2(refusal->contains("Too many connections from 127.0.0.2 (3)"), refusal->constData());
    QVERIFY(refused.waitClosed(3000));
    test::WireClient refusedWeb(m_webPort, QStringLiteral("127.0.0.2"));
    QVERIFY(refusedWeb.handshake(5000));
    const auto closing = refusedWeb.readFrame(5000);
    QVERIFY(closing && closing->closeCode() == 1008);
    QVERIFY2(closing->payload.contains("Too many connections from 127.0.0.2"), closing->payload.constData());

    test::WireClient other(m_tcpPort, QStringLiteral("127.0.0.3"));
    QVERIFY(logOn(other) && ask(other, kCreateLine, "\"result\""));
    for (const char* exempt : {"127.0.0.4", "127.0.1.9"}) {
        std::vector<std::unique_ptr<test::WireClient>> many;
        for (int i = 0; i < 5; ++i) {
            many.push_back(std::make_unique<test::WireClient>(m_tcpPort, QLatin1String(exempt)));
            QVERIFY2(served(*many.back()), exempt);
        }
    }
    // A place that frees is taken again.
    held.pop_back();
    QVERIFY(test::waitUntil(
        [&] {
            test::WireClient next(m_tcpPort, QStringLiteral("127.0.0.2"));
            return served(next);
        },
        5000));
}

void TestSocketServer::manyCreationsAtOnce_data() {
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("openFiles"); // the socket server's hard limit (its soft one half); 0: this process's
    QTest::addColumn<int>("served");    // at least
    QTest::addColumn<bool>("refused");  // some told "Too many connections"
    QTest::newRow("300 at once") << 300 << 0 << 300 << false;
    QTest::newRow("150 under 192 open files") << 150 << 192 << 40 << true;
}

// Clients that all create their objects at once are all served, however many the application server has
// yet to accept (in the open mode: a log-on each would wait for the password checks). Under a low limit of
// open files the socket server raises its own to the hard limit and serves as many clients as that allows:
// every client past them is told "Too many connections", none is left hanging.
void TestSocketServer::manyCreationsAtOnce() {
    QFETCH(int, clients);
    QFETCH(int, openFiles);
    QFETCH(int, served);
    QFETCH(bool, refused);
    Config config("MaxPerAddress=0\r\n", true);
    config.openFiles = static_cast<rlim_t>(openFiles);
    QVERIFY(startSocketServer(config));
    const auto restart = qScopeGuard([this] { QVERIFY(startSocketServer()); });
    if (openFiles > 0)
        QVERIFY2(socketServerLog().contains(QStringLiteral("MaxConnections 1024 lowered to")),
                 qPrintable(socketServerLog()));
    std::vector<std::unique_ptr<test::WireClient>> connections;
    for (int i = 0; i < clients; ++i) {
        connections.push_back(std::make_unique<test::WireClient>(m_tcpPort));
        QVERIFY(connections.back()->connected());
        connections.back()->send(kCreateLine, 1000);
    }
    int made = 0;
    int told = 0;
    QElapsedTimer clock;
    clock.start();
    for (auto& connection : connections) {
        const QByteArray answer =
            connection->readLine(static_cast<int>(std::max<qint64>(1, 20000 - clock.elapsed()))).value_or(QByteArray());
        if (answer.contains("\"result\""))
            ++made;
        else if (answer.contains("Too many connections ("))
            ++told;
        else
            QFAIL(qPrintable(QStringLiteral("client %1 of %2 got \"%3\"")
                                 .arg(made + told + 1)
                                 .arg(clients)
                                 .arg(QString::fromUtf8(answer.left(300)))));
    }
    qInfo("%d clients, open files %d: %d served, %d refused", clients, openFiles, made, told);
    QVERIFY(made >= served);
    QCOMPARE(told > 0, refused);
}

void TestSocketServer::serverKilledWhileConnected() {
    Client client = tcp();
    QVERIFY(client.create().ok);
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));
    const pid_t server = listenerPid(endpoint());
    QVERIFY(server > 0);
    ::kill(server, SIGKILL);
    QVERIFY(waitGone(server, 5000));
    // The object and the session are gone: the call fails with a clear error, and the connection stays
    // usable.
    const rpc::Reply gone = client.call(QStringLiteral("RmtOpenDoor"), QJsonArray{1});
    QVERIFY(!gone.ok);
    QVERIFY2((gone.hresult == hr::RPC_E_DISCONNECTED && gone.message.contains(QStringLiteral("call Logon"))) ||
                 (gone.hresult == hr::E_ACCESSDENIED && gone.message == kLogOnFirst),
             qPrintable(gone.message));
    // The next log-on starts a new server.
    QVERIFY(client.create().ok);
    const pid_t next = listenerPid(endpoint());
    QVERIFY(next > 0 && next != server);
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{1}), QJsonValue(0));
}

void TestSocketServer::commandLineClient() {
    // Before OpenCon the command fails: the failure's code and a non-zero exit status.
    auto result = rmtclientRun({QStringLiteral("call"), QStringLiteral("RmtOpenDoor"), QStringLiteral("1")});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(QJsonDocument::fromJson(result.standardOutput)
                 .object()
                 .value(QStringLiteral("error"))
                 .toObject()
                 .value(QStringLiteral("code")),
             QJsonValue(hr::E_UNEXPECTED));
    // One object for the whole script: OpenCon, then its commands, words typed by the type library.
    m_env->writeFile(QStringLiteral("calls.txt"), "OpenCon 1 " + kLockMac.toLatin1() + " " + m_lockIp.toLatin1() +
                                                      "\n# a comment\nRmtOpenDoor 3\nLoadPassword \"0001\" 2 [3]\n"
                                                      R"({"method":"#325","params":{"aDoorNumber":1}})"
                                                      "\n");
    simLog();
    result = rmtclientRun({QStringLiteral("script"), m_env->path(QStringLiteral("calls.txt"))});
    QCOMPARE(result.exitCode, 0);
    const QList<QByteArray> lines = result.standardOutput.trimmed().split('\n');
    QCOMPARE(lines.size(), qsizetype(4));
    for (const QByteArray& line : lines)
        QCOMPARE(QJsonDocument::fromJson(line).object().value(QStringLiteral("hresult")), QJsonValue(0));
    QJsonArray passwords;
    for (const QJsonValue& entry : simLog()) {
        if (entry.toObject().value(QStringLiteral("method")) == QLatin1String("ComifLoadPassword"))
            passwords = entry.toObject().value(QStringLiteral("args")).toArray();
    }
    QCOMPARE(passwords, (QJsonArray{QStringLiteral("0001"), 2, QJsonArray{3}}));
    result = rmtclientRun({QStringLiteral("typeinfo")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(result.standardOutput)
                 .object()
                 .value(QStringLiteral("interface"))
                 .toObject()
                 .value(QStringLiteral("slotCount")),
             QJsonValue(51));
}

void TestSocketServer::callsByDispId_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("found");
    QTest::newRow("#325") << QStringLiteral("#325") << true;
    QTest::newRow("space after the number") << QStringLiteral("#325 ") << false;
    QTest::newRow("space before the number") << QStringLiteral("# 325") << false;
    QTest::newRow("plus sign") << QStringLiteral("#+325") << false;
}

// A call by DISPID takes "#" and a plain number only; any other text after "#" names no member.
void TestSocketServer::callsByDispId() {
    QFETCH(QString, method);
    QFETCH(bool, found);
    Client client = tcp();
    QVERIFY(client.create().ok);
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));
    const rpc::Reply reply = client.call(method, QJsonArray{1});
    QCOMPARE(reply.ok, found);
    if (found) {
        QCOMPARE(reply.result.value(QStringLiteral("retval")), QJsonValue(0));
        return;
    }
    QCOMPARE(reply.hresult, hr::DISP_E_MEMBERNOTFOUND);
    QCOMPARE(reply.message, QStringLiteral("Member not found: ") + method);
}

void TestSocketServer::endlessStatementEnds_data() {
    QTest::addColumn<QString>("end");
    QTest::newRow("its client leaves") << QStringLiteral("leave");
    QTest::newRow("scktsrvr killed") << QStringLiteral("kill");
    QTest::newRow("SIGTERM to morvane") << QStringLiteral("term");
}

// A statement that never ends, sent by a client through the socket server to an application server on
// SQLite: when its client leaves, or the socket server dies, it is stopped at once, so that another
// client's read waiting behind it is answered and the server is idle again; and the server ends soon
// after SIGTERM whatever runs.
void TestSocketServer::endlessStatementEnds() {
    QFETCH(QString, end);
    QVERIFY(waitNoEmbeddedServer(10000));
    m_env->writeSystemInfo("[System]\r\nComVersion=1\r\n[DataBase]\r\nProvider=SQLite\r\nConnectMode=1\r\n"
                           "DataBaseName=endless.db\r\n");
    const auto restore = qScopeGuard([this] {
        m_env->writeSystemInfo(kSystemInfo);
        if (m_socketServer->state() != QProcess::Running)
            QVERIFY(startSocketServer());
        QVERIFY(waitNoEmbeddedServer(10000));
    });
    const QJsonObject create{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}};
    const auto ok = [](const std::optional<QJsonObject>& reply) {
        return reply && reply->contains(QStringLiteral("result"));
    };

    // The first client starts the server, which creates its database.
    test::LineConnection endless(rawTcp());
    QVERIFY(endless.send(test::request(0, QStringLiteral("Logon"), kSystem)));
    QVERIFY(ok(endless.reply(0, 30000)));
    QVERIFY(endless.send(test::request(1, rpc::kCreateObject, create)));
    QVERIFY(ok(endless.reply(1, 30000)));
    const pid_t server = listenerPid(endpoint());
    QVERIFY(server > 0);
    // A client of the endpoint itself logs on there.
    test::LineConnection other(platform::connectEndpoint(endpoint()));
    QVERIFY(other.send(test::request(0, QStringLiteral("Logon"), kSystem)));
    QVERIFY(ok(other.reply(0, 5000)));
    QVERIFY(other.send(test::request(1, rpc::kCreateObject, create)));
    QVERIFY(ok(other.reply(1, 5000)));
    QVERIFY(other.send(test::request(2, QStringLiteral("AS_GetRecords"), kDepartments)));
    QVERIFY(ok(other.reply(2, 5000)));

    QVERIFY(endless.send(test::request(
        2, QStringLiteral("AS_GetRecords"),
        rowsOf(QStringLiteral("dsp_open_public"),
               QStringLiteral(
                   "with recursive r(x) as (select 1 union all select x + 1 from r) select count(*) from r")))));
    // Once the statement holds the database, the other client's read waits behind it. The statement goes
    // through the socket server, which a busy machine may not run for a good part of a second: reads are
    // asked for until one waits, for a time rather than a number of them.
    int waiting = 0;
    QElapsedTimer starting;
    starting.start();
    for (int id = 3; !waiting && starting.elapsed() < 10000; ++id) {
        QVERIFY(other.send(test::request(id, QStringLiteral("AS_GetRecords"), kDepartments)));
        if (!other.reply(id, 500))
            waiting = id;
    }
    QVERIFY2(waiting, "the endless statement did not start");

    QElapsedTimer clock;
    if (end == QLatin1String("term")) {
        ::kill(server, SIGTERM);
        clock.start();
        const bool gone = waitGone(server, 10000);
        qInfo("morvane ended %lld ms after SIGTERM, with an endless statement running", clock.elapsed());
        QVERIFY2(gone && clock.elapsed() < 5000, "morvane did not end within 5 s of SIGTERM");
        return;
    }
    if (end == QLatin1String("leave")) {
        endless.close();
    } else {
        m_socketServer->kill();
        QVERIFY(m_socketServer->waitForFinished(5000));
    }
    clock.start();
    const auto answered = other.reply(waiting, 10000);
    const qint64 ms = clock.elapsed();
    qInfo("another client's read answered %lld ms after the endless statement's client went", ms);
    QVERIFY2(ok(answered), answered ? QJsonDocument(*answered).toJson().constData() : "no reply");
    QVERIFY2(ms < 2000, qPrintable(QString::number(ms)));
    // The statement is gone, not merely overtaken: the server is idle.
    const double before = test::processCpuMs(server);
    QTest::qWait(1000);
    const qint64 used = static_cast<qint64>(test::processCpuMs(server) - before);
    qInfo("morvane used %lld ms of processor time in the second after", used);
    QVERIFY2(used < 300, qPrintable(QString::number(used)));
}

// Clients that log on (which starts the application server) and vanish within milliseconds, at every
// stage of the server's start and end: no application server started for them stays behind.
void TestSocketServer::quickClientsLeaveNoServer() {
    QVERIFY(waitNoEmbeddedServer(10000));
    for (int i = 0; i < 200; ++i) {
        test::WireClient client(m_tcpPort);
        QVERIFY(client.send(kLogonLine + kCreateLine) > 0);
        // Gone at once, or after waiting up to 1..7 ms for the reply.
        if (i % 8 != 0)
            client.readLine(i % 8);
    }
    QElapsedTimer clock;
    clock.start();
    // Well within the time after which a server that no client reached ends anyway.
    const bool none = waitNoEmbeddedServer(15000);
    qInfo("no application server left %lld ms after the last client", clock.elapsed());
    const QList<pid_t> left = embeddedServers();
    for (pid_t pid : left)
        ::kill(pid, SIGKILL);
    QVERIFY2(none, qPrintable(QStringLiteral("%1 application servers outlived their clients").arg(left.size())));
    // The socket server goes on starting servers.
    Client client = tcp();
    QVERIFY(client.create().ok);
}

// A client that creates its object just as the last client of a server started for clients goes never
// meets that server's end: its object is made by the ending server before that decides to end, or by a
// new one.
void TestSocketServer::createRightAfterTheLastClientGoes() {
    for (int i = 0; i < 20; ++i) {
        Client first = tcp();
        const rpc::Reply made = first.create();
        QVERIFY2(made.ok, qPrintable(made.message));
        Client next = tcp();
        QVERIFY(next.connected());
        first = Client(nullptr);
        const rpc::Reply created = next.create();
        QVERIFY2(created.ok, qPrintable(QStringLiteral("try %1: %2").arg(i).arg(created.message)));
        const rpc::Reply call = next.call(QStringLiteral("RealTimeScanId"));
        QVERIFY2(call.ok, qPrintable(QStringLiteral("try %1: %2").arg(i).arg(call.message)));
    }
}

// A component that is not registered (the server's own registration of it runs beside its start): the
// first OpenCon says what to run.
void TestSocketServer::unregisteredComponentNamesTheCommand() {
    Client client = tcp();
    QVERIFY(client.create().ok);
    const QString library = m_env->path(QStringLiteral("KestrovaCom.so"));
    QCOMPARE(test::runProgram(bin("regsvr32"), {QStringLiteral("/u"), QStringLiteral("/s"), library}, environment())
                 .exitCode,
             0);
    const rpc::Reply unregistered = client.call(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp});
    QCOMPARE(test::runProgram(bin("regsvr32"), {QStringLiteral("/s"), library}, environment()).exitCode, 0);
    QVERIFY(!unregistered.ok);
    QCOMPARE(unregistered.hresult, hr::CO_E_CLASSSTRING);
    QVERIFY2(unregistered.message.contains(m_env->path(QStringLiteral("regsvr32")) + QLatin1Char(' ') + library),
             qPrintable(unregistered.message));
    // Registered, the same object reaches the controller.
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));
}

// The automation layer has no log-on: it reaches a server in the open mode.
void TestSocketServer::automationLayerStartsTheLocalServer() {
    using platform::Argument;
    QVERIFY(waitNoEmbeddedServer(10000));
    QVERIFY(startSocketServer({{}, true}));
    const auto restore = qScopeGuard([this] {
        QVERIFY(waitNoEmbeddedServer(10000));
        QVERIFY(startSocketServer());
    });
    // Straight to the application server, which the creation starts for this process.
    qputenv("MORVANE_MONITOR_PORT", QByteArray::number(m_monitor.localPort()));
    platform::Variant object(platform::createObject(QStringLiteral("server.rmtserver")));
    const pid_t server = listenerPid(endpoint());
    QVERIFY(server > 0);
    QCOMPARE(platform::callMethod(object, QStringLiteral("OpenCon"),
                                  {Argument::byValue(1), Argument::byValue(kLockMac), Argument::byValue(m_lockIp)})
                 .toInt32(),
             0);
    m_sim.command({{QStringLiteral("cmd"), QStringLiteral("records")},
                   {QStringLiteral("mac"), kLockMac},
                   {QStringLiteral("records"), QJsonArray{QStringLiteral("0A01020399")}}});
    platform::Variant record;
    QCOMPARE(platform::callMethod(object, QStringLiteral("GetRecords"),
                                  {Argument::byValue(1), Argument::byValue(QString()), Argument::byValue(QString()),
                                   Argument::byRef(record)})
                 .toInt32(),
             0);
    QCOMPARE(record, platform::Variant(QStringLiteral("0A01020399")));
    try {
        platform::callMethod(object, QStringLiteral("RmtOpenDoor"), {Argument::byValue(QStringLiteral("x"))});
        QFAIL("a text that is no number was taken as a door");
    } catch (const platform::AutomationError& failure) {
        QCOMPARE(failure.code(), hr::DISP_E_TYPEMISMATCH);
    }
    object = platform::Variant();
    QVERIFY(waitGone(server, 5000));
}

void TestSocketServer::portTaken() {
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    test::TestEnvironment other;
    other.writeFile(QStringLiteral("scktsrvr.ini"), "[Listen]\r\nAddress=127.0.0.1\r\n");
    const auto result = test::runProgram(
        bin("scktsrvr"), {QStringLiteral("-port"), QString::number(taken.serverPort())}, other.processEnvironment());
    QCOMPARE(result.exitCode, 1);
    const QByteArray line = result.standardError.trimmed();
    QVERIFY2(!line.contains('\n') && line.contains(QByteArray::number(taken.serverPort())) && line.contains("-port"),
             line.constData());
}

void TestSocketServer::startServices_data() {
    QTest::addColumn<bool>("socketServerThere");
    QTest::addColumn<QString>("version"); // the lock component's registered version
    QTest::addColumn<bool>("registers");  // the component is registered afresh
    QTest::newRow("no socket server") << false << QStringLiteral("1") << false;
    QTest::newRow("current component") << true << QStringLiteral("1") << false;
    QTest::newRow("1.0 is not 1") << true << QStringLiteral("1.0") << true;
}

void TestSocketServer::startServices() {
    QFETCH(bool, socketServerThere);
    QFETCH(QString, version);
    QFETCH(bool, registers);
    test::TestEnvironment env;
    env.writeSystemInfo("[System]\r\nComVersion=1\r\n[DataBase]\r\nConnectMode=0\r\n");
    env.writeFile(QStringLiteral("scktsrvr.ini"), "[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\nWebPort=0\r\n");
    QFile::link(bin("regsvr32"), env.path(QStringLiteral("regsvr32")));
    QFile::link(bin("KestrovaCom.so"), env.path(QStringLiteral("KestrovaCom.so")));
    if (socketServerThere)
        QFile::link(bin("scktsrvr"), env.path(QStringLiteral("scktsrvr")));
    const QString key = QStringLiteral("CLSID\\{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}");
    platform::ClassRegistry registry(env.registryPath());
    registry.setValue(key + QStringLiteral("\\Version"), {}, version);
    registry.setValue(key + QStringLiteral("\\InprocServer32"), {}, QStringLiteral("marker"));

    QProcess server;
    server.setProcessEnvironment(env.processEnvironment());
    server.start(bin("morvane"), {});
    QVERIFY(server.waitForStarted());
    if (!socketServerThere) {
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 1);
        QCOMPARE(server.readAllStandardError().trimmed().split('\n').last(),
                 bin("morvane").toUtf8() + ": No File Scktsrvr.exe");
        return;
    }
    // The socket server is launched once the window exists; the registration runs beside it. A server that
    // creates its database first takes a while on a machine that also builds a package and runs a browser.
    QVERIFY(test::waitUntil([] { return platform::NamedMutex::isHeld(QStringLiteral("SCKTSRVR")); }, 30000));
    const auto registered = [&] {
        return registry.value(key + QStringLiteral("\\InprocServer32")) != QStringLiteral("marker");
    };
    // Not registered afresh: given the time a registration would take.
    QCOMPARE(test::waitUntil(registered, registers ? 10000 : 500), registers);
    server.terminate();
    QVERIFY(server.waitForFinished(5000));
    // The socket server outlives the server that launched it, as it does on any installation.
    const auto socketServer = test::runProgram(
        QStringLiteral("/usr/bin/pkill"),
        {QStringLiteral("-f"), QStringLiteral("^") + env.path(QStringLiteral("scktsrvr"))}, env.processEnvironment());
    QCOMPARE(socketServer.exitCode, 0);
}

// The application server's endpoint taken first by a process of another user: the socket server relays
// nothing to it (after CreateObject would come a new operator's password, a door command), starts no
// server of its own, and tells the client why. A single-instance lock of another user ends the socket
// server with a message, not silently as though another one ran.
void TestSocketServer::endpointOfAnotherUserIsRefused() {
    if (::geteuid() != 0)
        QSKIP("a process of another user needs root");
    QVERIFY(waitNoEmbeddedServer(10000));
    QVERIFY(ensureSocketServer({}));
    QFile::remove(endpoint());
    {
        test::ForeignListener foreign(endpoint());
        QVERIFY(foreign.listening());
        Client client = tcp();
        QVERIFY(client.connected());
        const rpc::Reply made = client.create();
        QVERIFY(!made.ok);
        QCOMPARE(made.hresult, hr::CO_E_SERVER_EXEC_FAILURE);
        QVERIFY2(made.message.contains(endpoint()) && made.message.contains(QLatin1String("uid 65534")),
                 qPrintable(made.message));
        QVERIFY(embeddedServers().isEmpty());
        QCOMPARE(foreign.finish(), 0);
    }
    // Once it has gone, the road is open again.
    QVERIFY(QFile::remove(endpoint()));
    QVERIFY(tcp().create().ok);

    test::TestEnvironment other;
    const QString lock = other.lockDir() + QStringLiteral("/morvane-mutex-SCKTSRVR.lock");
    QVERIFY(QFile(lock).open(QIODevice::WriteOnly));
    QVERIFY(::chown(QFile::encodeName(lock).constData(), 65534, 65534) == 0);
    const test::ProcessResult refused = test::runProgram(bin("scktsrvr"), {}, other.processEnvironment(), 10000);
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.standardError.contains(QFile::encodeName(lock)) && refused.standardError.contains("uid 65534"),
             refused.standardError.constData());
}

void TestSocketServer::tlsRoads_data() {
    QTest::addColumn<QString>("road"); // tcp, wss, or the rmtclient program over TCP
    QTest::addColumn<bool>("trusted"); // the client's CA file holds the server's certificate
    for (const char* road : {"tcp", "wss", "rmtclient"}) {
        QTest::newRow(road) << QString::fromLatin1(road) << true;
        QTest::newRow(qPrintable(QStringLiteral("%1, another authority").arg(QLatin1String(road))))
            << QString::fromLatin1(road) << false;
    }
}

// Over TLS, on a server that takes nothing else: a client that trusts its certificate logs on and opens a
// door; one that trusts another authority does not get as far as the handshake's end.
void TestSocketServer::tlsRoads() {
    QFETCH(QString, road);
    QFETCH(bool, trusted);
    Config config;
    config.tls = tlsLines(QStringLiteral("server"), "none");
    QVERIFY(ensureSocketServer(config));
    const QString ca = trusted ? QStringLiteral("server") : QStringLiteral("stranger");
    if (road == QLatin1String("rmtclient")) {
        const test::ProcessResult result =
            rmtclientRun({QStringLiteral("--tls"), QStringLiteral("--ca"), m_env->path(ca + QStringLiteral(".crt")),
                          QStringLiteral("logon")});
        QCOMPARE(result.exitCode, trusted ? 0 : 3);
        if (trusted) {
            QVERIFY2(QJsonDocument::fromJson(result.standardOutput).object().contains(QStringLiteral("token")),
                     result.standardOutput.constData());
        } else {
            QVERIFY2(result.standardError.contains("cannot connect over TLS") &&
                         result.standardError.contains("self-signed"),
                     result.standardError.constData());
            QVERIFY(result.standardOutput.isEmpty());
        }
        return;
    }
    QString error;
    Client client = secure(road == QLatin1String("wss"), ca, &error);
    if (!trusted) {
        QVERIFY(!client.connected());
        QVERIFY2(error.contains(QLatin1String("self-signed")), qPrintable(error));
        return;
    }
    QVERIFY2(client.connected(), qPrintable(error));
    QVERIFY(client.create().ok);
    simLog();
    QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));
    QCOMPARE(client.retval(QStringLiteral("RmtOpenDoor"), QJsonArray{2}), QJsonValue(0));
    const QJsonArray commands = simLog();
    QVERIFY(std::any_of(commands.begin(), commands.end(), [](const QJsonValue& entry) {
        return entry.toObject().value(QStringLiteral("method")) == QLatin1String("ComifRmtOpenDoor");
    }));
}

void TestSocketServer::handshakeNeverFinishes_data() {
    QTest::addColumn<QByteArray>("limits");
    QTest::addColumn<bool>("webSocket");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("ms"); // when it is closed
    // A record header that announces a hello of 512 bytes, and its first few.
    const QByteArray partOfAHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    QTest::newRow("first byte") << QByteArray("MessageTimeout=1\r\n") << false << QByteArray("\x16") << 1000;
    QTest::newRow("part of a hello") << QByteArray("MessageTimeout=1\r\n") << false << partOfAHello << 1000;
    QTest::newRow("part of a hello, WebSocket") << QByteArray("MessageTimeout=1\r\n") << true << partOfAHello << 1000;
    // The message time-out off: the handshake still has its own bound.
    QTest::newRow("MessageTimeout=0") << QByteArray("MessageTimeout=0\r\n") << false << partOfAHello << 10000;
}

// A TLS handshake that begins and never ends holds its connection no longer than its time; other clients
// are served meanwhile.
void TestSocketServer::handshakeNeverFinishes() {
    QFETCH(QByteArray, limits);
    QFETCH(bool, webSocket);
    QFETCH(QByteArray, sent);
    QFETCH(int, ms);
    Config config(limits);
    config.tls = tlsLines(QStringLiteral("server"));
    QVERIFY(ensureSocketServer(config));
    test::WireClient stuck(webSocket ? m_webPort : m_tcpPort);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(stuck.send(sent) == sent.size());
    Client other = secure(false, QStringLiteral("server"));
    QVERIFY(other.create().ok);
    QVERIFY(other.call(QStringLiteral("RealTimeScanId")).ok);
    QVERIFY2(stuck.waitClosed(ms + 3000), qPrintable(socketServerLog().right(1000)));
    qInfo("a handshake that never finished was closed after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() >= ms * 9 / 10); // a coarse timer may fire 5 % early
    QVERIFY(stuck.received().isEmpty());
    QVERIFY(waitLog(QStringLiteral("(the TLS handshake did not finish within %1 s)").arg(ms / 1000), 2000));
    QVERIFY(other.call(QStringLiteral("RealTimeScanId")).ok);
}

void TestSocketServer::certificateReloadedOnHangUp_data() {
    QTest::addColumn<QString>("broken"); // how the pair given afterwards cannot be used
    QTest::newRow("key of another certificate") << QStringLiteral("key");
    QTest::newRow("certificate not PEM") << QStringLiteral("garbage");
    QTest::newRow("files gone") << QStringLiteral("gone");
}

// SIGHUP takes the certificate and key files again: a new connection is shown the new certificate, one
// made before goes on; a pair that cannot be used leaves the one in force.
void TestSocketServer::certificateReloadedOnHangUp() {
    QFETCH(QString, broken);
    const QString certificateFile = m_env->path(QStringLiteral("live.crt"));
    const QString keyFile = m_env->path(QStringLiteral("live.key"));
    const auto install = [&](const QString& name) {
        for (const QString& ext : {QStringLiteral(".crt"), QStringLiteral(".key")}) {
            const QString target = m_env->path(QStringLiteral("live") + ext);
            QFile::remove(target);
            if (!QFile::copy(m_env->path(name + ext), target))
                return false;
        }
        return true;
    };
    const auto hangUp = [&](const QString& logged) {
        const qsizetype before = socketServerLog().count(logged);
        ::kill(static_cast<pid_t>(m_socketServer->processId()), SIGHUP);
        return test::waitUntil([&] { return socketServerLog().count(logged) > before; }, 5000);
    };
    QVERIFY(install(QStringLiteral("server")));
    Config config;
    config.tls = tlsLines(QStringLiteral("live"));
    QVERIFY(startSocketServer(config));
    Client before = secure(false, QStringLiteral("server"));
    QVERIFY(before.create().ok);
    QCOMPARE(presented(), certificate(QStringLiteral("server")));

    QVERIFY(install(QStringLiteral("renewed")));
    QVERIFY(hangUp(QStringLiteral("TLS certificate reloaded")));
    QCOMPARE(presented(), certificate(QStringLiteral("renewed")));
    QVERIFY(before.call(QStringLiteral("RealTimeScanId")).ok);
    QVERIFY(!secure(false, QStringLiteral("server")).connected());
    Client after = secure(true, QStringLiteral("renewed"));
    QVERIFY(after.create().ok);

    if (broken == QLatin1String("key")) {
        QFile::remove(keyFile);
        QVERIFY(QFile::copy(m_env->path(QStringLiteral("stranger.key")), keyFile));
    } else if (broken == QLatin1String("garbage")) {
        m_env->writeFile(QStringLiteral("live.crt"), "no certificate here\n");
    } else {
        QVERIFY(QFile::remove(certificateFile) && QFile::remove(keyFile));
    }
    QVERIFY(hangUp(QStringLiteral("TLS certificate not reloaded")));
    QVERIFY(waitLog(QStringLiteral("the one in force stays"), 1000));
    QCOMPARE(presented(), certificate(QStringLiteral("renewed")));
    QVERIFY(secure(false, QStringLiteral("renewed")).create().ok);
    QVERIFY(before.call(QStringLiteral("RealTimeScanId")).ok);
    QVERIFY(after.call(QStringLiteral("RealTimeScanId")).ok);
}

void TestSocketServer::whoMayConnect_data() {
    QTest::addColumn<QByteArray>("listen");    // more of [Listen]
    QTest::addColumn<QByteArray>("plainFrom"); // [TLS] PlainFrom; empty: no TLS
    QTest::addColumn<bool>("webSocket");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("origin");  // empty: none sent
    QTest::addColumn<QByteArray>("refusal"); // what the client reads first; empty: served; kUnanswered: closed at once
    const QString local = QStringLiteral("127.0.0.2");
    const QByteArray tlsOnly(R"("message":"This server takes TLS connections only: connect with TLS")");
    const QByteArray forbidden("HTTP/1.1 403 Forbidden");
    // In the clear beside TLS, as PlainFrom says.
    QTest::newRow("plain: none, TCP") << QByteArray() << QByteArray("none") << false << local << QByteArray()
                                      << tlsOnly;
    QTest::newRow("plain: none, WebSocket")
        << QByteArray() << QByteArray("none") << true << local << QByteArray() << forbidden;
    QTest::newRow("plain: loopback, TCP")
        << QByteArray() << QByteArray("loopback") << false << local << QByteArray() << QByteArray();
    QTest::newRow("plain: loopback, WebSocket")
        << QByteArray() << QByteArray("loopback") << true << local << QByteArray() << QByteArray();
    QTest::newRow("plain: any") << QByteArray() << QByteArray("any") << false << local << QByteArray() << QByteArray();
    // The allow-lists: an address not on its listener's list learns nothing, not even that TLS is spoken.
    const QByteArray one("Allow=127.0.0.3/32\r\n");
    const QByteArray range("Allow=10.1.2.3 127.0.0.8/29, ::1\r\n");
    const QByteArray web("WebAllow=127.0.0.3\r\n");
    const QByteArray any("any");
    const auto allow = [&](const char* name, const QByteArray& listen, bool webSocket, const char* source,
                           bool served) {
        QTest::newRow(name) << listen << any << webSocket << QString::fromLatin1(source) << QByteArray()
                            << (served ? QByteArray() : kUnanswered);
    };
    allow("allow: address not on the list", one, false, "127.0.0.2", false);
    allow("allow: address on the list", one, false, "127.0.0.3", true);
    allow("allow: within a subnet", range, false, "127.0.0.13", true);
    allow("allow: past a subnet", range, false, "127.0.0.16", false);
    allow("allow: WebSocket, not on WebAllow", web, true, "127.0.0.2", false);
    allow("allow: WebSocket, on WebAllow", web, true, "127.0.0.3", true);
    // The origins a browser's upgrade may carry.
    const QByteArray origins("WebOrigins=https://doors.example.org, http://127.0.0.1:8080/\r\n");
    const auto origin = [&](const char* name, const QByteArray& sent, bool accepted) {
        QTest::newRow(name) << origins << QByteArray() << true << QString() << sent
                            << (accepted ? QByteArray() : forbidden);
    };
    origin("origin: listed", "https://doors.example.org", true);
    origin("origin: listed, in capitals with a slash", "HTTPS://Doors.Example.ORG/", true);
    origin("origin: listed with its port", "http://127.0.0.1:8080", true);
    origin("origin: not listed", "https://elsewhere.example.net", false);
    origin("origin: under a listed host", "https://x.doors.example.org", false);
    origin("origin: opaque (null)", "null", false);
    origin("origin: none (not a browser)", QByteArray(), true);
}

// Who may connect, and how the others are told: in the clear beside TLS (PlainFrom), from an address off
// the allow-lists (closed before a word), from a page of a site not on WebOrigins (403). The served log on.
void TestSocketServer::whoMayConnect() {
    QFETCH(QByteArray, listen);
    QFETCH(QByteArray, plainFrom);
    QFETCH(bool, webSocket);
    QFETCH(QString, source);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, refusal);
    Config config;
    config.listen = listen;
    if (!plainFrom.isEmpty())
        config.tls = tlsLines(QStringLiteral("server"), plainFrom.constData());
    QVERIFY(ensureSocketServer(config));
    test::WireClient client(webSocket ? m_webPort : m_tcpPort, source);
    QVERIFY(client.connected());
    if (refusal == kUnanswered) {
        QElapsedTimer clock;
        clock.start();
        QVERIFY(client.waitClosed(3000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(client.received().isEmpty());
        QVERIFY(waitLog(QStringLiteral("connection from %1 refused: not on the allow-list (%2)")
                            .arg(source, webSocket ? QStringLiteral("WebAllow") : QStringLiteral("Allow")),
                        2000));
        QVERIFY(!socketServerLog().contains(QLatin1Char(' ') + source + QLatin1Char(':')));
        return;
    }
    QByteArray answer;
    if (webSocket)
        QCOMPARE(client.handshake(5000, origin.isEmpty() ? QByteArray() : "Origin: " + origin + "\r\n", &answer),
                 refusal.isEmpty());
    if (!webSocket || refusal.isEmpty()) {
        QVERIFY(client.sendRequest(kLogonLine.trimmed()) > 0);
        answer = client.readAnswer(10000).value_or(QByteArray());
    }
    if (refusal.isEmpty()) {
        QVERIFY2(answer.contains("\"token\""), answer.constData());
        return;
    }
    QVERIFY2(answer.contains(refusal), answer.constData());
    QVERIFY(client.waitClosed(3000));
}

// Log-on off: the socket server says so, listens on loopback unless an address is given, and an object
// is made without a log-on.
void TestSocketServer::openMode() {
    Config config({}, true);
    config.address.clear();
    QVERIFY(ensureSocketServer(config));
    const QString log = socketServerLog();
    QVERIFY2(log.contains(QStringLiteral("log-on is off (Logon=0 in [Security] of %1): every client that reaches "
                                         "127.0.0.1 may do everything")
                              .arg(m_env->path(QStringLiteral("scktsrvr.ini")))),
             qPrintable(log));
    QVERIFY2(log.contains(
                 QStringLiteral("serving TCP 127.0.0.1:%1 and WebSocket 127.0.0.1:%2").arg(m_tcpPort).arg(m_webPort)),
             qPrintable(log));
    for (const bool webSocket : {false, true}) {
        Client client = webSocket ? web() : tcp();
        QVERIFY(
            client.call(rpc::kCreateObject, QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}})
                .ok);
        QCOMPARE(client.retval(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp}), QJsonValue(0));
    }
}

void TestSocketServer::rmtclientCredentials_data() {
    QTest::addColumn<QString>("source"); // options, environment, file, token, token environment, none
    QTest::addColumn<QString>("secret"); // the password or token
    QTest::addColumn<int>("exitCode");
    const QString wrong = QStringLiteral("Wr0ng-Secret-4711");
    QTest::newRow("operator option and password file") << QStringLiteral("options") << QStringLiteral("1") << 0;
    QTest::newRow("operator option and password file, wrong") << QStringLiteral("options") << wrong << 3;
    QTest::newRow("environment") << QStringLiteral("environment") << QStringLiteral("1") << 0;
    QTest::newRow("environment, wrong") << QStringLiteral("environment") << wrong << 3;
    QTest::newRow("operator from the environment, password file") << QStringLiteral("file") << QStringLiteral("1") << 0;
    QTest::newRow("token option") << QStringLiteral("token") << QString() << 0;
    QTest::newRow("token environment") << QStringLiteral("token environment") << QString() << 0;
    QTest::newRow("forged token") << QStringLiteral("token")
                                  << QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA") << 3;
    QTest::newRow("nothing, no terminal") << QStringLiteral("none") << QString() << 3;
}

// rmtclient takes its credentials from options, the environment or a password file, and a token from an
// earlier log-on; a password is never printed nor logged, right or wrong.
void TestSocketServer::rmtclientCredentials() {
    QFETCH(QString, source);
    QFETCH(QString, secret);
    QFETCH(int, exitCode);
    QVERIFY(ensureSocketServer({}));
    // Sessions live in the application server: a client holding an object keeps the one started for
    // clients running between the runs, as the installation's own server would be.
    Client holder = tcp();
    QVERIFY(holder.create().ok);
    if (secret.isEmpty() && source.startsWith(QLatin1String("token"))) {
        const test::ProcessResult logon = rmtclientRun({QStringLiteral("logon")});
        QCOMPARE(logon.exitCode, 0);
        secret = QJsonDocument::fromJson(logon.standardOutput).object().value(QStringLiteral("token")).toString();
        QVERIFY(!secret.isEmpty());
    }
    const QString passwordFile = m_env->path(QStringLiteral("password.txt"));
    m_env->writeFile(QStringLiteral("password.txt"), secret.toUtf8() + "\n");
    QProcessEnvironment env;
    QStringList arguments;
    if (source == QLatin1String("options"))
        arguments << QStringLiteral("--operator") << QStringLiteral("SYSTEM") << QStringLiteral("--password-file")
                  << passwordFile;
    if (source == QLatin1String("environment")) {
        env.insert(QStringLiteral("MORVANE_OPERATOR"), QStringLiteral("SYSTEM"));
        env.insert(QStringLiteral("MORVANE_PASSWORD"), secret);
    }
    if (source == QLatin1String("file")) {
        env.insert(QStringLiteral("MORVANE_OPERATOR"), QStringLiteral("SYSTEM"));
        arguments << QStringLiteral("--password-file") << passwordFile;
    }
    if (source == QLatin1String("token"))
        arguments << QStringLiteral("--token") << secret;
    if (source == QLatin1String("token environment"))
        env.insert(QStringLiteral("MORVANE_TOKEN"), secret);
    arguments << QStringLiteral("call") << QStringLiteral("RealTimeScanId");
    const test::ProcessResult result = rmtclientRun(arguments, false, env);
    QVERIFY2(result.exitCode == exitCode, QByteArray(result.standardOutput + result.standardError).constData());
    if (exitCode == 0) {
        QCOMPARE(QJsonDocument::fromJson(result.standardOutput).object().value(QStringLiteral("hresult")),
                 QJsonValue(0));
        return;
    }
    const QByteArray said = result.standardOutput + result.standardError;
    if (source == QLatin1String("none"))
        QVERIFY2(said.contains("the server asks for a log-on"), said.constData());
    else
        QVERIFY2(said.contains(R"("code":-2147024891)"), said.constData());
    // Wherever a refused log-on is told or recorded, its secret is not.
    QVERIFY(QFile::exists(m_env->path(QStringLiteral("audit.log"))));
    for (const QByteArray& text :
         {said, socketServerLog().toUtf8(), m_env->readFile(m_env->path(QStringLiteral("audit.log")))})
        QVERIFY(secret.isEmpty() || !text.contains(secret.toUtf8()));
}

void TestSocketServer::settingsRefused_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("said");
    const QByteArray server = "Certificate=" + m_env->path(QStringLiteral("server.crt")).toUtf8() + "\r\n";
    QTest::newRow("PlainFrom=none without a certificate")
        << QByteArray("[TLS]\r\nPlainFrom=none\r\n") << 2
        << QByteArray("PlainFrom=none in [TLS] refuses connections in the clear, but [TLS] names no Certificate");
    QTest::newRow("PlainFrom=loopback without a certificate")
        << QByteArray("[TLS]\r\nPlainFrom=loopback\r\n") << 2 << QByteArray("PlainFrom=loopback in [TLS] refuses");
    QTest::newRow("PlainFrom unknown") << QByteArray("[TLS]\r\nPlainFrom=sometimes\r\n") << 2
                                       << QByteArray("it takes any, loopback or none");
    QTest::newRow("a certificate without its key")
        << "[TLS]\r\n" + server << 2 << QByteArray("[TLS] needs both Certificate and Key");
    QTest::newRow("the key of another certificate")
        << "[TLS]\r\n" + server + "Key=" + m_env->path(QStringLiteral("stranger.key")).toUtf8() + "\r\n"
        << 1 << QByteArray("does not belong to the certificate");
    QTest::newRow("a key that is no key")
        << "[TLS]\r\n" + server + "Key=" + m_env->path(QStringLiteral("server.crt")).toUtf8() + "\r\n"
        << 1 << QByteArray("holds no unencrypted PEM private key");
    QTest::newRow("an allowed subnet that is none")
        << QByteArray("[Listen]\r\nAllow=10.0.0.0/33\r\n") << 2 << QByteArray("neither an address nor a subnet");
}

// Settings that would leave the server less guarded than they say: it does not start, and says why.
void TestSocketServer::settingsRefused() {
    QFETCH(QByteArray, ini);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, said);
    test::TestEnvironment other;
    other.writeFile(QStringLiteral("scktsrvr.ini"), "[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\nWebPort=0\r\n" + ini);
    const test::ProcessResult result = test::runProgram(bin("scktsrvr"), {}, other.processEnvironment(), 10000);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.standardError.contains(said), result.standardError.constData());
}

void TestSocketServer::beforeLogOn_data() {
    QTest::addColumn<bool>("webSocket");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArrayList>("seen"); // in the answers, in order; the last one the close frame's
    QTest::addColumn<bool>("closed");
    const QByteArray bigLogon =
        R"({"id":0,"method":"Logon","params":{"operator":"SYSTEM","password":")" + QByteArray(1 << 20, 'x') + "\"}}";
    const QByteArray longCall = R"({"id":2,"method":"RmtOpenDoor","params":[")" + QByteArray(1 << 20, 'a') + "\"]}\n";
    QTest::newRow("1 MiB password") << false << bigLogon + "\n"
                                    << QByteArrayList{"Message larger than 65536 bytes before a log-on"} << true;
    QTest::newRow("1 MiB password, WebSocket") << true << test::WireClient::frame(1, bigLogon)
                                               << QByteArrayList{"Message larger than 65536 bytes before a log-on",
                                                                 "\x03\xf1message too large before a log-on"}
                                               << true;
    QTest::newRow("half of a large message")
        << false << bigLogon.left(100 * 1024) << QByteArrayList{"Message larger than 65536 bytes before a log-on"}
        << true;
    QTest::newRow("a log-on, then a long call at once")
        << false << kLogonLine + kCreateLine + longCall
        << QByteArrayList{"\"token\"", R"("id":1,"jsonrpc":"2.0","result")", R"("id":2,)"} << false;
    QTest::newRow("a log-on, then a long call at once, WebSocket")
        << true
        << test::WireClient::frame(1, kLogonLine.trimmed()) + test::WireClient::frame(1, kCreateLine.trimmed()) +
               test::WireClient::frame(1, longCall.trimmed())
        << QByteArrayList{"\"token\"", R"("id":1,"jsonrpc":"2.0","result")", R"("id":2,)"} << false;
}

// Before its log-on a client sends nothing larger than a log-on needs: a longer message is refused and its
// connection closed, without waiting for the rest of it. Once logged on, the whole MaxMessage is its own,
// even for a call sent right behind the log-on.
void TestSocketServer::beforeLogOn() {
    QFETCH(bool, webSocket);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArrayList, seen);
    QFETCH(bool, closed);
    QVERIFY(ensureSocketServer({}));
    test::WireClient client(webSocket ? m_webPort : m_tcpPort);
    QVERIFY(!webSocket || client.handshake(5000));
    client.send(sent, 5000);
    for (const QByteArray& text : seen) {
        const QByteArray answer = client.readAnswer(5000).value_or(QByteArray());
        QVERIFY2(answer.contains(text), answer.left(300).constData());
    }
    QCOMPARE(client.waitClosed(closed ? 3000 : 300), closed);
}

QTEST_GUILESS_MAIN(TestSocketServer)
#include "tst_scktsrvr.moc"
