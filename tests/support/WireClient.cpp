#include "WireClient.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morvane::test {

namespace {

int remaining(const QElapsedTimer& clock, int ms) {
    return static_cast<int>(std::max<qint64>(0, ms - clock.elapsed()));
}

} // namespace

WireClient::WireClient(quint16 port, const QString& source) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (!source.isEmpty()) {
        ::inet_pton(AF_INET, source.toLatin1().constData(), &address.sin_addr);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close();
            return;
        }
    }
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A listener that no longer accepts leaves a connect hanging: it may take 5 s.
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        pollfd writable{m_fd, POLLOUT, 0};
        int error = errno;
        socklen_t size = sizeof error;
        if (error != EINPROGRESS || ::poll(&writable, 1, 5000) <= 0 ||
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
            close();
    }
}

WireClient::~WireClient() {
    close();
}

void WireClient::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

qint64 WireClient::send(const QByteArray& data, int ms) {
    if (m_fd < 0)
        return -1;
    QElapsedTimer clock;
    clock.start();
    qint64 sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(m_fd, data.constData() + sent, static_cast<size_t>(data.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return sent > 0 ? sent : -1;
        pollfd writable{m_fd, POLLOUT, 0};
        if (remaining(clock, ms) == 0 || ::poll(&writable, 1, remaining(clock, ms)) <= 0)
            break;
    }
    return sent;
}

bool WireClient::fill(int ms) {
    if (m_fd < 0 || m_ended)
        return false;
    pollfd readable{m_fd, POLLIN, 0};
    if (::poll(&readable, 1, ms) <= 0)
        return false;
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            m_ended = true;
        return false;
    }
    m_buffer.append(chunk, n);
    return true;
}

std::optional<QByteArray> WireClient::readLine(int ms) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qsizetype end = m_buffer.indexOf('\n');
        if (end >= 0) {
            QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            return line;
        }
        if (!fill(remaining(clock, ms)) && (m_ended || clock.elapsed() >= ms))
            return std::nullopt;
    }
}

bool WireClient::waitClosed(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!m_ended && clock.elapsed() < ms)
        fill(remaining(clock, ms));
    return m_ended;
}

bool WireClient::receive(qsizetype size, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (m_buffer.size() < size) {
        if (!fill(remaining(clock, ms)) && (m_ended || clock.elapsed() >= ms))
            return false;
    }
    return true;
}

qint64 WireClient::sendRequest(const QByteArray& json, int ms) {
    return send(m_upgraded ? frame(1, json) : json + '\n', ms);
}

std::optional<QByteArray> WireClient::readAnswer(int ms) {
    if (!m_upgraded)
        return readLine(ms);
    auto message = readMessage(ms);
    return message ? std::optional<QByteArray>(message->payload) : std::nullopt;
}

bool WireClient::handshake(int ms, const QByteArray& moreHeaders, QByteArray* status) {
    QByteArray key(16, Qt::Uninitialized);
    for (char& byte : key)
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    const QByteArray request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Key: " +
                               key.toBase64() + "\r\nSec-WebSocket-Version: 13\r\n" + moreHeaders + "\r\n";
    if (send(request, ms) != request.size())
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!m_buffer.contains("\r\n\r\n")) {
        if (!fill(remaining(clock, ms)) && (m_ended || clock.elapsed() >= ms))
            return false;
    }
    const qsizetype end = m_buffer.indexOf("\r\n\r\n") + 4;
    const bool upgraded = m_buffer.startsWith("HTTP/1.1 101");
    if (status)
        *status = m_buffer.left(m_buffer.indexOf("\r\n"));
    m_buffer.remove(0, end);
    m_upgraded = upgraded;
    return upgraded;
}

int WireClient::Frame::closeCode() const {
    if (opcode != 8 || payload.size() < 2)
        return 0;
    return (static_cast<uchar>(payload.at(0)) << 8) | static_cast<uchar>(payload.at(1));
}

QByteArray WireClient::frame(int opcode, const QByteArray& payload, bool final, bool masked, qint64 declared) {
    const quint64 length = declared >= 0 ? static_cast<quint64>(declared) : static_cast<quint64>(payload.size());
    QByteArray out;
    out.append(static_cast<char>((final ? 0x80 : 0) | opcode));
    const char mask = masked ? char(0x80) : char(0);
    if (length < 126) {
        out.append(static_cast<char>(mask | static_cast<char>(length)));
    } else if (length <= 0xFFFF) {
        out.append(static_cast<char>(mask | 126));
        out.append(static_cast<char>(length >> 8)).append(static_cast<char>(length));
    } else {
        out.append(static_cast<char>(mask | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.append(static_cast<char>(length >> shift));
    }
    if (!masked)
        return out + payload;
    const quint32 key = QRandomGenerator::global()->generate();
    const char keyBytes[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    out.append(keyBytes, 4);
    QByteArray body = payload;
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(body.at(i) ^ keyBytes[i % 4]);
    return out + body;
}

std::optional<WireClient::Frame> WireClient::readFrame(int ms) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (m_buffer.size() >= 2) {
            const auto byte = [this](qsizetype i) { return static_cast<quint64>(static_cast<uchar>(m_buffer.at(i))); };
            quint64 length = byte(1) & 0x7F;
            qsizetype head = 2;
            if (length == 126 && m_buffer.size() >= 4) {
                length = (byte(2) << 8) | byte(3);
                head = 4;
            } else if (length == 127 && m_buffer.size() >= 10) {
                length = 0;
                for (int i = 2; i < 10; ++i)
                    length = (length << 8) | byte(i);
                head = 10;
            } else if (length >= 126) {
                head = -1;
            }
            if (head > 0 && static_cast<quint64>(m_buffer.size() - head) >= length) {
                Frame frame;
                frame.opcode = static_cast<int>(byte(0) & 0x0F);
                frame.final = (byte(0) & 0x80) != 0;
                frame.payload = m_buffer.mid(head, static_cast<qsizetype>(length));
                m_buffer.remove(0, head + static_cast<qsizetype>(length));
                return frame;
            }
        }
        if (!fill(remaining(clock, ms)) && (m_ended || clock.elapsed() >= ms))
            return std::nullopt;
    }
}

std::optional<WireClient::Frame> WireClient::readMessage(int ms) {
    QElapsedTimer clock;
    clock.start();
    Frame message;
    bool begun = false;
    while (auto frame = readFrame(remaining(clock, ms))) {
        if (frame->opcode == 8)
            return frame;
        if (frame->opcode == 10 || frame->opcode == 9)
            continue;
        if (!begun)
            message.opcode = frame->opcode;
        begun = true;
        message.payload += frame->payload;
        if (frame->final)
            return message;
    }
    return std::nullopt;
}

} // namespace morvane::test
