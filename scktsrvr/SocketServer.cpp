#include "SocketServer.h"

#include "Automation.h"
#include "ClassRegistry.h"
#include "ProfileFile.h"
#include "ProgramDirectory.h"

#include <QJsonDocument>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace morvane::scktsrvr {

namespace rpc = platform::rpc;
namespace hr = platform::hr;

namespace {

// Tries of one CreateObject at servers that drop it unanswered.
constexpr int kCreateAttempts = 3;

void log(const QString& line) {
    std::fprintf(stderr, "scktsrvr: %s\n", qPrintable(line));
}

bool readPort(const QString& text, int& port, int lowest = 0) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < lowest || value > 65535)
        return false;
    port = value;
    return true;
}

QString listenFailure(const char* kind, const QString& address, int port, const QString& reason, const char* option,
                      const char* key) {
    QString line = QStringLiteral("cannot listen for %1 on %2 port %3: %4")
                       .arg(QLatin1String(kind), address)
                       .arg(port)
                       .arg(reason);
    if (port > 0 && port < 1024)
        line += QStringLiteral(" (ports below 1024 need root or CAP_NET_BIND_SERVICE)");
    return line + QStringLiteral("; choose another with %1 N or %2=N in %3")
                      .arg(QLatin1String(option), QLatin1String(key), Settings::path());
}

} // namespace

QString Settings::path() {
    return platform::programDirectory() + QStringLiteral("scktsrvr.ini");
}

bool Settings::load(const QStringList& arguments, Settings& settings, QString* error) {
    const platform::ProfileFile ini(path());
    const QString listen = QStringLiteral("Listen");
    const QString limits = QStringLiteral("Limits");
    settings.address = ini.readString(listen, QStringLiteral("Address"), settings.address);
    settings.port = ini.readInteger(listen, QStringLiteral("Port"), settings.port);
    settings.webPort = ini.readInteger(listen, QStringLiteral("WebPort"), settings.webPort);
    settings.maxMessage = ini.readInteger(limits, QStringLiteral("MaxMessage"), static_cast<int>(settings.maxMessage));
    settings.idleTimeoutSeconds = ini.readInteger(limits, QStringLiteral("IdleTimeout"), settings.idleTimeoutSeconds);
    settings.messageTimeoutSeconds =
        ini.readInteger(limits, QStringLiteral("MessageTimeout"), settings.messageTimeoutSeconds);
    settings.maxConnections = ini.readInteger(limits, QStringLiteral("MaxConnections"), settings.maxConnections);
    settings.startTimeoutSeconds =
        ini.readInteger(limits, QStringLiteral("StartTimeout"), settings.startTimeoutSeconds);

    const QString usage = QStringLiteral("usage: scktsrvr [-port N] [-webport N] [-address ADDRESS]");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString option = arguments.at(i).toLower();
        const bool hasValue = i + 1 < arguments.size();
        bool ok = hasValue;
        if (option == QLatin1String("-port") || option == QLatin1String("/port"))
            ok = ok && readPort(arguments.at(++i), settings.port);
        else if (option == QLatin1String("-webport") || option == QLatin1String("/webport"))
            ok = ok && readPort(arguments.at(++i), settings.webPort, -1);
        else if (option == QLatin1String("-address") || option == QLatin1String("/address"))
            ok = ok && !QHostAddress(settings.address = arguments.at(++i)).isNull();
        else
            ok = false;
        if (!ok) {
            if (error)
                *error = usage;
            return false;
        }
    }
    if (settings.port < 0 || settings.port > 65535 || settings.webPort < -1 || settings.webPort > 65535 ||
        QHostAddress(settings.address).isNull() || settings.maxMessage < 1024 || settings.maxConnections < 1 ||
        settings.startTimeoutSeconds < 1) {
        if (error)
            *error = QStringLiteral(
                         "%1 holds a value out of range (Port 0..65535, WebPort -1..65535, MaxMessage at least 1024, "
                         "MaxConnections and StartTimeout at least 1)")
                         .arg(path());
        return false;
    }
    return true;
}

