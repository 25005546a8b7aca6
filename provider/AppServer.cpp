#include "AppServer.h"

#include "CallRights.h"

#include <QJsonArray>

namespace morvane::provider {

using platform::Arguments;
using platform::AutomationError;
using platform::Variant;
namespace hr = platform::hr;

namespace {

const Variant& argument(const Arguments& args, size_t index) {
    static const Variant none;
    return index < args.size() ? args[index].value() : none;
}

void writeBack(Arguments& args, size_t index, const Variant& value) {
    if (index < args.size())
        args[index].set(value);
}

// OwnerData travels back to the client as it came.
void passOwnerData(Arguments& args, size_t index) {
    if (index < args.size())
        args[index].set(Variant(args[index].value()));
}

// The operator of the current call (if any) needs `right` on the provider.
void require(const Provider& provider, Right right) {
    if (const std::shared_ptr<const CallRights> rights = CallRights::current())
        rights->requireProvider(provider.name(), right);
}

void audit(const QString& method, const QString& outcome, const QJsonObject& details) {
    if (const std::shared_ptr<const CallRights> rights = CallRights::current())
        rights->audit(method, outcome, details);
}

// Runs a method's body; a refusal of the operator's rights goes to the audit log on its way to the client.
template <typename Body>
Variant audited(const char* method, const Arguments& args, Body body) {
    try {
        return body();
    } catch (const AutomationError& failure) {
        if (failure.code() == hr::E_ACCESSDENIED)
            audit(QLatin1String(method), QStringLiteral("refused"),
                  {{QStringLiteral("provider"), argument(args, 0).toText()},
                   {QStringLiteral("reason"), failure.message()}});
        throw;
    }
}

QJsonObject commandDetails(const Provider& provider) {
    const StatementAccess& reached = provider.lastCommand();
    return {{QStringLiteral("provider"), provider.name()},
            {QStringLiteral("written"), QJsonArray::fromStringList(reached.writtenTables())},
            {QStringLiteral("opaque"), reached.opaque}};
}

} // namespace

Provider& ProviderSet::add(QString name, QString queryName, Provider::Options options,
                           Provider::DataRequestHandler onDataRequest) {
    m_providers.push_back(
        std::make_unique<Provider>(std::move(name), std::move(queryName), options, std::move(onDataRequest)));
    return *m_providers.back();
}

Provider* ProviderSet::find(const QString& name) {
    for (const auto& provider : m_providers) {
        if (provider->name().compare(name, Qt::CaseInsensitive) == 0)
            return provider.get();
    }
    return nullptr;
}

QStringList ProviderSet::names() const {
    QStringList names;
    for (const auto& provider : m_providers)
        names.append(provider->name());
    return names;
}

Provider& ProviderSet::provider(const Arguments& args) {
    const QString name = argument(args, 0).toText();
    Provider* found = find(name);
    if (!found)
        throw AutomationError(hr::E_UNEXPECTED, QStringLiteral("Provider not exported: %1").arg(name));
    return *found;
}

Variant ProviderSet::AS_ApplyUpdates(Arguments& args) {
    const std::lock_guard lock(m_lock);
    return audited("AS_ApplyUpdates", args, [&] {
        Provider& target = provider(args);
        int errorCount = 0;
        Variant result;
        try {
            result = target.applyUpdates(argument(args, 1), argument(args, 2).toInt32(), errorCount);
        } catch (const AutomationError& failure) {
            if (failure.code() != hr::E_ACCESSDENIED && target.lastDelta().changes > 0)
                audit(QStringLiteral("AS_ApplyUpdates"), QStringLiteral("failed"),
                      {{QStringLiteral("provider"), target.name()},
                       {QStringLiteral("table"), target.lastDelta().table},
                       {QStringLiteral("changes"), target.lastDelta().changes},
                       {QStringLiteral("reason"), failure.message()}});
            throw;
        }
        if (target.lastDelta().changes > 0)
            audit(QStringLiteral("AS_ApplyUpdates"), QStringLiteral("ok"),
                  {{QStringLiteral("provider"), target.name()},
                   {QStringLiteral("table"), target.lastDelta().table},
                   {QStringLiteral("changes"), target.lastDelta().changes},
                   {QStringLiteral("applied"), target.lastDelta().applied},
                   {QStringLiteral("errorCount"), errorCount}});
        writeBack(args, 3, Variant(errorCount));
        passOwnerData(args, 4);
        return result;
    });
}

Variant ProviderSet::AS_GetRecords(Arguments& args) {
    const std::lock_guard lock(m_lock);
    return audited("AS_GetRecords", args, [&] {
        Provider& target = provider(args);
        require(target, Right::Browse);
        int recsOut = 0;
        const StatementParams params = paramsFromVariant(argument(args, 5));
        const Variant result = target.getRecords(argument(args, 1).toInt32(), recsOut, argument(args, 3).toInt32(),
                                                 argument(args, 4).toText(), params);
        writeBack(args, 2, Variant(recsOut));
        if (!params.isEmpty())
            writeBack(args, 5, target.getParams());
        passOwnerData(args, 6);
        return result;
    });
}

Variant ProviderSet::AS_DataRequest(Arguments& args) {
    const std::lock_guard lock(m_lock);
    return audited("AS_DataRequest", args, [&] {
        Provider& target = provider(args);
        require(target, Right::Browse);
        const Variant result = target.dataRequest(argument(args, 1));
        if (target.commandRan())
            audit(QStringLiteral("AS_DataRequest"), QStringLiteral("ok"), commandDetails(target));
        return result;
    });
}

Variant ProviderSet::AS_GetProviderNames(Arguments&) {
    const std::lock_guard lock(m_lock);
    platform::VariantArray list;
    for (const QString& name : names())
        list.append(Variant(name));
    return Variant(list);
}

Variant ProviderSet::AS_GetParams(Arguments& args) {
    const std::lock_guard lock(m_lock);
    return audited("AS_GetParams", args, [&] {
        Provider& target = provider(args);
        require(target, Right::Browse);
        const Variant result = target.getParams();
        passOwnerData(args, 1);
        return result;
    });
}

Variant ProviderSet::AS_RowRequest(Arguments& args) {
    const std::lock_guard lock(m_lock);
    return audited("AS_RowRequest", args, [&] {
        Provider& target = provider(args);
        require(target, Right::Browse);
        const Variant result = target.rowRequest(argument(args, 1), argument(args, 2).toInt32());
        passOwnerData(args, 3);
        return result;
    });
}

Variant ProviderSet::AS_Execute(Arguments& args) {
    const std::lock_guard lock(m_lock);
    return audited("AS_Execute", args, [&] {
        Provider& target = provider(args);
        require(target, Right::Browse);
        const StatementParams params = paramsFromVariant(argument(args, 2));
        StatementParams answered;
        try {
            answered = target.execute(argument(args, 1).toText(), params);
        } catch (const AutomationError& failure) {
            if (failure.code() != hr::E_ACCESSDENIED && CallRights::current()) {
                QJsonObject details = commandDetails(target);
                details.insert(QStringLiteral("reason"), failure.message());
                audit(QStringLiteral("AS_Execute"), QStringLiteral("failed"), details);
            }
            throw;
        }
        audit(QStringLiteral("AS_Execute"), QStringLiteral("ok"), commandDetails(target));
        if (!params.isEmpty())
            writeBack(args, 2, paramsToVariant(answered));
        passOwnerData(args, 3);
        return Variant();
    });
}

} // namespace morvane::provider
