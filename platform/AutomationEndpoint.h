#pragma once

#include "JsonRpc.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace morvane::platform {

class CallContext;

// How much the endpoint lets one connection hold, and how many calls run at once.
struct EndpointLimits {
    // Threads that run calls (0: max(4, twice the processor count)). Calls beyond them wait their turn.
    int callThreads = 0;
    // While a connection's unsent replies exceed this, its next requests are not taken (one reply of any
    // size always goes out whole).
    qint64 outputBound = 16 * 1024 * 1024;
    // A connection whose unsent replies stay beyond the bound this long is closed.
    std::chrono::milliseconds drainTimeout{60000};
};

// The application server's side of its endpoint: a Unix-domain socket on which every connection gets
// one object (its CreateObject) and carries that object's calls. One thread watches every connection
// (poll); the calls run on a small pool of threads: those of one connection one after the other, in
// order, those of different connections in parallel. Each object is released when its connection
// closes, so the server's object count follows the connected clients.
//
// A call runs on behalf of its connection (CallContext): when the peer closes the connection (its client
// has gone, or the socket server died) while a call runs, the call is cancelled at once, and what the
// connection still had queued is dropped. A connection that only shuts down its sending side still gets
// the replies to what it sent.
//
// Replies are written without blocking: a short reply with nothing before it by the call thread that made
// it (one hand-off less per call), the rest by the watching thread; while a connection's unsent replies
// exceed the bound its requests wait in the socket, and a connection that does not drain in time is
// closed. A call may write a long reply as it makes it (the CallContext's writer): the call waits while
// more than a mebibyte of it is unsent, and a peer that takes nothing of it within the drain time-out
// is closed; a reply that cannot be finished closes the connection before its line ends.
//
// A server started for clients ends when it is idle (endWhenIdle): it stops accepting first (its socket
// files go, and what is still waiting to be accepted is closed unanswered), and only then tells its owner
// to end, so that no client is handed an object by a server that is about to exit.
//
// Threads: listen(), endWhenIdle() and stop() are called by the owner (the main thread), the first two
// before start(); checkIdle() and connectionCount() from any thread. Inside run the watching thread, the
// call threads and one thread that cancels calls (a database's cancel request may take a round trip).
// m_mutex guards m_open, m_retired, m_everConnected and m_unlinked (owner, watching thread, call threads,
// releasing threads); m_notifyMutex guards m_notified (call threads, watching thread); m_connections,
// the epoll set and the listeners belong to the watching thread while it runs and to stop() after it.
// Each connection's own lock says what it guards. m_stopping is atomic; the handlers are set before
// start() and only read afterwards.
class AutomationEndpoint {
public:
    // `guards` gives each connection its guard (none: calls need no log-on).
    explicit AutomationEndpoint(rpc::ServerSession::Creator creator, qint64 maxMessage = rpc::kDefaultMaxMessage,
                                EndpointLimits limits = {}, rpc::GuardFactory guards = {});
    ~AutomationEndpoint();
    AutomationEndpoint(const AutomationEndpoint&) = delete;
    AutomationEndpoint& operator=(const AutomationEndpoint&) = delete;

    // Listens on a socket at `path`, made 0600 (a stale socket file of this user's is replaced: the caller
    // holds the server's single-instance lock; a file of another user, a link or anything else that is no
    // socket is refused). May be called for several paths before start().
    bool listen(const QString& path, QString* error = nullptr);
    void start();
    // Stops accepting, ends every connection (the call running on each is cancelled, their objects are
    // released) and waits for the threads: for nothing longer than the calls that run take to return.
    void stop();
    // The connections whose object has not been released yet.
    int connectionCount() const;

    // Once no connection is open and `busy` says no object is alive, the endpoint stops accepting and
    // calls `ended` (once, on the thread that found it idle). So too when no client has connected
    // within `firstClientMs` of start().
    void endWhenIdle(std::function<bool()> busy, std::function<void()> ended, int firstClientMs);
    // Looks again (an object was released outside any connection).
    void checkIdle();

private:
    struct Connection;
    class Pool;
    class StreamWriter;
    class Outlet;
    using ConnectionPtr = std::shared_ptr<Connection>;

    void watch();
    // False when no descriptor was left for a connection waiting to be accepted.
    bool acceptFrom(int listener);
    void readFrom(Connection& connection);
    // Writes what it can, decides what the connection waits for, hands it a turn, or closes it.
    void update(const ConnectionPtr& connection);
    void endConnection(Connection& connection);
    // With the connection's lock held: takes its notifications while little of its output waits.
    void pullLocked(Connection& connection);
    // On a call thread: one request of the connection, or the release of its object.
    void turn(const ConnectionPtr& connection);
    void notify(const ConnectionPtr& connection);
    void wake();
    int nextTimeoutMs(std::chrono::steady_clock::time_point started) const;
    // With m_mutex held: true when this call retired the endpoint.
    bool retireIfIdleLocked();
    void unlinkPathsLocked();
    // The watching thread, or the owner once it has ended.
    void closeListeners();

    rpc::ServerSession::Creator m_creator;
    rpc::GuardFactory m_guards;
    const qint64 m_maxMessage;
    const EndpointLimits m_limits;
    std::vector<int> m_listenFds;
    std::vector<QString> m_paths;
    int m_epoll = -1;
    int m_wake = -1; // an eventfd: the watching thread looks at m_notified and m_stopping
    std::thread m_watchThread;
    std::unique_ptr<Pool> m_calls;
    std::unique_ptr<Pool> m_cancels;
    std::atomic<bool> m_stopping{false};
    std::function<bool()> m_busy;
    std::function<void()> m_ended; // empty: the endpoint runs until stop()
    int m_firstClientMs = 0;
    std::unordered_map<uint64_t, ConnectionPtr> m_connections; // by their epoll key
    uint64_t m_nextKey = 1;
    std::mutex m_notifyMutex;              // guards m_notified: the call threads and the watching thread
    std::vector<ConnectionPtr> m_notified; // connections whose calls changed what they wait for
    mutable std::mutex m_mutex;            // owner, watching thread, call threads, releasing threads
    int m_open = 0;                        // accepted connections whose object has not been released
    bool m_retired = false;
    bool m_everConnected = false;
    bool m_unlinked = false; // the socket files are gone (a later server may have made new ones)
};

} // namespace morvane::platform
