#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <cstdint>
#include <optional>

// The 64-byte UDP messages of UT0311-L0x door boards (port 60000): every request and reply has the
// start byte 0x17, the function code, two zero bytes and the board's serial number (little-endian),
// then the function's fields at fixed offsets. Values travel as texts (decimal numbers, "true"/"false",
// dotted addresses, "yyyy-MM-dd", "yyyy-MM-dd HH:mm:ss", "HH:mm"), keyed by field name written in lower
// case without spaces ("eventindex"). Shared by the component and the simulator.
namespace morvane::boardproto {

constexpr int kFrameBytes = 64;
constexpr uint8_t kStart = 0x17;
constexpr uint8_t kEventStart = 0x19; // newer firmware marks the events it sends on its own this way
constexpr uint16_t kPort = 60000;
constexpr uint32_t kMagic = 0x55aaaa55;

namespace fn {
constexpr uint8_t GetStatus = 0x20;
constexpr uint8_t SetTime = 0x30;
constexpr uint8_t GetTime = 0x32;
constexpr uint8_t OpenDoor = 0x40;
constexpr uint8_t PutCard = 0x50;
constexpr uint8_t DeleteCard = 0x52;
constexpr uint8_t GetCard = 0x5a;
constexpr uint8_t SetDoor = 0x80;
constexpr uint8_t GetDoor = 0x82;
constexpr uint8_t SetPasscodes = 0x8c;
constexpr uint8_t GetController = 0x94;
constexpr uint8_t SetAddress = 0x96;
constexpr uint8_t GetEvent = 0xb0;
constexpr uint8_t SetEventIndex = 0xb2;
constexpr uint8_t GetEventIndex = 0xb4;
} // namespace fn

// Door modes of set door / get door.
namespace doorMode {
constexpr int NormallyOpen = 1;
constexpr int NormallyClosed = 2;
constexpr int Controlled = 3;
} // namespace doorMode

// A slot of the event log that newer events have overwritten.
constexpr int kOverwrittenEvent = 0xff;

enum class FieldType {
    UInt8,
    UInt16,
    UInt32,
    Bool,
    IPv4,
    Mac,
    Version,
    Date,             // yyyymmdd, BCD
    OptionalDate,     // the same; all zero for none (an empty text)
    ShortDate,        // yymmdd, BCD, 20yy
    Time,             // hhmmss, BCD
    DateTime,         // yyyymmddhhmmss, BCD
    OptionalDateTime, // the same; all zero for none
    HHmm,             // hhmm, BCD
    Pin,              // 24-bit little-endian, 0..999999
    Magic,            // 0x55aaaa55, written by the encoder, no value
};

struct Field {
    const char* name;
    FieldType type;
    int offset;
};

struct Layout {
    const char* name;
    uint8_t function;
    bool response;
    QList<Field> fields;
};

using Values = QMap<QString, QString>;

// The layout of a function's request (response false) or reply; nullptr when unknown.
const Layout* layoutFor(uint8_t function, bool response);
// A field name as the layouts key it: lower case, letters and digits only ("Event Index" -> "eventindex").
QString fieldKey(const QString& name);

// A request or reply from its values; a missing value leaves the field zero. nullopt and *error for a
// value that the field cannot hold.
std::optional<QByteArray> encode(const Layout& layout, const Values& values, QString* error = nullptr);
// Every field of a 64-byte frame with the layout's start byte (0x17, or 0x19 for a reply) and function
// code; nullopt and *error for anything else, a nibble that is no decimal digit in a BCD field included.
std::optional<Values> decode(const Layout& layout, const QByteArray& frame, QString* error = nullptr);

// The function code and serial number of a frame of the right size and start, else nullopt.
struct Header {
    uint8_t start = 0;
    uint8_t function = 0;
    uint32_t serial = 0;
};
std::optional<Header> peekHeader(const QByteArray& frame);

// A request from the function's layout with the serial number filled in; empty when a value does not fit.
QByteArray request(uint8_t function, uint32_t serial, Values values = {}, QString* error = nullptr);
// A reply the same way (the simulator's side).
QByteArray reply(uint8_t function, uint32_t serial, Values values = {}, QString* error = nullptr);

} // namespace morvane::boardproto
