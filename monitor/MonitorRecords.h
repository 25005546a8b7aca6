#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace morvane::monitor {

constexpr int kLockDatagramSize = 22;
constexpr int kSwitchDatagramSize = 16;
constexpr uint8_t kDatagramStart = 0x02;
constexpr uint8_t kDatagramEnd = 0x03;
constexpr uint8_t kLockDatagramType = 0x01;
constexpr uint8_t kSwitchDatagramType = 0x03;
constexpr uint8_t kShortRecordForm = 1;
constexpr uint8_t kLongRecordForm = 2;
constexpr int kShortRecordLength = 10;
constexpr int kLongRecordLength = 36;

// A network lock's decoded real-time record; the fields a record form does not carry stay 0.
struct LockMonitorRecord {
    std::array<uint8_t, 4> unitBytes{};
    uint8_t leadByte = 0;
    std::array<uint8_t, 4> dataBytes{};
    uint8_t byteA = 0;
    uint8_t byteB = 0;
    std::array<uint8_t, 6> bytesC{};
    uint8_t tailByte = 0;
    uint8_t recordForm = 0;
    bool operator==(const LockMonitorRecord&) const = default;
};

// A network switch's last state.
struct SwitchStatusRecord {
    std::array<uint8_t, 4> idBytes{};
    uint8_t status = 0;
    std::array<uint8_t, 4> cardBytes{};
    uint8_t circuitry1 = 0;
    uint8_t circuitry2 = 0;
    uint8_t alarmState = 0;
    uint8_t mcState = 0;
    bool operator==(const SwitchStatusRecord&) const = default;
};

// One pair of characters as a byte. Only the two characters themselves count: no sign, no blank, no
// prefix of the text's own, so a pair like " 1", "-1" or "0x" cannot be converted.
std::optional<uint8_t> hexPair(QStringView pair);
std::optional<uint8_t> decimalPair(QStringView pair);

// Decodes a record text of exactly 10 (short) or 36 (long) characters. Any other length, or a pair that
// cannot be converted, gives nothing: the record is dropped.
std::optional<LockMonitorRecord> decodeLockRecord(QStringView text);

// The first four hex pairs of a text (a card number, a switch ID); nothing when the text is shorter
// than 8 characters or one of those pairs cannot be converted.
std::optional<std::array<uint8_t, 4>> leadingHexBytes(QStringView text);

// The datagrams, written into the caller's buffer (at least 22 or 16 bytes).
void writeLockDatagram(const LockMonitorRecord& record, uint8_t* buffer);
void writeSwitchDatagram(const SwitchStatusRecord& record, uint8_t* buffer);

// A received datagram described field by field, for listeners: "type" is "lock", "switch" or "unknown".
QJsonObject describeDatagram(const QByteArray& datagram);

} // namespace morvane::monitor
