#include "JsonRpc.h"

#include "JsonScan.h"

#include "CallContext.h"

#include "VariantJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace morvane::platform::rpc {

namespace {

const QString kJsonRpc = QStringLiteral("jsonrpc");
const QString kVersion = QStringLiteral("2.0");

// JSON-RPC keeps -32768..-32000 for itself; every other code is an HRESULT.
bool isProtocolCode(int code) {
    return code >= -32768 && code <= -32000;
}

} // namespace

QJsonObject errorObject(int code, const QString& message, int32_t helpContext) {
    QJsonObject error{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}};
    if (!isProtocolCode(code)) {
        error.insert(QStringLiteral("data"), QJsonObject{{QStringLiteral("hresult"), hresultText(code)},
                                                         {QStringLiteral("helpContext"), helpContext}});
    }
    return error;
}

namespace {

// Ids compare by value: 1 sent as an integer comes back as a JSON number.
bool sameId(const QJsonValue& a, const QJsonValue& b) {
    if (a.isDouble() && b.isDouble())
        return a.toDouble() == b.toDouble();
    return a == b;
}

// The DISPID of a "#DISPID" member: decimal digits after "#" (a minus sign allowed), nothing else.
std::optional<DispId> dispIdOfText(const QString& method) {
    const QStringView digits = QStringView(method).mid(method.startsWith(QLatin1String("#-")) ? 2 : 1);
    if (digits.isEmpty() || !std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    bool ok = false;
    const DispId id = QStringView(method).mid(1).toInt(&ok);
    return ok ? std::optional<DispId>(id) : std::nullopt;
}

bool isValidId(const QJsonValue& id) {
    return id.isUndefined() || id.isNull() || id.isString() || id.isDouble();
}

// The argument list that a call's params give, in the method's parameter order. `values` receives the
// decoded values; the arguments refer into it for by-reference parameters. A failure is thrown.
Arguments bindArguments(const MethodDesc* method, const QJsonValue& params, std::deque<Variant>& values) {
    const auto decode = [&](const QJsonValue& json, int position, const QString& name) {
        QString why;
        auto value = variantFromJson(json, &why);
        if (!value)
            throw AutomationError(hr::DISP_E_TYPEMISMATCH,
                                  QStringLiteral("Parameter %1 (%2): %3").arg(position + 1).arg(name, why));
        return *value;
    };
    Arguments args;
    if (params.isUndefined() || params.isArray()) {
        const QJsonArray list = params.toArray();
        for (qsizetype i = 0; i < list.size(); ++i) {
            const bool byRef = method && i < method->params.size() && isByRef(method->params.at(i).type);
            const QString name = method && i < method->params.size() ? method->params.at(i).name : QString();
            values.push_back(decode(list.at(i), static_cast<int>(i), name));
            args.push_back(byRef ? Argument::byRef(values.back()) : Argument::byValue(values.back()));
        }
        return args;
    }
    if (!method)
        throw AutomationError(hr::DISP_E_PARAMNOTFOUND,
                              QStringLiteral("Parameters by name need the object's type information"));
    const QJsonObject named = params.toObject();
    QList<bool> used(named.size(), false);
    const QStringList keys = named.keys();
    for (qsizetype i = 0; i < method->params.size(); ++i) {
        const ParamDesc& param = method->params.at(i);
        qsizetype found = -1;
        for (qsizetype k = 0; k < keys.size(); ++k) {
            if (keys.at(k).compare(param.name, Qt::CaseInsensitive) != 0)
                continue;
            if (found >= 0)
                throw AutomationError(hr::DISP_E_PARAMNOTFOUND,
                                      QStringLiteral("Parameter %1 is given more than once").arg(param.name));
            found = k;
        }
        if (found < 0 && !method->isOutOnly(static_cast<int>(i)))
            throw AutomationError(hr::DISP_E_PARAMNOTOPTIONAL,
                                  QStringLiteral("Parameter not optional: %1").arg(param.name));
        if (found >= 0)
            used[found] = true;
        values.push_back(found >= 0 ? decode(named.value(keys.at(found)), static_cast<int>(i), param.name) : Variant());
        args.push_back(isByRef(param.type) ? Argument::byRef(values.back()) : Argument::byValue(values.back()));
    }
    for (qsizetype k = 0; k < keys.size(); ++k) {
        if (!used.at(k))
            throw AutomationError(hr::DISP_E_PARAMNOTFOUND,
                                  QStringLiteral("%1 has no parameter named %2").arg(method->name, keys.at(k)));
    }
    return args;
}

} // namespace

QByteArray encodeLine(const QJsonObject& message) {
    QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact);
    line.append('\n');
    return line;
}

