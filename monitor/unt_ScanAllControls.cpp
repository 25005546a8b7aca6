#include "unt_ScanAllControls.h"

#include "Automation.h"
#include "KestrovaAdapter.h"

#include <QDateTime>
#include <QLoggingCategory>

#include <chrono>

#include <pthread.h>

namespace morvane::monitor {

Q_LOGGING_CATEGORY(lcScan, "morvane.monitor.scan")

using platform::Variant;

std::shared_ptr<TScanAllControls> TScanAllControls::create(std::unique_ptr<platform::EchoProbe> echo) {
    return std::make_shared<TScanAllControls>(Passkey{}, std::move(echo));
}

TScanAllControls::TScanAllControls(Passkey, std::unique_ptr<platform::EchoProbe> echo)
    : m_icmpClient(std::move(echo)) {
    if (!m_icmpClient) {
        auto icmp = std::make_unique<platform::IcmpEcho>();
        icmp->setReceiveTimeout(kEchoTimeoutMs);
        m_icmpClient = std::move(icmp);
    }
}

// Runs on the scanning thread itself when its procedure let go of the last reference, or on the
// creator's thread for a thread that never started or had already ended: nothing to wait for.
TScanAllControls::~TScanAllControls() = default;

void TScanAllControls::SetDeviceList(std::shared_ptr<TDeviceList> deviceList) {
    std::lock_guard lock(m_mutex);
    m_deviceList = std::move(deviceList);
}

std::shared_ptr<TDeviceList> TScanAllControls::DeviceList() const {
    std::lock_guard lock(m_mutex);
    return m_deviceList;
}

void TScanAllControls::SetObserver(Observer observer) {
    std::lock_guard stored(m_storedMutex);
    std::lock_guard lock(m_mutex);
    m_observer = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
}

void TScanAllControls::report(const ScanReport& report) {
    std::shared_ptr<const Observer> observer;
    {
        std::lock_guard lock(m_mutex);
        observer = m_observer;
    }
    if (observer)
        (*observer)(report);
}

void TScanAllControls::Resume() {
    std::lock_guard lock(m_mutex);
    m_suspended = false;
    m_wake.notify_all();
    if (!m_started) {
        m_started = true;
        // The thread keeps its object alive until the procedure has ended.
        std::thread([self = shared_from_this()] {
            pthread_setname_np(pthread_self(), "morvane-scan");
            self->Execute();
            std::lock_guard lock(self->m_mutex);
            self->m_finished = true;
            self->m_wake.notify_all();
        }).detach();
    }
}

void TScanAllControls::Suspend() {
    std::unique_lock lock(m_mutex);
    m_suspended = true;
    if (m_started && !m_finished && m_threadId == std::this_thread::get_id())
        return;
    m_wake.wait(lock, [this] { return !m_inStep; });
}

bool TScanAllControls::Suspended() const {
    std::lock_guard lock(m_mutex);
    return m_suspended;
}

void TScanAllControls::Terminate() {
    std::lock_guard lock(m_mutex);
    m_terminated = true;
    m_wake.notify_all();
}

bool TScanAllControls::WaitFinished(int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_started || m_finished; });
}

bool TScanAllControls::Terminated() const {
    std::lock_guard lock(m_mutex);
    return m_terminated;
}

bool TScanAllControls::pause(int milliseconds) {
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_terminated; });
}

TScanAllControls::StepStart TScanAllControls::beginStep() {
    std::unique_lock lock(m_mutex);
    if (m_terminated)
        return StepStart::Stop;
    if (m_suspended) {
        m_wake.wait(lock, [this] { return !m_suspended || m_terminated; });
        return m_terminated ? StepStart::Stop : StepStart::Parked;
    }
    m_inStep = true;
    return StepStart::Go;
}

void TScanAllControls::endStep() {
    std::lock_guard lock(m_mutex);
    m_inStep = false;
    m_wake.notify_all();
}

void TScanAllControls::Execute() {
    {
        std::lock_guard lock(m_mutex);
        m_threadId = std::this_thread::get_id();
    }
    int position = 0;
    const std::shared_ptr<TDeviceList> list = DeviceList();
    while (!Terminated()) {
        if (!pause(kStepMs))
            break;
        const StepStart start = beginStep();
        if (start == StepStart::Stop)
            break;
        if (start == StepStart::Parked)
            continue; // resumed: wait a full step before the next visit
        if (list)
            step(*list, position);
        ++m_steps;
        endStep();
    }
}

