#pragma once

#include "Event.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace morvane::platform {
class SqlConnection;
}

namespace morvane::events {

class EventStream;

// Writes every swipe and door event of the stream into brushcardlog, once, on a thread of its own that
// reads the stream's ring (so that neither the stream nor the scan waits for the database). The number of
// the last event written is kept in a table of the server's own (morvane_swipelog) in the same transaction
// as the row, so that a restart goes on after it with what the ring still holds, and a row that holds the
// same controller time, card, MAC, door and event is not written again (a record read twice).
//
// Whether it writes: [Events] SwipeLog of systeminfo.ini (1 or 0); without it, on where the swipe log was
// empty when the server first kept its place there (a new installation), off where rows were there already
// (another program stores them), as decided then.
//
// Threads: start() and stop() on the main thread; notify() on the stream's thread; the writing thread.
// m_mutex guards m_pending and m_stopping; m_lastSeq is the writing thread's once it runs.
class SwipeLog {
public:
    SwipeLog(platform::SqlConnection* database, std::optional<bool> setting);
    ~SwipeLog();
    SwipeLog(const SwipeLog&) = delete;
    SwipeLog& operator=(const SwipeLog&) = delete;

    // Prepares the table of its place, decides, and starts writing from there; false when it does not
    // write (with the reason when it cannot).
    bool start(const EventStream& stream, QString* error = nullptr);
    // The stream has numbered more events (cheap, never waits).
    void notify();
    // Writes what has been numbered, then ends.
    void stop();

    // The one text format of brushcardtime and InputTime.
    static constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";

private:
    void run();
    bool write(const EventPtr& event);

    platform::SqlConnection* m_db;
    std::optional<bool> m_setting;
    const EventStream* m_stream = nullptr;
    quint64 m_lastSeq = 0;  // the last event passed (written or making no row)
    quint64 m_savedSeq = 0; // the last kept in morvane_swipelog
    std::chrono::steady_clock::time_point m_placeSavedAt{};
    bool m_warned = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_pending = true;
    bool m_stopping = false;
    std::thread m_thread;
};

std::optional<bool> readSwipeLogSetting(const QString& systemInfoIni);

} // namespace morvane::events
