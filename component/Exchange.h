#pragma once

#include "ControllerProtocol.h"

#include <QString>

#include <cstdint>

namespace morvane::kestrova {

// How long one request waits for its reply, and how often it is sent before the call gives up with
// status NoReply. The defaults come from MORVANE_KESTROVA_TIMEOUT_MS and MORVANE_KESTROVA_ATTEMPTS
// (250 ms, 3 attempts); ComifSetTimeOut changes them per object.
struct Timing {
    int attemptMs = 250;
    int attempts = 3;
    int totalMs() const { return attemptMs * attempts; }
    static Timing fromEnvironment();
};

// One request/reply exchange over UDP with the controller at ip:port, on a socket of its own (so that
// calls from several threads never see each other's replies). A reply counts only when it comes from
// that address and carries the request's session and sequence number and, when expectedMac is given,
// that MAC; anything else is dropped and the wait goes on. Returns 0 with *reply filled, or a status.
int32_t udpExchange(const QString& ip, uint16_t port, const ctrlproto::Request& request, const Timing& timing,
                    const QString& expectedMac, ctrlproto::Reply* reply);

} // namespace morvane::kestrova
