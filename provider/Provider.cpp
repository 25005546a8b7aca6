#include "Provider.h"

#include "Automation.h"
#include "ClientStatement.h"
#include "NativeRows.h"
#include "Resolver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
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
            outcome.packet = packetJson(withMetadata ? &outcome.fields : nullptr, outcome.rows);
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
                if (mode == ReadMode::Packet) {
                    const auto source = RowSource::create(query, outcome.fields);
                    PacketWriter writer(withMetadata ? &outcome.fields : nullptr);
                    while (writer.appendRow([&](QByteArray& out) { return source->appendNext(out); })) {
                    }
                    outcome.rowCount = writer.rows();
                    outcome.packet = std::move(writer).finish();
                    outcome.error = source->error();
                } else if (mode == ReadMode::Rows) {
                    const auto source = RowSource::create(query, outcome.fields);
                    for (QByteArray row; source->appendNext(row); row.clear())
                        outcome.rows.append(row);
                    outcome.rowCount = outcome.rows.size();
                    outcome.error = source->error();
                }
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

} // namespace

// An open statement whose records are sent a page at a time. Its query keeps the shared connection busy
// between pages, so it holds the connection: before anyone else's work runs there, the records not yet
// sent are read ahead into memory. Touched on the database thread only, apart from the pointer to it.
struct LiveCursor {
    SqlConnection* connection = nullptr;
    int generation = 0;
    std::unique_ptr<QSqlQuery> query; // null once read to its end
    QList<FieldDesc> fields;
    std::unique_ptr<RowSource> source; // reads `query`: made after it and gone before it
    QList<QByteArray> ahead;           // records read ahead and not sent yet
    qsizetype aheadPosition = 0;
    QString error; // a failure while reading ahead, reported by the next page

    void readAhead() {
        if (!query)
            return;
        for (QByteArray row; source->appendNext(row); row.clear())
            ahead.append(row);
        finishQuery();
    }
    void finishQuery() {
        if (source && !source->error().isEmpty())
            error = source->error();
        source.reset();
        query.reset();
        connection->dropHold(this);
    }
    // Closed before its end: a server still sending the rest is asked to stop first.
    void abandon(QSqlDatabase& db) {
        if (query)
            cancelRunningStatement(db);
        source.reset();
        query.reset();
        connection->dropHold(this);
    }
    bool atEnd() const { return !query && aheadPosition >= ahead.size(); }
    // Up to `count` records (all for a negative count).
    QList<QByteArray> take(qsizetype count) {
        QList<QByteArray> rows;
        while ((count < 0 || rows.size() < count) && aheadPosition < ahead.size())
            rows.append(std::move(ahead[aheadPosition++]));
        if (aheadPosition >= ahead.size()) {
            ahead.clear();
            aheadPosition = 0;
        }
        if (query) {
            QByteArray row;
            while ((count < 0 || rows.size() < count) && source->appendNext(row)) {
                rows.append(row);
                row.clear();
            }
            if (count < 0 || rows.size() < count)
                finishQuery();
        }
        return rows;
    }
};

