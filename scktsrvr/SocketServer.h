#pragma once

#include "FileServer.h"
#include "JsonRpc.h"
#include "ServerActivator.h"
#include "TlsContext.h"
#include "WebSocketFramer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>

class QLocalSocket;
class QSslSocket;
class QTcpServer;
class QTcpSocket;

namespace morvane::scktsrvr {

// Addresses and subnets, each with its prefix length.
using Subnets = QList<std::pair<QHostAddress, int>>;

// The socket server's settings: scktsrvr.ini in the program's directory, then the command line.
struct Settings {
    // Logon=0 in [Security]: the open mode, in which no client logs on.
    bool logonRequired = true;
    QString address = QStringLiteral("0.0.0.0");
    bool addressGiven = false; // in the file or on the command line: the open mode keeps it
    // 0 takes any free port (the ready line names it).
    int port = 211;    // TCP, one JSON object per line
    int webPort = 212; // WebSocket, one JSON object per text message; -1 none
    qint64 maxMessage = platform::rpc::kDefaultMaxMessage;
    int idleTimeoutSeconds = 0;      // a connection silent this long is closed; 0 never
    int noObjectTimeoutSeconds = 60; // the same for a connection that holds no object; 0 never
    int messageTimeoutSeconds = 30;  // a message begun must arrive whole within this time
    int maxConnections = 1024;
    int maxPerAddress = 64; // open connections from one address; 0 no limit
    // Addresses and subnets that the limit per address spares.
    QList<std::pair<QHostAddress, int>> exemptAddresses;
    // Replies waiting for a client beyond the one being written: past this, its requests wait.
    qint64 maxOutput = 16 * 1024 * 1024;
    int outputTimeoutSeconds = 60;          // a client past maxOutput must take its replies within this time
    qint64 inputBudget = 256 * 1024 * 1024; // the unfinished messages of all clients together
    int startTimeoutSeconds = 30;           // the wait for an application server that had to be started
    Subnets allow;                          // who may connect over TCP; empty: everyone
    Subnets webAllow;                       // the same over WebSocket
    QStringList webOrigins;                 // the Origin a WebSocket upgrade may carry; empty: any
    // [TLS]: the certificate (with its chain) and the private key, PEM files. With both, a connection that
    // begins with a TLS handshake speaks TLS.
    QString certificate;
    QString key;
    // [Console] Directory: the browser console's files, served on the web port; empty: the default.
    QString consoleDirectory;
    enum class Plain { Any, Loopback, None };
    Plain plain = Plain::Any; // who may connect without TLS while TLS is on

