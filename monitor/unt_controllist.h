#pragma once

#include "MonitorRecords.h"
#include "UdpSender.h"
#include "Variant.h"

#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>

namespace morvane::monitor {

class TDeviceList;

// Device kinds: the client's message mode minus one.
enum DeviceKind : uint8_t {
    kNetworkLock = 0,
    kPlainDevice = 1,
    kNetworkSwitch = 2,
};

// The UDP port of the local listener; MORVANE_MONITOR_PORT (1..65535) points tests elsewhere.
constexpr uint16_t kMonitorPort = 7800;
uint16_t monitorPort();

// A monitored controller. Shared ownership: the registry, the scanning thread in the middle of a visit
// and any client that still refers to the device each hold a std::shared_ptr, so a device that leaves
// the registry is freed when the last of them lets go.
//
// Threads: created and configured by a remote-service thread (BegScanControl) or a test; read and sent
// by the scanning thread; its Connection copied by other remote-service threads (OpenCon). m_mutex
// guards every field below except the atomics; it is held only while a field is read or written or a
// datagram is built and handed to the socket, never across a component call. Lock order: the
// registry's lock may be held when a device's lock is taken, never the other way round.
class TDevice {
public:
    TDevice();
    virtual ~TDevice();
    TDevice(const TDevice&) = delete;
    TDevice& operator=(const TDevice&) = delete;

    void SetActive(bool active) { m_active.store(active); }
    bool Active() const { return m_active.load(); }
    void SetKind(uint8_t kind) { m_kind.store(kind); }
    uint8_t Kind() const { return m_kind.load(); }
    void SetConnection(const platform::Variant& connection);
    platform::Variant Connection() const; // a copy of the variant: the same component object
    void SetID(const QString& id);
    QString ID() const;
    void SetOwner(const std::weak_ptr<TDeviceList>& owner);
    std::shared_ptr<TDeviceList> Owner() const; // null once the list is gone
    QByteArray Buffer() const;                  // a copy of the 256-byte send buffer

protected:
    // Hands the first `size` bytes of the buffer to the owner's sender. Called with m_mutex held.
    bool sendBuffer(int size, QString* error) const;

    mutable std::mutex m_mutex;
    std::array<uint8_t, 256> m_buffer{};

private:
    std::atomic<bool> m_active{false};
    std::atomic<uint8_t> m_kind{0};
    platform::Variant m_connection;
    QString m_id;
    std::weak_ptr<TDeviceList> m_owner;
};

using DevicePtr = std::shared_ptr<TDevice>;

// A door controller reached over the network.
class TNetworkLock : public TDevice {
public:
    TNetworkLock() = default;
    void SetIP(const QString& ip);
    QString IP() const;
    void SetMonitorRecord(const LockMonitorRecord& record);
    LockMonitorRecord MonitorRecord() const;
    // Builds the 22-byte lock monitor datagram in a zeroed buffer and sends it; false when not sent.
    bool SendMonitorRecord(QString* error = nullptr);

private:
    QString m_ip;
    LockMonitorRecord m_monitorRecord;
};

// A power switch with two circuits, reached over a serial line.
class TNetworkSwitch : public TDevice {
public:
    TNetworkSwitch() = default;
    void SetSwitchStatus(const SwitchStatusRecord& status);
    SwitchStatusRecord SwitchStatus() const;
    // Writes the 16-byte switch status datagram into the buffer and sends it; false when not sent.
    bool SendSwitchStatus(QString* error = nullptr);

private:
    SwitchStatusRecord m_switchStatus;
};

// The process's one registry of monitored controllers, with the sender of their datagrams. Create it
// with std::make_shared: devices refer back to it weakly, so one that outlives the list sends nothing.
// IDs are MAC addresses, which name the same controller in either case: entries match without regard
// to case.
//
// Threads: the scanning thread (Count, Items, Remove), the remote-service threads (Register, Add, Find,
// Clear) and the main window thread (creation, release). m_mutex guards List: look-ups (Find, Count,
// Items) take it shared, changes (Add, Remove, Clear) exclusively, each for its whole length, so every
// operation is atomic with respect to all others; it is never held while a component is called or a
// datagram is sent. An entry is matched by the ID and kind its device had when it was added (kept
// beside it, so that a look-up touches no device lock): set them before Add. m_attemptsMutex guards
// the registrations under way; lock order: m_attemptsMutex, then m_mutex.
class TDeviceList : public std::enable_shared_from_this<TDeviceList> {
    struct Attempt;

public:
    TDeviceList();
    ~TDeviceList();
    TDeviceList(const TDeviceList&) = delete;
    TDeviceList& operator=(const TDeviceList&) = delete;

    // One caller's attempt to connect a controller and add it. Ends when it goes: callers that waited
    // for it take the status given to Finish, or, when it went without one (the caller failed), one of
    // them makes its own attempt.
    class Registration {
    public:
        Registration(std::shared_ptr<TDeviceList> list, std::shared_ptr<Attempt> attempt);
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        // Call after the device has been added (or has failed): waiting callers take `status`.
        void Finish(int32_t status);

    private:
        void end(std::optional<int32_t> status);
        std::shared_ptr<TDeviceList> m_list;
        std::shared_ptr<Attempt> m_attempt; // null for a device without ID, which nobody waits for
    };

    // What Register found for a controller.
    struct Claim {
        enum class State {
            Registered, // in the registry: `device`
            Connect,    // this caller connects it: `registration`, finished once the device is added
            Shared,     // another caller's attempt, under way when this one came, ended with `status`
            Busy,       // another caller's attempt did not end within the time-out
        };
        State state = State::Busy;
        DevicePtr device;
        std::unique_ptr<Registration> registration;
        int32_t status = 0;
    };
    // Makes sure one caller at a time connects a controller (the probe's ID and kind): the first comes
    // back to connect it, those that come while it does wait, up to `timeout`, and share its outcome.
    // Look-up and claim are one step with respect to the end of other attempts.
    Claim Register(const TDevice& probe, std::chrono::milliseconds timeout);

    // Appends the device and makes this list its owner, unless Find matches it (then nothing happens
    // and false is returned). Find and append are one step, so two threads cannot both add a match.
    bool Add(const DevicePtr& device);
    // The first entry with the probe's ID (in any case) and kind; a probe with an empty ID finds nothing.
    DevicePtr Find(const TDevice& probe) const;
    // Empties the list. The devices are not closed; each is freed once nothing else holds it.
    void Clear();
    int Count() const;
    DevicePtr Items(int index) const; // null when the index is outside the list
    // Takes this very object out of the list (a device that is not in it changes nothing); it is freed
    // once nothing else holds it.
    void Remove(const TDevice* device);

    const platform::UdpSender& UDPClient() const { return m_udpClient; }

private:
    struct Entry {
        QString id;
        uint8_t kind;
        DevicePtr device;
    };
    struct Attempt {
        QString id;
        uint8_t kind = 0;
        bool ended = false;
        std::optional<int32_t> status; // none: given up without an outcome
    };
    const Entry* findLocked(const QString& id, uint8_t kind) const;
    void endAttempt(const std::shared_ptr<Attempt>& attempt, std::optional<int32_t> status);

    const platform::UdpSender m_udpClient;
    mutable std::shared_mutex m_mutex;
    QList<Entry> m_list; // guarded by m_mutex
    std::mutex m_attemptsMutex;
    std::condition_variable m_attemptEnded;     // an attempt has ended
    QList<std::shared_ptr<Attempt>> m_attempts; // guarded by m_attemptsMutex, as are their fields
};

} // namespace morvane::monitor
