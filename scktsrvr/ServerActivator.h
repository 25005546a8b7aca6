#pragma once

#include "LocalServer.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace morvane::scktsrvr {

// Reaches the application server of a class for a client: connects to its endpoint at once when it
// listens; otherwise starts it and takes a step towards it (platform::ServerStart) on every tick of a
// timer until it answers or the wait is over. Several clients waiting for the same class share one
// start; one whose own connection the server has not taken yet (its queue is full) waits for the next
// step, within its time. An endpoint whose listener runs as another user is refused before anything is
// relayed (platform::connectEndpoint). Never blocks the event loop.
//
// Threads: the socket server's one thread.
class ServerActivator : public QObject {
    Q_OBJECT
public:
    // A connected descriptor (>= 0), or -1 with the reason.
    using Done = std::function<void(int fd, const QString& error)>;

    // True while the waiter still wants its connection.
    using Wanted = std::function<bool()>;

    explicit ServerActivator(int timeoutMs, QObject* parent = nullptr);
    // A waiter that joins a start under way shares that start's time; otherwise the start may take
    // `timeoutMs` (the activator's own when not positive).
    void request(const QString& clsid, const QString& command, Done done, Wanted wanted = {}, int timeoutMs = 0);

private:
    struct Waiter {
        Done done;
        Wanted wanted;
        QDeadlineTimer deadline;
    };
    struct Pending {
        QString command;
        std::unique_ptr<platform::ServerStart> start;
        std::vector<Waiter> waiting;
    };
    // Steps one class's start; once it has ended, answers its waiters.
    void step(const QString& clsid);
    void stepAll();

    const int m_timeoutMs;
    std::map<QString, Pending> m_pending; // by CLSID
    QTimer m_tick;                        // runs while some start is pending
};

} // namespace morvane::scktsrvr
