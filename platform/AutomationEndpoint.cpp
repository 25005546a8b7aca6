#include "AutomationEndpoint.h"

#include "CallContext.h"
#include "NamedMutex.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Requests read ahead of the call that runs; beyond this a connection's requests wait in its socket.
constexpr qint64 kLookahead = 1024 * 1024;
// Reads of one connection per wake-up, so that a busy one does not hold up the others.
constexpr int kReadsPerWake = 4;
// A reply written as it is made waits while more than this of it is unsent: what the connection holds
// of a long reply stays near this, whatever the reply's size.
constexpr qint64 kStreamedAhead = 1024 * 1024;
// Notifications are taken from their source only while less than this of a connection's output waits:
// beyond it they wait (and are dropped) in the source, which bounds them.
constexpr qint64 kPushWindow = 64 * 1024;
// How long accepting pauses when the process has no descriptor left for a new connection.
constexpr std::chrono::milliseconds kAcceptPause{100};

// What epoll reports an event for: the wake-up, a listener (this bit and its descriptor), or a
// connection (its number, never used again, so that an event of a closed connection never reaches a new
// one that got the same descriptor).
constexpr uint64_t kWakeKey = 0;
constexpr uint64_t kListenerKey = uint64_t(1) << 63;

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Most calls spend their time waiting (a controller's answer, the audit line's flush, the database
// thread), not on a processor: more of them at once share the audit's flushes and overlap the waits.
// Measured with 20 clients opening doors on 2 processors: 4 threads about 1,900 calls/s, 16 about 3,000.
int defaultCallThreads() {
    return std::max(16, 8 * static_cast<int>(std::thread::hardware_concurrency()));
}

} // namespace

// Threads that run posted jobs, started as they are needed up to a limit; the jobs run in the order
// they were posted, as many at once as there are threads.
//
// Threads: post() from any thread; finish() by the owner. m_mutex guards every member below it (posting
// threads, the pool's threads, the owner).
class AutomationEndpoint::Pool {
public:
    explicit Pool(int maxThreads)
        : m_max(std::max(1, maxThreads)) {}
    ~Pool() { finish(); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(job));
            // A thread more only while every one is busy: idle connections cost none. Once finishing, the
            // threads there are run what is left (a job posted now comes from one of them).
            if (!m_finishing && static_cast<int>(m_jobs.size()) > m_idle && static_cast<int>(m_threads.size()) < m_max)
                m_threads.emplace_back([this] { work(); });
        }
        m_wake.notify_one();
    }
    // Runs what is posted, including what those jobs post, then ends the threads.
    void finish() {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(m_mutex);
            m_finishing = true;
            threads.swap(m_threads);
        }
        m_wake.notify_all();
        for (std::thread& thread : threads)
            thread.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                ++m_idle;
                m_wake.wait(lock, [this] { return !m_jobs.empty() || m_finishing; });
                --m_idle;
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    const int m_max;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    int m_idle = 0;
    bool m_finishing = false;
};

struct AutomationEndpoint::Connection {
    Connection(uint64_t number, int descriptor, rpc::ServerSession::Creator creator,
               std::unique_ptr<rpc::ConnectionGuard> guard)
        : key(number)
        , fd(descriptor)
        , session(std::make_unique<rpc::ServerSession>(std::move(creator), std::move(guard))) {}

    const uint64_t key;
    const int fd; // the watching thread's; closed by it (or by stop()) once the connection has ended
    const std::shared_ptr<CallContext> context = std::make_shared<CallContext>();
    // Used by the call thread whose turn it is; there is one turn at a time (`scheduled`).
    std::unique_ptr<rpc::ServerSession> session;

    // The watching thread only.
    rpc::LineBuffer input;
    uint32_t events = 0;              // what epoll reports for it
    bool watched = true;              // in the epoll set
    bool peerShutWrite = false;       // the peer sends nothing more: no need to be told again
    Clock::time_point stalledSince{}; // since when its unsent replies have not drained; zero while they do

