#pragma once

namespace morvane {

// What start-up and the core reach of the main window. The core never sees a widget.
class IServerMain {
public:
    virtual ~IServerMain() = default;
    // The server start steps that follow the window's creation: component registration check and the
    // socket server.
    virtual void StartServices() = 0;
    // The part of the Close command that ends the window's services: the scanning thread is told to stop.
    virtual void CloseServices() = 0;
};

} // namespace morvane
