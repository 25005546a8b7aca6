#pragma once

#include "Automation.h"
#include "TypeInfo.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QScopeGuard>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

// The wire protocol between clients, the socket server and the application server: JSON-RPC 2.0, one
// JSON object per line (or per WebSocket text message). docs/protocol.md is the reference.
namespace morvane::platform::rpc {

constexpr qint64 kDefaultMaxMessage = 16 * 1024 * 1024;
// Notifications a client keeps while it waits for a reply.
constexpr size_t kKeptNotifications = 10000;

// JSON-RPC's own codes, for requests that are not calls at all. Every other failure carries its HRESULT.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;

// The methods of the protocol itself, besides the members of the object.
inline const QString kCreateObject = QStringLiteral("CreateObject");
inline const QString kGetTypeInfo = QStringLiteral("GetTypeInfo");

QByteArray encodeLine(const QJsonObject& message); // compact JSON and a final LF
// The error member of a reply: code, message and, for an HRESULT, data.hresult and data.helpContext.
QJsonObject errorObject(int code, const QString& message, int32_t helpContext = 0);
QByteArray errorLine(const QJsonValue& id, int code, const QString& message, int32_t helpContext = 0);
QByteArray resultLine(const QJsonValue& id, const QJsonObject& result);
// A request; an undefined id makes it a notification.
QByteArray requestLine(const QJsonValue& id, const QString& method, const QJsonValue& params);
// The same with a data packet as the result's retval (the result holding hresult and out only), as
// parts to be sent one after the other, the packet among them as it is.
QByteArrayList packetResultParts(const QJsonValue& id, const QJsonObject& result, const QByteArray& packet);

// A request as far as the socket server needs to read it.
struct RequestHead {
    QJsonValue id; // Undefined for a notification (no reply is sent)
    QString method;
    QJsonValue params;          // Undefined, an array or an object
    bool paramsOmitted = false; // parseRequestHead() left long params out: `params` is empty of their kind
    bool notification() const { return id.isUndefined(); }
};
// nullopt with a reply line for the client in *errorReply when the line is not a request.
std::optional<RequestHead> parseRequest(const QByteArray& line, QByteArray* errorReply);
// As parseRequest(), with the same answers, for a relay that passes the line on as it came: the request
// is checked in one pass without being built (a document costs several times its text in memory), and
// params longer than `paramsLimit` bytes are left out (paramsOmitted). A line no longer than that, or one
// that the pass cannot vouch for, is parsed whole.
std::optional<RequestHead> parseRequestHead(const QByteArray& line, QByteArray* errorReply,
                                            qsizetype paramsLimit = 64 * 1024);
// A request written over several lines as one line for the application server: where one pass vouches
// for the text, its line ends can only stand between tokens and become spaces; otherwise it is written
// again, compact.
QByteArray requestOnOneLine(const QByteArray& message);

// The class that a CreateObject request names: "progid" or "clsid" in a params object, or the one
// text of a params array. Empty when it names none.
QString createObjectTarget(const QJsonValue& params);

// Lines that a connection sends of the server's own accord: JSON-RPC notifications, each a whole line
// that begins with kNotificationPrefix (replies begin otherwise: their members come sorted by name), so
// that a relay tells them from replies by their first bytes.
inline constexpr char kNotificationPrefix[] = R"({"jsonrpc":"2.0","method":)";

// What feeds a connection's notifications (the event stream's subscriber). Bounded by itself: the
// connection takes from it only while little of its own output waits.
class PushSource {
public:
    virtual ~PushSource() = default;
    // Whole lines (each ending with LF) of about `maxBytes` together, at least one when any waits.
    virtual QByteArrayList take(qint64 maxBytes) = 0;
    // Non-empty once the source wants the connection ended (its last line taken): why.
    virtual QString closing() const = 0;
};

// A connection's side of its notifications. Threads: attach() on the connection's call thread during a
// call; ready() from any thread.
class PushOutlet {
public:
    virtual ~PushOutlet() = default;
    // The connection's source from now on (none: detached). Lines are taken once the call that attached
    // it has been answered, so the reply comes before the first notification.
    virtual void attach(std::shared_ptr<PushSource> source) = 0;
    // The source has lines waiting, or is closing. Cheap; never blocks.
    virtual void ready() = 0;
};

// What a connection may do, kept per connection by whoever installs it (the server's log-on; the platform
// knows nothing of operators): the protocol's own log-on methods, and a say before every other call.
// Used by the connection's thread, one call at a time.
class ConnectionGuard {
public:
    virtual ~ConnectionGuard() = default;
    // The result of one of the guard's own methods; nullopt when `method` is none of them. Failures are
    // thrown (AutomationError).
    virtual std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) = 0;
    // Before any other call, CreateObject included: throws when the connection may not make it; otherwise
    // the call runs on behalf of the connection until end().
    virtual void begin(const QString& method) = 0;
    virtual void end() = 0;
    // The connection's outlet for notifications, given once before the first call (none: the transport
    // sends no notification).
    virtual void setOutlet(std::shared_ptr<PushOutlet> outlet) { (void)outlet; }
};
// A guard that answers methods of its own in front of another: what it does not answer, and the begin and
// end of every call, go to the inner one (which refuses a connection that has not logged on).
class LayeredGuard : public ConnectionGuard {
public:
    explicit LayeredGuard(std::unique_ptr<ConnectionGuard> inner)
        : m_inner(std::move(inner)) {}
    std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) override {
        return m_inner ? m_inner->handle(method, params) : std::nullopt;
    }
    void begin(const QString& method) override {
        if (m_inner)
            m_inner->begin(method);
    }
    void end() override {
        if (m_inner)
            m_inner->end();
    }
    void setOutlet(std::shared_ptr<PushOutlet> outlet) override {
        if (m_inner)
            m_inner->setOutlet(std::move(outlet));
    }