    // Guards what follows: the watching thread and the call thread whose turn it is.
    std::mutex mutex;
    std::deque<QByteArray> requests;
    qint64 requestBytes = 0;
    std::deque<QByteArray> output; // replies not yet written, in parts
    qint64 outputBytes = 0;
    qint64 sentOfFirst = 0;  // of output.front()
    bool scheduled = false;  // a turn is posted or runs
    bool running = false;    // a call runs
    bool inputEnded = false; // no request comes any more: the peer shut its side, or sent one too large
    bool tooLarge = false;
    bool gone = false;                       // the peer has gone (or is dropped): nothing more runs or is sent
    bool cancelled = false;                  // the call that ran when it went has been told
    bool released = false;                   // its object has gone
    bool writerWaits = false;                // the call writes a reply as it is made and waits for it to drain
    bool readable = true;                    // its requests are watched for (as the watching thread last set)
    std::condition_variable drained;         // tells that writer: sent, or gone
    std::shared_ptr<rpc::PushSource> source; // its notifications, once a call attached them
    bool pushHeld = false;                   // until the call that attached the source has been answered

    void dropLocked() {
        gone = true;
        source.reset();
        inputEnded = true;
        requests.clear();
        requestBytes = 0;
        output.clear();
        outputBytes = 0;
        sentOfFirst = 0;
    }
    // A turn has something to do: a request, or the release of the object.
    bool wantsTurnLocked(qint64 outputBound) const {
        return !released &&
               (gone || (inputEnded && requests.empty()) || (!requests.empty() && outputBytes <= outputBound));
    }
};

// A connection's outlet for notifications. It holds the connection weakly: a source that outlives it
// wakes nobody.
class AutomationEndpoint::Outlet : public rpc::PushOutlet {
public:
    Outlet(AutomationEndpoint& endpoint, const ConnectionPtr& connection)
        : m_endpoint(endpoint)
        , m_connection(connection) {}
    void attach(std::shared_ptr<rpc::PushSource> source) override {
        const ConnectionPtr connection = m_connection.lock();
        if (!connection)
            return;
        std::lock_guard lock(connection->mutex);
        if (connection->gone)
            return;
        connection->source = std::move(source);
        connection->pushHeld = connection->running;
    }
    void ready() override {
        if (const ConnectionPtr connection = m_connection.lock())
            m_endpoint.notify(connection);
    }

private:
    AutomationEndpoint& m_endpoint;
    std::weak_ptr<Connection> m_connection;
};

AutomationEndpoint::AutomationEndpoint(rpc::ServerSession::Creator creator, qint64 maxMessage, EndpointLimits limits,
                                       rpc::GuardFactory guards)
    : m_creator(std::move(creator))
    , m_guards(std::move(guards))
    , m_maxMessage(maxMessage)
    , m_limits(limits)
    , m_calls(std::make_unique<Pool>(limits.callThreads > 0 ? limits.callThreads : defaultCallThreads()))
    // Cancelling may wait for the database server's answer: never on the watching thread, and never behind
    // the calls that wait for it.
    , m_cancels(std::make_unique<Pool>(1)) {}

