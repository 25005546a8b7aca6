#include "Provider.h"

#include "Automation.h"
#include "CallRights.h"
#include "ClientStatement.h"
#include "NativeRows.h"
#include "Resolver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

namespace morvane::provider {

using platform::AutomationError;
using platform::SqlConnection;
using platform::Variant;
using platform::VariantArray;
using platform::VarType;
namespace hr = platform::hr;

namespace {

std::atomic<SqlConnection*> g_connection{nullptr};
// The limits of a client's statement and of a delta, in milliseconds (0: none). Set at start-up.
std::atomic<qint64> g_statementLimit{30000};
std::atomic<qint64> g_deltaLimit{120000};

[[noreturn]] void fail(const QString& text) {
    throw AutomationError(hr::E_FAIL, text);
}

// A staff member's card has rights of its own: who may edit staff may not for that issue, cancel, report
// lost, find or replace cards. What a change of a staff row does to its card, by the fields it changes
// (a field given in `new` with the value it has in `old` is no change).
QJsonValue fieldOf(const QJsonObject& values, QLatin1String name) {
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return QJsonValue(QJsonValue::Undefined);
}

bool noCard(const QJsonValue& number) {
    return number.isNull() || (number.isString() && number.toString().trimmed().isEmpty());
}

std::optional<std::pair<QString, Right>> cardRightOf(const Change& change) {
    static const QLatin1String kNumber("cardnumber");
    static const QLatin1String kFettle("cardfettle"); // 0 in use, 1 reported lost, 2 no card
    const QJsonValue number = fieldOf(change.newValues, kNumber);
    if (change.state == Change::Inserted) {
        if (number.isUndefined() || noCard(number))
            return std::nullopt;
        return std::pair{QStringLiteral("atn_card_IcOut"), Right::Insert};
    }
    if (change.state != Change::Modified)
        return std::nullopt;
    const QJsonValue oldNumber = fieldOf(change.oldValues, kNumber);
    if (!number.isUndefined() && number.toVariant().toString() != oldNumber.toVariant().toString()) {
        if (noCard(number))
            return std::pair{QStringLiteral("atn_card_revoke"), Right::Edit};
        if (!oldNumber.isUndefined() && noCard(oldNumber))
            return std::pair{QStringLiteral("atn_card_IcOut"), Right::Insert};
        // The card that was there (or may have been: the client did not say) gives way to another.
        return std::pair{QStringLiteral("atninsteadcard"), Right::Edit};
    }
    const QJsonValue fettle = fieldOf(change.newValues, kFettle);
    const QJsonValue oldFettle = fieldOf(change.oldValues, kFettle);
    const bool unchanged = !oldFettle.isUndefined() && fettle.toVariant().toInt() == oldFettle.toVariant().toInt();
    if (fettle.isUndefined() || unchanged)
        return std::nullopt;
    switch (fettle.toVariant().toInt()) {
    case 1:
        return std::pair{QStringLiteral("atnloscard"), Right::Edit};
    case 2:
        return std::pair{QStringLiteral("atn_card_revoke"), Right::Edit};
    default:
        return std::pair{QStringLiteral("atnundolosscard"), Right::Edit};
    }
}

SqlConnection& connection() {
    SqlConnection* connection = g_connection.load();
    if (!connection)
        fail(QStringLiteral("the database connection is not open"));
    return *connection;
}

// What a read gave: the fields, and the rows either as one packet or one by one.
struct StreamedRead;

struct ReadOutcome {
    QString error;
    QList<FieldDesc> fields;
    QByteArray packet;
    QList<QByteArray> rows;
    qsizetype rowCount = 0;
    std::shared_ptr<StreamedRead> stream; // instead of `packet`: its rows go to the reply as they are read
};

// A whole read that has grown past this with a reply writer offered goes to the reply as it is read.
constexpr qsizetype kStreamAbove = 1024 * 1024;

enum class ReadMode {
    Describe, // the fields only
    Packet,   // the rows written straight into a packet
    Rows,     // the rows kept one by one, for a cursor
};

// Values bound by placeholder name, made ready for the driver.
struct RawBind {
    QString name; // with its colon
    QVariant value;
    StatementParam::Direction direction = StatementParam::In;
};
using RawBinds = QList<RawBind>;

// The names of a statement's ":name" placeholders, outside quotes and comments.
QSet<QString> placeholderNames(const QString& sql) {
    QSet<QString> names;
    for (const db::SqlToken& token : db::sqlTokens(sql)) {
        if (token.kind == db::SqlToken::Placeholder)
            names.insert(token.text);
    }
    return names;
}

// A parameter that the statement does not have would be ignored by the driver: it is refused by name.
RawBinds rawBinds(const QString& sql, const StatementParams& params, platform::SqlProvider provider) {
    RawBinds binds;
    if (params.isEmpty())
        return binds;
    const QSet<QString> placeholders = placeholderNames(sql);
    for (const StatementParam& param : params) {
        const QString bare = param.name.startsWith(QLatin1Char(':')) ? param.name.mid(1) : param.name;
        // An output parameter may instead name a column of the row the statement returns.
        if (!placeholders.contains(bare) && param.direction == StatementParam::Out)
            continue;
        if (!placeholders.contains(bare))
            fail(QStringLiteral("Parameter '%1' is not in the statement").arg(bare));
        binds.append({QLatin1Char(':') + bare, bindable(param.value, provider), param.direction});
    }
    return binds;
}

bool runOn(QSqlQuery& query, const QString& sql, const RawBinds& binds) {
    query.setForwardOnly(true);
    // Decimals come as the text of their digits (SQLite has none; its driver would give every real as text).
    if (query.driver() && query.driver()->dbmsType() != QSqlDriver::SQLite)
        query.setNumericalPrecisionPolicy(QSql::HighPrecision);
    if (binds.isEmpty())
        return query.exec(sql);
    if (!query.prepare(sql))
        return false;
    for (const RawBind& bind : binds) {
        const QSql::ParamType type = bind.direction == StatementParam::Out     ? QSql::Out
                                     : bind.direction == StatementParam::InOut ? QSql::InOut
                                                                               : QSql::In;
        query.bindValue(bind.name, bind.value, type);
    }
    return query.exec();
}

// What a transaction left open by a client's statement would do on the shared connection: block or
// take in every other client's work. It is undone before anyone else's statement runs, and the caller
// is told.
const QString& leftTransactionText() {
    static const QString text =
        QStringLiteral("The statement left a transaction open; it was rolled back: a transaction does not outlast "
                       "its call on the shared connection");
    return text;
}

// The text with every ":name" placeholder (outside quotes and comments) given as NULL: planned, the
// statement reaches the same tables whatever its values.
QString withNullPlaceholders(const QString& sql) {
    QString out;
    qsizetype copied = 0;
    for (const db::SqlToken& token : db::sqlTokens(sql)) {
        if (token.kind != db::SqlToken::Placeholder)
            continue;
        out += QStringView(sql).mid(copied, token.from - copied);
        out += QStringLiteral("NULL");
        copied = token.to;
    }
    out += QStringView(sql).mid(copied);
    return out;
}

// What client statements reach on PostgreSQL, by their text: planning each one costs a round trip, and
// clients send the same few again and again. Emptied when a statement that may have changed the schema
// has run. Used by the connections' threads; m_mutex guards both members.
class PlannedStatements {
public:
    StatementAccess access(QSqlDatabase& handle, const QString& sql) {
        {
            std::lock_guard lock(m_mutex);
            const auto found = m_known.constFind(sql);
            if (found != m_known.constEnd())
                return *found;
        }
        StatementAccess access = analyse(handle, sql);
        std::lock_guard lock(m_mutex);
        if (m_known.size() >= 1024)
            m_known.clear();
        m_known.insert(sql, access);
        return access;
    }
    void forget() {
        std::lock_guard lock(m_mutex);
        m_known.clear();
        m_functionsRead = false;
    }

private:
    StatementAccess analyse(QSqlDatabase& handle, const QString& sql) {
        StatementAccess opaque;
        opaque.opaque = true;
        // Only what a plan shows whole: a definition, a call, SELECT ... INTO (which makes a table) or a
        // data-changing WITH are not; and a function of the database's own may do anything it likes.
        static const QSet<QString> planned{QStringLiteral("select"), QStringLiteral("with"),   QStringLiteral("insert"),
                                           QStringLiteral("update"), QStringLiteral("delete"), QStringLiteral("values"),
                                           QStringLiteral("table"),  QStringLiteral("merge")};
        const QStringList words = db::statementWords(sql);
        const QString first = words.value(0);
        if (!planned.contains(first))
            return opaque;
        if ((first == QLatin1String("select") || first == QLatin1String("with")) &&
            words.contains(QStringLiteral("into")))
            return opaque;
        const QSet<QString> functions = ownFunctions(handle);
        for (qsizetype i = 0; i + 1 < words.size(); ++i) {
            if (words.at(i + 1) == QLatin1String("(") && functions.contains(words.at(i)))
                return opaque;
        }
        return plannedAccess(handle, withNullPlaceholders(sql));
    }
    QSet<QString> ownFunctions(QSqlDatabase& handle) {
        {
            std::lock_guard lock(m_mutex);
            if (m_functionsRead)
                return m_functions;
        }
        QSet<QString> functions;
        QSqlQuery query(handle);
        query.setForwardOnly(true);
        if (query.exec(QStringLiteral("select distinct lower(p.proname) from pg_proc p join pg_namespace n on "
                                      "n.oid = p.pronamespace where n.nspname not in ('pg_catalog', "
                                      "'information_schema') and n.nspname not like 'pg\\_%'"))) {
            while (query.next())
                functions.insert(query.value(0).toString());
        }
        std::lock_guard lock(m_mutex);
        m_functions = functions;
        m_functionsRead = true;
        return functions;
    }

