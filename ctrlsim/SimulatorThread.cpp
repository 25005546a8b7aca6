#include "SimulatorThread.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

namespace morvane::ctrlsim {

SimulatorThread::~SimulatorThread() {
    stop();
}

bool SimulatorThread::start(const QJsonObject& config, QString* error) {
    stop();
    if (::pipe2(m_wake, O_CLOEXEC) != 0) {
        if (error)
            *error = QStringLiteral("cannot make a pipe");
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_state = State::Starting;
        m_reason.clear();
    }
    m_thread = std::thread([this, config]() { run(config); });
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this]() { return m_state != State::Starting; });
    if (m_state == State::Running)
        return true;
    if (error)
        *error = m_reason;
    lock.unlock();
    stop();
    return false;
}

void SimulatorThread::run(const QJsonObject& config) {
    QEventLoop loop;
    auto simulator = std::make_unique<Simulator>();
    QString reason;
    const bool started = simulator->start(config, &reason);
    if (started)
        m_simulator = std::move(simulator);
    else
        simulator.reset();
    QSocketNotifier wake(m_wake[0], QSocketNotifier::Read);
    QObject::connect(&wake, &QSocketNotifier::activated, &loop, [this, &loop]() {
        // Reading the byte is what orders the owner's last use before this thread's clean-up.
        char byte = 0;
        (void)::read(m_wake[0], &byte, 1);
        loop.quit();
    });
    {
        std::lock_guard lock(m_mutex);
        m_state = started ? State::Running : State::Failed;
        m_reason = reason;
    }
    m_changed.notify_all();
    if (!started)
        return;
    loop.exec();
    m_simulator.reset();
}

void SimulatorThread::stop() {
    if (m_thread.joinable()) {
        const char byte = 1;
        (void)::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    for (int& fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
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

QJsonArray SimulatorThread::takeLog(const QString& mac) {
    return command({{QStringLiteral("cmd"), QStringLiteral("log")},
                    {QStringLiteral("mac"), mac},
                    {QStringLiteral("clear"), true}})
        .value(QStringLiteral("log"))
        .toArray();
}

} // namespace morvane::ctrlsim