ClientLink::ClientLink(SocketServer& server, int number, QTcpSocket* socket)
    : QObject(&server)
    , m_server(server)
    , m_number(number)
    , m_transport(Transport::Tcp)
    , m_tcp(socket) {
    socket->setParent(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_peer = QStringLiteral("tcp %1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    connect(socket, &QTcpSocket::readyRead, this, &ClientLink::onTcpData);
    connect(socket, &QTcpSocket::disconnected, this, [this] { close(QStringLiteral("client closed")); });
    setUp();
}

ClientLink::ClientLink(SocketServer& server, int number, QWebSocket* socket)
    : QObject(&server)
    , m_server(server)
    , m_number(number)
    , m_transport(Transport::Web)
    , m_web(socket) {
    socket->setParent(this);
    socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(server.settings().maxMessage));
    m_peer = QStringLiteral("websocket %1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) { onMessage(text.toUtf8()); });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray&) {
        send(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest, QStringLiteral("Requests are text messages")));
    });
    connect(socket, &QWebSocket::disconnected, this, [this] { close(QStringLiteral("client closed")); });
    setUp();
}

void ClientLink::setUp() {
    const Settings& settings = m_server.settings();
    log(QStringLiteral("#%1 %2 opened").arg(m_number).arg(m_peer));
    m_idle.setSingleShot(true);
    m_partial.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        // A connection that waits for its answers is not idle.
        if (!m_replies.empty() || m_state == State::Creating)
            touch();
        else
            close(QStringLiteral("idle time-out"));
    });
    connect(&m_partial, &QTimer::timeout, this, [this] {
        send(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest,
                            QStringLiteral("A message did not arrive whole within %1 s")
                                .arg(m_server.settings().messageTimeoutSeconds)));
        close(QStringLiteral("message time-out"));
    });
    if (settings.idleTimeoutSeconds > 0)
        m_idle.start(settings.idleTimeoutSeconds * 1000);
}

ClientLink::~ClientLink() = default;

void ClientLink::touch() {
    if (m_server.settings().idleTimeoutSeconds > 0)
        m_idle.start(m_server.settings().idleTimeoutSeconds * 1000);
}

void ClientLink::send(const QByteArray& line) {
    if (m_tcp) {
        m_tcp->write(line.endsWith('\n') ? line : line + '\n');
        // Written now rather than on the next pass of the event loop: one pass less per reply.
        m_tcp->flush();
    } else if (m_web) {
        QByteArray text = line;
        if (text.endsWith('\n'))
            text.chop(1);
        m_web->sendTextMessage(QString::fromUtf8(text));
    }
}

void ClientLink::answer(const QByteArray& line) {
    if (m_replies.empty())
        send(line);
    else
        m_replies.push_back(Waiting{QJsonValue(), line, false});
}

void ClientLink::sendOwnAnswers() {
    while (!m_replies.empty() && !m_replies.front().upstream) {
        send(m_replies.front().reply);
        m_replies.pop_front();
    }
}

void ClientLink::close(const QString& why) {
    if (m_closing)
        return;
    m_closing = true;
    log(QStringLiteral("#%1 closed (%2) after %3 messages").arg(m_number).arg(why).arg(m_messages));
    m_idle.stop();
    m_partial.stop();
    // The application server releases the object when its connection goes.
    if (m_upstream) {
        m_upstream->disconnect(this);
        m_upstream->abort();
    }
    if (m_tcp) {
        m_tcp->disconnect(this);
        m_tcp->flush();
        m_tcp->disconnectFromHost();
    }
    if (m_web) {
        m_web->disconnect(this);
        m_web->close(QWebSocketProtocol::CloseCodeNormal, why);
    }
    m_server.linkClosed(m_number);
    deleteLater();
}

