#pragma once

#include "JsonRpc.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>

#include <memory>

namespace morvane::rmtclient {

// Lines over TLS to the socket server, blocking: no event loop needed, so that a thread of its own may
// hold one. The server's certificate is checked against the authorities of the configuration and the
// host name connected to.
//
// Threads: the thread that made it.
class TlsLineChannel : public platform::rpc::MessageChannel {
public:
    TlsLineChannel(qint64 maxMessage, int timeoutMs);
    // Connects and finishes the handshake within the time-out; false with the reason.
    bool open(const QString& host, quint16 port, const QSslConfiguration& configuration, QString* error);

    bool send(const QByteArray& message, QString* error) override;
    std::optional<QByteArray> receive(QString* error) override;

private:
    QSslSocket m_socket;
    platform::rpc::LineBuffer m_buffer;
    const qint64 m_maxMessage;
    const int m_timeoutMs; // 0: no limit
};

// The TLS configuration of a client: the system's authorities, and those of `caFile` (PEM) when given;
// false with the reason when the file holds none.
bool clientTlsConfiguration(const QString& caFile, QSslConfiguration& configuration, QString* error);

} // namespace morvane::rmtclient
