#include "EventStream.h"

#include "Automation.h"
#include "ProfileFile.h"
#include "Subscriber.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <malloc.h>
#include <pthread.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace morvane::events {

Q_LOGGING_CATEGORY(lcEvents, "morvane.events")

namespace {

using Clock = std::chrono::steady_clock;
// Events numbered and stored at once, so that the file is written in few large pieces.
constexpr size_t kBatch = 1024;
// The file is synced at most this often: a crash of the process loses nothing written, a power loss
// no more than this.
constexpr std::chrono::milliseconds kSyncEvery{1000};
// How often the stream looks for subscribers that stayed full too long.
constexpr std::chrono::milliseconds kExpiryTick{250};
constexpr size_t kClosedKept = 32;
constexpr std::chrono::seconds kTrimEvery{5};

bool writeAll(int fd, const QByteArray& data) {
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// The file is the server user's alone (0600), never opened through a link.
int openPrivate(const QString& path, int flags) {
    return ::open(QFile::encodeName(path).constData(), flags | O_NOFOLLOW, 0600);
}

} // namespace

StreamSettings readStreamSettings(const QString& systemInfoIni, const QString& programDirectory) {
    const platform::ProfileFile ini(systemInfoIni);
    const QString section = QStringLiteral("Events");
    StreamSettings settings;
    settings.path = programDirectory + QStringLiteral("events.log");
    const auto atLeast = [&](const char* key, int fallback, int least) {
        return std::max(least, ini.readInteger(section, QLatin1String(key), fallback));
    };
    // Below the default only where a test needs a small ring.
    settings.ringEvents = atLeast("RingEvents", settings.ringEvents, 100);
    settings.queueEvents = atLeast("QueueEvents", settings.queueEvents, 1);
    settings.queueBytes = qint64(atLeast("QueueBytes", int(settings.queueBytes), 64 * 1024));
    settings.fullTimeoutMs = atLeast("FullTimeout", settings.fullTimeoutMs / 1000, 1) * 1000;
    return settings;
}

EventStream::EventStream(StreamSettings settings)
    : m_settings(std::move(settings)) {}

EventStream::~EventStream() {
    stop();
}

bool EventStream::start(QString* error) {
    if (m_thread.joinable())
        return true;
    const bool loaded = m_settings.path.isEmpty() || loadFile(error);
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "morvane-events");
        run();
    });
    m_keeper = std::thread([this] {
        pthread_setname_np(pthread_self(), "morvane-evfile");
        keepFile();
    });
    return loaded;
}

void EventStream::stop() {
    {
        std::lock_guard lock(m_inMutex);
        m_stopping = true;
    }
    m_inWake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard lock(m_fileMutex);
        m_keeperStopping = true;
    }
    m_keeperWake.notify_all();
    if (m_keeper.joinable())
        m_keeper.join();
    std::lock_guard lock(m_fileMutex);
    if (m_compacted) {
        // Not put in place: the file as it is holds everything.
        ::close(m_compacted->fd);
        ::unlink(QFile::encodeName(m_settings.path + QStringLiteral(".new")).constData());
        m_compacted.reset();
    }
    if (m_fd >= 0) {
        ::fdatasync(m_fd);
        ::close(m_fd);
        m_fd = -1;
    }
}

