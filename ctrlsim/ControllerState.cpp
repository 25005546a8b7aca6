#include "ControllerState.h"

#include "Automation.h"

#include <QDateTime>
#include <QJsonDocument>

namespace morvane::ctrlsim {

using namespace ctrlproto;
using platform::VarType;

namespace {

constexpr size_t kRecordLimit = 100000; // per queue: a controller's memory is finite too

QJsonArray encodeArgs(const VariantArray& args) {
    QJsonArray list;
    for (const Variant& arg : args)
        list.append(encodeVariant(arg));
    return list;
}

std::optional<int32_t> intOf(const Variant& value) {
    try {
        return value.toInt32();
    } catch (const platform::AutomationError&) {
        return std::nullopt;
    }
}

QString textOf(const Variant& value) {
    try {
        return value.toText();
    } catch (const platform::AutomationError&) {
        return {};
    }
}

QJsonObject failure(const QString& why) {
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}};
}
// The "records" member of a control command: a list of texts, each any text at all.
bool recordTexts(const QJsonObject& message, QStringList& records) {
    const QJsonValue value = message.value(QStringLiteral("records"));
    if (!value.isArray())
        return false;
    for (const QJsonValue& record : value.toArray()) {
        if (!record.isString())
            return false;
        records.append(record.toString());
    }
    return true;
}

QJsonObject success() {
    return {{QStringLiteral("ok"), true}};
}

} // namespace

bool ControllerState::configure(const QJsonObject& entry, QString* error) {
    const auto mac = normaliseMac(entry.value(QStringLiteral("mac")).toString());
    if (!mac) {
        *error = QStringLiteral("controller without a valid \"mac\"");
        return false;
    }
    m_mac = *mac;
    const QString kind = entry.value(QStringLiteral("kind")).toString(QStringLiteral("lock"));
    if (kind == QLatin1String("lock")) {
        m_kind = Kind::Lock;
    } else if (kind == QLatin1String("switch")) {
        m_kind = Kind::Switch;
    } else if (kind == QLatin1String("uhppote")) {
        m_kind = Kind::Board;
    } else {
        *error = QStringLiteral("%1: kind must be \"lock\", \"switch\" or \"uhppote\"").arg(m_mac);
        return false;
    }
    m_ip = entry.value(QStringLiteral("ip")).toString(QStringLiteral("127.0.0.1"));
    if (m_kind != Kind::Switch && (!isValidIPv4(m_ip) || !m_ip.startsWith(QLatin1String("127.")))) {
        *error = QStringLiteral("%1: ip must be a loopback address 127.x.x.x").arg(m_mac);
        return false;
    }
    const int port = entry.value(QStringLiteral("port")).toInt(m_kind == Kind::Board ? boardproto::kPort : 2008);
    if (port < 0 || port > 65535) {
        *error = QStringLiteral("%1: bad port").arg(m_mac);
        return false;
    }
    m_port = static_cast<quint16>(port);
    m_linkPath = entry.value(QStringLiteral("link")).toString();
    m_doors = entry.value(QStringLiteral("doors")).toInt(4);
    if (m_doors < 1 || m_doors > 64) {
        *error = QStringLiteral("%1: doors must be 1..64").arg(m_mac);
        return false;
    }
    if (m_kind == Kind::Board) {
        const double serial = entry.value(QStringLiteral("serial")).toDouble(0);
        if (serial < 1 || serial > 4294967295.0 || serial != static_cast<double>(static_cast<uint32_t>(serial))) {
            *error = QStringLiteral("%1: a board needs a \"serial\" 1..4294967295").arg(m_mac);
            return false;
        }
        if (m_doors > 4) {
            *error = QStringLiteral("%1: a board has 1..4 doors").arg(m_mac);
            return false;
        }
        m_board = std::make_unique<BoardState>(static_cast<uint32_t>(serial), m_mac, m_ip, m_doors);
        return true;
    }
    for (const QJsonValue& card : entry.value(QStringLiteral("cards")).toArray()) {
        const QJsonObject object = card.isObject() ? card.toObject() : QJsonObject{{QStringLiteral("card"), card}};
        m_cards[object.value(QStringLiteral("card")).toInt()] = object;
    }
    for (const QJsonValue& record : entry.value(QStringLiteral("records")).toArray())
        m_records.push_back(record.toString());
    return true;
}

