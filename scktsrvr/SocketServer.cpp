#include "SocketServer.h"

#include "Automation.h"
#include "ClassRegistry.h"
#include "Listener.h"
#include "ProfileFile.h"
#include "ProgramDirectory.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSslCipher>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morvane::scktsrvr {

namespace rpc = platform::rpc;
namespace hr = platform::hr;

namespace {

// Tries of one CreateObject at servers that drop it unanswered.
constexpr int kCreateAttempts = 3;
// Bytes read at a time from a client or an application server, and what Qt reads ahead of each: a
// link that stops reading leaves the rest to TCP's own flow control.
constexpr qint64 kReadChunk = 64 * 1024;
// An unfinished message this small is never refused for the input budget: calls go on while large
// messages are held.
constexpr qint64 kSmallMessage = 64 * 1024;
// What a link keeps in hand of a client's requests before it stops reading them: requests on their way to
// the application server, requests held while the object is made, its own answers that wait for earlier
// replies. Requests take little room, but each that is under way costs an entry.
constexpr qint64 kRequestsInHand = 64 * 1024;
constexpr qint64 kEntryCost = 64;
// What waits for a client of the replies being relayed before the application server's side is read no
// more: a long reply flows through this window (the rest waits in the application server, which stops
// making it), so a client that reads slowly or not at all costs this much, whatever the reply's size.
constexpr qint64 kRelayAhead = 1024 * 1024;
// A link that held this much at once gives the freed memory back to the system when it goes.
constexpr qint64 kLargeBuffers = 256 * 1024;
// Descriptors kept from the connections: the listeners, the log, starting servers, reading the registry,
// sockets closing.
constexpr qint64 kSpareDescriptors = 32;
// Sockets that may close after their last words at a time (each holds a descriptor): past this they
// close at once.
constexpr int kMaxLingering = 16;
constexpr int kLingerMs = 2000;
// Connections the kernel holds for the listeners before they are accepted (capped by net.core.somaxconn).
constexpr int kListenBacklog = 1024;
// A refused WebSocket client has this long for its handshake.
constexpr int kRefusalHandshakeMs = 5000;
// The first byte of a TLS connection: a handshake record.
constexpr char kTlsHandshakeRecord = 0x16;
// Before its log-on a client has nothing to say but a Logon (a password is at most 1024 characters): its
// messages, and the socket server's answers waiting for it, are held up to this size. Within the size that
// the input budget never refuses, so that clients that have not logged on cannot take it from those that
// have.
constexpr qint64 kBeforeLogon = kSmallMessage;
constexpr int kFileKeepAliveMs = 5000;
// A reply to CreateObject is held whole up to this size; one longer is no refusal.
constexpr qsizetype kLongestInspected = 4096;
// A TLS handshake takes milliseconds: one that has not finished in this time (or MessageTimeout when
// shorter) never will.
constexpr int kLongestHandshakeSeconds = 10;
// The open mode is said on the log again after this long.
constexpr int kOpenModeWarningMs = 60 * 60 * 1000;

const QString kLogon = QStringLiteral("Logon");
const QString kLogoff = QStringLiteral("Logoff");
const QString kSubscribe = QStringLiteral("Subscribe");
const QString kUnsubscribe = QStringLiteral("Unsubscribe");
constexpr qsizetype kNotificationPrefixSize = sizeof platform::rpc::kNotificationPrefix - 1;
const QString kDefaultClass = QStringLiteral("server.rmtserver");
const QString kLogOnFirst = QStringLiteral("Log on first: call Logon with an operator and a password or a token");

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

// Raises the soft limit of open files to the hard one; the limit in force afterwards.
qint64 raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        // An unlimited hard limit cannot be the soft one: the kernel's ceiling is.
        if (raised.rlim_cur == RLIM_INFINITY) {
            QFile ceiling(QStringLiteral("/proc/sys/fs/nr_open"));
            raised.rlim_cur = ceiling.open(QIODevice::ReadOnly) ? ceiling.readAll().trimmed().toULong() : 0;
            raised.rlim_cur = std::max<rlim_t>(raised.rlim_cur, limit.rlim_cur);
        }
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit.rlim_cur = raised.rlim_cur;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<int>::max();
    return static_cast<qint64>(limit.rlim_cur);
}

qint64 openDescriptors() {
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
        .size();
}

