#include "AppServer.h"

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
    Provider& target = provider(args);
    int errorCount = 0;
    const Variant result = target.applyUpdates(argument(args, 1), argument(args, 2).toInt32(), errorCount);
    writeBack(args, 3, Variant(errorCount));
    passOwnerData(args, 4);
    return result;
}

Variant ProviderSet::AS_GetRecords(Arguments& args) {
    const std::lock_guard lock(m_lock);
    Provider& target = provider(args);
    int recsOut = 0;
    const StatementParams params = paramsFromVariant(argument(args, 5));
    const Variant result = target.getRecords(argument(args, 1).toInt32(), recsOut, argument(args, 3).toInt32(),
                                             argument(args, 4).toText(), params);
    writeBack(args, 2, Variant(recsOut));
    if (!params.isEmpty())
        writeBack(args, 5, target.getParams());
    passOwnerData(args, 6);
    return result;
}

Variant ProviderSet::AS_DataRequest(Arguments& args) {
    const std::lock_guard lock(m_lock);
    return provider(args).dataRequest(argument(args, 1));
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
    const Variant result = provider(args).getParams();
    passOwnerData(args, 1);
    return result;
}

Variant ProviderSet::AS_RowRequest(Arguments& args) {
    const std::lock_guard lock(m_lock);
    Provider& target = provider(args);
    const Variant result = target.rowRequest(argument(args, 1), argument(args, 2).toInt32());
    passOwnerData(args, 3);
    return result;
}

Variant ProviderSet::AS_Execute(Arguments& args) {
    const std::lock_guard lock(m_lock);
    Provider& target = provider(args);
    const StatementParams params = paramsFromVariant(argument(args, 2));
    const StatementParams answered = target.execute(argument(args, 1).toText(), params);
    if (!params.isEmpty())
        writeBack(args, 2, paramsToVariant(answered));
    passOwnerData(args, 3);
    return Variant();
}

} // namespace morvane::provider
