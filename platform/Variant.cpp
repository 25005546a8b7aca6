#include "Variant.h"

#include "Automation.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>
#include <mutex>

namespace morvane::platform {

namespace {

const QDateTime& oleEpoch() {
    static const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0), Qt::LocalTime);
    return epoch;
}

[[noreturn]] void throwMismatch(VarType from, const char* to) {
    throw VariantConversionError(hr::DISP_E_TYPEMISMATCH,
                                 QStringLiteral("Could not convert variant of type (%1) into type (%2)")
                                     .arg(varTypeName(from), QLatin1String(to)));
}

[[noreturn]] void throwOverflow(VarType from, const char* to) {
    throw VariantConversionError(hr::DISP_E_OVERFLOW,
                                 QStringLiteral("Overflow while converting variant of type (%1) into type (%2)")
                                     .arg(varTypeName(from), QLatin1String(to)));
}

// Rounds to the nearest integer, halves to even, as automation's conversion to an integer does.
bool roundToInt32(double value, int32_t& out) {
    if (!std::isfinite(value))
        return false;
    const double rounded = std::nearbyint(value);
    if (rounded < std::numeric_limits<int32_t>::min() || rounded > std::numeric_limits<int32_t>::max())
        return false;
    out = static_cast<int32_t>(rounded);
    return true;
}

// The dates automation can hold: 100-01-01 to 9999-12-31 23:59:59.
constexpr double kMinOleDate = -657434.0;
constexpr double kMaxOleDate = 2958465.99999;

bool isOleDateInRange(double value) {
    return std::isfinite(value) && value >= kMinOleDate && value < kMaxOleDate + 1e-5;
}

VariantDate checkedDate(double value, VarType from) {
    if (!isOleDateInRange(value))
        throwOverflow(from, "Date");
    return VariantDate{value};
}

bool parseNumber(const QString& text, double& value) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return false;
    bool ok = false;
    if (trimmed.startsWith(QLatin1String("&H"), Qt::CaseInsensitive)) {
        const qlonglong hex = trimmed.mid(2).toLongLong(&ok, 16);
        value = static_cast<double>(hex);
        return ok;
    }
    value = trimmed.toDouble(&ok);
    return ok && std::isfinite(value);
}

bool parseDateText(const QString& text, double& value) {
    const QString trimmed = text.trimmed();
    for (const auto* format :
         {"yyyy-MM-ddTHH:mm:ss.zzz", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm:ss.zzz", "yyyy-MM-dd HH:mm:ss",
          "yyyy-MM-dd HH:mm", "yyyy-MM-dd", "yyyy/M/d H:mm:ss", "yyyy/M/d"}) {
        const QDateTime dt = QDateTime::fromString(trimmed, QLatin1String(format));
        if (dt.isValid()) {
            value = dateTimeToOleDate(dt);
            return true;
        }
    }
    for (const auto* format : {"HH:mm:ss", "HH:mm"}) {
        const QTime t = QTime::fromString(trimmed, QLatin1String(format));
        if (t.isValid()) {
            value = t.msecsSinceStartOfDay() / 86400000.0;
            return true;
        }
    }
    return false;
}

QString formatNumber(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return QString::number(static_cast<qlonglong>(value));
    return QString::number(value, 'g', 15);
}

} // namespace

QString varTypeName(VarType type) {
    switch (type) {
    case VarType::Empty:
        return QStringLiteral("Empty");
    case VarType::Null:
        return QStringLiteral("Null");
    case VarType::I4:
        return QStringLiteral("Integer");
    case VarType::R8:
        return QStringLiteral("Double");
    case VarType::Bool:
        return QStringLiteral("Boolean");
    case VarType::BStr:
        return QStringLiteral("String");
    case VarType::Date:
        return QStringLiteral("Date");
    case VarType::Dispatch:
        return QStringLiteral("Dispatch");
    case VarType::Array:
        return QStringLiteral("Array Variant");
    case VarType::Bytes:
        return QStringLiteral("Array Byte");
    case VarType::Packet:
        return QStringLiteral("Data Packet");
    }
    return QStringLiteral("Unknown");
}