QString ControllerState::swipeRecord(int32_t card, int door, int result) const {
    // Lead 01 (a swipe), the card in hex, door and result in decimal, the date and time yymmddhhmmss,
    // a tail of 00, then the last four bytes of the MAC as the unit.
    const QDateTime now = QDateTime::currentDateTime();
    QString text =
        QStringLiteral("01") + QStringLiteral("%1").arg(static_cast<uint32_t>(card), 8, 16, QLatin1Char('0')).toUpper();
    text += QStringLiteral("%1%2").arg(door % 100, 2, 10, QLatin1Char('0')).arg(result % 100, 2, 10, QLatin1Char('0'));
    text += now.toString(QStringLiteral("yyMMddHHmmss"));
    text += QStringLiteral("00");
    text += QString(m_mac).remove(QLatin1Char('-')).right(8);
    return text;
}

void ControllerState::pushRecord(const QString& text, bool stored) {
    m_realTime.push_back(text);
    if (m_realTime.size() > kRecordLimit)
        m_realTime.pop_front();
    if (stored) {
        m_records.push_back(text);
        if (m_records.size() > kRecordLimit)
            m_records.pop_front();
    }
}

bool ControllerState::doorInRange(const Variant& door) const {
    const auto number = intOf(door);
    return number && *number >= 1 && *number <= m_doors;
}

Reply ControllerState::answer(const Request& request) {
    Reply reply;
    reply.session = request.session;
    reply.sequence = request.sequence;
    reply.mac = m_mac;
    const MethodInfo* method = findMethod(request.method);
    const bool handshake = method && QLatin1String(method->name) == QLatin1String("COMifCreateConnection");
    if (!method) {
        reply.status = controllerStatus::UnknownMethod;
    } else if (request.args.size() != method->paramCount) {
        reply.error = QStringLiteral("%1 takes %2 arguments, not %3")
                          .arg(QLatin1String(method->name))
                          .arg(method->paramCount)
                          .arg(request.args.size());
    } else if (!handshake && normaliseMac(request.mac) != m_mac) {
        // A handshake is answered with this controller's MAC, so the caller learns whom it reached.
        reply.error = QStringLiteral("not addressed to this controller");
    } else {
        auto scripts = m_scripts.find(QString::fromLatin1(method->name).toLower());
        if (scripts != m_scripts.end() && !scripts->second.empty()) {
            Scripted& next = scripts->second.front();
            reply.status = next.status;
            reply.outputs = next.outputs;
            reply.result = next.result;
            if (next.times > 0 && --next.times == 0)
                scripts->second.pop_front();
            if (handshake && reply.status == 0 && normaliseMac(request.mac) == m_mac)
                m_connected = true;
        } else {
            reply = perform(request, *method);
            reply.session = request.session;
            reply.sequence = request.sequence;
            reply.mac = m_mac;
        }
        if (method->variantResult && reply.result.isEmpty())
            reply.result = Variant(reply.status);
    }

    QJsonObject entry{{QStringLiteral("mac"), m_mac},
                      {QStringLiteral("method"), request.method},
                      {QStringLiteral("args"), encodeArgs(request.args)},
                      {QStringLiteral("session"), static_cast<double>(request.session)},
                      {QStringLiteral("seq"), static_cast<double>(request.sequence)},
                      {QStringLiteral("status"), reply.error.isEmpty() ? QJsonValue(reply.status) : QJsonValue()}};
    if (!reply.error.isEmpty())
        entry.insert(QStringLiteral("error"), reply.error);
    if (request.clock)
        entry.insert(QStringLiteral("clock"), *request.clock);
    m_lastEntry = entry;
    // The arguments as they travelled (JSON variants): formatting a date through the local time zone
    // here would race with the callers' own clock reads inside the C library.
    QStringList args;
    for (const Variant& arg : request.args)
        args.append(QString::fromUtf8(QJsonDocument(QJsonArray{encodeVariant(arg)}).toJson(QJsonDocument::Compact))
                        .mid(1)
                        .chopped(1));
    m_lastLine =
        QStringLiteral("%1 %2(%3) -> %4")
            .arg(m_mac, request.method, args.join(QStringLiteral(", ")),
                 reply.error.isEmpty() ? QString::number(reply.status) : QStringLiteral("error: ") + reply.error);
    return reply;
}

