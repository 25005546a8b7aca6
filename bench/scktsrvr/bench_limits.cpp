// The socket server under clients that would starve the others, through the wire on loopback, with its
// default limits: one client that pipelines GetTypeInfo and never reads, 64 WebSocket clients each holding
// 15 MiB of a message unfinished, 1,023 idle connections from one address, and 1,100 clients under a limit
// of 1,024 open files. Prints its figures.
//
//     bench_limits [seconds of the never-reading client, default 60]
#include "LocalServer.h"
#include "TestSupport.h"
#include "WireClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace morvane;

namespace {

const QByteArray kCreate = R"({"id":1,"method":"CreateObject","params":{"progid":"server.rmtserver"}})"
                           "\n";
const QByteArray kTypeInfo = R"({"id":2,"method":"GetTypeInfo"})"
                             "\n";

double mib(long kib) {
    return kib / 1024.0;
}

class SocketServer {
public:
    explicit SocketServer(test::TestEnvironment& env)
        : m_env(env) {}
    ~SocketServer() { stop(); }
    bool start(const QByteArray& limits = {}, rlim_t openFiles = 0) {
        stop();
        m_env.writeFile(QStringLiteral("scktsrvr.ini"),
                        "[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\nWebPort=0\r\n[Limits]\r\n" + limits);
        m_log = m_env.path(QStringLiteral("scktsrvr.log"));
        m_process = std::make_unique<QProcess>();
        m_process->setStandardErrorFile(m_log);
        if (openFiles > 0) {
            m_process->setChildProcessModifier([openFiles] {
                const rlimit limit{openFiles, openFiles};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        }
        m_process->start(test::binDir() + QStringLiteral("/scktsrvr"), {});
        static const QRegularExpression ready(QStringLiteral(R"(serving TCP [\d.]+:(\d+) and WebSocket [\d.]+:(\d+))"));
        for (int i = 0; i < 500; ++i) {
            const auto match = ready.match(log());
            if (match.hasMatch()) {
                tcpPort = match.captured(1).toUShort();
                webPort = match.captured(2).toUShort();
                return true;
            }
            QThread::msleep(20);
        }
        std::fprintf(stderr, "scktsrvr did not get ready: %s\n", qPrintable(log()));
        return false;
    }
    void stop() {
        if (!m_process)
            return;
        m_process->terminate();
        m_process->waitForFinished(5000);
        m_process.reset();
    }
    qint64 pid() const { return m_process->processId(); }
    QString log() const { return QString::fromUtf8(m_env.readFile(m_log)); }

    quint16 tcpPort = 0;
    quint16 webPort = 0;

private:
    test::TestEnvironment& m_env;
    std::unique_ptr<QProcess> m_process;
    QString m_log;
};

bool created(test::WireClient& client, int ms = 20000) {
    return client.send(kCreate) == kCreate.size() && client.readLine(ms).value_or(QByteArray()).contains("\"result\"");
}

// Milliseconds for one GetTypeInfo on a client that reads; -1 when it fails.
double typeInfoMs(test::WireClient& client) {
    QElapsedTimer clock;
    clock.start();
    if (client.send(kTypeInfo) != kTypeInfo.size() ||
        !client.readLine(20000).value_or(QByteArray()).contains("typeLibrary"))
        return -1;
    return clock.nsecsElapsed() / 1e6;
}

void neverReadingClient(SocketServer& server, int seconds) {
    if (!server.start())
        return;
    const qint64 pid = server.pid();
    test::WireClient other(server.tcpPort);
    test::WireClient attacker(server.tcpPort);
    if (!created(other) || !created(attacker) || typeInfoMs(attacker) < 0 || typeInfoMs(other) < 0) {
        std::printf("never-reading client: no object\n");
        return;
    }
    const long start = test::residentKiB(pid);
    long peak = start;
    double slowestCall = 0;
    double slowestCreate = 0;
    qint64 sent = 0;
    QByteArray batch;
    for (int i = 0; i < 100; ++i)
        batch += kTypeInfo;
    QElapsedTimer clock;
    clock.start();
    qint64 nextProbe = 0;
    while (clock.elapsed() < seconds * 1000LL) {
        sent += std::max<qint64>(0, attacker.send(batch, 20));
        if (clock.elapsed() < nextProbe)
            continue;
        nextProbe = clock.elapsed() + 500;
        peak = std::max(peak, test::residentKiB(pid));
        slowestCall = std::max(slowestCall, typeInfoMs(other));
        test::WireClient fresh(server.tcpPort);
        QElapsedTimer create;
        create.start();
        const bool made = created(fresh);
        slowestCreate = std::max(slowestCreate, made ? create.nsecsElapsed() / 1e6 : 1e9);
    }
    attacker.close();
    QElapsedTimer settle;
    settle.start();
    while (test::residentKiB(pid) > start + 10 * 1024 && settle.elapsed() < 10000)
        QThread::msleep(50);
    // Its buffers go back to the system a moment after the connection has closed.
    QThread::msleep(1000);
    const long after = test::residentKiB(pid);
    std::printf("One client pipelining GetTypeInfo for %d s without reading (%.1f MiB of requests taken):\n"
                "  scktsrvr %.1f MiB at the start, %.1f MiB at most: grew %.1f MiB (limit 64 MiB)\n"
                "  %.1f MiB %.1f s after the client left: %+.1f MiB from the start (limit 10 MiB)\n"
                "  meanwhile another client's GetTypeInfo took at most %.1f ms, a new client's CreateObject %.1f ms\n",
                seconds, sent / 1048576.0, mib(start), mib(peak), mib(peak - start), mib(after),
                settle.elapsed() / 1000.0, mib(after - start), slowestCall, slowestCreate);
}

void unfinishedWebSocketMessages(SocketServer& server) {
    if (!server.start())
        return;
    const qint64 pid = server.pid();
    const long start = test::residentKiB(pid);
    long peak = start;
    const QByteArray first =
        test::WireClient::frame(1, R"({"id":1,"method":"RmtOpenDoor","params":[")" + QByteArray(1 << 20, 'a'), false);
    const QByteArray more = test::WireClient::frame(0, QByteArray(1 << 20, 'a'), false);
    std::vector<std::unique_ptr<test::WireClient>> clients;
    QByteArrayList refusals;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::make_unique<test::WireClient>(server.webPort, QStringLiteral("127.0.2.%1").arg(i + 1)));
        test::WireClient& client = *clients.back();
        if (!client.handshake(5000))
            continue;
        client.send(first, 5000);
        // Until the whole message is out, or the server has refused it.
        for (int mebibyte = 1; mebibyte < 15; ++mebibyte) {
            if (const auto answer = client.readMessage(0)) {
                refusals.push_back(answer->payload);
                break;
            }
            if (client.send(more, 5000) != more.size())
                break;
        }
        peak = std::max(peak, test::residentKiB(pid));
    }
    const double sendingMs = clock.elapsed();
    for (auto& client : clients) {
        if (const auto answer = client->readMessage(200))
            refusals.push_back(answer->payload);
    }
    const int refused = static_cast<int>(std::count_if(
        refusals.cbegin(), refusals.cend(), [](const QByteArray& text) { return text.contains("Message refused"); }));
    const QByteArray refusal = refusals.isEmpty() ? QByteArray() : refusals.first();
    peak = std::max(peak, test::residentKiB(pid));
    clients.clear();
    QThread::msleep(500);
    const long after = test::residentKiB(pid);
    std::printf(
        "64 WebSocket clients, each 15 MiB of a fragmented message never finished (%.1f s):\n"
        "  %d held, %d refused: %s\n"
        "  scktsrvr %.1f MiB at the start, %.1f MiB at most: grew %.1f MiB (InputBudget 256 MiB); %.1f MiB once "
        "they left\n",
        sendingMs / 1000, 64 - refused, refused, refusal.left(200).constData(), mib(start), mib(peak),
        mib(peak - start), mib(after));
}

void idleConnectionsFromOneAddress(SocketServer& server) {
    if (!server.start())
        return;
    std::vector<std::unique_ptr<test::WireClient>> idle;
    for (int i = 0; i < 1023; ++i)
        idle.push_back(std::make_unique<test::WireClient>(server.tcpPort, QStringLiteral("127.0.0.2")));
    int refused = 0;
    int open = 0;
    QByteArray refusal;
    QElapsedTimer clock;
    clock.start();
    for (auto& client : idle) {
        const auto line = client->readLine(static_cast<int>(std::max<qint64>(1, 3000 - clock.elapsed())));
        if (line && line->contains("Too many connections")) {
            ++refused;
            refusal = *line;
        } else if (client->connected()) {
            ++open;
        }
    }
    test::WireClient other(server.tcpPort, QStringLiteral("127.0.0.3"));
    QElapsedTimer create;
    create.start();
    const bool made = created(other);
    std::printf("1,023 idle connections from 127.0.0.2: %d open, %d refused: %s\n"
                "  a client from 127.0.0.3 %s in %.1f ms\n",
                open, refused, refusal.constData(), made ? "got its object" : "was REFUSED",
                create.nsecsElapsed() / 1e6);
}

void clientsUnderOpenFileLimit(SocketServer& server) {
    // As "ulimit -n 1024": soft and hard limit alike.
    if (!server.start({}, 1024))
        return;
    static const QRegularExpression lowered(QStringLiteral("MaxConnections \\d+ lowered to \\d+[^\\n]*"));
    const QString loweredLine = lowered.match(server.log()).captured(0);
    std::vector<std::unique_ptr<test::WireClient>> clients;
    QElapsedTimer clock;
    clock.start();
    // From 20 addresses, 55 each: within the limit per address.
    for (int i = 0; i < 1100; ++i) {
        clients.push_back(
            std::make_unique<test::WireClient>(server.tcpPort, QStringLiteral("127.0.1.%1").arg(i % 20 + 1)));
        clients.back()->send(kCreate, 1000);
    }
    int served = 0;
    int refused = 0;
    int other = 0;
    QByteArray unexpected;
    for (auto& client : clients) {
        const QByteArray line =
            client->readLine(static_cast<int>(std::max<qint64>(1, 60000 - clock.elapsed()))).value_or(QByteArray());
        if (line.contains("\"result\""))
            ++served;
        else if (line.contains("Too many connections ("))
            ++refused;
        else if (++other == 1)
            unexpected = line.isEmpty() ? QByteArray("nothing") : line.left(300);
    }
    const double ms = clock.elapsed();
    const qint64 morvane = [&] {
        const int fd =
            platform::connectEndpoint(platform::endpointPath(QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}")));
        ucred credentials{};
        socklen_t size = sizeof credentials;
        const bool known = fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
        if (fd >= 0)
            ::close(fd);
        return known ? static_cast<qint64>(credentials.pid) : qint64(-1);
    }();
    std::printf("1,100 clients with objects, scktsrvr under 1,024 open files (%s):\n"
                "  %d served, %d refused \"Too many connections\", %d otherwise%s%s, in %.1f s; morvane has %ld "
                "threads\n",
                qPrintable(loweredLine), served, refused, other, other ? " (the first got: " : "",
                other ? QByteArray(unexpected + ')').constData() : "", ms / 1000,
                test::processStatus(morvane, "Threads:"));
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int seconds = QCoreApplication::arguments().value(1, QStringLiteral("60")).toInt();
    // The clients here need more descriptors than a login shell allows.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    test::TestEnvironment env;
    env.writeSystemInfo("[System]\r\nComVersion=1\r\n[DataBase]\r\nConnectMode=0\r\n");
    QFile::link(test::binDir() + QStringLiteral("/scktsrvr"), env.path(QStringLiteral("scktsrvr")));
    const auto registration = test::runProgram(test::binDir() + QStringLiteral("/morvane"),
                                               {QStringLiteral("-regserver")}, env.processEnvironment());
    if (registration.exitCode != 0) {
        std::fprintf(stderr, "registration failed: %s\n", registration.standardError.constData());
        return 1;
    }
    SocketServer server(env);
    neverReadingClient(server, seconds);
    unfinishedWebSocketMessages(server);
    idleConnectionsFromOneAddress(server);
    clientsUnderOpenFileLimit(server);
    return 0;
}
