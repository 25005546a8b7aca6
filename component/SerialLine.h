#pragma once

#include "ControllerProtocol.h"
#include "Exchange.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace morvane::kestrova {

// One open serial port (a tty in raw mode), on which frames travel one per line. Several component
// objects may hold the same line (every switch on it, and the client calls that share a switch's
// object): m_exchangeMutex lets one exchange at a time use it, from whatever thread.
class SerialLine {
public:
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Opens the device in raw mode; nullptr with *error set when it cannot be opened or is no tty.
    static std::unique_ptr<SerialLine> open(const QString& path, QString* error);

    const QString& path() const { return m_path; }
    bool broken() const { return m_broken.load(); }

    // Sends the request and waits for its reply (same session and sequence, and expectedMac unless
    // empty), resending as `timing` says. Returns 0 with *reply filled, LineBusy when another exchange
    // held the line for the whole time-out, LineError when the line fails, NoReply after the attempts.
    int32_t exchange(const ctrlproto::Request& request, const Timing& timing, const QString& expectedMac,
                     ctrlproto::Reply* reply);

private:
    SerialLine(QString path, int fd);
    // Reads what is there into m_pending; false when the line has failed or hung up.
    bool readAvailable(int waitMs);

    const QString m_path;
    const int m_fd;
    std::atomic<bool> m_broken{false};
    // One exchange at a time, waited for with a bound: m_busy says the line is taken (guarded by
    // m_stateMutex); whoever holds it owns m_pending. Any calling thread.
    std::mutex m_stateMutex;
    std::condition_variable m_released;
    bool m_busy = false;
    QByteArray m_pending;
};

// The process-wide table of open serial ports by handle, as ComifSerialPortHandle hands them out.
// Opening a port that is already open (and not broken) gives its existing handle. m_mutex guards both
// maps; any thread.
class SerialPorts {
public:
    static SerialPorts& instance();

    // The device path for a 1-based port number: MORVANE_KESTROVA_SERIAL_PATTERN with {n} replaced by
    // the number and {n-1} by the number minus one; default "/dev/ttyS{n-1}".
    static QString devicePath(int portNumber);

    // A handle (> 0) for the port, or 0 with *error set.
    int32_t open(int portNumber, QString* error);
    std::shared_ptr<SerialLine> find(int32_t handle) const;

private:
    mutable std::mutex m_mutex;
    std::map<int32_t, std::shared_ptr<SerialLine>> m_byHandle;
    std::map<QString, int32_t> m_handleByPath;
    int32_t m_nextHandle = 1;
};

} // namespace morvane::kestrova
