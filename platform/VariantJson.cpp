#include "VariantJson.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTime>

#include <cmath>
#include <limits>

namespace morvane::platform {

namespace {

QJsonObject tagged(const char* vt, const QJsonValue& value) {
    return QJsonObject{{QStringLiteral("vt"), QLatin1String(vt)}, {QStringLiteral("value"), value}};
}

bool isInt32(double number) {
    return std::isfinite(number) && std::trunc(number) == number && number >= std::numeric_limits<int32_t>::min() &&
           number <= std::numeric_limits<int32_t>::max();
}

// Numbers JSON cannot write: named.
QJsonValue doubleJson(double number) {
    if (std::isnan(number))
        return QStringLiteral("NaN");
    if (std::isinf(number))
        return number > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    if (number == 0 && std::signbit(number))
        return QStringLiteral("-0");
    return number;
}

std::optional<double> doubleFromJson(const QJsonValue& value) {
    if (value.isDouble())
        return value.toDouble();
    const QString text = value.toString();
    if (text == QLatin1String("NaN"))
        return std::numeric_limits<double>::quiet_NaN();
    if (text == QLatin1String("Infinity"))
        return std::numeric_limits<double>::infinity();
    if (text == QLatin1String("-Infinity"))
        return -std::numeric_limits<double>::infinity();
    if (text == QLatin1String("-0"))
        return -0.0;
    return std::nullopt;
}

std::optional<Variant> fail(QString* error, const QString& why) {
    if (error)
        *error = why;
    return std::nullopt;
}

std::optional<Variant> taggedFromJson(const QJsonObject& object, QString* error) {
    const QJsonValue vtValue = object.value(QStringLiteral("vt"));
    if (!vtValue.isString())
        return fail(error, QStringLiteral("a JSON object stands for a variant only with a \"vt\" text"));
    const QString vt = vtValue.toString().toLower();
    const QJsonValue value = object.value(QStringLiteral("value"));
    const auto bad = [&] { return fail(error, QStringLiteral("the value does not fit \"vt\":\"%1\"").arg(vt)); };
    if (vt == QLatin1String("empty"))
        return Variant();
    if (vt == QLatin1String("null"))
        return Variant::null();
    if (vt == QLatin1String("i4")) {
        if (!value.isDouble() || !isInt32(value.toDouble()))
            return bad();
        return Variant(static_cast<int32_t>(value.toDouble()));
    }
    if (vt == QLatin1String("r8")) {
        const auto number = doubleFromJson(value);
        if (!number)
            return bad();
        return Variant(*number);
    }
    if (vt == QLatin1String("bool")) {
        if (!value.isBool())
            return bad();
        return Variant(value.toBool());
    }
    if (vt == QLatin1String("bstr")) {
        if (!value.isString())
            return bad();
        return Variant(value.toString());
    }
    if (vt == QLatin1String("date")) {
        // The text form, or the number of days (the form of a date the text cannot give back exactly).
        std::optional<double> days = value.isString() ? oleDateFromText(value.toString()) : std::nullopt;
        if (!days)
            days = doubleFromJson(value);
        if (!days)
            return fail(error, QStringLiteral("a date is written \"YYYY-MM-DDTHH:MM:SS.zzz\" or as a number of days"));
        return Variant(VariantDate{*days});
    }
    if (vt == QLatin1String("bytes")) {
        if (!value.isString())
            return bad();
        const auto decoded =
            QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return fail(error, QStringLiteral("\"vt\":\"bytes\" needs base64 text"));
        return Variant(*decoded);
    }
    if (vt == QLatin1String("array")) {
        if (!value.isArray())
            return bad();
        return variantFromJson(value, error);
    }
    if (vt == QLatin1String("packet")) {
        if (!value.isObject())
            return fail(error, QStringLiteral("\"vt\":\"packet\" needs a JSON object as its value"));
        return Variant::packetOf(value.toObject());
    }
    if (vt == QLatin1String("dispatch"))
        return fail(error, QStringLiteral("an object cannot travel as a value"));
    return fail(error, QStringLiteral("unknown variant type \"%1\"").arg(vt));
}

} // namespace

QString oleDateText(double oleDate) {
    // Outside the dates automation holds there is no text form.
    const auto parts = oleDateParts(oleDate);
    if (!parts)
        return {};
    return parts->date.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('T') +
           parts->time.toString(QStringLiteral("HH:mm:ss.zzz"));
}

std::optional<double> oleDateFromText(const QString& text) {
    const qsizetype t = text.indexOf(QLatin1Char('T'));
    if (t < 0)
        return std::nullopt;
    const QDate date = QDate::fromString(text.left(t), QStringLiteral("yyyy-MM-dd"));
    QTime time = QTime::fromString(text.mid(t + 1), QStringLiteral("HH:mm:ss.zzz"));
    if (!time.isValid())
        time = QTime::fromString(text.mid(t + 1), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return oleDateFromParts(date, time);
}

QJsonValue variantToJson(const Variant& value) {
    return variantToJson(value, VariantJsonForm{});
}

QJsonValue variantToJson(const Variant& value, const VariantJsonForm& form) {
    switch (value.type()) {
    case VarType::Empty:
        return QJsonObject{{QStringLiteral("vt"), QStringLiteral("empty")}};
    case VarType::Null:
        return QJsonValue(QJsonValue::Null);
    case VarType::I4:
        return value.toInt32();
    case VarType::R8: {
        const double number = value.toDouble();
        // A plain number that looks like an integer would come back as I4.
        if (form.tagEveryDouble || !std::isfinite(number) || std::trunc(number) == number)
            return tagged("r8", doubleJson(number));
        return number;
    }
    case VarType::Bool:
        return value.toBool();
    case VarType::BStr:
        return value.toText();
    case VarType::Date: {
        const double days = value.toDate().value;
        if (form.datesAsDays)
            return tagged("date", doubleJson(days));
        const QString text = oleDateText(days);
        if (!text.isEmpty() && oleDateFromText(text) == days)
            return tagged("date", text);
        return tagged("date", doubleJson(days));
    }
    case VarType::Array: {
        QJsonArray items;
        for (const Variant& item : value.toArray())
            items.append(variantToJson(item, form));
        return items;
    }
    case VarType::Bytes:
        return tagged("bytes", QString::fromLatin1(value.toBytes().toBase64()));
    case VarType::Packet:
        return QJsonObject{{QStringLiteral("vt"), QStringLiteral("packet")},
                           {QStringLiteral("value"), QJsonDocument::fromJson(value.packetJson()).object()}};
    case VarType::Dispatch:
        break;
    }
    if (form.objectsAsNull)
        return QJsonValue(QJsonValue::Null);
    return QJsonObject{{QStringLiteral("vt"), QStringLiteral("dispatch")}};
}

std::optional<Variant> variantFromJson(const QJsonValue& json, QString* error) {
    switch (json.type()) {
    case QJsonValue::Null:
        return Variant::null();
    case QJsonValue::Bool:
        return Variant(json.toBool());
    case QJsonValue::String:
        return Variant(json.toString());
    case QJsonValue::Double: {
        const double number = json.toDouble();
        if (isInt32(number))
            return Variant(static_cast<int32_t>(number));
        return Variant(number);
    }
    case QJsonValue::Array: {
        VariantArray items;
        const QJsonArray array = json.toArray();
        items.reserve(array.size());
        for (const QJsonValue& item : array) {
            auto decoded = variantFromJson(item, error);
            if (!decoded)
                return std::nullopt;
            items.append(std::move(*decoded));
        }
        return Variant(std::move(items));
    }
    case QJsonValue::Object:
        return taggedFromJson(json.toObject(), error);
    case QJsonValue::Undefined:
        break;
    }
    return Variant();
}

} // namespace morvane::platform
