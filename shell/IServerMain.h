#pragma once

namespace morvane {

// What start-up and the core reach of the main window. The core never sees a widget.
class IServerMain {
public:
    virtual ~IServerMain() = default;
    // The server start steps that follow the window's creation: component registration check and the
    // socket server.
    virtual void StartServices() = 0;
};

} // namespace morvane
