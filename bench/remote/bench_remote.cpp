// The whole road of a remote command, client → scktsrvr → morvane → component → controller simulator on
// loopback, against the direct component call measured in the same run: latency, throughput of 20
// clients at once, resident memory of 500 idle connections, and memory over many connect/call/close
// cycles; then the throughput of 20 clients over TLS against that in the clear. Prints its figures. With
// MORVANE_BENCH_BOARDS=1 every simulated controller is a door board.
#include "Automation.h"
#include "JsonRpc.h"
#include "KestrovaAdapter.h"
#include "RemoteClient.h"
#include "SimulatorThread.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace morvane;
using Clock = std::chrono::steady_clock;
namespace rpc = platform::rpc;

namespace {

constexpr int kClients = 20;

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

double microseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

QString macOf(int index) {
    return QStringLiteral("02-00-00-00-00-%1").arg(index, 2, 16, QLatin1Char('0')).toUpper();
}

// One client connection, its requests written and read by hand so that every reply's id is checked.
class Connection {
public:
    // Over TLS when given the authority's certificate.
    explicit Connection(quint16 port, const QString& caFile = {}) {
        rmtclient::Endpoint endpoint;
        endpoint.tcpPort = port;
        endpoint.tls = !caFile.isEmpty();
        endpoint.caFile = caFile;
        m_channel = rmtclient::connectChannel(endpoint, 30000, nullptr);
    }
    bool ok() const { return m_channel != nullptr; }
    // The reply's result, or an empty object when the reply failed or answered another request.
    QJsonObject call(const QString& method, const QJsonValue& params) {
        const int id = ++m_id;
        const QJsonObject request{
            {QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
        if (!m_channel->send(QJsonDocument(request).toJson(QJsonDocument::Compact), nullptr))
            return {};
        const auto line = m_channel->receive(nullptr);
        if (!line)
            return {};
        const QJsonObject reply = QJsonDocument::fromJson(*line).object();
        if (reply.value(QStringLiteral("id")).toInt() != id) {
            ++mismatched;
            return {};
        }
        return reply.value(QStringLiteral("result")).toObject();
    }
    bool create() {
        return call(rpc::kCreateObject, QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}})
                   .value(QStringLiteral("hresult")) == QJsonValue(0);
    }
    bool command(const QString& method, const QJsonArray& params) {
        return call(method, params).value(QStringLiteral("retval")) == QJsonValue(0);
    }
    int mismatched = 0;

private:
    std::unique_ptr<rpc::MessageChannel> m_channel;
    int m_id = 0;
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int calls = args.value(1, QStringLiteral("2000")).toInt();
    const int seconds = args.value(2, QStringLiteral("5")).toInt();
    const int idle = args.value(3, QStringLiteral("500")).toInt();
    const int cycles = args.value(4, QStringLiteral("10000")).toInt();
    const QString bin = QCoreApplication::applicationDirPath();