    std::mutex m_mutex;
    QHash<QString, StatementAccess> m_known;
    QSet<QString> m_functions;
    bool m_functionsRead = false;
};

PlannedStatements& plannedStatements() {
    static PlannedStatements statements;
    return statements;
}

// A client's statement checked against the rights of the operator it runs for: made on the caller's
// thread, filled on the connection's, settled on the caller's again.
struct RightsCheck {
    std::shared_ptr<const CallRights> rights;
    QString sql;
    bool procedure = false;
    StatementCheck state;
};

// None outside a call of an operator.
std::unique_ptr<RightsCheck> rightsCheck(const QString& sql, bool procedure) {
    std::shared_ptr<const CallRights> rights = CallRights::current();
    if (!rights)
        return nullptr;
    auto check = std::make_unique<RightsCheck>();
    check->state.rights = rights.get();
    check->rights = std::move(rights);
    check->sql = sql;
    check->procedure = procedure;
    return check;
}

// On the caller's thread once the statement is done: a refusal fails the call; tables that hold rights or
// operators that were written are told.
void settle(const RightsCheck* check, StatementAccess* reached = nullptr) {
    if (!check)
        return;
    if (!check->state.refusal.isEmpty())
        throw AutomationError(hr::E_ACCESSDENIED, check->state.refusal);
    const StatementAccess& access = check->state.access;
    if (access.opaque)
        plannedStatements().forget();
    if (reached)
        *reached = access;
    const QStringList written = access.writtenTables();
    if (SecurityHooks* hooks = securityHooks(); hooks && (access.opaque || !written.isEmpty()))
        hooks->tablesWritten(written, access.opaque);
}

// A client's statement on the connection's thread, stopped at its limit, when its client goes, or when
// the server closes; what the caller is told then. With a rights check, the statement is refused before
// it runs when it reaches what its operator may not: on SQLite as it is prepared, on PostgreSQL by its
// plan, on SQL Server (whose statements are not analysed) unless the operator is an administrator.
class GuardedStatement {
public:
    GuardedStatement(SqlConnection& db, QSqlDatabase& handle, bool forCaller = true, RightsCheck* check = nullptr)
        : m_limit(g_statementLimit.load())
        , m_guard(db, m_limit, statementInterrupter(handle), forCaller)
        , m_limits(handle, check && !check->procedure ? &check->state : nullptr)
        , m_handle(handle)
        , m_provider(db.provider())
        , m_check(check) {}
    // For the call of `owner`, whoever's work comes next on the connection.
    GuardedStatement(SqlConnection& db, QSqlDatabase& handle, std::shared_ptr<platform::CallContext> owner)
        : m_limit(g_statementLimit.load())
        , m_guard(db, m_limit, statementInterrupter(handle), std::move(owner))
        , m_limits(handle, nullptr)
        , m_handle(handle)
        , m_provider(db.provider())
        , m_check(nullptr) {}
    // True, with the reason in `error`, when the statement is not to start.
    bool refused(QString& error) const {
        if (stopped(error))
            return true;
        if (!m_check)
            return false;
        StatementCheck& state = m_check->state;
        if (m_check->procedure)
            state.access.procedure = db::parseProcedureCall(m_check->sql).procedure;
        else if (m_provider == platform::SqlProvider::SQLite)
            return false; // refused as it is prepared
        else if (m_provider == platform::SqlProvider::PostgreSQL)
            state.access = plannedStatements().access(m_handle, m_check->sql);
        else
            state.access.opaque = true;
        state.refusal = m_check->rights->refusalOf(state.access);
        error = state.refusal;
        return !error.isEmpty();
    }
    bool wasStopped() const { return m_guard.stop() != platform::StatementStop::None; }
    // A failure of a statement that was stopped is told as its stop, one refused as it was prepared as
    // its refusal.
    void explain(QString& error) const {
        if (error.isEmpty())
            return;
        if (m_check && !m_check->state.refusal.isEmpty())
            error = m_check->state.refusal;
        else
            stopped(error);
    }
    // True, with the reason in `error`, once the statement has been stopped.
    bool stopped(QString& error) const {
        const platform::StatementStop stop = m_guard.stop();
        if (stop == platform::StatementStop::None)
            return false;
        error = platform::statementStopText(stop, m_limit, QStringLiteral("StatementTimeout"));
        return true;
    }

private:
    std::chrono::milliseconds m_limit;
    SqlConnection::StatementGuard m_guard;
    ClientStatementLimits m_limits;
    QSqlDatabase& m_handle;
    platform::SqlProvider m_provider;
    RightsCheck* m_check;
};

// On the connection's thread, after a client's statement: the transaction it left open, rolled back.
bool undoLeftTransaction(QSqlDatabase& db) {
    if (!inTransaction(db))
        return false;
    rollbackTransaction(db);
    qCWarning(platform::lcSql).noquote() << "a client's statement left a transaction open; it was rolled back";
    return true;
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

// A column value as a variant. An 8-byte integer that a double cannot hold exactly travels as its text.
Variant variantOf(const QVariant& value) {
    if (!value.isValid() || value.isNull())
        return Variant::null();
    switch (value.typeId()) {
    case QMetaType::Bool:
        return Variant(value.toBool());
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return Variant(static_cast<int32_t>(value.toInt()));
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        const qlonglong number = value.toLongLong();
        if (number >= INT32_MIN && number <= INT32_MAX)
            return Variant(static_cast<int32_t>(number));
        if (number >= -(qlonglong(1) << 53) && number <= (qlonglong(1) << 53))
            return Variant(static_cast<double>(number));
        return Variant(QString::number(number));
    }
    case QMetaType::Double:
    case QMetaType::Float:
        return Variant(value.toDouble());
    case QMetaType::QDateTime:
        return Variant::fromDateTime(value.toDateTime());
    case QMetaType::QDate:
        return Variant::fromDateTime(QDateTime(value.toDate(), QTime(0, 0)));
    case QMetaType::QByteArray:
        return Variant(value.toByteArray());
    default:
        return Variant(value.toString());
    }
}

// The values a command gave back for its output parameters: what the driver wrote into them where the
// database has output parameters, otherwise the columns of the same name in the first row it returned
// (a procedure's INOUT parameters on PostgreSQL, INSERT ... RETURNING).
void takeOutputs(QSqlQuery& query, StatementParams& params) {
    const bool returnsRow = query.isSelect() && query.next();
    const QSqlRecord record = returnsRow ? query.record() : QSqlRecord();
    for (StatementParam& param : params) {
        if (param.direction == StatementParam::In)
            continue;
        const QString bare = param.name.startsWith(QLatin1Char(':')) ? param.name.mid(1) : param.name;
        if (returnsRow) {
            const int column = record.indexOf(bare);
            if (column >= 0) {
                param.value = variantOf(query.value(column));
                continue;
            }
        }
        const QVariant bound = query.boundValue(QLatin1Char(':') + bare);
        if (bound.isValid())
            param.value = variantOf(bound);
    }
}

// Adds to a statement's own failure that its transaction was undone.
void noteLeftTransaction(QString& error) {
    error = error.isEmpty() ? leftTransactionText() : error + QStringLiteral("; ") + leftTransactionText();
}

// A whole read too large to be held: its rows go to the reply a chunk at a time as they are read, once
// their number is known (the reply gives RecsOut before the rows). Between chunks it keeps the shared
// connection, as an open page does: before anyone else's work there, the rest of its rows are read ahead
// into memory. Touched on the database thread, but for writeTo() and the pointer to it.
struct StreamedRead {
    static constexpr qsizetype kChunk = 256 * 1024;

