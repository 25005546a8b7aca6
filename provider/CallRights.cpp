#include "CallRights.h"

#include <atomic>

namespace morvane::provider {

namespace {
thread_local std::shared_ptr<const CallRights> t_current;
std::atomic<SecurityHooks*> g_hooks{nullptr};
} // namespace

bool StatementAccess::add(const QString& table, bool read, bool insert, bool edit, bool remove) {
    for (TableAccess& known : tables) {
        if (known.table.compare(table, Qt::CaseInsensitive) != 0)
            continue;
        const bool more =
            (read && !known.read) || (insert && !known.insert) || (edit && !known.edit) || (remove && !known.remove);
        known.read = known.read || read;
        known.insert = known.insert || insert;
        known.edit = known.edit || edit;
        known.remove = known.remove || remove;
        return more;
    }
    tables.append({table, read, insert, edit, remove});
    return true;
}

QStringList StatementAccess::writtenTables() const {
    QStringList written;
    for (const TableAccess& access : tables) {
        if (access.writes())
            written.append(access.table);
    }
    return written;
}

std::shared_ptr<const CallRights> CallRights::current() {
    return t_current;
}

std::shared_ptr<const CallRights> CallRights::makeCurrent(std::shared_ptr<const CallRights> rights) {
    return std::exchange(t_current, std::move(rights));
}

void setSecurityHooks(SecurityHooks* hooks) {
    g_hooks.store(hooks);
}

SecurityHooks* securityHooks() {
    return g_hooks.load();
}

} // namespace morvane::provider