bool EventStream::loadFile(QString* error) {
    QFile file(m_settings.path);
    if (file.exists() && !file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(m_settings.path, file.errorString());
        return false;
    }
    std::deque<EventPtr> kept;
    quint64 last = 0;
    // One buffer for every line: readLine(max) would allocate and shrink a whole maximum per line, which costs
    // seconds on a full ring. A longer line comes in parts, none of which parses.
    std::vector<char> buffer(1024 * 1024 + 1);
    while (file.isOpen() && !file.atEnd()) {
        const qint64 read = file.readLine(buffer.data(), static_cast<qint64>(buffer.size()));
        if (read < 0)
            break;
        ++m_fileLines;
        QByteArray line(buffer.data(), static_cast<qsizetype>(read)); // a copy: the event keeps it
        if (line.endsWith('\n'))
            line.chop(1);
        EventPtr event = parseStored(line);
        // A line cut by a crash, or out of order, is passed over.
        if (!event || event->seq <= last)
            continue;
        last = event->seq;
        kept.push_back(std::move(event));
        if (kept.size() > size_t(m_settings.ringEvents))
            kept.pop_front();
    }
    file.close();
    {
        std::lock_guard lock(m_ringMutex);
        m_ring = std::move(kept);
        m_nextSeq = last + 1;
        m_lastKept = last;
    }
    m_fd = openPrivate(m_settings.path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC);
    if (m_fd < 0) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(m_settings.path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // A last line cut by a crash would join the next one: it ends here.
    const off_t size = ::lseek(m_fd, 0, SEEK_END);
    if (size > 0) {
        char lastByte = 0;
        if (::pread(m_fd, &lastByte, 1, size - 1) == 1 && lastByte != '\n')
            writeAll(m_fd, QByteArrayLiteral("\n"));
    }
    return true;
}

void EventStream::setResolver(std::unique_ptr<NameResolver> resolver) {
    m_resolver = std::move(resolver);
}

void EventStream::setConsumer(std::function<void(const EventPtr&)> consumer) {
    m_consumer = std::move(consumer);
}

bool EventStream::publish(Event event) {
    {
        std::lock_guard lock(m_inMutex);
        if (m_stopping)
            return false;
        if (m_inbound.size() >= size_t(m_settings.inboundEvents)) {
            ++m_droppedAtEntry;
            return false;
        }
        m_inbound.push_back(std::move(event));
    }
    m_inWake.notify_one();
    return true;
}

void EventStream::run() {
    Clock::time_point nextExpiry = Clock::now() + kExpiryTick;
    Clock::time_point lastTrim = Clock::now();
    for (;;) {
        std::deque<Event> taken;
        {
            std::unique_lock lock(m_inMutex);
            // Idle as soon as everything taken has been handed on, not only after the next tick.
            if (m_busy && m_inbound.empty()) {
                m_busy = false;
                m_idle.notify_all();
            }
            m_inWake.wait_until(lock, nextExpiry, [this] { return m_stopping || !m_inbound.empty(); });
            if (m_inbound.empty()) {
                m_busy = false;
                m_idle.notify_all();
                if (m_stopping)
                    return;
            }
            const size_t count = std::min(kBatch, m_inbound.size());
            for (size_t i = 0; i < count; ++i) {
                taken.push_back(std::move(m_inbound.front()));
                m_inbound.pop_front();
            }
            m_busy = !taken.empty();
        }
        std::vector<std::function<void()>> wakes;
        if (!taken.empty()) {
            if (m_resolver) {
                for (Event& event : taken)
                    m_resolver->enrich(event);
            }
            std::vector<EventPtr> batch;
            batch.reserve(taken.size());
            {
                std::lock_guard lock(m_ringMutex);
                for (const Event& event : taken)
                    batch.push_back(makeStored(event, m_nextSeq++));
            }
            store(batch);
            {
                // Kept and handed out in one step with respect to subscribe(): a new subscriber either
                // replays the batch or gets it live, never neither.
                std::lock_guard subscribers(m_subsMutex);
                {
                    std::lock_guard lock(m_ringMutex);
                    for (const EventPtr& event : batch)
                        m_ring.push_back(event);
                    while (m_ring.size() > size_t(m_settings.ringEvents))
                        m_ring.pop_front();
                    m_lastKept = batch.back()->seq;
                }
                wakes.reserve(m_subscribers.size());
                for (const auto& subscriber : m_subscribers) {
                    if (std::function<void()> wake = subscriber->pushBatch(batch))
                        wakes.push_back(std::move(wake));
                }
            }
            // Every subscriber has the batch: their connections are woken now, outside the lists' locks.
            for (const std::function<void()>& wake : wakes)
                wake();
            if (m_consumer)
                m_consumer(batch.back());
            // The file keeps at most twice the ring: then the keeper writes it again with the ring alone.
            if (m_fileLines > 2 * qint64(m_settings.ringEvents)) {
                std::lock_guard lock(m_fileMutex);
                if (m_fd >= 0 && !m_compactWanted && !m_compacted) {
                    m_compactWanted = true;
                    m_keeperWake.notify_all();
                }
            }
        }
        finishCompaction();
        if (Clock::now() >= nextExpiry) {
            checkFull();
            nextExpiry = Clock::now() + kExpiryTick;
            // The events on their way and their JSON come and go between the ring's: what they leave free
            // goes back to the system, so that the ring's memory stays what it holds.
            if (Clock::now() - lastTrim >= kTrimEvery) {
                ::malloc_trim(0);
                lastTrim = Clock::now();
            }
        }
    }
}

void EventStream::store(const std::vector<EventPtr>& batch) {
    QByteArray text;
    for (const EventPtr& event : batch) {
        text += event->json;
        text += '\n';
    }
    // Written before anyone sees them (a crashed process loses none); the keeper puts them on the disk.
    std::lock_guard lock(m_fileMutex);
    if (m_fd < 0)
        return;
    if (!writeAll(m_fd, text)) {
        qCWarning(lcEvents) << "the events cannot be written to" << m_settings.path << ":" << std::strerror(errno);
        return;
    }
    m_fileLines += qint64(batch.size());
}

void EventStream::keepFile() {
    std::unique_lock lock(m_fileMutex);
    for (;;) {
        m_keeperWake.wait_for(lock, kSyncEvery, [this] { return m_keeperStopping || m_compactWanted; });
        if (m_keeperStopping)
            return;
        if (m_fd < 0)
            continue;
        // On the disk at most a second after they were written, without holding the stream up.
        const int synced = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
        const bool compact = m_compactWanted;
        lock.unlock();
        if (synced >= 0) {
            ::fdatasync(synced);
            ::close(synced);
        }
        if (compact) {
            // The ring as it is now, written beside and synced; the stream's thread adds what comes meanwhile.
            QByteArray text;
            quint64 upTo = 0;
            {
                std::lock_guard ring(m_ringMutex);
                text.reserve(qsizetype(m_ring.size()) * 160);
                for (const EventPtr& event : m_ring) {
                    text += event->json;
                    text += '\n';
                }
                upTo = m_lastKept;
            }
            const QString temporary = m_settings.path + QStringLiteral(".new");
            int fd = openPrivate(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
            if (fd >= 0 && (!writeAll(fd, text) || ::fsync(fd) != 0)) {
                ::close(fd);
                fd = -1;
            }
            if (fd < 0)
                qCWarning(lcEvents) << "the events file" << m_settings.path
                                    << "cannot be compacted:" << std::strerror(errno);
            lock.lock();
            m_compactWanted = false;
            if (fd >= 0)
                m_compacted = Compacted{fd, upTo};
            continue;
        }
        lock.lock();
    }
}

void EventStream::finishCompaction() {
    std::lock_guard lock(m_fileMutex);
    if (!m_compacted)
        return;
    const Compacted compacted = *m_compacted;
    m_compacted.reset();
    // Everything stored is in the ring by now (this thread stores and keeps in one go): what came after the
    // copy goes after it, then the copy replaces the file. A crash leaves the old file or the new one.
    QByteArray tail;
    for (quint64 from = compacted.upTo + 1;;) {
        quint64 oldest = 0;
        const std::vector<EventPtr> page = range(from, std::numeric_limits<quint64>::max(), 4096, &oldest);
        if (page.empty())
            break;
        for (const EventPtr& event : page) {
            tail += event->json;
            tail += '\n';
        }
        from = page.back()->seq + 1;
    }
    const QString temporary = m_settings.path + QStringLiteral(".new");
    if (!writeAll(compacted.fd, tail) ||
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_settings.path).constData()) != 0) {
        qCWarning(lcEvents) << "the events file" << m_settings.path << "cannot be compacted:" << std::strerror(errno);
        ::close(compacted.fd);
        ::unlink(QFile::encodeName(temporary).constData());
        return;
    }
    ::close(m_fd);
    m_fd = compacted.fd;
    ::lseek(m_fd, 0, SEEK_END);
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_APPEND);
    std::lock_guard ring(m_ringMutex);
    m_fileLines = qint64(m_ring.size());
}

