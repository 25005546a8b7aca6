#include "BoardLink.h"

#include <QDateTime>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

namespace morvane::kestrova {

using namespace boardproto;
using platform::Arguments;
using platform::AutomationError;
using platform::Variant;
using platform::VarType;
namespace st = ctrlproto::status;

namespace {

constexpr int kDoors = 4;
constexpr int kSkipLimit = 1000; // overwritten or empty slots passed over in one read

std::optional<int64_t> asNumber(const Variant& value) {
    try {
        return value.toInt32();
    } catch (const AutomationError&) {
        return std::nullopt;
    }
}

// A PIN from a password: empty for none, else a number of up to six digits.
std::optional<uint32_t> asPin(const Variant& value) {
    if (value.isEmpty() || value.isNull())
        return 0;
    try {
        const QString text = value.toText().trimmed();
        if (text.isEmpty())
            return 0;
        bool ok = false;
        const uint pin = text.toUInt(&ok, 10);
        if (!ok || pin > 999999)
            return std::nullopt;
        return pin;
    } catch (const AutomationError&) {
        return std::nullopt;
    }
}

// A date as the board stores it (yyyy-MM-dd), from a DATE or a text; nullopt for what the four BCD
// bytes cannot hold.
std::optional<QString> asBoardDate(const Variant& value) {
    QDate date;
    try {
        if (value.type() == VarType::Date || value.type() == VarType::R8 || value.type() == VarType::I4) {
            const auto parts = platform::oleDateParts(value.toDouble());
            if (parts)
                date = parts->date;
        } else if (value.type() == VarType::BStr) {
            const QString text = value.toText().trimmed();
            date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
        }
    } catch (const AutomationError&) {
        return std::nullopt;
    }
    if (!date.isValid() || date.year() < 1 || date.year() > 9999)
        return std::nullopt;
    return date.toString(QStringLiteral("yyyy-MM-dd"));
}

// Card numbers a board refuses to store: none, all ones, and the 24-bit all ones of a blank reader.
bool cardAllowed(uint32_t card) {
    return card != 0 && card != 0xffffffffU && card != 0x00ffffffU;
}

bool doorInRange(int64_t door) {
    return door >= 1 && door <= kDoors;
}

} // namespace

BoardLink::BoardLink(QString ip, uint16_t port, uint32_t serial, QString mac)
    : m_ip(std::move(ip))
    , m_port(port)
    , m_serial(serial)
    , m_mac(std::move(mac)) {}

BoardLink::~BoardLink() {
    if (m_idleSocket >= 0)
        ::close(m_idleSocket);
}

QString BoardLink::recordText(const Values& event, const QString& mac, const QString& prefix) {
    // Event type 1 is a card swipe; 0xff a slot overwritten by newer events; index 0 no event at all.
    if (event.value(prefix + QStringLiteral("index")).toUInt() == 0 ||
        event.value(QStringLiteral("eventtype")).toInt() != 1)
        return {};
    const QDateTime when =
        QDateTime::fromString(event.value(prefix + QStringLiteral("timestamp")), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!when.isValid())
        return {};
    const uint32_t card = event.value(prefix + QStringLiteral("card")).toUInt();
    const int door = event.value(prefix + QStringLiteral("door")).toInt();
    const bool granted = event.value(prefix + QStringLiteral("accessgranted")) == QLatin1String("true");
    QString text = QStringLiteral("01") + QStringLiteral("%1").arg(card, 8, 16, QLatin1Char('0')).toUpper();
    text +=
        QStringLiteral("%1%2").arg(door % 100, 2, 10, QLatin1Char('0')).arg(granted ? 0 : 1, 2, 10, QLatin1Char('0'));
    text += when.toString(QStringLiteral("yyMMddHHmmss"));
    text += QStringLiteral("00");
    text += QString(mac).remove(QLatin1Char('-')).right(8).toUpper();
    return text;
}

int32_t BoardLink::exchange(uint8_t function, Values request, const Timing& timing, Values* reply) {
    QString error;
    const QByteArray frame = boardproto::request(function, m_serial, std::move(request), &error);
    if (frame.isEmpty())
        return st::BadArgument;
    const Layout* layout = layoutFor(function, true);
    int fd = -1;
    {
        std::lock_guard lock(m_socketMutex);
        std::swap(fd, m_idleSocket);
    }
    if (fd < 0)
        fd = openConnectedSocket(m_ip, m_port);
    if (fd < 0)
        return st::BadArgument;
    if (!layout || !reply) {
        // Sent without waiting: the board answers nothing to this request.
        (void)::send(fd, frame.constData(), static_cast<size_t>(frame.size()), 0);
        ::close(fd);
        return st::Ok;
    }
    // Only a 64-byte reply of this function from this board counts; the rest is dropped.
    const bool answered = exchangeOn(fd, frame, timing, [this, layout, reply](const QByteArray& datagram) {
        const auto header = peekHeader(datagram);
        if (!header || header->function != layout->function || header->serial != m_serial)
            return false;
        auto values = decode(*layout, datagram);
        if (!values)
            return false;
        *reply = std::move(*values);
        return true;
    });
    if (!answered) {
        ::close(fd);
        return st::NoReply;
    }
    {
        std::lock_guard lock(m_socketMutex);
        if (m_idleSocket < 0)
            std::swap(fd, m_idleSocket);
    }
    if (fd >= 0)
        ::close(fd);
    return st::Ok;
}

int32_t BoardLink::okExchange(uint8_t function, Values request, const Timing& timing, int32_t refused) {
    Values reply;
    const int32_t result = exchange(function, std::move(request), timing, &reply);
    if (result != st::Ok)
        return result;
    return reply.value(QStringLiteral("ok")) == QLatin1String("true") ? st::Ok : refused;
}

int32_t BoardLink::setDoorMode(int door, int mode, std::optional<int> delay, const Timing& timing) {
    // A door's mode and its open delay travel together: the one not being changed is read first.
    Values current;
    int32_t result = exchange(fn::GetDoor, {{QStringLiteral("door"), QString::number(door)}}, timing, &current);
    if (result != st::Ok)
        return result;
    const QString doorText = QString::number(door);
    Values wanted{{QStringLiteral("door"), doorText},
                  {QStringLiteral("mode"), mode > 0 ? QString::number(mode) : current.value(QStringLiteral("mode"))},
                  {QStringLiteral("delay"), delay ? QString::number(*delay) : current.value(QStringLiteral("delay"))}};
    Values echoed;
    result = exchange(fn::SetDoor, wanted, timing, &echoed);
    if (result != st::Ok)
        return result;
    for (auto it = wanted.constBegin(); it != wanted.constEnd(); ++it) {
        if (echoed.value(it.key()) != it.value())
            return st::BoardRefused;
    }
    return st::Ok;
}

int32_t BoardLink::addCard(Arguments& args, const Timing& timing) {
    // card, type, door, password, mode, user time, begin, end, deadbolt
    const auto card = asNumber(args[0].value());
    const auto door = asNumber(args[2].value());
    const auto pin = asPin(args[3].value());
    const auto profile = asNumber(args[5].value());
    const auto begin = asBoardDate(args[6].value());
    const auto end = asBoardDate(args[7].value());
    if (!card || !door || !pin || !profile || !begin || !end || !cardAllowed(static_cast<uint32_t>(*card)))
        return st::BadArgument;
    if (!doorInRange(*door))
        return ctrlproto::controllerStatus::OutOfRange;
    // 1 lets the card through at any time, 2..254 through the board's time profile of that id.
    if (*profile < 0 || *profile > 254)
        return st::BadArgument;
    const QString cardText = QString::number(static_cast<uint32_t>(*card));

    std::lock_guard lock(m_sequenceMutex);
    // The other doors keep what the board already holds for this card.
    Values stored;
    int32_t result = exchange(fn::GetCard, {{QStringLiteral("card"), cardText}}, timing, &stored);
    if (result != st::Ok)
        return result;
    const bool known = stored.value(QStringLiteral("card")) == cardText;
    Values put{{QStringLiteral("card"), cardText},
               {QStringLiteral("startdate"), *begin},
               {QStringLiteral("enddate"), *end},
               {QStringLiteral("pin"), QString::number(*pin)}};
    for (int i = 1; i <= kDoors; ++i) {
        const QString key = QStringLiteral("door%1").arg(i);
        const QString kept = known ? stored.value(key, QStringLiteral("0")) : QStringLiteral("0");
        put.insert(key, i == *door ? QString::number(*profile < 2 ? 1 : *profile) : kept);
    }
    return okExchange(fn::PutCard, put, timing, st::BoardRefused);
}

int32_t BoardLink::loadPasswords(Arguments& args, const Timing& timing) {
    std::array<uint32_t, 3> pins{};
    for (size_t i = 0; i < pins.size(); ++i) {
        const auto pin = asPin(args[i].value());
        if (!pin)
            return st::BadArgument;
        pins[i] = *pin;
    }
    for (int door = 1; door <= kDoors; ++door) {
        Values request{{QStringLiteral("door"), QString::number(door)}};
        for (size_t i = 0; i < pins.size(); ++i)
            request.insert(QStringLiteral("passcode%1").arg(i + 1), QString::number(pins[i]));
        request.insert(QStringLiteral("passcode4"), QStringLiteral("0"));
        const int32_t result = okExchange(fn::SetPasscodes, request, timing, st::BoardRefused);
        if (result != st::Ok)
            return result;
    }
    return st::Ok;
}

int32_t BoardLink::readRecord(Arguments& args, const Timing& timing) {
    args[0].set(Variant(QString()));
    std::lock_guard lock(m_sequenceMutex);
    uint32_t read = 0, last = 0;
    int32_t result = eventIndexes(timing, read, last);
    if (result != st::Ok)
        return result;
    // The read index is kept on the board; each record read moves it on, also over events that are no
    // swipe or were overwritten.
    for (int skipped = 0; read < last && skipped < kSkipLimit; ++skipped) {
        const uint32_t next = read + 1;
        Values event;
        result = exchange(fn::GetEvent, {{QStringLiteral("eventindex"), QString::number(next)}}, timing, &event);
        if (result != st::Ok)
            return result;
        result = okExchange(fn::SetEventIndex, {{QStringLiteral("eventindex"), QString::number(next)}}, timing,
                            st::BoardRefused);
        if (result != st::Ok)
            return result;
        read = next;
        if (event.value(QStringLiteral("index")).toUInt() != next)
            continue;
        const QString text = recordText(event, m_mac, QString());
        if (!text.isEmpty()) {
            args[0].set(Variant(text));
            return st::Ok;
        }
    }
    return ctrlproto::controllerStatus::NotFound;
}

int32_t BoardLink::eventIndexes(const Timing& timing, uint32_t& read, uint32_t& last) {
    Values index;
    Values status;
    int32_t result = exchange(fn::GetEventIndex, {}, timing, &index);
    if (result == st::Ok)
        result = exchange(fn::GetStatus, {}, timing, &status);
    read = index.value(QStringLiteral("index")).toUInt();
    last = status.value(QStringLiteral("eventindex")).toUInt();
    return result;
}

int32_t BoardLink::recordCount(Arguments& args, const Timing& timing) {
    uint32_t read = 0, last = 0;
    const int32_t result = eventIndexes(timing, read, last);
    if (result != st::Ok)
        return result;
    const int64_t count = int64_t(last) - int64_t(read);
    args[0].set(Variant(static_cast<int32_t>(std::clamp<int64_t>(count, 0, INT32_MAX))));
    return st::Ok;
}

int32_t BoardLink::beginMonitor(const Timing& timing) {
    Values status;
    const int32_t result = exchange(fn::GetStatus, {}, timing, &status);
    if (result != st::Ok)
        return result;
    std::lock_guard lock(m_monitorMutex);
    m_lastEvent = status.value(QStringLiteral("eventindex")).toUInt();
    return st::Ok;
}

int32_t BoardLink::realTimeRecord(Arguments& args, const Timing& timing) {
    args[0].set(Variant(QString()));
    std::lock_guard lock(m_monitorMutex);
    Values status;
    int32_t result = exchange(fn::GetStatus, {}, timing, &status);
    if (result != st::Ok)
        return result;
    const int64_t newest = status.value(QStringLiteral("eventindex")).toUInt();
    if (m_lastEvent < 0 || newest < m_lastEvent) {
        // Monitoring starts here (or the board's log was cleared): only later events are handed out.
        m_lastEvent = newest;
        return st::Ok;
    }
    if (newest == m_lastEvent)
        return st::Ok;
    // One event per poll, in order, so that swipes between two polls are not lost.
    const int64_t next = m_lastEvent + 1;
    Values event;
    QString prefix = QStringLiteral("event");
    if (next == newest) {
        event = status;
    } else {
        result = exchange(fn::GetEvent, {{QStringLiteral("eventindex"), QString::number(next)}}, timing, &event);
        if (result != st::Ok)
            return result;
        prefix.clear();
        if (event.value(QStringLiteral("index")).toLongLong() != next)
            event.insert(QStringLiteral("index"), QStringLiteral("0"));
    }
    m_lastEvent = next;
    args[0].set(Variant(recordText(event, m_mac, prefix)));
    return st::Ok;
}

Variant BoardLink::call(const ctrlproto::MethodInfo& method, Arguments& args, const Timing& timing) {
    const auto is = [&](const char* name) { return std::strcmp(method.name, name) == 0; };
    const auto door = [&](size_t i) { return asNumber(args[i].value()); };
    if (is("ComifRmtOpenDoor")) {
        const auto number = door(0);
        if (!number)
            return st::BadArgument;
        if (!doorInRange(*number))
            return ctrlproto::controllerStatus::OutOfRange;
        return okExchange(fn::OpenDoor, {{QStringLiteral("door"), QString::number(*number)}}, timing, st::BoardRefused);
    }
    if (is("ComifAddCardNo"))
        return addCard(args, timing);
    if (is("ComifDeleteCardNo")) {
        const auto card = asNumber(args[0].value());
        if (!card || !cardAllowed(static_cast<uint32_t>(*card)))
            return st::BadArgument;
        return okExchange(fn::DeleteCard, {{QStringLiteral("card"), QString::number(static_cast<uint32_t>(*card))}},
                          timing, ctrlproto::controllerStatus::NotFound);
    }
    if (is("COMifAdjustDateTime")) {
        Values reply;
        const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        return exchange(fn::SetTime, {{QStringLiteral("datetime"), now}}, timing, &reply);
    }
    if (is("ComifOpenDoorDelayTime")) {
        const auto number = door(0);
        const auto delay = asNumber(args[1].value());
        if (!number || !delay || *delay < 0 || *delay > 255)
            return st::BadArgument;
        if (!doorInRange(*number))
            return ctrlproto::controllerStatus::OutOfRange;
        std::lock_guard lock(m_sequenceMutex);
        return setDoorMode(static_cast<int>(*number), 0, static_cast<int>(*delay), timing);
    }
    if (is("ComifExigLongOpenDoor") || is("ComifExigLongCloseDoor")) {
        const bool open = is("ComifExigLongOpenDoor");
        const auto number = door(open ? 0 : 1);
        if (!number)
            return st::BadArgument;
        if (!doorInRange(*number))
            return ctrlproto::controllerStatus::OutOfRange;
        std::lock_guard lock(m_sequenceMutex);
        return setDoorMode(static_cast<int>(*number), open ? doorMode::NormallyOpen : doorMode::NormallyClosed,
                           std::nullopt, timing);
    }
    if (is("ComifCancelAlarm")) {
        // Ends an emergency open or close: every door back under the board's control.
        std::lock_guard lock(m_sequenceMutex);
        for (int number = 1; number <= kDoors; ++number) {
            const int32_t result = setDoorMode(number, doorMode::Controlled, std::nullopt, timing);
            if (result != st::Ok)
                return result;
        }
        return st::Ok;
    }
    if (is("ComifLoadPassword"))
        return loadPasswords(args, timing);
    if (is("ComifLoadLinkInfo")) {
        // serverIp, controlIp, mask, gateway, port: the board takes its own address, mask and gateway and
        // restarts on them without answering.
        Values request;
        const char* keys[] = {"address", "netmask", "gateway"};
        for (size_t i = 0; i < 3; ++i) {
            QString text;
            try {
                text = args[i + 1].value().toText().trimmed();
            } catch (const AutomationError&) {
                return st::BadArgument;
            }
            if (!ctrlproto::isValidIPv4(text))
                return st::BadArgument;
            request.insert(QLatin1String(keys[i]), text);
        }
        return exchange(fn::SetAddress, request, timing, nullptr);
    }
    if (is("COMifReadRecord"))
        return readRecord(args, timing);
    if (is("COMifReadRecordCount"))
        return recordCount(args, timing);
    if (is("ComifReadOldAllRecord")) {
        std::lock_guard lock(m_sequenceMutex);
        return okExchange(fn::SetEventIndex, {{QStringLiteral("eventindex"), QStringLiteral("0")}}, timing,
                          st::BoardRefused);
    }
    if (is("COMifBegRealTimeMonitor"))
        return beginMonitor(timing);
    if (is("ComifGetRealTimeMonitorRecord"))
        return realTimeRecord(args, timing);
    if (is("TestControl")) {
        Values reply;
        return exchange(fn::GetController, {}, timing, &reply);
    }
    return st::NotOnBoard;
}

} // namespace morvane::kestrova
