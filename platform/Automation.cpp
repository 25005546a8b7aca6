#include "Automation.h"

#include "ClassRegistry.h"
#include "ComServer.h"
#include "LocalServer.h"

#include <QUuid>

#include <dlfcn.h>
#include <mutex>

namespace morvane::platform {

QString hresultText(HResult value) {
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(static_cast<uint32_t>(value), 8, 16, QLatin1Char('0')).toUpper();
}

AutomationError::AutomationError(HResult code, const QString& message, int32_t helpContext)
    : std::runtime_error(message.toStdString())
    , m_code(code)
    , m_message(message)
    , m_helpContext(helpContext) {}

Argument Argument::byValue(Variant value) {
    Argument arg;
    arg.m_value = std::move(value);
    return arg;
}

Argument Argument::byRef(Variant& target, VarType typed) {
    Argument arg;
    arg.m_target = &target;
    arg.m_refType = typed;
    if (typed != VarType::Empty)
        target = target.convertedTo(typed);
    return arg;
}

const Variant& Argument::value() const {
    return m_target ? *m_target : m_value;
}

void Argument::set(const Variant& value) {
    Variant& slot = m_target ? *m_target : m_value;
    slot = m_refType == VarType::Empty ? value : value.convertedTo(m_refType);
    m_written = true;
}

void DispatchObject::addMember(const QString& name, DispId id, int paramCount, Body body) {
    m_idsByLowerName.insert(name.toLower(), id);
    m_members.insert(id, Member{name, paramCount, std::move(body)});
}

HResult DispatchObject::getIdOfName(const QString& name, DispId& id) const {
    const auto found = m_idsByLowerName.constFind(name.toLower());
    if (found == m_idsByLowerName.constEnd())
        return hr::DISP_E_UNKNOWNNAME;
    id = found.value();
    return hr::S_OK;
}

HResult DispatchObject::invoke(DispId id, Arguments& args, Variant& result, ErrorInfo& error) {
    const auto found = m_members.constFind(id);
    if (found == m_members.constEnd()) {
        error.message = QStringLiteral("Member not found");
        return hr::DISP_E_MEMBERNOTFOUND;
    }
    if (found->paramCount >= 0 && static_cast<int>(args.size()) != found->paramCount) {
        error.message = QStringLiteral("Invalid number of parameters");
        return hr::DISP_E_BADPARAMCOUNT;
    }
    try {
        result = found->body(args);
        return hr::S_OK;
    } catch (...) {
        return failureFromException(std::current_exception(), error);
    }
}

QList<QPair<QString, DispId>> DispatchObject::members() const {
    QList<QPair<QString, DispId>> list;
    for (auto it = m_members.constBegin(); it != m_members.constEnd(); ++it)
        list.append({it->name, it.key()});
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return list;
}

HResult failureFromException(std::exception_ptr failure, ErrorInfo& error) {
    try {
        std::rethrow_exception(failure);
    } catch (const VariantConversionError& e) {
        error.message = e.message();
        error.helpContext = 0;
        return hr::E_UNEXPECTED;
    } catch (const AutomationError& e) {
        error.message = e.message();
        error.helpContext = e.helpContext();
        return e.code() < 0 ? e.code() : hr::E_UNEXPECTED;
    } catch (const std::exception& e) {
        error.message = QString::fromLocal8Bit(e.what());
        error.helpContext = 0;
        return hr::E_UNEXPECTED;
    } catch (...) {
        error.message = QStringLiteral("Unexpected failure");
        error.helpContext = 0;
        return hr::E_UNEXPECTED;
    }
}

Variant callMethod(const DispatchPtr& object, const QString& name, Arguments& args) {
    if (!object)
        throw AutomationError(hr::E_UNEXPECTED, QStringLiteral("Variant does not reference an automation object"));
    DispId id = 0;
    if (object->getIdOfName(name, id) < 0)
        throw AutomationError(hr::DISP_E_UNKNOWNNAME,
                              QStringLiteral("Method '%1' not supported by automation object").arg(name));
    return invokeMember(object, id, args);
}

Variant invokeMember(const DispatchPtr& object, DispId id, Arguments& args, HResult* status) {
    Variant result;
    ErrorInfo error;
    const HResult outcome = object->invoke(id, args, result, error);
    if (outcome < 0)
        throw AutomationError(outcome, error.message.isEmpty() ? hresultText(outcome) : error.message,
                              error.helpContext);
    if (status)
        *status = outcome;
    return result;
}

Variant callMethod(const Variant& object, const QString& name, Arguments args) {
    if (object.type() != VarType::Dispatch)
        throw AutomationError(hr::E_UNEXPECTED, QStringLiteral("Variant does not reference an automation object"));
    return callMethod(object.toDispatch(), name, args);
}

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and nothing else: the text becomes part of a registry key path.
bool isClsidText(const QString& text) {
    return text.size() == 38 && text.startsWith(QLatin1Char('{')) && text.endsWith(QLatin1Char('}')) &&
           !QUuid::fromString(text).isNull();
}

} // namespace