// What a socket still has to write: over TLS, what waits to be encrypted and what waits encrypted.
qint64 unsent(const QTcpSocket* socket) {
    const auto* tls = qobject_cast<const QSslSocket*>(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

// An address as the limit per address counts it: IPv4 clients of an IPv6 listener as IPv4.
QHostAddress plainAddress(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

bool inSubnets(const QHostAddress& address, const Subnets& subnets) {
    return std::any_of(subnets.cbegin(), subnets.cend(),
                       [&](const auto& subnet) { return address.isInSubnet(subnet.first, subnet.second); });
}

} // namespace

QString Settings::path() {
    return platform::dataDirectory() + QStringLiteral("scktsrvr.ini");
}

bool Settings::readSubnets(const QString& text, const QString& key, Subnets& subnets, QString* error) {
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    for (const QString& entry : text.split(separators, Qt::SkipEmptyParts)) {
        auto subnet = entry.contains(QLatin1Char('/')) ? QHostAddress::parseSubnet(entry)
                                                       : std::pair<QHostAddress, int>(QHostAddress(entry), -1);
        if (subnet.first.isNull()) {
            if (error)
                *error = QStringLiteral("%1: %2 holds \"%3\", which is neither an address nor a subnet")
                             .arg(path(), key, entry);
            return false;
        }
        if (subnet.second < 0)
            subnet.second = subnet.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        subnets.append({plainAddress(subnet.first), subnet.second});
    }
    return true;
}

bool Settings::load(const QStringList& arguments, Settings& settings, QString* error) {
    const platform::ProfileFile ini(path());
    const QString listen = QStringLiteral("Listen");
    const QString limits = QStringLiteral("Limits");
    const QString tls = QStringLiteral("TLS");
    const auto number = [&](const char* key, int value) { return ini.readInteger(limits, QLatin1String(key), value); };
    settings.logonRequired = ini.readInteger(QStringLiteral("Security"), QStringLiteral("Logon"), 1) != 0;
    const QString address = ini.readString(listen, QStringLiteral("Address"), QString()).trimmed();
    settings.addressGiven = !address.isEmpty();
    if (settings.addressGiven)
        settings.address = address;
    settings.port = ini.readInteger(listen, QStringLiteral("Port"), settings.port);
    settings.webPort = ini.readInteger(listen, QStringLiteral("WebPort"), settings.webPort);
    settings.maxMessage = number("MaxMessage", static_cast<int>(settings.maxMessage));
    settings.idleTimeoutSeconds = number("IdleTimeout", settings.idleTimeoutSeconds);
    settings.noObjectTimeoutSeconds = number("NoObjectTimeout", settings.noObjectTimeoutSeconds);
    settings.messageTimeoutSeconds = number("MessageTimeout", settings.messageTimeoutSeconds);
    settings.maxConnections = number("MaxConnections", settings.maxConnections);
    settings.maxPerAddress = number("MaxPerAddress", settings.maxPerAddress);
    settings.maxOutput = number("MaxOutput", static_cast<int>(settings.maxOutput));
    settings.outputTimeoutSeconds = number("OutputTimeout", settings.outputTimeoutSeconds);
    settings.inputBudget = number("InputBudget", static_cast<int>(settings.inputBudget));
    settings.startTimeoutSeconds = number("StartTimeout", settings.startTimeoutSeconds);
    const auto subnets = [&](const QString& section, const char* key, Subnets& list) {
        return readSubnets(ini.readString(section, QLatin1String(key), QString()), QLatin1String(key), list, error);
    };
    if (!subnets(limits, "ExemptAddresses", settings.exemptAddresses) || !subnets(listen, "Allow", settings.allow) ||
        !subnets(listen, "WebAllow", settings.webAllow))
        return false;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    for (QString origin :
         ini.readString(listen, QStringLiteral("WebOrigins"), QString()).split(separators, Qt::SkipEmptyParts)) {
        while (origin.endsWith(QLatin1Char('/')))
            origin.chop(1);
        settings.webOrigins.append(origin.toLower());
    }
    settings.consoleDirectory =
        ini.readString(QStringLiteral("Console"), QStringLiteral("Directory"), QString()).trimmed();
    settings.certificate = ini.readString(tls, QStringLiteral("Certificate"), QString()).trimmed();
    settings.key = ini.readString(tls, QStringLiteral("Key"), QString()).trimmed();
    if (settings.certificate.isEmpty() != settings.key.isEmpty()) {
        if (error)
            *error = QStringLiteral("%1: [TLS] needs both Certificate and Key (PEM files), or neither").arg(path());
        return false;
    }
    const QString plain = ini.readString(tls, QStringLiteral("PlainFrom"), QStringLiteral("any")).trimmed().toLower();
    if (plain == QLatin1String("any")) {
        settings.plain = Plain::Any;
    } else if (plain == QLatin1String("loopback")) {
        settings.plain = Plain::Loopback;
    } else if (plain == QLatin1String("none")) {
        settings.plain = Plain::None;
    } else {
        if (error)
            *error =
                QStringLiteral("%1: PlainFrom in [TLS] is \"%2\"; it takes any, loopback or none").arg(path(), plain);
        return false;
    }
    // Without a certificate every connection is in the clear: a PlainFrom that refuses some would be a
    // promise that nothing keeps.
    if (settings.certificate.isEmpty() && settings.plain != Plain::Any) {
        if (error)
            *error = QStringLiteral("%1: PlainFrom=%2 in [TLS] refuses connections in the clear, but [TLS] names no "
                                    "Certificate and Key (PEM files) to take any other; name them, or set "
                                    "PlainFrom=any")
                         .arg(path(), plain);
        return false;
    }

    const QString usage = QStringLiteral("usage: scktsrvr [-port N] [-webport N] [-address ADDRESS]");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString option = arguments.at(i).toLower();
        const bool hasValue = i + 1 < arguments.size();
        bool ok = hasValue;
        if (option == QLatin1String("-port") || option == QLatin1String("/port"))
            ok = ok && readPort(arguments.at(++i), settings.port);
        else if (option == QLatin1String("-webport") || option == QLatin1String("/webport"))
            ok = ok && readPort(arguments.at(++i), settings.webPort, -1);
        else if (option == QLatin1String("-address") || option == QLatin1String("/address")) {
            ok = ok && !QHostAddress(settings.address = arguments.at(++i)).isNull();
            settings.addressGiven = true;
        } else
            ok = false;
        if (!ok) {
            if (error)
                *error = usage;
            return false;
        }
    }
    if (settings.port < 0 || settings.port > 65535 || settings.webPort < -1 || settings.webPort > 65535 ||
        QHostAddress(settings.address).isNull() || settings.maxMessage < 1024 || settings.maxOutput < 1024 ||
        settings.inputBudget < 1024 || settings.maxConnections < 1 || settings.maxPerAddress < 0 ||
        settings.startTimeoutSeconds < 1) {
        if (error)
            *error = QStringLiteral("%1 holds a value out of range (Port 0..65535, WebPort -1..65535, MaxMessage, "
                                    "MaxOutput and InputBudget at least 1024, MaxConnections and StartTimeout at "
                                    "least 1, MaxPerAddress at least 0)")
                         .arg(path());
        return false;
    }
    // Without log-on, whoever reaches a listener that takes the clear may do everything: only this machine
    // does, unless the file or the command line says otherwise.
    const bool tlsOnly = !settings.certificate.isEmpty() && settings.plain == Plain::None;
    if (!settings.logonRequired && !settings.addressGiven && !tlsOnly)
        settings.address = QStringLiteral("127.0.0.1");
    return true;
}

ClientLink::ClientLink(SocketServer& server, int number, QTcpSocket* socket, Transport transport, QString address)
    : QObject(&server)
    , m_server(server)
    , m_number(number)
    , m_transport(transport)
    , m_address(std::move(address))
    , m_socket(socket)
    , m_tls(qobject_cast<QSslSocket*>(socket))
    , m_sniffing(m_tls != nullptr) {
    const Settings& settings = server.settings();
    socket->setParent(this);
    socket->setReadBufferSize(kReadChunk);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_peer = QStringLiteral("%1 %2:%3")
                 .arg(transport == Transport::Tcp ? QStringLiteral("tcp") : QStringLiteral("websocket"),
                      socket->peerAddress().toString())
                 .arg(socket->peerPort());
    if (transport == Transport::Web)
        m_web = std::make_unique<WebSocketFramer>(settings.maxMessage, settings.webOrigins);
    connect(socket, &QTcpSocket::readyRead, this, &ClientLink::onReadable);
    connect(socket, &QTcpSocket::disconnected, this, [this] { close(QStringLiteral("client closed")); });
    connect(socket, &QTcpSocket::bytesWritten, this, &ClientLink::onWritten);
    if (m_tls)
        connect(m_tls, &QSslSocket::encryptedBytesWritten, this, &ClientLink::onWritten);
    log(QStringLiteral("#%1 %2 opened").arg(m_number).arg(m_peer));
    for (QTimer* timer : {&m_idle, &m_partial, &m_drain})
        timer->setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        // A connection that waits for its answers is not idle.
        if (!m_replies.empty() || m_state == State::Reaching)
            touch();
        else
            close(QStringLiteral("idle time-out"));
    });
    connect(&m_partial, &QTimer::timeout, this, [this] {
        if (m_handshaking) {
            close(QStringLiteral("the TLS handshake did not finish within %1 s").arg(handshakeSeconds()));
            return;
        }
        send(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest,
                            QStringLiteral("A message did not arrive whole within %1 s")
                                .arg(m_server.settings().messageTimeoutSeconds)));
        close(QStringLiteral("message time-out"));
    });
    connect(&m_drain, &QTimer::timeout, this, [this] {
        if (relayFull())
            close(QStringLiteral("output time-out: the client does not take its replies"));
    });
    touch();
}

