#pragma once

#include "Event.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

struct mosquitto;

namespace morvane::events {
class EventStream;
}

namespace morvane::mqtt {

// [MQTT] of systeminfo.ini. Off unless Enabled=1.
struct BridgeSettings {
    bool enabled = false;
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883; // 8883 by default with TLS
    bool tls = false;
    QString caFile;   // TLS: the authorities trusted; empty: the system's
    QString certFile; // TLS: the server's own certificate and key, where the broker asks for one
    QString keyFile;
    bool insecure = false; // TLS: the broker's name is not checked against its certificate (tests only)
    QString user;
    QString password; // never logged
    QString clientId;
    QString prefix;          // topics are <prefix>/<kind>/<lock>/<door>; the status is <prefix>/status
    bool staffNames = false; // whether the staff member's number and name go out with a swipe
    int keepAliveSeconds = 30;
    int retryMs = 2000; // between two attempts to reach the broker, doubled up to 30 s
    int window = 256;   // events sent and not yet acknowledged
    QString stateFile;  // the last sequence number the broker acknowledged, across restarts (0600)
};
// Site defaults to the host's name; Prefix to morvane/<site>; the state in the data directory: mqtt.state.
BridgeSettings readBridgeSettings(const QString& systemInfoIni, const QString& programDirectory);

// Publishes every event of the stream, in order, as its JSON with QoS 1, to <prefix>/<kind>/<lock>/<door>
// (lock "-" and door 0 where the event has none); a retained "online" on <prefix>/status once connected,
// "offline" when it stops and, as its last will, when the link breaks. After a reconnect or a restart it
// goes on after the last event the broker acknowledged, as long as the ring still holds the events after
// it. It subscribes to nothing.
//
// Threads: start(), stop() and the counters from the main thread; notify() from the stream's thread; the
// bridge's own thread owns the client and everything below m_thread. m_mutex guards m_wakeup and
// m_stopping.
class MqttBridge {
public:
    MqttBridge(BridgeSettings settings, const events::EventStream& stream);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    void start();
    // New events are in the ring (cheap, never waits).
    void notify();
    // Says "offline", lets the broker acknowledge what it can within a second, keeps the place.
    void stop();

    bool connected() const { return m_connected.load(); }
    quint64 acknowledged() const { return m_acked.load(); }
    // Waits up to `ms` until the broker has acknowledged every event up to `seq`.
    bool waitForAcknowledged(quint64 seq, int ms) const;

private:
    void run();
    bool connect();
    void disconnect(bool clean);
    void publishPending();
    void loadState();
    void saveState(bool now);
    bool waitFor(int ms); // false when stopping
    QByteArray topicOf(const events::StoredEvent& event) const;

    static void onConnect(struct mosquitto*, void* self, int rc);
    static void onDisconnect(struct mosquitto*, void* self, int rc);
    static void onPublish(struct mosquitto*, void* self, int mid);

    const BridgeSettings m_settings;
    const events::EventStream& m_stream;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_wakeup = false;
    bool m_stopping = false;
    int m_eventFd = -1; // wakes the thread's poll

    std::atomic<bool> m_connected{false};
    std::atomic<quint64> m_acked{0};

    // The bridge's thread only.
    struct mosquitto* m_client = nullptr;
    bool m_sessionUp = false; // the broker accepted the connection
    bool m_linkLost = false;
    quint64 m_next = 1;               // the next event to send
    std::map<quint64, int> m_pending; // sent, not acknowledged: seq -> message id
    std::map<int, quint64> m_byMid;   // message id -> seq
    quint64 m_savedAcked = 0;
    std::chrono::steady_clock::time_point m_savedAt{};
    int m_statusMid = -1;
    std::thread m_thread;
};

} // namespace morvane::mqtt
