// The MQTT bridge against a real broker (Debian's mosquitto, started here on loopback with a configuration
// of its own): events published in order with QoS 1 to their topics, the retained status, a broker that is
// down when the bridge starts and one that goes away mid-stream, and a bridge that starts again after the
// last event the broker acknowledged.
#include "EventStream.h"
#include "MqttBridge.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTest>

#include <mosquitto.h>

#include <atomic>
#include <mutex>
#include <numeric>
#include <pwd.h>
#include <unistd.h>

using namespace morvane;

namespace {

const QString kMosquitto = QStringLiteral("/usr/sbin/mosquitto");
const QString kPrefix = QStringLiteral("morvane/site1");

// A client of the broker that keeps what arrives on the bridge's topics (libmosquitto's own thread).
class Watcher {
public:
    Watcher(const QString& host, int port) {
        mosquitto_lib_init();
        // A session the broker keeps, so that what comes while the watcher is away waits for it.
        m_client = mosquitto_new("watcher", false, this);
        mosquitto_subscribe_callback_set(m_client, [](struct mosquitto*, void* self, int, int, const int*) {
            static_cast<Watcher*>(self)->m_subscribed = true;
        });
        mosquitto_connect_callback_set(m_client, [](struct mosquitto* client, void*, int rc) {
            if (rc == 0)
                mosquitto_subscribe(client, nullptr, (kPrefix + QStringLiteral("/#")).toUtf8().constData(), 1);
        });
        mosquitto_message_callback_set(
            m_client, [](struct mosquitto*, void* self, const struct mosquitto_message* message) {
                auto* watcher = static_cast<Watcher*>(self);
                std::lock_guard lock(watcher->m_mutex);
                watcher->m_messages.append({QString::fromUtf8(message->topic),
                                            QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
                                            message->retain});
            });
        mosquitto_reconnect_delay_set(m_client, 1, 1, false);
        mosquitto_connect_async(m_client, host.toUtf8().constData(), port, 10);
        mosquitto_loop_start(m_client);
    }
    ~Watcher() {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, true);
        mosquitto_destroy(m_client);
    }
    struct Message {
        QString topic;
        QByteArray payload;
        bool retained = false;
    };
    QList<Message> messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    // The sequence numbers of the events received, in the order they came.
    QList<qint64> seqs() const {
        QList<qint64> found;
        for (const Message& message : messages()) {
            if (!message.topic.endsWith(QLatin1String("/status")))
                found.append(
                    QJsonDocument::fromJson(message.payload).object().value(QStringLiteral("seq")).toInteger());
        }
        return found;
    }
    QByteArray lastStatus() const {
        QByteArray status;
        for (const Message& message : messages()) {
            if (message.topic == kPrefix + QStringLiteral("/status"))
                status = message.payload;
        }
        return status;
    }
    bool subscribed() const { return m_subscribed; }

private:
    struct mosquitto* m_client = nullptr;
    mutable std::mutex m_mutex; // guards m_messages (libmosquitto's thread, and the test)
    QList<Message> m_messages;
    std::atomic<bool> m_subscribed{false};
};

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_host;
    int m_port = 0;
    std::unique_ptr<QProcess> m_broker;

    bool startBroker() {
        const QString config = m_dir.filePath(QStringLiteral("mosquitto.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        // Its sessions kept across its own restart, so that the watcher misses nothing while it is away; as
        // this user, who owns the directory (a broker started by root would become another user).
        const passwd* user = ::getpwuid(::getuid());
        file.write(QStringLiteral("listener %1 %2\nallow_anonymous true\npersistence true\npersistence_location %3/\n"
                                  "log_dest stderr\nuser %4\n")
                       .arg(m_port)
                       .arg(m_host, m_dir.path(), QString::fromLocal8Bit(user ? user->pw_name : "root"))
                       .toUtf8());
        file.close();
        m_broker = std::make_unique<QProcess>();
        m_broker->setStandardErrorFile(m_dir.filePath(QStringLiteral("mosquitto.log")), QIODevice::Append);
        m_broker->start(kMosquitto, {QStringLiteral("-c"), config});
        if (!m_broker->waitForStarted(5000))
            return false;
        // Up once it takes a connection.
        const auto up = [this] {
            QTcpSocket probe;
            probe.connectToHost(m_host, quint16(m_port));
            return m_broker->state() != QProcess::Running || probe.waitForConnected(200);
        };
        return test::waitUntil(up, 10000) && m_broker->state() == QProcess::Running;
    }
    // Goes away as a broker does when it is stopped, its sessions saved.
    bool stopBroker() {
        if (!m_broker)
            return true;
        m_broker->terminate();
        const bool stopped = m_broker->waitForFinished(10000);
        m_broker.reset();
        return stopped;
    }
    mqtt::BridgeSettings settings() const {
        mqtt::BridgeSettings settings;
        settings.enabled = true;
        settings.host = m_host;
        settings.port = m_port;
        settings.clientId = QStringLiteral("morvane-test");
        settings.prefix = kPrefix;
        settings.retryMs = 200;
        settings.window = 64;
        settings.stateFile = m_dir.filePath(QStringLiteral("mqtt.state"));
        return settings;
    }
    // `count` swipes at a door, taken by the stream within the time.
    static bool publish(events::EventStream& stream, int count, int door) {
        for (int i = 0; i < count; ++i) {
            events::Event event;
            event.kind = events::kSwipe;
            event.lock = QStringLiteral("00-1A-2B-3C-4D-01");
            event.door = door;
            event.serverMs = QDateTime::currentMSecsSinceEpoch();
            event.fields = {{QStringLiteral("card"), 1000 + i}, {QStringLiteral("staffName"), QStringLiteral("Ann")}};
            if (!stream.publish(std::move(event)))
                return false;
        }
        return stream.waitIdle(5000);
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void settingsFromTheFile_data();
    void settingsFromTheFile();
    void brokerDownAwayAndBack();
};

void TestMqtt::initTestCase() {
    if (!QFile::exists(kMosquitto))
        QSKIP("Debian's mosquitto is not installed (scripts/install-deps)");
    QVERIFY(m_dir.isValid());
    m_host = test::randomLoopback();
    QTcpServer free;
    QVERIFY(free.listen(QHostAddress(m_host), 0));
    m_port = free.serverPort();
}

void TestMqtt::cleanupTestCase() {
    stopBroker();
}

void TestMqtt::settingsFromTheFile_data() {
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("prefix");
    QTest::newRow("none: off") << QByteArray() << false << 1883 << QString();
    QTest::newRow("on, plain") << QByteArray("[MQTT]\r\nEnabled=1\r\nSite=hall\r\n") << true << 1883
                               << QStringLiteral("morvane/hall");
    QTest::newRow("TLS port") << QByteArray("[MQTT]\r\nEnabled=1\r\nTLS=1\r\nPrefix=a/b/\r\n") << true << 8883
                              << QStringLiteral("a/b");
    QTest::newRow("site without wildcards")
        << QByteArray("[MQTT]\r\nSite=a/+#\r\n") << false << 1883 << QStringLiteral("morvane/a___");
}

// Off unless asked for; the port follows TLS; a site cannot add levels or wildcards to the topics.
void TestMqtt::settingsFromTheFile() {
    QFETCH(QByteArray, section);
    QFETCH(bool, enabled);
    QFETCH(int, port);
    QFETCH(QString, prefix);
    const QString ini = m_dir.filePath(QStringLiteral("systeminfo.ini"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(section);
    file.close();
    const mqtt::BridgeSettings settings = mqtt::readBridgeSettings(ini, m_dir.path() + QLatin1Char('/'));
    QCOMPARE(settings.enabled, enabled);
    QCOMPARE(settings.port, port);
    if (!prefix.isEmpty())
        QCOMPARE(settings.prefix, prefix);
}

// Events published while the broker is down are sent once it is there; those of the time it was away, when
// it is back; a bridge started again goes on after the last one acknowledged. Each arrives on its topic, in
// order (what was sent and not acknowledged when the link broke may come twice), without the staff member.
void TestMqtt::brokerDownAwayAndBack() {
    // The watcher's session first, then the broker goes: the bridge starts without one.
    QVERIFY(startBroker());
    auto watcher = std::make_unique<Watcher>(m_host, m_port);
    QVERIFY(test::waitUntil([&] { return watcher->subscribed(); }, 10000));
    QVERIFY(stopBroker());

    events::StreamSettings streamSettings;
    streamSettings.path = m_dir.filePath(QStringLiteral("events.log"));
    events::EventStream stream(streamSettings);
    auto bridge = std::make_unique<mqtt::MqttBridge>(settings(), stream);
    stream.setConsumer([&bridge](const events::EventPtr&) {
        if (bridge)
            bridge->notify();
    });
    QVERIFY(stream.start());
    bridge->start();
    QVERIFY(publish(stream, 100, 1));
    QTest::qWait(500);
    QVERIFY(!bridge->connected());

    QVERIFY(startBroker());
    QVERIFY(test::waitUntil([&] { return watcher->seqs().size() >= 100; }, 15000));
    QCOMPARE(watcher->lastStatus(), QByteArray("online"));
    Watcher::Message first;
    for (const Watcher::Message& message : watcher->messages()) {
        if (!message.topic.endsWith(QLatin1String("/status")))
            first = message;
    }
    QCOMPARE(first.topic, kPrefix + QStringLiteral("/swipe/00-1A-2B-3C-4D-01/1"));
    QVERIFY(!first.payload.contains("Ann"));

    // Away mid-stream: what comes meanwhile is kept and sent when it is back.
    QVERIFY(publish(stream, 200, 2));
    QVERIFY(stopBroker());
    QVERIFY(publish(stream, 200, 3));
    QVERIFY(startBroker());
    QVERIFY(test::waitUntil(
        [&] {
            const QList<qint64> seen = watcher->seqs();
            return QSet<qint64>(seen.begin(), seen.end()).size() >= 500;
        },
        20000));
    QVERIFY(bridge->waitForAcknowledged(500, 10000));

    // Stopped, it says so; started again, it goes on after what the broker acknowledged.
    bridge->stop();
    QVERIFY(test::waitUntil([&] { return watcher->lastStatus() == "offline"; }, 5000));
    const qsizetype before = watcher->seqs().size();
    QVERIFY(publish(stream, 20, 4));
    bridge = std::make_unique<mqtt::MqttBridge>(settings(), stream);
    bridge->start();
    QVERIFY(test::waitUntil([&] { return watcher->seqs().size() >= before + 20; }, 15000));
    QTest::qWait(300);
    QList<qint64> wanted(20);
    std::iota(wanted.begin(), wanted.end(), 501);
    QCOMPARE(watcher->seqs().mid(before), wanted);

    // Everything, in order: a number comes again only after the broker went away, no more than the bridge
    // had sent without an acknowledgement (its window) and the broker had sent on to the watcher.
    const QList<qint64> all = watcher->seqs();
    QSet<qint64> distinct(all.begin(), all.end());
    QCOMPARE(distinct.size(), 520);
    QCOMPARE(*std::min_element(all.begin(), all.end()), 1);
    QCOMPARE(*std::max_element(all.begin(), all.end()), 520);
    qint64 newest = 0;
    int stepsBack = 0;
    for (const qint64 seq : all) {
        if (seq <= newest)
            ++stepsBack;
        newest = std::max(newest, seq);
    }
    QVERIFY2(stepsBack <= 2 * settings().window, qPrintable(QStringLiteral("%1 numbers came again").arg(stepsBack)));
    bridge->stop();
    stream.stop();
    // Its place is the server user's alone.
    QCOMPARE(QFile::permissions(settings().stateFile) &
                 ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
             QFile::Permissions());
}

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