ClientLink::~ClientLink() = default;

int ClientLink::idleSeconds() const {
    const Settings& settings = m_server.settings();
    if (m_state == State::Reaching || m_hasObject || m_subscribed)
        return settings.idleTimeoutSeconds;
    // Without an object the shorter of the two, where set.
    if (settings.noObjectTimeoutSeconds <= 0 || settings.idleTimeoutSeconds <= 0)
        return std::max(settings.noObjectTimeoutSeconds, settings.idleTimeoutSeconds);
    return std::min(settings.noObjectTimeoutSeconds, settings.idleTimeoutSeconds);
}

void ClientLink::touch() {
    const int seconds = idleSeconds();
    if (seconds > 0)
        m_idle.start(seconds * 1000);
    else
        m_idle.stop();
}

bool ClientLink::beforeLogon() const {
    return m_server.settings().logonRequired && !m_loggedOn;
}

qint64 ClientLink::messageLimit() const {
    const qint64 limit = m_server.settings().maxMessage;
    return beforeLogon() ? std::min(limit, kBeforeLogon) : limit;
}

qint64 ClientLink::outputLimit() const {
    const qint64 limit = m_server.settings().maxOutput;
    return beforeLogon() ? std::min(limit, kBeforeLogon) : limit;
}

bool ClientLink::outputFull() const {
    return m_socket && unsent(m_socket) > outputLimit();
}

bool ClientLink::relayFull() const {
    return m_socket && unsent(m_socket) > std::min(outputLimit(), kRelayAhead);
}

bool ClientLink::blocked() const {
    // While a Logon is on its way nothing more is read: what follows it is taken under the limits of its
    // outcome.
    return outputFull() || (m_upstream && m_upstream->bytesToWrite() > kRequestsInHand) || m_inHand > kRequestsInHand ||
           (m_state == State::Reaching && m_first.logon);
}

void ClientLink::flush() {
    if (!m_socket)
        return;
    // Written now rather than on the next pass of the event loop: one pass less per reply.
    m_socket->flush();
    // Writing may have found the client gone, and the link closed on the spot.
    if (!m_socket || m_closing)
        return;
    const qint64 waiting = unsent(m_socket);
    m_peak = std::max(m_peak, waiting);
    const int timeout = m_server.settings().outputTimeoutSeconds;
    if (waiting > std::min(outputLimit(), kRelayAhead) && timeout > 0 && !m_drain.isActive())
        m_drain.start(timeout * 1000);
}

void ClientLink::writeText(const char* data, qsizetype size, bool first, bool final) {
    if (m_web) {
        m_socket->write(
            WebSocketFramer::frameHeader(first ? WebSocketFramer::Text : WebSocketFramer::Continuation, size, final));
        m_socket->write(data, size);
    } else {
        m_socket->write(data, size);
        if (final)
            m_socket->write("\n", 1);
    }
}

void ClientLink::send(const QByteArray& line) {
    // Nothing goes between the parts of a reply being relayed (the link is closing when this happens),
    // nor to a client before its TLS or WebSocket handshake.
    if (m_closing || m_midReply || m_handshaking || (m_web && !m_web->isOpen()))
        return;
    const qsizetype size = line.endsWith('\n') ? line.size() - 1 : line.size();
    if (m_web) {
        writeText(line.constData(), size, true, true);
    } else {
        m_socket->write(line);
        if (size == line.size())
            m_socket->write("\n", 1);
    }
    flush();
}

void ClientLink::answer(const QByteArray& line) {
    if (m_replies.empty() && !m_midReply) {
        send(line);
        return;
    }
    m_replies.push_back(Waiting{QJsonValue(), line, false});
    m_inHand += line.size() + kEntryCost;
}

void ClientLink::sendOwnAnswers() {
    while (!m_replies.empty() && !m_replies.front().upstream) {
        send(m_replies.front().reply);
        m_inHand -= m_replies.front().reply.size() + kEntryCost;
        m_replies.pop_front();
    }
}

void ClientLink::close(const QString& why, WebSocketFramer::CloseCode code) {
    if (m_closing)
        return;
    m_closing = true;
    log(QStringLiteral("#%1 closed (%2) after %3 messages").arg(m_number).arg(why).arg(m_messages));
    m_idle.stop();
    m_partial.stop();
    m_drain.stop();
    // The application server releases the object when its connection goes.
    dropUpstream();
    m_server.chargeInput(-m_charged);
    m_charged = 0;
    m_socket->disconnect(this);
    if (m_web && m_web->isOpen())
        m_socket->write(WebSocketFramer::closeFrame(code, why));
    m_server.linkClosed(m_address);
    m_tls = nullptr;
    if (m_handshaking) {
        // Nothing to say in the middle of a handshake.
        m_socket->abort();
        std::exchange(m_socket, nullptr)->deleteLater();
    } else {
        m_server.linger(std::exchange(m_socket, nullptr));
    }
    m_input = rpc::LineBuffer();
    m_web.reset();
    deleteLater();
    if (m_peak >= kLargeBuffers)
        m_server.releaseMemory();
}

void ClientLink::onReadable() {
    if (m_closing || (m_sniffing && !sniff()) || m_handshaking)
        return;
    while (takeMessages() && m_socket->bytesAvailable() > 0) {
        char chunk[kReadChunk];
        const qint64 n = m_socket->read(chunk, kReadChunk);
        if (n <= 0)
            break;
        if (m_web)
            m_web->feed(chunk, n);
        else
            m_input.append(chunk, n);
    }
}