protected:
    // One of the guard's own methods, on behalf of the connection like any other call: between begin() and
    // end(), so the inner guard refuses a connection that has not logged on.
    template <class Answer>
    QJsonObject answerOwn(const QString& method, Answer&& answer) {
        begin(method);
        const auto ended = qScopeGuard([this] { end(); });
        return std::forward<Answer>(answer)();
    }
    // `own` (any case) answered as above; every other method goes to the inner guard.
    template <class Answer>
    std::optional<QJsonObject> handleOwn(QLatin1String own, const QString& method, const QJsonValue& params,
                                         Answer&& answer) {
        if (method.compare(own, Qt::CaseInsensitive) != 0)
            return LayeredGuard::handle(method, params);
        return answerOwn(method, std::forward<Answer>(answer));
    }

private:
    std::unique_ptr<ConnectionGuard> m_inner;
};
// Makes the guard of each new connection.
using GuardFactory = std::function<std::unique_ptr<ConnectionGuard>()>;
// The factory of guards `G`, each made from copies of `args` in front of a guard that `inner` makes (none
// when `inner` is empty). A reference argument goes as std::ref.
template <class G, class... Args>
GuardFactory layeredFactory(GuardFactory inner, Args... args) {
    return [inner = std::move(inner), ... args = std::move(args)]() -> std::unique_ptr<ConnectionGuard> {
        return std::make_unique<G>(args..., inner ? inner() : nullptr);
    };
}

// The server side of one connection: the object that CreateObject made for it and every call on it.
// Used by one thread at a time (the connection's).
class ServerSession {
public:
    // Makes an object for CreateObject; throws AutomationError when the class is not served.
    using Creator = std::function<DispatchPtr(const QString& clsidOrProgId)>;
    explicit ServerSession(Creator creator, std::unique_ptr<ConnectionGuard> guard = nullptr);

    // One request line in; the reply line out (empty for a notification). Never throws.
    QByteArray handle(const QByteArray& line);
    // The same reply in parts that make the line when sent in turn (a big data packet is one of them,
    // not copied into a line).
    QByteArrayList handleParts(const QByteArray& line);
    bool hasObject() const { return m_object != nullptr; }
    // Lets the object go (the connection has closed).
    void release();

private:
    // A data packet retval is left out of the result and handed back in *packetRetval.
    QJsonObject call(const QString& method, const QJsonValue& params, Variant* packetRetval);

