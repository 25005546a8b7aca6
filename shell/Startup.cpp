#include "Startup.h"

#include "AutomationEndpoint.h"
#include "BoardFinder.h"
#include "ClassRegistry.h"
#include "ComServer.h"
#include "ConsoleLabels.h"
#include "DoorStates.h"
#include "EventGuard.h"
#include "EventStream.h"
#include "FileVersion.h"
#include "Language.h"
#include "LocalServer.h"
#include "MessageBox.h"
#include "MqttBridge.h"
#include "NamedMutex.h"
#include "ProfileFile.h"
#include "Provider.h"
#include "rmtdm.h"
#include "SecurityService.h"
#include "server_TLB.h"
#include "ServiceManager.h"
#include "SignalWatcher.h"
#include "SwipeLog.h"
#include "unt_initdbms.h"
#include "unt_ScanAllControls.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace morvane {

namespace {

void warn(const char* text) {
    platform::showMessage({QString::fromUtf8(text), QStringLiteral("Error"), platform::MessageIcon::Warning});
}

// A machine without a display runs the windows on Qt's offscreen platform, so that nothing waits for
// a screen that is not there.
void chooseHeadlessPlatform() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Every client's connection is a descriptor of this process: it may have as many as the system allows it,
// not merely the usual soft limit of 1024.
void raiseOpenFileLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max)
        return;
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
}

// The device table as DoorStates asks its devices: through the server's own connection.
std::optional<QList<boards::DeviceAddress>> readDeviceTable(QString* error) {
    platform::SqlConnection* connection = provider::sharedConnection();
    if (!connection) {
        *error = QStringLiteral("no database connection");
        return std::nullopt;
    }
    const platform::SqlResult result =
        connection->exec(QStringLiteral("select id, devicename, ipaddress, mac, port from ac_device order by id"));
    if (!result.ok) {
        *error = result.error;
        return std::nullopt;
    }
    QList<boards::DeviceAddress> devices;
    for (const QVariantList& row : result.rows)
        devices.append({row.value(0).toInt(), row.value(1).toString().trimmed(), row.value(2).toString(),
                        row.value(3).toString(), row.value(4).isNull() ? 2008 : row.value(4).toInt()});
    return devices;
}

// What the scan saw of a device it monitors now (in its registry), for DoorStates.
std::optional<bool> monitoredLink(const QString& mac) {
    const auto scan = scanHost() ? scanHost()->ScanThread() : nullptr;
    const auto list = scan ? scan->DeviceList() : nullptr;
    if (!list)
        return std::nullopt;
    monitor::TNetworkLock probe;
    probe.SetID(mac);
    probe.SetKind(monitor::kNetworkLock);
    return list->Find(probe) ? scan->LinkSeen(mac) : std::nullopt;
}

QStringList commandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// What -regserver or -unregserver did, for the operator who typed it.
QString registrationReport(platform::StartSwitch done, bool instanceRunning) {
    QStringList classes;
    for (const platform::ServedClass& served : platform::ComServer::instance().classes())
        classes.append(QStringLiteral("%1 %2").arg(served.progId, served.clsid));
    const bool registered = done == platform::StartSwitch::RegServer;
    QString line =
        QStringLiteral("morvane: %1 %2 %3 %4")
            .arg(registered ? QStringLiteral("registered") : QStringLiteral("unregistered"),
                 classes.join(QStringLiteral(", ")), registered ? QStringLiteral("in") : QStringLiteral("from"),
                 platform::ClassRegistry::defaultPath());
    if (instanceRunning)
        line += registered ? QStringLiteral("; the server that is running goes on unchanged")
                           : QStringLiteral("; the server that is running goes on serving its clients until it ends, "
                                            "and the next start of morvane registers the class again");
    return line;
}

} // namespace

// What this server serves and where, for the operator's log.
QString servingLine(const QStringList& paths) {
    QString database = QStringLiteral("no database (ConnectMode 0)");
    if (SystemInfo.ConnectMode != 0) {
        const platform::SqlConnectionSettings s = connectionSettings(SystemInfo);
        database = QStringLiteral("%1 database %2").arg(platform::sqlProviderName(s.provider), s.database);
        if (!s.server.isEmpty())
            database += QStringLiteral(" on ") + s.server;
    }
    return QStringLiteral("morvane: serving %1 on %2; %3")
        .arg(server_TLB::ProgID_rmtserver, paths.join(QStringLiteral(", ")), database);
}

