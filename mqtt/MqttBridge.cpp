#include "MqttBridge.h"

#include "EventStream.h"
#include "ProfileFile.h"

#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace morvane::mqtt {

Q_LOGGING_CATEGORY(lcMqtt, "morvane.mqtt")

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kQos = 1;
constexpr int kMaxRetryMs = 30000;
constexpr int kPage = 256;
constexpr std::chrono::milliseconds kSaveEvery{1000};
const QByteArray kOnline = QByteArrayLiteral("online");
const QByteArray kOffline = QByteArrayLiteral("offline");

// A topic level may not hold the wildcards or the separator.
QString level(QString text) {
    for (const QChar c : {QLatin1Char('/'), QLatin1Char('+'), QLatin1Char('#')})
        text.replace(c, QLatin1Char('_'));
    return text.isEmpty() ? QStringLiteral("-") : text;
}

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
};

} // namespace

BridgeSettings readBridgeSettings(const QString& systemInfoIni, const QString& programDirectory) {
    const platform::ProfileFile ini(systemInfoIni);
    const QString section = QStringLiteral("MQTT");
    const auto text = [&](const char* key, const QString& fallback = QString()) {
        return ini.readString(section, QLatin1String(key), fallback).trimmed();
    };
    BridgeSettings settings;
    settings.enabled = ini.readInteger(section, QStringLiteral("Enabled"), 0) != 0;
    settings.host = text("Host", settings.host);
    settings.tls = ini.readInteger(section, QStringLiteral("TLS"), 0) != 0;
    settings.port = ini.readInteger(section, QStringLiteral("Port"), settings.tls ? 8883 : 1883);
    settings.caFile = text("CAFile");
    settings.certFile = text("CertFile");
    settings.keyFile = text("KeyFile");
    settings.insecure = ini.readInteger(section, QStringLiteral("Insecure"), 0) != 0;
    settings.user = text("User");
    settings.password = ini.readString(section, QStringLiteral("Password"), QString());
    const QString site = level(text("Site", QHostInfo::localHostName()));
    settings.clientId = text("ClientId", QStringLiteral("morvane-") + site);
    settings.prefix = text("Prefix", QStringLiteral("morvane/") + site);
    while (settings.prefix.endsWith(QLatin1Char('/')))
        settings.prefix.chop(1);
    settings.staffNames = ini.readInteger(section, QStringLiteral("StaffNames"), 0) != 0;
    settings.keepAliveSeconds = std::clamp(ini.readInteger(section, QStringLiteral("KeepAlive"), 30), 5, 3600);
    settings.retryMs =
        std::clamp(ini.readInteger(section, QStringLiteral("RetryMs"), settings.retryMs), 100, kMaxRetryMs);
    settings.stateFile = programDirectory + QStringLiteral("mqtt.state");
    return settings;
}

MqttBridge::MqttBridge(BridgeSettings settings, const events::EventStream& stream)
    : m_settings(std::move(settings))
    , m_stream(stream) {
    static const LibraryInit init;
}

MqttBridge::~MqttBridge() {
    stop();
}

void MqttBridge::start() {
    if (m_thread.joinable() || !m_settings.enabled)
        return;
    loadState();
    m_eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "morvane-mqtt");
        run();
    });
}

void MqttBridge::notify() {
    {
        std::lock_guard lock(m_mutex);
        if (m_wakeup)
            return;
        m_wakeup = true;
    }
    m_wake.notify_one();
    if (m_eventFd >= 0) {
        const uint64_t one = 1;
        (void)::write(m_eventFd, &one, sizeof one);
    }
}

void MqttBridge::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_eventFd >= 0) {
        const uint64_t one = 1;
        (void)::write(m_eventFd, &one, sizeof one);
    }
    if (m_thread.joinable())
        m_thread.join();
    if (m_eventFd >= 0) {
        ::close(m_eventFd);
        m_eventFd = -1;
    }
}

bool MqttBridge::waitForAcknowledged(quint64 seq, int ms) const {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    while (m_acked.load() < seq && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return m_acked.load() >= seq;
}

void MqttBridge::loadState() {
    QFile file(m_settings.stateFile);
    if (m_settings.stateFile.isEmpty() || !file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject state = QJsonDocument::fromJson(file.read(4096)).object();
    const qint64 acked = state.value(QStringLiteral("acknowledged")).toInteger(0);
    // A ring that starts again below it (its file was removed) starts the bridge again too.
    const quint64 kept = acked > 0 ? quint64(acked) : 0;
    m_savedAcked = std::min(kept, m_stream.newest());
    m_acked = m_savedAcked;
    m_next = m_savedAcked + 1;
}

void MqttBridge::saveState(bool now) {
    const quint64 acked = m_acked.load();
    if (m_settings.stateFile.isEmpty() || acked == m_savedAcked || (!now && Clock::now() - m_savedAt < kSaveEvery))
        return;
    const QByteArray text =
        QJsonDocument(QJsonObject{{QStringLiteral("acknowledged"), qint64(acked)}}).toJson(QJsonDocument::Compact);
    // Written beside and renamed over, the server's user's alone.
    const QString temporary = m_settings.stateFile + QStringLiteral(".new");
    const int fd =
        ::open(QFile::encodeName(temporary).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool written =
        fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size() && ::fdatasync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!written ||
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_settings.stateFile).constData()) != 0) {
        qCWarning(lcMqtt) << "the bridge's place cannot be kept in" << m_settings.stateFile << ":"
                          << std::strerror(errno);
        return;
    }
    m_savedAcked = acked;
    m_savedAt = Clock::now();
}

