#pragma once

#include "Event.h"
#include "NameResolver.h"
#include "unt_ScanAllControls.h"

#include <QJsonArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace morvane::events {

class Subscriber;

// How the stream keeps and hands out its events: [Events] of systeminfo.ini.
struct StreamSettings {
    QString path;              // the ring's append-only file (0600); empty: kept in memory only
    int ringEvents = 100000;   // events kept, in memory and across restarts
    int inboundEvents = 16384; // waiting to be numbered; past it a producer's event is dropped (and counted)
    int queueEvents = 10000;   // a subscriber's queue of live events: past either bound the oldest go
    qint64 queueBytes = 8 * 1024 * 1024;
    int fullTimeoutMs = 30000; // a subscriber whose queue stays full this long is disconnected
};
// The [Events] section (RingEvents, QueueEvents, QueueBytes, FullTimeout in seconds), the file beside the
// other data of the server: <data dir>events.log.
StreamSettings readStreamSettings(const QString& systemInfoIni, const QString& programDirectory);

// What a subscriber asks for. Empty lists: everything its operator may see.
struct Filter {
    QStringList kinds;
    QStringList locks; // MAC addresses, in any case
    QList<int> doors;
    // Events sent together in one `Events` notification, at most; 0: one `Event` each. A browser pays per
    // message, not per byte, so a busy stream costs it far less in a few messages.
    int batch = 0;
};

// The server's one stream of events: producers (the scanning thread, the audit log's observer, the swipe
// log's collector) publish; one thread numbers them, appends them to the ring and its file and hands them
// to every subscriber's bounded queue. Nobody waits on a subscriber: a producer only takes a short lock.
//
// Threads: publish() from any thread; subscribe(), unsubscribe() and the look-ups from the call threads;
// the stream's own thread numbers, stores and fans out. m_inMutex guards the inbound queue (producers,
// the stream's thread); m_ringMutex guards the ring and the numbering (stream's thread, subscribers'
// take(), subscribe()); m_subsMutex guards the list of subscribers and the closed ones (stream's thread,
// call threads), and is held while a batch enters the ring and goes to the subscribers. Lock order: a
// subscriber's lock, then m_ringMutex; m_subsMutex, then m_ringMutex or a subscriber's lock (never the
// ring's while a subscriber's is taken).
class EventStream {
public:
    explicit EventStream(StreamSettings settings);
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // Reads the ring back from its file and starts the thread. False with the reason when the file cannot
    // be used (the stream then runs in memory only).
    bool start(QString* error = nullptr);
    void stop();

    // Hands an event on; false when the inbound queue is full (it is counted as lost at entry).
    bool publish(Event event);
    // Told once per batch of events numbered and stored, with the newest of them, on the stream's thread (the
    // swipe log's writer and the MQTT bridge, which read the ring themselves).
    void setConsumer(std::function<void(const EventPtr&)> consumer);
    // Adds the names of devices, doors and staff to the controllers' events before they are numbered.
    void setResolver(std::unique_ptr<NameResolver> resolver);

    struct Subscription {
        std::shared_ptr<Subscriber> subscriber;
        quint64 newest = 0; // the newest event when it began
        quint64 oldest = 0; // the oldest still kept (0: none)
        quint64 lost = 0;   // events after `since` no longer kept
    };
    // Throws AutomationError E_INVALIDARG for a "since" past the newest event. `visible` says whether the
    // subscriber's operator may see the events of a module; `ended` why its session has ended (empty while it
    // goes on); `wake` is called when it has events waiting.
    Subscription subscribe(const Filter& filter, std::optional<quint64> since,
                           std::function<bool(const QString&)> visible, std::function<QString()> ended,
                           QString operatorName, QString address, std::function<void()> wake);
    void unsubscribe(const std::shared_ptr<Subscriber>& subscriber);
    // Rights have changed or sessions have ended: every subscriber whose session has ended is told why and
    // disconnected. On the thread that made the change (it may wait for the database).
    void recheckRights();

    // For administrators: every subscriber with its counters, and the last ones disconnected.
    QJsonObject subscribers() const;
    quint64 newest() const;
    // Events dropped because the inbound queue was full.
    quint64 droppedAtEntry() const;
    // Waits up to `ms` until every event published so far has been numbered and handed on.
    bool waitIdle(int ms);

    const StreamSettings& settings() const { return m_settings; }

    // For subscribers: up to `max` kept events from `from` on (up to `to`), and the oldest seq kept.
    std::vector<EventPtr> range(quint64 from, quint64 to, int max, quint64* oldest) const;

private:
    void run();
    void store(const std::vector<EventPtr>& batch);
    // The file keeper's thread: syncs the file and writes its compacted copy, off the stream's thread.
    void keepFile();
    // The stream's thread: puts a compacted copy in place once the keeper has written it.
    void finishCompaction();
    bool loadFile(QString* error);
    void checkFull();
    void closedLocked(const std::shared_ptr<Subscriber>& subscriber);

    const StreamSettings m_settings;

    std::mutex m_inMutex;
    std::condition_variable m_inWake;
    std::condition_variable m_idle;
    std::deque<Event> m_inbound;
    bool m_stopping = false;
    bool m_busy = false;
    quint64 m_droppedAtEntry = 0;

    mutable std::mutex m_ringMutex;
    std::deque<EventPtr> m_ring;
    quint64 m_nextSeq = 1;  // the next number given
    quint64 m_lastKept = 0; // the newest in the ring (numbers given may not be kept yet)

    mutable std::mutex m_subsMutex;
    std::vector<std::shared_ptr<Subscriber>> m_subscribers;
    std::deque<QJsonObject> m_closed; // the last disconnected, with their reasons

    std::function<void(const EventPtr&)> m_consumer; // set before start()
    std::unique_ptr<NameResolver> m_resolver;        // set before start(); used by the stream's thread
    qint64 m_fileLines = 0;                          // the stream's thread's
    std::thread m_thread;

    // The file: the stream's thread appends to it; the keeper syncs it (a duplicate of the descriptor, so
    // that a sync never holds the stream up) and writes the compacted copy, which the stream's thread puts
    // in place with what came after it. m_fileMutex guards m_fd, m_compactWanted, m_compacted and
    // m_keeperStopping (the stream's thread, the keeper, start/stop); it is taken before m_ringMutex, never
    // while that is held.
    std::mutex m_fileMutex;
    std::condition_variable m_keeperWake;
    int m_fd = -1;
    bool m_compactWanted = false;
    bool m_keeperStopping = false;
    struct Compacted {
        int fd = -1;
        quint64 upTo = 0; // the newest event in it
    };
    std::optional<Compacted> m_compacted;
    std::thread m_keeper;
};

// The scan's observer that publishes its reports: every record and lost link, a switch's state only when
// it changes (the scan reads it on every visit).
monitor::TScanAllControls::Observer scanObserver(EventStream& stream);

} // namespace morvane::events
