#pragma once

#include "Automation.h"
#include "BoardLink.h"
#include "ControllerProtocol.h"
#include "Exchange.h"
#include "SerialLine.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

namespace morvane::kestrova {

constexpr const char* kClsid = "{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}";
constexpr const char* kProgId = "KestrovaCom.TKestrova";
constexpr const char* kVersion = "1";

// The lock-communication object: bound by COMifCreateConnection to one controller, reached over UDP
// (a network lock or a door board) or over a serial line (a network switch); every other method is one request/reply
// exchange with it. Calls may come from several threads at once (a client's and the scanning thread):
// m_mutex guards the connection fields only, never an exchange, so one call never waits for another's
// time-out on a network link; a serial line lets one exchange through at a time itself.
class TKestrova : public platform::DispatchObject {
public:
    TKestrova();

private:
    struct Connection {
        enum class Kind { None, Network, Serial, Board } kind = Kind::None;
        QString mac; // normalised
        QString ip;
        uint16_t port = 0;
        std::shared_ptr<SerialLine> line;
        std::shared_ptr<BoardLink> board;    // a door board: its serial number and where it answers
        std::shared_ptr<UdpSockets> sockets; // a network lock's, kept between exchanges
    };

    platform::Variant createConnection(platform::Arguments& args);
    // Our handshake to ip:port and a board's "get controller" to ip:60000 at the same time; the first
    // answer with the MAC asked for makes *candidate a network lock or a board.
    int32_t connectNetwork(platform::Arguments& args, Connection* candidate);
    platform::Variant serialPortHandle(platform::Arguments& args);
    platform::Variant closeConnection();
    platform::Variant setUdpLinkInfo(platform::Arguments& args);
    platform::Variant setTimeOut(platform::Arguments& args);
    platform::Variant forward(const ctrlproto::MethodInfo& method, platform::Arguments& args);

    // One exchange on a given connection; writes the controller's outputs into the arguments (the one at
    // hexOutput read as hexadecimal digits where it goes into an int32 reference).
    int32_t exchange(const Connection& connection, ctrlproto::Request request, const QString& expectedMac,
                     platform::Arguments* args, ctrlproto::Reply* reply, int hexOutput = -1);
    int32_t sendTo(const Connection& connection, const ctrlproto::Request& request, const QString& expectedMac,
                   ctrlproto::Reply* reply);
    ctrlproto::Request newRequest(const QString& method, const QString& mac);

    Connection connection() const;
    Timing timing() const;

    const uint32_t m_session;
    std::atomic<uint32_t> m_sequence{0};
    mutable std::mutex m_mutex; // guards m_connection and m_timing (any calling thread)
    Connection m_connection;
    Timing m_timing;
};

} // namespace morvane::kestrova
