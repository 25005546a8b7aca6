#include "Exchange.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace morvane::kestrova {

using namespace ctrlproto;
using Clock = std::chrono::steady_clock;

Timing Timing::fromEnvironment() {
    Timing timing;
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("MORVANE_KESTROVA_TIMEOUT_MS", &ok);
    if (ok && ms > 0 && ms <= 60000)
        timing.attemptMs = ms;
    const int attempts = qEnvironmentVariableIntValue("MORVANE_KESTROVA_ATTEMPTS", &ok);
    if (ok && attempts > 0 && attempts <= 20)
        timing.attempts = attempts;
    return timing;
}

namespace {

void sleepUntil(Clock::time_point deadline) {
    const auto rest = deadline - Clock::now();
    if (rest > Clock::duration::zero())
        ::poll(nullptr, 0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(rest).count()));
}

// Closes the socket of one exchange whichever way it ends.
class SocketGuard {
public:
    explicit SocketGuard(int fd)
        : m_fd(fd) {}
    ~SocketGuard() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

namespace {

// One request on a connected socket, its answer picked out as udpExchange says.
int32_t exchangeRequest(int fd, const Request& request, const Timing& timing, const QString& expectedMac,
                        Reply* reply) {
    const auto accept = [&](const QByteArray& datagram) {
        auto decoded = decodeReply(datagram);
        if (!decoded || decoded->session != request.session || decoded->sequence != request.sequence)
            return false;
        if (decoded->error.isEmpty() && !expectedMac.isEmpty() && normaliseMac(decoded->mac) != expectedMac)
            return false;
        *reply = std::move(*decoded);
        return true;
    };
    // A late answer to an earlier request waiting on a kept socket is dropped by its sequence number.
    if (!exchangeOn(fd, encodeRequest(request), timing, accept, false))
        return status::NoReply;
    return reply->error.isEmpty() ? status::Ok : status::Refused;
}

} // namespace

int32_t udpExchange(const QString& ip, uint16_t port, const Request& request, const Timing& timing,
                    const QString& expectedMac, Reply* reply) {
    if (!isValidIPv4(ip) || port == 0)
        return status::BadArgument;
    // A connected socket has the kernel drop datagrams from any other address.
    SocketGuard socket(openConnectedSocket(ip, port));
    if (socket.fd() < 0)
        return status::NoReply;
    return exchangeRequest(socket.fd(), request, timing, expectedMac, reply);
}

UdpSockets::UdpSockets(QString ip, uint16_t port)
    : m_ip(std::move(ip))
    , m_port(port) {}

UdpSockets::~UdpSockets() {
    for (const int fd : m_free)
        ::close(fd);
}

int32_t UdpSockets::exchange(const Request& request, const Timing& timing, const QString& expectedMac, Reply* reply) {
    if (!isValidIPv4(m_ip) || m_port == 0)
        return status::BadArgument;
    int fd = -1;
    {
        std::lock_guard lock(m_mutex);
        if (!m_free.empty()) {
            fd = m_free.back();
            m_free.pop_back();
        }
    }
    if (fd < 0)
        fd = openConnectedSocket(m_ip, m_port);
    if (fd < 0)
        return status::NoReply;
    const int32_t result = exchangeRequest(fd, request, timing, expectedMac, reply);
    std::lock_guard lock(m_mutex);
    if (m_free.size() < kKept)
        m_free.push_back(fd);
    else
        ::close(fd);
    return result;
}

} // namespace morvane::kestrova

namespace morvane::kestrova {

int udpRace(const std::vector<UdpTarget>& targets, const Timing& timing, QByteArray* answer) {
    struct Open {
        std::unique_ptr<SocketGuard> socket;
        sockaddr_in peer{};
    };
    std::vector<Open> open(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        const UdpTarget& target = targets[i];
        sockaddr_in& peer = open[i].peer;
        peer.sin_family = AF_INET;
        peer.sin_port = htons(target.port);
        if (!isValidIPv4(target.ip) || target.port == 0 ||
            ::inet_pton(AF_INET, target.ip.toLatin1().constData(), &peer.sin_addr) != 1)
            return -2;
        open[i].socket = std::make_unique<SocketGuard>(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (open[i].socket->fd() < 0 ||
            ::connect(open[i].socket->fd(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0)
            open[i].socket.reset();
    }
    QByteArray buffer(kMaxFrameBytes + 1, Qt::Uninitialized);
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        std::vector<pollfd> waiting;
        std::vector<size_t> owner;
        for (size_t i = 0; i < targets.size(); ++i) {
            if (!open[i].socket)
                continue;
            (void)::send(open[i].socket->fd(), targets[i].frame.constData(),
                         static_cast<size_t>(targets[i].frame.size()), 0);
            if (targets[i].accept) {
                waiting.push_back(pollfd{open[i].socket->fd(), POLLIN, 0});
                owner.push_back(i);
            }
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timing.attemptMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || waiting.empty())
                break;
            for (pollfd& entry : waiting)
                entry.revents = 0;
            const int ready = ::poll(waiting.data(), waiting.size(), static_cast<int>(left) + 1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            for (size_t w = 0; w < waiting.size(); ++w) {
                if (waiting[w].revents == 0)
                    continue;
                const size_t i = owner[w];
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t got = ::recvfrom(waiting[w].fd, buffer.data(), static_cast<size_t>(buffer.size()),
                                               MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
                // An "unreachable" from a port nobody listens on is not an answer: that socket stays quiet.
                if (got < 0 || got > kMaxFrameBytes || from.sin_addr.s_addr != open[i].peer.sin_addr.s_addr ||
                    from.sin_port != open[i].peer.sin_port) {
                    if (got < 0 && errno == ECONNREFUSED)
                        waiting[w].fd = -1;
                    continue;
                }
                const QByteArray datagram(buffer.constData(), static_cast<qsizetype>(got));
                if (targets[i].accept(datagram)) {
                    *answer = datagram;
                    return static_cast<int>(i);
                }
            }
        }
    }
    return -1;
}

} // namespace morvane::kestrova

namespace morvane::kestrova {

int openConnectedSocket(const QString& ip, uint16_t port) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (!isValidIPv4(ip) || port == 0 || ::inet_pton(AF_INET, ip.toLatin1().constData(), &peer.sin_addr) != 1)
        return -1;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool exchangeOn(int fd, const QByteArray& frame, const Timing& timing,
                const std::function<bool(const QByteArray&)>& accept, bool dropQueued) {
    char buffer[kMaxFrameBytes + 1];
    // Bounded: a socket's queue holds a few hundred datagrams at most.
    for (int stale = 0; dropQueued && stale < 4096 && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0; ++stale) {
    }
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        (void)::send(fd, frame.constData(), static_cast<size_t>(frame.size()), 0);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timing.attemptMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd waiting{fd, POLLIN, 0};
            const int ready = ::poll(&waiting, 1, static_cast<int>(left) + 1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0) {
                if (errno == ECONNREFUSED) {
                    // Nobody listens there: wait out this attempt instead of spinning on the error.
                    sleepUntil(deadline);
                    break;
                }
                continue;
            }
            if (got <= kMaxFrameBytes && accept(QByteArray::fromRawData(buffer, static_cast<qsizetype>(got))))
                return true;
        }
    }
    return false;
}

} // namespace morvane::kestrova