void TScanAllControls::step(TDeviceList& list, int& position) {
    if (list.Count() == 0)
        return;
    if (position >= list.Count())
        position = 0;
    // Held for the whole visit: a device that another thread removes meanwhile stays valid until here.
    const DevicePtr device = list.Items(position);
    if (device && device->Active()) {
        if (device->Kind() == kNetworkLock) {
            if (auto lock = std::dynamic_pointer_cast<TNetworkLock>(device))
                lockProcedure(list, lock);
        } else if (device->Kind() == kNetworkSwitch) {
            if (auto networkSwitch = std::dynamic_pointer_cast<TNetworkSwitch>(device))
                switchProcedure(networkSwitch);
        }
    }
    ++position;
    if (position >= list.Count())
        position = 0;
}

std::optional<bool> TScanAllControls::LinkSeen(const QString& id) const {
    std::lock_guard lock(m_seenMutex);
    const auto found = m_seen.constFind(id.toUpper());
    return found == m_seen.constEnd() ? std::nullopt : std::optional<bool>(*found);
}

void TScanAllControls::linkChanged(const std::shared_ptr<TNetworkLock>& lock, bool answering) {
    const bool before = m_answering.value(lock->ID(), true);
    m_answering.insert(lock->ID(), answering);
    {
        std::lock_guard seen(m_seenMutex);
        m_seen.insert(lock->ID().toUpper(), answering);
    }
    if (!answering)
        m_collected.remove(lock->ID()); // what it keeps meanwhile is collected when it is back
    if (before == answering)
        return;
    ScanReport change;
    change.kind = answering ? ScanReport::Kind::LinkUp : ScanReport::Kind::LinkDown;
    change.id = lock->ID();
    change.ip = lock->IP();
    change.serverMs = QDateTime::currentMSecsSinceEpoch();
    report(change);
}

TScanAllControls::Collect TScanAllControls::collectStored(const std::shared_ptr<TNetworkLock>& lock,
                                                          const Variant& connection) {
    for (int i = 0; i < kCollectPerVisit; ++i) {
        if (Terminated())
            return Collect::More;
        std::lock_guard held(m_storedMutex);
        {
            std::lock_guard flags(m_mutex);
            if (!m_observer)
                return Collect::NotNow; // nobody to hand them to: they stay on the lock
        }
        Variant record{QString()};
        int32_t code = 0;
        try {
            code = kestrova::COMifReadRecord(connection, record);
        } catch (const std::exception& failure) {
            qCWarning(lcScan) << "stored records of lock" << lock->ID()
                              << "cannot be read:" << QString::fromUtf8(failure.what());
            return Collect::Done;
        }
        if (code == kResultNoRecord)
            return Collect::Done;
        if (code != kResultNormal) {
            // A link that fails is found by the real-time fetch; a lock that keeps no records has none.
            return code == kResultTimedOut || code >= kResultComponentFirst ? Collect::NotNow : Collect::Done;
        }
        QString text;
        try {
            text = record.toText();
        } catch (const platform::AutomationError&) {
            continue;
        }
        const std::optional<LockMonitorRecord> decoded = decodeLockRecord(text);
        if (!decoded)
            continue;
        ScanReport stored;
        stored.kind = ScanReport::Kind::LockRecord;
        stored.stored = true;
        stored.id = lock->ID();
        stored.ip = lock->IP();
        stored.recordText = text;
        stored.record = *decoded;
        stored.serverMs = QDateTime::currentMSecsSinceEpoch();
        report(stored);
    }
    return Collect::More;
}

