#include "Subscriber.h"

#include "NameResolver.h"

#include <QDateTime>
#include <QJsonDocument>

#include <utility>

namespace morvane::events {

namespace {

using Clock = std::chrono::steady_clock;
// Kept events read from the ring at a time while a subscriber catches up.
constexpr int kReplayPage = 256;

const QByteArray kEventPrefix = QByteArray(platform::rpc::kNotificationPrefix) + R"("Event","params":)";
const QByteArray kEventsPrefix = QByteArray(platform::rpc::kNotificationPrefix) + R"("Events","params":{"events":[)";
const QByteArray kEndPrefix = QByteArray(platform::rpc::kNotificationPrefix) + R"("EventStreamEnd","params":)";

} // namespace

Subscriber::Subscriber(EventStream& stream, Filter filter, std::function<bool(const QString&)> visible,
                       std::function<QString()> ended, quint64 replayFrom, quint64 replayEnd, QString operatorName,
                       QString address, std::function<void()> wake)
    : m_stream(stream)
    , m_filter(std::move(filter))
    , m_visible(std::move(visible))
    , m_ended(std::move(ended))
    , m_operator(std::move(operatorName))
    , m_address(std::move(address))
    , m_sinceMs(QDateTime::currentMSecsSinceEpoch())
    , m_wake(std::move(wake))
    , m_replayNext(replayFrom)
    , m_replayEnd(replayEnd) {
    // The replay, if any, is waiting already.
    if (m_replayNext <= m_replayEnd) {
        std::lock_guard lock(m_mutex);
        wakeLocked();
    }
}

bool Subscriber::matchesLocked(const StoredEvent& event) {
    if (!m_filter.kinds.isEmpty() && !m_filter.kinds.contains(event.kind))
        return false;
    if (!m_filter.locks.isEmpty() && !m_filter.locks.contains(event.lock))
        return false;
    if (!m_filter.doors.isEmpty() && !m_filter.doors.contains(event.door))
        return false;
    if (event.module.isEmpty() || !m_visible)
        return true;
    auto found = m_modules.constFind(event.module);
    if (found == m_modules.constEnd())
        found = m_modules.insert(event.module, m_visible(event.module));
    return *found;
}

QByteArray Subscriber::eventLocked(const StoredEvent& event) {
    if (m_seesStaff < 0)
        m_seesStaff = !m_visible || m_visible(kStaffModule) ? 1 : 0;
    const QByteArray& json = m_seesStaff || event.jsonWithoutStaff.isEmpty() ? event.json : event.jsonWithoutStaff;
    ++m_delivered;
    if (m_lost == 0 && m_dropped == 0)
        return json;
    // What went missing before this one is said in it.
    QByteArray told;
    told.reserve(json.size() + 48);
    told += '{';
    if (m_dropped > 0)
        told += "\"dropped\":" + QByteArray::number(m_dropped) + ',';
    if (m_lost > 0)
        told += "\"lost\":" + QByteArray::number(m_lost) + ',';
    told += QByteArrayView(json).sliced(1);
    m_lost = 0;
    m_dropped = 0;
    return told;
}

void Subscriber::wakeLocked() {
    if (m_wakePending || !m_wake)
        return;
    m_wakePending = true;
    m_wake();
}

QByteArrayList Subscriber::take(qint64 maxBytes) {
    std::lock_guard lock(m_mutex);
    QByteArrayList lines;
    m_wakePending = false;
    if (!m_closing.isEmpty()) {
        if (!m_lastTaken) {
            m_lastTaken = true;
            QJsonObject params{{QStringLiteral("reason"), m_closing},
                               {QStringLiteral("dropped"), static_cast<qint64>(m_droppedTotal)}};
            lines.append(kEndPrefix + QJsonDocument(params).toJson(QJsonDocument::Compact) + "}\n");
        }
        return lines;
    }
    qint64 bytes = 0;
    // One line per event, or up to `batch` of them in one line.
    QByteArray group;
    int grouped = 0;
    const auto flush = [&] {
        if (grouped == 0)
            return;
        group += "]}}\n";
        bytes += group.size();
        lines.append(std::exchange(group, QByteArray()));
        grouped = 0;
    };
    const auto add = [&](const StoredEvent& event) {
        const QByteArray json = eventLocked(event);
        if (m_filter.batch <= 0) {
            lines.append(kEventPrefix + json + "}\n");
            bytes += lines.last().size();
            return;
        }
        group += grouped == 0 ? kEventsPrefix : QByteArray(",");
        group += json;
        if (++grouped >= m_filter.batch || bytes + group.size() >= maxBytes)
            flush();
    };
    while (m_replayNext <= m_replayEnd && bytes + group.size() < maxBytes) {
        quint64 oldest = 0;
        const std::vector<EventPtr> page = m_stream.range(m_replayNext, m_replayEnd, kReplayPage, &oldest);
        if (oldest > m_replayNext) {
            // Gone from the ring before they were sent.
            m_lost += std::min(oldest, m_replayEnd + 1) - m_replayNext;
            m_replayNext = std::min(oldest, m_replayEnd + 1);
        }
        if (page.empty()) {
            m_replayNext = m_replayEnd + 1;
            break;
        }
        for (const EventPtr& event : page) {
            if (bytes + group.size() >= maxBytes)
                break;
            m_replayNext = event->seq + 1;
            if (!matchesLocked(*event))
                continue;
            add(*event);
        }
    }
    while (m_replayNext > m_replayEnd && !m_queue.empty() && bytes + group.size() < maxBytes) {
        const EventPtr event = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= event->json.size();
        add(*event);
    }
    flush();
    // A gap with nothing after it yet is told with the next event.
    if (m_queue.size() < size_t(m_stream.settings().queueEvents) && m_queuedBytes < m_stream.settings().queueBytes)
        m_fullSince = {};
    return lines;
}

QString Subscriber::closing() const {
    std::lock_guard lock(m_mutex);
    return m_lastTaken ? m_closing : QString();
}

std::function<void()> Subscriber::pushBatch(const std::vector<EventPtr>& batch) {
    std::lock_guard lock(m_mutex);
    if (!m_wake || !m_closing.isEmpty())
        return {};
    const StreamSettings& limits = m_stream.settings();
    bool queued = false;
    bool dropped = false;
    for (const EventPtr& event : batch) {
        if (event->seq <= m_replayEnd || !matchesLocked(*event))
            continue;
        m_queue.push_back(event);
        m_queuedBytes += event->json.size();
        queued = true;
        while (m_queue.size() > size_t(limits.queueEvents) ||
               (m_queuedBytes > limits.queueBytes && m_queue.size() > 1)) {
            m_queuedBytes -= m_queue.front()->json.size();
            m_queue.pop_front();
            ++m_dropped;
            ++m_droppedTotal;
            dropped = true;
        }
    }
    if (dropped && m_fullSince == Clock::time_point{})
        m_fullSince = Clock::now();
    if (!queued || m_wakePending)
        return {};
    m_wakePending = true;
    return m_wake;
}

bool Subscriber::expire(Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    if (!m_wake)
        return true; // detached: the stream forgets it
    if (m_fullSince == Clock::time_point{} ||
        now - m_fullSince < std::chrono::milliseconds(m_stream.settings().fullTimeoutMs))
        return false;
    closeLocked(QStringLiteral("the subscriber did not read its events: its queue (%1 events, %2 bytes) stayed full "
                               "for %3 s; %4 events were dropped")
                    .arg(m_stream.settings().queueEvents)
                    .arg(m_stream.settings().queueBytes)
                    .arg(m_stream.settings().fullTimeoutMs / 1000)
                    .arg(m_droppedTotal));
    return true;
}

void Subscriber::closeLocked(const QString& reason) {
    // Nothing more is queued or replayed: the next take() says why, and the connection goes.
    m_closing = reason;
    m_queue.clear();
    m_queuedBytes = 0;
    m_replayNext = m_replayEnd + 1;
    m_wakePending = false;
    wakeLocked();
    m_wake = nullptr;
}

bool Subscriber::recheck() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_wake)
            return false; // detached or closed already: forgotten by the stream anyway
    }
    const QString why = m_ended ? m_ended() : QString();
    if (why.isEmpty())
        return false;
    std::lock_guard lock(m_mutex);
    if (m_wake)
        closeLocked(why);
    return true;
}

void Subscriber::detach() {
    std::lock_guard lock(m_mutex);
    m_wake = nullptr;
    m_queue.clear();
    m_queuedBytes = 0;
}

bool Subscriber::detached() const {
    std::lock_guard lock(m_mutex);
    return !m_wake;
}

QJsonObject Subscriber::info() const {
    std::lock_guard lock(m_mutex);
    QJsonObject info{{QStringLiteral("operator"), m_operator},
                     {QStringLiteral("address"), m_address},
                     {QStringLiteral("since"), timeText(m_sinceMs)},
                     {QStringLiteral("delivered"), static_cast<qint64>(m_delivered)},
                     {QStringLiteral("dropped"), static_cast<qint64>(m_droppedTotal)},
                     {QStringLiteral("queued"), static_cast<qint64>(m_queue.size())},
                     {QStringLiteral("queuedBytes"), m_queuedBytes},
                     {QStringLiteral("replaying"), m_replayNext <= m_replayEnd}};
    if (!m_closing.isEmpty())
        info.insert(QStringLiteral("reason"), m_closing);
    return info;
}

} // namespace morvane::events
