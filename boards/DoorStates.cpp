#include "DoorStates.h"

#include "BoardFinder.h"

#include "Automation.h"
#include "BoardProtocol.h"
#include "CallRights.h"
#include "ControllerProtocol.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>

#include <algorithm>
#include <vector>

namespace morvane::boards {

namespace {

using platform::AutomationError;
namespace hr = platform::hr;
namespace bp = boardproto;

const QString kMonitoring = QStringLiteral("atn_scanallcontrol");
constexpr int kBoardDoors = 4;

struct Probe {
    const DeviceAddress* device = nullptr;
    QString mac; // normalised; empty when the table's is no MAC
    QHostAddress address;
    std::optional<bool> monitored; // the scan's last visit
    enum class Step { Find, Status, Done } step = Step::Find;
    uint32_t serial = 0;   // a board's, once it has answered "get controller"
    uint32_t sequence = 0; // of the TestControl sent to a lock
    QString kind;
    QJsonArray doors;
};

bool sameMac(const QString& text, const QString& mac) {
    const auto normalised = ctrlproto::normaliseMac(text);
    return normalised && *normalised == mac;
}

} // namespace

QJsonArray readDoorStates(const QList<DeviceAddress>& devices, const MonitorLink& monitor, int waitMs) {
    std::vector<Probe> probes(size_t(std::min<qsizetype>(devices.size(), kMaxDevices)));
    for (size_t i = 0; i < probes.size(); ++i) {
        Probe& probe = probes[i];
        probe.device = &devices[qsizetype(i)];
        probe.mac = ctrlproto::normaliseMac(probe.device->mac).value_or(QString());
        const QString ip = probe.device->ip.trimmed();
        if (ctrlproto::isValidIPv4(ip))
            probe.address = QHostAddress(ip);
        if (monitor && !probe.mac.isEmpty())
            probe.monitored = monitor(probe.mac);
        // Nothing to ask: no address, or the scan has just seen it fail (it would only wait out the time).
        if (probe.mac.isEmpty() || probe.address.isNull() || probe.monitored == false)
            probe.step = Probe::Step::Done;
    }
    QUdpSocket socket;
    const bool bound = socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    const uint32_t session = QRandomGenerator::system()->generate();
    uint32_t sequence = 0;
    const auto send = [&](Probe& probe) {
        if (probe.step == Probe::Step::Find) {
            socket.writeDatagram(bp::request(bp::fn::GetController, 0), probe.address, bp::kPort);
            ctrlproto::Request hello;
            hello.session = session;
            // The same number on every attempt: a late answer to the first still counts.
            if (probe.sequence == 0)
                probe.sequence = ++sequence;
            hello.sequence = probe.sequence;
            hello.mac = probe.mac;
            hello.method = QStringLiteral("TestControl");
            const int port = probe.device->port > 0 && probe.device->port < 65536 ? probe.device->port : 2008;
            socket.writeDatagram(ctrlproto::encodeRequest(hello), probe.address, quint16(port));
        } else if (probe.step == Probe::Step::Status) {
            socket.writeDatagram(bp::request(bp::fn::GetStatus, probe.serial), probe.address, bp::kPort);
        }
    };
    const auto received = [&](const QNetworkDatagram& datagram) {
        const QByteArray data = datagram.data();
        const QHostAddress from(datagram.senderAddress().toIPv4Address());
        const auto header = datagram.senderPort() == bp::kPort ? bp::peekHeader(data) : std::nullopt;
        const bool board = header.has_value();
        const uint8_t function = board ? header->function : 0;
        const uint32_t serial = board ? header->serial : 0;
        for (Probe& probe : probes) {
            if (probe.step == Probe::Step::Done || probe.address != from)
                continue;
            if (board && function == bp::fn::GetController && probe.step == Probe::Step::Find) {
                const auto values = bp::decode(*bp::layoutFor(bp::fn::GetController, true), data);
                if (!values || !sameMac(values->value(QStringLiteral("macaddress")), probe.mac))
                    continue;
                probe.serial = values->value(QStringLiteral("controller")).toUInt();
                probe.step = Probe::Step::Status;
                send(probe);
                return;
            }
            if (board && function == bp::fn::GetStatus && probe.step == Probe::Step::Status && serial == probe.serial) {
                const auto values = bp::decode(*bp::layoutFor(bp::fn::GetStatus, true), data);
                if (!values)
                    continue;
                probe.kind = QStringLiteral("board");
                for (int door = 1; door <= kBoardDoors; ++door)
                    probe.doors.append(
                        QJsonObject{{QStringLiteral("door"), door},
                                    {QStringLiteral("open"),
                                     values->value(QStringLiteral("door%1open").arg(door)) == QLatin1String("true")}});
                probe.step = Probe::Step::Done;
                return;
            }
            if (!board && probe.step == Probe::Step::Find) {
                const auto reply = ctrlproto::decodeReply(data);
                if (!reply || reply->session != session || reply->sequence != probe.sequence ||
                    !sameMac(reply->mac, probe.mac))
                    continue;
                // A lock tells nothing of its doors: answering is all.
                probe.kind = QStringLiteral("lock");
                probe.step = Probe::Step::Done;
                return;
            }
        }
    };

    const QDeadlineTimer deadline(std::clamp(waitMs, 1, kDoorStateWaitMs));
    const auto pending = [&] {
        return std::any_of(probes.begin(), probes.end(), [](const Probe& p) { return p.step != Probe::Step::Done; });
    };
    QElapsedTimer sinceSent;
    while (bound && pending() && !deadline.hasExpired()) {
        if (!sinceSent.isValid() || sinceSent.elapsed() >= kResendMs) {
            for (Probe& probe : probes)
                send(probe);
            sinceSent.start();
        }
        const qint64 wait = std::min<qint64>(deadline.remainingTime(), kResendMs - sinceSent.elapsed());
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(int(std::max<qint64>(1, wait))))
            continue;
        while (socket.hasPendingDatagrams())
            received(socket.receiveDatagram(ctrlproto::kMaxFrameBytes));
    }

