#include "BoardFinder.h"

#include "Automation.h"
#include "BoardProtocol.h"
#include "CallRights.h"
#include "ProfileFile.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QSet>
#include <QUdpSocket>

#include <algorithm>

namespace morvane::boards {

namespace {

using platform::AutomationError;
namespace hr = platform::hr;
namespace bp = boardproto;

const QString kDevices = QStringLiteral("atn_base_controls");

} // namespace

FinderSettings readFinderSettings(const QString& systemInfoPath) {
    const platform::ProfileFile ini(systemInfoPath);
    FinderSettings settings;
    const QHostAddress address(
        ini.readString(QStringLiteral("Boards"), QStringLiteral("Broadcast"), QString()).trimmed());
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        settings.address = address;
    const int port = ini.readInteger(QStringLiteral("Boards"), QStringLiteral("Port"), settings.port);
    if (port > 0 && port < 65536)
        settings.port = quint16(port);
    settings.waitMs =
        std::clamp(ini.readInteger(QStringLiteral("Boards"), QStringLiteral("Wait"), settings.waitMs), 100, kMaxWaitMs);
    return settings;
}

QJsonArray findBoards(const FinderSettings& settings, QString* error) {
    QJsonArray boards;
    QUdpSocket socket;
    const QByteArray request = bp::request(bp::fn::GetController, 0);
    if (!socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0) ||
        socket.writeDatagram(request, settings.address, settings.port) != request.size()) {
        if (error)
            *error = QStringLiteral("cannot send to %1:%2: %3")
                         .arg(settings.address.toString())
                         .arg(settings.port)
                         .arg(socket.errorString());
        return boards;
    }
    const bp::Layout* layout = bp::layoutFor(bp::fn::GetController, true);
    QSet<QString> seen;
    const QDeadlineTimer deadline(std::min(settings.waitMs, kMaxWaitMs));
    while (!deadline.hasExpired() && boards.size() < kMaxBoards) {
        if (!socket.hasPendingDatagrams() &&
            !socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            continue;
        while (socket.hasPendingDatagrams() && boards.size() < kMaxBoards) {
            const QNetworkDatagram datagram = socket.receiveDatagram(bp::kFrameBytes + 1);
            const auto values = layout ? bp::decode(*layout, datagram.data()) : std::nullopt;
            if (!values || seen.contains(values->value(QStringLiteral("controller"))))
                continue; // not a board's answer, or one heard already
            seen.insert(values->value(QStringLiteral("controller")));
            boards.append(
                QJsonObject{{QStringLiteral("serial"), values->value(QStringLiteral("controller")).toLongLong()},
                            {QStringLiteral("ip"), values->value(QStringLiteral("ipaddress"))},
                            {QStringLiteral("subnetMask"), values->value(QStringLiteral("subnetmask"))},
                            {QStringLiteral("gateway"), values->value(QStringLiteral("gateway"))},
                            {QStringLiteral("mac"), values->value(QStringLiteral("macaddress"))},
                            {QStringLiteral("version"), values->value(QStringLiteral("version"))},
                            {QStringLiteral("date"), values->value(QStringLiteral("date"))},
                            {QStringLiteral("from"), datagram.senderAddress().toString()}});
        }
    }
    return boards;
}

void requireBrowse(const QString& module, const QString& method) {
    if (const std::shared_ptr<const provider::CallRights> rights = provider::CallRights::current()) {
        const QString why = rights->refusalOnModule(module, provider::Right::Browse);
        if (!why.isEmpty()) {
            rights->audit(method, QStringLiteral("refused"), {{QStringLiteral("reason"), why}});
            throw AutomationError(hr::E_ACCESSDENIED, why);
        }
    }
}

BoardGuard::BoardGuard(FinderSettings settings, std::unique_ptr<platform::rpc::ConnectionGuard> inner)
    : LayeredGuard(std::move(inner))
    , m_settings(settings) {}

platform::rpc::GuardFactory BoardGuard::factory(FinderSettings settings, platform::rpc::GuardFactory inner) {
    return platform::rpc::layeredFactory<BoardGuard>(std::move(inner), settings);
}

std::optional<QJsonObject> BoardGuard::handle(const QString& method, const QJsonValue& params) {
    return handleOwn(QLatin1String("FindBoards"), method, params, [&] {
        requireBrowse(kDevices, method);
        QString why;
        const QJsonArray boards = findBoards(m_settings, &why);
        if (!why.isEmpty())
            throw AutomationError(hr::E_FAIL, QStringLiteral("FindBoards: ") + why);
        return QJsonObject{{QStringLiteral("hresult"), hr::S_OK},
                           {QStringLiteral("address"), m_settings.address.toString()},
                           {QStringLiteral("boards"), boards}};
    });
}

} // namespace morvane::boards
