#include "TKestrova.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

namespace morvane::kestrova {

using namespace ctrlproto;
using platform::Argument;
using platform::Arguments;
using platform::AutomationError;
using platform::DispId;
using platform::Variant;
using platform::VarType;

namespace {

// A value that cannot be read as the type the call needs is bad input, reported as a status.
std::optional<int32_t> asInt(const Variant& value) {
    try {
        return value.toInt32();
    } catch (const AutomationError&) {
        return std::nullopt;
    }
}

std::optional<QString> asText(const Variant& value) {
    try {
        return value.toText();
    } catch (const AutomationError&) {
        return std::nullopt;
    }
}

// Up to eight hexadecimal digits as the int32 they spell; a number with the top bit set wraps to a
// negative one, as the 32 bits of a card number read as a signed integer.
std::optional<int32_t> hexNumber(const Variant& value) {
    if (value.type() != VarType::BStr)
        return std::nullopt;
    const QString text = value.toText();
    const bool digits = std::all_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
    });
    if (text.isEmpty() || text.size() > 8 || !digits)
        return std::nullopt;
    return static_cast<int32_t>(text.toUInt(nullptr, 16));
}

// Writes a controller's outputs into the caller's by-reference arguments; false when one does not fit
// its typed reference.
bool writeOutputs(const Reply& reply, Arguments& args, int hexOutput) {
    try {
        for (auto it = reply.outputs.constBegin(); it != reply.outputs.constEnd(); ++it) {
            if (it.key() >= static_cast<int>(args.size()))
                continue;
            Argument& arg = args[static_cast<size_t>(it.key())];
            if (!arg.isByRef())
                continue;
            const auto number =
                it.key() == hexOutput && arg.refType() == VarType::I4 ? hexNumber(it.value()) : std::nullopt;
            arg.set(number ? Variant(*number) : it.value());
        }
    } catch (const AutomationError&) {
        return false;
    }
    return true;
}

} // namespace

TKestrova::TKestrova()
    : m_session(QRandomGenerator::system()->generate())
    , m_timing(Timing::fromEnvironment()) {
    DispId id = 1;
    addMember(QStringLiteral("COMifCreateConnection"), id++, 4,
              [this](Arguments& args) { return createConnection(args); });
    addMember(QStringLiteral("ComifSerialPortHandle"), id++, 2,
              [this](Arguments& args) { return serialPortHandle(args); });
    addMember(QStringLiteral("ComifCloseConnection"), id++, 0, [this](Arguments&) { return closeConnection(); });
    addMember(QStringLiteral("ComifSetUDPLinkInfo"), id++, 6, [this](Arguments& args) { return setUdpLinkInfo(args); });
    // Not called by the server: lets tests and tools shorten the wait for a silent controller.
    addMember(QStringLiteral("ComifSetTimeOut"), id++, 2, [this](Arguments& args) { return setTimeOut(args); });
    for (const MethodInfo& method : controllerMethods()) {
        const QString name = QLatin1String(method.name);
        DispId ignored = 0;
        if (getIdOfName(name, ignored) == platform::hr::S_OK)
            continue;
        addMember(name, id++, method.paramCount, [this, &method](Arguments& args) { return forward(method, args); });
    }
}

TKestrova::Connection TKestrova::connection() const {
    std::lock_guard lock(m_mutex);
    return m_connection;
}

Timing TKestrova::timing() const {
    std::lock_guard lock(m_mutex);
    return m_timing;
}

Request TKestrova::newRequest(const QString& method, const QString& mac) {
    Request request;
    request.session = m_session;
    request.sequence = ++m_sequence;
    request.mac = mac;
    request.method = method;
    return request;
}

int32_t TKestrova::sendTo(const Connection& connection, const Request& request, const QString& expectedMac,
                          Reply* reply) {
    switch (connection.kind) {
    case Connection::Kind::Network:
        return connection.sockets ? connection.sockets->exchange(request, timing(), expectedMac, reply)
                                  : udpExchange(connection.ip, connection.port, request, timing(), expectedMac, reply);
    case Connection::Kind::Serial:
        return connection.line->exchange(request, timing(), expectedMac, reply);
    case Connection::Kind::None:
    case Connection::Kind::Board:
        break;
    }
    return status::NotConnected;
}

int32_t TKestrova::exchange(const Connection& connection, Request request, const QString& expectedMac, Arguments* args,
                            Reply* reply, int hexOutput) {
    const int32_t result = sendTo(connection, request, expectedMac, reply);
    if (result != status::Ok)
        return result;
    // An output that does not fit the caller's typed reference: the answer is unusable.
    if (args && !writeOutputs(*reply, *args, hexOutput))
        return status::Refused;
    return reply->status;
}