    Creator m_creator;
    std::unique_ptr<ConnectionGuard> m_guard; // none: every call is let through
    DispatchPtr m_object;
    const TypeLibraryDesc* m_typeLibrary = nullptr; // the object's, when it has type information
};

// A reply as a client reads it.
struct Reply {
    bool ok = false;
    HResult hresult = hr::E_UNEXPECTED; // the error's code (a JSON-RPC code for protocol errors)
    QString message;
    int32_t helpContext = 0;
    QJsonObject result; // the whole result object on success
};
Reply parseReply(const QJsonObject& message);

// Splits a byte stream into lines (LF, an optional CR before it dropped; empty lines skipped),
// scanning each byte once however the stream is cut. A long line leaves without being copied, and the
// buffer holds no memory once everything in it has been taken.
class LineBuffer {
public:
    void append(const char* data, qsizetype size);
    std::optional<QByteArray> takeLine();
    // Bytes not taken yet: once takeLine() has found no line, a message still coming in.
    qsizetype pending() const { return m_data.size() - m_start; }

private:
    static constexpr qsizetype kTakeAlong = 64 * 1024;

    QByteArray m_data;
    qsizetype m_start = 0;   // where the next line begins
    qsizetype m_scanned = 0; // bytes from m_start already known to hold no LF
};

// A channel that carries one message at a time each way (a socket with lines, a WebSocket).
class MessageChannel {
public:
    virtual ~MessageChannel() = default;
    virtual bool send(const QByteArray& message, QString* error) = 0;
    // The next message; nullopt with a reason when the channel has ended.
    virtual std::optional<QByteArray> receive(QString* error) = 0;
};

// Lines over a connected stream socket (Unix-domain or TCP), blocking. Owns the descriptor unless told
// otherwise. A message longer than the limit ends the channel (tooLarge()).
class SocketLineChannel : public MessageChannel {
public:
    enum class Ownership { Owned, Borrowed };
    explicit SocketLineChannel(int fd, qint64 maxMessage = kDefaultMaxMessage, Ownership ownership = Ownership::Owned);
    ~SocketLineChannel() override;
    SocketLineChannel(const SocketLineChannel&) = delete;
    SocketLineChannel& operator=(const SocketLineChannel&) = delete;
    bool send(const QByteArray& message, QString* error) override;
    // The parts one after the other, as one message; a line end is added when the last has none.
    bool sendParts(const QByteArrayList& parts, QString* error);
    std::optional<QByteArray> receive(QString* error) override;
    int fd() const { return m_fd; }
    // The longest wait for a reply (0: no limit); a reply that does not come ends the channel.
    void setReceiveTimeout(int milliseconds);
    // True once receive() has ended on a message longer than the limit.
    bool tooLarge() const { return m_tooLarge; }

private:
    int m_fd;
    qint64 m_maxMessage;
    Ownership m_ownership;
    LineBuffer m_buffer;
    bool m_tooLarge = false;
};

// The client side: requests with increasing ids, each answered before the next is sent.
class Client {
public:
    explicit Client(std::unique_ptr<MessageChannel> channel);
    // Sends a request and waits for its reply; a channel that ends gives RPC_E_DISCONNECTED.
    Reply call(const QString& method, const QJsonValue& params = QJsonArray());
    // A request the caller wrote, given the next id when it has none.
    Reply callRequest(QJsonObject request);
    // Sends a line as it is (a request the caller wrote) and returns the reply.
    Reply callRaw(const QByteArray& line);
    // The next notification of the server (a message without id): one that came while a reply was awaited,
    // else the next to arrive; nullopt with the reason when the channel ends (or its receive time-out
    // passes).
    std::optional<QJsonObject> nextNotification(QString* why = nullptr);

private:
    Reply exchange(const QByteArray& line, const QJsonValue& id);

    std::unique_ptr<MessageChannel> m_channel;
    qint64 m_nextId = 1;
    std::deque<QJsonObject> m_notifications; // came before a reply; bounded by kKeptNotifications
};

} // namespace morvane::platform::rpc
