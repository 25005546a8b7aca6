#pragma once

#include "DataPacket.h"
#include "SqlConnection.h"
#include "Variant.h"

#include <QHash>
#include <QJsonValue>

#include <chrono>
#include <optional>

namespace morvane::provider {

// How an update or a delete finds its row: by all original values (the default), by the key and the
// original values of the changed fields, or by the key alone.
enum class UpdateMode { WhereAll, WhereChanged, WhereKeyOnly };

struct ResolveRequest {
    QString table; // the table the changes go to
    const QList<Change>* changes = nullptr;
    int maxErrors = -1; // -1: try every change
    UpdateMode mode = UpdateMode::WhereAll;
    QList<FieldDesc> knownFields;       // of the packet the client edited: its joined fields are not written
    std::chrono::milliseconds limit{0}; // how long the whole delta may run (zero: no limit)
    // The operators' table: for each change (by its index) that sets a password, the password's hash
    // (empty: the operator has none any more), kept in the table of hashes with the change. Set only
    // for that table; its deleted rows take their hashes with them.
    const QHash<int, QString>* passwordHashes = nullptr;
};

struct ResolveOutcome {
    QString error;      // the whole call failed (nothing was applied)
    int errorCount = 0; // changes that failed
    int applied = 0;    // changes that are in the database now
    // {"errors":[...],"errorCount":N,"rolledBack":bool,"keys":[...]}, when a change failed or an inserted
    // row was given its key by the server
    QByteArray resultPacket;
};

// Applies a delta to a table in one transaction on the connection's thread, each change under a
// savepoint of its own so that a failed change leaves nothing behind. Every change must touch exactly
// one row. When more than maxErrors changes fail, all of them are rolled back.
ResolveOutcome resolveDelta(platform::SqlConnection& connection, const ResolveRequest& request);

// What a value of a delta is bound for: written into its field, or locating a row by what it holds.
enum class BindPurpose { Write, Locate };

// A value of a delta made ready for binding to a field: nullopt with the reason when it does not fit
// the field (a text where a number belongs, a text longer than the field's width, ...). A JSON null
// is a null QVariant. Numbers never pass through a double on the way unless the field is one. To locate
// a row an integer field takes any 8-byte value, since SQLite keeps whatever was stored.
std::optional<QVariant> bindableFromJson(const FieldDesc& field, const QJsonValue& value,
                                         platform::SqlProvider provider, QString* why,
                                         BindPurpose purpose = BindPurpose::Write);
// A table or column name as a statement may carry it: as it is when plain, quoted otherwise.
QString sqlName(const QString& name, platform::SqlProvider provider);

// A statement parameter made ready for binding; throws DISP_E_TYPEMISMATCH for an array or an object.
QVariant bindable(const platform::Variant& value, platform::SqlProvider provider);

} // namespace morvane::provider
