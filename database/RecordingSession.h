#pragma once

#include "DbSession.h"

#include <QList>

#include <functional>
#include <memory>

namespace morvane::db {

// A session that reaches no server: it records every call, with the exact text of every batch, and
// answers as its script says. Used to check what would be sent to SQL Server.
//
// Threads: used by one thread at a time (the one that runs the creation), like the session it stands for.
class RecordingSession : public DbSession {
public:
    struct Call {
        enum Kind { Open, Close, Exec, Tables, Begin, Commit, Rollback };
        Kind kind;
        QString sql;                              // Exec only
        QVariantList binds;                       // Exec only
        platform::SqlConnectionSettings settings; // Open only
    };

    struct Script {
        // Each answers one call; an unset one succeeds with an empty result.
        std::function<bool(const platform::SqlConnectionSettings&, QString*)> open;
        std::function<platform::SqlResult(const QString&, const QVariantList&)> exec;
        std::function<bool(QStringList*, QString*)> tables;
    };

    // The calls stay readable through the shared log after the session is released.
    explicit RecordingSession(std::shared_ptr<QList<Call>> log, Script script = {});

    bool open(const platform::SqlConnectionSettings& settings, QString* error) override;
    void close() override;
    platform::SqlResult exec(const QString& sql, const QVariantList& binds = {}) override;
    bool tables(QStringList* names, QString* error) override;
    bool transaction(QString* error) override;
    bool commit(QString* error) override;
    bool rollback(QString* error) override;

private:
    std::shared_ptr<QList<Call>> m_log;
    Script m_script;
};

} // namespace morvane::db
