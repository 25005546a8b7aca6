#include "ServiceManager.h"

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace morvane::platform {

bool notifyServiceManager(const QByteArray& message) {
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    if (path.isEmpty() || path.size() >= qsizetype(sizeof(sockaddr_un::sun_path)))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    // An abstract socket is named with '@' in the environment and a zero byte on the wire.
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    const ssize_t sent = ::sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL | MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return sent == message.size();
}

std::chrono::milliseconds watchdogPingInterval() {
    bool ok = false;
    const qulonglong usec = qEnvironmentVariable("WATCHDOG_USEC").toULongLong(&ok);
    if (!ok || usec == 0)
        return std::chrono::milliseconds(0);
    // The variables are inherited: a child that the server starts must not ping for it.
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != qint64(::getpid()))
        return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<qulonglong>(1, usec / 2000));
}

WatchdogPinger::WatchdogPinger(QObject* parent)
    : QObject(parent) {
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [] { notifyServiceManager(QByteArrayLiteral("WATCHDOG=1")); });
}

bool WatchdogPinger::start() {
    const std::chrono::milliseconds interval = watchdogPingInterval();
    if (interval.count() == 0 || qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        return false;
    m_timer.start(interval);
    return true;
}

} // namespace morvane::platform
