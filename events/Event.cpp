#include "Event.h"

#include "LocalTime.h"
#include "Rights.h"
#include "unt_ScanAllControls.h"

#include <QDateTime>
#include <QJsonDocument>

namespace morvane::events {

namespace {

QString hexOf(const uint8_t* bytes, int size) {
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bytes), size).toHex().toUpper());
}

// C1..C6 of a long record: yy MM dd HH mm ss. Empty when they make no moment.
QString controllerTime(const std::array<uint8_t, 6>& c) {
    const QDateTime moment(QDate(2000 + c[0], c[1], c[2]), QTime(c[3], c[4], c[5]));
    return moment.isValid() ? moment.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) : QString();
}

QString switchText(uint8_t status) {
    switch (status) {
    case monitor::kSwitchUnreachable:
        return QStringLiteral("unreachable");
    case monitor::kSwitchAnswered37:
        return QStringLiteral("answered 37");
    default:
        return QStringLiteral("answered");
    }
}

QByteArray withoutStaff(QJsonObject object) {
    if (!object.contains(QStringLiteral("staffNo")) && !object.contains(QStringLiteral("staffName")))
        return {};
    object.remove(QStringLiteral("staffNo"));
    object.remove(QStringLiteral("staffName"));
    QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    json.squeeze();
    return json;
}

} // namespace

QStringList eventKinds() {
    return {kSwipe, kDoor, kStatus, kSwitch, kLink, kCommand, kDelta, kLogon};
}

QString timeText(qint64 msSinceEpoch) {
    return platform::localTimeText(msSinceEpoch);
}

EventPtr makeStored(const Event& event, quint64 seq) {
    auto stored = std::make_shared<StoredEvent>();
    stored->seq = seq;
    stored->serverMs = event.serverMs;
    stored->kind = event.kind;
    stored->module = event.module;
    stored->lock = event.lock.toUpper();
    stored->door = event.door;
    QJsonObject object = event.fields;
    object.insert(QStringLiteral("seq"), static_cast<qint64>(seq));
    object.insert(QStringLiteral("kind"), event.kind);
    object.insert(QStringLiteral("time"), timeText(event.serverMs));
    object.insert(QStringLiteral("ms"), event.serverMs);
    if (!event.module.isEmpty())
        object.insert(QStringLiteral("module"), event.module);
    if (!event.lock.isEmpty())
        object.insert(QStringLiteral("lock"), event.lock);
    if (event.door > 0)
        object.insert(QStringLiteral("door"), event.door);
    stored->json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // The ring keeps 100,000 of them: no room to spare in each.
    stored->json.squeeze();
    stored->jsonWithoutStaff = withoutStaff(object);
    return stored;
}

EventPtr parseStored(const QByteArray& json) {
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    const qint64 seq = object.value(QStringLiteral("seq")).toInteger(0);
    if (seq <= 0 || !object.value(QStringLiteral("kind")).isString())
        return nullptr;
    auto stored = std::make_shared<StoredEvent>();
    stored->seq = quint64(seq);
    stored->serverMs = object.value(QStringLiteral("ms")).toInteger(0);
    stored->kind = object.value(QStringLiteral("kind")).toString();
    stored->module = object.value(QStringLiteral("module")).toString();
    stored->lock = object.value(QStringLiteral("lock")).toString().toUpper();
    stored->door = object.value(QStringLiteral("door")).toInt(0);
    stored->json = json;
    stored->json.squeeze();
    stored->jsonWithoutStaff = withoutStaff(object);
    return stored;
}

