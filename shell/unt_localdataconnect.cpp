#include "unt_localdataconnect.h"

#include "MessageBox.h"
#include "Provider.h"

#include <QDir>
#include <QFileInfo>

namespace morvane {

Tlocaldataconnect* localdataconnect = nullptr;
IServerMain* frm_server_main = nullptr;

platform::SqlConnectionSettings connectionSettings(const TSystemInfo& info) {
    return platform::databaseSettings(info);
}

QString connectionText(const TSystemInfo& info) {
    const platform::SqlConnectionSettings s = connectionSettings(info);
    switch (s.provider) {
    case platform::SqlProvider::SqlServer:
        return platform::odbcConnectionText(s);
    case platform::SqlProvider::PostgreSQL:
        return QStringLiteral("PostgreSQL server=%1 database=%2 user=%3").arg(s.server, s.database, s.user);
    case platform::SqlProvider::SQLite:
        return QStringLiteral("SQLite file=%1").arg(s.database);
    case platform::SqlProvider::Unknown:
        break;
    }
    return {};
}

Tlocaldataconnect::Tlocaldataconnect(MainWindowFactory createMainWindow)
    : ADOCon(QStringLiteral("ADOCon"))
    , FInitTable(ADOCon)
    , m_createMainWindow(std::move(createMainWindow)) {
    localdataconnect = this;
    // Every data provider of every remote data module works on this connection, within the limits of the
    // configuration.
    provider::setSharedConnection(&ADOCon);
    provider::setStatementLimits(std::chrono::seconds(SystemInfo.StatementTimeout),
                                 std::chrono::seconds(SystemInfo.DeltaTimeout));
}

Tlocaldataconnect::~Tlocaldataconnect() {
    if (frm_server_main == m_mainWindow.get())
        frm_server_main = nullptr;
    m_mainWindow.reset();
    if (provider::sharedConnection() == &ADOCon)
        provider::setSharedConnection(nullptr);
    if (localdataconnect == this)
        localdataconnect = nullptr;
}

void Tlocaldataconnect::DataModuleCreate(void* /*Sender*/) {
    const auto createMainWindow = [this] {
        m_mainWindow = m_createMainWindow ? m_createMainWindow() : nullptr;
        frm_server_main = m_mainWindow.get();
        return m_mainWindow != nullptr;
    };
    if (SystemInfo.ConnectMode == 0) {
        createMainWindow();
        return;
    }
    bool opened = false;
    if (SystemInfo.ConnectMode == 1) {
        const platform::SqlConnectionSettings settings = connectionSettings(SystemInfo);
        // An SQLite file must already exist here: the connection never creates a database.
        if (settings.provider != platform::SqlProvider::SQLite || QFileInfo::exists(settings.database))
            opened = ADOCon.open(settings);
    }
    // Any other ConnectMode has no connection text, so the open fails.
    if (opened) {
        try {
            opened = createMainWindow();
        } catch (...) {
            opened = false;
        }
    }
    if (!opened) {
        platform::showMessage(
            {QStringLiteral("Connect database error"), QStringLiteral("Error"), platform::MessageIcon::Warning});
        m_terminate = true;
    }
}

} // namespace morvane
