#pragma once

#include <QString>

#include <atomic>
#include <cstdint>

namespace morvane::platform {

// The outcome of one link check.
enum class EchoResult {
    Reply,         // an echo reply came back in time
    NoReply,       // time-out, a send or receive error, unreachable, time-to-live exceeded, or no echo reply
    CouldNotCheck, // no ICMP socket could be opened (no right to send ICMP): nothing was sent
};

struct EchoOutcome {
    EchoResult result = EchoResult::NoReply;
    QString detail; // why, for logs
};

// One echo request and the wait for its reply. An interface so that callers can be tested without
// network rights.
class EchoProbe {
public:
    virtual ~EchoProbe() = default;
    virtual EchoOutcome ping(const QString& host) = 0;
};

// ICMP echo through an unprivileged ICMP datagram socket, else a raw socket when the process may open
// one. Each ping opens its own socket, so one object may be used by several threads at once.
class IcmpEcho : public EchoProbe {
public:
    IcmpEcho() = default;
    void setReceiveTimeout(int milliseconds) { m_timeoutMs.store(milliseconds); }
    int receiveTimeout() const { return m_timeoutMs.load(); }
    EchoOutcome ping(const QString& host) override;

private:
    std::atomic<int> m_timeoutMs{1000};
    std::atomic<uint16_t> m_sequence{0};
};

} // namespace morvane::platform