bool ClientLink::sniff() {
    // Peeked without being taken: a handshake goes on to TLS whole.
    char first = 0;
    if (m_socket->peek(&first, 1) < 1)
        return false;
    m_sniffing = false;
    if (first == kTlsHandshakeRecord) {
        startTls();
        return false;
    }
    if (m_server.plainAllowed(m_socket->peerAddress()))
        return true;
    const QString why = m_server.settings().plain == Settings::Plain::None
                            ? QStringLiteral("This server takes TLS connections only")
                            : QStringLiteral("This server takes connections in the clear from this machine only");
    if (m_web)
        m_socket->write("HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: " +
                        QByteArray::number(why.size() + 1) + "\r\n\r\n" + why.toUtf8() + '\n');
    else
        send(rpc::errorLine(QJsonValue(), hr::E_ACCESSDENIED, why + QStringLiteral(": connect with TLS")));
    close(QStringLiteral("a connection in the clear refused: TLS is required"));
    return false;
}

void ClientLink::startTls() {
    m_handshaking = true;
    connect(m_tls, &QSslSocket::encrypted, this, &ClientLink::onEncrypted);
    connect(m_tls, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_handshaking && m_tls)
            close(QStringLiteral("TLS handshake failed: %1").arg(m_tls->errorString()));
    });
    m_tls->setSslConfiguration(m_server.tlsConfiguration());
    m_tls->startServerEncryption();
    // Bounded even where messages may take their time: a handshake holds a connection and its buffers
    // before anything is known of the client.
    m_partial.start(handshakeSeconds() * 1000);
}

int ClientLink::handshakeSeconds() const {
    const int messages = m_server.settings().messageTimeoutSeconds;
    return messages > 0 ? std::min(messages, kLongestHandshakeSeconds) : kLongestHandshakeSeconds;
}

void ClientLink::onEncrypted() {
    if (m_closing)
        return;
    m_handshaking = false;
    m_partial.stop();
    log(QStringLiteral("#%1 TLS %2 %3")
            .arg(m_number)
            .arg(m_tls->sessionProtocol() == QSsl::TlsV1_3 ? QStringLiteral("1.3") : QStringLiteral("1.2"),
                 m_tls->sessionCipher().name()));
    touch();
    onReadable();
}

bool ClientLink::takeMessages() {
    const Settings& settings = m_server.settings();
    const auto tooLarge = [&] {
        send(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest,
                            QStringLiteral("Message larger than %1 bytes%2")
                                .arg(messageLimit())
                                .arg(beforeLogon() ? QStringLiteral(" before a log-on") : QString())));
        close(beforeLogon() ? QStringLiteral("message too large before a log-on") : QStringLiteral("message too large"),
              WebSocketFramer::TooBig);
        return false;
    };
    while (!m_closing && !blocked()) {
        if (m_web) {
            if (!m_web->hasEvent())
                break;
            WebSocketFramer::Event event = m_web->next();
            // The framer holds a message to MaxMessage; before a log-on the limit is lower.
            if (event.kind == WebSocketFramer::Event::Kind::Text && event.data.size() > messageLimit())
                return tooLarge();
            onWebEvent(event);
            continue;
        }
        const auto line = m_input.takeLine();
        if (!line)
            break;
        if (line->size() > messageLimit())
            return tooLarge();
        onMessage(*line);
    }
    if (m_closing)
        return false;
    // What is left is a message still coming in, or messages that wait while the link is blocked; with
    // what Qt has read ahead, all this link holds of the client's input.
    const qint64 pending = m_web ? m_web->pending() : m_input.pending();
    const bool waiting = blocked();
    if (!waiting && (!m_web || (beforeLogon() && m_web->isOpen())) && pending > messageLimit())
        return tooLarge();
    if (!charge(pending + m_socket->bytesAvailable(), pending))
        return false;
    if (waiting) {
        // A message cannot arrive whole while it is not read: the output time-out is the limit meanwhile.
        m_paused = true;
        m_partial.stop();
        return false;
    }
    m_paused = false;
    // The clock runs from the first byte of the message that is still coming in.
    const bool begun = m_web ? m_web->begun() : pending > 0;
    if (!begun || settings.messageTimeoutSeconds <= 0)
        m_partial.stop();
    else if (m_completed || !m_partial.isActive())
        m_partial.start(settings.messageTimeoutSeconds * 1000);
    m_completed = false;
    return true;
}

bool ClientLink::charge(qint64 held, qint64 message) {
    const Settings& settings = m_server.settings();
    const qint64 growth = held - m_charged;
    m_peak = std::max(m_peak, held);
    if (growth > 0 && message > kSmallMessage && m_server.inputHeld() + growth > settings.inputBudget) {
        send(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest,
                            QStringLiteral("Message refused: the unfinished messages of all clients would exceed %1 "
                                           "bytes (InputBudget); send it again later")
                                .arg(settings.inputBudget)));
        close(QStringLiteral("input budget"), WebSocketFramer::PolicyViolated);
        return false;
    }
    m_server.chargeInput(growth);
    m_charged = held;
    return true;
}

void ClientLink::onWebEvent(WebSocketFramer::Event& event) {
    switch (event.kind) {
    case WebSocketFramer::Event::Kind::Opened:
    case WebSocketFramer::Event::Kind::Ping:
        m_socket->write(event.data);
        flush();
        break;
    case WebSocketFramer::Event::Kind::Text:
        onMessage(event.data);
        break;
    case WebSocketFramer::Event::Kind::Binary:
        touch();
        ++m_messages;
        m_completed = true;
        answer(rpc::errorLine(QJsonValue(), rpc::kInvalidRequest, QStringLiteral("Requests are text messages")));
        break;
    case WebSocketFramer::Event::Kind::Closing:
        m_socket->write(event.data);
        close(QStringLiteral("client closed"));
        break;
    case WebSocketFramer::Event::Kind::Failed:
        m_socket->write(event.data);
        close(event.reason);
        break;
    case WebSocketFramer::Event::Kind::Request: {
        // Only a file (or its revalidation) keeps the connection for the next request.
        const bool keep = event.reason == QLatin1String("keep-alive");
        const QByteArray answer = m_server.console().answer(event.data, keep);
        m_socket->write(answer);
        if (keep && (answer.startsWith("HTTP/1.1 200") || answer.startsWith("HTTP/1.1 304"))) {
            flush();
            // A browser's next file comes at once: an idle one holds a connection slot a few seconds only.
            m_idle.start(kFileKeepAliveMs);
        } else {
            close(QStringLiteral("a file requested"));
        }
        break;
    }
    }
}