    QJsonArray states;
    for (const Probe& probe : probes) {
        const bool answered = !probe.kind.isEmpty();
        // Up when it answered now, or when the scan saw it answer; told by the scan when it said nothing now.
        const bool fromMonitor = !answered && probe.monitored.has_value();
        QJsonObject state{{QStringLiteral("id"), probe.device->id},
                          {QStringLiteral("name"), probe.device->name},
                          {QStringLiteral("mac"), probe.device->mac},
                          {QStringLiteral("ip"), probe.device->ip},
                          {QStringLiteral("link"),
                           answered || probe.monitored == true ? QStringLiteral("up") : QStringLiteral("down")},
                          {QStringLiteral("from"), fromMonitor ? QStringLiteral("monitor") : QStringLiteral("device")},
                          {QStringLiteral("doors"), probe.doors}};
        if (answered)
            state.insert(QStringLiteral("kind"), probe.kind);
        states.append(state);
    }
    return states;
}

DoorStateGuard::DoorStateGuard(DeviceReader devices, MonitorLink monitor,
                               std::unique_ptr<platform::rpc::ConnectionGuard> inner)
    : LayeredGuard(std::move(inner))
    , m_devices(std::move(devices))
    , m_monitor(std::move(monitor)) {}

platform::rpc::GuardFactory DoorStateGuard::factory(DeviceReader devices, MonitorLink monitor,
                                                    platform::rpc::GuardFactory inner) {
    return platform::rpc::layeredFactory<DoorStateGuard>(std::move(inner), std::move(devices), std::move(monitor));
}

std::optional<QJsonObject> DoorStateGuard::handle(const QString& method, const QJsonValue& params) {
    return handleOwn(QLatin1String("DoorStates"), method, params, [&] {
        requireBrowse(kMonitoring, method);
        QString why;
        const std::optional<QList<DeviceAddress>> devices =
            m_devices ? m_devices(&why) : std::optional<QList<DeviceAddress>>();
        if (!devices)
            throw AutomationError(hr::E_FAIL, QStringLiteral("DoorStates: the device table cannot be read: ") + why);
        QElapsedTimer clock;
        clock.start();
        const QJsonArray states = readDoorStates(*devices, m_monitor);
        return QJsonObject{{QStringLiteral("hresult"), hr::S_OK},
                           {QStringLiteral("devices"), states},
                           {QStringLiteral("truncated"), devices->size() > kMaxDevices},
                           {QStringLiteral("ms"), clock.elapsed()}};
    });
}

} // namespace morvane::boards