    // A private installation: program directory, class registry, locks.
    QTemporaryDir root;
    const QString dir = root.path() + QStringLiteral("/bin/");
    QDir().mkpath(dir);
    QDir().mkpath(root.path() + QStringLiteral("/locks"));
    for (const char* name : {"scktsrvr", "regsvr32", "KestrovaCom.so"})
        QFile::link(bin + QLatin1Char('/') + QLatin1String(name), dir + QLatin1String(name));
    const auto write = [&](const QString& name, const QByteArray& content) {
        QFile file(dir + name);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    write(QStringLiteral("systeminfo.ini"), "[DataBase]\r\nConnectMode=0\r\n");
    // The whole path without log-on (its cost is measured by bench_security); all its clients come from
    // one address, past the default limit per address. With a certificate for the TLS part.
    const QString certificate = root.path() + QStringLiteral("/server.crt");
    const QString key = root.path() + QStringLiteral("/server.key");
    const auto writeSettings = [&](bool tls) {
        return write(
            QStringLiteral("scktsrvr.ini"),
            "[Security]\r\nLogon=0\r\n[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\nWebPort=-1\r\n"
            "[Limits]\r\nMaxPerAddress=0\r\n[TLS]\r\n" +
                (tls ? "Certificate=" + certificate.toUtf8() + "\r\nKey=" + key.toUtf8() + "\r\n" : QByteArray()));
    };
    writeSettings(false);
    if (QProcess::execute(
            QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
             QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=bench"),
             QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"), key,
             QStringLiteral("-out"), certificate}) != 0) {
        std::fprintf(stderr, "openssl could not make a certificate\n");
        return 1;
    }
    qputenv("MORVANE_PROGRAM_DIR", dir.toLocal8Bit());
    qputenv("MORVANE_REGISTRY", (root.path() + QStringLiteral("/classes.reg")).toLocal8Bit());
    qputenv("MORVANE_LOCK_DIR", (root.path() + QStringLiteral("/locks")).toLocal8Bit());
    if (QProcess::execute(bin + QStringLiteral("/morvane"), {QStringLiteral("-regserver")}) != 0 ||
        QProcess::execute(bin + QStringLiteral("/regsvr32"),
                          {QStringLiteral("/s"), dir + QStringLiteral("KestrovaCom.so")}) != 0) {
        std::fprintf(stderr, "registration failed\n");
        return 1;
    }

    const int octet = QRandomGenerator::global()->bounded(100, 250);
    const auto ipOf = [octet](int index) { return QStringLiteral("127.%1.9.%2").arg(octet).arg(index + 1); };
    QJsonArray controllers;
    const bool boards = qEnvironmentVariableIntValue("MORVANE_BENCH_BOARDS") == 1;
    for (int i = 0; i < kClients; ++i) {
        QJsonObject controller{{QStringLiteral("mac"), macOf(i)}, {QStringLiteral("ip"), ipOf(i)}};
        if (boards) {
            controller.insert(QStringLiteral("kind"), QStringLiteral("uhppote"));
            controller.insert(QStringLiteral("serial"), 1000 + i);
        } else {
            controller.insert(QStringLiteral("port"), 2008);
        }
        controllers.append(controller);
    }
    std::printf("controllers: %s\n", boards ? "door boards" : "our own");
    ctrlsim::SimulatorThread simulator;
    QString error;
    if (!simulator.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        return 1;
    }

    QProcess socketServer;
    socketServer.setStandardErrorFile(root.path() + QStringLiteral("/scktsrvr.log"));
    // Its port, from its ready line; 0 when it did not get ready.
    const auto startSocketServer = [&]() -> quint16 {
        socketServer.start(bin + QStringLiteral("/scktsrvr"), {});
        static const QRegularExpression ready(QStringLiteral(R"(serving TCP [\d.]+:(\d+))"));
        quint16 found = 0;
        for (int i = 0; i < 500 && found == 0; ++i) {
            QThread::msleep(20);
            QFile log(root.path() + QStringLiteral("/scktsrvr.log"));
            if (log.open(QIODevice::ReadOnly))
                found = ready.match(QString::fromUtf8(log.readAll())).captured(1).toUShort();
        }
        return found;
    };
    quint16 port = startSocketServer();
    if (port == 0) {
        std::fprintf(stderr, "scktsrvr did not start\n");
        return 1;
    }