QByteArray MqttBridge::topicOf(const events::StoredEvent& event) const {
    return (m_settings.prefix + QLatin1Char('/') + level(event.kind) + QLatin1Char('/') + level(event.lock) +
            QLatin1Char('/') + QString::number(event.door))
        .toUtf8();
}

void MqttBridge::onConnect(struct mosquitto*, void* self, int rc) {
    auto* bridge = static_cast<MqttBridge*>(self);
    if (rc != 0) {
        qCWarning(lcMqtt).noquote() << "the broker refused the connection:" << mosquitto_connack_string(rc);
        bridge->m_linkLost = true;
        return;
    }
    bridge->m_sessionUp = true;
    bridge->m_connected = true;
    // What was sent and not acknowledged goes again, in order, after the last acknowledged.
    bridge->m_pending.clear();
    bridge->m_byMid.clear();
    bridge->m_next = bridge->m_acked.load() + 1;
    mosquitto_publish(bridge->m_client, &bridge->m_statusMid,
                      (bridge->m_settings.prefix + QStringLiteral("/status")).toUtf8().constData(), int(kOnline.size()),
                      kOnline.constData(), kQos, true);
    qCInfo(lcMqtt) << "connected to" << bridge->m_settings.host << bridge->m_settings.port << "from event"
                   << bridge->m_next;
}

void MqttBridge::onDisconnect(struct mosquitto*, void* self, int) {
    auto* bridge = static_cast<MqttBridge*>(self);
    bridge->m_linkLost = true;
    bridge->m_connected = false;
}

void MqttBridge::onPublish(struct mosquitto*, void* self, int mid) {
    auto* bridge = static_cast<MqttBridge*>(self);
    const auto found = bridge->m_byMid.find(mid);
    if (found == bridge->m_byMid.end())
        return;
    bridge->m_pending.erase(found->second);
    bridge->m_byMid.erase(found);
    // Acknowledged: everything before the oldest still waiting.
    const quint64 acked = bridge->m_pending.empty() ? bridge->m_next - 1 : bridge->m_pending.begin()->first - 1;
    if (acked > bridge->m_acked.load())
        bridge->m_acked = acked;
}

