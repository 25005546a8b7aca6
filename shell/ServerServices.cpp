#include "ServerServices.h"

#include "ClassRegistry.h"
#include "NamedMutex.h"
#include "unt_public.h"

#include <QFileInfo>
#include <QProcess>

namespace morvane {

bool IsLockComponentCurrent(const QString& clsid) {
    platform::ClassRegistry::Tree registry;
    if (!platform::ClassRegistry().read(registry))
        return false;
    const QString classKey = QStringLiteral("\\CLSID\\") + clsid;
    if (!platform::ClassRegistry::treeKeyExists(registry, classKey))
        return false;
    const QString versionKey = classKey + QStringLiteral("\\Version");
    const QString openKey = platform::ClassRegistry::treeKeyExists(registry, versionKey) ? versionKey : classKey;
    const QString version = platform::ClassRegistry::treeValue(registry, openKey).value_or(QString());
    return version == SystemInfo.ComVersion;
}

void RegisterLockComponent() {
    const QString dir = programDirectory();
    QProcess::startDetached(dir + QStringLiteral("regsvr32"),
                            {QStringLiteral("/s"), dir + QStringLiteral("KestrovaCom.so")});
}

QString socketServerPath() {
    return programDirectory() + QStringLiteral("scktsrvr");
}

SocketServerStart launchSocketServer() {
    const QString program = socketServerPath();
    if (!QFileInfo(program).isFile())
        return SocketServerStart::Missing;
    if (platform::NamedMutex(QStringLiteral("SCKTSRVR"), false).alreadyExists())
        return SocketServerStart::AlreadyRunning;
    QProcess::startDetached(program, {});
    return SocketServerStart::Launched;
}

} // namespace morvane
