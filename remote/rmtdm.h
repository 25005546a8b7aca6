#pragma once

#include "Automation.h"

namespace morvane {

// The remote data module: one instance per client connection.
class Trmtserver : public platform::DispatchObject {
public:
    Trmtserver();
};

// Registers the class factory of rmtserver with the automation server: multi-instance, free threading,
// with the registry values "Sockets" and "Web" that let the socket and web transports create it.
void registerRmtserverFactory();

} // namespace morvane