AutomationEndpoint::~AutomationEndpoint() {
    stop();
    closeListeners();
    {
        std::lock_guard lock(m_mutex);
        unlinkPathsLocked();
    }
    m_calls->finish();
    m_cancels->finish();
    for (int fd : {m_wake, m_epoll}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool AutomationEndpoint::listen(const QString& path, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("cannot listen on %1: %2").arg(path, why);
        return false;
    };
    const QByteArray native = path.toLocal8Bit();
    sockaddr_un address = {};
    if (native.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return fail(QStringLiteral("the path is too long for a local socket"));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), static_cast<size_t>(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return fail(errnoText());
    // The single-instance lock is ours, so a socket file of ours left there belongs to a server that has
    // ended. Anything else is left alone: a file of another user (who could be listening on it), or
    // something that is no socket.
    struct stat status {};
    if (::lstat(native.constData(), &status) == 0) {
        QString refusal;
        if (status.st_uid != ::geteuid())
            refusal = NamedMutex::foreignOwnerText(status.st_uid);
        else if (!S_ISSOCK(status.st_mode))
            refusal = QStringLiteral("%1 stands there, not a socket; remove it, or set MORVANE_LOCK_DIR to a "
                                     "directory of this user's own")
                          .arg(S_ISLNK(status.st_mode) ? QStringLiteral("a symbolic link") : QStringLiteral("a file"));
        if (!refusal.isEmpty()) {
            ::close(fd);
            return fail(refusal);
        }
        ::unlink(native.constData());
    }
    // Only the account that runs the server (and the socket server it starts) may connect.
    const mode_t previous = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(previous);
    if (bound != 0 || ::listen(fd, 128) != 0) {
        const QString why = errnoText();
        ::close(fd);
        return fail(why);
    }
    m_listenFds.push_back(fd);
    m_paths.push_back(path);
    return true;
}

void AutomationEndpoint::start() {
    if (m_watchThread.joinable() || m_epoll >= 0)
        return;
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll < 0 || m_wake < 0) {
        qWarning("morvane: the endpoint cannot watch its connections: %s", qPrintable(errnoText()));
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    for (int fd : m_listenFds) {
        event.data.u64 = kListenerKey | uint64_t(fd);
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    m_watchThread = std::thread([this] { watch(); });
}

void AutomationEndpoint::stop() {
    if (m_stopping.exchange(true) || !m_watchThread.joinable())
        return;
    // Nobody finds the endpoint any more; whoever still waits to be accepted is refused with the listener.
    {
        std::lock_guard lock(m_mutex);
        unlinkPathsLocked();
    }
    wake();
    // It ends every connection as it goes: their calls are cancelled and their objects' release is posted.
    m_watchThread.join();
    closeListeners();
    m_calls->finish();
    m_cancels->finish();
    for (const auto& [key, connection] : m_connections)
        ::close(connection->fd);
    m_connections.clear();
}

int AutomationEndpoint::connectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

void AutomationEndpoint::endWhenIdle(std::function<bool()> busy, std::function<void()> ended, int firstClientMs) {
    m_busy = std::move(busy);
    m_ended = std::move(ended);
    m_firstClientMs = firstClientMs;
}

void AutomationEndpoint::checkIdle() {
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        ended = retireIfIdleLocked();
    }
    if (ended)
        m_ended();
}

bool AutomationEndpoint::retireIfIdleLocked() {
    if (!m_ended || m_retired || m_stopping.load() || m_open > 0)
        return false;
    if (m_busy && m_busy())
        return false;
    // Decided with the lock held that counts accepted connections: none is taken from now on.
    m_retired = true;
    unlinkPathsLocked();
    wake();
    return true;
}

void AutomationEndpoint::unlinkPathsLocked() {
    if (m_unlinked)
        return;
    m_unlinked = true;
    for (const QString& path : m_paths)
        QFile::remove(path);
}

void AutomationEndpoint::closeListeners() {
    for (int fd : m_listenFds)
        ::close(fd); // which takes it out of the epoll set
    m_listenFds.clear();
}

void AutomationEndpoint::wake() {
    if (m_wake < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void AutomationEndpoint::notify(const ConnectionPtr& connection) {
    {
        std::lock_guard lock(m_notifyMutex);
        m_notified.push_back(connection);
    }
    wake();
}

int AutomationEndpoint::nextTimeoutMs(Clock::time_point started) const {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    {
        std::lock_guard lock(m_mutex);
        if (m_ended && !m_everConnected && !m_retired)
            next = started + std::chrono::milliseconds(m_firstClientMs);
    }
    for (const auto& [key, connection] : m_connections) {
        if (connection->stalledSince != Clock::time_point{})
            next = std::min(next, connection->stalledSince + m_limits.drainTimeout);
    }
    if (next == Clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    // Rounded up, so that the deadline has passed when the wait ends.
    return static_cast<int>(
        std::min<qint64>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count(), 60 * 60 * 1000));
}

void AutomationEndpoint::watch() {
    const Clock::time_point started = Clock::now();
    Clock::time_point acceptPausedUntil{};
    const auto watchListeners = [this](uint32_t events) {
        for (int fd : m_listenFds) {
            epoll_event event{};
            event.events = events;
            event.data.u64 = kListenerKey | uint64_t(fd);
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
        }
    };
    std::vector<epoll_event> events(64);
    for (;;) {
        // Looked at before every wait: a wake-up read in the last round may have been for this.
        if (m_stopping.load())
            break;
        bool ended = false;
        bool retired = false;
        {
            std::lock_guard lock(m_mutex);
            if (!m_everConnected && Clock::now() - started >= std::chrono::milliseconds(m_firstClientMs))
                ended = retireIfIdleLocked();
            retired = m_retired;
        }
        if (ended)
            m_ended();
        // Connections still waiting to be accepted end unanswered: their clients go to the next server.
        if (retired)
            closeListeners();
        if (acceptPausedUntil != Clock::time_point{} && Clock::now() >= acceptPausedUntil) {
            acceptPausedUntil = {};
            watchListeners(EPOLLIN);
        }
        int timeout = nextTimeoutMs(started);
        if (acceptPausedUntil != Clock::time_point{})
            timeout = timeout < 0 ? int(kAcceptPause.count()) : std::min(timeout, int(kAcceptPause.count()));
        const int ready = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), timeout);
        for (int i = 0; i < ready; ++i) {
            const uint64_t key = events[i].data.u64;
            if (key == kWakeKey) {
                uint64_t count = 0;
                [[maybe_unused]] const auto read = ::read(m_wake, &count, sizeof count);
                std::vector<ConnectionPtr> notified;
                {
                    std::lock_guard lock(m_notifyMutex);
                    notified.swap(m_notified);
                }
                for (const ConnectionPtr& connection : notified) {
                    if (m_connections.count(connection->key))
                        update(connection);
                }
                continue;
            }
            if (key & kListenerKey) {
                const int fd = static_cast<int>(key & ~kListenerKey);
                // No descriptor left: the listeners rest a moment instead of waking this thread at once again.
                if (std::count(m_listenFds.begin(), m_listenFds.end(), fd) && !acceptFrom(fd)) {
                    acceptPausedUntil = Clock::now() + kAcceptPause;
                    watchListeners(0);
                }
                continue;
            }
            const auto found = m_connections.find(key);
            if (found == m_connections.end())
                continue;
            const ConnectionPtr connection = found->second;
            const uint32_t what = events[i].events;
            if (what & (EPOLLHUP | EPOLLERR)) {
                // The peer has closed: its client has gone, or the socket server has ended.
                std::lock_guard lock(connection->mutex);
                connection->dropLocked();
            } else {
                if (what & EPOLLRDHUP)
                    connection->peerShutWrite = true;
                if (what & EPOLLIN)
                    readFrom(*connection);
            }
            update(connection);
        }
        // Connections whose replies did not drain in time.
        std::vector<ConnectionPtr> due;
        const Clock::time_point now = Clock::now();
        for (const auto& [key, connection] : m_connections) {
            if (connection->stalledSince != Clock::time_point{} &&
                now - connection->stalledSince >= m_limits.drainTimeout)
                due.push_back(connection);
        }
        for (const ConnectionPtr& connection : due)
            update(connection);
    }
    // Stopping: every connection ends now.
    std::vector<ConnectionPtr> open;
    for (const auto& [key, connection] : m_connections)
        open.push_back(connection);
    for (const ConnectionPtr& connection : open) {
        {
            std::lock_guard lock(connection->mutex);
            connection->dropLocked();
        }
        update(connection);
    }
}

bool AutomationEndpoint::acceptFrom(int listener) {
    for (int i = 0; i < 64; ++i) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        }
        {
            std::lock_guard lock(m_mutex);
            if (m_retired) {
                ::close(fd);
                continue;
            }
            m_everConnected = true;
            ++m_open;
        }
        std::unique_ptr<rpc::ConnectionGuard> guard = m_guards ? m_guards() : nullptr;
        rpc::ConnectionGuard* const guardOfConnection = guard.get();
        auto connection = std::make_shared<Connection>(m_nextKey++, fd, m_creator, std::move(guard));
        if (guardOfConnection)
            guardOfConnection->setOutlet(std::make_shared<Outlet>(*this, connection));
        connection->events = EPOLLIN | EPOLLRDHUP;
        epoll_event event{};
        event.events = connection->events;
        event.data.u64 = connection->key;
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            // A connection that cannot be watched is not served: its client sees it closed.
            ::close(fd);
            bool ended = false;
            {
                std::lock_guard lock(m_mutex);
                --m_open;
                ended = retireIfIdleLocked();
            }
            if (ended)
                m_ended();
            continue;
        }
        m_connections.emplace(connection->key, std::move(connection));
    }
    return true;
}

