#pragma once

#include "JsonRpc.h"

#include <QString>

#include <atomic>
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
// Threads: listen() and stop() are called by the owner (the main thread); the accept thread and one
// thread per connection run inside. m_mutex guards m_connections (owner, accept thread, connection
// threads); m_stopping is atomic.
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

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        bool finished = false;
    };
    void acceptLoop();
    void serve(Connection* connection);
    void reapFinished();

    rpc::ServerSession::Creator m_creator;
    const qint64 m_maxMessage;
    std::vector<int> m_listenFds;
    std::vector<QString> m_paths;
    int m_wake[2] = {-1, -1}; // stop() writes a byte: the accept thread ends
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_mutex;
    std::list<Connection> m_connections; // nodes stay in place: each thread refers to its own
};

} // namespace morvane::platform
