#include "DbSession.h"

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
    return m_connection->tables(names, error);
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
