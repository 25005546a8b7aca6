#include "BoardState.h"

#include <QJsonArray>

namespace morvane::ctrlsim {

using namespace boardproto;

namespace {

constexpr size_t kEventLimit = 100000; // the oldest events go first, as on a board

QJsonObject failure(const QString& why) {
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}};
}

QString boolText(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString macWithColons(const QString& mac) {
    return QString(mac).replace(QLatin1Char('-'), QLatin1Char(':')).toLower();
}

} // namespace

BoardState::BoardState(uint32_t serial, QString mac, QString ip, int doors)
    : m_serial(serial)
    , m_mac(std::move(mac))
    , m_address(std::move(ip))
    , m_doorCount(doors) {}

QString BoardState::now() const {
    return QDateTime::currentDateTime().addSecs(m_clockOffsetSecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void BoardState::addEvent(Event event) {
    event.index = m_events.empty() ? 1 : m_events.back().index + 1;
    if (event.timestamp.isEmpty())
        event.timestamp = now();
    m_events.push_back(event);
    if (m_events.size() > kEventLimit)
        m_events.pop_front();
}

Values BoardState::eventValues(const Event& event, const QString& prefix) const {
    return {{prefix + QStringLiteral("index"), QString::number(event.index)},
            {QStringLiteral("eventtype"), QString::number(event.type)},
            {prefix + QStringLiteral("accessgranted"), boolText(event.granted)},
            {prefix + QStringLiteral("door"), QString::number(event.door)},
            {prefix + QStringLiteral("direction"), QStringLiteral("1")},
            {prefix + QStringLiteral("card"), QString::number(event.card)},
            {prefix + QStringLiteral("timestamp"), event.timestamp},
            {prefix + QStringLiteral("reason"), event.granted ? QStringLiteral("1") : QStringLiteral("6")}};
}

Values BoardState::perform(uint8_t function, const Values& request, bool* answer) {
    *answer = true;
    const auto number = [&](const char* key) { return request.value(QLatin1String(key)).toUInt(); };
    const auto ok = [](bool done) { return Values{{QStringLiteral("ok"), boolText(done)}}; };
    const auto doorValid = [&](uint32_t door) { return door >= 1 && door <= static_cast<uint32_t>(m_doorCount); };
    switch (function) {
    case fn::GetController:
        return {{QStringLiteral("ipaddress"), m_address},
                {QStringLiteral("subnetmask"), m_netmask},
                {QStringLiteral("gateway"), m_gateway},
                {QStringLiteral("macaddress"), macWithColons(m_mac)},
                {QStringLiteral("version"), QStringLiteral("v8.92")},
                {QStringLiteral("date"), QStringLiteral("2018-11-05")}};
    case fn::SetAddress:
        m_address = request.value(QStringLiteral("address"));
        m_netmask = request.value(QStringLiteral("netmask"));
        m_gateway = request.value(QStringLiteral("gateway"));
        *answer = false;
        return {};
    case fn::SetTime: {
        const QDateTime wanted =
            QDateTime::fromString(request.value(QStringLiteral("datetime")), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        m_clockOffsetSecs = QDateTime::currentDateTime().secsTo(wanted);
        return {{QStringLiteral("datetime"), now()}};
    }
    case fn::GetTime:
        return {{QStringLiteral("datetime"), now()}};
    case fn::GetStatus: {
        Values status = m_events.empty() ? Values() : eventValues(m_events.back(), QStringLiteral("event"));
        const QString clock = now();
        status.insert(QStringLiteral("systemdate"), clock.left(10));
        status.insert(QStringLiteral("systemtime"), clock.mid(11));
        // A door stands open while its contact says so, or while it is held open.
        for (int i = 0; i < 4; ++i)
            status.insert(QStringLiteral("door%1open").arg(i + 1),
                          boolText(m_doors[size_t(i)].contact || m_doors[size_t(i)].mode == doorMode::NormallyOpen));
        return status;
    }
    case fn::OpenDoor: {
        const uint32_t door = number("door");
        if (doorValid(door))
            ++m_doors[door - 1].opened;
        return ok(doorValid(door));
    }
    case fn::PutCard: {
        const uint32_t card = number("card");
        if (card == 0 || card == 0xffffffffU || card == 0x00ffffffU)
            return ok(false);
        Card stored{
            request.value(QStringLiteral("startdate")), request.value(QStringLiteral("enddate")), {}, number("pin")};
        for (int i = 0; i < 4; ++i)
            stored.doors[size_t(i)] =
                static_cast<int>(number(QStringLiteral("door%1").arg(i + 1).toLatin1().constData()));
        m_cards[card] = stored;
        return ok(true);
    }
    case fn::DeleteCard:
        return ok(m_cards.erase(number("card")) == 1);
    case fn::GetCard: {
        const auto found = m_cards.find(number("card"));
        if (found == m_cards.end())
            return {{QStringLiteral("card"), QStringLiteral("0")}};
        Values card{{QStringLiteral("card"), QString::number(found->first)},
                    {QStringLiteral("startdate"), found->second.start},
                    {QStringLiteral("enddate"), found->second.end},
                    {QStringLiteral("pin"), QString::number(found->second.pin)}};
        for (int i = 0; i < 4; ++i)
            card.insert(QStringLiteral("door%1").arg(i + 1), QString::number(found->second.doors[size_t(i)]));
        return card;
    }
    case fn::GetDoor:
    case fn::SetDoor: {
        const uint32_t door = number("door");
        if (!doorValid(door))
            return {{QStringLiteral("door"), QStringLiteral("0")}};
        Door& state = m_doors[door - 1];
        if (function == fn::SetDoor) {
            state.mode = static_cast<int>(number("mode"));
            state.delay = static_cast<int>(number("delay"));
        }
        return {{QStringLiteral("door"), QString::number(door)},
                {QStringLiteral("mode"), QString::number(state.mode)},
                {QStringLiteral("delay"), QString::number(state.delay)}};
    }
    case fn::SetPasscodes: {
        const uint32_t door = number("door");
        if (!doorValid(door))
            return ok(false);
        for (int i = 0; i < 4; ++i)
            m_doors[door - 1].passcodes[size_t(i)] =
                number(QStringLiteral("passcode%1").arg(i + 1).toLatin1().constData());
        return ok(true);
    }
    case fn::GetEvent: {
        const uint32_t index = number("eventindex");
        for (const Event& event : m_events) {
            if (event.index == index)
                return eventValues(event, QString());
        }
        return {{QStringLiteral("index"), QStringLiteral("0")}};
    }
    case fn::SetEventIndex:
        m_readIndex = number("eventindex");
        return ok(true);
    case fn::GetEventIndex:
        return {{QStringLiteral("index"), QString::number(m_readIndex)}};
    default:
        // Everything else the layouts know is taken and confirmed.
        return ok(true);
    }
}

std::optional<QByteArray> BoardState::answer(const QByteArray& frame, QJsonObject* entry) {
    const auto header = peekHeader(frame);
    if (!header || header->start != kStart)
        return std::nullopt;
    // Serial number 0 reaches every board, but only for "get controller".
    if (header->serial != m_serial && !(header->serial == 0 && header->function == fn::GetController))
        return std::nullopt;
    const Layout* layout = layoutFor(header->function, false);
    const auto request = layout ? decode(*layout, frame) : std::nullopt;
    if (!request)
        return std::nullopt;
    QJsonObject args;
    for (auto it = request->constBegin(); it != request->constEnd(); ++it)
        args.insert(it.key(), it.value());
    *entry = {{QStringLiteral("mac"), m_mac},
              {QStringLiteral("method"), QLatin1String(layout->name)},
              {QStringLiteral("function"), header->function},
              {QStringLiteral("args"), args}};
    auto scripted = m_scripts.find(header->function);
    if (scripted != m_scripts.end() && !scripted->second.empty()) {
        Scripted& next = scripted->second.front();
        const QByteArray reply = next.reply;
        if (next.times > 0 && --next.times == 0)
            scripted->second.pop_front();
        entry->insert(QStringLiteral("scripted"), true);
        return reply;
    }
    bool answered = true;
    const Values values = perform(header->function, *request, &answered);
    if (!answered)
        return QByteArray();
    QString error;
    const QByteArray reply = boardproto::reply(header->function, m_serial, values, &error);
    if (reply.isEmpty())
        entry->insert(QStringLiteral("error"), error);
    return reply;
}

QJsonObject BoardState::control(const QString& command, const QJsonObject& message) {
    if (command == QLatin1String("swipe") || command == QLatin1String("event")) {
        const QJsonValue card = message.value(QStringLiteral("card"));
        if (!card.isDouble() || card.toDouble() < 0 || card.toDouble() > 4294967295.0)
            return failure(QStringLiteral("\"card\" must be a number 0..4294967295"));
        Event event;
        event.card = static_cast<uint32_t>(card.toDouble());
        event.door = message.value(QStringLiteral("door")).toInt(1);
        if (event.door < 1 || event.door > m_doorCount)
            return failure(QStringLiteral("\"door\" must be 1..%1").arg(m_doorCount));
        if (command == QLatin1String("swipe")) {
            const auto found = m_cards.find(event.card);
            const QString today = now().left(10);
            event.granted = found != m_cards.end() && found->second.doors[size_t(event.door - 1)] != 0 &&
                            found->second.start <= today && today <= found->second.end;
        } else {
            event.type = message.value(QStringLiteral("type")).toInt(1);
            event.granted = message.value(QStringLiteral("granted")).toBool();
        }
        addEvent(event);
        return {{QStringLiteral("ok"), true},
                {QStringLiteral("index"), static_cast<qint64>(m_events.back().index)},
                {QStringLiteral("granted"), event.granted}};
    }
    if (command == QLatin1String("door")) {
        const int door = message.value(QStringLiteral("door")).toInt(0);
        const QJsonValue open = message.value(QStringLiteral("open"));
        if (door < 1 || door > m_doorCount || !open.isBool())
            return failure(
                QStringLiteral("a door change needs \"door\" 1..%1 and \"open\" true or false").arg(m_doorCount));
        m_doors[size_t(door - 1)].contact = open.toBool();
        return {{QStringLiteral("ok"), true}};
    }
    if (command == QLatin1String("script")) {
        const int function = message.value(QStringLiteral("function")).toInt(-1);
        const QByteArray reply = QByteArray::fromHex(message.value(QStringLiteral("reply")).toString().toLatin1());
        const int times =
            message.value(QStringLiteral("always")).toBool() ? -1 : message.value(QStringLiteral("times")).toInt(1);
        if (function < 0 || function > 255 || times == 0)
            return failure(QStringLiteral("a board script needs \"function\" 0..255 and \"reply\" (hex)"));
        m_scripts[static_cast<uint8_t>(function)].push_back(Scripted{reply, times});
        return {{QStringLiteral("ok"), true}};
    }
    if (command == QLatin1String("unscript")) {
        m_scripts.clear();
        return {{QStringLiteral("ok"), true}};
    }
    if (command == QLatin1String("state")) {
        QJsonArray cards;
        for (const auto& [number, card] : m_cards) {
            QJsonArray doors;
            for (int door : card.doors)
                doors.append(door);
            cards.append(QJsonObject{{QStringLiteral("card"), static_cast<qint64>(number)},
                                     {QStringLiteral("start"), card.start},
                                     {QStringLiteral("end"), card.end},
                                     {QStringLiteral("doors"), doors},
                                     {QStringLiteral("pin"), static_cast<qint64>(card.pin)}});
        }
        QJsonArray doors;
        for (const Door& door : m_doors) {
            QJsonArray passcodes;
            for (uint32_t code : door.passcodes)
                passcodes.append(static_cast<qint64>(code));
            doors.append(QJsonObject{{QStringLiteral("mode"), door.mode},
                                     {QStringLiteral("delay"), door.delay},
                                     {QStringLiteral("passcodes"), passcodes},
                                     {QStringLiteral("opened"), door.opened},
                                     {QStringLiteral("open"), door.contact}});
        }
        return {{QStringLiteral("ok"), true},
                {QStringLiteral("mac"), m_mac},
                {QStringLiteral("kind"), QStringLiteral("uhppote")},
                {QStringLiteral("serial"), static_cast<qint64>(m_serial)},
                {QStringLiteral("address"), m_address},
                {QStringLiteral("netmask"), m_netmask},
                {QStringLiteral("gateway"), m_gateway},
                {QStringLiteral("clock"), now()},
                {QStringLiteral("cards"), cards},
                {QStringLiteral("doorStates"), doors},
                {QStringLiteral("events"), static_cast<int>(m_events.size())},
                {QStringLiteral("readIndex"), static_cast<qint64>(m_readIndex)}};
    }
    return failure(QStringLiteral("a board does not take \"%1\"").arg(command));
}

} // namespace morvane::ctrlsim
