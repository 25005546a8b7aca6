// The entry points of the component library: its class factory and its self-registration.
#include "ClassRegistry.h"
#include "TKestrova.h"

#include <QFileInfo>

#include <algorithm>

#include <dlfcn.h>

namespace morvane::kestrova {
namespace {

class Factory : public platform::IClassFactory {
public:
    platform::DispatchPtr createInstance() override { return std::make_shared<TKestrova>(); }
};

QString clsidKey() {
    return QStringLiteral("CLSID\\") + QLatin1String(kClsid);
}

// The path this library was loaded from, as InprocServer32 must name it.
QString libraryPath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&libraryPath), &info) == 0 || !info.dli_fname)
        return {};
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath();
}

} // namespace
} // namespace morvane::kestrova

using namespace morvane;

extern "C" __attribute__((visibility("default"))) platform::IClassFactory* MorvaneGetClassObject(const char* clsid) {
    static kestrova::Factory factory;
    if (!clsid || QString::fromUtf8(clsid).compare(QLatin1String(kestrova::kClsid), Qt::CaseInsensitive) != 0)
        return nullptr;
    return &factory;
}

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
    const QString path = kestrova::libraryPath();
    if (path.isEmpty())
        return platform::hr::SELFREG_E_CLASS;
    const QString key = kestrova::clsidKey();
    const QString progId = QLatin1String(kestrova::kProgId);
    const QString description = QStringLiteral("TKestrova Object");
    const bool written = platform::ClassRegistry().update([&](platform::ClassRegistry::Tree& tree) {
        using R = platform::ClassRegistry;
        R::treeSetValue(tree, key, QString(), description);
        R::treeSetValue(tree, key + QStringLiteral("\\ProgID"), QString(), progId);
        R::treeSetValue(tree, key + QStringLiteral("\\InprocServer32"), QString(), path);
        R::treeSetValue(tree, key + QStringLiteral("\\InprocServer32"), QStringLiteral("ThreadingModel"),
                        QStringLiteral("Both"));
        R::treeSetValue(tree, key + QStringLiteral("\\Version"), QString(), QLatin1String(kestrova::kVersion));
        R::treeSetValue(tree, progId, QString(), description);
        R::treeSetValue(tree, progId + QStringLiteral("\\CLSID"), QString(), QLatin1String(kestrova::kClsid));
        return true;
    });
    return written ? platform::hr::S_OK : platform::hr::SELFREG_E_CLASS;
}

extern "C" __attribute__((visibility("default"))) int32_t DllUnregisterServer() {
    const bool removed = platform::ClassRegistry().update([](platform::ClassRegistry::Tree& tree) {
        platform::ClassRegistry::treeDeleteKey(tree, kestrova::clsidKey());
        platform::ClassRegistry::treeDeleteKey(tree, QLatin1String(kestrova::kProgId));
        // Registration made the CLSID key itself when the registry had none; an empty one carries nothing.
        const QString root = QStringLiteral("clsid");
        const auto parent = tree.keys.constFind(root);
        const bool hasChildren = std::any_of(tree.keys.keyBegin(), tree.keys.keyEnd(), [&](const QString& key) {
            return key.startsWith(root + QLatin1Char('\\'));
        });
        if (parent != tree.keys.constEnd() && parent->isEmpty() && !hasChildren)
            platform::ClassRegistry::treeDeleteKey(tree, root);
        return true;
    });
    return removed ? platform::hr::S_OK : platform::hr::SELFREG_E_CLASS;
}