void EventStream::checkFull() {
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(m_subsMutex);
    for (auto it = m_subscribers.begin(); it != m_subscribers.end();) {
        if ((*it)->expire(now)) {
            closedLocked(*it);
            it = m_subscribers.erase(it);
        } else {
            ++it;
        }
    }
}

void EventStream::closedLocked(const std::shared_ptr<Subscriber>& subscriber) {
    QJsonObject closed = subscriber->info();
    if (closed.contains(QStringLiteral("reason")))
        qCWarning(lcEvents).noquote() << "subscriber" << closed.value(QStringLiteral("operator")).toString() << "at"
                                      << closed.value(QStringLiteral("address")).toString()
                                      << "disconnected:" << closed.value(QStringLiteral("reason")).toString();
    m_closed.push_back(closed);
    if (m_closed.size() > kClosedKept)
        m_closed.pop_front();
}

void EventStream::recheckRights() {
    std::vector<std::shared_ptr<Subscriber>> all;
    {
        std::lock_guard lock(m_subsMutex);
        all = m_subscribers;
    }
    // Asked without the stream's locks: the answer may wait for the database.
    std::vector<std::shared_ptr<Subscriber>> ended;
    for (const auto& subscriber : all) {
        if (subscriber->recheck())
            ended.push_back(subscriber);
    }
    if (ended.empty())
        return;
    std::lock_guard lock(m_subsMutex);
    for (const auto& subscriber : ended) {
        const auto found = std::find(m_subscribers.begin(), m_subscribers.end(), subscriber);
        if (found == m_subscribers.end())
            continue;
        closedLocked(subscriber);
        m_subscribers.erase(found);
    }
}