Reply ControllerState::perform(const Request& request, const MethodInfo& method) {
    Reply reply;
    const VariantArray& a = request.args;
    const QString name = QLatin1String(method.name);
    auto stored = [&]() { m_settings.insert(name, encodeArgs(a)); };

    if (name == QLatin1String("COMifCreateConnection")) {
        // Asked for another MAC, the controller only tells whom the caller reached.
        m_connected = normaliseMac(request.mac) == m_mac;
    } else if (name == QLatin1String("COMifBegRealTimeMonitor")) {
        m_monitoring = true;
    } else if (name == QLatin1String("ComifCloseConnection")) {
        m_connected = false;
        m_monitoring = false;
    } else if (name == QLatin1String("ComifGetRealTimeMonitorRecord")) {
        QString text;
        if (!m_realTime.empty()) {
            text = m_realTime.front();
            m_realTime.pop_front();
        }
        reply.outputs.insert(0, Variant(text));
    } else if (name == QLatin1String("ComifReadDeviceInfo")) {
        if (!m_switchStatuses.empty()) {
            reply.status = m_switchStatuses.front();
            m_switchStatuses.pop_front();
        }
        reply.outputs.insert(0, Variant(m_switchCard));
        reply.outputs.insert(1, Variant(m_circuitry1));
        reply.outputs.insert(2, Variant(m_circuitry2));
        reply.outputs.insert(3, Variant(m_mcState));
        reply.outputs.insert(4, Variant(m_alarmState));
    } else if (name == QLatin1String("COMifReadRecord")) {
        if (m_records.empty()) {
            reply.status = controllerStatus::NotFound;
            reply.outputs.insert(0, Variant(QString()));
        } else {
            reply.outputs.insert(0, Variant(m_records.front()));
            m_archive.push_back(m_records.front());
            if (m_archive.size() > kRecordLimit)
                m_archive.pop_front();
            m_records.pop_front();
        }
    } else if (name == QLatin1String("COMifReadRecordCount")) {
        reply.outputs.insert(0, Variant(static_cast<int32_t>(m_records.size())));
    } else if (name == QLatin1String("ComifReadOldAllRecord")) {
        m_records.insert(m_records.begin(), m_archive.begin(), m_archive.end());
        m_archive.clear();
    } else if (name == QLatin1String("ComifSetUDPLinkInfo")) {
        m_linkInfo = QJsonObject{{QStringLiteral("serverIp"), textOf(a[1])},
                                 {QStringLiteral("controlIp"), textOf(a[2])},
                                 {QStringLiteral("subnetMask"), textOf(a[3])},
                                 {QStringLiteral("gateway"), textOf(a[4])},
                                 {QStringLiteral("port"), textOf(a[5])}};
    } else if (name == QLatin1String("ComifLoadLinkInfo")) {
        m_linkInfo = QJsonObject{{QStringLiteral("serverIp"), textOf(a[0])},
                                 {QStringLiteral("controlIp"), textOf(a[1])},
                                 {QStringLiteral("subnetMask"), textOf(a[2])},
                                 {QStringLiteral("gateway"), textOf(a[3])},
                                 {QStringLiteral("port"), textOf(a[4])}};
    } else if (name == QLatin1String("ComifAddCardNo")) {
        const auto card = intOf(a[0]);
        if (!card) {
            reply.status = controllerStatus::OutOfRange;
        } else {
            m_cards[*card] = QJsonObject{{QStringLiteral("card"), *card},
                                         {QStringLiteral("type"), encodeVariant(a[1])},
                                         {QStringLiteral("door"), encodeVariant(a[2])},
                                         {QStringLiteral("password"), encodeVariant(a[3])},
                                         {QStringLiteral("mode"), encodeVariant(a[4])},
                                         {QStringLiteral("userTime"), encodeVariant(a[5])},
                                         {QStringLiteral("begin"), encodeVariant(a[6])},
                                         {QStringLiteral("end"), encodeVariant(a[7])},
                                         {QStringLiteral("deadbolt"), encodeVariant(a[8])}};
        }
    } else if (name == QLatin1String("ComifDeleteCardNo")) {
        const auto card = intOf(a[0]);
        if (!card || m_cards.erase(*card) == 0)
            reply.status = controllerStatus::NotFound;
    } else if (name == QLatin1String("COMifAdjustDateTime")) {
        if (request.clock)
            m_clock = request.clock;
        else
            reply.status = controllerStatus::OutOfRange;
    } else if (name == QLatin1String("ComifRmtOpenDoor") || name == QLatin1String("ComifExigLongOpenDoor") ||
               name == QLatin1String("ComifCheckDoorMagnetism") || name == QLatin1String("ComifOpenDoorDelayTime")) {
        if (!doorInRange(a[0])) {
            reply.status = controllerStatus::OutOfRange;
        } else {
            if (name == QLatin1String("ComifRmtOpenDoor"))
                ++m_doorOpenCount[a[0].toInt32()];
            stored();
        }
    } else if (name == QLatin1String("ComifExigLongCloseDoor")) {
        if (!doorInRange(a[1]))
            reply.status = controllerStatus::OutOfRange;
        else
            stored();
    } else if (name == QLatin1String("ComifLoadPassword")) {
        m_passwords = QJsonObject{{QStringLiteral("master"), encodeVariant(a[0])},
                                  {QStringLiteral("common"), encodeVariant(a[1])},
                                  {QStringLiteral("intimidate"), encodeVariant(a[2])}};
    } else if (name == QLatin1String("ComifSetHoliday")) {
        m_holidays.append(encodeVariant(a[0]));
    } else if (name == QLatin1String("ComifCleHoliday")) {
        m_holidays = QJsonArray();
    } else if (name == QLatin1String("ComifInitializeControl")) {
        m_cards.clear();
        m_records.clear();
        m_archive.clear();
        m_holidays = QJsonArray();
        stored();
    } else {
        // Every other setting (save mode, each lock, alarms, groups, open times and modes...) is kept.
        stored();
    }
    return reply;
}