void ClientLink::onMessage(const QByteArray& message) {
    touch();
    ++m_messages;
    m_completed = true;
    handle(message);
}

void ClientLink::handle(const QByteArray& message) {
    if (m_state == State::Reaching) {
        m_held.push_back(message);
        m_inHand += message.size() + kEntryCost;
        return;
    }
    // Looked at without being built: a request of many megabytes costs this relay little more than itself.
    QByteArray reply;
    auto head = rpc::parseRequestHead(message, &reply);
    if (head && head->paramsOmitted &&
        (head->method.compare(kLogon, Qt::CaseInsensitive) == 0 ||
         head->method.compare(rpc::kCreateObject, Qt::CaseInsensitive) == 0))
        head = rpc::parseRequest(message, &reply); // the only requests whose params are read here
    if (!head) {
        answer(reply);
        return;
    }
    const auto refuse = [&](platform::HResult code, const QString& text) {
        if (!head->notification())
            answer(rpc::errorLine(head->id, code, text));
    };
    const auto is = [&](const QString& name) { return head->method.compare(name, Qt::CaseInsensitive) == 0; };
    if (is(kLogon)) {
        logon(*head);
        return;
    }
    if (m_server.settings().logonRequired && !m_loggedOn) {
        refuse(hr::E_ACCESSDENIED, kLogOnFirst);
        return;
    }
    if (is(rpc::kCreateObject)) {
        if (m_hasObject)
            refuse(hr::E_UNEXPECTED, QStringLiteral("This connection already holds an object"));
        else
            createObject(*head);
        return;
    }
    if (!m_upstream) {
        refuse(hr::CO_E_OBJNOTCONNECTED, QStringLiteral("No object on this connection: call CreateObject first"));
        return;
    }
    // The session ends with the reply; until a new Logon the socket server answers for itself again.
    if (is(kLogoff))
        m_loggedOn = false;
    if (is(kUnsubscribe) || is(kLogoff))
        m_subscribed = false;
    const Inspect inspect = is(kSubscribe) ? Inspect::Subscribe : Inspect::None;
    // A WebSocket message may be written over several lines; the application server reads one per line.
    if (message.contains('\n') || message.contains('\r'))
        forward(rpc::requestOnOneLine(message), *head, inspect);
    else
        forward(message, *head, inspect);
}

void ClientLink::forward(const QByteArray& line, const rpc::RequestHead& head, Inspect inspect) {
    if (!head.notification())
        m_replies.push_back(Waiting{head.id, {}, true, inspect});
    m_upstream->write(line.endsWith('\n') ? line.left(line.size() - 1) : line);
    m_upstream->write("\n", 1);
    m_upstream->flush();
}

void ClientLink::logon(const rpc::RequestHead& head) {
    // The application server learns the client's address from the socket server alone: whatever the
    // client wrote under that name, in any case, goes.
    QJsonObject params = head.params.toObject();
    for (const QString& key : params.keys()) {
        if (key.compare(QLatin1String("address"), Qt::CaseInsensitive) == 0)
            params.remove(key);
    }
    params.insert(QStringLiteral("address"), m_address);
    if (m_upstream) {
        // A new log-on on the same connection: the application server decides; until its answer the
        // connection counts as logged on, since that server refuses every call of one that is not.
        m_loggedOn = true;
        forward(rpc::requestLine(head.id, kLogon, params), head);
        return;
    }
    if (const auto target = resolveClass(head.id, params, kDefaultClass))
        reach(head, *target, params, true);
}

void ClientLink::createObject(const rpc::RequestHead& head) {
    const auto target = resolveClass(head.id, head.params, QString());
    if (!target)
        return;
    const QJsonObject params{{QStringLiteral("clsid"), target->clsid}};
    if (!m_upstream) {
        reach(head, *target, params, false);
        return;
    }
    if (target->clsid != m_upstreamClsid) {
        if (!head.notification())
            answer(rpc::errorLine(head.id, hr::E_ACCESSDENIED,
                                  QStringLiteral("This connection logged on to the server of %1: an object of %2 "
                                                 "needs a connection of its own that logs on there")
                                      .arg(m_upstreamClsid, target->clsid)));
        return;
    }
    forward(rpc::requestLine(head.id.isUndefined() ? QJsonValue() : head.id, rpc::kCreateObject, params), head,
            Inspect::Create);
}

std::optional<ClientLink::Target> ClientLink::resolveClass(const QJsonValue& id, const QJsonValue& params,
                                                           const QString& fallback) {
    const auto refuse = [&](platform::HResult code, const QString& text) {
        answer(rpc::errorLine(id, code, text));
        return std::nullopt;
    };
    // One read of the registry for the ProgID and the class's values.
    platform::ClassRegistry::Tree registry;
    QString why;
    const bool readable = platform::ClassRegistry().read(registry, &why);
    if (!readable)
        registry = {};
    QString clsid;
    try {
        const QString name = rpc::createObjectTarget(params);
        clsid = platform::clsidFromProgId(name.isEmpty() && !fallback.isEmpty() ? fallback : name, registry);
    } catch (const platform::AutomationError& e) {
        return refuse(e.code(), e.message());
    }
    if (!readable)
        return refuse(hr::REGDB_E_CLASSNOTREG, QStringLiteral("The class registry cannot be read: %1").arg(why));
    const QString key = QStringLiteral("CLSID\\") + clsid;
    if (!platform::ClassRegistry::treeKeyExists(registry, key))
        return refuse(hr::REGDB_E_CLASSNOTREG, QStringLiteral("Class not registered: %1").arg(clsid));
    const QString flag = m_transport == Transport::Tcp ? QStringLiteral("Sockets") : QStringLiteral("Web");
    if (platform::ClassRegistry::treeValue(registry, key, flag) != QStringLiteral("1")) {
        return refuse(
            hr::E_ACCESSDENIED,
            QStringLiteral("Class %1 may not be created over %2 (its \"%3\" value is not \"1\")")
                .arg(clsid,
                     m_transport == Transport::Tcp ? QStringLiteral("TCP sockets") : QStringLiteral("WebSockets"),
                     flag));
    }
    const QString command =
        platform::ClassRegistry::treeValue(registry, key + QStringLiteral("\\LocalServer32")).value_or(QString());
    if (command.trimmed().isEmpty())
        return refuse(hr::REGDB_E_CLASSNOTREG,
                      QStringLiteral("Class %1 names no server program (LocalServer32)").arg(clsid));
    return Target{clsid, command};
}

