#include "rmtdm.h"

#include "ComServer.h"
#include "server_TLB.h"

namespace morvane {

Trmtserver::Trmtserver() = default;

void registerRmtserverFactory() {
    platform::ServedClass served;
    served.clsid = server_TLB::CLASS_rmtserver;
    served.progId = server_TLB::ProgID_rmtserver;
    served.description = QStringLiteral("rmtserver Object");
    served.typeLibId = server_TLB::LIBID_server;
    served.typeLibVersion = QStringLiteral("1.0");
    served.implementedCategories = {server_TLB::CATID_MidasAppServer};
    served.instancing = platform::Instancing::MultiInstance;
    served.threading = platform::ThreadingModel::Free;
    served.create = [] { return std::make_shared<Trmtserver>(); };
    served.updateRegistry = [](platform::ClassRegistry::Tree& tree, bool registering) {
        const QString key = QStringLiteral("CLSID\\") + server_TLB::CLASS_rmtserver;
        const QString typeLibKey = QStringLiteral("TypeLib\\") + server_TLB::LIBID_server + QStringLiteral("\\1.0");
        if (registering) {
            platform::ClassRegistry::treeSetValue(tree, typeLibKey, {}, QStringLiteral("server Library"));
            platform::ClassRegistry::treeSetValue(tree, key, QStringLiteral("Sockets"), QStringLiteral("1"));
            platform::ClassRegistry::treeSetValue(tree, key, QStringLiteral("Web"), QStringLiteral("1"));
        } else {
            platform::ClassRegistry::treeDeleteValue(tree, key, QStringLiteral("Sockets"));
            platform::ClassRegistry::treeDeleteValue(tree, key, QStringLiteral("Web"));
            platform::ClassRegistry::treeDeleteKey(tree, QStringLiteral("TypeLib\\") + server_TLB::LIBID_server);
        }
    };
    platform::ComServer::instance().registerClass(std::move(served));
}

} // namespace morvane