bool MqttBridge::connect() {
    m_client = mosquitto_new(m_settings.clientId.toUtf8().constData(), true, this);
    if (!m_client)
        return false;
    mosquitto_connect_callback_set(m_client, &MqttBridge::onConnect);
    mosquitto_disconnect_callback_set(m_client, &MqttBridge::onDisconnect);
    mosquitto_publish_callback_set(m_client, &MqttBridge::onPublish);
    mosquitto_max_inflight_messages_set(m_client, unsigned(m_settings.window));
    const QByteArray statusTopic = (m_settings.prefix + QStringLiteral("/status")).toUtf8();
    mosquitto_will_set(m_client, statusTopic.constData(), int(kOffline.size()), kOffline.constData(), kQos, true);
    if (!m_settings.user.isEmpty())
        mosquitto_username_pw_set(m_client, m_settings.user.toUtf8().constData(),
                                  m_settings.password.isEmpty() ? nullptr : m_settings.password.toUtf8().constData());
    if (m_settings.tls) {
        const QByteArray ca = QFile::encodeName(m_settings.caFile);
        const QByteArray cert = QFile::encodeName(m_settings.certFile);
        const QByteArray key = QFile::encodeName(m_settings.keyFile);
        if (m_settings.caFile.isEmpty())
            mosquitto_int_option(m_client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const int rc = mosquitto_tls_set(m_client, ca.isEmpty() ? nullptr : ca.constData(), nullptr,
                                         cert.isEmpty() ? nullptr : cert.constData(),
                                         key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            qCWarning(lcMqtt) << "TLS cannot be set up:" << mosquitto_strerror(rc);
            return false;
        }
        mosquitto_tls_insecure_set(m_client, m_settings.insecure);
    }
    m_sessionUp = false;
    m_linkLost = false;
    const int rc =
        mosquitto_connect(m_client, m_settings.host.toUtf8().constData(), m_settings.port, m_settings.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        qCDebug(lcMqtt) << "the broker at" << m_settings.host << m_settings.port << "cannot be reached:"
                        << (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        return false;
    }
    return true;
}

void MqttBridge::disconnect(bool clean) {
    if (!m_client)
        return;
    if (clean && m_sessionUp) {
        // "offline" and the last acknowledgements, within a second.
        int mid = 0;
        mosquitto_publish(m_client, &mid, (m_settings.prefix + QStringLiteral("/status")).toUtf8().constData(),
                          int(kOffline.size()), kOffline.constData(), kQos, true);
        const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        while (!m_linkLost && Clock::now() < until && (mosquitto_want_write(m_client) || !m_pending.empty())) {
            pollfd fd{mosquitto_socket(m_client), short(POLLIN | (mosquitto_want_write(m_client) ? POLLOUT : 0)), 0};
            if (::poll(&fd, 1, 50) > 0) {
                if ((fd.revents & POLLIN) && mosquitto_loop_read(m_client, 16) != MOSQ_ERR_SUCCESS)
                    break;
                if ((fd.revents & POLLOUT) && mosquitto_loop_write(m_client, 16) != MOSQ_ERR_SUCCESS)
                    break;
            }
        }
        mosquitto_disconnect(m_client);
        mosquitto_loop_write(m_client, 1);
    }
    mosquitto_destroy(m_client);
    m_client = nullptr;
    m_sessionUp = false;
    m_connected = false;
    m_pending.clear();
    m_byMid.clear();
}

void MqttBridge::publishPending() {
    while (m_sessionUp && !m_linkLost && m_pending.size() < size_t(m_settings.window)) {
        const quint64 newest = m_stream.newest();
        if (m_next > newest)
            return;
        quint64 oldest = 0;
        const int room = int(std::min<size_t>(kPage, size_t(m_settings.window) - m_pending.size()));
        const std::vector<events::EventPtr> page = m_stream.range(m_next, newest, room, &oldest);
        if (oldest > m_next) {
            qCWarning(lcMqtt) << "events" << m_next << "to" << oldest - 1
                              << "had left the ring before the broker had them";
            if (m_pending.empty() && m_acked.load() < oldest - 1)
                m_acked = oldest - 1;
            m_next = oldest;
        }
        if (page.empty())
            return;
        for (const events::EventPtr& event : page) {
            const QByteArray& json =
                m_settings.staffNames || event->jsonWithoutStaff.isEmpty() ? event->json : event->jsonWithoutStaff;
            int mid = 0;
            const int rc = mosquitto_publish(m_client, &mid, topicOf(*event).constData(), int(json.size()),
                                             json.constData(), kQos, false);
            if (rc != MOSQ_ERR_SUCCESS) {
                m_linkLost = true;
                return;
            }
            m_pending.emplace(event->seq, mid);
            m_byMid.emplace(mid, event->seq);
            m_next = event->seq + 1;
        }
    }
}

bool MqttBridge::waitFor(int ms) {
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

void MqttBridge::run() {
    int retryMs = m_settings.retryMs;
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                break;
        }
        if (!connect()) {
            disconnect(false);
            if (!waitFor(retryMs))
                break;
            retryMs = std::min(retryMs * 2, kMaxRetryMs);
            continue;
        }
        // Connected: the socket, the wake-ups of the stream and the keep-alive, until the link breaks.
        bool stopping = false;
        while (!m_linkLost) {
            {
                std::lock_guard lock(m_mutex);
                stopping = m_stopping;
                m_wakeup = false;
            }
            if (stopping)
                break;
            publishPending();
            const int socket = mosquitto_socket(m_client);
            if (socket < 0)
                break;
            pollfd fds[2] = {{socket, short(POLLIN | (mosquitto_want_write(m_client) ? POLLOUT : 0)), 0},
                             {m_eventFd, POLLIN, 0}};
            if (::poll(fds, 2, 1000) < 0 && errno != EINTR)
                break;
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                (void)::read(m_eventFd, &count, sizeof count);
            }
            int rc = MOSQ_ERR_SUCCESS;
            if (fds[0].revents & (POLLIN | POLLERR | POLLHUP))
                rc = mosquitto_loop_read(m_client, 64);
            if (rc == MOSQ_ERR_SUCCESS && (fds[0].revents & POLLOUT))
                rc = mosquitto_loop_write(m_client, 64);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_loop_misc(m_client);
            if (rc != MOSQ_ERR_SUCCESS)
                m_linkLost = true;
            if (m_sessionUp)
                retryMs = m_settings.retryMs;
            saveState(false);
        }
        if (m_linkLost && !stopping)
            qCWarning(lcMqtt) << "the link to the broker at" << m_settings.host << m_settings.port
                              << "broke; the events are kept and sent again after event" << m_acked.load();
        disconnect(stopping);
        saveState(true);
        if (stopping || !waitFor(retryMs))
            break;
    }
    disconnect(false);
    saveState(true);
}

} // namespace morvane::mqtt