Variant TKestrova::createConnection(Arguments& args) {
    const auto mode = asInt(args[0].value());
    const auto mac = asText(args[2].value());
    const auto normalisedMac = mac ? normaliseMac(*mac) : std::nullopt;
    if (!mode || !normalisedMac)
        return status::BadArgument;

    Connection candidate;
    candidate.mac = *normalisedMac;
    if (*mode == 1) {
        const int32_t result = connectNetwork(args, &candidate);
        if (result != status::Ok)
            return result;
        std::lock_guard lock(m_mutex);
        m_connection = candidate;
        return status::Ok;
    } else if (*mode == 2 || *mode == 3) {
        const auto handle = asInt(args[3].value());
        if (!handle)
            return status::BadArgument;
        candidate.line = SerialPorts::instance().find(*handle);
        if (!candidate.line)
            return status::NoPort;
        candidate.kind = Connection::Kind::Serial;
    } else {
        return status::BadArgument;
    }

    // The handshake: the controller must answer, and with the MAC it was asked for.
    Request hello = newRequest(QStringLiteral("COMifCreateConnection"), candidate.mac);
    for (const Argument& arg : args)
        hello.args.append(arg.value().type() == VarType::Dispatch ? Variant::null() : arg.value());
    Reply reply;
    const int32_t result = sendTo(candidate, hello, QString(), &reply);
    if (result != status::Ok)
        return result;
    if (normaliseMac(reply.mac) != candidate.mac)
        return status::WrongController;
    if (reply.status != status::Ok)
        return reply.status;
    std::lock_guard lock(m_mutex);
    m_connection = candidate;
    return status::Ok;
}

int32_t TKestrova::connectNetwork(Arguments& args, Connection* candidate) {
    const auto ip = asText(args[1].value());
    const auto port = asInt(args[3].value());
    if (!ip || !isValidIPv4(ip->trimmed()) || !port || *port < 1 || *port > 65535)
        return status::BadArgument;
    const QString address = ip->trimmed();
    Request hello = newRequest(QStringLiteral("COMifCreateConnection"), candidate->mac);
    for (const Argument& arg : args)
        hello.args.append(arg.value().type() == VarType::Dispatch ? Variant::null() : arg.value());

    bool otherMac = false;   // someone answered, but with another MAC
    int32_t helloStatus = 0; // our controller's status, or Refused for an error frame
    uint32_t serial = 0;
    std::vector<UdpTarget> targets(2);
    targets[0] = UdpTarget{address, static_cast<uint16_t>(*port), encodeRequest(hello), [&](const QByteArray& frame) {
                               const auto reply = decodeReply(frame);
                               if (!reply || reply->session != hello.session || reply->sequence != hello.sequence)
                                   return false;
                               if (!reply->error.isEmpty()) {
                                   helloStatus = status::Refused;
                                   return true;
                               }
                               if (normaliseMac(reply->mac) != candidate->mac) {
                                   otherMac = true;
                                   return false;
                               }
                               helloStatus = reply->status;
                               return true;
                           }};
    // Serial number 0 asks whichever board is there.
    targets[1] = UdpTarget{address, boardproto::kPort, boardproto::request(boardproto::fn::GetController, 0),
                           [&](const QByteArray& frame) {
                               const auto* layout = boardproto::layoutFor(boardproto::fn::GetController, true);
                               const auto values = boardproto::decode(*layout, frame);
                               if (!values)
                                   return false;
                               if (normaliseMac(values->value(QStringLiteral("macaddress"))) != candidate->mac) {
                                   otherMac = true;
                                   return false;
                               }
                               serial = values->value(QStringLiteral("controller")).toUInt();
                               return serial != 0;
                           }};
    QByteArray answer;
    const int winner = udpRace(targets, timing(), &answer);
    if (winner == -2)
        return status::BadArgument;
    if (winner < 0)
        return otherMac ? status::WrongController : status::NoReply;
    candidate->ip = address;
    if (winner == 0) {
        if (helloStatus != status::Ok)
            return helloStatus;
        candidate->kind = Connection::Kind::Network;
        candidate->port = static_cast<uint16_t>(*port);
        candidate->sockets = std::make_shared<UdpSockets>(address, candidate->port);
        return status::Ok;
    }
    candidate->kind = Connection::Kind::Board;
    candidate->port = boardproto::kPort;
    candidate->board = std::make_shared<BoardLink>(address, boardproto::kPort, serial, candidate->mac);
    return status::Ok;
}