    SqlConnection* connection = nullptr;
    QSqlDatabase* handle = nullptr; // the connection's own, on its thread
    int generation = 0;
    // The call whose reply it is: the rows are read ahead for it only while its client is there.
    std::shared_ptr<platform::CallContext> caller;
    std::unique_ptr<QSqlQuery> query;
    std::unique_ptr<PostgresCursor> pg;
    QList<FieldDesc> fields;
    std::unique_ptr<RowSource> source; // reads `query` or `pg`: made after it and gone before it
    bool withMetadata = false;
    qsizetype total = 0; // the rows the reply gives as RecsOut
    qsizetype written = 0;
    QList<QByteArray> ahead; // read ahead for another's work, not written yet
    QString error;           // of reading ahead

    ~StreamedRead() { close(); }

    bool reading() const { return source != nullptr; }
    // The database thread: the statement and its transaction end.
    void end(QSqlDatabase& db) {
        source.reset();
        pg.reset();
        query.reset();
        connection->dropHold(this);
        undoLeftTransaction(db);
    }
    // The rest is read for its own call, whoever's work waits: its client gone (before or meanwhile, its
    // call not yet told), the statement ends at once instead of reading megabytes for nobody while that
    // work waits. Looked at between rows too: a cancel between two fetches stops nothing by itself.
    void readAhead() {
        if (!reading())
            return;
        const GuardedStatement guarded(*connection, *handle, caller);
        for (QByteArray row; !guarded.wasStopped() && source->appendNext(row); row.clear())
            ahead.append(row);
        error = source->error();
        guarded.stopped(error); // told as its stop, whatever the driver said of it
        end(*handle);
    }
    // The database thread: rows up to about kChunk bytes after a comma each but the first; `done` at
    // the end, `why` on a failure (then the statement has ended).
    QByteArray next(QSqlDatabase& db, bool& done, QString& why) {
        QByteArray chunk;
        chunk.reserve(kChunk + 4096);
        const auto comma = [&] {
            if (written++)
                chunk.append(',');
        };
        if (!ahead.isEmpty() || !reading()) {
            while (!ahead.isEmpty() && chunk.size() < kChunk) {
                comma();
                chunk.append(ahead.takeFirst());
            }
            why = ahead.isEmpty() ? error : QString();
            done = ahead.isEmpty();
            return chunk;
        }
        if (generation != connection->generation()) {
            why = QStringLiteral("The database connection was opened again since the records were opened");
            return chunk;
        }
        const GuardedStatement guarded(*connection, db);
        if (guarded.refused(why)) {
            end(db);
            return chunk;
        }
        while (chunk.size() < kChunk) {
            const qsizetype mark = chunk.size();
            comma();
            if (!source->appendNext(chunk)) {
                chunk.truncate(mark);
                --written;
                why = source->error();
                const bool stopped = guarded.wasStopped();
                guarded.explain(why);
                done = why.isEmpty();
                end(db);
                // A statement stopped for its client or its limit says nothing of the connection.
                if (!done && !stopped)
                    connection->checkAfterFailure(db);
                break;
            }
        }
        return chunk;
    }
    // The call's thread: the packet into the reply, in the place of the retval's value. A failure after
    // its first bytes cuts the connection: the client is not to take part of the rows for all of them.
    bool writeTo(platform::CallContext::ReplyWriter& writer) {
        QByteArray head = "{";
        if (withMetadata)
            head += metadataJson(fields) + ',';
        head += "\"rows\":[";
        bool ok = writer.write(std::move(head));
        for (bool done = false; ok && !done;) {
            QString why;
            QByteArray chunk = connection->callAs(this, [&](QSqlDatabase& db) { return next(db, done, why); });
            // Fewer rows than announced (a statement whose rows change as it runs again) is no packet
            // either.
            if (!why.isEmpty() || (done && written != total)) {
                if (why.isEmpty())
                    why = QStringLiteral("the rows changed between their count and their reading");
                qCWarning(platform::lcSql).noquote() << "a reply was cut short:" << why;
                writer.cut();
                ok = false;
                break;
            }
            if (!chunk.isEmpty())
                ok = writer.write(std::move(chunk));
        }
        close();
        return ok && writer.write("],\"rowCount\":" + QByteArray::number(total) + '}');
    }
    // Any thread: ends what still reads.
    void close() {
        if (!connection)
            return;
        connection->callAs(this, [&](QSqlDatabase& db) {
            if (reading())
                end(db);
            ahead.clear();
            return 0;
        });
    }
};

// `streamable`: a whole read may go to the reply writer of the call as it is read (outcome.stream).
ReadOutcome read(const QString& sql, const StatementParams& params, ReadMode mode, bool withMetadata,
                 const RawBinds& extra = {}, const QString& tableOfRows = QString(), bool streamable = false) {
    SqlConnection& db = connection();
    const std::shared_ptr<platform::CallContext> caller = platform::CallContext::current();
    ReadOutcome outcome;
    RawBinds binds = rawBinds(sql, params, db.provider());
    binds.append(extra);
    // The procedures in T-SQL's spelling run through the client-statement layer, which knows each
    // provider's form of them.
    const bool procedure = binds.isEmpty() && db::parseProcedureCall(sql).outcome != db::ProcedureCallParse::NotACall;
    const QString table = tableOfRows.isNull() ? statementTable(sql) : tableOfRows;
    const std::unique_ptr<RightsCheck> check = rightsCheck(sql, procedure);
    ReadOutcome result = db.call([&](QSqlDatabase& handle) {
        if (!db.ensureUsable(handle, &outcome.error))
            return outcome;
        const GuardedStatement guarded(db, handle, true, check.get());
        if (guarded.refused(outcome.error))
            return outcome;
        if (procedure) {
            const platform::SqlResult result = db::runClientStatement(db, sql);
            if (!result.ok) {
                outcome.error = result.error;
            } else {
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
            }
        } else {
            std::unique_ptr<PostgresCursor> cursor;
            std::unique_ptr<QSqlQuery> query;
            const auto readRows = [&](std::unique_ptr<RowSource> source) {
                if (mode == ReadMode::Packet) {
                    PacketWriter writer(withMetadata ? &outcome.fields : nullptr);
                    while (writer.appendRow([&](QByteArray& out) { return source->appendNext(out); })) {
                        if (!streamable || writer.size() < kStreamAbove)
                            continue;
                        // Too much to hold: counted, and read again into the reply. A count that failed
                        // ends the rows with its failure.
                        qsizetype rest = 0;
                        streamable = false;
                        if (!source->countAndRewind(rest))
                            continue;
                        auto stream = std::make_shared<StreamedRead>();
                        stream->connection = &db;
                        stream->handle = &handle;
                        stream->generation = db.generation();
                        stream->caller = caller;
                        stream->fields = outcome.fields;
                        stream->withMetadata = withMetadata;
                        stream->total = writer.rows() + rest;
                        source->rebind(stream->fields);
                        stream->source = std::move(source);
                        stream->pg = std::move(cursor);
                        stream->query = std::move(query);
                        outcome.fields = stream->fields;
                        outcome.rowCount = stream->total;
                        outcome.stream = std::move(stream);
                        return;
                    }
                    outcome.rowCount = writer.rows();
                    outcome.packet = std::move(writer).finish();
                    outcome.error = source->error();
                } else if (mode == ReadMode::Rows) {
                    for (QByteArray row; source->appendNext(row); row.clear())
                        outcome.rows.append(row);
                    outcome.rowCount = outcome.rows.size();
                    outcome.error = source->error();
                }
            };
            bool done = false;
            if (binds.isEmpty()) {
                const auto purpose = mode == ReadMode::Describe ? PostgresCursor::Purpose::Describe
                                     : streamable               ? PostgresCursor::Purpose::Stream
                                                                : PostgresCursor::Purpose::Whole;
                cursor = PostgresCursor::open(handle, sql, purpose);
                if (cursor) {
                    outcome.fields = describeFields(cursor->record(), table, db.provider());
                    if (mode != ReadMode::Describe)
                        readRows(cursor->rows(outcome.fields));
                    // The statement's own failure is told by the statement run as any other, in the
                    // driver's words; nothing of this read has left yet.
                    done = outcome.error.isEmpty() || (cursor && cursor->connectionLost()) || guarded.wasStopped();
                    if (!done)
                        outcome = ReadOutcome();
                    cursor.reset();
                }
            }
            if (!done) {
                query = std::make_unique<QSqlQuery>(handle);
                if (!runOn(*query, sql, binds)) {
                    outcome.error = errorText(query->lastError());
                } else if (!query->isSelect()) {
                    outcome.error = QStringLiteral("CommandText does not return a result set");
                } else {
                    outcome.fields = describeFields(query->record(), table, db.provider());
                    if (mode != ReadMode::Describe)
                        readRows(RowSource::create(*query, outcome.fields));
                }
            }
        }
        guarded.explain(outcome.error);
        if (outcome.stream) {
            // Its transaction stays until its rows have gone.
            std::weak_ptr<StreamedRead> weak = outcome.stream;
            db.hold(outcome.stream.get(), [weak] {
                if (auto held = weak.lock())
                    held->readAhead();
            });
            return outcome;
        }
        if (undoLeftTransaction(handle))
            noteLeftTransaction(outcome.error);
        if (!outcome.error.isEmpty()) {
            outcome.packet.clear();
            outcome.rows.clear();
            db.checkAfterFailure(handle);
        }
        return outcome;
    });
    settle(check.get());
    return result;
}

} // namespace

// An open statement whose records are sent a page at a time. Its query keeps the shared connection busy
// between pages, so it holds the connection: before anyone else's work runs there, the records not yet
// sent are read ahead into memory. Touched on the database thread only, apart from the pointer to it.
struct LiveCursor {
    SqlConnection* connection = nullptr;
    QSqlDatabase* handle = nullptr; // the connection's own, on its thread
    int generation = 0;
    std::unique_ptr<QSqlQuery> query;   // null once read to its end
    std::unique_ptr<PostgresCursor> pg; // instead of `query` for a plain read on PostgreSQL
    QList<FieldDesc> fields;
    std::unique_ptr<RowSource> source; // reads `query` or `pg`: made after it and gone before it
    QList<QByteArray> ahead;           // records read ahead and not sent yet
    qsizetype aheadPosition = 0;
    QString error; // a failure while reading ahead, reported by the next page
    // The client whose pages they are: set before the cursor is shared, then only read.
    std::shared_ptr<platform::CallContext> owner;

