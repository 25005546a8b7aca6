#pragma once

#include "EventStream.h"
#include "JsonRpc.h"

#include <memory>

namespace morvane::events {

class Subscriber;

// A connection's guard with the stream's calls on top of the log-on's: Subscribe, Unsubscribe and
// EventSubscribers are answered here, on behalf of the operator the inner guard has logged on; every other
// call goes to the inner guard.
//
// Threads: the connection's call thread, one call at a time (the endpoint's rule for guards).
class EventGuard : public platform::rpc::LayeredGuard {
public:
    EventGuard(EventStream& stream, std::unique_ptr<platform::rpc::ConnectionGuard> inner);
    ~EventGuard() override;

    std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) override;
    void setOutlet(std::shared_ptr<platform::rpc::PushOutlet> outlet) override;

    // Wraps every guard that `inner` makes.
    static platform::rpc::GuardFactory factory(EventStream& stream, platform::rpc::GuardFactory inner);

private:
    QJsonObject subscribe(const QJsonValue& params);
    // MORVANE_EVENTS_INJECT=1 (benchmarks and tests only): administrators may call InjectEvents
    // {"count", "bytes", "lock"}, which publishes that many status events of that many bytes of text.
    static bool injectionAllowed();
    QJsonObject injectEvents(const QJsonObject& params);
    void unsubscribe();

    EventStream& m_stream;
    std::shared_ptr<platform::rpc::PushOutlet> m_outlet;
    std::shared_ptr<Subscriber> m_subscriber;
};

} // namespace morvane::events
