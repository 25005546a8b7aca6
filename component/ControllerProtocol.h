#pragma once

#include "Variant.h"

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>

#include <cstdint>
#include <optional>

// The frames that the lock-communication component and a controller exchange, over UDP (one frame
// per datagram) and over a serial line (one frame per line, ended by LF). docs/controller-protocol.md
// is the reference; this is its one implementation, shared by the component and the simulator.
namespace morvane::ctrlproto {

using platform::Variant;
using platform::VariantArray;

constexpr const char* kTag = "KV1";
constexpr int kMaxFrameBytes = 8192;

// Statuses that the component itself returns (the controller's own statuses pass through unchanged).
namespace status {
constexpr int32_t Ok = 0;
constexpr int32_t NotConnected = 1001;    // the object has no connection for this call
constexpr int32_t NoReply = 1002;         // every attempt timed out
constexpr int32_t WrongController = 1003; // the handshake was answered with another MAC
constexpr int32_t BadArgument = 1004;     // empty or malformed MAC, IP, port, mode or handle
constexpr int32_t NoPort = 1005;          // the serial port cannot be opened, or no such handle
constexpr int32_t LineError = 1006;       // the serial line failed or closed during the exchange
constexpr int32_t Refused = 1007;         // the controller answered with an error frame
constexpr int32_t NotOnBoard = 1008;      // a door board has no counterpart of this method
constexpr int32_t BoardRefused = 1009;    // a door board answered that it did not carry the request out
constexpr int32_t LineBusy = 4;           // the serial line stayed in use by another call: ask again
} // namespace status

// Statuses that controllers (and the simulator) answer besides 0.
namespace controllerStatus {
constexpr int32_t OutOfRange = 2; // an argument outside what the controller holds (door, group...)
constexpr int32_t NotFound = 3;   // no such card, no stored record
constexpr int32_t UnknownMethod = 6;
} // namespace controllerStatus

struct Request {
    uint32_t session = 0; // chosen at random by each component object
    uint32_t sequence = 0;
    QString mac;
    QString method;
    VariantArray args;
    std::optional<double> clock; // the computer's clock (automation date), sent by COMifAdjustDateTime
};

struct Reply {
    uint32_t session = 0;
    uint32_t sequence = 0;
    QString mac; // the controller's own MAC
    int32_t status = 0;
    QMap<int, Variant> outputs; // by argument position (0-based): the values the controller writes back
    QString error;              // set in an error frame: the request was not understood
    Variant result;             // the method's own result where it is not just the status (EMPTY otherwise)
};

QJsonValue encodeVariant(const Variant& value);
std::optional<Variant> decodeVariant(const QJsonValue& value);

QByteArray encodeRequest(const Request& request);
QByteArray encodeReply(const Reply& reply);
// Both return nullopt with a one-line reason for anything that is not a well-formed frame of that kind.
std::optional<Request> decodeRequest(const QByteArray& frame, QString* error = nullptr);
std::optional<Reply> decodeReply(const QByteArray& frame, QString* error = nullptr);
// Reads the session and sequence of a frame that is otherwise unusable, so its sender can be told.
bool peekIds(const QByteArray& frame, uint32_t& session, uint32_t& sequence);

// The methods of "KestrovaCom.TKestrova" that travel to a controller, with their argument count; the
// three marked variantResult hand the controller's result on instead of the status. hexOutput is the
// argument that a controller writes as hexadecimal digits (a card number): an int32 reference takes
// the number those digits stand for.
struct MethodInfo {
    const char* name;
    int paramCount;
    bool variantResult = false;
    int hexOutput = -1;
};
const QList<MethodInfo>& controllerMethods();
// Looked up without regard to case, as by-name dispatch does; nullptr when unknown.
const MethodInfo* findMethod(const QString& name);

// "AA-BB-CC-DD-EE-FF" from six hex pairs separated by '-' or ':' or written together; nullopt otherwise.
std::optional<QString> normaliseMac(const QString& text);
// A dotted IPv4 address of four decimal numbers 0..255.
bool isValidIPv4(const QString& text);

} // namespace morvane::ctrlproto