EventStream::Subscription EventStream::subscribe(const Filter& filter, std::optional<quint64> since,
                                                 std::function<bool(const QString&)> visible,
                                                 std::function<QString()> ended, QString operatorName, QString address,
                                                 std::function<void()> wake) {
    Subscription subscription;
    quint64 replayFrom = 0;
    std::lock_guard subscribers(m_subsMutex);
    {
        std::lock_guard lock(m_ringMutex);
        subscription.newest = m_lastKept;
        subscription.oldest = m_ring.empty() ? 0 : m_ring.front()->seq;
        if (since && *since > subscription.newest)
            throw platform::AutomationError(
                platform::hr::E_INVALIDARG,
                QStringLiteral("\"since\" %1 is past the newest event, %2").arg(*since).arg(subscription.newest));
        // Without "since" only what comes from now on.
        replayFrom = since ? *since + 1 : subscription.newest + 1;
        const quint64 firstKept = m_ring.empty() ? m_lastKept + 1 : m_ring.front()->seq;
        if (replayFrom < firstKept)
            subscription.lost = firstKept - replayFrom;
    }
    subscription.subscriber =
        std::make_shared<Subscriber>(*this, filter, std::move(visible), std::move(ended), replayFrom,
                                     subscription.newest, std::move(operatorName), std::move(address), std::move(wake));
    m_subscribers.push_back(subscription.subscriber);
    return subscription;
}

void EventStream::unsubscribe(const std::shared_ptr<Subscriber>& subscriber) {
    if (!subscriber)
        return;
    subscriber->detach();
    std::lock_guard lock(m_subsMutex);
    m_subscribers.erase(std::remove(m_subscribers.begin(), m_subscribers.end(), subscriber), m_subscribers.end());
}

QJsonObject EventStream::subscribers() const {
    QJsonArray open;
    QJsonArray closed;
    {
        std::lock_guard lock(m_subsMutex);
        for (const auto& subscriber : m_subscribers)
            open.append(subscriber->info());
        for (const QJsonObject& entry : m_closed)
            closed.append(entry);
    }
    return QJsonObject{{QStringLiteral("subscribers"), open},
                       {QStringLiteral("disconnected"), closed},
                       {QStringLiteral("newest"), static_cast<qint64>(newest())},
                       {QStringLiteral("droppedAtEntry"), static_cast<qint64>(droppedAtEntry())}};
}

quint64 EventStream::newest() const {
    std::lock_guard lock(m_ringMutex);
    return m_lastKept;
}

quint64 EventStream::droppedAtEntry() const {
    std::lock_guard lock(const_cast<std::mutex&>(m_inMutex));
    return m_droppedAtEntry;
}

bool EventStream::waitIdle(int ms) {
    std::unique_lock lock(m_inMutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_inbound.empty() && !m_busy; });
}

std::vector<EventPtr> EventStream::range(quint64 from, quint64 to, int max, quint64* oldest) const {
    std::vector<EventPtr> found;
    std::lock_guard lock(m_ringMutex);
    const quint64 first = m_ring.empty() ? m_lastKept + 1 : m_ring.front()->seq;
    *oldest = first;
    if (m_ring.empty() || to < first)
        return found;
    // In order of their numbers (a file cut by a crash may leave a gap between them).
    auto it = std::lower_bound(m_ring.begin(), m_ring.end(), from,
                               [](const EventPtr& event, quint64 seq) { return event->seq < seq; });
    for (; it != m_ring.end() && found.size() < size_t(max) && (*it)->seq <= to; ++it)
        found.push_back(*it);
    return found;
}

