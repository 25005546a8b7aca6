#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <deque>

namespace morvane::scktsrvr {

// The server's end of a WebSocket (RFC 6455) over a byte stream: the opening handshake, then the client's
// frames into whole messages, and the server's frames out. No extensions and no subprotocols.
//
// A message is taken in as its bytes come, unmasked into one buffer: what is held of it is its bytes so
// far. A frame whose header announces more than the limit ends the connection before any of its payload
// is read. Client frames must be masked (section 5.1). An opening handshake whose Origin is not on the
// list given (when one is given) is answered 403; one without an Origin (not a browser's) is taken. A
// request that asks for no upgrade at all is handed on whole (Request), and nothing more is read.
//
// Threads: one at a time (the socket server's one thread).
class WebSocketFramer {
public:
    enum Opcode : quint8 { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };
    enum CloseCode : quint16 {
        Normal = 1000,
        ProtocolError = 1002,
        InvalidData = 1007,
        PolicyViolated = 1008,
        TooBig = 1009,
    };

    struct Event {
        enum class Kind {
            Opened,  // data: the handshake's answer
            Text,    // data: the message
            Binary,  // data: the message
            Ping,    // data: the answer (a pong)
            Closing, // data: the close frame that answers the client's
            Failed,  // data: what to send before the connection ends (an HTTP answer or a close frame)
            Request, // data: the head of a plain HTTP request (no upgrade), for whoever serves files;
                     // reason "keep-alive" when another request may follow on the connection
        };
        Kind kind;
        QByteArray data;
        QString reason; // Failed: why, for the log
    };

    // `origins`: lower case, without a final slash; empty: any.
    explicit WebSocketFramer(qint64 maxMessage, QStringList origins = {});

    // Bytes as they come; what they complete is taken with next().
    void feed(const char* data, qsizetype size);
    bool hasEvent() const { return !m_events.empty(); }
    Event next();

    bool isOpen() const { return m_phase == Phase::Frames; }
    // True once nothing more is read (the client's close, or a failure).
    bool isDone() const { return m_phase == Phase::Done; }
    // Bytes held of a handshake or message that has begun and is not whole.
    qint64 pending() const;
    // True while a handshake, a frame or a message has begun and is not whole.
    bool begun() const;

    static QByteArray frameHeader(Opcode opcode, qint64 length, bool final = true);
    // The reason is cut to fit a control frame.
    static QByteArray closeFrame(CloseCode code, const QString& reason);

private:
    enum class Phase { Handshake, Frames, Done };
    void handshake();
    // Takes header bytes; true once the header is whole (and checked).
    bool takeHeader(const char*& data, qsizetype& size);
    // Why a frame that starts with these two bytes may not come now; empty when it may.
    QString checkStart(quint8 first, quint8 second) const;
    void frameDone();
    void fail(CloseCode code, const QString& reason);
    void failHandshake(const QByteArray& status, const QString& reason, const QByteArray& extra = {});

    // Plain requests on one connection, at most (a browser fetches the console's files over a few).
    static constexpr int kMaxPlainRequests = 32;
    int m_plainRequests = 0;
    const qint64 m_maxMessage;
    const QStringList m_origins;
    Phase m_phase = Phase::Handshake;
    QByteArray m_head; // the handshake so far, or the header of the frame coming in
    // The frame coming in (once its header is whole).
    bool m_inPayload = false;
    bool m_final = false;
    quint8 m_opcode = 0;
    quint8 m_mask[4] = {};
    qint64 m_left = 0;  // payload bytes still to come
    qint64 m_taken = 0; // payload bytes taken (the mask's position)
    // The message coming in, and the payload of a control frame.
    bool m_fragmented = false;
    quint8 m_messageOpcode = 0;
    QByteArray m_message;
    QByteArray m_control;
    std::deque<Event> m_events;
};

} // namespace morvane::scktsrvr
