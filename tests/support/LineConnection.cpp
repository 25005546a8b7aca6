#include "LineConnection.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morvane::test {

LineConnection::LineConnection(int fd)
    : m_fd(fd) {}

LineConnection::~LineConnection() {
    close();
}

void LineConnection::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool LineConnection::send(const QJsonObject& request) {
    const QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n';
    qsizetype sent = 0;
    while (m_fd >= 0 && sent < line.size()) {
        const ssize_t n = ::send(m_fd, line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return m_fd >= 0;
}

std::optional<QJsonObject> LineConnection::reply(const QJsonValue& id, int ms) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        while (const auto line = m_buffer.takeLine()) {
            const QJsonObject message = QJsonDocument::fromJson(*line).object();
            if (message.value(QStringLiteral("id")) == id)
                return message;
        }
        const qint64 left = ms - clock.elapsed();
        pollfd ready{m_fd, POLLIN, 0};
        if (m_fd < 0 || left <= 0 || ::poll(&ready, 1, int(left)) <= 0)
            return std::nullopt;
        char chunk[65536];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return std::nullopt;
        m_buffer.append(chunk, n);
    }
}

bool LineConnection::waitHangUp(int ms) const {
    QElapsedTimer clock;
    clock.start();
    while (m_fd >= 0 && clock.elapsed() < ms) {
        pollfd ready{m_fd, POLLRDHUP, 0};
        if (::poll(&ready, 1, int(ms - clock.elapsed())) > 0 && (ready.revents & (POLLHUP | POLLRDHUP | POLLERR)))
            return true;
    }
    return false;
}

QJsonObject request(int id, const QString& method, const QJsonValue& params) {
    return QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                       {QStringLiteral("id"), id},
                       {QStringLiteral("method"), method},
                       {QStringLiteral("params"), params}};
}

} // namespace morvane::test
