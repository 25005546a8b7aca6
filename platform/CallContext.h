#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace morvane::platform {

// What a remote call runs on behalf of: one client connection. The endpoint that serves the
// connection makes it current on the thread that runs each of its calls; work that a call hands on (a
// statement on the database thread) carries it along, so that when the client goes the work is
// stopped at once instead of running on for nobody.
//
// Threads: cancel() from any thread (the endpoint's, when it sees the client gone); the canceller is
// set and cleared by the thread running work for the call (the database thread). m_mutex guards
// m_canceller, so that a cancel never runs a canceller that its owner has already taken back.
class CallContext {
public:
    // Marks the client gone and stops the work running for it now, if any.
    void cancel();
    bool isCancelled() const { return m_cancelled.load(); }

    // For the worker running a call's work: how to stop it from another thread, until cleared.
    void setCanceller(std::function<void()> canceller);
    void clearCanceller();

    // The context of the call that the current thread runs; null outside a call.
    static std::shared_ptr<CallContext> current();

    // Makes a context current on this thread for its lifetime.
    class Scope {
    public:
        explicit Scope(std::shared_ptr<CallContext> context);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::shared_ptr<CallContext> m_previous;
    };

private:
    std::atomic<bool> m_cancelled{false};
    std::mutex m_mutex;
    std::function<void()> m_canceller;
};

} // namespace morvane::platform
