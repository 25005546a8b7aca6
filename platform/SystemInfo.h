#pragma once

#include "SqlConnection.h"

#include <QString>

#include <atomic>
#include <cstdint>

namespace morvane::platform {

// The process-wide configuration record, filled once from "systeminfo.ini" at start-up.
//
// Threads: filled on the main thread before any client is served; afterwards the remote service threads
// read it and only the options dialog (main thread) writes `port`, which is therefore atomic. The texts
// are never changed after start-up.
struct TSystemInfo {
    std::atomic<int32_t> port{0}; // zero-based serial port index: 0 is COM1
    int32_t LanguageID = 2052;
    QString ServerName;
    QString DataBaseName;
    QString UserName;
    QString Password;
    int32_t ConnectMode = 0; // 0 no database, 1 database login
    QString ComVersion = QStringLiteral("1");
    QString Provider = QStringLiteral("SQLOLEDB.1"); // data-access provider: SQLOLEDB.1, PostgreSQL or SQLite
    // Seconds a client's statement and a delta may run before they are cancelled; 0 no limit.
    int32_t StatementTimeout = 30;
    int32_t DeltaTimeout = 120;
    // Threads that run the clients' calls; 0: max(4, twice the processor count).
    int32_t CallThreads = 0;
};

extern TSystemInfo SystemInfo;

// dataDirectory() + "systeminfo.ini".
QString systemInfoPath();

// Reads every key of systeminfo.ini into `info`, each with its default when missing.
void readSystemInfo(const QString& path, TSystemInfo& info);

// The connection settings that ConnectMode 1 gives for the configured provider: a relative SQLite file
// lies in the data directory.
SqlConnectionSettings databaseSettings(const TSystemInfo& info);

} // namespace morvane::platform
