#include "Provider.h"

#include "Automation.h"
#include "ClientStatement.h"
#include "Resolver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QRegularExpression>
#include <QSqlRecord>

#include <atomic>

namespace morvane::provider {

using platform::AutomationError;
using platform::SqlConnection;
using platform::Variant;
using platform::VariantArray;
using platform::VarType;
namespace hr = platform::hr;

namespace {

std::atomic<SqlConnection*> g_connection{nullptr};

[[noreturn]] void fail(const QString& text) {
    throw AutomationError(hr::E_FAIL, text);
}

SqlConnection& connection() {
    SqlConnection* connection = g_connection.load();
    if (!connection)
        fail(QStringLiteral("the database connection is not open"));
    return *connection;
}

// What a read gave: the fields, and the rows either as one packet or one by one.
struct ReadOutcome {
    QString error;
    QList<FieldDesc> fields;
    QByteArray packet;
    QList<QByteArray> rows;
    qsizetype rowCount = 0;
};

enum class ReadMode {
    Describe, // the fields only
    Packet,   // the rows written straight into a packet
    Rows,     // the rows kept one by one, for a cursor
};

// Values bound by placeholder name, made ready for the driver.
using RawBinds = QList<QPair<QString, QVariant>>;

RawBinds rawBinds(const StatementParams& params, platform::SqlProvider provider) {
    RawBinds binds;
    for (const auto& [name, value] : params)
        binds.append({name.startsWith(QLatin1Char(':')) ? name : QLatin1Char(':') + name, bindable(value, provider)});
    return binds;
}

bool runOn(QSqlQuery& query, const QString& sql, const RawBinds& binds) {
    query.setForwardOnly(true);
    if (binds.isEmpty())
        return query.exec(sql);
    if (!query.prepare(sql))
        return false;
    for (const auto& [name, value] : binds)
        query.bindValue(name, value);
    return query.exec();
}

QString errorText(const QSqlError& error) {
    const QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

// The fields of a procedure's result, which has no record: by the values of its first row.
QList<FieldDesc> fieldsOfResult(const platform::SqlResult& result) {
    QList<FieldDesc> fields;
    for (qsizetype i = 0; i < result.columns.size(); ++i) {
        FieldDesc field;
        field.name = result.columns.at(i);
        field.flags = 0;
        field.readOnly = true;
        const QVariant sample = result.rows.isEmpty() ? QVariant() : result.rows.first().value(i);
        switch (sample.metaType().id()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            field.type = FieldType::I4;
            break;
        case QMetaType::Double:
            field.type = FieldType::R8;
            break;
        case QMetaType::QDateTime:
            field.type = FieldType::DateTime;
            break;
        default:
            field.type = FieldType::String;
            break;
        }
        fields.append(field);
    }
    return fields;
}

ReadOutcome read(const QString& sql, const StatementParams& params, ReadMode mode, bool withMetadata,
                 const RawBinds& extra = {}) {
    SqlConnection& db = connection();
    ReadOutcome outcome;
    RawBinds binds = rawBinds(params, db.provider());
    binds.append(extra);
    // The procedures in T-SQL's spelling run through the client-statement layer, which knows each
    // provider's form of them.
    if (binds.isEmpty() && db::parseProcedureCall(sql).outcome != db::ProcedureCallParse::NotACall) {
        const platform::SqlResult result = db::runClientStatement(db, sql);
        if (!result.ok) {
            db.checkAfterFailure();
            outcome.error = result.error;
            return outcome;
        }
        outcome.fields = fieldsOfResult(result);
        const RowWriter writer(outcome.fields);
        for (const QVariantList& values : result.rows) {
            QByteArray row;
            writer.appendRow(row, values);
            outcome.rows.append(row);
        }
        outcome.rowCount = outcome.rows.size();
        if (mode == ReadMode::Packet)
            outcome.packet =
                packetJson(withMetadata ? &outcome.fields : nullptr, outcome.rows, 0, outcome.rows.size());
        return outcome;
    }
    const QString table = statementTable(sql);
    return db.call([&](QSqlDatabase& handle) {
        if (!db.ensureUsable(handle, &outcome.error))
            return outcome;
        {
            QSqlQuery query(handle);
            if (!runOn(query, sql, binds)) {
                outcome.error = errorText(query.lastError());
            } else if (!query.isSelect()) {
                outcome.error = QStringLiteral("CommandText does not return a result set");
            } else {
                outcome.fields = describeFields(query.record(), table);
                const RowWriter writer(outcome.fields);
                if (mode == ReadMode::Packet) {
                    QByteArray& out = outcome.packet;
                    out.append('{');
                    if (withMetadata)
                        out.append(metadataJson(outcome.fields)).append(',');
                    out.append("\"rows\":[");
                    while (query.next()) {
                        if (outcome.rowCount++)
                            out.append(',');
                        writer.appendRow(out, query);
                    }
                    out.append("],\"rowCount\":").append(QByteArray::number(outcome.rowCount)).append('}');
                } else if (mode == ReadMode::Rows) {
                    while (query.next()) {
                        QByteArray row;
                        writer.appendRow(row, query);
                        outcome.rows.append(std::move(row));
                    }
                    outcome.rowCount = outcome.rows.size();
                }
                if (mode != ReadMode::Describe && query.lastError().isValid())
                    outcome.error = errorText(query.lastError());
            }
        }
        if (!outcome.error.isEmpty()) {
            outcome.packet.clear();
            outcome.rows.clear();
            db.checkAfterFailure(handle);
        }
        return outcome;
    });
}

void runCommand(const QString& sql, const StatementParams& params) {
    SqlConnection& db = connection();
    if (params.isEmpty()) {
        const platform::SqlResult result = db::runClientStatement(db, sql);
        if (!result.ok) {
            db.checkAfterFailure();
            fail(result.error);
        }
        return;
    }
    const RawBinds binds = rawBinds(params, db.provider());
    const QString error = db.call([&](QSqlDatabase& handle) {
        QString why;
        if (!db.ensureUsable(handle, &why))
            return why;
        {
            QSqlQuery query(handle);
            if (runOn(query, sql, binds))
                return QString();
            why = errorText(query.lastError());
        }
        db.checkAfterFailure(handle);
        return why;
    });
    if (!error.isEmpty())
        fail(error);
}

} // namespace

void setSharedConnection(SqlConnection* connection) {
    g_connection.store(connection);
}

SqlConnection* sharedConnection() {
    return g_connection.load();
}

StatementParams paramsFromVariant(const Variant& params) {
    StatementParams result;
    if (params.isEmpty() || params.isNull())
        return result;
    const auto refuse = [] {
        throw AutomationError(hr::DISP_E_TYPEMISMATCH,
                              QStringLiteral("Params are an array of [name, value] pairs"));
    };
    if (params.type() != VarType::Array)
        refuse();
    for (const Variant& item : params.toArray()) {
        if (item.type() == VarType::BStr) {
            result.append({item.toText(), Variant::null()});
            continue;
        }
        if (item.type() != VarType::Array)
            refuse();
        const VariantArray pair = item.toArray();
        if (pair.isEmpty() || pair.size() > 2 || pair.first().type() != VarType::BStr || pair.first().toText().isEmpty())
            refuse();
        result.append({pair.first().toText(), pair.size() > 1 ? pair.at(1) : Variant::null()});
    }
    return result;
}

Variant paramsToVariant(const StatementParams& params) {
    VariantArray pairs;
    for (const auto& [name, value] : params)
        pairs.append(Variant(VariantArray{Variant(name), value}));
    return Variant(pairs);
}

Provider::Provider(QString name, QString queryName, Options options, DataRequestHandler onDataRequest)
    : m_name(std::move(name))
    , m_options(options)
    , m_onDataRequest(std::move(onDataRequest)) {
    m_query.name = std::move(queryName);
}

void Provider::closeQuery() {
    m_cursor = Cursor{};
}

void Provider::takeCommandText(const QString& commandText) {
    if (commandText.isEmpty())
        return;
    if (!m_options.allowCommandText)
        fail(QStringLiteral("CommandText changes are not allowed"));
    closeQuery();
    // A new statement has parameters of its own.
    m_query.sql = commandText;
    m_query.params.clear();
}

void Provider::takeParams(const Variant& params) {
    StatementParams given = paramsFromVariant(params);
    if (given.isEmpty())
        return;
    closeQuery();
    m_query.params = std::move(given);
}

const QString& Provider::statement() const {
    if (m_query.sql.trimmed().isEmpty())
        fail(QStringLiteral("%1: no SQL statement has been given").arg(m_query.name));
    return m_query.sql;
}

QList<FieldDesc> Provider::describeStatement() {
    if (m_cursor.open)
        return m_cursor.fields;
    ReadOutcome outcome = read(statement(), m_query.params, ReadMode::Describe, true);
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    return outcome.fields;
}

Variant Provider::getRecords(int count, int& recsOut, int options, const QString& commandText, Variant& params) {
    recsOut = 0;
    takeCommandText(commandText);
    takeParams(params);
    if (options & Reset)
        closeQuery();
    const QString& sql = statement();
    const bool withMetadata = (options & MetaData) || count == 0;

    if (count == 0) {
        m_lastFields = describeStatement();
        return Variant::packet(packetJson(&m_lastFields, {}, 0, 0));
    }
    if (!m_cursor.open && count < 0) {
        // All of it at once: straight into the packet, with no copy of the rows kept.
        ReadOutcome outcome = read(sql, m_query.params, ReadMode::Packet, withMetadata);
        if (!outcome.error.isEmpty())
            fail(outcome.error);
        m_lastFields = std::move(outcome.fields);
        recsOut = static_cast<int>(outcome.rowCount);
        return Variant::packet(std::move(outcome.packet));
    }
    if (!m_cursor.open) {
        ReadOutcome outcome = read(sql, m_query.params, ReadMode::Rows, withMetadata);
        if (!outcome.error.isEmpty())
            fail(outcome.error);
        m_cursor.open = true;
        m_cursor.fields = std::move(outcome.fields);
        m_cursor.rows = std::move(outcome.rows);
        m_cursor.position = 0;
    }
    const qsizetype remaining = m_cursor.rows.size() - m_cursor.position;
    const qsizetype taken = count < 0 ? remaining : std::min<qsizetype>(count, remaining);
    QByteArray packet = packetJson(withMetadata ? &m_cursor.fields : nullptr, m_cursor.rows, m_cursor.position, taken);
    m_lastFields = m_cursor.fields;
    m_cursor.position += taken;
    recsOut = static_cast<int>(taken);
    // Once every record has been sent the cursor is closed: the next read starts again at the first.
    if (m_cursor.position >= m_cursor.rows.size())
        closeQuery();
    return Variant::packet(std::move(packet));
}

void Provider::execute(const QString& commandText, Variant& params) {
    takeCommandText(commandText);
    takeParams(params);
    closeQuery();
    runCommand(statement(), m_query.params);
}

Variant Provider::getParams() const {
    return paramsToVariant(m_query.params);
}

Variant Provider::rowRequest(const Variant& row, int /*requestType*/) {
    // Refreshing, blobs and details all give the row again: blobs travel with every row here, and no
    // provider has details.
    const QByteArray text = row.isPacket() ? row.packetJson() : row.toBytes();
    QJsonObject values = QJsonDocument::fromJson(text).object();
    if (values.contains(QStringLiteral("fields")) && values.contains(QStringLiteral("rows"))) {
        // A data packet: its first row, by the names of its fields.
        const QJsonArray fields = values.value(QStringLiteral("fields")).toArray();
        const QJsonArray first = values.value(QStringLiteral("rows")).toArray().first().toArray();
        QJsonObject byName;
        for (qsizetype i = 0; i < fields.size() && i < first.size(); ++i) {
            const QJsonObject field = fields.at(i).toObject();
            if (field.value(QStringLiteral("flags")).toInt() & InKey)
                byName.insert(field.value(QStringLiteral("name")).toString(), first.at(i));
        }
        values = byName;
    }
    if (values.isEmpty())
        throw AutomationError(hr::DISP_E_TYPEMISMATCH,
                              QStringLiteral("Unable to find record.  No key specified"));
    const QList<FieldDesc> fields = describeStatement();
    const platform::SqlProvider dialect = connection().provider();
    QStringList conditions;
    RawBinds binds;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        const FieldDesc* field = nullptr;
        for (const FieldDesc& f : fields) {
            if (f.name.compare(it.key(), Qt::CaseInsensitive) == 0)
                field = &f;
        }
        if (!field)
            fail(QStringLiteral("Field '%1' not found").arg(it.key()));
        QString why;
        const std::optional<QVariant> value = bindableFromJson(*field, it.value(), dialect, &why);
        if (!value)
            throw AutomationError(hr::DISP_E_TYPEMISMATCH, why);
        const QString name = sqlName(field->name, dialect);
        if (value->isNull()) {
            conditions.append(name + QStringLiteral(" is null"));
        } else {
            const QString placeholder = QStringLiteral(":k%1").arg(binds.size());
            conditions.append(name + QStringLiteral(" = ") + placeholder);
            binds.append({placeholder, *value});
        }
    }
    const QString sql = QStringLiteral("select * from (%1) morvane_row where %2")
                            .arg(statement(), conditions.join(QStringLiteral(" and ")));
    ReadOutcome outcome = read(sql, m_query.params, ReadMode::Packet, true, binds);
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    return Variant::packet(std::move(outcome.packet));
}

Variant Provider::applyUpdates(const Variant& delta, int maxErrors, int& errorCount) {
    errorCount = 0;
    if (delta.isEmpty() || delta.isNull())
        return Variant::null();
    QString why;
    const auto changes = parseDelta(delta.isPacket() ? delta.packetJson() : delta.toBytes(), &why);
    if (!changes)
        throw AutomationError(hr::DISP_E_TYPEMISMATCH, why);
    if (changes->isEmpty())
        return Variant::null();
    const QString table = statementTable(statement());
    if (table.isEmpty())
        fail(QStringLiteral("Unable to resolve the table to update from the statement of %1").arg(m_query.name));
    ResolveRequest request;
    request.table = table;
    request.changes = &*changes;
    request.maxErrors = maxErrors;
    request.mode = m_options.updateMode;
    request.knownFields = m_lastFields;
    const ResolveOutcome outcome = resolveDelta(connection(), request);
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    // Rows read before the changes may no longer be what the table holds.
    closeQuery();
    errorCount = outcome.errorCount;
    return outcome.errorCount ? Variant::packet(outcome.errorPacket) : Variant::null();
}

Variant Provider::dataRequest(const Variant& input) {
    return m_onDataRequest ? m_onDataRequest(*this, input) : Variant::null();
}

void Provider::executeQuery() {
    closeQuery();
    runCommand(statement(), m_query.params);
}

Variant Provider::openQueryPacket() {
    closeQuery();
    ReadOutcome outcome = read(statement(), m_query.params, ReadMode::Packet, true);
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    m_lastFields = std::move(outcome.fields);
    return Variant::packet(std::move(outcome.packet));
}

} // namespace morvane::provider
