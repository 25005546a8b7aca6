#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace morvane::platform {

// Sends datagrams to one UDP port of the local computer. The destination is the address that the
// host's own name resolves to (loopback when the lookup fails), looked up once at construction.
// Thread safety: after construction the object is immutable apart from the kernel socket, and
// sendto() on one socket may be called from any number of threads at once.
class UdpSender {
public:
    explicit UdpSender(uint16_t remotePort);
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    // One datagram per call, no reply, no retry. False (with a reason in *error) when it was not sent.
    bool send(const char* data, int size, QString* error = nullptr) const;
    bool send(const QByteArray& data, QString* error = nullptr) const {
        return send(data.constData(), int(data.size()), error);
    }

    uint16_t remotePort() const { return m_port; }
    QString remoteHost() const; // dotted address of the destination

private:
    int m_socket = -1;
    uint16_t m_port;
    uint32_t m_address; // network byte order
};

} // namespace morvane::platform