    static QString path(); // <program dir>scktsrvr.ini
    // Reads the file, then "-port N", "-webport N", "-address A" from the arguments; false with a usage
    // line in *error for anything else.
    static bool load(const QStringList& arguments, Settings& settings, QString* error);
    // "10.1.2.3, 10.1.0.0/16 ::1": false with the reason when an entry is neither an address nor a subnet.
    static bool readSubnets(const QString& text, const QString& key, Subnets& subnets, QString* error);
};

enum class Transport { Tcp, Web };

class SocketServer;

// One client connection: its transport, and once it has logged on (or, in the open mode, created an
// object), its own connection to the application server, over which its requests go. Before a log-on the
// socket server answers everything but Logon itself: nothing reaches the application server. The client
// gets every reply in the order of its requests, the socket server's own answers included. Replies are
// relayed as they come, never gathered whole; while more than maxOutput waits for the client its requests
// are not read, and while more than a mebibyte does its application server's replies are not.
//
// Threads: the socket server's one thread.
class ClientLink : public QObject {
    Q_OBJECT
public:
    ClientLink(SocketServer& server, int number, QTcpSocket* socket, Transport transport, QString address);
    ~ClientLink() override;

private:
    // Unlinked: no connection to the application server. Reaching: the first request (Logon or
    // CreateObject) is on its way over a new one, and what the client sends meanwhile is held. Linked: its
    // requests go up.
    enum class State { Unlinked, Reaching, Linked };
    void onReadable();
    // While the first byte decides between TLS and the clear: false until the connection may be read.
    bool sniff();
    void startTls();
    int handshakeSeconds() const;
    void onEncrypted();
    // Takes the messages already read; false when the link closes or must wait.
    bool takeMessages();
    void onWebEvent(WebSocketFramer::Event& event);
    void onMessage(const QByteArray& message);
    void handle(const QByteArray& message);
    void logon(const platform::rpc::RequestHead& head);
    void createObject(const platform::rpc::RequestHead& head);
    // The class that a request names (`fallback` when it names none), checked against the registry;
    // nullopt once the refusal has been answered.
    struct Target {
        QString clsid;
        QString command;
    };
    std::optional<Target> resolveClass(const QJsonValue& id, const QJsonValue& params, const QString& fallback);
    void reach(const platform::rpc::RequestHead& head, const Target& target, const QJsonObject& params, bool logon);
    void reachServer();
    void onServerReached(int fd, const QString& error);
    void onFirstReply(const QByteArray& line);
    void firstFailed(const QByteArray& reply);
    // What the reply to a forwarded request tells the socket server (it reads the whole reply, a short one).
    enum class Inspect { None, Create, Subscribe };
    void forward(const QByteArray& line, const platform::rpc::RequestHead& head, Inspect inspect = Inspect::None);
    void handleHeld();
    void onServerData(bool evenIfFull = false);
    void relay(const char* data, qsizetype size);
    void onServerGone();
    void dropUpstream();
    // Bytes went out to the client or the application server: a link that waits for room goes on.
    void onWritten();
    void onDrained();
    void send(const QByteArray& line);
    void writeText(const char* data, qsizetype size, bool first, bool final);
    void flush();
    // An answer of the socket server's own: sent at once, or after the replies still due before it.
    void answer(const QByteArray& line);
    void sendOwnAnswers();
    // Before a log-on (while one is needed) its messages and the answers waiting for it are held tightly.
    bool beforeLogon() const;
    qint64 messageLimit() const;
    qint64 outputLimit() const;
    bool outputFull() const;
    // A relayed reply waits in the application server: the client has yet to take what it has of it.
    bool relayFull() const;
    bool blocked() const;
    // Charges the input held to the server's budget; false when the budget refused the message that
    // grows (the link closes).
    bool charge(qint64 held, qint64 message);
    void close(const QString& why, WebSocketFramer::CloseCode code = WebSocketFramer::Normal);
    void touch();
    int idleSeconds() const;

