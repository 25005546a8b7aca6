#pragma once

#include "Event.h"
#include "EventStream.h"
#include "JsonRpc.h"

#include <QHash>
#include <QJsonObject>
#include <QSet>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

namespace morvane::events {

// One connection's subscription: first the kept events after its "since" (read from the ring as the
// connection takes them), then the live ones in a bounded queue. A full queue drops its oldest, and the
// next notification says how many; one full past the time-out ends with a reason.
//
// Threads: pushBatch() and expire() on the stream's thread; take() and closing() on the endpoint's watching
// thread; detach() and info() on call threads. m_mutex guards everything below it.
class Subscriber : public platform::rpc::PushSource {
public:
    Subscriber(EventStream& stream, Filter filter, std::function<bool(const QString&)> visible,
               std::function<QString()> ended, quint64 replayFrom, quint64 replayEnd, QString operatorName,
               QString address, std::function<void()> wake);

    // platform::rpc::PushSource
    QByteArrayList take(qint64 maxBytes) override;
    QString closing() const override;

    // A batch of live events (the stream's thread), under one lock. Answers the wake-up to call once every
    // subscriber has the batch (none when one is pending already), so that the connection's thread is woken
    // once per batch, not while the others are still being filled.
    std::function<void()> pushBatch(const std::vector<EventPtr>& batch);
    // Ends the subscription when its queue has been full longer than the time-out; true when it did.
    bool expire(std::chrono::steady_clock::time_point now);
    // Ends it when its operator's session has ended (or its rights changed); true when it did. A call
    // thread: the check may wait for the database.
    bool recheck();
    // The connection has gone or unsubscribed: nothing more is queued or woken.
    void detach();
    bool detached() const;
    QJsonObject info() const;

private:
    bool matchesLocked(const StoredEvent& event);
    // The event's JSON as this subscriber gets it, with the gap before it told.
    QByteArray eventLocked(const StoredEvent& event);
    void wakeLocked();
    void closeLocked(const QString& reason);

    EventStream& m_stream;
    const Filter m_filter;
    const std::function<bool(const QString&)> m_visible;
    const std::function<QString()> m_ended;
    const QString m_operator;
    const QString m_address;
    const qint64 m_sinceMs;

    mutable std::mutex m_mutex;
    std::function<void()> m_wake; // none once detached
    bool m_wakePending = false;
    QHash<QString, bool> m_modules; // what the operator may see, as asked
    int m_seesStaff = -1;           // whether it may see staff members' names: -1 not asked yet
    quint64 m_replayNext;
    const quint64 m_replayEnd;
    std::deque<EventPtr> m_queue;
    qint64 m_queuedBytes = 0;
    quint64 m_lost = 0;    // to be told: kept events that had gone before they were replayed
    quint64 m_dropped = 0; // to be told: dropped from the full queue
    quint64 m_droppedTotal = 0;
    quint64 m_delivered = 0;
    std::chrono::steady_clock::time_point m_fullSince{};
    QString m_closing;
    bool m_lastTaken = false;
};

} // namespace morvane::events
