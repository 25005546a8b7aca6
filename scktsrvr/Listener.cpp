#include "Listener.h"

#include <QSslSocket>

namespace morvane::scktsrvr {

Listener::Listener(std::function<bool()> tlsOn, QObject* parent)
    : QTcpServer(parent)
    , m_tlsOn(std::move(tlsOn)) {}

void Listener::incomingConnection(qintptr descriptor) {
    if (!m_tlsOn()) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    // Parented like QTcpServer's own sockets; whoever takes the connection takes the socket.
    auto* socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    addPendingConnection(socket);
}

} // namespace morvane::scktsrvr