Variant TKestrova::serialPortHandle(Arguments& args) {
    const auto portNumber = asInt(args[1].value());
    if (!portNumber) {
        args[0].set(Variant(0));
        return status::BadArgument;
    }
    QString error;
    const int32_t handle = SerialPorts::instance().open(*portNumber, &error);
    args[0].set(Variant(handle));
    return handle != 0 ? status::Ok : status::NoPort;
}

Variant TKestrova::closeConnection() {
    Connection previous;
    {
        std::lock_guard lock(m_mutex);
        previous = m_connection;
        m_connection = Connection();
    }
    // A board keeps no connection of its own: nothing to tell it.
    if (previous.kind == Connection::Kind::None || previous.kind == Connection::Kind::Board)
        return status::Ok;
    Reply reply;
    return exchange(previous, newRequest(QStringLiteral("ComifCloseConnection"), previous.mac), previous.mac, nullptr,
                    &reply);
}

Variant TKestrova::setUdpLinkInfo(Arguments& args) {
    // Works without a connection: the settings go to the controller with that MAC, at the controller IP
    // given and the port of the last argument, unless MORVANE_KESTROVA_SETUP_TARGET ("ip:port") says
    // where controllers listen for their settings.
    const auto mac = asText(args[0].value());
    const auto normalisedMac = mac ? normaliseMac(*mac) : std::nullopt;
    const auto controlIp = asText(args[2].value());
    const auto port = asInt(args[5].value());
    if (!normalisedMac || !controlIp || !port)
        return status::BadArgument;
    Connection target;
    target.kind = Connection::Kind::Network;
    target.mac = *normalisedMac;
    target.ip = controlIp->trimmed();
    target.port = static_cast<uint16_t>(*port);
    const QString setup = qEnvironmentVariable("MORVANE_KESTROVA_SETUP_TARGET");
    if (!setup.isEmpty()) {
        const qsizetype colon = setup.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int setupPort = setup.mid(colon + 1).toInt(&ok);
        if (colon <= 0 || !ok || setupPort < 1 || setupPort > 65535)
            return status::BadArgument;
        target.ip = setup.left(colon);
        target.port = static_cast<uint16_t>(setupPort);
    }
    if (!isValidIPv4(target.ip) || *port < 1 || *port > 65535)
        return status::BadArgument;
    Request request = newRequest(QStringLiteral("ComifSetUDPLinkInfo"), target.mac);
    for (const Argument& arg : args)
        request.args.append(arg.value());
    Reply reply;
    return exchange(target, request, target.mac, &args, &reply);
}

Variant TKestrova::setTimeOut(Arguments& args) {
    const auto ms = asInt(args[0].value());
    const auto attempts = asInt(args[1].value());
    if (!ms || !attempts || *ms < 1 || *ms > 60000 || *attempts < 1 || *attempts > 20)
        return status::BadArgument;
    std::lock_guard lock(m_mutex);
    m_timing.attemptMs = *ms;
    m_timing.attempts = *attempts;
    return status::Ok;
}

Variant TKestrova::forward(const MethodInfo& method, Arguments& args) {
    const Connection current = connection();
    if (current.kind == Connection::Kind::None)
        return status::NotConnected;
    if (current.kind == Connection::Kind::Board)
        return current.board->call(method, args, timing());
    Request request = newRequest(QLatin1String(method.name), current.mac);
    for (const Argument& arg : args)
        request.args.append(arg.value().type() == VarType::Dispatch ? Variant::null() : arg.value());
    if (request.method == QLatin1String("COMifAdjustDateTime"))
        request.clock = platform::dateTimeToOleDate(QDateTime::currentDateTime());
    Reply reply;
    int32_t result = exchange(current, request, current.mac, &args, &reply, method.hexOutput);
    // A switch that does not answer its poll, or whose line has failed, is told to be asked again: so
    // the scanning thread's attempts run out and it marks the switch unreachable, as for a busy line.
    if (current.kind == Connection::Kind::Serial && std::strcmp(method.name, "ComifReadDeviceInfo") == 0 &&
        (result == status::NoReply || result == status::LineError))
        result = status::LineBusy;
    if (method.variantResult && result == reply.status && !reply.result.isEmpty() && reply.error.isEmpty())
        return reply.result;
    return result;
}

} // namespace morvane::kestrova