QByteArray errorLine(const QJsonValue& id, int code, const QString& message, int32_t helpContext) {
    return encodeLine(QJsonObject{{kJsonRpc, kVersion},
                                  {QStringLiteral("id"), id.isUndefined() ? QJsonValue() : id},
                                  {QStringLiteral("error"), errorObject(code, message, helpContext)}});
}

QByteArray resultLine(const QJsonValue& id, const QJsonObject& result) {
    return encodeLine(
        QJsonObject{{kJsonRpc, kVersion}, {QStringLiteral("id"), id}, {QStringLiteral("result"), result}});
}

QByteArray requestLine(const QJsonValue& id, const QString& method, const QJsonValue& params) {
    QJsonObject request{{kJsonRpc, kVersion}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (!id.isUndefined())
        request.insert(QStringLiteral("id"), id);
    return encodeLine(request);
}

QByteArrayList packetResultParts(const QJsonValue& id, const QJsonObject& result, const QByteArray& packet) {
    // Compact JSON writes the members in order of their names: the line ends with the result, and the
    // result with "out", before which "retval" would come last. The packet goes in as it stands, so a
    // packet of many megabytes is neither parsed nor encoded again, nor copied into the line.
    QByteArray head =
        QJsonDocument(QJsonObject{{kJsonRpc, kVersion}, {QStringLiteral("id"), id}, {QStringLiteral("result"), result}})
            .toJson(QJsonDocument::Compact);
    head.chop(2);
    head.append(R"(,"retval":{"value":)");
    return {head, packet,
            QByteArrayLiteral(R"(,"vt":"packet"}}})"
                              "\n")};
}

std::optional<RequestHead> parseRequest(const QByteArray& line, QByteArray* errorReply) {
    const auto reject = [&](int code, const QString& why, const QJsonValue& id = QJsonValue()) {
        if (errorReply)
            *errorReply = errorLine(id, code, why);
        return std::nullopt;
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return reject(
            kParseError,
            QStringLiteral("Parse error: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return reject(kInvalidRequest, QStringLiteral("Invalid request: a request is a JSON object"));
    const QJsonObject object = document.object();
    RequestHead head;
    head.id = object.value(QStringLiteral("id"));
    if (!isValidId(head.id))
        return reject(kInvalidRequest, QStringLiteral("Invalid request: the id must be a number, a text or null"));
    const QJsonValue version = object.value(kJsonRpc);
    if (!version.isUndefined() && version != QJsonValue(kVersion))
        return reject(kInvalidRequest, QStringLiteral("Invalid request: \"jsonrpc\" must be \"2.0\""), head.id);
    const QJsonValue method = object.value(QStringLiteral("method"));
    if (!method.isString() || method.toString().isEmpty())
        return reject(kInvalidRequest, QStringLiteral("Invalid request: \"method\" must be a text"), head.id);
    head.method = method.toString();
    head.params = object.value(QStringLiteral("params"));
    if (!head.params.isUndefined() && !head.params.isArray() && !head.params.isObject())
        return reject(kInvalidRequest, QStringLiteral("Invalid request: \"params\" must be an array or an object"),
                      head.id);
    return head;
}

std::optional<RequestHead> parseRequestHead(const QByteArray& line, QByteArray* errorReply, qsizetype paramsLimit) {
    // The members that parseRequest() reads, copied into a request of their own and read by it there: the
    // head, its checks and their answers are those of the whole line.
    // A line no longer than the limit has nothing to leave out: one parse costs less than a look and a parse.
    static constexpr std::array<QByteArrayView, 4> kNames{"id", "jsonrpc", "method", "params"};
    std::array<JsonSpan, kNames.size()> spans;
    if (line.size() <= paramsLimit || !scanJsonObject(line, kNames, spans))
        return parseRequest(line, errorReply);
    QByteArray head = "{";
    bool omitted = false;
    for (size_t i = 0; i < kNames.size(); ++i) {
        const JsonSpan span = spans[i];
        if (!span.found())
            continue;
        if (head.size() > 1)
            head.append(',');
        head.append('"').append(kNames[i]).append("\":");
        QByteArrayView value = QByteArrayView(line).sliced(span.begin, span.size());
        if (i == kNames.size() - 1 && span.size() > paramsLimit) {
            // Of the same kind, so that the check of their kind answers as for the whole.
            omitted = true;
            value = value.front() == '{' ? "{}" : value.front() == '[' ? "[]" : "\"\"";
        }
        head.append(value);
    }
    head.append('}');
    auto request = parseRequest(head, errorReply);
    if (request)
        request->paramsOmitted = omitted;
    return request;
}

QByteArray requestOnOneLine(const QByteArray& message) {
    if (!scanJsonObject(message, {}, {}))
        return QJsonDocument::fromJson(message).toJson(QJsonDocument::Compact);
    QByteArray line = message;
    line.replace('\n', ' ');
    line.replace('\r', ' ');
    return line;
}

QString createObjectTarget(const QJsonValue& params) {
    if (params.isArray()) {
        const QJsonArray list = params.toArray();
        return list.size() == 1 ? list.first().toString() : QString();
    }
    const QJsonObject named = params.toObject();
    for (auto it = named.constBegin(); it != named.constEnd(); ++it) {
        if (it.key().compare(QLatin1String("progid"), Qt::CaseInsensitive) == 0 ||
            it.key().compare(QLatin1String("clsid"), Qt::CaseInsensitive) == 0)
            return it.value().toString();
    }
    return {};
}

ServerSession::ServerSession(Creator creator, std::unique_ptr<ConnectionGuard> guard)
    : m_creator(std::move(creator))
    , m_guard(std::move(guard)) {}

void ServerSession::release() {
    m_typeLibrary = nullptr;
    m_object.reset();
}

QByteArray ServerSession::handle(const QByteArray& line) {
    const QByteArrayList parts = handleParts(line);
    return parts.size() == 1 ? parts.first() : parts.join();
}

QByteArrayList ServerSession::handleParts(const QByteArray& line) {
    QByteArray reply;
    const auto head = parseRequest(line, &reply);
    if (!head)
        return {reply};
    QJsonObject result;
    Variant packet;
    const std::shared_ptr<CallContext> context = CallContext::current();
    CallContext::PacketProducer producer;
    try {
        result = call(head->method, head->params, &packet);
        if (context)
            producer = context->takePacketProducer();
    } catch (...) {
        if (context)
            context->takePacketProducer(); // let go unwritten, with what it holds
        if (head->notification())
            return {QByteArray()};
        ErrorInfo error;
        const HResult code = failureFromException(std::current_exception(), error);
        return {errorLine(head->id, code, error.message, error.helpContext)};
    }
    if (head->notification())
        return {QByteArray()};
    if (packet.isPacket()) {
        QByteArrayList parts = packetResultParts(head->id, result, packet.packetJson());
        CallContext::ReplyWriter* writer = context ? context->writer() : nullptr;
        if (producer && writer) {
            // The head goes now and the packet as it is made; the rest of the line is the caller's.
            if (!writer->write(parts.first()) || !producer(*writer))
                return {};
            return {parts.last()};
        }
        return parts;
    }
    return {resultLine(head->id, result)};
}

QJsonObject ServerSession::call(const QString& method, const QJsonValue& params, Variant* packetRetval) {
    if (m_guard) {
        if (auto answered = m_guard->handle(method, params))
            return *answered;
        m_guard->begin(method);
    }
    const auto ended = qScopeGuard([this] {
        if (m_guard)
            m_guard->end();
    });
    if (method.compare(kCreateObject, Qt::CaseInsensitive) == 0) {
        if (m_object)
            throw AutomationError(hr::E_UNEXPECTED, QStringLiteral("This connection already holds an object"));
        const QString target = createObjectTarget(params);
        if (target.isEmpty())
            throw AutomationError(hr::CO_E_CLASSSTRING,
                                  QStringLiteral("CreateObject needs {\"progid\": ...} or {\"clsid\": ...}"));
        DispatchPtr object = m_creator(target);
        if (!object)
            throw AutomationError(hr::REGDB_E_CLASSNOTREG, QStringLiteral("Class not registered"));
        m_object = std::move(object);
        const auto* typed = dynamic_cast<const ITypeInfoProvider*>(m_object.get());
        m_typeLibrary = typed ? &typed->typeLibrary() : nullptr;
        QJsonObject created{{QStringLiteral("hresult"), hr::S_OK}};
        if (m_typeLibrary) {
            created.insert(QStringLiteral("clsid"), m_typeLibrary->coclass.clsid);
            created.insert(QStringLiteral("interface"), m_typeLibrary->dispatchInterface.name);
        }
        return created;
    }
    if (!m_object)
        throw AutomationError(hr::CO_E_OBJNOTCONNECTED,
                              QStringLiteral("No object on this connection: call CreateObject first"));
    if (method.compare(kGetTypeInfo, Qt::CaseInsensitive) == 0) {
        if (!m_typeLibrary)
            throw AutomationError(hr::E_NOTIMPL, QStringLiteral("The object has no type information"));
        return QJsonObject{{QStringLiteral("hresult"), hr::S_OK},
                           {QStringLiteral("typeLibrary"), m_typeLibrary->toJson()}};
    }

    // The member, by "#DISPID" or by name; with type information its description too.
    const bool byDispId = method.startsWith(QLatin1Char('#'));
    const auto unknown = [&] {
        return byDispId ? AutomationError(hr::DISP_E_MEMBERNOTFOUND, QStringLiteral("Member not found: %1").arg(method))
                        : AutomationError(hr::DISP_E_UNKNOWNNAME, QStringLiteral("Unknown name: %1").arg(method));
    };
    DispId dispid = 0;
    bool ok = true;
    if (byDispId) {
        const auto parsed = dispIdOfText(method);
        ok = parsed.has_value();
        dispid = parsed.value_or(0);
    } else if (!m_typeLibrary)
        ok = m_object->getIdOfName(method, dispid) >= 0;
    const MethodDesc* desc = nullptr;
    if (ok && m_typeLibrary) {
        const InterfaceDesc& itf = m_typeLibrary->dispatchInterface;
        desc = byDispId ? itf.findByDispId(dispid) : itf.findByName(method);
        ok = desc != nullptr;
        dispid = desc ? desc->dispid : dispid;
    }
    if (!ok)
        throw unknown();

    std::deque<Variant> values;
    Arguments args = bindArguments(desc, params, values);
    HResult status = hr::S_OK;
    const Variant retval = invokeMember(m_object, dispid, args, &status);

    QJsonObject out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].isByRef() && args[i].written() && desc)
            out.insert(desc->params.at(static_cast<qsizetype>(i)).name, variantToJson(args[i].value()));
    }
    if (retval.isPacket()) {
        *packetRetval = retval;
        return QJsonObject{{QStringLiteral("hresult"), status}, {QStringLiteral("out"), out}};
    }
    return QJsonObject{{QStringLiteral("hresult"), status},
                       {QStringLiteral("retval"), variantToJson(retval)},
                       {QStringLiteral("out"), out}};
}

Reply parseReply(const QJsonObject& message) {
    Reply reply;
    if (message.contains(QStringLiteral("result"))) {
        reply.ok = true;
        reply.result = message.value(QStringLiteral("result")).toObject();
        reply.hresult = reply.result.value(QStringLiteral("hresult")).toInt(hr::S_OK);
        return reply;
    }
    const QJsonObject error = message.value(QStringLiteral("error")).toObject();
    reply.hresult = error.value(QStringLiteral("code")).toInt(hr::E_UNEXPECTED);
    reply.message = error.value(QStringLiteral("message")).toString();
    reply.helpContext = error.value(QStringLiteral("data")).toObject().value(QStringLiteral("helpContext")).toInt();
    if (!message.contains(QStringLiteral("error")))
        reply.message = QStringLiteral("The reply carries neither a result nor an error");
    return reply;
}

SocketLineChannel::SocketLineChannel(int fd, qint64 maxMessage, Ownership ownership)
    : m_fd(fd)
    , m_maxMessage(maxMessage)
    , m_ownership(ownership) {}

SocketLineChannel::~SocketLineChannel() {
    if (m_fd >= 0 && m_ownership == Ownership::Owned)
        ::close(m_fd);
}

bool SocketLineChannel::send(const QByteArray& message, QString* error) {
    return sendParts({message}, error);
}

bool SocketLineChannel::sendParts(const QByteArrayList& parts, QString* error) {
    for (qsizetype p = 0; p < parts.size(); ++p) {
        const QByteArray& part = parts.at(p);
        qsizetype sent = 0;
        while (sent < part.size()) {
            const ssize_t n =
                ::send(m_fd, part.constData() + sent, static_cast<size_t>(part.size() - sent), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (error)
                    *error = QString::fromLocal8Bit(std::strerror(errno));
                return false;
            }
            sent += n;
        }
    }
    if (!parts.isEmpty() && parts.last().endsWith('\n'))
        return true;
    return sendParts({QByteArrayLiteral("\n")}, error);
}

void SocketLineChannel::setReceiveTimeout(int milliseconds) {
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::optional<QByteArray> SocketLineChannel::receive(QString* error) {
    for (;;) {
        auto line = m_buffer.takeLine();
        if (line && line->size() <= m_maxMessage)
            return line;
        if (line || m_buffer.pending() > m_maxMessage) {
            m_tooLarge = true;
            if (error)
                *error = QStringLiteral("a message larger than %1 bytes").arg(m_maxMessage);
            return std::nullopt;
        }
        char chunk[65536];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error) {
                if (n == 0)
                    *error = QStringLiteral("the connection was closed");
                else if (errno == EAGAIN || errno == EWOULDBLOCK)
                    *error = QStringLiteral("no reply within the time-out");
                else
                    *error = QString::fromLocal8Bit(std::strerror(errno));
            }
            return std::nullopt;
        }
        m_buffer.append(chunk, n);
    }
}

