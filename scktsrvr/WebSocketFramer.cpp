#include "WebSocketFramer.h"

#include <QCryptographicHash>
#include <QList>

#include <utility>

namespace morvane::scktsrvr {

namespace {

// An opening handshake longer than this is no client's.
constexpr qsizetype kMaxHandshake = 16 * 1024;
constexpr qsizetype kMaxControlPayload = 125;

bool isValidUtf8(const QByteArray& text) {
    const auto* s = reinterpret_cast<const uchar*>(text.constData());
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const uchar c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra = 0;
        quint32 point = 0;
        quint32 least = 0;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            point = c & 0x1F;
            least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            point = c & 0x0F;
            least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            point = c & 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (int k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and points past Unicode are not UTF-8.
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// A header field's value holds the token (comma-separated, without regard to case).
bool hasToken(const QByteArray& value, const char* token) {
    for (const QByteArray& part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

WebSocketFramer::WebSocketFramer(qint64 maxMessage, QStringList origins)
    : m_maxMessage(maxMessage)
    , m_origins(std::move(origins)) {}

WebSocketFramer::Event WebSocketFramer::next() {
    Event event = std::move(m_events.front());
    m_events.pop_front();
    return event;
}

qint64 WebSocketFramer::pending() const {
    return m_head.size() + m_message.size() + m_control.size();
}

bool WebSocketFramer::begun() const {
    return m_phase != Phase::Done && (pending() > 0 || m_inPayload || m_fragmented);
}

void WebSocketFramer::feed(const char* data, qsizetype size) {
    while (size > 0) {
        switch (m_phase) {
        case Phase::Done:
            return;
        case Phase::Handshake: {
            // The end of the request may lie across the boundary of two pieces.
            const qsizetype before = m_head.size();
            m_head.append(data, std::min(size, kMaxHandshake + 4 - before));
            const qsizetype end = m_head.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
            if (end < 0) {
                if (m_head.size() > kMaxHandshake)
                    failHandshake("431 Request Header Fields Too Large", QStringLiteral("handshake too long"));
                return;
            }
            const qsizetype used = end + 4 - before;
            m_head.truncate(end);
            data += used;
            size -= used;
            handshake();
            break;
        }
        case Phase::Frames: {
            if (!m_inPayload && !takeHeader(data, size))
                return;
            if (m_phase != Phase::Frames)
                return;
            const qint64 n = std::min<qint64>(size, m_left);
            QByteArray& target = (m_opcode & 0x8) ? m_control : m_message;
            const qsizetype at = target.size();
            target.append(data, static_cast<qsizetype>(n));
            char* out = target.data() + at;
            for (qint64 i = 0; i < n; ++i)
                out[i] = static_cast<char>(out[i] ^ m_mask[(m_taken + i) & 3]);
            m_taken += n;
            m_left -= n;
            data += n;
            size -= static_cast<qsizetype>(n);
            if (m_left == 0)
                frameDone();
            break;
        }
        }
    }
}

void WebSocketFramer::handshake() {
    const QList<QByteArray> lines = m_head.split('\n');
    QByteArray head = std::exchange(m_head, QByteArray());
    const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
    const auto upgrading = [&lines] {
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines.at(i).indexOf(':');
            if (colon > 0 && lines.at(i).left(colon).trimmed().toLower() == "upgrade")
                return true;
        }
        return false;
    };
    const auto closing = [&lines] {
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines.at(i).indexOf(':');
            if (colon > 0 && lines.at(i).left(colon).trimmed().toLower() == "connection" &&
                hasToken(lines.at(i).mid(colon + 1), "close"))
                return true;
        }
        return false;
    };
    // A browser that asks for a page rather than a WebSocket: HTTP/1.1 keeps the connection for its next
    // request (a bounded number of them) unless it says otherwise.
    if (request.size() == 3 && request.at(2).startsWith("HTTP/1.") && !upgrading()) {
        const bool keep = request.at(2) == "HTTP/1.1" && !closing() && ++m_plainRequests < kMaxPlainRequests;
        m_phase = keep ? Phase::Handshake : Phase::Done;
        m_events.push_back({Event::Kind::Request, std::move(head),
                            keep ? QStringLiteral("keep-alive") : QStringLiteral("plain HTTP request")});
        return;
    }
    if (request.size() != 3 || request.at(0) != "GET" || !request.at(2).startsWith("HTTP/1.") ||
        request.at(2) == "HTTP/1.0") {
        failHandshake("400 Bad Request", QStringLiteral("not a WebSocket handshake"));
        return;
    }
    QByteArray host, upgrade, connection, key, version, origin;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        QByteArray* field = name == "host"                    ? &host
                            : name == "upgrade"               ? &upgrade
                            : name == "connection"            ? &connection
                            : name == "sec-websocket-key"     ? &key
                            : name == "sec-websocket-version" ? &version
                            : name == "origin"                ? &origin
                                                              : nullptr;
        if (field)
            *field = field->isEmpty() ? value : *field + ',' + value;
    }
    if (host.isEmpty() || !hasToken(upgrade, "websocket") || !hasToken(connection, "upgrade") ||
        QByteArray::fromBase64(key).size() != 16) {
        failHandshake("400 Bad Request", QStringLiteral("not a WebSocket handshake"));
        return;
    }
    // A browser says whose page opened the connection: a page of another site may not use the client's
    // network position.
    if (!m_origins.isEmpty() && !origin.isEmpty()) {
        QString seen = QString::fromUtf8(origin).toLower();
        while (seen.endsWith(QLatin1Char('/')))
            seen.chop(1);
        if (!m_origins.contains(seen)) {
            failHandshake("403 Forbidden", QStringLiteral("origin %1 is not on WebOrigins").arg(seen.left(200)));
            return;
        }
    }
    if (version != "13") {
        failHandshake("426 Upgrade Required", QStringLiteral("WebSocket version %1").arg(QLatin1String(version)),
                      "Sec-WebSocket-Version: 13\r\n");
        return;
    }
    const QByteArray accept =
        QCryptographicHash::hash(QByteArray(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"), QCryptographicHash::Sha1)
            .toBase64();
    m_phase = Phase::Frames;
    m_events.push_back({Event::Kind::Opened,
                        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Accept: " +
                            accept + "\r\n\r\n",
                        {}});
}

bool WebSocketFramer::takeHeader(const char*& data, qsizetype& size) {
    // 2 bytes, then 2 or 8 of length, then the 4 of the mask.
    const auto wanted = [this]() -> qsizetype {
        if (m_head.size() < 2)
            return 2;
        const int length = m_head.at(1) & 0x7F;
        return 2 + (length == 126 ? 2 : length == 127 ? 8 : 0) + 4;
    };
    while (m_head.size() < wanted() && size > 0) {
        const qsizetype n = std::min(size, wanted() - m_head.size());
        m_head.append(data, n);
        data += n;
        size -= n;
        // The first two bytes say whether the frame may be taken at all.
        if (m_head.size() == 2) {
            const QString wrong = checkStart(static_cast<uchar>(m_head.at(0)), static_cast<uchar>(m_head.at(1)));
            if (!wrong.isEmpty()) {
                fail(ProtocolError, wrong);
                return false;
            }
        }
    }
    if (m_head.size() < wanted())
        return false;
    const auto byte = [this](int i) { return static_cast<quint64>(static_cast<uchar>(m_head.at(i))); };
    m_opcode = byte(0) & 0x0F;
    m_final = (byte(0) & 0x80) != 0;
    quint64 length = byte(1) & 0x7F;
    int at = 2;
    if (length == 126) {
        length = (byte(2) << 8) | byte(3);
        at = 4;
    } else if (length == 127) {
        length = 0;
        for (int i = 2; i < 10; ++i)
            length = (length << 8) | byte(i);
        at = 10;
    }
    for (int i = 0; i < 4; ++i)
        m_mask[i] = static_cast<quint8>(byte(at + i));
    m_head.clear();
    if (!(m_opcode & 0x8) && length > static_cast<quint64>(m_maxMessage - m_message.size())) {
        fail(TooBig, QStringLiteral("Received message is too big."));
        return false;
    }
    if (!(m_opcode & 0x8) && m_opcode != Continuation)
        m_messageOpcode = m_opcode;
    m_left = static_cast<qint64>(length);
    m_taken = 0;
    m_inPayload = true;
    return true;
}

QString WebSocketFramer::checkStart(quint8 first, quint8 second) const {
    const quint8 opcode = first & 0x0F;
    const bool control = (opcode & 0x8) != 0;
    if ((first & 0x70) != 0)
        return QStringLiteral("Reserved bits set");
    if (opcode != Continuation && opcode != Text && opcode != Binary && opcode != Close && opcode != Ping &&
        opcode != Pong)
        return QStringLiteral("Invalid opcode %1").arg(opcode);
    if (!(second & 0x80))
        return QStringLiteral("Client frames must be masked");
    if (control && (!(first & 0x80) || (second & 0x7F) > kMaxControlPayload))
        return QStringLiteral("Control frames are whole and short");
    if (opcode == Continuation && !m_fragmented)
        return QStringLiteral("A continuation frame without a message");
    if ((opcode == Text || opcode == Binary) && m_fragmented)
        return QStringLiteral("A new message before the last was whole");
    return {};
}

void WebSocketFramer::frameDone() {
    m_inPayload = false;
    if (m_opcode == Ping) {
        m_events.push_back({Event::Kind::Ping, frameHeader(Pong, m_control.size()) + m_control, {}});
        m_control.clear();
        return;
    }
    if (m_opcode == Pong) {
        m_control.clear();
        return;
    }
    if (m_opcode == Close) {
        // Answered with the client's code; a payload of one byte or a reason that is not UTF-8 breaks
        // the protocol.
        QByteArray answer;
        const int code = m_control.size() >= 2
                             ? (static_cast<uchar>(m_control.at(0)) << 8) | static_cast<uchar>(m_control.at(1))
                             : 0;
        const bool known =
            (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
        if (m_control.size() == 1 || (m_control.size() >= 2 && !known) || !isValidUtf8(m_control.mid(2)))
            answer = closeFrame(ProtocolError, QString());
        else
            answer = frameHeader(Close, std::min<qsizetype>(m_control.size(), 2)) + m_control.left(2);
        m_control.clear();
        m_phase = Phase::Done;
        m_events.push_back({Event::Kind::Closing, answer, {}});
        return;
    }
    if (!m_final) {
        m_fragmented = true;
        return;
    }
    m_fragmented = false;
    QByteArray message = std::move(m_message);
    m_message = QByteArray();
    if (m_messageOpcode == Text && !isValidUtf8(message)) {
        fail(InvalidData, QStringLiteral("Invalid UTF-8 code encountered."));
        return;
    }
    m_events.push_back({m_messageOpcode == Text ? Event::Kind::Text : Event::Kind::Binary, std::move(message), {}});
}

void WebSocketFramer::fail(CloseCode code, const QString& reason) {
    m_phase = Phase::Done;
    m_inPayload = false;
    m_head = QByteArray();
    m_message = QByteArray();
    m_control = QByteArray();
    m_events.push_back({Event::Kind::Failed, closeFrame(code, reason), reason});
}

void WebSocketFramer::failHandshake(const QByteArray& status, const QString& reason, const QByteArray& extra) {
    m_phase = Phase::Done;
    m_head = QByteArray();
    m_events.push_back({Event::Kind::Failed,
                        "HTTP/1.1 " + status + "\r\n" + extra + "Connection: close\r\nContent-Length: 0\r\n\r\n",
                        reason});
}

QByteArray WebSocketFramer::frameHeader(Opcode opcode, qint64 length, bool final) {
    QByteArray header;
    header.append(static_cast<char>((final ? 0x80 : 0) | opcode));
    if (length < 126) {
        header.append(static_cast<char>(length));
    } else if (length <= 0xFFFF) {
        header.append(static_cast<char>(126));
        header.append(static_cast<char>(length >> 8)).append(static_cast<char>(length));
    } else {
        header.append(static_cast<char>(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            header.append(static_cast<char>(length >> shift));
    }
    return header;
}

QByteArray WebSocketFramer::closeFrame(CloseCode code, const QString& reason) {
    QString text = reason;
    QByteArray payload;
    do {
        payload = QByteArray(1, static_cast<char>(code >> 8)) + static_cast<char>(code & 0xFF) + text.toUtf8();
        text.chop(1);
    } while (payload.size() > kMaxControlPayload);
    return frameHeader(Close, payload.size()) + payload;
}

} // namespace morvane::scktsrvr
