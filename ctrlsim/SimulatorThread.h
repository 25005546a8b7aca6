#pragma once

#include "Simulator.h"

#include <QJsonObject>
#include <QString>
#include <QThread>

#include <memory>

namespace morvane::ctrlsim {

// Runs a Simulator in a thread of its own, so that a caller may block on the component while the
// simulated controllers answer. Start and stop from one thread (the owner's); command() from any.
class SimulatorThread {
public:
    SimulatorThread();
    ~SimulatorThread();
    SimulatorThread(const SimulatorThread&) = delete;
    SimulatorThread& operator=(const SimulatorThread&) = delete;

    bool start(const QJsonObject& config, QString* error);
    void stop();

    quint16 controlPort() const;
    QString ptyPath(const QString& mac) const;
    QJsonObject command(const QJsonObject& message);
    Simulator* simulator() const { return m_simulator.get(); }

private:
    QThread m_thread;
    QObject m_context;                      // lives in m_thread: runs what must happen there
    std::unique_ptr<Simulator> m_simulator; // made, used and destroyed in m_thread
};

} // namespace morvane::ctrlsim
