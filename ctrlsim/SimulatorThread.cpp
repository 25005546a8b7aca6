#include "SimulatorThread.h"

namespace morvane::ctrlsim {

SimulatorThread::SimulatorThread() {
    m_thread.setObjectName(QStringLiteral("ctrlsim"));
    m_context.moveToThread(&m_thread);
}

SimulatorThread::~SimulatorThread() {
    stop();
}

bool SimulatorThread::start(const QJsonObject& config, QString* error) {
    stop();
    m_thread.start();
    bool started = false;
    QString reason;
    QMetaObject::invokeMethod(
        &m_context,
        [&]() {
            m_simulator = std::make_unique<Simulator>();
            started = m_simulator->start(config, &reason);
        },
        Qt::BlockingQueuedConnection);
    if (!started) {
        if (error)
            *error = reason;
        stop();
    }
    return started;
}

void SimulatorThread::stop() {
    if (!m_thread.isRunning())
        return;
    if (m_simulator) {
        QMetaObject::invokeMethod(
            &m_context, [this]() { m_simulator.reset(); }, Qt::BlockingQueuedConnection);
    }
    m_thread.quit();
    m_thread.wait();
}

quint16 SimulatorThread::controlPort() const {
    return m_simulator ? m_simulator->controlPort() : 0;
}

QString SimulatorThread::ptyPath(const QString& mac) const {
    return m_simulator ? m_simulator->ptyPath(mac) : QString();
}

QJsonObject SimulatorThread::command(const QJsonObject& message) {
    if (!m_simulator)
        return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), QStringLiteral("not running")}};
    return m_simulator->control(message);
}

} // namespace morvane::ctrlsim
