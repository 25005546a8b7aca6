#pragma once

#include "ControllerProtocol.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <mutex>
#include <vector>

#include <cstdint>

namespace morvane::kestrova {

// How long one request waits for its reply, and how often it is sent before the call gives up with
// status NoReply. The defaults come from MORVANE_KESTROVA_TIMEOUT_MS and MORVANE_KESTROVA_ATTEMPTS
// (250 ms, 3 attempts); ComifSetTimeOut changes them per object.
struct Timing {
    int attemptMs = 250;
    int attempts = 3;
    int totalMs() const { return attemptMs * attempts; }
    static Timing fromEnvironment();
};

// One request/reply exchange over UDP with the controller at ip:port, on a socket of its own (so that
// calls from several threads never see each other's replies). A reply counts only when it comes from
// that address and carries the request's session and sequence number and, when expectedMac is given,
// that MAC; anything else is dropped and the wait goes on. Returns 0 with *reply filled, or a status.
int32_t udpExchange(const QString& ip, uint16_t port, const ctrlproto::Request& request, const Timing& timing,
                    const QString& expectedMac, ctrlproto::Reply* reply);

} // namespace morvane::kestrova

namespace morvane::kestrova {

// One datagram sent to ip:port, resent on every attempt, with the test that picks out its answer.
struct UdpTarget {
    QString ip;
    uint16_t port = 0;
    QByteArray frame;
    std::function<bool(const QByteArray&)> accept; // from that address only; false: dropped, the wait goes on
};

// Sends every target's datagram, each from a socket of its own, and waits for the first answer that
// its target accepts. Returns that target's index with *answer filled, -1 when every attempt timed out,
// -2 when an address is not a dotted IPv4 address or a port is 0. A target with an empty accept is sent
// and never waited for.
int udpRace(const std::vector<UdpTarget>& targets, const Timing& timing, QByteArray* answer);

} // namespace morvane::kestrova

namespace morvane::kestrova {

// A UDP socket connected to ip:port, so that the kernel drops datagrams from any other address; -1 when
// it cannot be made. The caller closes it.
int openConnectedSocket(const QString& ip, uint16_t port);

// One request on such a socket: whatever is already queued on it is dropped first (unless told not to),
// then the frame is sent on every attempt until accept takes an answer (true) or the attempts run out
// (false).
bool exchangeOn(int fd, const QByteArray& frame, const Timing& timing,
                const std::function<bool(const QByteArray&)>& accept, bool dropQueued = true);

// udpExchange on sockets kept between exchanges with one controller: making and closing a socket for each
// cost three system calls a call. A socket serves one exchange at a time; calls from several threads at
// once each take one of their own, and a few are kept for the next calls.
// Threads: any; m_mutex guards m_free.
class UdpSockets {
public:
    UdpSockets(QString ip, uint16_t port);
    ~UdpSockets();
    UdpSockets(const UdpSockets&) = delete;
    UdpSockets& operator=(const UdpSockets&) = delete;

    int32_t exchange(const ctrlproto::Request& request, const Timing& timing, const QString& expectedMac,
                     ctrlproto::Reply* reply);

private:
    static constexpr size_t kKept = 8;
    const QString m_ip;
    const uint16_t m_port;
    std::mutex m_mutex;
    std::vector<int> m_free;
};

} // namespace morvane::kestrova