namespace {

// The controllers' long records already in the stream, so that one collected from a lock's stored records
// that was seen live (or collected before a restart) is not told twice, and the live copy of one just
// collected is not told again either. Keyed by a 64-bit digest of lock and record (the record holds the
// controller's time to the second), as many as the ring holds. Only the scanning thread uses it.
class SeenRecords {
public:
    explicit SeenRecords(size_t limit)
        : m_limit(limit) {}

    static quint64 key(const QString& lock, const QString& record) {
        const QByteArray text = (lock.toUpper() + QLatin1Char('|') + record.toUpper()).toUtf8();
        return std::hash<std::string_view>{}(std::string_view(text.constData(), size_t(text.size())));
    }
    // Whether the record is new to the stream; remembers it.
    bool collected(quint64 key) {
        if (m_counts.contains(key))
            return false;
        remember(key, 1);
        return true;
    }
    bool live(quint64 key) {
        const auto found = m_counts.find(key);
        if (found != m_counts.end() && *found > 0) {
            --*found; // its collected copy was told already
            return false;
        }
        if (found == m_counts.end())
            remember(key, 0);
        return true;
    }
    void seed(quint64 key) {
        if (!m_counts.contains(key))
            remember(key, 0);
    }

private:
    void remember(quint64 key, int pendingLive) {
        m_counts.insert(key, pendingLive);
        m_order.push_back(key);
        while (m_order.size() > m_limit) {
            m_counts.remove(m_order.front());
            m_order.pop_front();
        }
    }

    const size_t m_limit;
    QHash<quint64, int> m_counts; // per record: live copies still to be passed over
    std::deque<quint64> m_order;
};

// The "record" text of a stored event without parsing the whole object.
QString recordOf(const StoredEvent& event) {
    static const QByteArray marker = QByteArrayLiteral("\"record\":\"");
    const qsizetype at = event.json.indexOf(marker);
    if (at < 0)
        return {};
    const qsizetype from = at + marker.size();
    const qsizetype to = event.json.indexOf('"', from);
    return to < 0 ? QString() : QString::fromLatin1(event.json.mid(from, to - from));
}

// A long record's controller time as one number that grows with it.
quint64 momentOf(const monitor::LockMonitorRecord& record) {
    quint64 moment = 0;
    for (const uint8_t part : record.bytesC)
        moment = (moment << 8) | part;
    return moment;
}

// What the scan's observer keeps between reports (the scanning thread only).
//
// A lock keeps every record, also those the scan read as they happened; what it kept while its link was
// down is collected when it is back. So that none is told twice, a collected record is told only when it
// is newer than the newest the lock had told when its link went down (or when the server last stopped:
// the marks, with the records of their second, are kept in a file beside the ring's) and not already in
// the stream; a live record that was just collected is not told again.
class ScanState {
public:
    explicit ScanState(const EventStream& stream)
        : m_seen(size_t(stream.settings().ringEvents)) {
        if (!stream.settings().path.isEmpty())
            m_path = stream.settings().path + QStringLiteral(".marks");
        load();
        for (quint64 from = 1;;) {
            quint64 oldest = 0;
            const std::vector<EventPtr> page = stream.range(from, stream.newest(), 4096, &oldest);
            if (page.empty())
                break;
            for (const EventPtr& event : page) {
                if ((event->kind != kSwipe && event->kind != kDoor) || event->lock.isEmpty())
                    continue;
                const QString record = recordOf(*event);
                m_seen.seed(SeenRecords::key(event->lock, record));
                if (const auto decoded = monitor::decodeLockRecord(record))
                    advance(event->lock, momentOf(*decoded), SeenRecords::key(event->lock, record));
            }
            from = page.back()->seq + 1;
        }
        m_threshold = m_mark;
    }
    ~ScanState() { save(true); }
    ScanState(const ScanState&) = delete;
    ScanState& operator=(const ScanState&) = delete;

    QHash<QString, monitor::SwitchStatusRecord> lastStatus;

