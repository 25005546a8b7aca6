#pragma once

#include "IServerMain.h"
#include "SqlConnection.h"
#include "unt_public.h"

#include <functional>
#include <memory>

namespace morvane {

// The connection settings that ConnectMode 1 gives for the configured provider. The server named by
// ServerName is the one reached (empty: the local default server); values are handed to the driver
// quoted by its own rules.
platform::SqlConnectionSettings connectionSettings(const TSystemInfo& info);

// The connection text for ConnectMode 1 as the connection receives it (for SQL Server the ODBC text of
// FreeTDS; for the other providers a readable description, the driver taking the values one by one).
QString connectionText(const TSystemInfo& info);

// The connection data module: owns the one database connection of the process and creates the main
// window once the connection is open (or no database is configured).
class Tlocaldataconnect {
public:
    using MainWindowFactory = std::function<std::unique_ptr<IServerMain>()>;

    explicit Tlocaldataconnect(MainWindowFactory createMainWindow);
    ~Tlocaldataconnect();

    // The creation handler: connects as ConnectMode says and creates the main window on success;
    // on failure shows "Connect database error" and asks the application to terminate.
    void DataModuleCreate(void* Sender = nullptr);

    bool terminateRequested() const { return m_terminate; }
    IServerMain* mainWindow() const { return m_mainWindow.get(); }

    platform::SqlConnection ADOCon;
    platform::SqlQuery FInitTable;

private:
    MainWindowFactory m_createMainWindow;
    std::unique_ptr<IServerMain> m_mainWindow;
    bool m_terminate = false;
};

// The process-wide instances, reached by name.
extern Tlocaldataconnect* localdataconnect;
extern IServerMain* frm_server_main;

} // namespace morvane
