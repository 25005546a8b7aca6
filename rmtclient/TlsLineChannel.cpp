#include "TlsLineChannel.h"

#include <QSslCertificate>

namespace morvane::rmtclient {

TlsLineChannel::TlsLineChannel(qint64 maxMessage, int timeoutMs)
    : m_maxMessage(maxMessage)
    , m_timeoutMs(timeoutMs) {}

bool TlsLineChannel::open(const QString& host, quint16 port, const QSslConfiguration& configuration, QString* error) {
    m_socket.setSslConfiguration(configuration);
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.connectToHostEncrypted(host, port);
    if (!m_socket.waitForEncrypted(m_timeoutMs > 0 ? m_timeoutMs : -1)) {
        if (error) {
            QStringList why;
            for (const QSslError& failure : m_socket.sslHandshakeErrors())
                why.append(failure.errorString());
            *error = QStringLiteral("cannot connect over TLS to %1:%2: %3")
                         .arg(host)
                         .arg(port)
                         .arg(why.isEmpty() ? m_socket.errorString() : why.join(QStringLiteral("; ")));
        }
        return false;
    }
    return true;
}

bool TlsLineChannel::send(const QByteArray& message, QString* error) {
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        if (error)
            *error = QStringLiteral("the connection is closed");
        return false;
    }
    m_socket.write(message);
    if (!message.endsWith('\n'))
        m_socket.write("\n", 1);
    while (m_socket.bytesToWrite() > 0 || m_socket.encryptedBytesToWrite() > 0) {
        if (!m_socket.waitForBytesWritten(m_timeoutMs > 0 ? m_timeoutMs : -1)) {
            if (error)
                *error = m_socket.errorString();
            return false;
        }
    }
    return true;
}

std::optional<QByteArray> TlsLineChannel::receive(QString* error) {
    for (;;) {
        if (auto line = m_buffer.takeLine())
            return line;
        if (m_buffer.pending() > m_maxMessage) {
            if (error)
                *error = QStringLiteral("a reply longer than %1 bytes").arg(m_maxMessage);
            return std::nullopt;
        }
        if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(m_timeoutMs > 0 ? m_timeoutMs : -1)) {
            if (error)
                *error = m_socket.state() == QAbstractSocket::ConnectedState
                             ? QStringLiteral("no reply within the time-out")
                             : QStringLiteral("the connection was closed: %1").arg(m_socket.errorString());
            return std::nullopt;
        }
        const QByteArray chunk = m_socket.readAll();
        m_buffer.append(chunk.constData(), chunk.size());
    }
}

bool clientTlsConfiguration(const QString& caFile, QSslConfiguration& configuration, QString* error) {
    configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (caFile.isEmpty())
        return true;
    const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caFile, QSsl::Pem);
    if (authorities.isEmpty()) {
        if (error)
            *error = QStringLiteral("%1 holds no PEM certificate").arg(caFile);
        return false;
    }
    configuration.addCaCertificates(authorities);
    return true;
}

} // namespace morvane::rmtclient
