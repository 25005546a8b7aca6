#pragma once

#include "ControllerState.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QStringList>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QUdpSocket;

namespace morvane::ctrlsim {

// The controller simulator: network locks answer on loopback UDP sockets, network switches on
// pseudo-terminals, and a loopback TCP control port takes JSON-line commands. The object lives in
// one thread (its sockets and terminals are used only there); control(), ptyPath() and the log may be
// used from any thread: m_mutex guards the controllers' state, the reply caches and the log.
class Simulator : public QObject {
    Q_OBJECT
public:
    explicit Simulator(QObject* parent = nullptr);
    ~Simulator() override;

    // Opens every controller of the configuration and the control port (0: any free port; the
    // configuration's "controlPort" otherwise). Call in the simulator's thread.
    bool start(const QJsonObject& config, QString* error);
    // Parses a configuration file (JSON).
    static bool readConfig(const QString& path, QJsonObject* config, QString* error);

    quint16 controlPort() const { return m_controlPort; }
    // The lines a run prints once it is ready: control port, each controller and where it answers.
    QStringList startupLines() const;
    QString ptyPath(const QString& mac) const;

    // One control command (a JSON object with "cmd"); the answer has "ok" and, on failure, "error".
    QJsonObject control(const QJsonObject& message);

signals:
    // One line per command a controller received.
    void logLine(const QString& line);

private:
    struct Pty {
        int master = -1;
        int keeper = -1; // our own slave end: the line stays up while the component reopens it
        QString path;
        QSocketNotifier* notifier = nullptr;
        QByteArray pending;
    };
    struct LastReply {
        uint32_t sequence = 0;
        QByteArray frame;
    };

    bool openPty(size_t index, QString* error);
    void closePty(size_t index);
    void onDatagrams(size_t index);
    void onPtyReadable(size_t index);
    // The reply frame for one received frame, or nothing (silent controller, garbage); *delayMs set.
    std::optional<QByteArray> handleFrame(size_t index, const QByteArray& frame, int* delayMs);
    void onControlConnection();
    void onControlReadable(QTcpSocket* socket);
    ControllerState* find(const QString& mac);
    // Closes the terminals that control() was asked to hang up (it may run on another thread).
    Q_INVOKABLE void processHangups();

    std::vector<std::unique_ptr<ControllerState>> m_controllers; // fixed after start()
    std::vector<QUdpSocket*> m_sockets;                          // per controller, nullptr for a switch
    std::vector<Pty> m_ptys;                                     // per controller, unused for a lock
    QTcpServer* m_control = nullptr;
    quint16 m_controlPort = 0;

    mutable std::mutex m_mutex; // guards m_controllers' state, m_lastReplies, m_log, m_ptys[].path, m_hangups
    std::vector<std::map<uint32_t, LastReply>> m_lastReplies; // per controller, by session
    QJsonArray m_log;
    std::vector<size_t> m_hangups;
};

} // namespace morvane::ctrlsim
