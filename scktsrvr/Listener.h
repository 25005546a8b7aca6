#pragma once

#include <QTcpServer>

#include <functional>

namespace morvane::scktsrvr {

// A listener whose connections are QSslSockets while TLS is on, in the clear until their first byte says
// whether they speak TLS; plain QTcpSockets otherwise. Taking the handshake out of the listener lets each
// connection count against the limits and time-outs from its first moment, and lets an address that is
// refused cost no handshake.
//
// Threads: the socket server's one thread.
class Listener : public QTcpServer {
    Q_OBJECT
public:
    Listener(std::function<bool()> tlsOn, QObject* parent);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::function<bool()> m_tlsOn;
};

} // namespace morvane::scktsrvr
