#include "ServerActivator.h"

#include "LocalServer.h"

#include <unistd.h>

namespace morvane::scktsrvr {

namespace {
constexpr int kPollMs = 20;
constexpr int kMostStarts = 3;
} // namespace

ServerActivator::ServerActivator(int timeoutMs, QObject* parent)
    : QObject(parent)
    , m_timeoutMs(timeoutMs) {}

void ServerActivator::request(const QString& clsid, const QString& command, Done done) {
    if (auto found = m_starts.constFind(clsid); found != m_starts.constEnd()) {
        found.value()->waiting.push_back(std::move(done));
        return;
    }
    QString why;
    const int fd = platform::connectEndpoint(platform::endpointPath(clsid), &why);
    if (fd >= 0) {
        done(fd, {});
        return;
    }
    auto start = std::make_shared<Start>();
    start->command = command;
    start->waiting.push_back(std::move(done));
    start->clock.start();
    start->poll = std::make_unique<QTimer>();
    start->poll->setInterval(kPollMs);
    connect(start->poll.get(), &QTimer::timeout, this, [this, clsid] { pollStart(clsid); });
    m_starts.insert(clsid, start);
    pollStart(clsid);
    if (m_starts.contains(clsid))
        start->poll->start();
}

void ServerActivator::pollStart(const QString& clsid) {
    const std::shared_ptr<Start> start = m_starts.value(clsid);
    if (!start)
        return;
    QString why;
    const int fd = platform::connectEndpoint(platform::endpointPath(clsid), &why);
    if (fd >= 0) {
        ::close(fd);
        finish(clsid, {});
        return;
    }
    if (start->clock.elapsed() >= m_timeoutMs) {
        finish(clsid, QStringLiteral("the server %1 did not answer within %2 ms").arg(start->command).arg(m_timeoutMs));
        return;
    }
    // A server that ended at once may have met one that was just ending: start it again, a few times.
    if (!platform::processAlive(start->pid)) {
        if (start->starts == kMostStarts) {
            finish(clsid, QStringLiteral("the server %1 ended without serving (started %2 times)")
                              .arg(start->command)
                              .arg(start->starts));
            return;
        }
        start->pid = platform::startLocalServer(start->command, &why);
        ++start->starts;
        if (start->pid < 0)
            finish(clsid, why);
    }
}

void ServerActivator::finish(const QString& clsid, const QString& error) {
    const std::shared_ptr<Start> start = m_starts.take(clsid);
    if (!start)
        return;
    // The timer may be the one whose signal runs this: it goes once control is back in the event loop.
    start->poll->stop();
    start->poll.release()->deleteLater();
    for (Done& done : start->waiting) {
        if (!error.isEmpty()) {
            done(-1, error);
            continue;
        }
        QString why;
        const int fd = platform::connectEndpoint(platform::endpointPath(clsid), &why);
        done(fd, fd >= 0 ? QString() : why);
    }
}

} // namespace morvane::scktsrvr