std::optional<QByteArray> ControllerState::answerBoard(const QByteArray& frame, QJsonObject* entry) {
    if (!m_board)
        return std::nullopt;
    auto reply = m_board->answer(frame, entry);
    if (reply) {
        m_lastEntry = *entry;
        m_lastLine =
            QStringLiteral("%1 %2(%3)")
                .arg(
                    m_mac, entry->value(QStringLiteral("method")).toString(),
                    QString::fromUtf8(
                        QJsonDocument(entry->value(QStringLiteral("args")).toObject()).toJson(QJsonDocument::Compact)));
    }
    return reply;
}

QJsonObject ControllerState::control(const QString& command, const QJsonObject& message) {
    if (m_board && command != QLatin1String("silent") && command != QLatin1String("delay")) {
        QJsonObject reply = m_board->control(command, message);
        if (command == QLatin1String("state")) {
            reply.insert(QStringLiteral("silent"), m_silent);
            reply.insert(QStringLiteral("delayMs"), m_delayMs);
        }
        return reply;
    }
    if (command == QLatin1String("script")) {
        const QString method = message.value(QStringLiteral("method")).toString();
        const MethodInfo* info = findMethod(method);
        if (!info)
            return failure(QStringLiteral("unknown method \"%1\"").arg(method));
        Scripted next;
        next.status = message.value(QStringLiteral("status")).toInt(0);
        const QJsonObject outputs = message.value(QStringLiteral("outputs")).toObject();
        for (auto it = outputs.constBegin(); it != outputs.constEnd(); ++it) {
            bool ok = false;
            const int index = it.key().toInt(&ok);
            const auto value = decodeVariant(it.value());
            if (!ok || index < 0 || index >= info->paramCount || !value)
                return failure(QStringLiteral("bad output \"%1\"").arg(it.key()));
            next.outputs.insert(index, *value);
        }
        if (message.contains(QStringLiteral("result"))) {
            const auto result = decodeVariant(message.value(QStringLiteral("result")));
            if (!result)
                return failure(QStringLiteral("bad result"));
            next.result = *result;
        }
        next.times =
            message.value(QStringLiteral("always")).toBool() ? -1 : message.value(QStringLiteral("times")).toInt(1);
        if (next.times == 0)
            return failure(QStringLiteral("times must not be 0"));
        m_scripts[QString::fromLatin1(info->name).toLower()].push_back(next);
        return success();
    }
    if (command == QLatin1String("unscript")) {
        const QString method = message.value(QStringLiteral("method")).toString();
        if (method.isEmpty())
            m_scripts.clear();
        else
            m_scripts.erase(method.toLower());
        return success();
    }
    if (command == QLatin1String("realtime") || command == QLatin1String("records")) {
        QStringList records;
        if (!recordTexts(message, records))
            return failure(QStringLiteral("\"records\" must be a list of texts"));
        for (const QString& record : records) {
            if (command == QLatin1String("realtime"))
                pushRecord(record, message.value(QStringLiteral("store")).toBool());
            else
                m_records.push_back(record);
        }
        return success();
    }
    if (command == QLatin1String("switch")) {
        for (const QJsonValue& value : message.value(QStringLiteral("statuses")).toArray()) {
            if (!value.isDouble())
                return failure(QStringLiteral("\"statuses\" must be a list of integers"));
            m_switchStatuses.push_back(value.toInt());
        }
        if (message.contains(QStringLiteral("card")))
            m_switchCard = message.value(QStringLiteral("card")).toString();
        m_circuitry1 = message.value(QStringLiteral("circuitry1")).toInt(m_circuitry1);
        m_circuitry2 = message.value(QStringLiteral("circuitry2")).toInt(m_circuitry2);
        m_mcState = message.value(QStringLiteral("mcState")).toInt(m_mcState);
        m_alarmState = message.value(QStringLiteral("alarmState")).toInt(m_alarmState);
        return success();
    }
    if (command == QLatin1String("swipe")) {
        const QJsonValue card = message.value(QStringLiteral("card"));
        if (!card.isDouble())
            return failure(QStringLiteral("\"card\" must be a number"));
        const int door = message.value(QStringLiteral("door")).toInt(1);
        const int32_t number = card.toInt();
        const bool known = m_cards.count(number) != 0;
        if (m_kind == Kind::Switch)
            m_switchCard = QStringLiteral("%1").arg(static_cast<uint32_t>(number), 8, 16, QLatin1Char('0')).toUpper();
        const QString record = swipeRecord(number, door, known ? 0 : 1);
        pushRecord(record, true);
        return QJsonObject{{QStringLiteral("ok"), true}, {QStringLiteral("record"), record}};
    }
    if (command == QLatin1String("silent")) {
        m_silent = message.value(QStringLiteral("on")).toBool(true);
        return success();
    }
    if (command == QLatin1String("delay")) {
        const int ms = message.value(QStringLiteral("ms")).toInt(-1);
        if (ms < 0 || ms > 60000)
            return failure(QStringLiteral("\"ms\" must be 0..60000"));
        m_delayMs = ms;
        return success();
    }
    if (command == QLatin1String("state")) {
        QJsonObject reply = describe();
        reply.insert(QStringLiteral("ok"), true);
        return reply;
    }
    return failure(QStringLiteral("unknown command \"%1\"").arg(command));
}