std::optional<Event> fromScan(const monitor::ScanReport& report) {
    using Kind = monitor::ScanReport::Kind;
    Event event;
    event.lock = report.id;
    event.module = kMonitoringModule;
    event.serverMs = report.serverMs;
    switch (report.kind) {
    case Kind::LinkLost:
        event.kind = kLink;
        event.fields = {{QStringLiteral("ip"), report.ip},
                        {QStringLiteral("state"), QStringLiteral("lost")},
                        {QStringLiteral("text"), QStringLiteral("the lock stopped answering and was dropped")}};
        return event;
    case Kind::LinkDown:
    case Kind::LinkUp: {
        const bool up = report.kind == Kind::LinkUp;
        event.kind = kLink;
        event.fields = {{QStringLiteral("ip"), report.ip},
                        {QStringLiteral("state"), up ? QStringLiteral("up") : QStringLiteral("down")},
                        {QStringLiteral("text"),
                         up ? QStringLiteral("the lock answers again") : QStringLiteral("the lock does not answer")}};
        return event;
    }
    case Kind::SwitchStatus: {
        const monitor::SwitchStatusRecord& s = report.status;
        event.kind = kSwitch;
        event.fields = {{QStringLiteral("status"), s.status},
                        {QStringLiteral("text"), switchText(s.status)},
                        {QStringLiteral("card"), hexOf(s.cardBytes.data(), 4)},
                        {QStringLiteral("circuitry1"), s.circuitry1},
                        {QStringLiteral("circuitry2"), s.circuitry2},
                        {QStringLiteral("alarmState"), s.alarmState},
                        {QStringLiteral("mcState"), s.mcState}};
        return event;
    }
    case Kind::LockRecord:
        break;
    }
    const monitor::LockMonitorRecord& r = report.record;
    event.fields = {{QStringLiteral("ip"), report.ip},
                    {QStringLiteral("record"), report.recordText},
                    {QStringLiteral("unit"), hexOf(r.unitBytes.data(), 4)}};
    // Read from what the lock kept while nobody read it, not as it happened.
    if (report.stored)
        event.fields.insert(QStringLiteral("collected"), true);
    if (r.recordForm == monitor::kShortRecordForm) {
        event.kind = kStatus;
        event.fields.insert(QStringLiteral("code"), r.tailByte);
        event.fields.insert(QStringLiteral("text"),
                            QStringLiteral("status %1").arg(r.tailByte, 2, 16, QLatin1Char('0')));
        return event;
    }
    const quint32 card = (quint32(r.dataBytes[0]) << 24) | (quint32(r.dataBytes[1]) << 16) |
                         (quint32(r.dataBytes[2]) << 8) | quint32(r.dataBytes[3]);
    event.door = r.byteA;
    event.kind = r.leadByte == 1 ? kSwipe : kDoor;
    event.fields.insert(QStringLiteral("card"), static_cast<qint64>(card));
    event.fields.insert(QStringLiteral("cardHex"), hexOf(r.dataBytes.data(), 4));
    event.fields.insert(QStringLiteral("result"), r.byteB);
    event.fields.insert(QStringLiteral("lead"), r.leadByte);
    event.fields.insert(QStringLiteral("controllerTime"), controllerTime(r.bytesC));
    if (event.kind == kSwipe)
        event.fields.insert(QStringLiteral("text"),
                            r.byteB == 0 ? QStringLiteral("let through") : QStringLiteral("refused (%1)").arg(r.byteB));
    else
        event.fields.insert(QStringLiteral("text"), QStringLiteral("event %1 (%2)").arg(r.leadByte).arg(r.byteB));
    return event;
}

std::optional<Event> fromAudit(const QJsonObject& line) {
    const QString method = line.value(QStringLiteral("method")).toString();
    const QString outcome = line.value(QStringLiteral("outcome")).toString();
    const QJsonObject details = line.value(QStringLiteral("details")).toObject();
    Event event;
    event.serverMs = QDateTime::currentMSecsSinceEpoch();
    event.fields = {{QStringLiteral("operator"), line.value(QStringLiteral("operator"))},
                    {QStringLiteral("address"), line.value(QStringLiteral("address"))},
                    {QStringLiteral("method"), method},
                    {QStringLiteral("outcome"), outcome}};
    if (method == QLatin1String("Logon") || method == QLatin1String("Logoff") ||
        method == QLatin1String("ChangePassword")) {
        event.kind = kLogon;
        event.module = QStringLiteral("atn_sys_a");
        event.fields.insert(QStringLiteral("text"), outcome == QLatin1String("locked")
                                                        ? QStringLiteral("locked out")
                                                        : QStringLiteral("%1 %2").arg(method, outcome));
        return event;
    }
    if (method == QLatin1String("AS_ApplyUpdates")) {
        const auto rule = security::providerRule(details.value(QStringLiteral("provider")).toString());
        event.kind = kDelta;
        event.module = !rule                                                 ? security::kRightsModule
                       : rule->kind == security::ProviderRule::Administrator ? security::kRightsModule
                       : rule->kind == security::ProviderRule::Dictionary    ? QString()
                                                                             : rule->module;
        for (const char* key : {"provider", "table", "changes", "applied", "errorCount", "reason"}) {
            if (details.contains(QLatin1String(key)))
                event.fields.insert(QLatin1String(key), details.value(QLatin1String(key)));
        }
        return event;
    }
    const auto rule = security::methodRule(method);
    if (!rule || rule->kind != security::MethodRule::Module)
        return std::nullopt;
    event.kind = kCommand;
    event.module = rule->module;
    // The lock as the remote object names it: "MAC IP".
    const QString lock = details.value(QStringLiteral("lock")).toString();
    event.lock = lock.section(QLatin1Char(' '), 0, 0);
    event.door = details.value(QStringLiteral("door")).toString().toInt();
    for (const char* key : {"status", "reason"}) {
        if (details.contains(QLatin1String(key)))
            event.fields.insert(QLatin1String(key), details.value(QLatin1String(key)));
    }
    if (lock.contains(QLatin1Char(' ')))
        event.fields.insert(QStringLiteral("ip"), lock.section(QLatin1Char(' '), 1));
    return event;
}

} // namespace morvane::events
