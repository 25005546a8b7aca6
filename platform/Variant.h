#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

namespace morvane::platform {

class IDispatchObject;
using DispatchPtr = std::shared_ptr<IDispatchObject>;

// The automation variant types this system uses.
enum class VarType {
    Empty,
    Null,
    I4,
    R8,
    Bool,
    BStr,
    Date,
    Dispatch,
    Array,
    Bytes,
    Packet, // a data packet of the data providers: JSON text, carried as it is
};

QString varTypeName(VarType type);

struct VariantNull {
    bool operator==(const VariantNull&) const = default;
};

// A data packet (rows and their description, a delta, an error packet) as compact UTF-8 JSON text. It
// is what automation would carry as an array of bytes; here it travels as JSON on the wire.
struct VariantPacket {
    // Shared by the copies. A packet made from a parsed object (a request's) keeps it, and is written as
    // text only when first asked for: a delta of many rows is applied from the object, never written and
    // read again.
    struct Text;
    std::shared_ptr<const Text> text;
    const QByteArray& json() const;
    const QJsonObject* object() const;
    bool operator==(const VariantPacket& other) const { return json() == other.json(); }
};

struct VariantDate {
    double value = 0; // days since 1899-12-30, the fraction being the time of day
    bool operator==(const VariantDate&) const = default;
};

class Variant;
using VariantArray = QList<Variant>;

// An automation variant: a value of one of the types above. Conversions follow the automation rules
// and throw VariantConversionError (DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW) when a value cannot be
// converted.
class Variant {
public:
    Variant() = default;
    Variant(int32_t value);
    Variant(double value);
    Variant(bool value);
    Variant(const QString& text);
    Variant(VariantDate date);
    Variant(DispatchPtr object);
    Variant(VariantArray items);
    Variant(const QByteArray& bytes);

    static Variant null();
    // The packet's text must be one JSON object; the codec on the wire trusts it.
    static Variant packet(QByteArray json);
    // The same from a JSON object.
    static Variant packetOf(QJsonObject object);
    static Variant fromDateTime(const QDateTime& dateTime);
    static Variant text(const char* utf8) { return Variant(QString::fromUtf8(utf8)); }

    VarType type() const;
    bool isEmpty() const { return type() == VarType::Empty; }
    bool isNull() const { return type() == VarType::Null; }
    bool isPacket() const { return type() == VarType::Packet; }
    // The JSON text of a packet; empty for any other type.
    const QByteArray& packetJson() const;
    // The packet as a JSON object when it was made from one; null otherwise.
    const QJsonObject* packetObject() const;

    int32_t toInt32() const;
    double toDouble() const;
    QString toText() const;
    bool toBool() const;
    VariantDate toDate() const;
    QDateTime toDateTime() const;
    DispatchPtr toDispatch() const;
    VariantArray toArray() const;
    QByteArray toBytes() const;

    // This variant converted to the given type (EMPTY and the variant itself are kept for VarType::Empty).
    Variant convertedTo(VarType type) const;

    bool operator==(const Variant& other) const;
    bool operator!=(const Variant& other) const { return !(*this == other); }

    // A short, readable form for logs and test failures: "I4:5", "BSTR:\"abc\"".
    QString debugText() const;

private:
    using Storage = std::variant<std::monostate, VariantNull, int32_t, double, bool, QString, VariantDate, DispatchPtr,
                                 VariantArray, QByteArray, VariantPacket>;
    Storage m_value;
};

// Variant subtraction as automation performs it: numbers and number texts subtract as numbers
// (integers stay I4 while they fit), a date minus a number is a date, NULL in either operand gives NULL.
Variant operator-(const Variant& left, const Variant& right);

double dateTimeToOleDate(const QDateTime& dateTime);
QDateTime oleDateToDateTime(double oleDate);

// An automation date as a calendar day and a time of day (to the millisecond), without a time zone;
// nullopt outside the dates automation can hold. And back.
struct OleDateParts {
    QDate date;
    QTime time;
};
std::optional<OleDateParts> oleDateParts(double oleDate);
double oleDateFromParts(const QDate& date, const QTime& time);

} // namespace morvane::platform
