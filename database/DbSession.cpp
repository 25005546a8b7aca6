#include "DbSession.h"

#include <QSqlError>

namespace morvane::db {

SqlConnectionSession::SqlConnectionSession()
    : m_connection(std::make_unique<platform::SqlConnection>()) {}

SqlConnectionSession::~SqlConnectionSession() = default;

bool SqlConnectionSession::open(const platform::SqlConnectionSettings& settings, QString* error) {
    return m_connection->open(settings, error);
}

void SqlConnectionSession::close() {
    m_connection->close();
}

platform::SqlResult SqlConnectionSession::exec(const QString& sql, const QVariantList& binds) {
    return m_connection->exec(sql, binds);
}

bool SqlConnectionSession::tables(QStringList* names, QString* error) {
    // Qt reports a failed listing only through the driver's last error, so it is read on the
    // connection's own thread right after the listing.
    return m_connection->call([&](QSqlDatabase& db) {
        names->clear();
        if (!db.isValid() || !db.isOpen()) {
            if (error)
                *error = QStringLiteral("the database connection is not open");
            return false;
        }
        const QStringList all = db.tables(QSql::Tables);
        if (all.isEmpty() && db.lastError().isValid()) {
            if (error)
                *error = db.lastError().text();
            return false;
        }
        // An SQLite file that is not a database lists nothing without an error; asking the schema does fail.
        if (all.isEmpty() && db.driverName() == QLatin1String("QSQLITE")) {
            const platform::SqlResult probe =
                platform::execOn(db, QStringLiteral("select count(*) from sqlite_master"));
            if (!probe.ok) {
                if (error)
                    *error = probe.error;
                return false;
            }
        }
        for (const QString& name : all) {
            if (!name.startsWith(QLatin1String("sqlite_")))
                names->append(name);
        }
        return true;
    });
}

bool SqlConnectionSession::transaction(QString* error) {
    return m_connection->transaction(error);
}

bool SqlConnectionSession::commit(QString* error) {
    return m_connection->commit(error);
}

bool SqlConnectionSession::rollback(QString* error) {
    return m_connection->rollback(error);
}

} // namespace morvane::db