namespace {

std::shared_ptr<LiveCursor> openCursor(const QString& sql, const StatementParams& params) {
    SqlConnection& db = connection();
    auto cursor = std::make_shared<LiveCursor>();
    cursor->connection = &db;
    RawBinds binds = rawBinds(params, db.provider());
    if (binds.isEmpty() && db::parseProcedureCall(sql).outcome != db::ProcedureCallParse::NotACall) {
        ReadOutcome outcome = read(sql, params, ReadMode::Rows, false);
        if (!outcome.error.isEmpty())
            fail(outcome.error);
        cursor->fields = std::move(outcome.fields);
        cursor->ahead = std::move(outcome.rows);
        return cursor;
    }
    const QString table = statementTable(sql);
    const QString error = db.callAs(cursor.get(), [&](QSqlDatabase& handle) {
        QString why;
        if (!db.ensureUsable(handle, &why))
            return why;
        cursor->generation = db.generation();
        auto query = std::make_unique<QSqlQuery>(handle);
        if (!runOn(*query, sql, binds))
            why = errorText(query->lastError());
        else if (!query->isSelect())
            why = QStringLiteral("CommandText does not return a result set");
        if (!why.isEmpty()) {
            query.reset();
            db.checkAfterFailure(handle);
            return why;
        }
        cursor->fields = describeFields(query->record(), table);
        cursor->query = std::move(query);
        cursor->source = RowSource::create(*cursor->query, cursor->fields);
        std::weak_ptr<LiveCursor> weak = cursor;
        db.hold(cursor.get(), [weak] {
            if (auto held = weak.lock())
                held->readAhead();
        });
        return QString();
    });
    if (!error.isEmpty())
        fail(error);
    return cursor;
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
        throw AutomationError(hr::DISP_E_TYPEMISMATCH, QStringLiteral("Params are an array of [name, value] pairs"));
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
        if (pair.isEmpty() || pair.size() > 2 || pair.first().type() != VarType::BStr ||
            pair.first().toText().isEmpty())
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

Provider::~Provider() {
    closeQuery();
}

void Provider::closeQuery() {
    if (!m_cursor)
        return;
    const std::shared_ptr<LiveCursor> cursor = std::move(m_cursor);
    cursor->connection->callAs(cursor.get(), [&](QSqlDatabase& db) {
        cursor->abandon(db);
        return 0;
    });
}

void Provider::takeCommandText(const QString& commandText) {
    if (commandText.isEmpty())
        return;
    if (!m_options.allowCommandText)
        fail(QStringLiteral("CommandText changes are not allowed"));
    // A new statement has parameters of its own.
    clearStatement();
    m_query.sql = commandText;
}

void Provider::clearStatement() {
    closeQuery();
    m_query.sql.clear();
    m_query.params.clear();
}

void Provider::takeParams(const StatementParams& params) {
    if (params.isEmpty())
        return;
    closeQuery();
    m_query.params = params;
}

const QString& Provider::statement() const {
    if (m_query.sql.trimmed().isEmpty())
        fail(QStringLiteral("%1: no SQL statement has been given").arg(m_query.name));
    return m_query.sql;
}

QList<FieldDesc> Provider::describeStatement() {
    if (m_cursor)
        return m_cursor->fields;
    ReadOutcome outcome = read(statement(), m_query.params, ReadMode::Describe, true);
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    return outcome.fields;
}

Variant Provider::getRecords(int count, int& recsOut, int options, const QString& commandText,
                             const StatementParams& params) {
    recsOut = 0;
    takeCommandText(commandText);
    takeParams(params);
    if (options & Reset)
        closeQuery();
    const QString& sql = statement();
    const bool withMetadata = (options & MetaData) || count == 0;

    if (count == 0) {
        m_lastFields = describeStatement();
        return Variant::packet(packetJson(&m_lastFields, {}));
    }
    if (!m_cursor && count < 0) {
        // All of it at once: straight into the packet, with no copy of the rows kept.
        ReadOutcome outcome = read(sql, m_query.params, ReadMode::Packet, withMetadata);
        if (!outcome.error.isEmpty())
            fail(outcome.error);
        m_lastFields = std::move(outcome.fields);
        recsOut = static_cast<int>(outcome.rowCount);
        return Variant::packet(std::move(outcome.packet));
    }
    if (!m_cursor)
        m_cursor = openCursor(sql, m_query.params);
    const std::shared_ptr<LiveCursor> cursor = m_cursor;
    QString error;
    bool atEnd = false;
    const QList<QByteArray> rows = cursor->connection->callAs(cursor.get(), [&](QSqlDatabase&) {
        QList<QByteArray> taken;
        if (cursor->generation != cursor->connection->generation() && cursor->query)
            error = QStringLiteral("The database connection was opened again since the records were opened");
        else
            taken = cursor->take(count);
        if (error.isEmpty() && !cursor->error.isEmpty())
            error = cursor->error;
        atEnd = cursor->atEnd();
        return taken;
    });
    m_lastFields = cursor->fields;
    // Once every record has been sent (or reading failed) the cursor is closed: the next read starts
    // again at the first record.
    if (atEnd || !error.isEmpty())
        closeQuery();
    if (!error.isEmpty())
        fail(error);
    recsOut = static_cast<int>(rows.size());
    return Variant::packet(packetJson(withMetadata ? &m_lastFields : nullptr, rows));
}

void Provider::execute(const QString& commandText, const StatementParams& params) {
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
        throw AutomationError(hr::DISP_E_TYPEMISMATCH, QStringLiteral("Unable to find record.  No key specified"));
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
    QString inner = statement().trimmed();
    while (inner.endsWith(QLatin1Char(';')))
        inner.chop(1);
    const QString sql =
        QStringLiteral("select * from (%1) morvane_row where %2").arg(inner, conditions.join(QStringLiteral(" and ")));
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
