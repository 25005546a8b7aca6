#pragma once

#include "DbSession.h"
#include "SqlConnection.h"

#include <QString>
#include <QVariantList>

#include <memory>

namespace morvane {

// Makes sure the application database exists and holds its tables, seed rows and procedures.
// Lives for one call of BuildDataBase, which releases the connection on every way out.
class TCreateDataBase {
public:
    TCreateDataBase(QString DataBaseName, QString UserName, QString Password, QString ServerName,
                    platform::SqlProvider provider = platform::SqlProvider::SqlServer);
    // The same over a given session (tests record what would be sent to a server).
    TCreateDataBase(QString DataBaseName, QString UserName, QString Password, QString ServerName,
                    platform::SqlProvider provider, std::unique_ptr<db::DbSession> session);
    ~TCreateDataBase();

    // True when the database is ready (created now, or found with its marker table).
    bool BuildDataBase();

    void setConnectTimeout(int seconds) { m_connectTimeoutSeconds = seconds; }
    // The server's text of the failure that made BuildDataBase return false.
    const QString& lastError() const { return m_lastError; }

private:
    bool serverPhase();
    platform::SqlConnectionSettings settingsFor(const QString& catalog) const;
    void createTable(const QString& name);
    void FillInitialData();
    void CreateProcedures();
    platform::SqlResult run(const QString& sql, const QVariantList& binds = {});

    std::unique_ptr<db::DbSession> m_connection;
    QString m_userName;
    QString m_password;
    QString m_serverName;
    QString m_dataBaseName;
    platform::SqlProvider m_provider;
    // Each open gives up within this, so that a server that never answers ends the call within 10 s.
    int m_connectTimeoutSeconds = 8;
    QString m_lastError;
};

} // namespace morvane