void LineBuffer::append(const char* data, qsizetype size) {
    // Consumed bytes are dropped once they are the larger part, so the buffer does not grow without end.
    if (m_start > 0 && m_start >= m_data.size() / 2) {
        m_data.remove(0, m_start);
        m_start = 0;
    }
    m_data.append(data, size);
}

std::optional<QByteArray> LineBuffer::takeLine() {
    for (;;) {
        const qsizetype end = m_data.indexOf('\n', m_start + m_scanned);
        if (end < 0) {
            m_scanned = m_data.size() - m_start;
            return std::nullopt;
        }
        const qsizetype length = end - m_start;
        const qsizetype after = m_data.size() - end - 1;
        QByteArray line;
        if (length >= kTakeAlong && length >= after) {
            // A long line takes the buffer along instead of being copied out of it; the shorter rest is
            // copied into a buffer of its own.
            QByteArray rest = m_data.mid(end + 1);
            line = std::move(m_data);
            line.truncate(end);
            line.remove(0, m_start);
            m_data = std::move(rest);
            m_start = 0;
        } else {
            line = m_data.mid(m_start, length);
            m_start = end + 1;
        }
        m_scanned = 0;
        // Nothing left: the memory goes, rather than staying with the largest message the buffer held.
        if (m_start == m_data.size()) {
            m_data = QByteArray();
            m_start = 0;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            return line;
    }
}

Client::Client(std::unique_ptr<MessageChannel> channel)
    : m_channel(std::move(channel)) {}

Reply Client::call(const QString& method, const QJsonValue& params) {
    QJsonObject request{{kJsonRpc, kVersion}, {QStringLiteral("method"), method}};
    if (!params.isUndefined())
        request.insert(QStringLiteral("params"), params);
    return callRequest(std::move(request));
}

Reply Client::callRequest(QJsonObject request) {
    if (!request.contains(QStringLiteral("id")))
        request.insert(QStringLiteral("id"), static_cast<double>(m_nextId++));
    return exchange(QJsonDocument(request).toJson(QJsonDocument::Compact), request.value(QStringLiteral("id")));
}

Reply Client::callRaw(const QByteArray& line) {
    return exchange(line, QJsonDocument::fromJson(line).object().value(QStringLiteral("id")));
}

Reply Client::exchange(const QByteArray& line, const QJsonValue& id) {
    const auto lost = [](const QString& why) {
        Reply reply;
        reply.hresult = hr::RPC_E_DISCONNECTED;
        reply.message = QStringLiteral("The connection to the server is lost: %1").arg(why);
        return reply;
    };
    QString why;
    if (!m_channel->send(line, &why))
        return lost(why);
    for (;;) {
        const auto message = m_channel->receive(&why);
        if (!message)
            return lost(why);
        const QJsonObject object = QJsonDocument::fromJson(*message).object();
        // A reply to another request (one the server answered without an id) is passed over.
        const QJsonValue replyId = object.value(QStringLiteral("id"));
        if (sameId(replyId, id) || (replyId.isNull() && object.contains(QStringLiteral("error"))))
            return parseReply(object);
        // A notification is kept for nextNotification(); past a bound the oldest go, as a slow reader's would.
        if (replyId.isUndefined() && object.contains(QStringLiteral("method"))) {
            m_notifications.push_back(object);
            if (m_notifications.size() > kKeptNotifications)
                m_notifications.pop_front();
        }
    }
}

std::optional<QJsonObject> Client::nextNotification(QString* why) {
    if (!m_notifications.empty()) {
        QJsonObject first = std::move(m_notifications.front());
        m_notifications.pop_front();
        return first;
    }
    for (;;) {
        const auto message = m_channel->receive(why);
        if (!message)
            return std::nullopt;
        const QJsonObject object = QJsonDocument::fromJson(*message).object();
        if (!object.contains(QStringLiteral("id")) && object.contains(QStringLiteral("method")))
            return object;
    }
}

} // namespace morvane::platform::rpc
