#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace morvane::scktsrvr {

// Reaches the application server of a class for a client: connects to its endpoint at once when it
// listens; otherwise starts its LocalServer32 command with -Embedding and polls the endpoint until it
// answers or the wait is over. Several clients waiting for the same class share one start. Never blocks
// the event loop.
//
// Threads: the socket server's one thread.
class ServerActivator : public QObject {
    Q_OBJECT
public:
    // A connected descriptor (>= 0), or -1 with the reason.
    using Done = std::function<void(int fd, const QString& error)>;

    explicit ServerActivator(int timeoutMs, QObject* parent = nullptr);
    void request(const QString& clsid, const QString& command, Done done);

private:
    struct Start {
        QString command;
        std::vector<Done> waiting;
        qint64 pid = -1;
        int starts = 0;
        QElapsedTimer clock;
        std::unique_ptr<QTimer> poll;
    };
    void pollStart(const QString& clsid);
    void finish(const QString& clsid, const QString& error);

    const int m_timeoutMs;
    QHash<QString, std::shared_ptr<Start>> m_starts; // by CLSID
};

} // namespace morvane::scktsrvr
