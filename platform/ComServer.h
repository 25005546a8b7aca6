#pragma once

#include "Automation.h"
#include "ClassRegistry.h"
#include "NamedMutex.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace morvane::platform {

enum class Instancing { SingleInstance, MultiInstance };
enum class ThreadingModel { Single, Apartment, Free, Both };

// A class that this process serves, as its class factory registers it.
struct ServedClass {
    QString clsid;
    QString progId;
    QString description;
    QString typeLibId;
    QString typeLibVersion;
    QStringList implementedCategories;
    Instancing instancing = Instancing::MultiInstance;
    ThreadingModel threading = ThreadingModel::Free;
    std::function<DispatchPtr()> create;
    // The class's own additions to its registration; called after the common entries on register and
    // before they are removed on unregister.
    std::function<void(ClassRegistry::Tree& tree, bool registering)> updateRegistry;
};

enum class StartSwitch { None, RegServer, UnregServer, Automation, Embedding };

// The first of the switches REGSERVER, UNREGSERVER, AUTOMATION, EMBEDDING written after "-" or "/",
// in any case, that the arguments (program name excluded) hold.
StartSwitch findStartSwitch(const QStringList& arguments);

// The server side of automation: class factories, registration, and the count of live objects.
//
// Threads: registerClass is called on the main thread before any client; createInstance and the object
// count are used from any thread. m_mutex guards m_classes, m_lastReleased and m_serverLocks.
class ComServer {
public:
    static ComServer& instance();

    void registerClass(ServedClass served);
    std::vector<ServedClass> classes() const;

    // Writes (or removes) the registry entries of every served class. LocalServer32 is serverCommand.
    bool registerServer(const QString& serverCommand, QString* error = nullptr);
    bool unregisterServer(QString* error = nullptr);

    enum class Outcome { Continue, ExitSuccess, ExitFailure };
    // Acts on the command line as the application object's initialisation does: REGSERVER registers
    // and ends, UNREGSERVER unregisters and ends, anything else refreshes the registration (ignoring a
    // failure to write it), takes each class's server lock (serverLockName) for the rest of the process
    // and serves the classes.
    Outcome initialise(const QStringList& arguments, const QString& serverCommand, QString* error = nullptr);

    bool startedForClient() const { return m_startedForClient; }

    // Makes a new object of a served class; every object is counted until its last reference goes.
    DispatchPtr createInstance(const QString& clsidOrProgId);
    int objectCount() const { return m_objects.load(); }
    // Before the operator closes the server by hand: while objects are alive, asks "COM Server Warning"
    // (Yes/No, No the default). True when nothing is alive or the answer is Yes.
    bool confirmClose() const;
    // Called (on the releasing thread) when the object count drops to zero.
    void setLastReleasedHandler(std::function<void()> handler);

private:
    ComServer() = default;
    mutable std::mutex m_mutex; // guards m_classes, m_lastReleased, m_serverLocks (any thread)
    std::vector<ServedClass> m_classes;
    std::function<void()> m_lastReleased;
    // Held until the process ends, after the single-instance lock has gone.
    std::vector<std::unique_ptr<NamedMutex>> m_serverLocks;
    std::atomic<int> m_objects{0};
    bool m_startedForClient = false; // main thread, during initialise
};

} // namespace morvane::platform
