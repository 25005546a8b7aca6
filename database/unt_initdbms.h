#pragma once

#include "SqlConnection.h"

#include <QString>

namespace morvane {

// Makes sure the application database exists and holds its tables, seed rows and procedures.
// Lives for one call of BuildDataBase.
class TCreateDataBase {
public:
    TCreateDataBase(QString DataBaseName, QString UserName, QString Password, QString ServerName,
                    platform::SqlProvider provider = platform::SqlProvider::SqlServer);

    // True when the database is ready (created now, or found with its marker table).
    bool BuildDataBase();

private:
    QString m_dataBaseName;
    QString m_userName;
    QString m_password;
    QString m_serverName;
    platform::SqlProvider m_provider;
};

} // namespace morvane