    // Latency: the direct call and the whole road, taken in turns so that both see the same machine.
    const auto getClassObject = test::loadComponent(bin + QStringLiteral("/KestrovaCom.so"), false);
    platform::Variant link(getClassObject("{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}")->createInstance());
    platform::Variant mode(1), ip(ipOf(0)), mac(macOf(0));
    Connection client(port);
    if (kestrova::COMifCreateNetworkConnection(link, mode, ip, mac) != 0 || !client.ok() || !client.create() ||
        !client.command(QStringLiteral("OpenCon"), QJsonArray{1, macOf(0), ipOf(0)})) {
        std::fprintf(stderr, "cannot reach the controller\n");
        return 1;
    }
    std::vector<double> direct, remote;
    int failures = 0;
    for (int i = 0; i < calls; ++i) {
        int32_t door = 1;
        auto start = Clock::now();
        failures += kestrova::ComifRmtOpenDoor(link, door) == 0 ? 0 : 1;
        direct.push_back(microseconds(start, Clock::now()));
        start = Clock::now();
        failures += client.command(QStringLiteral("RmtOpenDoor"), QJsonArray{1}) ? 0 : 1;
        remote.push_back(microseconds(start, Clock::now()));
    }
    const double directMedian = percentile(direct, 0.5);
    const double remoteMedian = percentile(remote, 0.5);
    std::printf("direct component call:   median %.0f us, p99 %.0f us (%d calls)\n", directMedian,
                percentile(direct, 0.99), calls);
    std::printf("RmtOpenDoor whole road:  median %.0f us, p99 %.0f us\n", remoteMedian, percentile(remote, 0.99));
    std::printf("whole road / direct:     %.2f at the median (goal <= 1.50)\n", remoteMedian / directMedian);

    // Throughput: 20 clients at once, each on its own object and controller (over TLS when given the
    // authority's certificate); the calls per second, and those failed or lost and mismatched.
    struct Load {
        double perSecond = 0;
        long lost = 0;
        long mismatched = 0;
        double p50 = 0; // of a call, in microseconds
        double p99 = 0;
    };
    const auto load = [&](const QString& caFile) {
        std::atomic<long> done{0}, lost{0}, mismatched{0};
        std::atomic<bool> go{false};
        std::mutex latenciesMutex; // the clients' threads
        std::vector<double> latencies;
        std::vector<std::thread> threads;
        for (int c = 0; c < kClients; ++c) {
            threads.emplace_back([&, c] {
                Connection mine(port, caFile);
                if (!mine.ok() || !mine.create() ||
                    !mine.command(QStringLiteral("OpenCon"), QJsonArray{1, macOf(c), ipOf(c)})) {
                    ++lost;
                    return;
                }
                while (!go.load())
                    std::this_thread::yield();
                const auto end = Clock::now() + std::chrono::seconds(seconds);
                std::vector<double> mineTimes;
                for (auto start = Clock::now(); start < end;) {
                    if (mine.command(QStringLiteral("RmtOpenDoor"), QJsonArray{1 + c % 4}))
                        ++done;
                    else
                        ++lost;
                    const auto now = Clock::now();
                    mineTimes.push_back(microseconds(start, now));
                    start = now;
                }
                mismatched += mine.mismatched;
                std::lock_guard lock(latenciesMutex);
                latencies.insert(latencies.end(), mineTimes.begin(), mineTimes.end());
            });
        }
        QThread::msleep(500);
        go = true;
        for (std::thread& thread : threads)
            thread.join();
        return Load{static_cast<double>(done.load()) / seconds, lost.load(), mismatched.load(),
                    percentile(latencies, 0.5), percentile(latencies, 0.99)};
    };
    const qint64 serverPid = [&] {
        QProcess pgrep;
        pgrep.start(QStringLiteral("pgrep"),
                    {QStringLiteral("-f"), QStringLiteral("^") + bin + QStringLiteral("/morvane -Embedding")});
        pgrep.waitForFinished();
        return pgrep.readAllStandardOutput().trimmed().split('\n').last().toLongLong();
    }();
    // The processor time each server spends on a call: what the throughput of a machine busy with other
    // work comes down to.
    const double serverCpu = test::processCpuMs(serverPid), relayCpu = test::processCpuMs(socketServer.processId());
    const Load plain = load({});
    const double callsDone = plain.perSecond * seconds;
    std::printf("%d clients at once:       %.0f calls/s in total (goal >= 20000), %ld failed or lost, %ld mismatched\n",
                kClients, plain.perSecond, plain.lost, plain.mismatched + client.mismatched);
    std::printf("a call among %d clients:  p50 %.0f us, p99 %.0f us (goal p99 <= 3000 us)\n", kClients, plain.p50,
                plain.p99);
    std::printf("processor time per call: morvane %.1f us, scktsrvr %.1f us\n",
                (test::processCpuMs(serverPid) - serverCpu) * 1000 / callsDone,
                (test::processCpuMs(socketServer.processId()) - relayCpu) * 1000 / callsDone);

