#include "UdpSender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

// The address of the host's own name, as the lookup of an empty remote host gives it.
uint32_t ownAddress() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) == 0 && found) {
            const uint32_t address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
            freeaddrinfo(found);
            return address;
        }
    }
    return htonl(INADDR_LOOPBACK);
}

} // namespace

UdpSender::UdpSender(uint16_t remotePort)
    : m_socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    , m_port(remotePort)
    , m_address(ownAddress()) {}

UdpSender::~UdpSender() {
    if (m_socket >= 0)
        ::close(m_socket);
}

bool UdpSender::send(const char* data, int size, QString* error) const {
    if (m_socket < 0) {
        if (error)
            *error = QStringLiteral("no UDP socket could be opened");
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(m_port);
    target.sin_addr.s_addr = m_address;
    const ssize_t sent = ::sendto(m_socket, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (sent == size)
        return true;
    if (error)
        *error = sent < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("datagram cut short");
    return false;
}

QString UdpSender::remoteHost() const {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = m_address;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace morvane::platform
