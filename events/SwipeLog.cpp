#include "SwipeLog.h"

#include "EventStream.h"
#include "ProfileFile.h"
#include "SqlConnection.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace morvane::events {

Q_LOGGING_CATEGORY(lcSwipeLog, "morvane.events.swipelog")

namespace {

QVariant text(const QJsonObject& fields, const char* key, int width) {
    const QJsonValue value = fields.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return QVariant(QMetaType(QMetaType::QString));
    return (value.isString() ? value.toString() : QString::number(value.toInteger())).left(width);
}

} // namespace

std::optional<bool> readSwipeLogSetting(const QString& systemInfoIni) {
    const int value =
        platform::ProfileFile(systemInfoIni).readInteger(QStringLiteral("Events"), QStringLiteral("SwipeLog"), -1);
    if (value < 0)
        return std::nullopt;
    return value != 0;
}

SwipeLog::SwipeLog(platform::SqlConnection* database, std::optional<bool> setting)
    : m_db(database)
    , m_setting(setting) {}

SwipeLog::~SwipeLog() {
    stop();
}

bool SwipeLog::start(const EventStream& stream, QString* error) {
    if (!m_db || !m_db->isOpen() || m_setting == std::optional<bool>(false))
        return false;
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    platform::SqlResult place =
        m_db->exec(QStringLiteral("select lastseq, enabled from morvane_swipelog where id = 1"));
    if (!place.ok) {
        // The first start on this database: a swipe log with rows is another program's.
        const platform::SqlResult rows = m_db->exec(QStringLiteral("select count(*) from brushcardlog"));
        if (!rows.ok || rows.rows.isEmpty())
            return fail(rows.error);
        const bool empty = rows.rows.first().value(0).toLongLong() == 0;
        const platform::SqlResult made = m_db->exec(
            QStringLiteral("create table morvane_swipelog (id int primary key, lastseq bigint, enabled int)"));
        if (!made.ok)
            return fail(made.error);
        const platform::SqlResult first = m_db->exec(
            QStringLiteral("insert into morvane_swipelog (id, lastseq, enabled) values (1, 0, ?)"), {empty ? 1 : 0});
        if (!first.ok)
            return fail(first.error);
        place = m_db->exec(QStringLiteral("select lastseq, enabled from morvane_swipelog where id = 1"));
    }
    if (!place.ok || place.rows.isEmpty())
        return fail(place.error);
    if (!m_setting.value_or(place.rows.first().value(1).toInt() != 0))
        return false;
    m_lastSeq = quint64(place.rows.first().value(0).toLongLong());
    m_savedSeq = m_lastSeq;
    m_stream = &stream;
    m_thread = std::thread([this] { run(); });
    return true;
}

void SwipeLog::notify() {
    {
        std::lock_guard lock(m_mutex);
        m_pending = true;
    }
    m_wake.notify_one();
}

void SwipeLog::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void SwipeLog::run() {
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_pending || m_stopping; });
            m_pending = false;
            stopping = m_stopping;
        }
        // Everything numbered so far, from the ring, in order.
        for (;;) {
            quint64 oldest = 0;
            const std::vector<EventPtr> page = m_stream->range(m_lastSeq + 1, m_stream->newest(), 256, &oldest);
            if (oldest > m_lastSeq + 1 && m_lastSeq + 1 <= m_stream->newest()) {
                qCWarning(lcSwipeLog) << "events" << m_lastSeq + 1 << "to" << oldest - 1
                                      << "had left the ring before the swipe log had them";
                m_lastSeq = oldest - 1;
            }
            if (page.empty())
                break;
            bool written = true;
            for (const EventPtr& event : page) {
                written = write(event);
                if (!written)
                    break;
            }
            // The database refuses: tried again at the next events (or the next start).
            if (!written)
                break;
        }
        // Past events that make no row too, so that a restart does not read them again; at most once a second
        // (a restart passes over again what it has not kept), so that a busy stream does not keep the
        // database writing.
        const auto now = std::chrono::steady_clock::now();
        if (m_lastSeq > m_savedSeq && (stopping || now - m_placeSavedAt >= std::chrono::seconds(1))) {
            if (m_db->exec(QStringLiteral("update morvane_swipelog set lastseq = ? where id = 1"),
                           {static_cast<qint64>(m_lastSeq)})
                    .ok)
                m_savedSeq = m_lastSeq;
            m_placeSavedAt = now;
        }
        if (stopping)
            return;
    }
}

bool SwipeLog::write(const EventPtr& event) {
    if (event->seq <= m_lastSeq)
        return true;
    const bool logged = (event->kind == kSwipe || event->kind == kDoor) && !event->lock.isEmpty();
    if (!logged) {
        // Its place is kept with the next row written: a restart reads the others again and passes them by.
        m_lastSeq = event->seq;
        return true;
    }
    const QJsonObject fields = QJsonDocument::fromJson(event->json).object();
    QString controllerTime = fields.value(QStringLiteral("controllerTime")).toString();
    controllerTime.replace(QLatin1Char('T'), QLatin1Char(' '));
    const QVariantList row{controllerTime.isEmpty() ? QVariant(QMetaType(QMetaType::QString))
                                                    : QVariant(controllerTime),
                           text(fields, "card", 40),
                           text(fields, "lock", 40),
                           text(fields, "deviceName", 40),
                           event->door > 0 ? QVariant(event->door) : QVariant(QMetaType(QMetaType::Int)),
                           text(fields, "doorName", 40),
                           text(fields, "text", 100),
                           text(fields, "cardType", 20),
                           QDateTime::currentDateTime().toString(QLatin1String(kTimeFormat)),
                           text(fields, "staffName", 80)};
    const quint64 seq = event->seq;
    // The row and the place in one transaction, as one piece of work of the database's thread.
    QString failure;
    const bool done = m_db->call([&](QSqlDatabase& db) {
        if (!db.transaction()) {
            failure = db.lastError().text();
            return false;
        }
        bool ok = true;
        {
            QSqlQuery seen(db);
            seen.prepare(QStringLiteral("select count(*) from brushcardlog where mac = ? and cardno = ? and "
                                        "brushcardtime = ? and doornumber = ? and eventtype = ?"));
            for (const int i : {2, 1, 0, 4, 6})
                seen.addBindValue(row.at(i));
            ok = seen.exec() && seen.next();
            if (ok && seen.value(0).toLongLong() == 0) {
                QSqlQuery insert(db);
                insert.prepare(QStringLiteral("insert into brushcardlog (brushcardtime, cardno, mac, devicename, "
                                              "doornumber, doorname, eventtype, cardtype, InputTime, holder) values "
                                              "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
                for (const QVariant& value : row)
                    insert.addBindValue(value);
                ok = insert.exec();
                if (!ok)
                    failure = insert.lastError().text();
            } else if (!ok) {
                failure = seen.lastError().text();
            }
        }
        if (ok) {
            QSqlQuery place(db);
            place.prepare(QStringLiteral("update morvane_swipelog set lastseq = ? where id = 1"));
            place.addBindValue(static_cast<qint64>(seq));
            ok = place.exec();
            if (!ok)
                failure = place.lastError().text();
        }
        if (ok)
            ok = db.commit();
        else
            db.rollback();
        return ok;
    });
    if (done) {
        m_lastSeq = seq;
        m_savedSeq = seq;
        m_warned = false;
    } else if (!m_warned) {
        m_warned = true;
        qCWarning(lcSwipeLog) << "event" << seq << "cannot be written to the swipe log:" << failure;
    }
    return done;
}

} // namespace morvane::events
