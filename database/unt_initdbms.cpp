#include "unt_initdbms.h"

namespace morvane {

TCreateDataBase::TCreateDataBase(QString DataBaseName, QString UserName, QString Password, QString ServerName,
                                 platform::SqlProvider provider)
    : m_dataBaseName(std::move(DataBaseName))
    , m_userName(std::move(UserName))
    , m_password(std::move(Password))
    , m_serverName(std::move(ServerName))
    , m_provider(provider)
{
}

bool TCreateDataBase::BuildDataBase()
{
    // Placeholder until the schema and its creation are built: reports success without touching the database.
    return true;
}

} // namespace morvane