double oleDateFromParts(const QDate& date, const QTime& time) {
    const qint64 days = oleEpoch().date().daysTo(date);
    const double fraction = time.msecsSinceStartOfDay() / 86400000.0;
    // Dates before the epoch keep the time of day as a positive fraction of a negative day number.
    return days >= 0 ? days + fraction : days - fraction;
}

std::optional<OleDateParts> oleDateParts(double oleDate) {
    // Outside the range the day count would not fit the conversion below.
    if (!isOleDateInRange(oleDate))
        return std::nullopt;
    const double wholeDays = std::trunc(oleDate);
    const double fraction = std::fabs(oleDate - wholeDays);
    qint64 ms = std::llround(fraction * 86400000.0);
    qint64 days = static_cast<qint64>(wholeDays);
    if (ms >= 86400000) {
        ms -= 86400000;
        days += oleDate >= 0 ? 1 : -1;
    }
    return OleDateParts{oleEpoch().date().addDays(days), QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms))};
}

double dateTimeToOleDate(const QDateTime& dateTime) {
    const QDateTime local = dateTime.toLocalTime();
    return oleDateFromParts(local.date(), local.time());
}

QDateTime oleDateToDateTime(double oleDate) {
    const auto parts = oleDateParts(oleDate);
    if (!parts)
        return {};
    return QDateTime(parts->date, parts->time, Qt::LocalTime);
}

Variant::Variant(int32_t value)
    : m_value(value) {}
Variant::Variant(double value)
    : m_value(value) {}
Variant::Variant(bool value)
    : m_value(value) {}
Variant::Variant(const QString& text)
    : m_value(text) {}
Variant::Variant(VariantDate date)
    : m_value(date) {}
Variant::Variant(DispatchPtr object)
    : m_value(std::move(object)) {}
Variant::Variant(VariantArray items)
    : m_value(std::move(items)) {}
Variant::Variant(const QByteArray& bytes)
    : m_value(bytes) {}

// Threads: any; the text of an object is written once, by whichever thread asks for it first.
struct VariantPacket::Text {
    explicit Text(QByteArray text)
        : json(std::move(text)) {}
    explicit Text(QJsonObject parsed)
        : object(std::move(parsed)) {}
    mutable std::once_flag written;
    mutable QByteArray json;
    std::optional<QJsonObject> object;
};

const QByteArray& VariantPacket::json() const {
    static const QByteArray none;
    if (!text)
        return none;
    if (text->object) {
        const Text* t = text.get();
        std::call_once(t->written, [t] { t->json = QJsonDocument(*t->object).toJson(QJsonDocument::Compact); });
    }
    return text->json;
}

const QJsonObject* VariantPacket::object() const {
    return text && text->object ? &*text->object : nullptr;
}

Variant Variant::packet(QByteArray json) {
    Variant v;
    v.m_value = VariantPacket{std::make_shared<const VariantPacket::Text>(std::move(json))};
    return v;
}

Variant Variant::packetOf(QJsonObject object) {
    Variant v;
    v.m_value = VariantPacket{std::make_shared<const VariantPacket::Text>(std::move(object))};
    return v;
}

const QJsonObject* Variant::packetObject() const {
    const auto* packet = std::get_if<VariantPacket>(&m_value);
    return packet ? packet->object() : nullptr;
}

const QByteArray& Variant::packetJson() const {
    static const QByteArray none;
    const auto* packet = std::get_if<VariantPacket>(&m_value);
    return packet ? packet->json() : none;
}

Variant Variant::null() {
    Variant v;
    v.m_value = VariantNull{};
    return v;
}

Variant Variant::fromDateTime(const QDateTime& dateTime) {
    return Variant(VariantDate{dateTimeToOleDate(dateTime)});
}

VarType Variant::type() const {
    static constexpr VarType kinds[] = {VarType::Empty, VarType::Null,  VarType::I4,    VarType::R8,
                                        VarType::Bool,  VarType::BStr,  VarType::Date,  VarType::Dispatch,
                                        VarType::Array, VarType::Bytes, VarType::Packet};
    return kinds[m_value.index()];
}

