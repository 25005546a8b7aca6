#pragma once

#include "JsonRpc.h"
#include "ServerActivator.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <memory>

class QLocalSocket;
class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

namespace morvane::scktsrvr {

// The socket server's settings: scktsrvr.ini in the program's directory, then the command line.
struct Settings {
    QString address = QStringLiteral("0.0.0.0");
    // 0 takes any free port (the ready line names it).
    int port = 211;    // TCP, one JSON object per line
    int webPort = 212; // WebSocket, one JSON object per text message; -1 none
    qint64 maxMessage = platform::rpc::kDefaultMaxMessage;
    int idleTimeoutSeconds = 0;     // a connection silent this long is closed; 0 never
    int messageTimeoutSeconds = 30; // a message begun must arrive whole within this time
    int maxConnections = 1024;
    int startTimeoutSeconds = 30; // the wait for an application server that had to be started

    static QString path(); // <program dir>scktsrvr.ini
    // Reads the file, then "-port N", "-webport N", "-address A" from the arguments; false with a usage
    // line in *error for anything else.
    static bool load(const QStringList& arguments, Settings& settings, QString* error);
};

enum class Transport { Tcp, Web };

class SocketServer;

// One client connection: its transport, and once it has created an object, its own connection to the
// application server, over which its requests go. The client gets every reply in the order of its
// requests, the socket server's own answers included.
//
// Threads: the socket server's one thread.
class ClientLink : public QObject {
    Q_OBJECT
public:
    ClientLink(SocketServer& server, int number, QTcpSocket* socket);
    ClientLink(SocketServer& server, int number, QWebSocket* socket);
    ~ClientLink() override;

private:
    // Creating lasts until the application server has answered the CreateObject.
    enum class State { NoObject, Creating, Ready };
    void setUp();
    void onTcpData();
    void onMessage(const QByteArray& message);
    void handle(const QByteArray& message);
    void createObject(const platform::rpc::RequestHead& head);
    void reachServer();
    void onServerReached(int fd, const QString& error);
    void onCreateReply(const QByteArray& line);
    void createFailed(const QByteArray& reply);
    void handleHeld();
    void onServerData();
    void onServerGone();
    void dropUpstream();
    void send(const QByteArray& line);
    // An answer of the socket server's own: sent at once, or after the replies still due before it.
    void answer(const QByteArray& line);
    void sendOwnAnswers();
    void close(const QString& why);
    void touch();

    SocketServer& m_server;
    const int m_number;
    const Transport m_transport;
    QPointer<QTcpSocket> m_tcp;
    QPointer<QWebSocket> m_web;
    QString m_peer;
    platform::rpc::LineBuffer m_input;
    State m_state = State::NoObject;
    QLocalSocket* m_upstream = nullptr; // child of this link
    platform::rpc::LineBuffer m_upstreamInput;
    // The replies still due, in the order of the requests: the application server's (by id), and the
    // socket server's own answers that must wait for them.
    struct Waiting {
        QJsonValue id;
        QByteArray reply;
        bool upstream = true;
    };
    std::deque<Waiting> m_replies;
    std::deque<QByteArray> m_held; // requests that came while the object was being created
    // The CreateObject under way. A server that drops it unanswered was ending (or has died): the
    // request goes to the next server, within StartTimeout and kCreateAttempts tries.
    struct Creation {
        QJsonValue id;
        QString clsid;
        QString command;
        QElapsedTimer clock;
        int attempts = 0;
    };
    Creation m_create;
    QTimer m_idle;
    QTimer m_partial;
    qint64 m_messages = 0;
    bool m_closing = false;
};

// Listens for clients over TCP and WebSocket and gives each a ClientLink.
class SocketServer : public QObject {
    Q_OBJECT
public:
    explicit SocketServer(Settings settings, QObject* parent = nullptr);
    ~SocketServer() override;

    // false with one line naming the port and how to choose another.
    bool listen(QString* error);
    QString readyLine() const;

    const Settings& settings() const { return m_settings; }
    ServerActivator& activator() { return m_activator; }
    void linkClosed(int number);

private:
    void onTcpConnection();
    void onWebConnection();
    bool admit();

    Settings m_settings;
    ServerActivator m_activator;
    QTcpServer* m_tcpServer = nullptr;       // child
    QWebSocketServer* m_webServer = nullptr; // child
    int m_nextNumber = 1;
    int m_open = 0;
};

} // namespace morvane::scktsrvr
