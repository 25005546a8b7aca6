#pragma once

#include "DataPacket.h"
#include "Provider.h"

#include <QJsonValue>

#include <optional>

namespace morvane::provider {

struct ResolveRequest {
    QString table; // the table the changes go to
    const QList<Change>* changes = nullptr;
    int maxErrors = -1; // -1: try every change
    UpdateMode mode = UpdateMode::WhereAll;
    QList<FieldDesc> knownFields; // of the packet the client edited: its joined fields are not written
};

struct ResolveOutcome {
    QString error;          // the whole call failed (nothing was applied)
    int errorCount = 0;     // changes that failed
    int applied = 0;        // changes that are in the database now
    QByteArray errorPacket; // {"errors":[...],"errorCount":N,"rolledBack":bool}, when a change failed
};

// Applies a delta to a table in one transaction on the connection's thread, each change under a
// savepoint of its own so that a failed change leaves nothing behind. Every change must touch exactly
// one row. When more than maxErrors changes fail, all of them are rolled back.
ResolveOutcome resolveDelta(platform::SqlConnection& connection, const ResolveRequest& request);

// A value of a delta made ready for binding to a field: nullopt with the reason when it does not fit
// the field (a text where a number belongs, a text longer than the field's width, ...). A JSON null
// is a null QVariant.
std::optional<QVariant> bindableFromJson(const FieldDesc& field, const QJsonValue& value,
                                         platform::SqlProvider provider, QString* why);
// A table or column name as a statement may carry it: as it is when plain, quoted otherwise.
QString sqlName(const QString& name, platform::SqlProvider provider);

// A statement parameter made ready for binding; throws DISP_E_TYPEMISMATCH for an array or an object.
QVariant bindable(const platform::Variant& value, platform::SqlProvider provider);

} // namespace morvane::provider