void TScanAllControls::lockProcedure(TDeviceList& list, const std::shared_ptr<TNetworkLock>& lock) {
    const Variant connection = lock->Connection();
    // A lock that answers and has not had its stored records collected since it was last seen failing (or
    // since the server started) gives them first, a few per visit, before its real-time ones.
    if (m_collectStored.load() && m_answering.value(lock->ID(), true) && !m_collected.contains(lock->ID())) {
        const Collect collected = collectStored(lock, connection);
        if (collected == Collect::More)
            return;
        if (collected == Collect::Done)
            m_collected.insert(lock->ID());
    }
    Variant record{QString()};
    int32_t code = 0;
    try {
        code = kestrova::ComifGetRealTimeMonitorRecord(connection, record);
    } catch (const std::exception& failure) {
        // A broken object says nothing about the controller's link; the lock is tried again next turn.
        qCWarning(lcScan) << "record fetch of lock" << lock->ID() << "failed:" << QString::fromUtf8(failure.what());
        return;
    }
    m_lastResult = code;

    linkChanged(lock, code == kResultNormal || code == kResultNoNewData);
    if (code != kResultNormal && code != kResultNoNewData) {
        if (!pause(kLinkCheckDelayMs))
            return; // termination: the lock is left as it is
        const platform::EchoOutcome echo = m_icmpClient->ping(lock->IP());
        if (echo.result == platform::EchoResult::CouldNotCheck) {
            // Without ICMP rights no lock could ever pass the check; keeping it is the safe choice.
            if (!m_echoRightsReported)
                qCWarning(lcScan) << "link check of lock" << lock->ID() << "at" << lock->IP()
                                  << "could not be made, the lock is kept:" << echo.detail;
            else
                qCDebug(lcScan) << "link check of lock" << lock->ID() << "could not be made:" << echo.detail;
            m_echoRightsReported = true;
        } else if (echo.result == platform::EchoResult::NoReply) {
            qCDebug(lcScan) << "lock" << lock->ID() << "at" << lock->IP() << "dropped:" << echo.detail;
            lock->SetActive(false);
            try {
                kestrova::ComifCloseConnection(connection);
            } catch (const std::exception& failure) {
                qCWarning(lcScan) << "closing lock" << lock->ID() << "failed:" << QString::fromUtf8(failure.what());
            }
            list.Remove(lock.get());
            m_answering.remove(lock->ID());
            m_collected.remove(lock->ID());
            {
                std::lock_guard seen(m_seenMutex);
                m_seen.remove(lock->ID().toUpper());
            }
            ScanReport lost;
            lost.kind = ScanReport::Kind::LinkLost;
            lost.id = lock->ID();
            lost.ip = lock->IP();
            lost.serverMs = QDateTime::currentMSecsSinceEpoch();
            report(lost);
            return;
        }
    }

    QString text;
    try {
        text = record.toText();
    } catch (const platform::AutomationError&) {
        return; // not a text: like a text of another length
    }
    const std::optional<LockMonitorRecord> decoded = decodeLockRecord(text);
    if (!decoded)
        return;
    lock->SetMonitorRecord(*decoded);
    QString error;
    if (!lock->SendMonitorRecord(&error))
        qCDebug(lcScan) << "datagram of lock" << lock->ID() << "not sent:" << error;
    ScanReport visit;
    visit.kind = ScanReport::Kind::LockRecord;
    visit.id = lock->ID();
    visit.ip = lock->IP();
    visit.recordText = text;
    visit.record = *decoded;
    visit.serverMs = QDateTime::currentMSecsSinceEpoch();
    report(visit);
}

void TScanAllControls::switchProcedure(const std::shared_ptr<TNetworkSwitch>& networkSwitch) {
    const Variant connection = networkSwitch->Connection();
    Variant cardNumber, circuitry1, circuitry2, mcState, alarmState;
    int32_t code = 0;
    for (int attempt = 0; attempt < kSwitchAttempts; ++attempt) {
        try {
            code = kestrova::ComifReadDeviceInfo(connection, cardNumber, circuitry1, circuitry2, mcState, alarmState);
        } catch (const std::exception& failure) {
            qCWarning(lcScan) << "device information of switch" << networkSwitch->ID()
                              << "failed:" << QString::fromUtf8(failure.what());
            return;
        }
        m_lastResult = code;
        if (code != kResultTimedOut)
            break;
        if (!pause(kSwitchRetryMs))
            return;
    }

    SwitchStatusRecord status;
    if (code == kResultTimedOut) {
        status.status = kSwitchUnreachable;
        networkSwitch->SetActive(false);
    } else if (code == kResultNoNewData) {
        status.status = kSwitchAnswered37;
    } else {
        status.status = kSwitchOtherAnswer;
    }

    QString cardText;
    try {
        cardText = cardNumber.toText();
    } catch (const platform::AutomationError&) {
        // Not convertible to text: treated like a card number of the wrong length.
    }
    if (cardText.size() != 8)
        cardText = QStringLiteral("00000000");
    const auto cardBytes = leadingHexBytes(cardText);
    const auto idBytes = leadingHexBytes(networkSwitch->ID());
    if (!cardBytes || !idBytes) {
        qCDebug(lcScan) << "status of switch" << networkSwitch->ID() << "dropped: card" << cardText
                        << "or ID is not 8 hex digits";
        return;
    }
    status.cardBytes = *cardBytes;
    status.idBytes = *idBytes;
    try {
        status.circuitry1 = uint8_t(circuitry1.toInt32() & 0xFF);
        status.circuitry2 = uint8_t(circuitry2.toInt32() & 0xFF);
        status.mcState = uint8_t(mcState.toInt32() & 0xFF);
        status.alarmState = uint8_t(alarmState.toInt32() & 0xFF);
    } catch (const std::exception& failure) {
        qCDebug(lcScan) << "status of switch" << networkSwitch->ID() << "dropped:" << QString::fromUtf8(failure.what());
        return;
    }
    networkSwitch->SetSwitchStatus(status);
    QString error;
    if (!networkSwitch->SendSwitchStatus(&error))
        qCDebug(lcScan) << "datagram of switch" << networkSwitch->ID() << "not sent:" << error;
    ScanReport switchReport;
    switchReport.kind = ScanReport::Kind::SwitchStatus;
    switchReport.id = networkSwitch->ID();
    switchReport.status = status;
    switchReport.serverMs = QDateTime::currentMSecsSinceEpoch();
    report(switchReport);
}

} // namespace morvane::monitor
