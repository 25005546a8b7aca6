#include "BoardProtocol.h"

#include <QDate>
#include <QDateTime>
#include <QStringList>
#include <QTime>

namespace morvane::boardproto {

namespace {

// The layouts of every message, after the public uhppoted-codegen models (MIT; the licence is kept
// with the test vectors in tests/component/data). The event a board sends on its own is laid out like
// the get status reply.
// A time profile as it is set and read back: the same fields, apart from the dates (unset when read)
// and the name the peer gives the linked profile.
QList<Field> timeProfile(FieldType dates, const char* linked) {
    return {{"controller", FieldType::UInt32, 4},
            {"profile", FieldType::UInt8, 8},
            {"startdate", dates, 9},
            {"enddate", dates, 13},
            {"monday", FieldType::Bool, 17},
            {"tuesday", FieldType::Bool, 18},
            {"wednesday", FieldType::Bool, 19},
            {"thursday", FieldType::Bool, 20},
            {"friday", FieldType::Bool, 21},
            {"saturday", FieldType::Bool, 22},
            {"sunday", FieldType::Bool, 23},
            {"segment1start", FieldType::HHmm, 24},
            {"segment1end", FieldType::HHmm, 26},
            {"segment2start", FieldType::HHmm, 28},
            {"segment2end", FieldType::HHmm, 30},
            {"segment3start", FieldType::HHmm, 32},
            {"segment3end", FieldType::HHmm, 34},
            {linked, FieldType::UInt8, 36}};
}

const QList<Layout>& layouts() {
    // A card as a board gives it back: its dates may be unset.
    const QList<Field> storedCard{{"controller", FieldType::UInt32, 4},
                                  {"card", FieldType::UInt32, 8},
                                  {"startdate", FieldType::OptionalDate, 12},
                                  {"enddate", FieldType::OptionalDate, 16},
                                  {"door1", FieldType::UInt8, 20},
                                  {"door2", FieldType::UInt8, 21},
                                  {"door3", FieldType::UInt8, 22},
                                  {"door4", FieldType::UInt8, 23},
                                  {"pin", FieldType::Pin, 24}};
    static const QList<Layout> all{
        {"get controller request", 0x94, false, {{"controller", FieldType::UInt32, 4}}},
        {"get controller response",
         0x94,
         true,
         {{"controller", FieldType::UInt32, 4},
          {"ipaddress", FieldType::IPv4, 8},
          {"subnetmask", FieldType::IPv4, 12},
          {"gateway", FieldType::IPv4, 16},
          {"macaddress", FieldType::Mac, 20},
          {"version", FieldType::Version, 26},
          {"date", FieldType::Date, 28}}},
        {"set IPv4 request",
         0x96,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"address", FieldType::IPv4, 8},
          {"netmask", FieldType::IPv4, 12},
          {"gateway", FieldType::IPv4, 16},
          {"", FieldType::Magic, 20}}},
        {"set IPv4 response", 0x96, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"get time request", 0x32, false, {{"controller", FieldType::UInt32, 4}}},
        {"get time response", 0x32, true, {{"controller", FieldType::UInt32, 4}, {"datetime", FieldType::DateTime, 8}}},
        {"set time request", 0x30, false, {{"controller", FieldType::UInt32, 4}, {"datetime", FieldType::DateTime, 8}}},
        {"set time response", 0x30, true, {{"controller", FieldType::UInt32, 4}, {"datetime", FieldType::DateTime, 8}}},
        {"get listener request", 0x92, false, {{"controller", FieldType::UInt32, 4}}},
        {"get listener response",
         0x92,
         true,
         {{"controller", FieldType::UInt32, 4},
          {"address", FieldType::IPv4, 8},
          {"port", FieldType::UInt16, 12},
          {"interval", FieldType::UInt8, 14}}},
        {"set listener request",
         0x90,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"address", FieldType::IPv4, 8},
          {"port", FieldType::UInt16, 12},
          {"interval", FieldType::UInt8, 14}}},
        {"set listener response", 0x90, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"get door request", 0x82, false, {{"controller", FieldType::UInt32, 4}, {"door", FieldType::UInt8, 8}}},
        {"get door response",
         0x82,
         true,
         {{"controller", FieldType::UInt32, 4},
          {"door", FieldType::UInt8, 8},
          {"mode", FieldType::UInt8, 9},
          {"delay", FieldType::UInt8, 10}}},
        {"set door request",
         0x80,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"door", FieldType::UInt8, 8},
          {"mode", FieldType::UInt8, 9},
          {"delay", FieldType::UInt8, 10}}},
        {"set door response",
         0x80,
         true,
         {{"controller", FieldType::UInt32, 4},
          {"door", FieldType::UInt8, 8},
          {"mode", FieldType::UInt8, 9},
          {"delay", FieldType::UInt8, 10}}},
        {"open door request", 0x40, false, {{"controller", FieldType::UInt32, 4}, {"door", FieldType::UInt8, 8}}},
        {"open door response", 0x40, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"get status request", 0x20, false, {{"controller", FieldType::UInt32, 4}}},
        {"get status response",
         0x20,
         true,
         {{"controller", FieldType::UInt32, 4},  {"systemdate", FieldType::ShortDate, 51},
          {"systemtime", FieldType::Time, 37},   {"door1open", FieldType::Bool, 28},
          {"door2open", FieldType::Bool, 29},    {"door3open", FieldType::Bool, 30},
          {"door4open", FieldType::Bool, 31},    {"door1button", FieldType::Bool, 32},
          {"door2button", FieldType::Bool, 33},  {"door3button", FieldType::Bool, 34},
          {"door4button", FieldType::Bool, 35},  {"relays", FieldType::UInt8, 49},
          {"inputs", FieldType::UInt8, 50},      {"systemerror", FieldType::UInt8, 36},
          {"specialinfo", FieldType::UInt8, 48}, {"eventindex", FieldType::UInt32, 8},
          {"eventtype", FieldType::UInt8, 12},   {"eventaccessgranted", FieldType::Bool, 13},
          {"eventdoor", FieldType::UInt8, 14},   {"eventdirection", FieldType::UInt8, 15},
          {"eventcard", FieldType::UInt32, 16},  {"eventtimestamp", FieldType::OptionalDateTime, 20},
          {"eventreason", FieldType::UInt8, 27}, {"sequenceno", FieldType::UInt32, 40}}},
        {"get cards request", 0x58, false, {{"controller", FieldType::UInt32, 4}}},
        {"get cards response", 0x58, true, {{"controller", FieldType::UInt32, 4}, {"cards", FieldType::UInt32, 8}}},
        {"get card request", 0x5a, false, {{"controller", FieldType::UInt32, 4}, {"card", FieldType::UInt32, 8}}},
        {"get card response", 0x5a, true, storedCard},
        {"get card at index request",
         0x5c,
         false,
         {{"controller", FieldType::UInt32, 4}, {"index", FieldType::UInt32, 8}}},
        {"get card at index response", 0x5c, true, storedCard},
        {"put card request",
         0x50,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"card", FieldType::UInt32, 8},
          {"startdate", FieldType::Date, 12},
          {"enddate", FieldType::Date, 16},
          {"door1", FieldType::UInt8, 20},
          {"door2", FieldType::UInt8, 21},
          {"door3", FieldType::UInt8, 22},
          {"door4", FieldType::UInt8, 23},
          {"pin", FieldType::Pin, 24}}},
        {"put card response", 0x50, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"delete card request", 0x52, false, {{"controller", FieldType::UInt32, 4}, {"card", FieldType::UInt32, 8}}},
        {"delete card response", 0x52, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"delete cards request", 0x54, false, {{"controller", FieldType::UInt32, 4}, {"", FieldType::Magic, 8}}},
        {"delete all cards response", 0x54, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"get event request",
         0xb0,
         false,
         {{"controller", FieldType::UInt32, 4}, {"eventindex", FieldType::UInt32, 8}}},
        {"get event response",
         0xb0,
         true,
         {{"controller", FieldType::UInt32, 4},
          {"index", FieldType::UInt32, 8},
          {"eventtype", FieldType::UInt8, 12},
          {"accessgranted", FieldType::Bool, 13},
          {"door", FieldType::UInt8, 14},
          {"direction", FieldType::UInt8, 15},
          {"card", FieldType::UInt32, 16},
          {"timestamp", FieldType::OptionalDateTime, 20},
          {"reason", FieldType::UInt8, 27}}},
        {"get event index request", 0xb4, false, {{"controller", FieldType::UInt32, 4}}},
        {"get event index response",
         0xb4,
         true,
         {{"controller", FieldType::UInt32, 4}, {"index", FieldType::UInt32, 8}}},
        {"set event index request",
         0xb2,
         false,
         {{"controller", FieldType::UInt32, 4}, {"eventindex", FieldType::UInt32, 8}, {"", FieldType::Magic, 12}}},
        {"set event index response", 0xb2, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"record special events request",
         0x8e,
         false,
         {{"controller", FieldType::UInt32, 4}, {"enabled", FieldType::Bool, 8}}},
        {"record special events response",
         0x8e,
         true,
         {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"get time profile request",
         0x98,
         false,
         {{"controller", FieldType::UInt32, 4}, {"profile", FieldType::UInt8, 8}}},
        {"get time profile response", 0x98, true, timeProfile(FieldType::OptionalDate, "linkedprofile")},
        {"set time profile request", 0x88, false, timeProfile(FieldType::Date, "linkedprofileid")},
        {"set time profile response", 0x88, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"clear time profiles request", 0x8a, false, {{"controller", FieldType::UInt32, 4}, {"", FieldType::Magic, 8}}},
        {"clear time profiles response",
         0x8a,
         true,
         {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"add task request",
         0xa8,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"task", FieldType::UInt8, 26},
          {"startdate", FieldType::Date, 8},
          {"enddate", FieldType::Date, 12},
          {"monday", FieldType::Bool, 16},
          {"tuesday", FieldType::Bool, 17},
          {"wednesday", FieldType::Bool, 18},
          {"thursday", FieldType::Bool, 19},
          {"friday", FieldType::Bool, 20},
          {"saturday", FieldType::Bool, 21},
          {"sunday", FieldType::Bool, 22},
          {"starttime", FieldType::HHmm, 23},
          {"door", FieldType::UInt8, 25},
          {"morecards", FieldType::UInt8, 27}}},
        {"add task response", 0xa8, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"refresh task list request", 0xac, false, {{"controller", FieldType::UInt32, 4}, {"", FieldType::Magic, 8}}},
        {"refresh task list response", 0xac, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"clear task list request", 0xa6, false, {{"controller", FieldType::UInt32, 4}, {"", FieldType::Magic, 8}}},
        {"clear task list response", 0xa6, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"set PC control request",
         0xa0,
         false,
         {{"controller", FieldType::UInt32, 4}, {"", FieldType::Magic, 8}, {"enabled", FieldType::Bool, 12}}},
        {"set PC control response", 0xa0, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"set interlock request",
         0xa2,
         false,
         {{"controller", FieldType::UInt32, 4}, {"interlock", FieldType::UInt8, 8}}},
        {"set interlock response", 0xa2, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"activate keypads request",
         0xa4,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"reader1", FieldType::Bool, 8},
          {"reader2", FieldType::Bool, 9},
          {"reader3", FieldType::Bool, 10},
          {"reader4", FieldType::Bool, 11}}},
        {"activate keypads response", 0xa4, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"set door passcodes request",
         0x8c,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"door", FieldType::UInt8, 8},
          {"passcode1", FieldType::Pin, 12},
          {"passcode2", FieldType::Pin, 16},
          {"passcode3", FieldType::Pin, 20},
          {"passcode4", FieldType::Pin, 24}}},
        {"set door passcodes response", 0x8c, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"get antipassback request", 0x86, false, {{"controller", FieldType::UInt32, 4}}},
        {"get anti-passback response",
         0x86,
         true,
         {{"controller", FieldType::UInt32, 4}, {"antipassback", FieldType::UInt8, 8}}},
        {"set antipassback request",
         0x84,
         false,
         {{"controller", FieldType::UInt32, 4}, {"antipassback", FieldType::UInt8, 8}}},
        {"set anti-passback response", 0x84, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"set first-card request",
         0xaa,
         false,
         {{"controller", FieldType::UInt32, 4},
          {"door", FieldType::UInt8, 8},
          {"starttime", FieldType::HHmm, 9},
          {"endtime", FieldType::HHmm, 12},
          {"activemode", FieldType::UInt8, 11},
          {"inactivemode", FieldType::UInt8, 14},
          {"monday", FieldType::Bool, 15},
          {"tuesday", FieldType::Bool, 16},
          {"wednesday", FieldType::Bool, 17},
          {"thursday", FieldType::Bool, 18},
          {"friday", FieldType::Bool, 19},
          {"saturday", FieldType::Bool, 20},
          {"sunday", FieldType::Bool, 21}}},
        {"set first-card response", 0xaa, true, {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
        {"restore default parameters request",
         0xc8,
         false,
         {{"controller", FieldType::UInt32, 4}, {"", FieldType::Magic, 8}}},
        {"restore default parameters response",
         0xc8,
         true,
         {{"controller", FieldType::UInt32, 4}, {"ok", FieldType::Bool, 8}}},
    };
    return all;
}