    // Memory of idle connections, each holding an object.
    const auto rss = [&] { return test::residentKiB(serverPid) + test::residentKiB(socketServer.processId()); };
    const long before = rss();
    {
        std::vector<std::unique_ptr<Connection>> open;
        for (int i = 0; i < idle; ++i) {
            auto connection = std::make_unique<Connection>(port);
            if (connection->ok() && connection->create())
                open.push_back(std::move(connection));
        }
        QThread::msleep(300);
        const long with = rss();
        std::printf("%zu idle connections:    morvane + scktsrvr resident %.1f MiB (%.1f MiB before; limit 100 MiB)\n",
                    open.size(), with / 1024.0, before / 1024.0);
    }

    // Connect, create, call, close, many times: resident memory before and after.
    QThread::msleep(300);
    const long soakBefore = rss();
    int soakFailures = 0;
    QElapsedTimer soakClock;
    soakClock.start();
    for (int i = 0; i < cycles; ++i) {
        Connection once(port);
        if (!once.ok() || !once.create() || !once.command(QStringLiteral("RealTimeScanId"), QJsonArray()))
            ++soakFailures;
    }
    QThread::msleep(300);
    const long soakAfter = rss();
    std::printf("%d connect/call/close:  resident %.1f MiB before, %.1f MiB after (%d failed, %.1f s)\n", cycles,
                soakBefore / 1024.0, soakAfter / 1024.0, soakFailures, soakClock.elapsed() / 1000.0);
    std::printf("latency check calls failed: %d\n", failures);

    // The same load over TLS, against the socket server started again with a certificate, in rounds that
    // take turns with the server without one (and with clients in the clear beside TLS), so that all see
    // the same machine.
    const auto restart = [&](bool tls) {
        socketServer.terminate();
        socketServer.waitForFinished(5000);
        writeSettings(tls);
        port = startSocketServer();
        return port != 0;
    };
    constexpr int kRounds = 2;
    Load clear, secure, beside;
    const auto add = [](Load& sum, const Load& round) {
        sum.perSecond += round.perSecond / kRounds;
        sum.lost += round.lost;
        sum.mismatched += round.mismatched;
    };
    for (int round = 0; round < kRounds; ++round) {
        if (!restart(false)) {
            std::fprintf(stderr, "scktsrvr did not start again\n");
            return 1;
        }
        const Load withoutTls = load({});
        if (!restart(true)) {
            std::fprintf(stderr, "scktsrvr did not start with its certificate\n");
            return 1;
        }
        const Load overTls = load(certificate);
        const Load inTheClear = load({});
        std::printf("round %d:                 %.0f calls/s without TLS, %.0f over TLS (%.2f), %.0f in the clear "
                    "beside TLS\n",
                    round + 1, withoutTls.perSecond, overTls.perSecond, overTls.perSecond / withoutTls.perSecond,
                    inTheClear.perSecond);
        add(clear, withoutTls);
        add(secure, overTls);
        add(beside, inTheClear);
    }
    std::printf("%d clients over TLS:      %.0f calls/s in total, %ld failed or lost, %ld mismatched\n", kClients,
                secure.perSecond, secure.lost, secure.mismatched);
    std::printf("%d clients without TLS:   %.0f calls/s in total, %ld failed or lost, %ld mismatched (same rounds)\n",
                kClients, clear.perSecond, clear.lost, clear.mismatched);
    std::printf("%d clients in the clear beside TLS: %.0f calls/s, %ld failed or lost, %ld mismatched\n", kClients,
                beside.perSecond, beside.lost, beside.mismatched);
    std::printf("TLS / plain throughput:  %.2f (goal >= 0.80)\n", secure.perSecond / clear.perSecond);

    socketServer.terminate();
    socketServer.waitForFinished(5000);
    QThread::msleep(500);
    simulator.stop();
    return 0;
}
