#include "MonitorRecords.h"

#include <QJsonArray>
#include <QString>

namespace morvane::monitor {

namespace {

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

int decimalDigit(QChar c) {
    const char16_t u = c.unicode();
    return u >= u'0' && u <= u'9' ? u - u'0' : -1;
}

// Reads pairs from the front of a text, in order, as the record layout names them P1, P2, ...
class PairReader {
public:
    explicit PairReader(QStringView text)
        : m_text(text) {}
    // Pair number `n` (1-based) converted as hex or decimal; a failure is remembered.
    uint8_t hex(int n) { return take(n, hexPair); }
    uint8_t decimal(int n) { return take(n, decimalPair); }
    bool ok() const { return m_ok; }

private:
    uint8_t take(int n, std::optional<uint8_t> (*convert)(QStringView)) {
        const qsizetype at = qsizetype(n - 1) * 2;
        if (at + 2 > m_text.size()) {
            m_ok = false;
            return 0;
        }
        const auto value = convert(m_text.mid(at, 2));
        if (!value)
            m_ok = false;
        return value.value_or(0);
    }
    QStringView m_text;
    bool m_ok = true;
};

QString hexText(const uint8_t* bytes, int count) {
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bytes), count).toHex().toUpper());
}

} // namespace

std::optional<uint8_t> hexPair(QStringView pair) {
    if (pair.size() != 2)
        return std::nullopt;
    const int high = hexDigit(pair[0]);
    const int low = hexDigit(pair[1]);
    if (high < 0 || low < 0)
        return std::nullopt;
    return uint8_t(high * 16 + low);
}

std::optional<uint8_t> decimalPair(QStringView pair) {
    if (pair.size() != 2)
        return std::nullopt;
    const int high = decimalDigit(pair[0]);
    const int low = decimalDigit(pair[1]);
    if (high < 0 || low < 0)
        return std::nullopt;
    return uint8_t(high * 10 + low);
}

std::optional<LockMonitorRecord> decodeLockRecord(QStringView text) {
    LockMonitorRecord record;
    PairReader pairs(text);
    if (text.size() == kShortRecordLength) {
        record.tailByte = pairs.hex(1);
        for (int i = 0; i < 4; ++i)
            record.unitBytes[size_t(i)] = pairs.hex(2 + i);
        record.recordForm = kShortRecordForm;
    } else if (text.size() == kLongRecordLength) {
        record.leadByte = pairs.hex(1);
        for (int i = 0; i < 4; ++i)
            record.dataBytes[size_t(i)] = pairs.hex(2 + i);
        record.byteA = pairs.decimal(6);
        record.byteB = pairs.decimal(7);
        for (int i = 0; i < 6; ++i)
            record.bytesC[size_t(i)] = pairs.decimal(8 + i);
        record.tailByte = pairs.decimal(14);
        for (int i = 0; i < 4; ++i)
            record.unitBytes[size_t(i)] = pairs.hex(15 + i);
        record.recordForm = kLongRecordForm;
    } else {
        return std::nullopt;
    }
    if (!pairs.ok())
        return std::nullopt;
    return record;
}

std::optional<std::array<uint8_t, 4>> leadingHexBytes(QStringView text) {
    std::array<uint8_t, 4> bytes{};
    PairReader pairs(text);
    for (int i = 0; i < 4; ++i)
        bytes[size_t(i)] = pairs.hex(1 + i);
    if (!pairs.ok())
        return std::nullopt;
    return bytes;
}

void writeLockDatagram(const LockMonitorRecord& record, uint8_t* buffer) {
    buffer[0] = kDatagramStart;
    buffer[1] = kLockDatagramType;
    buffer[2] = record.recordForm;
    for (int i = 0; i < 4; ++i) {
        buffer[3 + i] = record.unitBytes[size_t(i)];
        buffer[7 + i] = record.dataBytes[size_t(i)];
    }
    buffer[11] = record.leadByte;
    buffer[12] = record.byteA;
    for (int i = 0; i < 6; ++i)
        buffer[13 + i] = record.bytesC[size_t(i)];
    buffer[19] = record.byteB;
    buffer[20] = record.tailByte;
    buffer[21] = kDatagramEnd;
}

void writeSwitchDatagram(const SwitchStatusRecord& record, uint8_t* buffer) {
    buffer[0] = kDatagramStart;
    buffer[1] = kSwitchDatagramType;
    for (int i = 0; i < 4; ++i) {
        buffer[2 + i] = record.idBytes[size_t(i)];
        buffer[6 + i] = record.cardBytes[size_t(i)];
    }
    buffer[10] = record.circuitry1;
    buffer[11] = record.circuitry2;
    buffer[12] = record.alarmState;
    buffer[13] = record.status;
    buffer[14] = record.mcState;
    buffer[15] = kDatagramEnd;
}

QJsonObject describeDatagram(const QByteArray& datagram) {
    const auto* b = reinterpret_cast<const uint8_t*>(datagram.constData());
    const int size = int(datagram.size());
    QJsonObject out;
    out.insert(QStringLiteral("length"), size);
    const bool framed = size >= 3 && b[0] == kDatagramStart && b[size - 1] == kDatagramEnd;
    if (framed && size == kLockDatagramSize && b[1] == kLockDatagramType) {
        out.insert(QStringLiteral("type"), QStringLiteral("lock"));
        out.insert(QStringLiteral("form"), b[2]);
        out.insert(QStringLiteral("unit"), hexText(b + 3, 4));
        out.insert(QStringLiteral("data"), hexText(b + 7, 4));
        out.insert(QStringLiteral("lead"), b[11]);
        out.insert(QStringLiteral("a"), b[12]);
        QJsonArray c;
        for (int i = 0; i < 6; ++i)
            c.append(b[13 + i]);
        out.insert(QStringLiteral("c"), c);
        out.insert(QStringLiteral("b"), b[19]);
        out.insert(QStringLiteral("tail"), b[20]);
    } else if (framed && size == kSwitchDatagramSize && b[1] == kSwitchDatagramType) {
        out.insert(QStringLiteral("type"), QStringLiteral("switch"));
        out.insert(QStringLiteral("id"), hexText(b + 2, 4));
        out.insert(QStringLiteral("card"), hexText(b + 6, 4));
        out.insert(QStringLiteral("circuitry1"), b[10]);
        out.insert(QStringLiteral("circuitry2"), b[11]);
        out.insert(QStringLiteral("alarmState"), b[12]);
        out.insert(QStringLiteral("status"), b[13]);
        out.insert(QStringLiteral("mcState"), b[14]);
    } else {
        out.insert(QStringLiteral("type"), QStringLiteral("unknown"));
    }
    out.insert(QStringLiteral("hex"), hexText(b, size));
    return out;
}

} // namespace morvane::monitor
