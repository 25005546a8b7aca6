#include "ServerActivator.h"

#include <QStringList>

#include <unistd.h>

namespace morvane::scktsrvr {

ServerActivator::ServerActivator(int timeoutMs, QObject* parent)
    : QObject(parent)
    , m_timeoutMs(timeoutMs) {
    m_tick.setInterval(platform::ServerStart::kStepMs);
    connect(&m_tick, &QTimer::timeout, this, &ServerActivator::stepAll);
}

void ServerActivator::request(const QString& clsid, const QString& command, Done done, Wanted wanted, int timeoutMs) {
    if (auto found = m_pending.find(clsid); found != m_pending.end()) {
        found->second.waiting.push_back(Waiter{std::move(done), std::move(wanted)});
        return;
    }
    Pending& pending = m_pending[clsid];
    pending.start = std::make_unique<platform::ServerStart>(clsid, command, timeoutMs > 0 ? timeoutMs : m_timeoutMs);
    pending.waiting.push_back(Waiter{std::move(done), std::move(wanted)});
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
    const std::vector<Waiter> waiting = std::move(found->second.waiting);
    m_pending.erase(found);
    // The first waiter takes the connection of the step; every other makes its own. A waiter that has
    // gone gets none; a connection that nobody takes is closed, which lets a server started for
    // clients end when no client is left.
    for (const Waiter& waiter : waiting) {
        if (waiter.wanted && !waiter.wanted())
            continue;
        if (outcome == platform::ServerStart::Outcome::Connected && fd < 0)
            fd = platform::connectEndpoint(platform::endpointPath(clsid), &error);
        waiter.done(fd, fd >= 0 ? QString() : error);
        fd = -1;
    }
    if (fd >= 0)
        ::close(fd);
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
