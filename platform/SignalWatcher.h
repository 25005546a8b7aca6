#pragma once

#include <QSocketNotifier>

#include <memory>

namespace morvane::platform {

// While it exists, SIGTERM and SIGINT end the application's event loop, as a Close command would: the
// handler only writes to a socket pair that the main thread watches. One at a time, on the main thread.
class SignalWatcher {
public:
    SignalWatcher();
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace morvane::platform