void ClientLink::onTcpData() {
    const qint64 limit = m_server.settings().maxMessage;
    const auto tooLarge = [&] {
        send(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest,
                            QStringLiteral("Message larger than %1 bytes").arg(limit)));
        close(QStringLiteral("message too large"));
    };
    const QByteArray data = m_tcp->readAll();
    m_input.append(data.constData(), data.size());
    bool completed = false;
    while (auto line = m_input.takeLine()) {
        if (line->size() > limit)
            return tooLarge();
        completed = true;
        onMessage(*line);
        if (m_closing)
            return;
    }
    const qint64 pending = m_input.pending();
    if (pending > limit)
        return tooLarge();
    // The clock runs from the first byte of the message that is still coming in.
    if (pending == 0 || m_server.settings().messageTimeoutSeconds <= 0)
        m_partial.stop();
    else if (completed || !m_partial.isActive())
        m_partial.start(m_server.settings().messageTimeoutSeconds * 1000);
}

void ClientLink::onMessage(const QByteArray& message) {
    touch();
    ++m_messages;
    handle(message);
}

void ClientLink::handle(const QByteArray& message) {
    if (m_state == State::Creating) {
        m_held.push_back(message);
        return;
    }
    QByteArray reply;
    const auto head = rpc::parseRequest(message, &reply);
    if (!head) {
        answer(reply);
        return;
    }
    const auto refuse = [&](platform::HResult code, const QString& text) {
        if (!head->notification())
            answer(rpc::errorLine(head->id, code, text));
    };
    if (head->method.compare(rpc::kCreateObject, Qt::CaseInsensitive) == 0) {
        if (m_state == State::Ready)
            refuse(hr::E_UNEXPECTED, QStringLiteral("This connection already holds an object"));
        else
            createObject(*head);
        return;
    }
    if (m_state == State::NoObject) {
        refuse(hr::CO_E_OBJNOTCONNECTED, QStringLiteral("No object on this connection: call CreateObject first"));
        return;
    }
    if (!head->notification())
        m_replies.push_back(Waiting{head->id, {}, true});
    // A WebSocket message may be written over several lines; the application server reads one per line.
    if (message.contains('\n') || message.contains('\r'))
        m_upstream->write(QJsonDocument::fromJson(message).toJson(QJsonDocument::Compact) + '\n');
    else
        m_upstream->write(message + '\n');
    m_upstream->flush();
}

void ClientLink::createObject(const rpc::RequestHead& head) {
    const auto refuse = [&](platform::HResult code, const QString& text) {
        answer(rpc::errorLine(head.id, code, text));
    };
    // One read of the registry for the ProgID and the class's values.
    platform::ClassRegistry::Tree registry;
    QString why;
    const bool readable = platform::ClassRegistry().read(registry, &why);
    if (!readable)
        registry = {};
    QString clsid;
    try {
        clsid = platform::clsidFromProgId(rpc::createObjectTarget(head.params), registry);
    } catch (const platform::AutomationError& e) {
        refuse(e.code(), e.message());
        return;
    }
    if (!readable) {
        refuse(hr::REGDB_E_CLASSNOTREG, QStringLiteral("The class registry cannot be read: %1").arg(why));
        return;
    }
    const QString key = QStringLiteral("CLSID\\") + clsid;
    if (!platform::ClassRegistry::treeKeyExists(registry, key)) {
        refuse(hr::REGDB_E_CLASSNOTREG, QStringLiteral("Class not registered: %1").arg(clsid));
        return;
    }
    const QString flag = m_transport == Transport::Tcp ? QStringLiteral("Sockets") : QStringLiteral("Web");
    if (platform::ClassRegistry::treeValue(registry, key, flag) != QStringLiteral("1")) {
        refuse(hr::E_ACCESSDENIED,
               QStringLiteral("Class %1 may not be created over %2 (its \"%3\" value is not \"1\")")
                   .arg(clsid,
                        m_transport == Transport::Tcp ? QStringLiteral("TCP sockets") : QStringLiteral("WebSockets"),
                        flag));
        return;
    }
    const QString command =
        platform::ClassRegistry::treeValue(registry, key + QStringLiteral("\\LocalServer32")).value_or(QString());
    if (command.trimmed().isEmpty()) {
        refuse(hr::REGDB_E_CLASSNOTREG, QStringLiteral("Class %1 names no server program (LocalServer32)").arg(clsid));
        return;
    }
    m_state = State::Creating;
    m_create = Creation{head.id, clsid, command, {}, 0};
    m_create.clock.start();
    reachServer();
}

