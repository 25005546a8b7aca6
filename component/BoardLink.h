#pragma once

#include "Automation.h"
#include "BoardProtocol.h"
#include "ControllerProtocol.h"
#include "Exchange.h"

#include <QString>

#include <cstdint>
#include <mutex>

namespace morvane::kestrova {

// A connection to a UT0311-L0x door board: the component's methods that have a counterpart on the
// board become its 64-byte requests to ip:60000, addressed by serial number; the others answer
// NotOnBoard. Shared by every call of one component object (a client's thread and the scanning thread at
// once): the locks below say what each guards.
class BoardLink {
public:
    BoardLink(QString ip, uint16_t port, uint32_t serial, QString mac);
    ~BoardLink();
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    uint32_t serial() const { return m_serial; }
    platform::Variant call(const ctrlproto::MethodInfo& method, platform::Arguments& args, const Timing& timing);

    // The 36-character record of a board event (a swipe), as the scanning thread reads ours; empty for
    // an event that is no swipe, an overwritten one, or an index of 0.
    static QString recordText(const boardproto::Values& event, const QString& mac, const QString& prefix);

private:
    // The board's read index and the index of its last event.
    int32_t eventIndexes(const Timing& timing, uint32_t& read, uint32_t& last);
    // One exchange: the request and the reply of the same function from this board's serial number.
    int32_t exchange(uint8_t function, boardproto::Values request, const Timing& timing,
                     boardproto::Values* reply = nullptr);
    int32_t okExchange(uint8_t function, boardproto::Values request, const Timing& timing, int32_t refused);
    int32_t setDoorMode(int door, int mode, std::optional<int> delay, const Timing& timing);

    int32_t addCard(platform::Arguments& args, const Timing& timing);
    int32_t loadPasswords(platform::Arguments& args, const Timing& timing);
    int32_t readRecord(platform::Arguments& args, const Timing& timing);
    int32_t recordCount(platform::Arguments& args, const Timing& timing);
    int32_t beginMonitor(const Timing& timing);
    int32_t realTimeRecord(platform::Arguments& args, const Timing& timing);

    const QString m_ip;
    const uint16_t m_port;
    const uint32_t m_serial;
    const QString m_mac;

    // One socket kept for the next exchange, so that a call does not open one of its own each time; a call
    // that finds it taken (another thread's exchange) opens its own. A socket whose exchange timed out is
    // closed, not kept, so that a late answer never meets a later call.
    std::mutex m_socketMutex; // any calling thread; guards m_idleSocket
    int m_idleSocket = -1;

    // Any calling thread. The read-modify-write sequences (a card's doors, a door's mode and delay, the
    // read index) run one after the other; real-time monitoring keeps a lock of its own, so that the
    // scanning thread's poll never waits for a client's sequence.
    std::mutex m_sequenceMutex;
    std::mutex m_monitorMutex; // guards m_lastEvent
    int64_t m_lastEvent = -1;  // the last event index handed out by real-time monitoring; -1: none yet
};

} // namespace morvane::kestrova
