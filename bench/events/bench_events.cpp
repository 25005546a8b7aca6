// The event stream through the wire on loopback: events injected at a steady rate into the application
// server, 50 subscribers over TCP and WebSocket (half each) that read everything, and one that never reads.
// Prints the events per second in, what each subscriber got (and missed), the latency from the moment the
// server had an event to its arrival at a subscriber's socket, and the servers' memory.
//
//     bench_events [seconds, default 10] [events per second, default 1000] [subscribers, default 50]
#include "LocalServer.h"
#include "TestSupport.h"
#include "WireClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace morvane;

namespace {

const QByteArray kLogon = R"({"id":1,"method":"Logon","params":{"operator":"SYSTEM","password":"1"}})";
const QByteArray kSubscribe = R"({"id":2,"method":"Subscribe","params":{"kinds":["status"]}})";

qint64 serverPid(const QString& clsid) {
    const int fd = platform::connectEndpoint(platform::endpointPath(clsid));
    ucred credentials{};
    socklen_t size = sizeof credentials;
    const bool known = fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
    if (fd >= 0)
        ::close(fd);
    return known ? qint64(credentials.pid) : -1;
}

// The integer after `key` in a line; -1 when there is none.
qint64 number(const QByteArray& line, const char* key) {
    const qsizetype at = line.indexOf(key);
    if (at < 0)
        return -1;
    qint64 value = 0;
    for (qsizetype i = at + qsizetype(qstrlen(key)); i < line.size() && line.at(i) >= '0' && line.at(i) <= '9'; ++i)
        value = value * 10 + (line.at(i) - '0');
    return value;
}

// One subscriber on its own thread: logs on, subscribes, then reads until told to stop.
struct Subscriber {
    bool webSocket = false;
    quint16 port = 0;
    std::atomic<bool> ready{false};
    std::atomic<bool> failed{false};
    std::vector<qint64> seqs;      // the reading thread's until it has ended
    std::vector<double> latencies; // ms
    qint64 dropped = 0;
    std::thread thread;

    bool sendText(test::WireClient& client, const QByteArray& text) {
        return webSocket ? client.send(test::WireClient::frame(1, text)) > 0 : client.send(text + '\n') > 0;
    }
    std::optional<QByteArray> next(test::WireClient& client, int ms) {
        if (!webSocket)
            return client.readLine(ms);
        const auto frame = client.readMessage(ms);
        if (!frame || frame->opcode != 1)
            return std::nullopt;
        return frame->payload;
    }
    void run(const std::atomic<bool>& stop) {
        test::WireClient client(port);
        if (!client.connected() || (webSocket && !client.handshake(5000)) || !sendText(client, kLogon) ||
            !sendText(client, kSubscribe)) {
            failed = true;
            return;
        }
        int replies = 0;
        while (replies < 2) {
            const auto line = next(client, 10000);
            if (!line || line->contains("\"error\"")) {
                failed = true;
                return;
            }
            replies += line->contains("\"id\"") ? 1 : 0;
        }
        ready = true;
        int quiet = 0;
        while (quiet < 20) {
            const auto line = next(client, 100);
            if (!line) {
                quiet = stop ? quiet + 1 : 0;
                continue;
            }
            const double now = QDateTime::currentMSecsSinceEpoch();
            // Read without a JSON parser: the readers must not take the processor from the servers.
            seqs.push_back(number(*line, "\"seq\":"));
            latencies.push_back(now - double(number(*line, "\"ms\":")));
            dropped +=
                std::max<qint64>(0, number(*line, "\"dropped\":")) + std::max<qint64>(0, number(*line, "\"lost\":"));
        }
    }
};

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// An administrator's connection that injects events.
class Injector {
public:
    explicit Injector(quint16 port)
        : m_client(port) {
        m_client.send(kLogon + '\n');
        m_ok = m_client.readLine(20000).value_or(QByteArray()).contains("\"result\"");
    }
    bool ok() const { return m_ok; }
    QJsonObject subscribers() {
        m_client.send(QStringLiteral(R"({"id":%1,"method":"EventSubscribers"})").arg(++m_id).toUtf8() + '\n');
        return QJsonDocument::fromJson(m_client.readLine(20000).value_or(QByteArray()))
            .object()
            .value(QStringLiteral("result"))
            .toObject();
    }
    bool inject(int count, int bytes) {
        const QByteArray request =
            QStringLiteral(R"({"id":%1,"method":"InjectEvents","params":{"count":%2,"bytes":%3}})")
                .arg(++m_id)
                .arg(count)
                .arg(bytes)
                .toUtf8();
        return m_client.send(request + '\n') > 0 &&
               m_client.readLine(20000).value_or(QByteArray()).contains("published");
    }

private:
    test::WireClient m_client;
    int m_id = 1;
    bool m_ok = false;
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int seconds = args.value(1, QStringLiteral("10")).toInt();
    const int rate = args.value(2, QStringLiteral("1000")).toInt();
    const int subscriberCount = args.value(3, QStringLiteral("50")).toInt();

