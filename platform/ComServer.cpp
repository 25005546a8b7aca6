#include "ComServer.h"

#include "LocalServer.h"
#include "MessageBox.h"

namespace morvane::platform {

namespace {

QString threadingModelName(ThreadingModel model) {
    switch (model) {
    case ThreadingModel::Single:
        return QStringLiteral("Single");
    case ThreadingModel::Apartment:
        return QStringLiteral("Apartment");
    case ThreadingModel::Free:
        return QStringLiteral("Free");
    case ThreadingModel::Both:
        return QStringLiteral("Both");
    }
    return {};
}

// True unless the ProgID names another class: a ProgID that a later registration gave to another
// server stays with that server.
bool progIdBelongsTo(const ClassRegistry::Tree& tree, const QString& progId, const QString& clsid) {
    const auto found = tree.keys.constFind((progId + QStringLiteral("\\CLSID")).toLower());
    if (found == tree.keys.constEnd())
        return true;
    const auto registered = found->constFind(QString());
    return registered == found->constEnd() || registered->trimmed().compare(clsid, Qt::CaseInsensitive) == 0;
}

} // namespace

StartSwitch findStartSwitch(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (argument.size() < 2 || (argument.at(0) != QLatin1Char('-') && argument.at(0) != QLatin1Char('/')))
            continue;
        const QString word = argument.mid(1);
        const auto is = [&](const char* name) { return word.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
        if (is("REGSERVER"))
            return StartSwitch::RegServer;
        if (is("UNREGSERVER"))
            return StartSwitch::UnregServer;
        if (is("AUTOMATION"))
            return StartSwitch::Automation;
        if (is("EMBEDDING"))
            return StartSwitch::Embedding;
    }
    return StartSwitch::None;
}

ComServer& ComServer::instance() {
    static ComServer server;
    return server;
}

void ComServer::registerClass(ServedClass served) {
    std::lock_guard lock(m_mutex);
    served.clsid = served.clsid.toUpper();
    m_classes.push_back(std::move(served));
}

std::vector<ServedClass> ComServer::classes() const {
    std::lock_guard lock(m_mutex);
    return m_classes;
}

bool ComServer::registerServer(const QString& serverCommand, QString* error) {
    const auto served = classes();
    return ClassRegistry().update(
        [&](ClassRegistry::Tree& tree) {
            for (const ServedClass& c : served) {
                const QString key = QStringLiteral("CLSID\\") + c.clsid;
                ClassRegistry::treeSetValue(tree, key, {}, c.description);
                ClassRegistry::treeSetValue(tree, key + QStringLiteral("\\ProgID"), {}, c.progId);
                ClassRegistry::treeSetValue(tree, key + QStringLiteral("\\LocalServer32"), {}, serverCommand);
                ClassRegistry::treeSetValue(tree, key + QStringLiteral("\\LocalServer32"),
                                            QStringLiteral("ThreadingModel"), threadingModelName(c.threading));
                if (!c.typeLibId.isEmpty())
                    ClassRegistry::treeSetValue(tree, key + QStringLiteral("\\TypeLib"), {}, c.typeLibId);
                if (!c.typeLibVersion.isEmpty())
                    ClassRegistry::treeSetValue(tree, key + QStringLiteral("\\Version"), {}, c.typeLibVersion);
                for (const QString& category : c.implementedCategories)
                    ClassRegistry::treeCreateKey(tree, key + QStringLiteral("\\Implemented Categories\\") + category);
                // A class without a ProgID is reached by its CLSID alone; an empty name would write into
                // the root key instead.
                if (!c.progId.trimmed().isEmpty()) {
                    ClassRegistry::treeSetValue(tree, c.progId, {}, c.description);
                    ClassRegistry::treeSetValue(tree, c.progId + QStringLiteral("\\CLSID"), {}, c.clsid);
                }
                if (c.updateRegistry)
                    c.updateRegistry(tree, true);
            }
            return true;
        },
        error);
}

bool ComServer::unregisterServer(QString* error) {
    const auto served = classes();
    return ClassRegistry().update(
        [&](ClassRegistry::Tree& tree) {
            for (const ServedClass& c : served) {
                if (c.updateRegistry)
                    c.updateRegistry(tree, false);
                ClassRegistry::treeDeleteKey(tree, QStringLiteral("CLSID\\") + c.clsid);
                if (!c.progId.trimmed().isEmpty() && progIdBelongsTo(tree, c.progId, c.clsid))
                    ClassRegistry::treeDeleteKey(tree, c.progId);
            }
            return true;
        },
        error);
}

ComServer::Outcome ComServer::initialise(const QStringList& arguments, const QString& serverCommand, QString* error) {
    switch (findStartSwitch(arguments)) {
    case StartSwitch::RegServer:
        return registerServer(serverCommand, error) ? Outcome::ExitSuccess : Outcome::ExitFailure;
    case StartSwitch::UnregServer:
        return unregisterServer(error) ? Outcome::ExitSuccess : Outcome::ExitFailure;
    case StartSwitch::Automation:
    case StartSwitch::Embedding:
        m_startedForClient = true;
        [[fallthrough]];
    case StartSwitch::None: {
        // A failure to refresh the registration (no rights to the registry, say) is ignored here.
        registerServer(serverCommand, nullptr);
        // Callers that find no endpoint wait while these are held rather than start a second server.
        std::lock_guard lock(m_mutex);
        for (const ServedClass& c : m_classes) {
            auto held = std::make_unique<NamedMutex>(serverLockName(c.clsid), true);
            if (held->isOwned())
                m_serverLocks.push_back(std::move(held));
        }
        return Outcome::Continue;
    }
    }
    return Outcome::Continue;
}

DispatchPtr ComServer::createInstance(const QString& clsidOrProgId) {
    std::function<DispatchPtr()> create;
    {
        std::lock_guard lock(m_mutex);
        for (const ServedClass& c : m_classes) {
            if (c.clsid.compare(clsidOrProgId, Qt::CaseInsensitive) == 0 ||
                c.progId.compare(clsidOrProgId, Qt::CaseInsensitive) == 0) {
                create = c.create;
                break;
            }
        }
    }
    if (!create)
        return nullptr;
    DispatchPtr object = create();
    if (!object)
        return nullptr;
    ++m_objects;
    // The returned pointer shares ownership of the object and counts it down when the last copy goes.
    return DispatchPtr(object.get(), [this, object](IDispatchObject*) mutable {
        object.reset();
        if (--m_objects == 0) {
            std::function<void()> handler;
            {
                std::lock_guard lock(m_mutex);
                handler = m_lastReleased;
            }
            if (handler)
                handler();
        }
    });
}

void ComServer::setLastReleasedHandler(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    m_lastReleased = std::move(handler);
}

bool ComServer::confirmClose() const {
    if (objectCount() <= 0)
        return true;
    const MessageAnswer answer = showMessage(
        {QStringLiteral("There are still active COM objects in this application.  One or more clients may have "
                        "references to these objects, so manually closing ") +
             QStringLiteral("this application may cause those client application(s) to fail.") +
             QStringLiteral("\n\nAre you sure you want to close this application?"),
         QStringLiteral("COM Server Warning"), MessageIcon::Warning, MessageButtons::YesNo, MessageAnswer::No});
    return answer == MessageAnswer::Yes;
}

} // namespace morvane::platform
