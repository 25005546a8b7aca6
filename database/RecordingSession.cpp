#include "RecordingSession.h"

namespace morvane::db {

RecordingSession::RecordingSession(std::shared_ptr<QList<Call>> log, Script script)
    : m_log(std::move(log))
    , m_script(std::move(script)) {}

bool RecordingSession::open(const platform::SqlConnectionSettings& settings, QString* error) {
    m_log->append({Call::Open, {}, {}, settings});
    return m_script.open ? m_script.open(settings, error) : true;
}

void RecordingSession::close() {
    m_log->append({Call::Close, {}, {}, {}});
}

platform::SqlResult RecordingSession::exec(const QString& sql, const QVariantList& binds) {
    m_log->append({Call::Exec, sql, binds, {}});
    return m_script.exec ? m_script.exec(sql, binds) : platform::SqlResult{};
}

bool RecordingSession::tables(QStringList* names, QString* error) {
    m_log->append({Call::Tables, {}, {}, {}});
    names->clear();
    return m_script.tables ? m_script.tables(names, error) : true;
}

bool RecordingSession::transaction(QString*) {
    m_log->append({Call::Begin, {}, {}, {}});
    return true;
}

bool RecordingSession::commit(QString*) {
    m_log->append({Call::Commit, {}, {}, {}});
    return true;
}

bool RecordingSession::rollback(QString*) {
    m_log->append({Call::Rollback, {}, {}, {}});
    return true;
}

} // namespace morvane::db
