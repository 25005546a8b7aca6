#pragma once

#include "CallRights.h"

#include <QString>

#include <optional>

// Which module of ac_systemoudle and which of its four rights each method, provider and table needs.
// docs/security.md is the same table for people.
namespace morvane::security {

using provider::Right;

// The module whose four rights make an operator an administrator.
inline const QString kRightsModule = QStringLiteral("atn_sys_c");

QString rightName(Right right); // browse, insert, edit, delete

// A method of the remote object.
struct MethodRule {
    enum Kind {
        AnyOperator, // needs nothing but a log-on
        ByProvider,  // the IAppServer methods: the provider and its statement decide
        Module,      // `right` on `module`
    };
    Kind kind = AnyOperator;
    QString module;
    Right right = Right::Edit;
};
// nullopt for a name the object does not have (the call fails anyway).
std::optional<MethodRule> methodRule(const QString& method);

// A data provider.
struct ProviderRule {
    enum Kind {
        Module,        // each right on `module`
        Dictionary,    // any operator reads it; writing needs `module`
        Administrator, // runs any statement: every right on the rights module
    };
    Kind kind = Administrator;
    QString module;
};
// Without regard to case; nullopt for a name that is no provider.
std::optional<ProviderRule> providerRule(const QString& provider);

// A table: the module of the provider that owns it.
struct TableRule {
    QString module;
    bool freeRead = false;      // any operator reads it (the dictionary)
    bool freeInsert = false;    // any operator adds rows (the system log its clients write)
    bool administrator = false; // only an administrator reaches it at all (the password hashes)
};
// Without regard to case; nullopt for a table that is not the application's (only administrators).
std::optional<TableRule> tableRule(const QString& table);

// The module and right of a device procedure in its T-SQL call form.
std::optional<std::pair<QString, Right>> procedureRule(const QString& procedure);

// Every method name and every provider name that has a rule, for the documents and their test.
QStringList ruledMethods();
QStringList ruledProviders();

} // namespace morvane::security
