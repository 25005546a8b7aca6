#include "unt_controllist.h"

#include <QtGlobal>

#include <algorithm>

namespace morvane::monitor {

uint16_t monitorPort() {
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("MORVANE_MONITOR_PORT", &ok);
    return ok && port > 0 && port <= 65535 ? uint16_t(port) : kMonitorPort;
}

TDevice::TDevice() = default;
TDevice::~TDevice() = default;

void TDevice::SetConnection(const platform::Variant& connection) {
    std::lock_guard lock(m_mutex);
    m_connection = connection;
}

platform::Variant TDevice::Connection() const {
    std::lock_guard lock(m_mutex);
    return m_connection;
}

void TDevice::SetID(const QString& id) {
    std::lock_guard lock(m_mutex);
    m_id = id;
}

QString TDevice::ID() const {
    std::lock_guard lock(m_mutex);
    return m_id;
}

void TDevice::SetOwner(const std::weak_ptr<TDeviceList>& owner) {
    std::lock_guard lock(m_mutex);
    m_owner = owner;
}

std::shared_ptr<TDeviceList> TDevice::Owner() const {
    std::lock_guard lock(m_mutex);
    return m_owner.lock();
}

QByteArray TDevice::Buffer() const {
    std::lock_guard lock(m_mutex);
    return QByteArray(reinterpret_cast<const char*>(m_buffer.data()), qsizetype(m_buffer.size()));
}

bool TDevice::sendBuffer(int size, QString* error) const {
    const std::shared_ptr<TDeviceList> owner = m_owner.lock();
    if (!owner) {
        if (error)
            *error = QStringLiteral("the device belongs to no registry");
        return false;
    }
    return owner->UDPClient().send(reinterpret_cast<const char*>(m_buffer.data()), size, error);
}

void TNetworkLock::SetIP(const QString& ip) {
    std::lock_guard lock(m_mutex);
    m_ip = ip;
}

QString TNetworkLock::IP() const {
    std::lock_guard lock(m_mutex);
    return m_ip;
}

void TNetworkLock::SetMonitorRecord(const LockMonitorRecord& record) {
    std::lock_guard lock(m_mutex);
    m_monitorRecord = record;
}

LockMonitorRecord TNetworkLock::MonitorRecord() const {
    std::lock_guard lock(m_mutex);
    return m_monitorRecord;
}

bool TNetworkLock::SendMonitorRecord(QString* error) {
    std::lock_guard lock(m_mutex);
    m_buffer.fill(0);
    writeLockDatagram(m_monitorRecord, m_buffer.data());
    return sendBuffer(kLockDatagramSize, error);
}

void TNetworkSwitch::SetSwitchStatus(const SwitchStatusRecord& status) {
    std::lock_guard lock(m_mutex);
    m_switchStatus = status;
}

SwitchStatusRecord TNetworkSwitch::SwitchStatus() const {
    std::lock_guard lock(m_mutex);
    return m_switchStatus;
}

bool TNetworkSwitch::SendSwitchStatus(QString* error) {
    std::lock_guard lock(m_mutex);
    writeSwitchDatagram(m_switchStatus, m_buffer.data());
    return sendBuffer(kSwitchDatagramSize, error);
}

TDeviceList::TDeviceList()
    : m_udpClient(monitorPort()) {}

TDeviceList::~TDeviceList() = default;

namespace {

bool sameId(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

const TDeviceList::Entry* TDeviceList::findLocked(const QString& id, uint8_t kind) const {
    if (id.isEmpty())
        return nullptr;
    for (const Entry& entry : m_list) {
        if (entry.kind == kind && sameId(entry.id, id))
            return &entry;
    }
    return nullptr;
}

TDeviceList::Registration::Registration(std::shared_ptr<TDeviceList> list, std::shared_ptr<Attempt> attempt)
    : m_list(std::move(list))
    , m_attempt(std::move(attempt)) {}

TDeviceList::Registration::~Registration() {
    end(std::nullopt);
}

void TDeviceList::Registration::Finish(int32_t status) {
    end(status);
}

void TDeviceList::Registration::end(std::optional<int32_t> status) {
    if (!m_attempt)
        return;
    m_list->endAttempt(m_attempt, status);
    m_attempt.reset();
}

void TDeviceList::endAttempt(const std::shared_ptr<Attempt>& attempt, std::optional<int32_t> status) {
    {
        std::lock_guard lock(m_attemptsMutex);
        attempt->ended = true;
        attempt->status = status;
        m_attempts.removeOne(attempt);
    }
    m_attemptEnded.notify_all();
}

TDeviceList::Claim TDeviceList::Register(const TDevice& probe, std::chrono::milliseconds timeout) {
    const QString id = probe.ID();
    const uint8_t kind = probe.Kind();
    Claim claim;
    if (id.isEmpty()) {
        // Nothing finds a device without ID, so nothing can wait for one either.
        claim.state = Claim::State::Connect;
        claim.registration = std::make_unique<Registration>(shared_from_this(), nullptr);
        return claim;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_attemptsMutex);
    for (;;) {
        // An attempt adds its device before it ends, so with the attempts' lock held a controller is
        // either in the list or still being connected.
        if (DevicePtr found = Find(probe)) {
            claim.state = Claim::State::Registered;
            claim.device = std::move(found);
            return claim;
        }
        const auto running = std::find_if(m_attempts.cbegin(), m_attempts.cend(), [&](const auto& attempt) {
            return attempt->kind == kind && sameId(attempt->id, id);
        });
        if (running == m_attempts.cend()) {
            auto attempt = std::make_shared<Attempt>();
            attempt->id = id;
            attempt->kind = kind;
            m_attempts.append(attempt);
            claim.state = Claim::State::Connect;
            claim.registration = std::make_unique<Registration>(shared_from_this(), std::move(attempt));
            return claim;
        }
        const std::shared_ptr<Attempt> other = *running;
        if (!m_attemptEnded.wait_until(lock, deadline, [&] { return other->ended; })) {
            claim.state = Claim::State::Busy;
            return claim;
        }
        if (other->status) {
            claim.state = Claim::State::Shared;
            claim.status = *other->status;
            return claim;
        }
        // Given up without an outcome: look again, and make an attempt of its own if nobody else has.
    }
}

bool TDeviceList::Add(const DevicePtr& device) {
    if (!device)
        return false;
    const QString id = device->ID();
    const uint8_t kind = device->Kind();
    std::unique_lock lock(m_mutex);
    if (findLocked(id, kind))
        return false;
    if (std::any_of(m_list.cbegin(), m_list.cend(), [&](const Entry& entry) { return entry.device == device; }))
        return false;
    device->SetOwner(weak_from_this());
    m_list.append(Entry{id, kind, device});
    return true;
}

DevicePtr TDeviceList::Find(const TDevice& probe) const {
    const QString id = probe.ID();
    const uint8_t kind = probe.Kind();
    std::shared_lock lock(m_mutex);
    const Entry* entry = findLocked(id, kind);
    return entry ? entry->device : DevicePtr();
}

void TDeviceList::Clear() {
    QList<Entry> released;
    {
        std::unique_lock lock(m_mutex);
        released.swap(m_list);
    }
    // The last references may go here, outside the lock: a device's destruction never needs the list.
}

int TDeviceList::Count() const {
    std::shared_lock lock(m_mutex);
    return int(m_list.size());
}

DevicePtr TDeviceList::Items(int index) const {
    std::shared_lock lock(m_mutex);
    if (index < 0 || index >= m_list.size())
        return {};
    return m_list.at(index).device;
}

void TDeviceList::Remove(const TDevice* device) {
    DevicePtr released; // freed after the lock is let go
    std::unique_lock lock(m_mutex);
    const auto at = std::find_if(m_list.begin(), m_list.end(),
                                 [device](const Entry& entry) { return entry.device.get() == device; });
    if (at == m_list.end())
        return;
    released = at->device;
    m_list.erase(at);
}

} // namespace morvane::monitor