void ClientLink::reachServer() {
    ++m_create.attempts;
    const qint64 left = m_server.settings().startTimeoutSeconds * 1000LL - m_create.clock.elapsed();
    QPointer<ClientLink> self(this);
    m_server.activator().request(
        m_create.clsid, m_create.command,
        [self](int fd, const QString& error) {
            if (self && !self->m_closing)
                self->onServerReached(fd, error);
            else if (fd >= 0)
                ::close(fd);
        },
        [self] { return self && !self->m_closing; }, static_cast<int>(std::max<qint64>(left, 1)));
}

void ClientLink::onServerReached(int fd, const QString& error) {
    if (fd < 0) {
        createFailed(rpc::errorLine(m_create.id, hr::CO_E_SERVER_EXEC_FAILURE,
                                    QStringLiteral("Server execution failed: %1").arg(error)));
        return;
    }
    m_upstream = new QLocalSocket(this);
    m_upstream->setSocketDescriptor(fd);
    m_upstreamInput = rpc::LineBuffer();
    connect(m_upstream, &QLocalSocket::readyRead, this, &ClientLink::onServerData);
    connect(m_upstream, &QLocalSocket::disconnected, this, &ClientLink::onServerGone);
    const QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                              {QStringLiteral("id"), m_create.id.isUndefined() ? QJsonValue() : m_create.id},
                              {QStringLiteral("method"), rpc::kCreateObject},
                              {QStringLiteral("params"), QJsonObject{{QStringLiteral("clsid"), m_create.clsid}}}};
    m_upstream->write(rpc::encodeLine(request));
    m_upstream->flush();
}

void ClientLink::onCreateReply(const QByteArray& line) {
    // The object exists only once the application server has said so: a server that ends meanwhile
    // never leaves the client with a success that it cannot use.
    if (QJsonDocument::fromJson(line).object().contains(QStringLiteral("error"))) {
        // A CreateObject the application server refused leaves the connection without an object.
        dropUpstream();
        createFailed(line);
        return;
    }
    m_state = State::Ready;
    send(line);
    handleHeld();
}

void ClientLink::createFailed(const QByteArray& reply) {
    m_state = State::NoObject;
    answer(reply);
    handleHeld();
}

void ClientLink::handleHeld() {
    // What came meanwhile is taken now, in order.
    std::deque<QByteArray> held;
    held.swap(m_held);
    for (const QByteArray& message : held) {
        if (m_closing)
            return;
        handle(message);
    }
}

void ClientLink::onServerData() {
    const QByteArray data = m_upstream->readAll();
    m_upstreamInput.append(data.constData(), data.size());
    while (m_upstream && !m_closing) {
        const auto line = m_upstreamInput.takeLine();
        if (!line)
            break;
        if (m_state == State::Creating) {
            onCreateReply(*line);
            continue;
        }
        // Answers given here to later requests wait for this reply: the client gets them in order.
        sendOwnAnswers();
        if (!m_replies.empty())
            m_replies.pop_front();
        send(*line);
        sendOwnAnswers();
    }
}

void ClientLink::dropUpstream() {
    if (!m_upstream)
        return;
    m_upstream->disconnect(this);
    m_upstream->abort();
    m_upstream->deleteLater();
    m_upstream = nullptr;
}

