#pragma once

#include "Automation.h"
#include "IcmpEcho.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace morvane::test {

// A lock-communication object whose answers a test scripts. Called by the scanning thread, inspected
// by the test thread: m_mutex guards the scripts and the counters.
class FakeController : public platform::DispatchObject {
public:
    struct RecordAnswer {
        int32_t code = 0;
        platform::Variant record;
    };
    struct SwitchAnswer {
        int32_t code = 0;
        platform::Variant cardNumber;
        platform::Variant circuitry1;
        platform::Variant circuitry2;
        platform::Variant mcState;
        platform::Variant alarmState;
    };

    FakeController() {
        addMember(QStringLiteral("ComifGetRealTimeMonitorRecord"), 1, 1, [this](platform::Arguments& args) {
            std::function<void()> during;
            RecordAnswer answer;
            {
                std::lock_guard lock(m_mutex);
                ++m_recordCalls;
                answer = m_records.isEmpty() ? m_recordDefault : m_records.takeFirst();
                during = m_during;
            }
            if (during)
                during();
            args[0].set(answer.record);
            return platform::Variant(answer.code);
        });
        addMember(QStringLiteral("ComifReadDeviceInfo"), 2, 5, [this](platform::Arguments& args) {
            SwitchAnswer answer;
            {
                std::lock_guard lock(m_mutex);
                ++m_switchCalls;
                answer = m_switches.isEmpty() ? m_switchDefault : m_switches.takeFirst();
            }
            args[0].set(answer.cardNumber);
            args[1].set(answer.circuitry1);
            args[2].set(answer.circuitry2);
            args[3].set(answer.mcState);
            args[4].set(answer.alarmState);
            return platform::Variant(answer.code);
        });
        addMember(QStringLiteral("ComifCloseConnection"), 3, 0, [this](platform::Arguments&) {
            std::lock_guard lock(m_mutex);
            ++m_closeCalls;
            return platform::Variant(int32_t(0));
        });
    }

    void answerRecords(const RecordAnswer& always, QList<RecordAnswer> first = {}) {
        std::lock_guard lock(m_mutex);
        m_recordDefault = always;
        m_records = std::move(first);
    }
    void answerSwitch(const SwitchAnswer& always, QList<SwitchAnswer> first = {}) {
        std::lock_guard lock(m_mutex);
        m_switchDefault = always;
        m_switches = std::move(first);
    }
    // Runs inside every record fetch, on the scanning thread (to hold the thread inside a call).
    void duringRecordFetch(std::function<void()> action) {
        std::lock_guard lock(m_mutex);
        m_during = std::move(action);
    }
    int recordCalls() const {
        std::lock_guard lock(m_mutex);
        return m_recordCalls;
    }
    int switchCalls() const {
        std::lock_guard lock(m_mutex);
        return m_switchCalls;
    }
    int closeCalls() const {
        std::lock_guard lock(m_mutex);
        return m_closeCalls;
    }

private:
    mutable std::mutex m_mutex;
    RecordAnswer m_recordDefault;
    QList<RecordAnswer> m_records;
    SwitchAnswer m_switchDefault;
    QList<SwitchAnswer> m_switches;
    std::function<void()> m_during;
    int m_recordCalls = 0;
    int m_switchCalls = 0;
    int m_closeCalls = 0;
};

// An echo whose outcome the test sets; the state is shared so that it outlives the thread that owns
// the probe.
struct FakeEchoState {
    std::atomic<int> result{int(platform::EchoResult::Reply)};
    std::atomic<int> pings{0};
};

class FakeEcho : public platform::EchoProbe {
public:
    explicit FakeEcho(std::shared_ptr<FakeEchoState> state)
        : m_state(std::move(state)) {}
    platform::EchoOutcome ping(const QString&) override {
        ++m_state->pings;
        return {platform::EchoResult(m_state->result.load()), QStringLiteral("scripted")};
    }

private:
    std::shared_ptr<FakeEchoState> m_state;
};

} // namespace morvane::test
