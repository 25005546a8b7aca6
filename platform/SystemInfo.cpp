#include "SystemInfo.h"

#include "ProfileFile.h"
#include "ProgramDirectory.h"

#include <QDir>

#include <algorithm>

namespace morvane::platform {

TSystemInfo SystemInfo;

QString systemInfoPath() {
    return dataDirectory() + QStringLiteral("systeminfo.ini");
}

void readSystemInfo(const QString& path, TSystemInfo& info) {
    const ProfileFile ini(path);
    info.port = ini.readInteger(QStringLiteral("Device"), QStringLiteral("port"), 0);
    info.LanguageID = ini.readInteger(QStringLiteral("System"), QStringLiteral("LanguageID"), 2052);
    info.ComVersion = ini.readString(QStringLiteral("System"), QStringLiteral("ComVersion"), QStringLiteral("1"));
    info.ServerName = ini.readString(QStringLiteral("DataBase"), QStringLiteral("ServerName"), QString());
    info.DataBaseName = ini.readString(QStringLiteral("DataBase"), QStringLiteral("DataBaseName"), QString());
    info.UserName = ini.readString(QStringLiteral("DataBase"), QStringLiteral("UserName"), QString());
    info.Password = ini.readString(QStringLiteral("DataBase"), QStringLiteral("Password"), QString());
    info.ConnectMode = ini.readInteger(QStringLiteral("DataBase"), QStringLiteral("ConnectMode"), 0);
    info.Provider =
        ini.readString(QStringLiteral("DataBase"), QStringLiteral("Provider"), QStringLiteral("SQLOLEDB.1"));
    info.StatementTimeout =
        std::max(0, ini.readInteger(QStringLiteral("DataBase"), QStringLiteral("StatementTimeout"), 30));
    info.DeltaTimeout = std::max(0, ini.readInteger(QStringLiteral("DataBase"), QStringLiteral("DeltaTimeout"), 120));
    info.CallThreads = std::max(0, ini.readInteger(QStringLiteral("System"), QStringLiteral("CallThreads"), 0));
}

SqlConnectionSettings databaseSettings(const TSystemInfo& info) {
    SqlConnectionSettings s;
    s.provider = sqlProviderFromName(info.Provider);
    s.server = info.ServerName;
    s.database = info.DataBaseName;
    s.user = info.UserName;
    s.password = info.Password;
    s.packetSize = 4096;
    if (s.provider == SqlProvider::SQLite && !s.database.isEmpty() && QDir::isRelativePath(s.database))
        s.database = dataDirectory() + s.database;
    return s;
}

} // namespace morvane::platform
