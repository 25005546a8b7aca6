#pragma once

#include "Automation.h"
#include "Provider.h"

#include <memory>
#include <mutex>
#include <vector>

namespace morvane::provider {

// The data side of a remote data module: its providers, looked up by name, and the seven methods
// through which clients reach them. Every method takes the module's lock for the whole call, so one
// module runs one provider call at a time.
class ProviderSet {
public:
    Provider& add(QString name, QString queryName, Provider::Options options,
                  Provider::DataRequestHandler onDataRequest = {});
    // Without regard to case; nullptr when the module exports no such provider.
    Provider* find(const QString& name);
    QStringList names() const;

    // The methods as they are called, their arguments in the order of the interface.
    platform::Variant
    AS_ApplyUpdates(platform::Arguments& args); // ProviderName, Delta, MaxErrors, ErrorCount, OwnerData
    platform::Variant
    AS_GetRecords(platform::Arguments& args); // ProviderName, Count, RecsOut, Options, CommandText, Params, OwnerData
    platform::Variant AS_DataRequest(platform::Arguments& args); // ProviderName, Data
    platform::Variant AS_GetProviderNames(platform::Arguments& args);
    platform::Variant AS_GetParams(platform::Arguments& args);  // ProviderName, OwnerData
    platform::Variant AS_RowRequest(platform::Arguments& args); // ProviderName, Row, RequestType, OwnerData
    platform::Variant AS_Execute(platform::Arguments& args);    // ProviderName, CommandText, Params, OwnerData

private:
    Provider& provider(const platform::Arguments& args);

    std::mutex m_lock; // held for each call of the methods above, by whichever thread makes it
    std::vector<std::unique_ptr<Provider>> m_providers; // made at the module's creation, then only read
};

} // namespace morvane::provider
