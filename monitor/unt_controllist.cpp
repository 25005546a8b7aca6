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

const TDeviceList::Entry* TDeviceList::findLocked(const QString& id, uint8_t kind) const {
    if (id.isEmpty())
        return nullptr;
    for (const Entry& entry : m_list) {
        if (entry.kind == kind && entry.id == id)
            return &entry;
    }
    return nullptr;
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
