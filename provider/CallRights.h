#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace morvane::provider {

// The four rights that a group holds on a module.
enum class Right { Browse, Insert, Edit, Delete };

// What a client's statement does to one table.
struct TableAccess {
    QString table; // as the statement's database names it
    bool read = false;
    bool insert = false;
    bool edit = false;
    bool remove = false;
    bool writes() const { return insert || edit || remove; }
};

// What a client's statement reaches, found before it runs.
struct StatementAccess {
    QList<TableAccess> tables;
    // Nothing could be told about it (a definition, several statements, a database whose statements are
    // not analysed): only an administrator runs it, and it may have written anything.
    bool opaque = false;
    // One of the device procedures in their T-SQL call form, which the server itself carries out.
    QString procedure;
    // Adds the access of a table (merged with what is there); true when that was new.
    bool add(const QString& table, bool read, bool insert, bool edit, bool remove);
    QStringList writtenTables() const;
};

// The rights of the operator on whose behalf a call runs. Made by the server's log-on for each session and
// never changed afterwards, so any thread may read one (the database thread checks statements with it).
class CallRights {
public:
    virtual ~CallRights() = default;

    // Each throws AutomationError E_ACCESSDENIED, naming the module and the right, when refused.
    // A method of the remote object; the IAppServer methods pass, the providers decide.
    virtual void requireMethod(const QString& method) const = 0;
    // A provider used with a right: its module's right, a dictionary that any operator reads, or the
    // rights module for the providers that run any statement.
    virtual void requireProvider(const QString& provider, Right right) const = 0;
    // Empty when the operator may do what the statement does; otherwise why not.
    virtual QString refusalOf(const StatementAccess& access) const = 0;
    // The group holds every right on the rights module.
    virtual bool administrator() const = 0;
    // Empty when the operator holds `right` on the module (its code in ac_systemoudle); otherwise why not.
    virtual QString refusalOnModule(const QString& module, Right right) const = 0;
    virtual QString operatorName() const = 0;
    virtual QString address() const = 0;
    // Empty while the session these rights came from goes on with the same rights; otherwise why it has
    // ended (logged off, or its operator or rights changed: the rights tables are read again once they
    // have been written). On a call thread, where the database may be waited for.
    virtual QString endedBecause() const { return {}; }

    // One line of the audit log for a call of this operator: outcome "ok", "refused", "failed".
    virtual void audit(const QString& method, const QString& outcome, const QJsonObject& details) const = 0;

    // The rights of the call that the current thread runs; null outside a call of a logged-on
    // connection (then nothing is checked: the server's own work, and tests of other parts).
    static std::shared_ptr<const CallRights> current();
    // Makes `rights` current on this thread; answers the previous ones, to be put back after the call.
    static std::shared_ptr<const CallRights> makeCurrent(std::shared_ptr<const CallRights> rights);
};

// What the providers tell the server's security, which installs it at start. Threads: set by the main
// thread before clients are served; the methods are called from the call threads.
class SecurityHooks {
public:
    virtual ~SecurityHooks() = default;
    // The stored form of a password written into the operators' table (a hash); throws AutomationError
    // when it cannot be made now.
    virtual QString hashPassword(const QString& password) = 0;
    // A call wrote these tables (opaque: it may have written any): rights or operators may have changed.
    virtual void tablesWritten(const QStringList& tables, bool opaque) = 0;
};
void setSecurityHooks(SecurityHooks* hooks);
SecurityHooks* securityHooks();

} // namespace morvane::provider
