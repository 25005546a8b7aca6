#pragma once

#include "Simulator.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace morvane::ctrlsim {

// Runs a Simulator in a thread of its own, so that a caller may block on the component while the
// simulated controllers answer (a QCoreApplication must exist). Start and stop from one thread (the
// owner's); command() from any. The hand-overs use only a mutex, a pipe and the thread's join, which
// the thread sanitizer sees, and nothing of Qt's event queue or thread class, which it does not.
class SimulatorThread {
public:
    SimulatorThread() = default;
    ~SimulatorThread();
    SimulatorThread(const SimulatorThread&) = delete;
    SimulatorThread& operator=(const SimulatorThread&) = delete;

    bool start(const QJsonObject& config, QString* error);
    void stop();

    quint16 controlPort() const;
    QString ptyPath(const QString& mac) const;
    QJsonObject command(const QJsonObject& message);
    // The log entries of one controller since the last call, cleared.
    QJsonArray takeLog(const QString& mac);
    Simulator* simulator() const { return m_simulator.get(); }

private:
    void run(const QJsonObject& config);

    std::thread m_thread;
    int m_wake[2] = {-1, -1};               // stop() writes a byte: the thread's event loop ends
    std::unique_ptr<Simulator> m_simulator; // made, used and destroyed in m_thread
    std::mutex m_mutex;                     // guards m_state and m_reason (owner and thread)
    std::condition_variable m_changed;
    enum class State { Starting, Running, Failed } m_state = State::Starting;
    QString m_reason;
};

} // namespace morvane::ctrlsim