void AutomationEndpoint::readFrom(Connection& connection) {
    qint64 room = 0;
    {
        std::lock_guard lock(connection.mutex);
        if (connection.inputEnded)
            return;
        room = kLookahead - connection.requestBytes;
    }
    std::vector<QByteArray> lines;
    qint64 taken = 0;
    bool ended = false;
    bool failed = false;
    bool tooLarge = false;
    for (int i = 0; i < kReadsPerWake && taken < room && !ended && !failed && !tooLarge; ++i) {
        char chunk[65536];
        const ssize_t n = ::recv(connection.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failed = errno != EAGAIN && errno != EWOULDBLOCK;
            break;
        }
        if (n == 0) {
            ended = true;
            break;
        }
        connection.input.append(chunk, n);
        while (auto line = connection.input.takeLine()) {
            if (line->size() > m_maxMessage) {
                tooLarge = true;
                break;
            }
            taken += line->size();
            lines.push_back(std::move(*line));
        }
        tooLarge = tooLarge || connection.input.pending() > m_maxMessage;
    }
    // What has been taken goes back to the system: a connection at rest holds no buffer.
    if (connection.input.pending() == 0 || ended || failed || tooLarge)
        connection.input = rpc::LineBuffer();
    std::lock_guard lock(connection.mutex);
    if (connection.gone)
        return;
    if (failed) {
        connection.dropLocked();
        return;
    }
    for (QByteArray& line : lines) {
        connection.requestBytes += line.size();
        connection.requests.push_back(std::move(line));
    }
    connection.inputEnded = ended || tooLarge;
    connection.tooLarge = tooLarge;
}

