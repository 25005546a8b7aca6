#pragma once

#include "JsonRpc.h"

#include <QJsonArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace morvane::boards {

// A device of the device table, as the door states are asked of it.
struct DeviceAddress {
    int id = 0;
    QString name;
    QString ip;
    QString mac;
    int port = 2008; // a network lock's; a board answers on 60000
};

// Whether the scan saw the device with this MAC answer at its last visit; nullopt when it does not monitor it.
using MonitorLink = std::function<std::optional<bool>(const QString& mac)>;
// The device table (nullopt and *error when it cannot be read).
using DeviceReader = std::function<std::optional<QList<DeviceAddress>>(QString* error)>;

// The whole read is over within this long, however many devices do not answer; a request unanswered is sent
// again after kResendMs.
inline constexpr int kDoorStateWaitMs = 2000;
inline constexpr int kResendMs = 400;
inline constexpr int kMaxDevices = 512;

// Every device's link and doors, asked of all of them at once from one socket: a board's "get controller"
// (serial 0, to find its serial number and check its MAC) then "get status", and a network lock's
// TestControl, whichever answers with the device's MAC. A device the scan saw failing at its last visit is
// not asked; one it saw answering is up even if it says nothing now. Each: {"id", "name", "mac", "ip",
// "link": "up"/"down", "kind": "board"/"lock" (absent when none answered), "from": "monitor"/"device",
// "doors": [{"door", "open"}] (a board's four; empty where the device does not tell)}.
QJsonArray readDoorStates(const QList<DeviceAddress>& devices, const MonitorLink& monitor,
                          int waitMs = kDoorStateWaitMs);

// The protocol's DoorStates, for an operator with browse on real-time monitoring (atn_scanallcontrol): the
// devices of the device table only, never an address of the client's. Every other method goes to the inner
// guard.
class DoorStateGuard : public platform::rpc::LayeredGuard {
public:
    DoorStateGuard(DeviceReader devices, MonitorLink monitor, std::unique_ptr<platform::rpc::ConnectionGuard> inner);
    static platform::rpc::GuardFactory factory(DeviceReader devices, MonitorLink monitor,
                                               platform::rpc::GuardFactory inner);

    std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) override;

private:
    const DeviceReader m_devices;
    const MonitorLink m_monitor;
};

} // namespace morvane::boards
