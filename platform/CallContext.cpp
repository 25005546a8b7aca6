#include "CallContext.h"

namespace morvane::platform {

namespace {
thread_local std::shared_ptr<CallContext> t_current;
} // namespace

void CallContext::cancel() {
    m_cancelled.store(true);
    std::lock_guard lock(m_mutex);
    if (m_canceller)
        m_canceller();
}

void CallContext::setCanceller(std::function<void()> canceller) {
    std::lock_guard lock(m_mutex);
    m_canceller = std::move(canceller);
}

void CallContext::clearCanceller() {
    std::lock_guard lock(m_mutex);
    m_canceller = nullptr;
}

std::shared_ptr<CallContext> CallContext::current() {
    return t_current;
}

CallContext::Scope::Scope(std::shared_ptr<CallContext> context)
    : m_previous(std::exchange(t_current, std::move(context))) {}

CallContext::Scope::~Scope() {
    t_current = std::move(m_previous);
}

} // namespace morvane::platform
