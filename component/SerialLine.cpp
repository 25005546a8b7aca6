#include "SerialLine.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace morvane::kestrova {

using namespace ctrlproto;
using Clock = std::chrono::steady_clock;

SerialLine::SerialLine(QString path, int fd)
    : m_path(std::move(path))
    , m_fd(fd) {}

SerialLine::~SerialLine() {
    ::close(m_fd);
}

std::unique_ptr<SerialLine> SerialLine::open(const QString& path, QString* error) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        *error = QStringLiteral("%1: not a serial line").arg(path);
        ::close(fd);
        return nullptr;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        *error = QStringLiteral("%1: cannot set raw mode").arg(path);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<SerialLine>(new SerialLine(path, fd));
}

bool SerialLine::readAvailable(int waitMs) {
    pollfd waiting{m_fd, POLLIN, 0};
    int ready = ::poll(&waiting, 1, waitMs);
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    if (waiting.revents & (POLLERR | POLLNVAL))
        return false;
    char chunk[1024];
    for (;;) {
        const ssize_t got = ::read(m_fd, chunk, sizeof chunk);
        if (got > 0) {
            m_pending.append(chunk, static_cast<qsizetype>(got));
            // A line longer than any frame is noise: keep only what may still start a frame.
            if (m_pending.size() > 2 * kMaxFrameBytes && !m_pending.contains('\n'))
                m_pending.clear();
            continue;
        }
        if (got == 0)
            return !(waiting.revents & POLLHUP);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return !(waiting.revents & POLLHUP) || !m_pending.isEmpty();
        if (errno == EINTR)
            continue;
        return false; // EIO: the other end of the line went away
    }
}

int32_t SerialLine::exchange(const Request& request, const Timing& timing, const QString& expectedMac, Reply* reply) {
    if (m_broken)
        return status::LineError;
    {
        std::unique_lock lock(m_stateMutex);
        if (!m_released.wait_for(lock, std::chrono::milliseconds(timing.totalMs()), [this]() { return !m_busy; }))
            return status::LineBusy;
        m_busy = true;
    }
    struct Release {
        SerialLine* line;
        ~Release() {
            {
                std::lock_guard lock(line->m_stateMutex);
                line->m_busy = false;
            }
            line->m_released.notify_one();
        }
    } release{this};
    // What is left over belongs to exchanges that have given up.
    m_pending.clear();
    ::tcflush(m_fd, TCIFLUSH);

    QByteArray frame = encodeRequest(request);
    frame.append('\n');
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        qsizetype written = 0;
        while (written < frame.size()) {
            const ssize_t put = ::write(m_fd, frame.constData() + written, static_cast<size_t>(frame.size() - written));
            if (put > 0) {
                written += put;
                continue;
            }
            if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd waiting{m_fd, POLLOUT, 0};
                if (::poll(&waiting, 1, timing.attemptMs) <= 0) {
                    m_broken = true;
                    return status::LineError;
                }
                continue;
            }
            m_broken = true;
            return status::LineError;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timing.attemptMs);
        for (;;) {
            qsizetype end;
            while ((end = m_pending.indexOf('\n')) >= 0) {
                const QByteArray line = m_pending.left(end);
                m_pending.remove(0, end + 1);
                auto decoded = decodeReply(line.trimmed());
                if (!decoded || decoded->session != request.session || decoded->sequence != request.sequence)
                    continue;
                if (decoded->error.isEmpty() && !expectedMac.isEmpty() && normaliseMac(decoded->mac) != expectedMac)
                    continue;
                *reply = std::move(*decoded);
                return reply->error.isEmpty() ? status::Ok : status::Refused;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            if (!readAvailable(static_cast<int>(left) + 1)) {
                m_broken = true;
                return status::LineError;
            }
        }
    }
    return status::NoReply;
}

SerialPorts& SerialPorts::instance() {
    static SerialPorts ports;
    return ports;
}

QString SerialPorts::devicePath(int portNumber) {
    QString pattern = qEnvironmentVariable("MORVANE_KESTROVA_SERIAL_PATTERN");
    if (pattern.isEmpty())
        pattern = QStringLiteral("/dev/ttyS{n-1}");
    pattern.replace(QLatin1String("{n-1}"), QString::number(portNumber - 1));
    pattern.replace(QLatin1String("{n}"), QString::number(portNumber));
    return pattern;
}

int32_t SerialPorts::open(int portNumber, QString* error) {
    if (portNumber < 1) {
        *error = QStringLiteral("no serial port %1").arg(portNumber);
        return 0;
    }
    const QString path = devicePath(portNumber);
    std::lock_guard lock(m_mutex);
    const auto known = m_handleByPath.find(path);
    if (known != m_handleByPath.end()) {
        const auto line = m_byHandle.find(known->second);
        if (line != m_byHandle.end() && !line->second->broken())
            return known->second;
        // A failed line is opened afresh; its holders keep the old one until they reconnect.
        if (line != m_byHandle.end())
            m_byHandle.erase(line);
        m_handleByPath.erase(known);
    }
    std::shared_ptr<SerialLine> line = SerialLine::open(path, error);
    if (!line)
        return 0;
    const int32_t handle = m_nextHandle++;
    m_byHandle.emplace(handle, std::move(line));
    m_handleByPath.emplace(path, handle);
    return handle;
}

std::shared_ptr<SerialLine> SerialPorts::find(int32_t handle) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_byHandle.find(handle);
    return found == m_byHandle.end() ? nullptr : found->second;
}

} // namespace morvane::kestrova