QJsonObject ControllerState::describe() const {
    QJsonArray cards;
    for (const auto& [number, card] : m_cards)
        cards.append(card);
    QJsonArray records;
    for (const QString& record : m_records)
        records.append(record);
    QJsonObject opened;
    for (auto it = m_doorOpenCount.constBegin(); it != m_doorOpenCount.constEnd(); ++it)
        opened.insert(QString::number(it.key()), it.value());
    QJsonObject object{
        {QStringLiteral("mac"), m_mac},
        {QStringLiteral("kind"), m_kind == Kind::Lock ? QStringLiteral("lock") : QStringLiteral("switch")},
        {QStringLiteral("ip"), m_ip},
        {QStringLiteral("port"), m_port},
        {QStringLiteral("doors"), m_doors},
        {QStringLiteral("connected"), m_connected},
        {QStringLiteral("monitoring"), m_monitoring},
        {QStringLiteral("silent"), m_silent},
        {QStringLiteral("delayMs"), m_delayMs},
        {QStringLiteral("cards"), cards},
        {QStringLiteral("records"), records},
        {QStringLiteral("archived"), static_cast<int>(m_archive.size())},
        {QStringLiteral("realTimePending"), static_cast<int>(m_realTime.size())},
        {QStringLiteral("passwords"), m_passwords},
        {QStringLiteral("holidays"), m_holidays},
        {QStringLiteral("linkInfo"), m_linkInfo},
        {QStringLiteral("settings"), m_settings},
        {QStringLiteral("doorOpened"), opened}};
    if (m_clock)
        object.insert(QStringLiteral("clock"), *m_clock);
    return object;
}

} // namespace morvane::ctrlsim