    test::TestEnvironment env;
    // A long time-out: the never-reading subscriber is measured while its queue is full.
    env.writeSystemInfo("[System]\r\nComVersion=1\r\n[DataBase]\r\nProvider=SQLite\r\nConnectMode=1\r\n"
                        "DataBaseName=bench.db\r\n[Events]\r\nFullTimeout=600\r\n");
    env.writeFile(QStringLiteral("scktsrvr.ini"),
                  "[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\nWebPort=0\r\n[Limits]\r\nMaxPerAddress=0\r\n"
                  "MaxOutput=1048576\r\nOutputTimeout=600\r\n");
    QFile::link(test::binDir() + QStringLiteral("/scktsrvr"), env.path(QStringLiteral("scktsrvr")));
    QProcessEnvironment environment = env.processEnvironment();
    environment.insert(QStringLiteral("MORVANE_EVENTS_INJECT"), QStringLiteral("1"));
    if (test::runProgram(test::binDir() + QStringLiteral("/morvane"), {QStringLiteral("-regserver")}, environment)
            .exitCode != 0)
        return 1;
    QProcess socketServer;
    socketServer.setProcessEnvironment(environment);
    socketServer.setStandardErrorFile(env.path(QStringLiteral("scktsrvr.log")));
    socketServer.start(test::binDir() + QStringLiteral("/scktsrvr"), {});
    static const QRegularExpression readyLine(QStringLiteral(R"(serving TCP [\d.]+:(\d+) and WebSocket [\d.]+:(\d+))"));
    quint16 tcpPort = 0;
    quint16 webPort = 0;
    for (int i = 0; i < 500 && tcpPort == 0; ++i) {
        const auto match = readyLine.match(QString::fromUtf8(env.readFile(env.path(QStringLiteral("scktsrvr.log")))));
        if (match.hasMatch()) {
            tcpPort = match.captured(1).toUShort();
            webPort = match.captured(2).toUShort();
        }
        QThread::msleep(20);
    }
    Injector injector(tcpPort);
    if (!tcpPort || !injector.ok()) {
        std::fprintf(stderr, "the servers did not start\n");
        return 1;
    }
    const qint64 morvane = serverPid(QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}"));
    std::printf("morvane at start: %.1f MiB\n", test::residentKiB(morvane) / 1024.0);

