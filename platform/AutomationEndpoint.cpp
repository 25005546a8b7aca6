#include "AutomationEndpoint.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

AutomationEndpoint::AutomationEndpoint(rpc::ServerSession::Creator creator, qint64 maxMessage)
    : m_creator(std::move(creator))
    , m_maxMessage(maxMessage) {}

AutomationEndpoint::~AutomationEndpoint() {
    stop();
    closeListeners();
    {
        std::lock_guard lock(m_mutex);
        unlinkPathsLocked();
    }
    for (int& fd : m_wake) {
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
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(errnoText());
    // The single-instance lock is ours, so a socket file left there belongs to a server that has ended.
    ::unlink(native.constData());
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
    if (m_acceptThread.joinable() || ::pipe2(m_wake, O_CLOEXEC) != 0)
        return;
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

void AutomationEndpoint::stop() {
    if (m_stopping.exchange(true) || !m_acceptThread.joinable())
        return;
    // Nobody finds the endpoint any more; whoever still waits to be accepted is refused with the listener.
    {
        std::lock_guard lock(m_mutex);
        unlinkPathsLocked();
    }
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(m_wake[1], &byte, 1);
    m_acceptThread.join();
    closeListeners();
    // New connections are no longer accepted: end the open ones and wait for them.
    std::list<Connection> open;
    {
        std::lock_guard lock(m_mutex);
        for (Connection& connection : m_connections)
            ::shutdown(connection.fd, SHUT_RDWR);
        open.splice(open.end(), m_connections);
    }
    for (Connection& connection : open) {
        if (connection.thread.joinable())
            connection.thread.join();
        ::close(connection.fd);
    }
}

int AutomationEndpoint::connectionCount() const {
    std::lock_guard lock(m_mutex);
    int count = 0;
    for (const Connection& connection : m_connections)
        count += connection.finished ? 0 : 1;
    return count;
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
    if (!m_ended || m_retired || m_stopping.load())
        return false;
    for (const Connection& connection : m_connections) {
        if (!connection.finished)
            return false;
    }
    if (m_busy && m_busy())
        return false;
    // Decided with the lock held that adds accepted connections: none is taken from now on.
    m_retired = true;
    unlinkPathsLocked();
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(m_wake[1], &byte, 1);
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
        ::close(fd);
    m_listenFds.clear();
}

void AutomationEndpoint::reapFinished() {
    std::list<Connection> done;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto next = std::next(it);
            if (it->finished)
                done.splice(done.end(), m_connections, it);
            it = next;
        }
    }
    for (Connection& connection : done) {
        connection.thread.join();
        ::close(connection.fd);
    }
}

void AutomationEndpoint::acceptLoop() {
    std::vector<pollfd> fds;
    fds.push_back({m_wake[0], POLLIN, 0});
    for (int fd : m_listenFds)
        fds.push_back({fd, POLLIN, 0});
    const auto started = std::chrono::steady_clock::now();
    while (!m_stopping.load()) {
        // Finished connections are joined here, at the latest once a second.
        const int ready = ::poll(fds.data(), fds.size(), 1000);
        reapFinished();
        bool ended = false;
        bool retired = false;
        {
            std::lock_guard lock(m_mutex);
            if (!m_everConnected &&
                std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(m_firstClientMs))
                ended = retireIfIdleLocked();
            retired = m_retired;
        }
        if (ended)
            m_ended();
        if (retired) {
            // Connections still waiting to be accepted end unanswered: their clients go to the next server.
            closeListeners();
            return;
        }
        if (ready <= 0)
            continue;
        if (fds[0].revents)
            break;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const int client = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            std::lock_guard lock(m_mutex);
            if (m_retired) {
                ::close(client);
                continue;
            }
            m_everConnected = true;
            Connection& connection = m_connections.emplace_back();
            connection.fd = client;
            connection.thread = std::thread([this, &connection] { serve(&connection); });
        }
    }
}

void AutomationEndpoint::serve(Connection* connection) {
    const int fd = connection->fd;
    {
        rpc::ServerSession session(m_creator);
        // The descriptor stays the endpoint's: it is shut down from stop() and closed once joined.
        rpc::SocketLineChannel channel(fd, m_maxMessage, rpc::SocketLineChannel::Ownership::Borrowed);
        while (const auto line = channel.receive(nullptr)) {
            const QByteArrayList reply = session.handleParts(*line);
            if (!reply.first().isEmpty() && !channel.sendParts(reply, nullptr))
                break;
        }
        if (channel.tooLarge())
            channel.send(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest,
                                        QStringLiteral("Message larger than %1 bytes").arg(m_maxMessage)),
                         nullptr);
        // The session (and with it the object) goes before the connection counts as finished.
    }
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        connection->finished = true;
        ended = retireIfIdleLocked();
    }
    if (ended)
        m_ended();
}

} // namespace morvane::platform
