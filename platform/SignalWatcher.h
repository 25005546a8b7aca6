#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace morvane::platform {

// While it exists, SIGTERM and SIGINT end the application's event loop, as a Close command would, and
// SIGHUP calls `onHangUp` when one is given (otherwise SIGHUP keeps its default action): the handler only
// writes the signal's number to a socket pair that the main thread watches. One at a time, on the main
// thread.
class SignalWatcher {
public:
    explicit SignalWatcher(std::function<void()> onHangUp = {});
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void()> m_onHangUp;
};

} // namespace morvane::platform
