#pragma once

#include "JsonRpc.h"

#include <QString>

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace morvane::platform {

// The application server's side of its endpoint: a Unix-domain socket on which every connection gets
// one object (its CreateObject) and carries that object's calls. The calls of one connection run in
// order on the connection's own thread; connections run in parallel. Each object is released when its
// connection closes, so the server's object count follows the connected clients.
//
// A server started for clients ends when it is idle (endWhenIdle): it stops accepting first (its socket
// files go, and what is still waiting to be accepted is closed unanswered), and only then tells its owner
// to end, so that no client is handed an object by a server that is about to exit.
//
// Threads: listen(), endWhenIdle() and stop() are called by the owner (the main thread), the first two
// before start(); checkIdle() from any thread; the accept thread and one thread per connection run
// inside. m_mutex guards m_connections, m_retired and m_everConnected (owner, accept thread, connection
// threads, releasing threads); m_stopping is atomic; the handlers are set before start() and only read
// afterwards.
class AutomationEndpoint {
public:
    explicit AutomationEndpoint(rpc::ServerSession::Creator creator, qint64 maxMessage = rpc::kDefaultMaxMessage);
    ~AutomationEndpoint();
    AutomationEndpoint(const AutomationEndpoint&) = delete;
    AutomationEndpoint& operator=(const AutomationEndpoint&) = delete;

    // Listens on a socket at `path` (a stale socket file of an earlier run is replaced: the caller holds
    // the server's single-instance lock). May be called for several paths before start().
    bool listen(const QString& path, QString* error = nullptr);
    void start();
    // Stops accepting, ends every connection (their objects are released) and waits for the threads.
    void stop();
    int connectionCount() const;

    // Once no connection is open and `busy` says no object is alive, the endpoint stops accepting and
    // calls `ended` (once, on the thread that found it idle). So too when no client has connected
    // within `firstClientMs` of start().
    void endWhenIdle(std::function<bool()> busy, std::function<void()> ended, int firstClientMs);
    // Looks again (an object was released outside any connection).
    void checkIdle();

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        bool finished = false;
    };
    void acceptLoop();
    void serve(Connection* connection);
    void reapFinished();
    // With m_mutex held: true when this call retired the endpoint.
    bool retireIfIdleLocked();
    void unlinkPathsLocked();
    // The owner's thread once the accept thread has ended, or the accept thread itself.
    void closeListeners();

    rpc::ServerSession::Creator m_creator;
    const qint64 m_maxMessage;
    std::vector<int> m_listenFds;
    std::vector<QString> m_paths;
    int m_wake[2] = {-1, -1}; // stop() writes a byte: the accept thread ends
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};
    std::function<bool()> m_busy;
    std::function<void()> m_ended; // empty: the endpoint runs until stop()
    int m_firstClientMs = 0;
    mutable std::mutex m_mutex;
    std::list<Connection> m_connections; // nodes stay in place: each thread refers to its own
    bool m_retired = false;
    bool m_everConnected = false;
    bool m_unlinked = false; // the socket files are gone (a later server may have made new ones)
};

} // namespace morvane::platform