    // Before another caller's work: the rest of the rows, within the statements' limit. For its own
    // client only: one that has gone, its object not released yet, has nothing read for it, and the
    // statement ends at once instead of filling memory for nobody while the other's work waits.
    bool reading() const { return query || pg; }
    void readAhead() {
        if (!reading())
            return;
        const GuardedStatement guarded(*connection, *handle, owner);
        for (QByteArray row; !guarded.wasStopped() && source->appendNext(row); row.clear())
            ahead.append(row);
        finishQuery();
        guarded.stopped(error); // told as its stop, whatever the driver said of it
    }
    void finishQuery() {
        if (source && !source->error().isEmpty())
            error = source->error();
        source.reset();
        pg.reset();
        query.reset();
        connection->dropHold(this);
        if (undoLeftTransaction(*handle))
            noteLeftTransaction(error);
    }
    // Closed before its end: a server still sending the rest is asked to stop first. A cursor of the
    // server's sends nothing unasked: its transaction is simply rolled back.
    void abandon(QSqlDatabase& db) {
        const bool running = reading();
        if (query)
            cancelRunningStatement(db);
        source.reset();
        pg.reset();
        query.reset();
        connection->dropHold(this);
        if (running)
            undoLeftTransaction(db);
    }
    bool atEnd() const { return !reading() && aheadPosition >= ahead.size(); }
    // Up to `count` records (all for a negative count).
    QList<QByteArray> take(qsizetype count) {
        QList<QByteArray> rows;
        while ((count < 0 || rows.size() < count) && aheadPosition < ahead.size())
            rows.append(std::move(ahead[aheadPosition++]));
        if (aheadPosition >= ahead.size()) {
            ahead.clear();
            aheadPosition = 0;
        }
        if (reading()) {
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
    cursor->owner = platform::CallContext::current();
    RawBinds binds = rawBinds(sql, params, db.provider());
    if (binds.isEmpty() && db::parseProcedureCall(sql).outcome != db::ProcedureCallParse::NotACall) {
        ReadOutcome outcome = read(sql, params, ReadMode::Rows, false);
        if (!outcome.error.isEmpty())
            fail(outcome.error);
        cursor->fields = std::move(outcome.fields);
        cursor->ahead = std::move(outcome.rows);
        return cursor;
    }
    const QString table = statementTable(sql);
    const std::unique_ptr<RightsCheck> check = rightsCheck(sql, false);
    const QString error = db.callAs(cursor.get(), [&](QSqlDatabase& handle) {
        QString why;
        if (!db.ensureUsable(handle, &why))
            return why;
        const GuardedStatement guarded(db, handle, true, check.get());
        if (guarded.refused(why))
            return why;
        cursor->generation = db.generation();
        cursor->handle = &handle;
        if (binds.isEmpty()) {
            if (auto pg = PostgresCursor::open(handle, sql, PostgresCursor::Purpose::Pages)) {
                // The first rows are asked for now: a statement that fails on them is run as any other,
                // to fail in the driver's words.
                why = pg->prefetch();
                if (why.isEmpty() || pg->connectionLost() || guarded.wasStopped()) {
                    guarded.explain(why);
                    if (!why.isEmpty())
                        return why;
                    cursor->fields = describeFields(pg->record(), table, db.provider());
                    cursor->pg = std::move(pg);
                    cursor->source = cursor->pg->rows(cursor->fields);
                    std::weak_ptr<LiveCursor> weak = cursor;
                    db.hold(cursor.get(), [weak] {
                        if (auto held = weak.lock())
                            held->readAhead();
                    });
                    return QString();
                }
                why.clear();
            }
        }
        auto query = std::make_unique<QSqlQuery>(handle);
        if (!runOn(*query, sql, binds))
            why = errorText(query->lastError());
        else if (!query->isSelect())
            why = QStringLiteral("CommandText does not return a result set");
        guarded.explain(why);
        if (!why.isEmpty()) {
            query.reset();
            if (undoLeftTransaction(handle))
                noteLeftTransaction(why);
            db.checkAfterFailure(handle);
            return why;
        }
        cursor->fields = describeFields(query->record(), table, db.provider());
        cursor->query = std::move(query);
        cursor->source = RowSource::create(*cursor->query, cursor->fields);
        std::weak_ptr<LiveCursor> weak = cursor;
        db.hold(cursor.get(), [weak] {
            if (auto held = weak.lock())
                held->readAhead();
        });
        return QString();
    });
    settle(check.get());
    if (!error.isEmpty())
        fail(error);
    return cursor;
}

// Runs a statement as a command; the parameters come back with what the statement gave its output
// parameters.
StatementParams runCommand(const QString& sql, const StatementParams& params, StatementAccess* reached = nullptr) {
    SqlConnection& db = connection();
    const RawBinds binds = rawBinds(sql, params, db.provider());
    StatementParams result = params;
    const std::unique_ptr<RightsCheck> check =
        rightsCheck(sql, binds.isEmpty() && db::parseProcedureCall(sql).outcome != db::ProcedureCallParse::NotACall);
    const QString error = db.call([&](QSqlDatabase& handle) {
        QString why;
        if (!db.ensureUsable(handle, &why))
            return why;
        const GuardedStatement guarded(db, handle, true, check.get());
        if (guarded.refused(why))
            return why;
        if (binds.isEmpty()) {
            const platform::SqlResult answer = db::runClientStatement(db, sql);
            if (!answer.ok)
                why = answer.error;
        } else {
            QSqlQuery query(handle);
            if (runOn(query, sql, binds))
                takeOutputs(query, result);
            else
                why = errorText(query.lastError());
        }
        guarded.explain(why);
        if (undoLeftTransaction(handle))
            noteLeftTransaction(why);
        if (!why.isEmpty())
            db.checkAfterFailure(handle);
        return why;
    });
    settle(check.get(), reached);
    if (!error.isEmpty())
        fail(error);
    return result;
}

} // namespace

void setSharedConnection(SqlConnection* connection) {
    g_connection.store(connection);
}

void setStatementLimits(std::chrono::milliseconds statements, std::chrono::milliseconds deltas) {
    g_statementLimit.store(std::max<qint64>(0, statements.count()));
    g_deltaLimit.store(std::max<qint64>(0, deltas.count()));
}

SqlConnection* sharedConnection() {
    return g_connection.load();
}

StatementParams paramsFromVariant(const Variant& params) {
    StatementParams result;
    if (params.isEmpty() || params.isNull())
        return result;
    const auto refuse = [] {
        throw AutomationError(hr::E_UNEXPECTED,
                              QStringLiteral("Params are an array of [name, value] pairs (or [name, value, "
                                             "\"out\"|\"inout\"] for an output parameter)"));
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
        if (pair.isEmpty() || pair.size() > 3 || pair.first().type() != VarType::BStr ||
            pair.first().toText().isEmpty())
            refuse();
        StatementParam param{pair.first().toText(), pair.size() > 1 ? pair.at(1) : Variant::null()};
        if (pair.size() > 2) {
            const QString direction = pair.at(2).type() == VarType::BStr ? pair.at(2).toText().toLower() : QString();
            if (direction == QLatin1String("out"))
                param.direction = StatementParam::Out;
            else if (direction == QLatin1String("inout"))
                param.direction = StatementParam::InOut;
            else if (direction != QLatin1String("in"))
                refuse();
        }
        result.append(std::move(param));
    }
    return result;
}

Variant paramsToVariant(const StatementParams& params) {
    VariantArray pairs;
    for (const StatementParam& param : params) {
        VariantArray pair{Variant(param.name), param.value};
        if (param.direction != StatementParam::In)
            pair.append(
                Variant(param.direction == StatementParam::Out ? QStringLiteral("out") : QStringLiteral("inout")));
        pairs.append(Variant(pair));
    }
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
    m_atEnd = false;
    m_query.sql.clear();
    m_query.params.clear();
}

void Provider::takeParams(const StatementParams& params) {
    if (params.isEmpty())
        return;
    closeQuery();
    m_atEnd = false;
    m_query.params = params;
}

const QString& Provider::statement() const {
    if (m_query.sql.trimmed().isEmpty())
        fail(QStringLiteral("%1: no SQL statement has been given").arg(m_query.name));
    const QString refusal = db::refusalOfClientStatement(m_query.sql, connection().provider());
    if (!refusal.isEmpty())
        fail(refusal);
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
    if (options & Reset) {
        closeQuery();
        m_atEnd = false;
    }
    const QString& sql = statement();
    const bool withMetadata = (options & MetaData) || count == 0;

    if (count == 0) {
        m_lastFields = describeStatement();
        return Variant::packet(packetJson(&m_lastFields, {}));
    }
    // Every record has been sent: none until the client starts again, so that reading until no record
    // comes ends.
    if (m_atEnd)
        return Variant::packet(packetJson(withMetadata ? &m_lastFields : nullptr, {}));
    if (!m_cursor && count < 0) {
        // All of it at once: straight into the packet, with no copy of the rows kept; or, when the call's
        // reply can be written as it is made and the packet grows large, into the reply as it is read.
        const std::shared_ptr<platform::CallContext> context = platform::CallContext::current();
        ReadOutcome outcome =
            read(sql, m_query.params, ReadMode::Packet, withMetadata, {}, QString(), context && context->writer());
        if (!outcome.error.isEmpty())
            fail(outcome.error);
        m_lastFields = std::move(outcome.fields);
        recsOut = static_cast<int>(outcome.rowCount);
        if (outcome.stream) {
            context->setPacketProducer(
                [stream = std::move(outcome.stream)](platform::CallContext::ReplyWriter& writer) {
                    return stream->writeTo(writer);
                });
            return Variant::packet(QByteArray());
        }
        return Variant::packet(std::move(outcome.packet));
    }
    if (!m_cursor)
        m_cursor = openCursor(sql, m_query.params);
    const std::shared_ptr<LiveCursor> cursor = m_cursor;
    QString error;
    bool atEnd = false;
    const QList<QByteArray> rows = cursor->connection->callAs(cursor.get(), [&](QSqlDatabase& handle) {
        QList<QByteArray> taken;
        const GuardedStatement guarded(*cursor->connection, handle);
        if (cursor->generation != cursor->connection->generation() && cursor->reading())
            error = QStringLiteral("The database connection was opened again since the records were opened");
        else if (!guarded.refused(error))
            taken = cursor->take(count);
        if (error.isEmpty() && !cursor->error.isEmpty())
            error = cursor->error;
        atEnd = cursor->atEnd();
        return taken;
    });
    m_lastFields = cursor->fields;
    if (atEnd || !error.isEmpty())
        closeQuery();
    if (!error.isEmpty())
        fail(error);
    m_atEnd = atEnd;
    recsOut = static_cast<int>(rows.size());
    return Variant::packet(packetJson(withMetadata ? &m_lastFields : nullptr, rows));
}

StatementParams Provider::execute(const QString& commandText, const StatementParams& params) {
    takeCommandText(commandText);
    takeParams(params);
    closeQuery();
    m_atEnd = false;
    m_lastCommand = StatementAccess();
    m_commandRan = true;
    return runCommand(statement(), m_query.params, &m_lastCommand);
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
        throw AutomationError(hr::E_UNEXPECTED, QStringLiteral("Unable to find record.  No key specified"));
    const QList<FieldDesc> fields = m_lastFields.isEmpty() ? describeStatement() : m_lastFields;
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
        const std::optional<QVariant> value = bindableFromJson(*field, it.value(), dialect, &why, BindPurpose::Locate);
        if (!value)
            throw AutomationError(hr::E_UNEXPECTED, why);
        const QString name = sqlName(field->name, dialect);
        if (value->isNull()) {
            conditions.append(name + QStringLiteral(" is null"));
        } else {
            const QString placeholder = QStringLiteral(":k%1").arg(binds.size());
            conditions.append(name + QStringLiteral(" = ") + placeholder);
            binds.append({placeholder, *value, StatementParam::In});
        }
    }
    QString inner = statement().trimmed();
    while (inner.endsWith(QLatin1Char(';')))
        inner.chop(1);
    const QString sql =
        QStringLiteral("select * from (%1) morvane_row where %2").arg(inner, conditions.join(QStringLiteral(" and ")));
    // Described as the statement's own rows, with their key and flags.
    ReadOutcome outcome = read(sql, m_query.params, ReadMode::Packet, true, binds, statementTable(inner));
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    return Variant::packet(std::move(outcome.packet));
}

Variant Provider::applyUpdates(const Variant& delta, int maxErrors, int& errorCount) {
    errorCount = 0;
    m_lastDelta = DeltaReport();
    if (delta.isEmpty() || delta.isNull())
        return Variant::null();
    QString why;
    auto changes = delta.packetObject() ? parseDelta(*delta.packetObject(), &why)
                                        : parseDelta(delta.isPacket() ? delta.packetJson() : delta.toBytes(), &why);
    if (!changes)
        throw AutomationError(hr::E_UNEXPECTED, why);
    if (changes->isEmpty())
        return Variant::null();
    const QString table = statementTable(statement());
    if (table.isEmpty())
        fail(QStringLiteral("Unable to resolve the table to update from the statement of %1").arg(m_query.name));
    m_lastDelta.table = table;
    m_lastDelta.changes = static_cast<int>(changes->size());

    // The operator's rights on the provider and on the table, for every kind of change, before any is made.
    if (const std::shared_ptr<const CallRights> rights = CallRights::current()) {
        StatementAccess access;
        for (const Change& change : *changes)
            access.add(table, false, change.state == Change::Inserted, change.state == Change::Modified,
                       change.state == Change::Deleted);
        const TableAccess& kinds = access.tables.first();
        if (kinds.insert)
            rights->requireProvider(m_name, Right::Insert);
        if (kinds.edit)
            rights->requireProvider(m_name, Right::Edit);
        if (kinds.remove)
            rights->requireProvider(m_name, Right::Delete);
        const QString refusal = rights->refusalOf(access);
        if (!refusal.isEmpty())
            throw AutomationError(hr::E_ACCESSDENIED, refusal);
        if (table.compare(QLatin1String("ac_staffer"), Qt::CaseInsensitive) == 0) {
            for (const Change& change : *changes) {
                const auto card = cardRightOf(change);
                const QString why = card ? rights->refusalOnModule(card->first, card->second) : QString();
                if (!why.isEmpty())
                    throw AutomationError(hr::E_ACCESSDENIED, why);
            }
        }
    }

    // A password written into the operators' table is stored as its hash beside it, never as it came.
    SecurityHooks* hooks = securityHooks();
    QHash<int, QString> passwords;
    const bool operators = hooks && table.compare(QLatin1String("ac_operator"), Qt::CaseInsensitive) == 0;
    if (operators) {
        for (Change& change : *changes) {
            if (change.state == Change::Deleted)
                continue;
            for (const QString& key : change.newValues.keys()) {
                if (key.compare(QLatin1String("operatorpasd"), Qt::CaseInsensitive) != 0)
                    continue;
                const QJsonValue value = change.newValues.value(key);
                const QString plain = value.isString() ? value.toString()
                                      : value.isNull() ? QString()
                                                       : value.toVariant().toString();
                passwords.insert(change.index, plain.isEmpty() ? QString() : hooks->hashPassword(plain));
                change.newValues.insert(key, QString());
            }
        }
    }

    ResolveRequest request;
    request.table = table;
    request.changes = &*changes;
    request.maxErrors = maxErrors;
    request.mode = m_options.updateMode;
    request.knownFields = m_lastFields;
    request.limit = std::chrono::milliseconds(g_deltaLimit.load());
    request.passwordHashes = operators ? &passwords : nullptr;
    const ResolveOutcome outcome = resolveDelta(connection(), request);
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    errorCount = outcome.errorCount;
    m_lastDelta.applied = outcome.applied;
    if (hooks && outcome.applied > 0)
        hooks->tablesWritten({table}, false);
    return outcome.resultPacket.isEmpty() ? Variant::null() : Variant::packet(outcome.resultPacket);
}

Variant Provider::dataRequest(const Variant& input) {
    m_commandRan = false;
    return m_onDataRequest ? m_onDataRequest(*this, input) : Variant::null();
}

void Provider::executeQuery() {
    closeQuery();
    m_atEnd = false;
    m_lastCommand = StatementAccess();
    m_commandRan = true;
    runCommand(statement(), m_query.params, &m_lastCommand);
}

Variant Provider::openQueryPacket() {
    closeQuery();
    m_atEnd = false;
    ReadOutcome outcome = read(statement(), m_query.params, ReadMode::Packet, true);
    if (!outcome.error.isEmpty())
        fail(outcome.error);
    m_lastFields = std::move(outcome.fields);
    return Variant::packet(std::move(outcome.packet));
}

} // namespace morvane::provider