void ClientLink::onServerGone() {
    if (!m_upstream)
        return;
    dropUpstream();
    if (m_state == State::Creating) {
        // Dropped unanswered: the server was ending (it stops accepting before it ends) or has died.
        // The activator waits for it to go and reaches a new one.
        const bool timeLeft = m_create.clock.elapsed() < m_server.settings().startTimeoutSeconds * 1000LL;
        if (m_create.attempts < kCreateAttempts && timeLeft) {
            log(QStringLiteral("#%1 the application server ended before it answered CreateObject; reaching a new one")
                    .arg(m_number));
            reachServer();
        } else {
            createFailed(rpc::errorLine(
                m_create.id, hr::CO_E_SERVER_EXEC_FAILURE,
                QStringLiteral("Server execution failed: the server %1 ended the connection before it answered "
                               "CreateObject (%2 tries)")
                    .arg(m_create.command)
                    .arg(m_create.attempts)));
        }
        return;
    }
    m_state = State::NoObject;
    // The calls still on their way get an answer each; the next CreateObject starts afresh.
    std::deque<Waiting> waiting;
    waiting.swap(m_replies);
    for (const Waiting& entry : waiting) {
        send(entry.upstream ? rpc::errorLine(entry.id, hr::RPC_E_DISCONNECTED,
                                             QStringLiteral("The application server ended the connection: the object "
                                                            "is gone (call CreateObject again)"))
                            : entry.reply);
    }
}

SocketServer::SocketServer(Settings settings, QObject* parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_activator(m_settings.startTimeoutSeconds * 1000, this) {}

SocketServer::~SocketServer() = default;

bool SocketServer::listen(QString* error) {
    const QHostAddress address(m_settings.address);
    m_tcpServer = new QTcpServer(this);
    m_tcpServer->setMaxPendingConnections(128);
    if (!m_tcpServer->listen(address, static_cast<quint16>(m_settings.port))) {
        if (error)
            *error =
                listenFailure("TCP", m_settings.address, m_settings.port, m_tcpServer->errorString(), "-port", "Port");
        return false;
    }
    connect(m_tcpServer, &QTcpServer::newConnection, this, &SocketServer::onTcpConnection);
    if (m_settings.webPort >= 0) {
        m_webServer = new QWebSocketServer(QStringLiteral("scktsrvr"), QWebSocketServer::NonSecureMode, this);
        if (!m_webServer->listen(address, static_cast<quint16>(m_settings.webPort))) {
            if (error)
                *error = listenFailure("WebSocket", m_settings.address, m_settings.webPort, m_webServer->errorString(),
                                       "-webport", "WebPort");
            return false;
        }
        connect(m_webServer, &QWebSocketServer::newConnection, this, &SocketServer::onWebConnection);
    }
    return true;
}

QString SocketServer::readyLine() const {
    QString line = QStringLiteral("serving TCP %1:%2").arg(m_settings.address).arg(m_tcpServer->serverPort());
    if (m_webServer)
        line += QStringLiteral(" and WebSocket %1:%2").arg(m_settings.address).arg(m_webServer->serverPort());
    return line + QStringLiteral(" for the classes registered in %1").arg(platform::ClassRegistry::defaultPath());
}

bool SocketServer::admit() {
    if (m_open < m_settings.maxConnections)
        return true;
    log(QStringLiteral("connection refused: %1 connections are open (MaxConnections)").arg(m_open));
    return false;
}

void SocketServer::onTcpConnection() {
    while (QTcpSocket* socket = m_tcpServer->nextPendingConnection()) {
        if (!admit()) {
            socket->write(rpc::errorLine(QJsonValue(), hr::E_ACCESSDENIED,
                                         QStringLiteral("Too many connections (%1)").arg(m_settings.maxConnections)));
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        ++m_open;
        new ClientLink(*this, m_nextNumber++, socket);
    }
}

void SocketServer::onWebConnection() {
    while (QWebSocket* socket = m_webServer->nextPendingConnection()) {
        if (!admit()) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("Too many connections (%1)").arg(m_settings.maxConnections));
            socket->deleteLater();
            continue;
        }
        ++m_open;
        new ClientLink(*this, m_nextNumber++, socket);
    }
}

void SocketServer::linkClosed(int) {
    --m_open;
}

} // namespace morvane::scktsrvr
