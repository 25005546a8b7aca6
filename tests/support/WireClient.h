#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace morvane::test {

// A raw client of the socket server on loopback, for what a well-behaved client never does: a source
// address of its own, requests sent without reading the replies, WebSocket frames written by hand. Every
// wait is bounded by the time given.
class WireClient {
public:
    // Connects from `source` (a loopback address; empty: the system's choice) to 127.0.0.1:port.
    explicit WireClient(quint16 port, const QString& source = {});
    ~WireClient();
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    bool connected() const { return m_fd >= 0; }
    // Sends as much as the peer takes within `ms`; the bytes sent (-1 once the connection has failed).
    qint64 send(const QByteArray& data, int ms = 5000);
    // The next line without its LF; nullopt when the connection ends or nothing whole comes within `ms`.
    std::optional<QByteArray> readLine(int ms);
    // True once the peer has closed within `ms`; what comes meanwhile is kept (received()).
    bool waitClosed(int ms);
    const QByteArray& received() const { return m_buffer; }
    // True once received() holds at least `size` bytes, within `ms`.
    bool receive(qsizetype size, int ms);
    void close();

    // One request and the next answer, whatever the road: a text message once the connection is upgraded
    // (handshake()), a line before. sendRequest() gives the bytes sent; readAnswer() the answer's text (a
    // close frame's payload, its code first), nullopt when none comes within `ms`.
    qint64 sendRequest(const QByteArray& json, int ms = 5000);
    std::optional<QByteArray> readAnswer(int ms);

    // The WebSocket opening handshake, with more header lines ("Name: value\r\n") when given; false unless
    // the answer is "101 Switching Protocols". *status: the answer's first line.
    bool handshake(int ms, const QByteArray& moreHeaders = {}, QByteArray* status = nullptr);
    struct Frame {
        int opcode = 0;
        bool final = true;
        QByteArray payload;
        // A close frame's code (0 when it carries none).
        int closeCode() const;
    };
    // A client frame: masked unless told otherwise. `declared` overrides the length in the header.
    static QByteArray frame(int opcode, const QByteArray& payload, bool final = true, bool masked = true,
                            qint64 declared = -1);
    // The next frame from the server; nullopt when none comes whole within `ms`.
    std::optional<Frame> readFrame(int ms);
    // The next text message (pongs passed over) or the close frame, whichever comes first.
    std::optional<Frame> readMessage(int ms);

private:
    // Waits up to `ms` for more bytes; false when none come or the connection has ended.
    bool fill(int ms);

    int m_fd = -1;
    bool m_ended = false;
    bool m_upgraded = false;
    QByteArray m_buffer;
};

} // namespace morvane::test