void ClientLink::reach(const rpc::RequestHead& head, const Target& target, const QJsonObject& params, bool logon) {
    m_state = State::Reaching;
    // A notification is sent with a null id: its answer says whether the connection goes on.
    m_first = FirstRequest{
        head.id.isUndefined() ? QJsonValue() : head.id, logon ? kLogon : rpc::kCreateObject, {}, target, {}, 0, logon};
    m_first.line = rpc::requestLine(m_first.id, m_first.method, params);
    m_first.clock.start();
    reachServer();
}

void ClientLink::reachServer() {
    ++m_first.attempts;
    const qint64 left = m_server.settings().startTimeoutSeconds * 1000LL - m_first.clock.elapsed();
    QPointer<ClientLink> self(this);
    m_server.activator().request(
        m_first.target.clsid, m_first.target.command,
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
        firstFailed(rpc::errorLine(m_first.id, hr::CO_E_SERVER_EXEC_FAILURE,
                                   QStringLiteral("Server execution failed: %1").arg(error)));
        return;
    }
    m_upstream = new QLocalSocket(this);
    m_upstream->setSocketDescriptor(fd);
    m_upstream->setReadBufferSize(kReadChunk);
    m_midReply = false;
    m_classifying = false;
    m_inspected = QByteArray();
    connect(m_upstream, &QLocalSocket::readyRead, this, [this] { onServerData(); });
    connect(m_upstream, &QLocalSocket::disconnected, this, &ClientLink::onServerGone);
    connect(m_upstream, &QLocalSocket::bytesWritten, this, &ClientLink::onWritten);
    m_upstream->write(m_first.line);
    m_upstream->flush();
}

void ClientLink::onFirstReply(const QByteArray& line) {
    // The log-on or the object exists only once the application server has said so: a server that ends
    // meanwhile never leaves the client with a success that it cannot use.
    if (QJsonDocument::fromJson(line).object().contains(QStringLiteral("error"))) {
        // Refused: the connection holds nothing in the application server.
        dropUpstream();
        firstFailed(line);
        return;
    }
    m_state = State::Linked;
    m_upstreamClsid = m_first.target.clsid;
    if (m_first.logon)
        m_loggedOn = true;
    else
        m_hasObject = true;
    touch();
    send(line);
    handleHeld();
}

void ClientLink::firstFailed(const QByteArray& reply) {
    m_state = State::Unlinked;
    touch();
    answer(reply);
    handleHeld();
}

void ClientLink::handleHeld() {
    // What came meanwhile is taken now, in order.
    std::deque<QByteArray> held;
    held.swap(m_held);
    for (const QByteArray& message : held)
        m_inHand -= message.size() + kEntryCost;
    for (const QByteArray& message : held) {
        if (m_closing)
            return;
        handle(message);
    }
    // The client's requests that waited may be read again.
    QMetaObject::invokeMethod(this, &ClientLink::onDrained, Qt::QueuedConnection);
}

void ClientLink::onServerData(bool evenIfFull) {
    while (m_upstream && !m_closing) {
        if (m_state == State::Reaching) {
            // The answer to the first request is one short line.
            if (!m_upstream->canReadLine()) {
                if (m_upstream->bytesAvailable() >= kReadChunk) {
                    dropUpstream();
                    firstFailed(
                        rpc::errorLine(m_first.id, hr::CO_E_SERVER_EXEC_FAILURE,
                                       QStringLiteral("Server execution failed: the server's answer to %1 is too long")
                                           .arg(m_first.method)));
                }
                break;
            }
            onFirstReply(m_upstream->readLine().trimmed());
            continue;
        }
        // The replies wait in the application server while the client has not taken what it has.
        if (relayFull() && !evenIfFull)
            break;
        char chunk[kReadChunk];
        const qint64 n = m_upstream->read(chunk, kReadChunk);
        if (n <= 0)
            break;
        relay(chunk, n);
    }
    if (!m_closing)
        flush();
}

void ClientLink::relay(const char* data, qsizetype size) {
    // Each part goes out as it comes: a reply is never gathered whole here, but a CreateObject's short
    // one. The lines mark where a reply ends, and with it where the answers of the socket server's own
    // that wait for it go.
    qsizetype from = 0;
    while (from < size && !m_closing) {
        const auto* found = static_cast<const char*>(std::memchr(data + from, '\n', static_cast<size_t>(size - from)));
        const qsizetype stop = found ? found - data : size;
        if (!m_midReply) {
            if (stop == from) { // an empty line
                from = stop + 1;
                continue;
            }
            sendOwnAnswers();
            m_midReply = true;
            m_replyFirst = true;
            m_replyTracked = false;
            m_inspecting = false;
            m_classifying = true;
        }
        if (m_classifying) {
            const qsizetype piece = std::min(kNotificationPrefixSize - m_inspected.size(), stop - from);
            m_inspected.append(data + from, piece);
            from += piece;
            if (m_inspected.size() < kNotificationPrefixSize && !found)
                break;
            m_classifying = false;
            const bool notification = m_inspected.startsWith(platform::rpc::kNotificationPrefix);
            m_replyTracked = !notification && !m_replies.empty();
            m_inspecting = m_replyTracked && m_replies.front().inspect != Inspect::None;
            if (!m_inspecting) {
                const bool whole = found && from == stop;
                writeText(m_inspected.constData(), m_inspected.size(), true, whole);
                m_inspected = QByteArray();
                m_replyFirst = false;
                if (whole) {
                    m_midReply = false;
                    if (m_replyTracked)
                        m_replies.pop_front();
                    sendOwnAnswers();
                    from = stop + 1;
                }
            }
            continue;
        }
        if (m_inspecting) {
            m_inspected.append(data + from, stop - from);
            if (!found && m_inspected.size() <= kLongestInspected)
                break;
            // Whole, or too long to be a refusal.
            const bool made =
                !found || !QJsonDocument::fromJson(m_inspected).object().contains(QStringLiteral("error"));
            if (m_replies.front().inspect == Inspect::Create)
                m_hasObject = made;
            else
                m_subscribed = made;
            m_inspecting = false;
            touch();
            writeText(m_inspected.constData(), m_inspected.size(), true, found != nullptr);
            m_inspected = QByteArray();
        } else {
            writeText(data + from, stop - from, m_replyFirst, found != nullptr);
        }
        m_replyFirst = false;
        if (!found)
            break;
        m_midReply = false;
        if (m_replyTracked)
            m_replies.pop_front();
        sendOwnAnswers();
        from = stop + 1;
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
    // What it sent before it went is relayed first (no more than Qt had read ahead), whatever waits.
    onServerData(true);
    if (m_closing || !m_upstream)
        return;
    if (m_midReply) {
        // A reply cut short cannot be taken back: the client's connection ends with it.
        close(QStringLiteral("the application server ended in the middle of a reply"));
        return;
    }
    dropUpstream();
    if (m_state == State::Reaching) {
        // Dropped unanswered: the server was ending (it stops accepting before it ends) or has died.
        // The activator waits for it to go and reaches a new one.
        const bool timeLeft = m_first.clock.elapsed() < m_server.settings().startTimeoutSeconds * 1000LL;
        if (m_first.attempts < kCreateAttempts && timeLeft) {
            log(QStringLiteral("#%1 the application server ended before it answered %2; reaching a new one")
                    .arg(m_number)
                    .arg(m_first.method));
            reachServer();
        } else {
            firstFailed(rpc::errorLine(
                m_first.id, hr::CO_E_SERVER_EXEC_FAILURE,
                QStringLiteral("Server execution failed: the server %1 ended the connection before it answered "
                               "%2 (%3 tries)")
                    .arg(m_first.target.command, m_first.method)
                    .arg(m_first.attempts)));
        }
        return;
    }
    // The object and the session lived in that server: both are gone.
    m_state = State::Unlinked;
    m_hasObject = false;
    m_loggedOn = false;
    // A subscriber learns that its events have stopped.
    if (std::exchange(m_subscribed, false))
        answer(QByteArray(platform::rpc::kNotificationPrefix) +
               R"("EventStreamEnd","params":{"reason":"The application server ended the connection"}})" + '\n');
    touch();
    const QString gone = m_server.settings().logonRequired
                             ? QStringLiteral("The application server ended the connection: the object and the "
                                              "log-on are gone (call Logon and CreateObject again)")
                             : QStringLiteral("The application server ended the connection: the object is gone "
                                              "(call CreateObject again)");
    // The calls still on their way get an answer each.
    std::deque<Waiting> waiting;
    waiting.swap(m_replies);
    m_inHand = 0;
    for (const Waiting& entry : waiting)
        send(entry.upstream ? rpc::errorLine(entry.id, hr::RPC_E_DISCONNECTED, gone) : entry.reply);
}

void ClientLink::onWritten() {
    // Only a link that waits for a drain is told, and once: a call whose reply went out at once costs no
    // further pass of the event loop.
    if (m_drainQueued || m_closing)
        return;
    if (!m_paused && !m_drain.isActive() && !(m_upstream && m_upstream->bytesAvailable() > 0))
        return;
    m_drainQueued = true;
    // Later, never inside a write: what drains may start reading and relaying again.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_drainQueued = false;
            onDrained();
        },
        Qt::QueuedConnection);
}