    SocketServer& m_server;
    const int m_number;
    const Transport m_transport;
    const QString m_address; // the client's, as the limit per address counts it
    QTcpSocket* m_socket;    // child of this link until it closes
    QSslSocket* m_tls;       // the same socket when TLS is on; null otherwise
    bool m_sniffing = false; // TLS is on and the first byte has not come
    bool m_handshaking = false;
    QString m_peer;
    platform::rpc::LineBuffer m_input;      // TCP
    std::unique_ptr<WebSocketFramer> m_web; // WebSocket
    qint64 m_charged = 0;                   // input held, as charged to the server's budget
    State m_state = State::Unlinked;
    bool m_loggedOn = false;            // as far as the socket server knows: the application server decides each call
    bool m_hasObject = false;           // as its last CreateObject reply said
    bool m_subscribed = false;          // as its last Subscribe reply said: it waits for events, silent
    QLocalSocket* m_upstream = nullptr; // child of this link
    QString m_upstreamClsid;            // the class whose server it reaches
    // The reply being relayed: begun, its first part written, and whether a request awaits it. A reply to
    // CreateObject is held whole (it is short) to learn whether the object was made.
    bool m_midReply = false;
    bool m_replyFirst = false;
    bool m_replyTracked = false;
    bool m_inspecting = false;
    // A line's first bytes are read before it is relayed: a notification of the application server (which
    // answers no request) is passed on between the replies without taking a reply's place.
    bool m_classifying = false;
    QByteArray m_inspected;
    // The replies still due, in the order of the requests: the application server's (by id), and the
    // socket server's own answers that must wait for them.
    struct Waiting {
        QJsonValue id;
        QByteArray reply;
        bool upstream = true;
        Inspect inspect = Inspect::None;
    };
    std::deque<Waiting> m_replies;
    std::deque<QByteArray> m_held; // requests that came while the first request was on its way
    qint64 m_inHand = 0;           // bytes of m_held and of the own answers in m_replies, with their entries
    // The first request under way. A server that drops it unanswered was ending (or has died): the request
    // goes to the next server, within StartTimeout and kCreateAttempts tries.
    struct FirstRequest {
        QJsonValue id;
        QString method; // Logon or CreateObject
        QByteArray line;
        Target target;
        QElapsedTimer clock;
        int attempts = 0;
        bool logon = false;
    };
    FirstRequest m_first;
    QTimer m_idle;
    QTimer m_partial; // a message begun (or a TLS handshake) must be whole in time
    QTimer m_drain;   // a client past maxOutput must take its replies in time
    qint64 m_messages = 0;
    bool m_completed = false;   // a message was whole during this read
    bool m_paused = false;      // its requests wait: too much output is waiting
    bool m_drainQueued = false; // onDrained is posted
    qint64 m_peak = 0;          // the most it held at once, in and out
    bool m_closing = false;
};

// Listens for clients over TCP and WebSocket and gives each a ClientLink, within the limits: the addresses
// allowed, connections in all (bounded as well by the open files the process may have, two per
// connection), connections per address, and the input that all clients hold unfinished. With a
// certificate, each listener takes TLS beside the clear (WebSocket over TLS on the same framing).
//
// Threads: the socket server's one thread.
class SocketServer : public QObject {
    Q_OBJECT
public:
    explicit SocketServer(Settings settings, QObject* parent = nullptr);
    ~SocketServer() override;

    // Raises the limit of open files and bounds the connections by it, then listens; false with one line
    // naming the port and how to choose another.
    bool listen(QString* error);
    QString readyLine() const;

    const Settings& settings() const { return m_settings; }
    const webconsole::FileServer& console() const { return m_console; }
    ServerActivator& activator() { return m_activator; }
    int maxConnections() const { return m_maxConnections; }
    void linkClosed(const QString& address);
    // Takes over a client's socket once its link has said its last words: it is closed once the client
    // has read them (or after a short while); a client that reads nothing loses it at once.
    void linger(QTcpSocket* socket);

    // The input that all clients hold unfinished.
    qint64 inputHeld() const { return m_inputHeld; }
    void chargeInput(qint64 delta) { m_inputHeld += delta; }
    // Gives freed memory back to the system once the current event has been handled.
    void releaseMemory();

    bool tlsOn() const { return m_tls.loaded(); }
    const QSslConfiguration& tlsConfiguration() const { return m_tls.configuration(); }
    bool plainAllowed(const QHostAddress& address) const;
    // SIGHUP: the certificate and key named in the file now, for the connections to come; a pair that
    // cannot be used leaves the one in force.
    void reloadTls();

private:
    void onConnection(QTcpServer* listener, Transport transport);
    bool allowed(const QHostAddress& address, Transport transport) const;
    // Why a new connection from this address is refused; empty when it is taken.
    QString refusal(const QHostAddress& address, const QString& key) const;
    void refuse(QTcpSocket* socket, Transport transport, const QString& why);
    bool exempt(const QHostAddress& address) const;

    Settings m_settings;
    ServerActivator m_activator;
    TlsContext m_tls;
    webconsole::FileServer m_console;
    QTimer m_openModeWarning;
    QTcpServer* m_tcpServer = nullptr; // child
    QTcpServer* m_webServer = nullptr; // child
    int m_maxConnections = 0;          // MaxConnections, within what the open files allow
    int m_nextNumber = 1;
    int m_open = 0;
    std::map<QString, int> m_perAddress;
    int m_lingering = 0; // sockets closing after their last words (each holds a descriptor)
    qint64 m_inputHeld = 0;
    bool m_releaseQueued = false;
};

} // namespace morvane::scktsrvr