    void linkDown(const QString& lock) { m_threshold.insert(lock.toUpper(), m_mark.value(lock.toUpper())); }
    // Whether the record goes into the stream.
    bool tell(const monitor::ScanReport& report) {
        const QString lock = report.id.toUpper();
        const quint64 key = SeenRecords::key(lock, report.recordText);
        const quint64 moment = momentOf(report.record);
        if (report.stored) {
            const auto threshold = m_threshold.constFind(lock);
            if (threshold != m_threshold.constEnd() &&
                (moment < threshold->moment || (moment == threshold->moment && threshold->keys.contains(key))))
                return false;
            if (!m_seen.collected(key))
                return false;
        } else if (!m_seen.live(key)) {
            return false;
        }
        advance(lock, moment, key);
        save(false);
        return true;
    }

private:
    // The newest controller time told for a lock, and which records of that second were told.
    struct Mark {
        quint64 moment = 0;
        QSet<quint64> keys;
    };
    void advance(const QString& lock, quint64 moment, quint64 key) {
        Mark& mark = m_mark[lock];
        if (moment > mark.moment) {
            mark.moment = moment;
            mark.keys = {key};
            m_dirty = true;
        } else if (moment == mark.moment && !mark.keys.contains(key)) {
            mark.keys.insert(key);
            m_dirty = true;
        }
    }
    void load() {
        QFile file(m_path);
        if (m_path.isEmpty() || !file.open(QIODevice::ReadOnly))
            return;
        const QJsonObject marks = QJsonDocument::fromJson(file.read(1024 * 1024)).object();
        for (auto it = marks.begin(); it != marks.end(); ++it) {
            const QJsonObject stored = it.value().toObject();
            Mark mark;
            mark.moment = quint64(stored.value(QStringLiteral("moment")).toInteger());
            for (const QJsonValue& key : stored.value(QStringLiteral("keys")).toArray())
                mark.keys.insert(key.toString().toULongLong(nullptr, 16));
            m_mark.insert(it.key().toUpper(), mark);
        }
    }
    // Whenever a mark moves, so that a killed process leaves it behind (the system writes it out); synced at
    // most once a second, and at the end.
    void save(bool now) {
        if (m_path.isEmpty() || !m_dirty)
            return;
        const bool sync = now || std::chrono::steady_clock::now() - m_saved >= kSyncEvery;
        QJsonObject marks;
        for (auto it = m_mark.constBegin(); it != m_mark.constEnd(); ++it) {
            QJsonArray keys;
            for (const quint64 key : it->keys)
                keys.append(QString::number(key, 16));
            marks.insert(it.key(),
                         QJsonObject{{QStringLiteral("moment"), qint64(it->moment)}, {QStringLiteral("keys"), keys}});
        }
        const QString temporary = m_path + QStringLiteral(".new");
        const int fd = openPrivate(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
        if (fd < 0 || !writeAll(fd, QJsonDocument(marks).toJson(QJsonDocument::Compact)) ||
            (sync && ::fdatasync(fd) != 0) ||
            ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_path).constData()) != 0)
            qCWarning(lcEvents) << "the locks' marks cannot be written to" << m_path << ":" << std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        m_dirty = false;
        if (sync)
            m_saved = std::chrono::steady_clock::now();
    }

    SeenRecords m_seen;
    QString m_path;
    QHash<QString, Mark> m_mark;      // by lock: the newest controller time told
    QHash<QString, Mark> m_threshold; // by lock: its mark when its link last went down
    bool m_dirty = false;
    std::chrono::steady_clock::time_point m_saved{};
};

} // namespace

monitor::TScanAllControls::Observer scanObserver(EventStream& stream) {
    // The scanning thread is its only caller.
    auto state = std::make_shared<ScanState>(stream);
    return [&stream, state](const monitor::ScanReport& report) {
        using Kind = monitor::ScanReport::Kind;
        if (report.kind == Kind::SwitchStatus) {
            const auto found = state->lastStatus.constFind(report.id);
            if (found != state->lastStatus.constEnd() && *found == report.status)
                return;
            state->lastStatus.insert(report.id, report.status);
        }
        if (report.kind == Kind::LinkDown || report.kind == Kind::LinkLost)
            state->linkDown(report.id);
        if (report.kind == Kind::LockRecord && report.record.recordForm != monitor::kShortRecordForm &&
            !state->tell(report))
            return;
        if (std::optional<Event> event = fromScan(report))
            stream.publish(std::move(*event));
    };
}

} // namespace morvane::events
