#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>

namespace morvane::platform {

// Sends one state line ("READY=1", "WATCHDOG=1") to the service manager that started this process, when it
// asked for them ($NOTIFY_SOCKET); false when none asked or the line could not be sent.
bool notifyServiceManager(const QByteArray& message);

// How often to ping the service manager's watchdog: half the interval it set for this process
// ($WATCHDOG_USEC, for $WATCHDOG_PID when given), so that one late ping is not yet fatal; zero when it set
// none.
std::chrono::milliseconds watchdogPingInterval();

// Pings the watchdog from the event loop of the thread it lives in: a loop that hangs stops the pings, and
// the service manager ends and restarts the process.
//
// Threads: made, started and destroyed on one thread, whose loop runs its timer.
class WatchdogPinger : public QObject {
public:
    explicit WatchdogPinger(QObject* parent = nullptr);
    // Starts pinging when the service manager asked for it; false (doing nothing) otherwise.
    bool start();

private:
    QTimer m_timer;
};

} // namespace morvane::platform
