#pragma once

#include "IcmpEcho.h"
#include "unt_controllist.h"

#include <QHash>
#include <QSet>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace morvane::monitor {

// Pacing of the scan.
constexpr int kStepMs = 200;
constexpr int kLinkCheckDelayMs = 1000;
constexpr int kEchoTimeoutMs = 1000;
constexpr int kSwitchRetryMs = 100;
constexpr int kSwitchAttempts = 3;
// Stored records read per visit of a lock that has some to collect: the step's pacing of the other devices
// barely moves, and a long backlog is still read in a few seconds.
constexpr int kCollectPerVisit = 32;

// Result codes of the lock-communication component as the scan reads them.
constexpr int32_t kResultNormal = 0;
constexpr int32_t kResultTimedOut = 4;
constexpr int32_t kResultNoNewData = 37;
constexpr int32_t kResultNoRecord = 3;          // COMifReadRecord: no stored record left
constexpr int32_t kResultComponentFirst = 1001; // the component's own statuses (no reply, no connection...)

// Switch status values of the switch status datagram.
constexpr uint8_t kSwitchUnreachable = 1;
constexpr uint8_t kSwitchAnswered37 = 2;
constexpr uint8_t kSwitchOtherAnswer = 3;

// What a visit produced, besides its datagram: told to the scan's observer (the event stream).
struct ScanReport {
    // LinkDown: a lock stopped answering (kept for now); LinkUp: it answers again.
    enum class Kind { LockRecord, SwitchStatus, LinkLost, LinkDown, LinkUp };
    Kind kind = Kind::LockRecord;
    bool stored = false; // a LockRecord collected from the lock's stored records, not its real-time one
    QString id;          // the device's ID (a MAC address)
    QString ip;          // a lock's
    QString recordText;
    LockMonitorRecord record;
    SwitchStatusRecord status;
    qint64 serverMs = 0; // when the scan had it, ms since the epoch
};

// The background thread that visits the registry's devices one per step and relays their state as
// datagrams. Created suspended (create()); the first Resume starts the thread. The running thread
// holds a reference to its own object, so the object is freed when its procedure ends once the
// creator has let go of its reference (after Terminate, as the main window does), and never while
// the procedure still runs.
//
// Threads: Execute runs on the thread itself; Resume, Suspend, Terminate and SetDeviceList are called
// from the main window and the remote-service threads. m_mutex guards m_started, m_suspended,
// m_terminated, m_inStep, m_finished and m_deviceList; m_wake signals every change of them. The thread
// holds m_mutex only to read or change these flags, never during a step.
class TScanAllControls : public std::enable_shared_from_this<TScanAllControls> {
    struct Passkey {};

public:
    // `echo` replaces the ICMP client (tests); by default an ICMP echo with a 1000 ms time-out.
    static std::shared_ptr<TScanAllControls> create(std::unique_ptr<platform::EchoProbe> echo = {});
    TScanAllControls(Passkey, std::unique_ptr<platform::EchoProbe> echo);
    ~TScanAllControls();
    TScanAllControls(const TScanAllControls&) = delete;
    TScanAllControls& operator=(const TScanAllControls&) = delete;

    // The registry to scan, shared: it stays alive until the thread's last step is over.
    void SetDeviceList(std::shared_ptr<TDeviceList> deviceList);
    std::shared_ptr<TDeviceList> DeviceList() const;
    platform::EchoProbe& IcmpClient() { return *m_icmpClient; }
    int32_t LastResult() const { return m_lastResult.load(); }

    // Starts the thread the first time, later lets a suspended one go on.
    void Resume();
    // Takes effect between steps only: returns once the thread is not inside a step, so the caller may
    // change the registry at once. Returns at once when called from the thread itself.
    void Suspend();
    bool Suspended() const;
    // Asks the procedure to end; it notices within one step (also during the waits of a link check or
    // of the switch attempts).
    void Terminate();
    bool Terminated() const;
    // Waits up to `timeoutMs` for the procedure to end; true when it has ended or never started.
    bool WaitFinished(int timeoutMs) const;
    // Steps completed so far (each visited or passed over one device, or found the registry empty).
    quint64 Steps() const { return m_steps.load(); }
    // Told every record, switch status and link change on the scanning thread; it must not block (it hands
    // them on through a bounded queue). While one is set, a lock's stored records are collected when it is
    // first visited and whenever it answers again after failing: they were kept while nobody read them.
    // Clearing it waits for a stored record being read to reach it, so that none read is lost.
    using Observer = std::function<void(const ScanReport&)>;
    void SetObserver(Observer observer);
    // Whether the lock with this ID (a MAC, in any case) answered at its last visit; nullopt when the scan has
    // not visited it since it came, or has dropped it. Any thread.
    std::optional<bool> LinkSeen(const QString& id) const;
    // Whether stored records are collected at all (default on). Reading them moves the lock's own read
    // position, so the server leaves them alone where another program stores the log rows.
    void SetCollectStored(bool on) { m_collectStored.store(on); }

private:
    void Execute();
    enum class StepStart { Go, Parked, Stop };
    // Sleeps, waking early only for termination; false when termination was requested.
    bool pause(int milliseconds);
    StepStart beginStep();
    void endStep();
    void step(TDeviceList& list, int& position);
    void lockProcedure(TDeviceList& list, const std::shared_ptr<TNetworkLock>& lock);
    void switchProcedure(const std::shared_ptr<TNetworkSwitch>& networkSwitch);
    // Reads up to kCollectPerVisit stored records of the lock and reports them: Done once none is left,
    // NotNow when the lock did not answer (its link is checked as usual) or nobody observes.
    enum class Collect { Done, More, NotNow };
    Collect collectStored(const std::shared_ptr<TNetworkLock>& lock, const platform::Variant& connection);
    void linkChanged(const std::shared_ptr<TNetworkLock>& lock, bool answering);

    std::unique_ptr<platform::EchoProbe> m_icmpClient;
    std::atomic<int32_t> m_lastResult{0}; // written only by the thread
    std::atomic<quint64> m_steps{0};
    bool m_echoRightsReported = false; // thread only
    // Thread only, by lock ID: whether it answered at its last visit, and those whose stored records have
    // been collected since.
    QHash<QString, bool> m_answering;
    QSet<QString> m_collected;
    // What LinkSeen tells, by upper-case ID: written by the scanning thread, read by the remote-service threads.
    mutable std::mutex m_seenMutex; // guards m_seen
    QHash<QString, bool> m_seen;
    std::atomic<bool> m_collectStored{true}; // set by the main thread, read by the scanning thread
    // Held while a stored record is read and reported, and by SetObserver: a record the lock has handed
    // over is always told (the scanning thread, and whoever sets the observer).
    std::mutex m_storedMutex;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
    bool m_started = false;
    bool m_suspended = true;
    bool m_terminated = false;
    bool m_inStep = false;
    bool m_finished = false;
    std::thread::id m_threadId;
    std::shared_ptr<TDeviceList> m_deviceList;
    std::shared_ptr<const Observer> m_observer; // guarded by m_mutex; copied by the thread for each report
    void report(const ScanReport& report);
};

} // namespace morvane::monitor
