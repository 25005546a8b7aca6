#include "NameResolver.h"

#include "SqlConnection.h"

#include <QJsonArray>

namespace morvane::events {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kKeptFor{60};
// An unknown card reads the names again at most this often: a new card is known within it.
constexpr std::chrono::seconds kUnknownCardAfter{5};

QString macKey(const QString& mac) {
    QString key = mac.toUpper();
    key.remove(QLatin1Char('-'));
    key.remove(QLatin1Char(':'));
    return key.trimmed();
}

} // namespace

NameResolver::NameResolver(platform::SqlConnection* database)
    : m_db(database) {
    if (m_db)
        m_thread = std::thread([this] { run(); });
}

NameResolver::~NameResolver() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void NameResolver::want() {
    {
        std::lock_guard lock(m_mutex);
        m_wanted = true;
    }
    m_wake.notify_one();
}

void NameResolver::run() {
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_wanted || m_stopping; });
            if (m_stopping)
                return;
            m_wanted = false;
        }
        const std::shared_ptr<const Names> names = read();
        std::lock_guard lock(m_mutex);
        if (names)
            m_names = names;
        m_readAt = Clock::now();
    }
}

std::shared_ptr<const NameResolver::Names> NameResolver::read() const {
    const platform::SqlResult devices = m_db->exec(QStringLiteral("select id, devicename, mac from ac_device"));
    const platform::SqlResult doors =
        m_db->exec(QStringLiteral("select deviceid, dooraddress, doorname from ac_doorinfo"));
    const platform::SqlResult staff = m_db->exec(
        QStringLiteral("select id, username, cardnumber, cardtype from ac_staffer where cardnumber is not null"));
    if (!devices.ok || !doors.ok || !staff.ok)
        return nullptr;
    auto names = std::make_shared<Names>();
    for (const QVariantList& row : devices.rows)
        names->devices.insert(macKey(row.value(2).toString()),
                              {row.value(0).toInt(), row.value(1).toString().trimmed()});
    for (const QVariantList& row : doors.rows)
        names->doors.insert({row.value(0).toInt(), row.value(1).toInt()}, row.value(2).toString().trimmed());
    for (const QVariantList& row : staff.rows) {
        const QString card = row.value(2).toString().trimmed().toUpper();
        if (!card.isEmpty())
            names->staff.insert(card, Staff{row.value(0).toInt(), row.value(1).toString().trimmed(),
                                            row.value(3).isNull() ? QString() : row.value(3).toString()});
    }
    return names;
}

const NameResolver::Staff* NameResolver::Names::staffOf(qint64 card) const {
    // The card as the staff table may hold it: in decimal, or in hex with or without its leading zeros.
    for (const QString& text :
         {QString::number(card), QStringLiteral("%1").arg(card, 8, 16, QLatin1Char('0')).toUpper(),
          QString::number(card, 16).toUpper()}) {
        const auto found = staff.constFind(text);
        if (found != staff.constEnd())
            return &*found;
    }
    return nullptr;
}

namespace {

bool namesTable(const QString& table) {
    static const QStringList tables{QStringLiteral("ac_device"), QStringLiteral("ac_doorinfo"),
                                    QStringLiteral("ac_staffer")};
    return tables.contains(table, Qt::CaseInsensitive);
}

} // namespace

void NameResolver::noticeAudit(const QJsonObject& line) {
    const QJsonObject details = line.value(QStringLiteral("details")).toObject();
    bool touched = details.value(QStringLiteral("opaque")).toBool() ||
                   namesTable(details.value(QStringLiteral("table")).toString());
    for (const QJsonValue& table : details.value(QStringLiteral("written")).toArray())
        touched = touched || namesTable(table.toString());
    if (touched && m_db)
        want();
}

void NameResolver::enrich(Event& event) {
    if (!m_db || event.lock.isEmpty())
        return;
    std::shared_ptr<const Names> names;
    Clock::time_point readAt;
    {
        std::lock_guard lock(m_mutex);
        names = m_names;
        readAt = m_readAt;
    }
    const Clock::time_point now = Clock::now();
    if (now - readAt > kKeptFor)
        want();
    const bool hasCard = event.kind == kSwipe || event.kind == kDoor;
    const qint64 card = event.fields.value(QStringLiteral("card")).toInteger(-1);
    const Staff* staff = hasCard && card >= 0 ? names->staffOf(card) : nullptr;
    if (hasCard && card >= 0 && !staff && now - readAt > kUnknownCardAfter)
        want();
    const auto device = names->devices.constFind(macKey(event.lock));
    if (device != names->devices.constEnd()) {
        event.fields.insert(QStringLiteral("deviceName"), device->second);
        if (event.door > 0) {
            const auto door = names->doors.constFind({device->first, event.door});
            if (door != names->doors.constEnd())
                event.fields.insert(QStringLiteral("doorName"), *door);
        }
    }
    if (staff) {
        event.fields.insert(QStringLiteral("staffNo"), staff->id);
        event.fields.insert(QStringLiteral("staffName"), staff->name);
        if (!staff->cardType.isEmpty())
            event.fields.insert(QStringLiteral("cardType"), staff->cardType);
    }
}

} // namespace morvane::events