void AutomationEndpoint::update(const ConnectionPtr& connection) {
    Connection& c = *connection;
    const Clock::time_point now = Clock::now();
    bool cancel = false;
    bool schedule = false;
    bool finished = false;
    bool gone = false; // as seen under the lock: a call may drop the connection at any time after it
    uint32_t events = 0;
    {
        std::lock_guard lock(c.mutex);
        pullLocked(c);
        // What can be written goes now, without waiting; the rest when the socket has room.
        bool progressed = false;
        while (!c.gone && !c.output.empty()) {
            const QByteArray& part = c.output.front();
            const ssize_t n = ::send(c.fd, part.constData() + c.sentOfFirst,
                                     static_cast<size_t>(part.size() - c.sentOfFirst), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    c.dropLocked();
                break;
            }
            c.sentOfFirst += n;
            c.outputBytes -= n;
            progressed = progressed || n > 0;
            if (c.sentOfFirst == part.size()) {
                c.output.pop_front();
                c.sentOfFirst = 0;
            }
            if (c.output.empty())
                pullLocked(c);
        }
        // A writer waiting on a reply it makes is stalled while its peer reads nothing of it.
        const bool over = c.outputBytes > m_limits.outputBound || (c.writerWaits && c.outputBytes > 0);
        if (c.gone || !(over || (c.released && c.outputBytes > 0))) {
            c.stalledSince = {};
        } else if (c.stalledSince == Clock::time_point{} || (c.writerWaits && progressed)) {
            c.stalledSince = now;
        } else if (now - c.stalledSince >= m_limits.drainTimeout) {
            qWarning("morvane: a connection that did not read its replies within %lld s is closed",
                     static_cast<long long>(std::chrono::ceil<std::chrono::seconds>(m_limits.drainTimeout).count()));
            c.dropLocked();
            c.stalledSince = {};
        }
        if (!c.gone) {
            if (!c.inputEnded && c.requestBytes < kLookahead && !over)
                events |= EPOLLIN;
            c.readable = (events & EPOLLIN) != 0;
            if (!c.inputEnded && !c.peerShutWrite)
                events |= EPOLLRDHUP;
            if (c.outputBytes > 0)
                events |= EPOLLOUT;
        }
        cancel = c.gone && c.running && !c.cancelled;
        c.cancelled = c.cancelled || cancel;
        if (!c.scheduled && c.wantsTurnLocked(m_limits.outputBound)) {
            c.scheduled = true;
            schedule = true;
        }
        finished = c.released && (c.gone || c.outputBytes == 0);
        gone = c.gone;
        if (c.writerWaits)
            c.drained.notify_all();
    }
    // The call returns once its work has been stopped.
    if (cancel)
        m_cancels->post([context = c.context] { context->cancel(); });
    if (schedule)
        m_calls->post([this, connection] { turn(connection); });
    if (finished) {
        endConnection(c);
        return;
    }
    if (c.watched && (events != c.events || gone)) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = c.key;
        // One that has gone is watched no more: it would report its hang-up again and again.
        // Its peer sees it closed at once, whatever still runs for it.
        if (gone) {
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.fd, nullptr);
            ::shutdown(c.fd, SHUT_RDWR);
            c.watched = false;
        } else {
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &event);
        }
        c.events = events;
    }
}

