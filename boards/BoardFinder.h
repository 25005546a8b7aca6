#pragma once

#include "JsonRpc.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QString>

#include <memory>

namespace morvane::boards {

// Where the request goes and how long answers are taken: [Boards] of systeminfo.ini, Broadcast=ADDRESS
// (default 255.255.255.255; a subnet's broadcast address picks the interface), Port (60000), Wait (ms,
// 2000, at most 2500).
struct FinderSettings {
    QHostAddress address = QHostAddress(QHostAddress::Broadcast);
    quint16 port = 60000;
    int waitMs = 2000;
};
inline constexpr int kMaxWaitMs = 2500;
inline constexpr int kMaxBoards = 256;
FinderSettings readFinderSettings(const QString& systemInfoPath);

// Sends the get-device request to every board (serial 0) and collects the distinct answers until the wait
// is over (at most kMaxBoards): each {"serial", "ip", "subnetMask", "gateway", "mac", "version", "date"}.
// Empty, with *error, when the request cannot be sent.
QJsonArray findBoards(const FinderSettings& settings, QString* error = nullptr);

// The protocol's FindBoards, for an operator with browse on the devices (atn_base_controls); every other
// method goes to the inner guard.
class BoardGuard : public platform::rpc::LayeredGuard {
public:
    BoardGuard(FinderSettings settings, std::unique_ptr<platform::rpc::ConnectionGuard> inner);
    static platform::rpc::GuardFactory factory(FinderSettings settings, platform::rpc::GuardFactory inner);

    std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) override;

private:
    const FinderSettings m_settings;
};

// Throws E_ACCESSDENIED (and audits the refusal) unless the operator of the call in hand may browse
// `module`; a call without an operator (no log-on required) passes.
void requireBrowse(const QString& module, const QString& method);

} // namespace morvane::boards