void ClientLink::onDrained() {
    if (m_closing)
        return;
    if (!relayFull()) {
        m_drain.stop();
        if (m_upstream && m_upstream->bytesAvailable() > 0)
            onServerData();
    }
    if (m_paused && !m_closing && !blocked())
        onReadable();
}

SocketServer::SocketServer(Settings settings, QObject* parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_activator(m_settings.startTimeoutSeconds * 1000, this)
    , m_console(m_settings.consoleDirectory.isEmpty() ? webconsole::FileServer::defaultRoot()
                                                      : m_settings.consoleDirectory)
    , m_maxConnections(m_settings.maxConnections) {}

SocketServer::~SocketServer() = default;

bool SocketServer::listen(QString* error) {
    // Each connection takes two descriptors (the client's and its application server's); a client past
    // what the descriptors allow is refused with a message rather than left unaccepted.
    const qint64 files = raiseOpenFileLimit();
    const qint64 fit = (files - openDescriptors() - 2 - kSpareDescriptors) / 2;
    m_maxConnections = static_cast<int>(std::clamp<qint64>(fit, 1, m_settings.maxConnections));
    if (m_maxConnections < m_settings.maxConnections)
        log(QStringLiteral("MaxConnections %1 lowered to %2: %3 open files allowed, 2 per connection")
                .arg(m_settings.maxConnections)
                .arg(m_maxConnections)
                .arg(files));

    if (!m_settings.certificate.isEmpty()) {
        QString why;
        if (!m_tls.load(m_settings.certificate, m_settings.key, &why)) {
            if (error)
                *error = QStringLiteral("cannot take the TLS certificate named in %1: %2").arg(Settings::path(), why);
            return false;
        }
        log(QStringLiteral("TLS certificate %1").arg(m_tls.description()));
    }
    if (!m_settings.logonRequired) {
        const auto warn = [this] {
            log(QStringLiteral("log-on is off (Logon=0 in [Security] of %1): every client that reaches %2 may do "
                               "everything; meant for a closed network only")
                    .arg(Settings::path(), m_settings.address));
        };
        warn();
        connect(&m_openModeWarning, &QTimer::timeout, this, warn);
        m_openModeWarning.start(kOpenModeWarningMs);
    }

    const QHostAddress address(m_settings.address);
    const auto open = [&](int port, Transport transport, const char* kind, const char* option,
                          const char* key) -> QTcpServer* {
        auto* listener = new Listener([this] { return m_tls.loaded(); }, this);
        listener->setMaxPendingConnections(128);
        // A burst of clients waits in the kernel's queue to be accepted (and served or refused) instead
        // of having its connection attempts dropped, which a client sees as a hang.
        listener->setListenBacklogSize(kListenBacklog);
        if (!listener->listen(address, static_cast<quint16>(port))) {
            if (error)
                *error = listenFailure(kind, m_settings.address, port, listener->errorString(), option, key);
            return nullptr;
        }
        connect(listener, &QTcpServer::newConnection, this,
                [this, listener, transport] { onConnection(listener, transport); });
        // Qt stops accepting after a failure (out of descriptors, say): it tries again shortly.
        connect(listener, &QTcpServer::acceptError, this, [listener](QAbstractSocket::SocketError) {
            log(QStringLiteral("cannot accept a connection: %1").arg(listener->errorString()));
            QTimer::singleShot(100, listener, [listener] { listener->resumeAccepting(); });
        });
        return listener;
    };
    m_tcpServer = open(m_settings.port, Transport::Tcp, "TCP", "-port", "Port");
    if (!m_tcpServer)
        return false;
    if (m_settings.webPort >= 0) {
        m_webServer = open(m_settings.webPort, Transport::Web, "WebSocket", "-webport", "WebPort");
        if (!m_webServer)
            return false;
    }
    return true;
}

QString SocketServer::readyLine() const {
    QString line = QStringLiteral("serving TCP %1:%2").arg(m_settings.address).arg(m_tcpServer->serverPort());
    if (m_webServer)
        line += QStringLiteral(" and WebSocket %1:%2").arg(m_settings.address).arg(m_webServer->serverPort());
    return line + QStringLiteral(" for the classes registered in %1").arg(platform::ClassRegistry::defaultPath());
}

bool SocketServer::exempt(const QHostAddress& address) const {
    return inSubnets(address, m_settings.exemptAddresses);
}

QString SocketServer::refusal(const QHostAddress& address, const QString& key) const {
    if (m_open >= m_maxConnections)
        return QStringLiteral("Too many connections (%1)").arg(m_maxConnections);
    if (m_settings.maxPerAddress > 0 && !exempt(address)) {
        const auto found = m_perAddress.find(key);
        if (found != m_perAddress.end() && found->second >= m_settings.maxPerAddress)
            return QStringLiteral("Too many connections from %1 (%2)").arg(key).arg(m_settings.maxPerAddress);
    }
    return {};
}

bool SocketServer::allowed(const QHostAddress& address, Transport transport) const {
    const Subnets& allow = transport == Transport::Tcp ? m_settings.allow : m_settings.webAllow;
    return allow.isEmpty() || inSubnets(address, allow);
}

bool SocketServer::plainAllowed(const QHostAddress& address) const {
    switch (m_settings.plain) {
    case Settings::Plain::Any:
        return true;
    case Settings::Plain::Loopback:
        return plainAddress(address).isLoopback();
    case Settings::Plain::None:
        break;
    }
    return false;
}

void SocketServer::reloadTls() {
    const platform::ProfileFile ini(Settings::path());
    const QString certificate =
        ini.readString(QStringLiteral("TLS"), QStringLiteral("Certificate"), QString()).trimmed();
    const QString key = ini.readString(QStringLiteral("TLS"), QStringLiteral("Key"), QString()).trimmed();
    QString why = QStringLiteral("[TLS] of %1 names no Certificate and Key").arg(Settings::path());
    if (!certificate.isEmpty() && !key.isEmpty() && m_tls.load(certificate, key, &why)) {
        log(QStringLiteral("TLS certificate reloaded: %1; new connections take it").arg(m_tls.description()));
        return;
    }
    log(QStringLiteral("TLS certificate not reloaded: %1; %2")
            .arg(why, m_tls.loaded() ? QStringLiteral("the one in force stays") : QStringLiteral("TLS stays off")));
}

void SocketServer::onConnection(QTcpServer* listener, Transport transport) {
    while (QTcpSocket* socket = listener->nextPendingConnection()) {
        const QHostAddress address = plainAddress(socket->peerAddress());
        const QString key = address.toString();
        // An address that may not connect learns nothing, not even that TLS is spoken here.
        if (!allowed(address, transport)) {
            log(QStringLiteral("connection from %1 refused: not on the allow-list (%2)")
                    .arg(key, transport == Transport::Tcp ? QStringLiteral("Allow") : QStringLiteral("WebAllow")));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const QString why = refusal(address, key);
        if (!why.isEmpty()) {
            log(QStringLiteral("connection from %1 refused: %2").arg(key, why));
            refuse(socket, transport, why);
            continue;
        }
        ++m_open;
        ++m_perAddress[key];
        new ClientLink(*this, m_nextNumber++, socket, transport, key);
    }
}

void SocketServer::refuse(QTcpSocket* socket, Transport transport, const QString& why) {
    socket->setParent(this);
    if (transport == Transport::Tcp) {
        socket->write(rpc::errorLine(QJsonValue(), hr::E_ACCESSDENIED, why));
        linger(socket);
        return;
    }
    // A WebSocket client is told in a close frame, once its handshake is done.
    if (m_lingering >= kMaxLingering) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_lingering;
    connect(socket, &QObject::destroyed, this, [this] { --m_lingering; });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kRefusalHandshakeMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->setReadBufferSize(kReadChunk);
    auto framer = std::make_shared<WebSocketFramer>(kReadChunk);
    connect(socket, &QTcpSocket::readyRead, socket, [socket, framer, why] {
        char chunk[4096];
        for (qint64 n; (n = socket->read(chunk, sizeof chunk)) > 0;)
            framer->feed(chunk, n);
        while (framer->hasEvent()) {
            const WebSocketFramer::Event event = framer->next();
            if (event.kind == WebSocketFramer::Event::Kind::Opened)
                socket->write(event.data + WebSocketFramer::closeFrame(WebSocketFramer::PolicyViolated, why));
            else if (event.kind == WebSocketFramer::Event::Kind::Failed)
                socket->write(event.data);
            else if (event.kind == WebSocketFramer::Event::Kind::Request)
                socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
                              "Connection: close\r\nContent-Length: " +
                              QByteArray::number(why.toUtf8().size() + 1) + "\r\n\r\n" + why.toUtf8() + '\n');
            socket->flush();
        }
    });
}

void SocketServer::linger(QTcpSocket* socket) {
    socket->setParent(this);
    socket->flush();
    // A client that does not read loses its last words; so does any past the sockets that may linger.
    if (socket->state() != QAbstractSocket::ConnectedState || unsent(socket) > kReadChunk ||
        m_lingering >= kMaxLingering) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_lingering;
    connect(socket, &QObject::destroyed, this, [this] { --m_lingering; });
    // The end is said once the last words are out; what the client still sends is read and dropped, since
    // unread bytes would turn the close into a reset that may destroy them before the client has read
    // them.
    const auto shutDown = [socket] {
        if (unsent(socket) == 0 && socket->state() == QAbstractSocket::ConnectedState)
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, shutDown);
    if (auto* tls = qobject_cast<QSslSocket*>(socket))
        connect(tls, &QSslSocket::encryptedBytesWritten, socket, shutDown);
    const auto drop = [socket] { socket->skip(socket->bytesAvailable()); };
    connect(socket, &QTcpSocket::readyRead, socket, drop);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kLingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    shutDown();
    // What Qt read ahead goes too: while that is full, it reads nothing more and says nothing.
    drop();
}

void SocketServer::linkClosed(const QString& address) {
    --m_open;
    const auto found = m_perAddress.find(address);
    if (found != m_perAddress.end() && --found->second <= 0)
        m_perAddress.erase(found);
}

void SocketServer::releaseMemory() {
    if (m_releaseQueued)
        return;
    m_releaseQueued = true;
    // After the link and its sockets are gone: their buffers return to the heap first.
    QTimer::singleShot(100, this, [this] {
        m_releaseQueued = false;
        ::malloc_trim(0);
    });
}

} // namespace morvane::scktsrvr
