#pragma once

#include "SqlConnection.h"

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>

namespace morvane::db {

// The few operations that database creation needs of a connection. The real one goes through
// platform::SqlConnection; tests put a recording one in its place to see every batch that would
// reach a server that is not on this machine.
class DbSession {
public:
    virtual ~DbSession() = default;
    virtual bool open(const platform::SqlConnectionSettings& settings, QString* error) = 0;
    virtual void close() = 0;
    virtual platform::SqlResult exec(const QString& sql, const QVariantList& binds = {}) = 0;
    // The user tables of the open database, system tables excluded; false when they cannot be listed.
    virtual bool tables(QStringList* names, QString* error) = 0;
    virtual bool transaction(QString* error) = 0;
    virtual bool commit(QString* error) = 0;
    virtual bool rollback(QString* error) = 0;
};

// The session over a connection of its own, released with the session.
class SqlConnectionSession : public DbSession {
public:
    SqlConnectionSession();
    ~SqlConnectionSession() override;

    bool open(const platform::SqlConnectionSettings& settings, QString* error) override;
    void close() override;
    platform::SqlResult exec(const QString& sql, const QVariantList& binds = {}) override;
    bool tables(QStringList* names, QString* error) override;
    bool transaction(QString* error) override;
    bool commit(QString* error) override;
    bool rollback(QString* error) override;

private:
    std::unique_ptr<platform::SqlConnection> m_connection;
};

} // namespace morvane::db