bool fail(QString* error, const QString& why) {
    if (error)
        *error = why;
    return false;
}

uint8_t toBcd(int value) {
    return static_cast<uint8_t>(((value / 10) % 10) << 4 | (value % 10));
}

// Two decimal digits from one byte; -1 for a nibble above 9.
int fromBcd(uint8_t byte) {
    const int high = byte >> 4;
    const int low = byte & 0x0f;
    return high > 9 || low > 9 ? -1 : high * 10 + low;
}

// Writes the digits of a decimal text of even length as BCD bytes.
void putDigits(QByteArray& frame, int offset, const QString& digits) {
    for (qsizetype i = 0; i + 1 < digits.size(); i += 2)
        frame[offset + i / 2] = static_cast<char>(toBcd(digits.mid(i, 2).toInt()));
}

// count BCD bytes as their digits; empty when one is not BCD.
QString getDigits(const QByteArray& frame, int offset, int count) {
    QString digits;
    for (int i = 0; i < count; ++i) {
        const int value = fromBcd(static_cast<uint8_t>(frame[offset + i]));
        if (value < 0)
            return {};
        digits += QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
    }
    return digits;
}

bool allZero(const QByteArray& frame, int offset, int count) {
    for (int i = 0; i < count; ++i) {
        if (frame[offset + i] != 0)
            return false;
    }
    return true;
}