bool PrepareStartup() {
    bool result = true;
    const QString path = systemInfoPath();
    if (!QFileInfo::exists(path)) {
        warn("Not system file");
        result = false;
    }
    readSystemInfo(path, SystemInfo);
    if (SystemInfo.ConnectMode != 0) {
        // connectionSettings() places a relative SQLite file in the program's directory, as the connection
        // does later.
        auto creation = std::make_unique<TCreateDataBase>(connectionSettings(SystemInfo).database, SystemInfo.UserName,
                                                          SystemInfo.Password, SystemInfo.ServerName,
                                                          platform::sqlProviderFromName(SystemInfo.Provider));
        if (!creation->BuildDataBase()) {
            creation.reset();
            warn("Create database error");
            result = false;
        }
    }
    return result;
}

int RunServer(int argc, char** argv, Tlocaldataconnect::MainWindowFactory createMainWindow) {
    // Registering or unregistering touches only the class registry, so it is done beside a running server.
    const platform::StartSwitch startSwitch = platform::findStartSwitch(commandLine(argc, argv));
    const bool registration =
        startSwitch == platform::StartSwitch::RegServer || startSwitch == platform::StartSwitch::UnregServer;
    // 1. One server per machine: a second start ends at once, silently.
    platform::NamedMutex mutex(QStringLiteral("morvane"), true);
    if (mutex.alreadyExists() && !registration)
        return 0;
    // Without its lock a server would run unguarded beside another one: it ends, saying where.
    if (!mutex.isOwned() && !registration) {
        platform::showMessage({QStringLiteral("Cannot take the single-instance lock ") + mutex.failureText(),
                               QStringLiteral("Error"), platform::MessageIcon::Warning});
        return 1;
    }

    chooseHeadlessPlatform();
    QApplication app(argc, argv);
    // 2. The main window stays hidden until the operator opens it from the notification area.
    QApplication::setQuitOnLastWindowClosed(false);

    // 3. The automation layer acts on the command line.
    registerRmtserverFactory();
    QString registrationError;
    const QString serverCommand = QCoreApplication::applicationFilePath();
    switch (platform::ComServer::instance().initialise(QCoreApplication::arguments().mid(1), serverCommand,
                                                       &registrationError)) {
    case platform::ComServer::Outcome::ExitSuccess:
        std::fprintf(stderr, "%s\n", qPrintable(registrationReport(startSwitch, mutex.alreadyExists())));
        return 0;
    case platform::ComServer::Outcome::ExitFailure:
        platform::showMessage({registrationError, QStringLiteral("Error"), platform::MessageIcon::Error});
        return 1;
    case platform::ComServer::Outcome::Continue:
        break;
    }

    // 4. The application's title only: a display name would be appended to every window caption.
    QApplication::setApplicationName(QStringLiteral("Tavrel Morvane Server"));

    // 5, 6.
    if (!PrepareStartup()) {
        mutex.release();
        return 1;
    }

    // 7.
    auto dataModule = std::make_unique<Tlocaldataconnect>(std::move(createMainWindow));
    dataModule->DataModuleCreate();
    if (dataModule->terminateRequested() || !frm_server_main) {
        dataModule.reset();
        mutex.release();
        return 1;
    }

    // 8.
    frm_server_main->StartServices();

    // 9. The class factories are offered to clients: each connection to a class's endpoint makes one object.
    // The socket server's limit on a message holds here too (scktsrvr.ini, beside the server), and so does
    // its [Security] section: every connection logs on before it makes an object.
    const QString socketServerIni = dataDirectory() + QStringLiteral("scktsrvr.ini");
    const int maxMessage =
        platform::ProfileFile(socketServerIni).readInteger(QStringLiteral("Limits"), QStringLiteral("MaxMessage"), 0);
    auto security = std::make_unique<security::Service>(provider::sharedConnection(),
                                                        security::readSettings(socketServerIni, dataDirectory()));
    QString securityError;
    if (!security->start(&securityError)) {
        platform::showMessage({QStringLiteral("The operators' passwords cannot be prepared: ") + securityError,
                               QStringLiteral("Error"), platform::MessageIcon::Error});
        dataModule.reset();
        mutex.release();
        return 1;
    }
    security::setService(security.get());
    provider::setSecurityHooks(security.get());
    // The open mode is said again every hour, so that it is not forgotten.
    QTimer openModeWarning;
    if (!security->logonRequired()) {
        QObject::connect(&openModeWarning, &QTimer::timeout, qApp,
                         [] { qWarning("morvane: log-on is still off (Logon=0 in [Security] of scktsrvr.ini)"); });
        openModeWarning.start(60 * 60 * 1000);
    }
    // The stream of events: the scan's records, and the commands, deltas and log-ons as the audit log has them.
    events::EventStream stream(
        events::readStreamSettings(dataDirectory() + QStringLiteral("systeminfo.ini"), dataDirectory()));
    auto resolver = std::make_unique<events::NameResolver>(provider::sharedConnection());
    events::NameResolver* const names = resolver.get();
    stream.setResolver(std::move(resolver));
    // The swipe log fills itself from the stream (once per event, across restarts).
    events::SwipeLog swipeLog(provider::sharedConnection(),
                              events::readSwipeLogSetting(dataDirectory() + QStringLiteral("systeminfo.ini")));
    QString swipeLogError;
    // And goes to an MQTT broker where one is configured.
    mqtt::MqttBridge bridge(
        mqtt::readBridgeSettings(dataDirectory() + QStringLiteral("systeminfo.ini"), dataDirectory()), stream);
    stream.setConsumer([&swipeLog, &bridge](const events::EventPtr&) {
        swipeLog.notify();
        bridge.notify();
    });
    QString streamError;
    if (!stream.start(&streamError))
        qWarning("morvane: the events are kept in memory only: %s", qPrintable(streamError));
    const bool storesSwipes = swipeLog.start(stream, &swipeLogError);
    if (!storesSwipes && !swipeLogError.isEmpty())
        qWarning("morvane: the swipe log is not written: %s", qPrintable(swipeLogError));
    bridge.start();
    if (security::AuditLog* audit = security->auditLog())
        audit->setObserver([&stream, names](const QJsonObject& line) {
            names->noticeAudit(line);
            if (std::optional<events::Event> event = events::fromAudit(line))
                stream.publish(std::move(*event));
        });
    if (const auto scan = scanHost() ? scanHost()->ScanThread() : nullptr) {
        scan->SetCollectStored(storesSwipes);
        scan->SetObserver(events::scanObserver(stream));
    }
    // A subscription lasts no longer than its session, nor past a change of its operator's rights.
    security->setRightsObserver([&stream] { stream.recheckRights(); });

    raiseOpenFileLimit();
    platform::EndpointLimits limits;
    limits.callThreads = SystemInfo.CallThreads;
    platform::AutomationEndpoint endpoint(
        [](const QString& name) { return platform::ComServer::instance().createInstance(name); },
        std::max<qint64>(maxMessage, platform::rpc::kDefaultMaxMessage), limits,
        boards::BoardGuard::factory(
            boards::readFinderSettings(programDirectory() + QStringLiteral("systeminfo.ini")),
            boards::DoorStateGuard::factory(
                readDeviceTable, monitoredLink,
                localisation::LabelGuard::factory(localisation::TLanguage::databasePath(),
                                                  localisation::TFileVersion().GetValue(QStringLiteral("ProductName")),
                                                  events::EventGuard::factory(stream, security->guardFactory())))));
    QStringList paths;
    for (const platform::ServedClass& served : platform::ComServer::instance().classes()) {
        QString why;
        const QString path = platform::endpointPath(served.clsid, &why);
        if (path.isEmpty() || !endpoint.listen(path, &why)) {
            platform::showMessage({why, QStringLiteral("Error"), platform::MessageIcon::Error});
            dataModule.reset();
            mutex.release();
            return 1;
        }
        paths.append(path);
    }
    // A process that the platform started for a client ends with its last object (or when no client comes):
    // the endpoint stops accepting before the message loop is told to end.
    if (platform::ComServer::instance().startedForClient()) {
        endpoint.endWhenIdle([] { return platform::ComServer::instance().objectCount() > 0; },
                             [] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); },
                             // A client that started it gives up after this long; nobody else is coming.
                             platform::kDefaultActivationTimeoutMs);
        platform::ComServer::instance().setLastReleasedHandler([&endpoint] { endpoint.checkIdle(); });
    }
    endpoint.start();
    std::fprintf(stderr, "%s\n", qPrintable(servingLine(paths)));

    int code = 0;
    {
        platform::SignalWatcher signalWatcher;
        // Under a service manager: ready once the message loop runs, and alive for as long as it turns.
        platform::WatchdogPinger watchdog;
        QTimer::singleShot(0, qApp, [&watchdog] {
            platform::notifyServiceManager(QByteArrayLiteral("READY=1"));
            watchdog.start();
        });
        code = QApplication::exec();
    }

    // 10. No client call runs any more when the window and the connection go; the endpoint stops first,
    // so that a client does not reach a server that is already ending. A client's statement still
    // running is cancelled rather than waited for.
    platform::ComServer::instance().setLastReleasedHandler(nullptr);
    if (platform::SqlConnection* connection = provider::sharedConnection())
        connection->stopStatements();
    endpoint.stop();
    if (const auto scan = scanHost() ? scanHost()->ScanThread() : nullptr)
        scan->SetObserver(nullptr);
    if (security::AuditLog* audit = security->auditLog())
        audit->setObserver(nullptr);
    security->setRightsObserver(nullptr);
    // What is still on its way is numbered, stored and written to the swipe log before the database goes.
    stream.stop();
    swipeLog.stop();
    bridge.stop();
    provider::setSecurityHooks(nullptr);
    security::setService(nullptr);
    frm_server_main->CloseServices();
    dataModule.reset();
    mutex.release();
    return code;
}

} // namespace morvane
