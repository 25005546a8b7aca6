#pragma once

#include <QByteArray>

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
// m_canceller, so that a cancel never runs a canceller that its owner has already taken back. The reply
// writer and the packet producer belong to the thread that runs the call (one call at a time).
class CallContext {
public:
    // Where a reply is written on as it is made (the endpoint serving the connection): the bytes go to
    // the peer in turn, with a wait while it has too much unread.
    class ReplyWriter {
    public:
        virtual ~ReplyWriter() = default;
        // False once the connection has gone: nothing more is to be written.
        virtual bool write(QByteArray bytes) = 0;
        // Ends the connection in the middle of the reply: what has gone cannot be taken back, and the peer
        // must not take the part for the whole.
        virtual void cut() = 0;
    };
    // Writes a data packet's bytes; false when the reply could not be completed (the connection is cut
    // or gone).
    using PacketProducer = std::function<bool(ReplyWriter&)>;

    // The endpoint offers its writer for the call it runs (null: every reply is handed back whole).
    void offerWriter(ReplyWriter* writer) { m_writer = writer; }
    ReplyWriter* writer() const { return m_writer; }
    // A method whose result is a data packet may leave the packet's bytes to `producer`, which writes
    // them in the reply's place once its head has gone; only while a writer is offered.
    void setPacketProducer(PacketProducer producer) { m_producer = std::move(producer); }
    PacketProducer takePacketProducer() { return std::exchange(m_producer, nullptr); }

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
    ReplyWriter* m_writer = nullptr;
    PacketProducer m_producer;
    std::atomic<bool> m_cancelled{false};
    std::mutex m_mutex;
    std::function<void()> m_canceller;
};

} // namespace morvane::platform
