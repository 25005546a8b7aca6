#include "IcmpEcho.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

constexpr int kPayloadSize = 32; // the platform's standard echo payload size

uint16_t checksum(const unsigned char* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += uint32_t(data[i]) << 8 | data[i + 1];
    if (size % 2)
        sum += uint32_t(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return htons(uint16_t(~sum));
}

class Socket {
public:
    explicit Socket(int fd)
        : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

bool resolve(const QString& host, in_addr& address) {
    const QByteArray name = host.trimmed().toLatin1();
    if (name.isEmpty())
        return false;
    if (inet_pton(AF_INET, name.constData(), &address) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

EchoOutcome IcmpEcho::ping(const QString& host) {
    bool raw = false;
    Socket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    std::unique_ptr<Socket> rawSocket;
    int fd = socket.fd();
    if (fd < 0) {
        const QString datagramError = errnoText();
        rawSocket = std::make_unique<Socket>(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
        fd = rawSocket->fd();
        if (fd < 0)
            return {EchoResult::CouldNotCheck,
                    QStringLiteral("no ICMP socket (datagram: %1; raw: %2)").arg(datagramError, errnoText())};
        raw = true;
    }

    in_addr target{};
    if (!resolve(host, target))
        return {EchoResult::NoReply, QStringLiteral("address %1 cannot be resolved").arg(host)};

    const uint16_t identifier = uint16_t(::getpid() & 0xFFFF);
    const uint16_t sequence = ++m_sequence;
    unsigned char request[sizeof(icmphdr) + kPayloadSize] = {};
    auto* header = reinterpret_cast<icmphdr*>(request);
    header->type = ICMP_ECHO;
    header->code = 0;
    header->un.echo.id = htons(identifier);
    header->un.echo.sequence = htons(sequence);
    for (int i = 0; i < kPayloadSize; ++i)
        request[sizeof(icmphdr) + size_t(i)] = static_cast<unsigned char>('a' + i % 23);
    header->checksum = checksum(request, sizeof request);

    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr = target;
    if (::sendto(fd, request, sizeof request, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&destination),
                 sizeof destination) < 0)
        return {EchoResult::NoReply, QStringLiteral("echo not sent: %1").arg(errnoText())};

    QElapsedTimer clock;
    clock.start();
    const int timeout = receiveTimeout();
    unsigned char answer[1500];
    for (;;) {
        const qint64 left = timeout - clock.elapsed();
        if (left <= 0)
            return {EchoResult::NoReply, QStringLiteral("time-out")};
        pollfd waitFor{fd, POLLIN, 0};
        const int ready = ::poll(&waitFor, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return {EchoResult::NoReply, QStringLiteral("wait failed: %1").arg(errnoText())};
        if (ready == 0)
            return {EchoResult::NoReply, QStringLiteral("time-out")};
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size =
            ::recvfrom(fd, answer, sizeof answer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return {EchoResult::NoReply, QStringLiteral("receive failed: %1").arg(errnoText())};
        }
        size_t offset = 0;
        if (raw) {
            // A raw socket hands over every ICMP message of the host, each behind its IP header.
            if (size_t(size) < sizeof(iphdr))
                continue;
            offset = size_t(reinterpret_cast<const iphdr*>(answer)->ihl) * 4;
        }
        if (size_t(size) < offset + sizeof(icmphdr))
            continue;
        const auto* reply = reinterpret_cast<const icmphdr*>(answer + offset);
        if (raw && from.sin_addr.s_addr != target.s_addr)
            continue;
        if (reply->type == ICMP_ECHOREPLY) {
            // The datagram socket's kernel rewrites the identifier and filters on it; a raw socket does not.
            if (ntohs(reply->un.echo.sequence) != sequence || (raw && ntohs(reply->un.echo.id) != identifier))
                continue;
            return {EchoResult::Reply, QString()};
        }
        // Any other message type cannot be read as an echo reply; it is left to the time-out.
    }
}

} // namespace morvane::platform
