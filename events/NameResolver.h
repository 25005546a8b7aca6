#pragma once

#include "Event.h"

#include <QHash>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace morvane::platform {
class SqlConnection;
}

namespace morvane::events {

// Names for the controllers' events: the device of a MAC, the door of a device's door number, the staff
// member of a card, read from the database by a thread of its own and kept for a while (read again after
// a delta that changed those tables, or when a card is not known and the names are older than a few
// seconds). The stream never waits for the database: an event goes with the names known at the time.
//
// Threads: enrich() on the stream's thread; the reading thread. m_mutex guards m_names (replaced whole),
// m_wanted, m_stopping and m_readAt.
class NameResolver {
public:
    explicit NameResolver(platform::SqlConnection* database);
    ~NameResolver();
    NameResolver(const NameResolver&) = delete;
    NameResolver& operator=(const NameResolver&) = delete;

    // Adds deviceName, doorName, staffNo, staffName and cardType where they are known.
    void enrich(Event& event);
    // A line of the audit log: a statement that wrote the devices, doors or staff (or may have) has the
    // names read again. Any thread.
    void noticeAudit(const QJsonObject& line);

    struct Staff {
        int id = 0;
        QString name;
        QString cardType;
    };
    struct Names {
        QHash<QString, QPair<int, QString>> devices; // MAC (upper case, no separators) → id, name
        QHash<QPair<int, int>, QString> doors;       // device id, door number → name
        QHash<QString, Staff> staff;                 // card number text (upper case) → staff member
        const Staff* staffOf(qint64 card) const;
    };

private:
    void want();
    void run();
    std::shared_ptr<const Names> read() const;

    platform::SqlConnection* m_db;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::shared_ptr<const Names> m_names = std::make_shared<Names>();
    std::chrono::steady_clock::time_point m_readAt{};
    bool m_wanted = true;
    bool m_stopping = false;
    std::thread m_thread;
};

// The fields of a staff member an event may carry: only those who may browse the staff see them.
inline const QString kStaffModule = QStringLiteral("atn_base_staff");

} // namespace morvane::events