void AutomationEndpoint::pullLocked(Connection& c) {
    if (!c.source || c.gone || c.pushHeld)
        return;
    while (c.outputBytes < kPushWindow) {
        QByteArrayList lines = c.source->take(kPushWindow - c.outputBytes);
        if (lines.isEmpty())
            break;
        for (QByteArray& line : lines) {
            c.outputBytes += line.size();
            c.output.push_back(std::move(line));
        }
    }
    const QString closing = c.source->closing();
    if (closing.isEmpty())
        return;
    // Its last line is in the output: what the socket takes now goes, then the connection ends.
    qWarning("morvane: a connection's notifications are ended: %s", qPrintable(closing));
    while (!c.output.empty()) {
        const QByteArray& part = c.output.front();
        const ssize_t n = ::send(c.fd, part.constData() + c.sentOfFirst,
                                 static_cast<size_t>(part.size() - c.sentOfFirst), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        c.sentOfFirst += n;
        if (c.sentOfFirst < part.size())
            break;
        c.output.pop_front();
        c.sentOfFirst = 0;
    }
    c.dropLocked();
}

void AutomationEndpoint::endConnection(Connection& connection) {
    const ConnectionPtr keep = m_connections.at(connection.key);
    if (connection.watched)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, connection.fd, nullptr);
    connection.watched = false;
    m_connections.erase(connection.key);
    ::close(connection.fd);
}