void putLittle(QByteArray& frame, int offset, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        frame[offset + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

uint32_t getLittle(const QByteArray& frame, int offset, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<uint32_t>(static_cast<uint8_t>(frame[offset + i])) << (8 * i);
    return value;
}

int fieldBytes(FieldType type) {
    switch (type) {
    case FieldType::UInt8:
    case FieldType::Bool:
        return 1;
    case FieldType::UInt16:
    case FieldType::Version:
    case FieldType::HHmm:
        return 2;
    case FieldType::ShortDate:
    case FieldType::Time:
    case FieldType::Pin:
        return 3;
    case FieldType::UInt32:
    case FieldType::IPv4:
    case FieldType::Date:
    case FieldType::OptionalDate:
    case FieldType::Magic:
        return 4;
    case FieldType::Mac:
        return 6;
    case FieldType::DateTime:
    case FieldType::OptionalDateTime:
        return 7;
    }
    return 0;
}

bool encodeField(QByteArray& frame, const Field& field, const QString& text, QString* error) {
    const QString value = text.trimmed();
    const auto bad = [&]() {
        return fail(error, QStringLiteral("%1: cannot hold \"%2\"").arg(QLatin1String(field.name), text));
    };
    bool ok = false;
    switch (field.type) {
    case FieldType::UInt8:
    case FieldType::UInt16:
    case FieldType::UInt32:
    case FieldType::Pin: {
        const qulonglong number = value.toULongLong(&ok, 10);
        const qulonglong limit = field.type == FieldType::UInt8    ? 0xff
                                 : field.type == FieldType::UInt16 ? 0xffff
                                 : field.type == FieldType::Pin    ? 999999
                                                                   : 0xffffffffULL;
        if (!ok || number > limit)
            return bad();
        putLittle(frame, field.offset, static_cast<uint32_t>(number), fieldBytes(field.type));
        return true;
    }
    case FieldType::Bool: {
        const QString lower = value.toLower();
        if (lower != QLatin1String("true") && lower != QLatin1String("false"))
            return bad();
        frame[field.offset] = lower == QLatin1String("true") ? 1 : 0;
        return true;
    }
    case FieldType::IPv4:
    case FieldType::Mac: {
        const QStringList parts = value.split(field.type == FieldType::IPv4 ? QLatin1Char('.') : QLatin1Char(':'));
        if (parts.size() != fieldBytes(field.type))
            return bad();
        for (qsizetype i = 0; i < parts.size(); ++i) {
            const uint number = parts[i].toUInt(&ok, field.type == FieldType::IPv4 ? 10 : 16);
            if (!ok || number > 255 || parts[i].isEmpty() || parts[i].size() > 3)
                return bad();
            frame[field.offset + static_cast<int>(i)] = static_cast<char>(number);
        }
        return true;
    }
    case FieldType::Version: {
        const QStringList parts = value.mid(1).split(QLatin1Char('.'));
        const int major = parts.value(0).toInt(&ok);
        bool minorOk = false;
        const int minor = parts.value(1).toInt(&minorOk);
        if (!value.startsWith(QLatin1Char('v')) || parts.size() != 2 || !ok || !minorOk || major < 0 || major > 99 ||
            minor < 0 || minor > 99)
            return bad();
        frame[field.offset] = static_cast<char>(toBcd(major));
        frame[field.offset + 1] = static_cast<char>(toBcd(minor));
        return true;
    }
    case FieldType::Date:
    case FieldType::OptionalDate:
    case FieldType::ShortDate: {
        if (value.isEmpty() && field.type == FieldType::OptionalDate)
            return true;
        const QDate date = QDate::fromString(value, QStringLiteral("yyyy-MM-dd"));
        const int lowest = field.type == FieldType::ShortDate ? 2000 : 1;
        const int highest = field.type == FieldType::ShortDate ? 2099 : 9999;
        if (!date.isValid() || date.year() < lowest || date.year() > highest)
            return bad();
        const QString digits = date.toString(QStringLiteral("yyyyMMdd"));
        putDigits(frame, field.offset, field.type == FieldType::ShortDate ? digits.mid(2) : digits);
        return true;
    }
    case FieldType::DateTime:
    case FieldType::OptionalDateTime: {
        if (value.isEmpty() && field.type == FieldType::OptionalDateTime)
            return true;
        const QDateTime when = QDateTime::fromString(value, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (!when.isValid() || when.date().year() < 1 || when.date().year() > 9999)
            return bad();
        putDigits(frame, field.offset, when.toString(QStringLiteral("yyyyMMddHHmmss")));
        return true;
    }
    case FieldType::Time:
    case FieldType::HHmm: {
        const bool seconds = field.type == FieldType::Time;
        const QTime time = QTime::fromString(value, seconds ? QStringLiteral("H:mm:ss") : QStringLiteral("H:mm"));
        if (!time.isValid())
            return bad();
        putDigits(frame, field.offset, time.toString(seconds ? QStringLiteral("HHmmss") : QStringLiteral("HHmm")));
        return true;
    }
    case FieldType::Magic:
        putLittle(frame, field.offset, kMagic, 4);
        return true;
    }
    return bad();
}

std::optional<QString> decodeField(const QByteArray& frame, const Field& field) {
    const int bytes = fieldBytes(field.type);
    switch (field.type) {
    case FieldType::UInt8:
    case FieldType::UInt16:
    case FieldType::UInt32:
        return QString::number(getLittle(frame, field.offset, bytes));
    case FieldType::Pin: {
        // Three bytes hold more than the six digits a keypad takes: a larger value is no PIN.
        const uint32_t pin = getLittle(frame, field.offset, bytes);
        if (pin > 999999)
            return std::nullopt;
        return QString::number(pin);
    }
    case FieldType::Bool:
        return frame[field.offset] != 0 ? QStringLiteral("true") : QStringLiteral("false");
    case FieldType::IPv4: {
        QStringList parts;
        for (int i = 0; i < bytes; ++i)
            parts.append(QString::number(static_cast<uint8_t>(frame[field.offset + i])));
        return parts.join(QLatin1Char('.'));
    }
    case FieldType::Mac: {
        QStringList parts;
        for (int i = 0; i < bytes; ++i)
            parts.append(
                QStringLiteral("%1").arg(static_cast<uint8_t>(frame[field.offset + i]), 2, 16, QLatin1Char('0')));
        return parts.join(QLatin1Char(':'));
    }
    case FieldType::Version: {
        const int major = fromBcd(static_cast<uint8_t>(frame[field.offset]));
        const QString minor = getDigits(frame, field.offset + 1, 1);
        if (major < 0 || minor.isEmpty())
            return std::nullopt;
        return QStringLiteral("v%1.%2").arg(major).arg(minor);
    }
    case FieldType::Date:
    case FieldType::OptionalDate:
    case FieldType::ShortDate: {
        if (field.type == FieldType::OptionalDate && allZero(frame, field.offset, bytes))
            return QString();
        QString digits = getDigits(frame, field.offset, bytes);
        if (field.type == FieldType::ShortDate && !digits.isEmpty())
            digits.prepend(QStringLiteral("20"));
        const QDate date = QDate::fromString(digits, QStringLiteral("yyyyMMdd"));
        if (!date.isValid())
            return std::nullopt;
        return date.toString(QStringLiteral("yyyy-MM-dd"));
    }
    case FieldType::DateTime:
    case FieldType::OptionalDateTime: {
        if (field.type == FieldType::OptionalDateTime && allZero(frame, field.offset, bytes))
            return QString();
        const QDateTime when =
            QDateTime::fromString(getDigits(frame, field.offset, bytes), QStringLiteral("yyyyMMddHHmmss"));
        if (!when.isValid())
            return std::nullopt;
        return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    case FieldType::Time:
    case FieldType::HHmm: {
        const bool seconds = field.type == FieldType::Time;
        const QTime time = QTime::fromString(getDigits(frame, field.offset, bytes),
                                             seconds ? QStringLiteral("HHmmss") : QStringLiteral("HHmm"));
        if (!time.isValid())
            return std::nullopt;
        return time.toString(seconds ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm"));
    }
    case FieldType::Magic:
        return QString();
    }
    return std::nullopt;
}

} // namespace

const Layout* layoutFor(uint8_t function, bool response) {
    for (const Layout& layout : layouts()) {
        if (layout.function == function && layout.response == response)
            return &layout;
    }
    return nullptr;
}

QString fieldKey(const QString& name) {
    QString key;
    for (QChar c : name.toLower()) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            key += c;
    }
    return key;
}

std::optional<QByteArray> encode(const Layout& layout, const Values& values, QString* error) {
    QByteArray frame(kFrameBytes, '\0');
    frame[0] = static_cast<char>(kStart);
    frame[1] = static_cast<char>(layout.function);
    for (const Field& field : layout.fields) {
        const QString name = QLatin1String(field.name);
        if (field.type != FieldType::Magic && !values.contains(name))
            continue;
        if (!encodeField(frame, field, values.value(name), error))
            return std::nullopt;
    }
    return frame;
}

std::optional<Values> decode(const Layout& layout, const QByteArray& frame, QString* error) {
    const auto header = peekHeader(frame);
    if (!header) {
        fail(error, QStringLiteral("not a %1-byte board frame").arg(kFrameBytes));
        return std::nullopt;
    }
    if (header->start != kStart && !(layout.response && header->start == kEventStart)) {
        fail(error, QStringLiteral("start byte 0x%1").arg(header->start, 2, 16, QLatin1Char('0')));
        return std::nullopt;
    }
    if (header->function != layout.function) {
        fail(error, QStringLiteral("function 0x%1, not 0x%2")
                        .arg(header->function, 2, 16, QLatin1Char('0'))
                        .arg(layout.function, 2, 16, QLatin1Char('0')));
        return std::nullopt;
    }
    Values values;
    for (const Field& field : layout.fields) {
        if (field.type == FieldType::Magic)
            continue;
        const auto value = decodeField(frame, field);
        if (!value) {
            fail(error, QStringLiteral("%1: not a valid value").arg(QLatin1String(field.name)));
            return std::nullopt;
        }
        values.insert(QLatin1String(field.name), *value);
    }
    return values;
}

std::optional<Header> peekHeader(const QByteArray& frame) {
    if (frame.size() != kFrameBytes)
        return std::nullopt;
    Header header;
    header.start = static_cast<uint8_t>(frame[0]);
    header.function = static_cast<uint8_t>(frame[1]);
    header.serial = getLittle(frame, 4, 4);
    if (header.start != kStart && header.start != kEventStart)
        return std::nullopt;
    return header;
}

namespace {

QByteArray build(uint8_t function, bool response, uint32_t serial, Values values, QString* error) {
    const Layout* layout = layoutFor(function, response);
    if (!layout) {
        fail(error, QStringLiteral("unknown function 0x%1").arg(function, 2, 16, QLatin1Char('0')));
        return {};
    }
    values.insert(QStringLiteral("controller"), QString::number(serial));
    return encode(*layout, values, error).value_or(QByteArray());
}

} // namespace

QByteArray request(uint8_t function, uint32_t serial, Values values, QString* error) {
    return build(function, false, serial, std::move(values), error);
}

QByteArray reply(uint8_t function, uint32_t serial, Values values, QString* error) {
    return build(function, true, serial, std::move(values), error);
}

} // namespace morvane::boardproto