int32_t Variant::toInt32() const {
    int32_t out = 0;
    switch (type()) {
    case VarType::Empty:
        return 0;
    case VarType::I4:
        return std::get<int32_t>(m_value);
    case VarType::Bool:
        return std::get<bool>(m_value) ? -1 : 0;
    case VarType::R8:
        if (!roundToInt32(std::get<double>(m_value), out))
            throwOverflow(type(), "Integer");
        return out;
    case VarType::Date:
        if (!roundToInt32(std::get<VariantDate>(m_value).value, out))
            throwOverflow(type(), "Integer");
        return out;
    case VarType::BStr: {
        double number = 0;
        if (!parseNumber(std::get<QString>(m_value), number))
            throwMismatch(type(), "Integer");
        if (!roundToInt32(number, out))
            throwOverflow(type(), "Integer");
        return out;
    }
    default:
        throwMismatch(type(), "Integer");
    }
}

double Variant::toDouble() const {
    switch (type()) {
    case VarType::Empty:
        return 0;
    case VarType::I4:
        return std::get<int32_t>(m_value);
    case VarType::Bool:
        return std::get<bool>(m_value) ? -1 : 0;
    case VarType::R8:
        return std::get<double>(m_value);
    case VarType::Date:
        return std::get<VariantDate>(m_value).value;
    case VarType::BStr: {
        double number = 0;
        if (!parseNumber(std::get<QString>(m_value), number))
            throwMismatch(type(), "Double");
        return number;
    }
    default:
        throwMismatch(type(), "Double");
    }
}