QString clsidFromProgId(const QString& progIdOrClsid) {
    ClassRegistry::Tree registry;
    if (!ClassRegistry().read(registry))
        registry = {}; // an unreadable registry knows no ProgID
    return clsidFromProgId(progIdOrClsid, registry);
}

QString clsidFromProgId(const QString& progIdOrClsid, const ClassRegistry::Tree& registry) {
    const QString name = progIdOrClsid.trimmed();
    const auto invalid = [] { return AutomationError(hr::CO_E_CLASSSTRING, QStringLiteral("Invalid class string")); };
    if (name.startsWith(QLatin1Char('{'))) {
        if (!isClsidText(name))
            throw invalid();
        return name.toUpper();
    }
    // A ProgID names one key: a backslash would reach into another.
    if (name.isEmpty() || name.contains(QLatin1Char('\\')))
        throw invalid();
    for (const ServedClass& served : ComServer::instance().classes()) {
        if (served.progId.compare(name, Qt::CaseInsensitive) == 0)
            return served.clsid.toUpper();
    }
    const auto clsid = ClassRegistry::treeValue(registry, name + QStringLiteral("\\CLSID"));
    if (!clsid || !isClsidText(clsid->trimmed()))
        throw invalid();
    return clsid->trimmed().toUpper();
}

namespace {

// Loaded component libraries stay loaded for the life of the process, as the platform keeps them
// until it is told they may go.
IClassFactory* inprocFactory(const QString& path, const QString& clsid) {
    static std::mutex mutex; // guards nothing but the order of dlopen calls from several threads
    std::lock_guard lock(mutex);
    void* handle = dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw AutomationError(hr::CO_E_DLLNOTFOUND,
                              QStringLiteral("Cannot load %1: %2").arg(path, QString::fromLocal8Bit(dlerror())));
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(dlsym(handle, kGetClassObjectSymbol));
    if (!getClassObject)
        throw AutomationError(hr::REGDB_E_CLASSNOTREG, QStringLiteral("%1 exports no class factory").arg(path));
    IClassFactory* factory = getClassObject(clsid.toUtf8().constData());
    if (!factory)
        throw AutomationError(hr::REGDB_E_CLASSNOTREG, QStringLiteral("Class not registered"));
    return factory;
}

} // namespace

DispatchPtr createObject(const QString& progIdOrClsid) {
    // One read of the registry serves every look-up of this creation, the ProgID's included.
    ClassRegistry::Tree registry;
    const bool readable = ClassRegistry().read(registry);
    if (!readable)
        registry = {};
    const QString clsid = clsidFromProgId(progIdOrClsid, registry);
    if (DispatchPtr own = ComServer::instance().createInstance(clsid))
        return own;
    const QString key = QStringLiteral("CLSID\\") + clsid;
    if (!readable || !ClassRegistry::treeKeyExists(registry, key))
        throw AutomationError(hr::REGDB_E_CLASSNOTREG, QStringLiteral("Class not registered"));
    const auto inproc = ClassRegistry::treeValue(registry, key + QStringLiteral("\\InprocServer32"));
    if (inproc && !inproc->isEmpty()) {
        DispatchPtr object = inprocFactory(*inproc, clsid)->createInstance();
        if (!object)
            throw AutomationError(hr::E_OUTOFMEMORY, QStringLiteral("The class factory made no object"));
        return object;
    }
    const auto local = ClassRegistry::treeValue(registry, key + QStringLiteral("\\LocalServer32"));
    if (local && !local->trimmed().isEmpty()) {
        // A server that is ending (its last object gone) may still take a connection and then drop it
        // before it answers: the next attempt finds it gone and starts a new one.
        for (int attempt = 1;; ++attempt) {
            QString why;
            const int fd = connectClassServer(clsid, *local, kDefaultActivationTimeoutMs, &why);
            if (fd < 0)
                throw AutomationError(hr::CO_E_SERVER_EXEC_FAILURE,
                                      QStringLiteral("Server execution failed: %1").arg(why));
            try {
                return RemoteObject::create(std::make_unique<rpc::SocketLineChannel>(fd), clsid);
            } catch (const AutomationError& failure) {
                if (failure.code() != hr::RPC_E_DISCONNECTED || attempt == 3)
                    throw;
            }
        }
    }
    throw AutomationError(hr::REGDB_E_CLASSNOTREG, QStringLiteral("Class not registered"));
}

} // namespace morvane::platform