    // 1. Every subscriber reads.
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Subscriber>> subscribers;
    for (int i = 0; i < subscriberCount; ++i) {
        auto subscriber = std::make_unique<Subscriber>();
        subscriber->webSocket = i % 2 == 1;
        subscriber->port = subscriber->webSocket ? webPort : tcpPort;
        Subscriber* raw = subscriber.get();
        subscriber->thread = std::thread([raw, &stop] { raw->run(stop); });
        subscribers.push_back(std::move(subscriber));
    }
    for (const auto& subscriber : subscribers) {
        for (int i = 0; i < 1000 && !subscriber->ready && !subscriber->failed; ++i)
            QThread::msleep(10);
    }
    // In steps of 20 ms, each its share of the second.
    const int perStep = std::max(1, rate / 50);
    qint64 injected = 0;
    QElapsedTimer clock;
    clock.start();
    for (qint64 step = 0; clock.elapsed() < seconds * 1000LL; ++step) {
        if (!injector.inject(perStep, 100))
            break;
        injected += perStep;
        const qint64 due = (step + 1) * 20;
        if (due > clock.elapsed())
            QThread::msleep(static_cast<unsigned long>(due - clock.elapsed()));
    }
    const double elapsed = clock.elapsed() / 1000.0;
    stop = true;
    std::vector<double> all;
    qint64 fewest = injected;
    qint64 gaps = 0;
    int failed = 0;
    for (const auto& subscriber : subscribers) {
        subscriber->thread.join();
        failed += subscriber->failed ? 1 : 0;
        fewest = std::min<qint64>(fewest, qint64(subscriber->seqs.size()));
        for (size_t i = 1; i < subscriber->seqs.size(); ++i)
            gaps += subscriber->seqs[i] != subscriber->seqs[i - 1] + 1 ? 1 : 0;
        gaps += subscriber->dropped;
        all.insert(all.end(), subscriber->latencies.begin(), subscriber->latencies.end());
    }
    std::printf("events in: %lld in %.1f s = %.0f events/s (100 bytes of text each)\n",
                static_cast<long long>(injected), elapsed, double(injected) / elapsed);
    std::printf("subscribers: %d (%d TCP, %d WebSocket), %d failed to subscribe; the fewest events one got: %lld of "
                "%lld; gaps or drops: %lld\n",
                subscriberCount, (subscriberCount + 1) / 2, subscriberCount / 2, failed, static_cast<long long>(fewest),
                static_cast<long long>(injected), static_cast<long long>(gaps));
    std::printf("event to subscriber's socket: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu deliveries)\n",
                percentile(all, 0.5), percentile(all, 0.99), percentile(all, 1.0), all.size());
    subscribers.clear();

    // 2. One subscriber that never reads, with the ring full already (its size does not change after).
    for (int i = 0; i < 100; ++i)
        injector.inject(1000, 300);
    QThread::msleep(1000);
    const long before = test::residentKiB(morvane);
    test::WireClient stalled(tcpPort);
    stalled.send(kLogon + '\n' + kSubscribe + '\n');
    stalled.readLine(10000);
    stalled.readLine(10000);
    long peak = before;
    clock.restart();
    qint64 more = 0;
    // At the same rate, until well past what its queue (and the socket server's 1 MiB for it) holds.
    for (qint64 step = 0; more < 25000; ++step) {
        injector.inject(perStep, 300);
        more += perStep;
        peak = std::max(peak, test::residentKiB(morvane));
        const qint64 due = (step + 1) * 20;
        if (due > clock.elapsed())
            QThread::msleep(static_cast<unsigned long>(due - clock.elapsed()));
    }
    QThread::msleep(500);
    peak = std::max(peak, test::residentKiB(morvane));
    QJsonObject stalledInfo;
    // The readers of the first part have gone: it is the one subscriber left.
    for (const QJsonValue& entry : injector.subscribers().value(QStringLiteral("subscribers")).toArray())
        stalledInfo = entry.toObject();
    std::printf("the ring full (100,000 events, most of 300 bytes of text): morvane %.1f MiB\n", before / 1024.0);
    std::printf("one subscriber that never reads, %lld events of 300 bytes in %.1f s: morvane %.1f MiB before, %.1f "
                "MiB at most (+%.1f MiB); its queue: %lld events, %.1f MiB, %lld dropped (bounds 10,000 events, 8 "
                "MiB)\n",
                static_cast<long long>(more), clock.elapsed() / 1000.0, before / 1024.0, peak / 1024.0,
                (peak - before) / 1024.0,
                static_cast<long long>(stalledInfo.value(QStringLiteral("queued")).toInteger()),
                stalledInfo.value(QStringLiteral("queuedBytes")).toDouble() / 1048576.0,
                static_cast<long long>(stalledInfo.value(QStringLiteral("dropped")).toInteger()));
    stalled.close();
    socketServer.terminate();
    socketServer.waitForFinished(5000);
    if (morvane > 0)
        for (int i = 0; i < 100 && platform::processAlive(morvane); ++i)
            QThread::msleep(50);
    return 0;
}
