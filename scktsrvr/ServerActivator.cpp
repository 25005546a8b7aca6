#include "ServerActivator.h"

#include <QStringList>

#include <algorithm>

#include <unistd.h>

namespace morvane::scktsrvr {

ServerActivator::ServerActivator(int timeoutMs, QObject* parent)
    : QObject(parent)
    , m_timeoutMs(timeoutMs) {
    m_tick.setInterval(platform::ServerStart::kStepMs);
    connect(&m_tick, &QTimer::timeout, this, &ServerActivator::stepAll);
}

void ServerActivator::request(const QString& clsid, const QString& command, Done done, Wanted wanted, int timeoutMs) {
    const int ms = timeoutMs > 0 ? timeoutMs : m_timeoutMs;
    if (auto found = m_pending.find(clsid); found != m_pending.end()) {
        found->second.waiting.push_back(Waiter{std::move(done), std::move(wanted), QDeadlineTimer(ms)});
        return;
    }
    Pending& pending = m_pending[clsid];
    pending.command = command;
    pending.start = std::make_unique<platform::ServerStart>(clsid, command, ms);
    pending.waiting.push_back(Waiter{std::move(done), std::move(wanted), QDeadlineTimer(ms)});
    step(clsid);
    if (!m_pending.empty())
        m_tick.start();
}

void ServerActivator::step(const QString& clsid) {
    const auto found = m_pending.find(clsid);
    if (found == m_pending.end())
        return;
    int fd = -1;
    QString error;
    const platform::ServerStart::Outcome outcome = found->second.start->step(&fd, &error);
    if (outcome == platform::ServerStart::Outcome::Waiting)
        return;
    // Taken out first: a waiter that asks again meanwhile starts afresh.
    std::vector<Waiter> waiting = std::move(found->second.waiting);
    const QString command = found->second.command;
    m_pending.erase(found);
    // The first waiter takes the connection of the step; every other makes its own. A waiter that has
    // gone gets none; a connection that nobody takes is closed, which lets a server started for
    // clients end when no client is left.
    std::vector<Waiter> again;
    for (Waiter& waiter : waiting) {
        if (waiter.wanted && !waiter.wanted())
            continue;
        if (outcome == platform::ServerStart::Outcome::Connected && fd < 0) {
            // Like every connection to an endpoint, refused when the listener is not of this user.
            bool refused = false;
            fd = platform::connectEndpoint(platform::endpointPath(clsid), &error, &refused);
            // The server serves, but has not yet accepted the connections queued before this one.
            if (fd < 0 && !refused && !waiter.deadline.hasExpired()) {
                again.push_back(std::move(waiter));
                continue;
            }
        }
        waiter.done(fd, fd >= 0 ? QString() : error);
        fd = -1;
    }
    if (fd >= 0)
        ::close(fd);
    for (Waiter& waiter : again)
        request(clsid, command, std::move(waiter.done), std::move(waiter.wanted),
                static_cast<int>(std::max<qint64>(1, waiter.deadline.remainingTime())));
}

void ServerActivator::stepAll() {
    QStringList classes;
    for (const auto& [clsid, pending] : m_pending)
        classes.append(clsid);
    for (const QString& clsid : classes)
        step(clsid);
    if (m_pending.empty())
        m_tick.stop();
}

} // namespace morvane::scktsrvr