QString Variant::toText() const {
    switch (type()) {
    case VarType::Empty:
        return {};
    case VarType::I4:
        return QString::number(std::get<int32_t>(m_value));
    case VarType::Bool:
        return std::get<bool>(m_value) ? QStringLiteral("True") : QStringLiteral("False");
    case VarType::R8:
        return formatNumber(std::get<double>(m_value));
    case VarType::BStr:
        return std::get<QString>(m_value);
    case VarType::Date: {
        const double value = std::get<VariantDate>(m_value).value;
        const QDateTime dt = oleDateToDateTime(value);
        if (!dt.isValid())
            throwOverflow(type(), "String");
        if (value == std::trunc(value))
            return dt.date().toString(QStringLiteral("yyyy-MM-dd"));
        return dt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    case VarType::Bytes: // a byte array reads as the text it holds, as automation does for strings
        return QString::fromUtf8(std::get<QByteArray>(m_value));
    default:
        throwMismatch(type(), "String");
    }
}

bool Variant::toBool() const {
    switch (type()) {
    case VarType::Empty:
        return false;
    case VarType::I4:
        return std::get<int32_t>(m_value) != 0;
    case VarType::Bool:
        return std::get<bool>(m_value);
    case VarType::R8:
        return std::get<double>(m_value) != 0;
    case VarType::Date:
        return std::get<VariantDate>(m_value).value != 0;
    case VarType::BStr: {
        const QString text = std::get<QString>(m_value).trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
            return false;
        double number = 0;
        if (!parseNumber(text, number))
            throwMismatch(type(), "Boolean");
        return number != 0;
    }
    default:
        throwMismatch(type(), "Boolean");
    }
}

VariantDate Variant::toDate() const {
    switch (type()) {
    case VarType::Date:
        return std::get<VariantDate>(m_value);
    case VarType::BStr: {
        double value = 0;
        if (parseDateText(std::get<QString>(m_value), value))
            return VariantDate{value};
        if (parseNumber(std::get<QString>(m_value), value))
            return checkedDate(value, type());
        throwMismatch(type(), "Date");
    }
    case VarType::Empty:
    case VarType::I4:
    case VarType::R8:
    case VarType::Bool:
        return checkedDate(toDouble(), type());
    default:
        throwMismatch(type(), "Date");
    }
}

QDateTime Variant::toDateTime() const {
    return oleDateToDateTime(toDate().value);
}

DispatchPtr Variant::toDispatch() const {
    if (type() == VarType::Dispatch)
        return std::get<DispatchPtr>(m_value);
    if (type() == VarType::Empty)
        return nullptr;
    throwMismatch(type(), "Dispatch");
}

VariantArray Variant::toArray() const {
    if (type() == VarType::Array)
        return std::get<VariantArray>(m_value);
    if (type() == VarType::Bytes) {
        VariantArray items;
        for (char byte : std::get<QByteArray>(m_value))
            items.append(Variant(static_cast<int32_t>(static_cast<unsigned char>(byte))));
        return items;
    }
    throwMismatch(type(), "Array Variant");
}

QByteArray Variant::toBytes() const {
    if (type() == VarType::Bytes)
        return std::get<QByteArray>(m_value);
    if (type() == VarType::Packet) // the packet's bytes, as automation hands a packet over
        return std::get<VariantPacket>(m_value).json();
    if (type() == VarType::BStr)
        return std::get<QString>(m_value).toUtf8();
    if (type() == VarType::Array) {
        QByteArray bytes;
        for (const Variant& item : std::get<VariantArray>(m_value)) {
            const int32_t value = item.toInt32();
            if (value < 0 || value > 255)
                throwOverflow(item.type(), "Byte");
            bytes.append(static_cast<char>(value));
        }
        return bytes;
    }
    throwMismatch(type(), "Array Byte");
}

Variant Variant::convertedTo(VarType target) const {
    switch (target) {
    case VarType::Empty:
        return *this;
    case VarType::Null:
        return null();
    case VarType::I4:
        return Variant(toInt32());
    case VarType::R8:
        return Variant(toDouble());
    case VarType::Bool:
        return Variant(toBool());
    case VarType::BStr:
        return Variant(toText());
    case VarType::Date:
        return Variant(toDate());
    case VarType::Dispatch:
        return Variant(toDispatch());
    case VarType::Array:
        return Variant(toArray());
    case VarType::Bytes:
        return Variant(toBytes());
    case VarType::Packet:
        if (type() == VarType::Packet)
            return *this;
        throwMismatch(type(), "Data Packet");
    }
    return *this;
}

bool Variant::operator==(const Variant& other) const {
    return m_value == other.m_value;
}

QString Variant::debugText() const {
    switch (type()) {
    case VarType::Empty:
        return QStringLiteral("EMPTY");
    case VarType::Null:
        return QStringLiteral("NULL");
    case VarType::BStr:
        return QStringLiteral("BSTR:\"%1\"").arg(std::get<QString>(m_value));
    case VarType::Dispatch:
        return QStringLiteral("DISPATCH");
    case VarType::Array: {
        QStringList parts;
        for (const Variant& item : std::get<VariantArray>(m_value))
            parts.append(item.debugText());
        return QStringLiteral("[%1]").arg(parts.join(QStringLiteral(", ")));
    }
    case VarType::Bytes:
        return QStringLiteral("BYTES:%1").arg(QString::fromLatin1(std::get<QByteArray>(m_value).toHex()));
    case VarType::Packet:
        return QStringLiteral("PACKET:%1").arg(QString::fromUtf8(std::get<VariantPacket>(m_value).json()));
    default:
        return varTypeName(type()) + QLatin1Char(':') + toText();
    }
}

Variant operator-(const Variant& left, const Variant& right) {
    if (left.isNull() || right.isNull())
        return Variant::null();
    const auto integral = [](const Variant& v) {
        return v.type() == VarType::I4 || v.type() == VarType::Bool || v.type() == VarType::Empty;
    };
    if (integral(left) && integral(right)) {
        const int64_t difference = static_cast<int64_t>(left.toInt32()) - right.toInt32();
        if (difference >= std::numeric_limits<int32_t>::min() && difference <= std::numeric_limits<int32_t>::max())
            return Variant(static_cast<int32_t>(difference));
        return Variant(static_cast<double>(difference));
    }
    if (left.type() == VarType::Date && right.type() == VarType::Date)
        return Variant(left.toDouble() - right.toDouble());
    if (left.type() == VarType::Date)
        return Variant(VariantDate{left.toDouble() - right.toDouble()});
    return Variant(left.toDouble() - right.toDouble());
}

} // namespace morvane::platform