// What a call writes of a reply as it makes it: queued as any reply, with a wait while more than
// kStreamedAhead of it is unsent; the watching thread sends it, tells the wait, and drops a peer that
// reads nothing of it within the drain time-out.
class AutomationEndpoint::StreamWriter : public CallContext::ReplyWriter {
public:
    StreamWriter(AutomationEndpoint& endpoint, const ConnectionPtr& connection)
        : m_endpoint(endpoint)
        , m_connection(connection) {}
    bool write(QByteArray bytes) override {
        Connection& c = *m_connection;
        {
            std::lock_guard lock(c.mutex);
            if (c.gone)
                return false;
            c.outputBytes += bytes.size();
            c.output.push_back(std::move(bytes));
            c.writerWaits = c.outputBytes > kStreamedAhead;
        }
        m_endpoint.notify(m_connection);
        std::unique_lock lock(c.mutex);
        c.drained.wait(lock, [&c] { return c.gone || c.outputBytes <= kStreamedAhead; });
        c.writerWaits = false;
        return !c.gone;
    }
    void cut() override {
        {
            std::lock_guard lock(m_connection->mutex);
            m_connection->dropLocked();
        }
        m_endpoint.notify(m_connection);
    }

private:
    AutomationEndpoint& m_endpoint;
    const ConnectionPtr& m_connection;
};

void AutomationEndpoint::turn(const ConnectionPtr& connection) {
    Connection& c = *connection;
    QByteArray request;
    bool release = false;
    {
        std::lock_guard lock(c.mutex);
        if (c.gone || (c.inputEnded && c.requests.empty())) {
            release = true;
            if (c.tooLarge && !c.gone) {
                const QByteArray line =
                    rpc::errorLine(QJsonValue(), rpc::kInvalidRequest,
                                   QStringLiteral("Message larger than %1 bytes").arg(m_maxMessage));
                c.output.push_back(line);
                c.outputBytes += line.size();
            }
        } else if (!c.requests.empty() && c.outputBytes <= m_limits.outputBound) {
            request = std::move(c.requests.front());
            c.requests.pop_front();
            c.requestBytes -= request.size();
            c.running = true;
        } else {
            c.scheduled = false;
            return;
        }
    }
    if (release) {
        // The object goes before the connection counts as closed.
        c.session.reset();
        bool ended = false;
        {
            std::lock_guard lock(m_mutex);
            --m_open;
            ended = retireIfIdleLocked();
        }
        {
            std::lock_guard lock(c.mutex);
            c.released = true;
            c.scheduled = false;
        }
        notify(connection);
        if (ended)
            m_ended();
        return;
    }

    QByteArrayList reply;
    {
        const CallContext::Scope scope(c.context);
        StreamWriter writer(*this, connection);
        c.context->offerWriter(&writer);
        reply = c.session->handleParts(request);
        c.context->offerWriter(nullptr);
    }
    bool again = false;
    bool told = true;
    {
        std::lock_guard lock(c.mutex);
        c.running = false;
        c.pushHeld = false;
        const bool alone = c.output.empty();
        if (!c.gone && !reply.isEmpty() && !reply.first().isEmpty()) {
            for (QByteArray& part : reply) {
                c.outputBytes += part.size();
                c.output.push_back(std::move(part));
            }
            if (!c.output.back().endsWith('\n')) {
                c.output.push_back(QByteArrayLiteral("\n"));
                c.outputBytes += 1;
            }
        }
        // A short reply with nothing before it goes from here, without waking the watching thread: one
        // hand-off less per call. What the socket does not take at once, and any change in what the
        // connection waits for, is still the watching thread's.
        while (alone && !c.gone && !c.source && !c.output.empty()) {
            const QByteArray& part = c.output.front();
            const ssize_t n = ::send(c.fd, part.constData() + c.sentOfFirst,
                                     static_cast<size_t>(part.size() - c.sentOfFirst), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            c.sentOfFirst += n;
            c.outputBytes -= n;
            if (c.sentOfFirst == part.size()) {
                c.output.pop_front();
                c.sentOfFirst = 0;
            }
        }
        // One request per turn: the turns of all connections take their places in one line.
        again = c.wantsTurnLocked(m_limits.outputBound);
        c.scheduled = again;
        told = !(alone && c.output.empty() && !c.gone && !c.source && !again && c.readable && !c.inputEnded);
    }
    if (told)
        notify(connection);
    if (again)
        m_calls->post([this, connection] { turn(connection); });
}

} // namespace morvane::platform
