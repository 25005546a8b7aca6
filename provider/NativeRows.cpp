#include "NativeRows.h"

#include "ClientStatement.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVariant>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <libpq-fe.h>
#include <sqlite3.h>

namespace morvane::provider {

namespace {

// The driver's own pointer in a handle, by the name its type is registered under (libpq's types are
// typedefs of structs, so either spelling may be the registered one).
template <typename T>
T handleOf(const QVariant& handle, const char* typeName, const char* structName = nullptr) {
    if (!handle.isValid())
        return nullptr;
    const char* name = handle.typeName();
    if (qstrcmp(name, typeName) != 0 && (!structName || qstrcmp(name, structName) != 0))
        return nullptr;
    return *static_cast<T const*>(handle.constData());
}

bool isInteger(const char* text, qsizetype size) {
    qsizetype i = text[0] == '-' ? 1 : 0;
    if (i >= size || size - i > 18)
        return false;
    if (text[i] == '0' && size - i > 1)
        return false;
    for (; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

void appendInteger(QByteArray& out, long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr - buffer);
}

// A date text of any of the databases' forms in the packets' form (a time of day on 1899-12-30); the
// text itself when it is no date.
void appendDateText(QByteArray& out, FieldType type, const char* text, qsizetype size) {
    const QString value = QString::fromLatin1(text, size);
    QDateTime parsed = dateTimeFromText(value);
    if (!parsed.isValid() && type == FieldType::Time) {
        const QTime time = timeFromText(value);
        if (time.isValid())
            parsed = QDateTime(QDate(1899, 12, 30), time);
    }
    if (parsed.isValid())
        out.append('"').append(dateTimeText(parsed)).append('"');
    else
        appendJsonUtf8(out, text, size);
}

void appendBase64(QByteArray& out, const void* data, int size) {
    out.append('"').append(QByteArray::fromRawData(static_cast<const char*>(data), size).toBase64()).append('"');
}

// Qt has stepped the statement to its first row (and keeps a copy of that row's values); from there
// the statement is stepped through directly, Qt's query left untouched until it is finished. It is
// never reset: a statement that changes data (INSERT ... RETURNING) would run a second time.
class SqliteRows : public RowSource {
public:
    SqliteRows(sqlite3_stmt* statement, QList<FieldDesc>& fields)
        : m_statement(statement)
        , m_fields(&fields)
        // A statement that is not busy has run to its end (or failed) at its first step: no rows.
        , m_onRow(sqlite3_stmt_busy(statement) != 0)
        , m_done(!m_onRow) {}
    ~SqliteRows() override {
        if (!m_began)
            return;
        // The transaction that kept the snapshot between the count and the rows only read.
        sqlite3_reset(m_statement);
        sqlite3* db = sqlite3_db_handle(m_statement);
        if (sqlite3_get_autocommit(db) == 0)
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }

    bool countAndRewind(qsizetype& rest) override {
        rest = 0;
        // A statement that writes runs once only.
        if (m_done || sqlite3_stmt_readonly(m_statement) == 0)
            return false;
        sqlite3* db = sqlite3_db_handle(m_statement);
        // Begun while the statement reads, the transaction keeps its snapshot after the statement's reset.
        if (sqlite3_get_autocommit(db) == 0 || sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
            return false;
        m_began = true;
        for (;;) {
            if (!m_onRow) {
                const int status = sqlite3_step(m_statement);
                if (status != SQLITE_ROW) {
                    if (status == SQLITE_DONE)
                        break;
                    m_error = QString::fromUtf8(sqlite3_errmsg(db));
                    m_done = true;
                    return false;
                }
            }
            m_onRow = false;
            ++rest;
            for (int i = 0; i < m_fields->size(); ++i) {
                const FieldType type = m_fields->at(i).type;
                if ((type == FieldType::I2 || type == FieldType::I4) &&
                    sqlite3_column_type(m_statement, i) == SQLITE_INTEGER) {
                    const sqlite3_int64 value = sqlite3_column_int64(m_statement, i);
                    if (value < INT32_MIN || value > INT32_MAX)
                        (*m_fields)[i].type = FieldType::I8;
                }
            }
        }
        sqlite3_reset(m_statement);
        m_onRow = false;
        m_done = false;
        return true;
    }
    void rebind(QList<FieldDesc>& fields) override { m_fields = &fields; }

    bool appendNext(QByteArray& out) override {
        if (m_done)
            return false;
        if (!m_onRow) {
            const int status = sqlite3_step(m_statement);
            if (status != SQLITE_ROW) {
                m_done = true;
                if (status != SQLITE_DONE)
                    m_error = QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_statement)));
                return false;
            }
        }
        m_onRow = false;
        out.append('[');
        for (int i = 0; i < m_fields->size(); ++i) {
            if (i)
                out.append(',');
            appendValue(out, i);
        }
        out.append(']');
        return true;
    }
    QString error() const override { return m_error; }

private:
    void appendValue(QByteArray& out, int i) {
        const int kind = sqlite3_column_type(m_statement, i);
        if (kind == SQLITE_NULL) {
            out.append("null", 4);
            return;
        }
        const FieldType type = m_fields->at(i).type;
        if (type == FieldType::Blob) {
            const void* data = sqlite3_column_blob(m_statement, i);
            appendBase64(out, data, sqlite3_column_bytes(m_statement, i));
            return;
        }
        if (kind == SQLITE_INTEGER) {
            const sqlite3_int64 value = sqlite3_column_int64(m_statement, i);
            // SQLite's integers have 8 bytes whatever the column was declared as: a column that holds a
            // larger value than its type says is described as 8-byte.
            if ((type == FieldType::I2 || type == FieldType::I4) && (value < INT32_MIN || value > INT32_MAX))
                (*m_fields)[i].type = FieldType::I8;
            if (type == FieldType::Boolean)
                out.append(value != 0 ? "true" : "false");
            else if (type == FieldType::String || type == FieldType::Fixed)
                out.append('"').append(QByteArray::number(value)).append('"');
            else
                appendInteger(out, value);
            return;
        }
        if (kind == SQLITE_FLOAT) {
            const double value = sqlite3_column_double(m_statement, i);
            if (type == FieldType::String || type == FieldType::Fixed) {
                out.append('"');
                appendDouble(out, value);
                out.append('"');
            } else {
                appendDouble(out, value);
            }
            return;
        }
        // Text (or a blob in a column of another type: read as its text).
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, i));
        const qsizetype size = sqlite3_column_bytes(m_statement, i);
        switch (type) {
        case FieldType::I2:
        case FieldType::I4:
        case FieldType::I8:
            if (size > 0 && isInteger(text, size))
                out.append(text, size);
            else // SQLite keeps whatever a statement stored: the text is handed on as it is
                appendJsonUtf8(out, text, size);
            return;
        case FieldType::Boolean:
            if (size > 0 && isInteger(text, size))
                out.append(std::strtoll(text, nullptr, 10) != 0 ? "true" : "false");
            else
                appendJsonUtf8(out, text, size);
            return;
        case FieldType::Date:
        case FieldType::Time:
        case FieldType::DateTime:
            appendDateText(out, type, text, size);
            return;
        case FieldType::R8: {
            double value = 0;
            const auto parsed = std::from_chars(text, text + size, value);
            if (size > 0 && parsed.ec == std::errc() && parsed.ptr == text + size)
                appendDouble(out, value);
            else
                appendJsonUtf8(out, text, size);
            return;
        }
        case FieldType::Fixed:
        case FieldType::String:
        case FieldType::Blob:
            break;
        }
        appendJsonUtf8(out, text, size);
    }

    sqlite3_stmt* m_statement;
    QList<FieldDesc>* m_fields;
    bool m_onRow; // the statement stands on a row not written yet
    bool m_done;
    bool m_began = false; // a transaction of its own holds the snapshot of the count
    QString m_error;
};

// Rows that Qt's query steps to, one by one; what a row is written from is the subclass's.
class QueryRows : public RowSource {
public:
    explicit QueryRows(QSqlQuery& query)
        : m_query(query) {}
    bool appendNext(QByteArray& out) override {
        if (!m_query.next()) {
            if (m_query.lastError().isValid())
                m_error = m_query.lastError().text();
            return false;
        }
        appendRow(out, m_query);
        return true;
    }
    QString error() const override { return m_error; }

protected:
    virtual void appendRow(QByteArray& out, const QSqlQuery& query) const = 0;

private:
    QSqlQuery& m_query;
    QString m_error;
};

constexpr Oid kPgBool = 16, kPgBytea = 17;

// A PostgreSQL value in its text form, as JSON of the field's type.
void appendPostgresValue(QByteArray& out, FieldType fieldType, const char* text, qsizetype size, Oid type) {
    switch (fieldType) {
    case FieldType::I2:
    case FieldType::I4:
    case FieldType::I8:
        out.append(text, size);
        return;
    case FieldType::Fixed: // every digit, as text
        appendJsonUtf8(out, text, size);
        return;
    case FieldType::R8: {
        double value = 0;
        const auto parsed = std::from_chars(text, text + size, value);
        if (parsed.ec == std::errc() && parsed.ptr == text + size)
            appendDouble(out, value);
        else // NaN, Infinity: no JSON number
            appendJsonUtf8(out, text, size);
        return;
    }
    case FieldType::Boolean:
        if (type == kPgBool)
            out.append(text[0] == 't' ? "true" : "false");
        else
            out.append(size == 1 && text[0] == '0' ? "false" : "true");
        return;
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::DateTime:
        appendDateText(out, fieldType, text, size);
        return;
    case FieldType::Blob:
        if (type == kPgBytea) {
            size_t length = 0;
            unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &length);
            appendBase64(out, bytes, static_cast<int>(length));
            PQfreemem(bytes);
        } else {
            appendBase64(out, text, static_cast<int>(size));
        }
        return;
    case FieldType::String:
        break;
    }
    appendJsonUtf8(out, text, size);
}

// Row `row` of a result as a JSON array.
void appendPostgresRow(QByteArray& out, const PGresult* result, int row, const QList<FieldDesc>& fields) {
    out.append('[');
    for (int i = 0; i < fields.size(); ++i) {
        if (i)
            out.append(',');
        if (!result || PQgetisnull(result, row, i)) {
            out.append("null", 4);
            continue;
        }
        appendPostgresValue(out, fields.at(i).type, PQgetvalue(result, row, i), PQgetlength(result, row, i),
                            PQftype(result, i));
    }
    out.append(']');
}

// Qt fetches each row (a result of its own in single-row mode); its values are read here as text.
class PostgresRows : public QueryRows {
public:
    PostgresRows(QSqlQuery& query, const QList<FieldDesc>& fields)
        : QueryRows(query)
        , m_fields(fields) {}

protected:
    void appendRow(QByteArray& out, const QSqlQuery& query) const override {
        // In single-row mode each row is a result of its own; otherwise the row is the query's position.
        const PGresult* result = handleOf<PGresult*>(query.result()->handle(), "PGresult*", "pg_result*");
        appendPostgresRow(out, result, result && PQntuples(result) == 1 ? 0 : query.at(), m_fields);
    }

private:
    const QList<FieldDesc>& m_fields;
};

class GenericRows : public QueryRows {
public:
    GenericRows(QSqlQuery& query, const QList<FieldDesc>& fields)
        : QueryRows(query)
        , m_writer(fields) {}

protected:
    void appendRow(QByteArray& out, const QSqlQuery& query) const override { m_writer.appendRow(out, query); }

private:
    RowWriter m_writer;
};

} // namespace

std::unique_ptr<RowSource> RowSource::create(QSqlQuery& query, QList<FieldDesc>& fields) {
    const QSqlResult* result = query.result();
    if (result && query.record().count() == fields.size() && query.isForwardOnly()) {
        const QVariant handle = result->handle();
        if (auto* statement = handleOf<sqlite3_stmt*>(handle, "sqlite3_stmt*"))
            return std::make_unique<SqliteRows>(statement, fields);
        if (qstrcmp(handle.typeName(), "PGresult*") == 0 || qstrcmp(handle.typeName(), "pg_result*") == 0)
            return std::make_unique<PostgresRows>(query, fields);
    }
    return std::make_unique<GenericRows>(query, fields);
}

struct PostgresCursor::State {
    static constexpr int kLargestBatch = 8192;

    PGconn* connection = nullptr;
    QSqlRecord record;
    int batch = 0;         // rows the next fetch asks for
    int asked = 0;         // rows the fetch in flight (or the result in hand) asked for
    bool inFlight = false; // a fetch has been sent and its result not taken yet
    PGresult* result = nullptr;
    int row = 0; // the next row of `result`
    bool atEnd = false;
    bool stream = false;  // a scrolling cursor in a read-only snapshot: its rows may be counted first
    QByteArray sql;       // the statement, for a stream's rows read again by COPY
    QList<Oid> types;     // of its fields, for the rows of a COPY
    bool copying = false; // the rows come from COPY ... TO STDOUT, not from fetches
    QByteArray unescaped; // a COPY value with escapes, in its own form
    QString error;

    ~State() {
        if (result)
            PQclear(result);
        if (!connection || PQtransactionStatus(connection) == PQTRANS_IDLE)
            return;
        endCopy();
        drain();
        // Read to its end the statement is done, as it would have been on its own; otherwise it is undone.
        PGresult* end = PQexec(connection, atEnd && error.isEmpty() ? "COMMIT" : "ROLLBACK");
        PQclear(end);
    }
    void drain() {
        while (inFlight) {
            PGresult* next = PQgetResult(connection);
            if (!next)
                inFlight = false;
            PQclear(next);
        }
    }
    bool send() {
        asked = batch;
        batch = std::min(batch * 2, kLargestBatch);
        const QByteArray fetch = "FETCH FORWARD " + QByteArray::number(asked) + " FROM morvane_read";
        inFlight = PQsendQuery(connection, fetch.constData()) == 1;
        if (!inFlight)
            fail(nullptr);
        return inFlight;
    }
    // The result of the fetch in flight; the next is asked for at once when this one was full.
    bool receive() {
        result = PQgetResult(connection);
        for (PGresult* more = result ? PQgetResult(connection) : nullptr; more; more = PQgetResult(connection))
            PQclear(more);
        inFlight = false;
        if (!result || PQresultStatus(result) != PGRES_TUPLES_OK) {
            fail(result);
            return false;
        }
        row = 0;
        if (PQntuples(result) < asked)
            atEnd = true;
        else
            send();
        return true;
    }
    void fail(const PGresult* failed) {
        const char* text = failed ? PQresultErrorMessage(failed) : nullptr;
        error = QString::fromUtf8(text && *text ? text : PQerrorMessage(connection)).trimmed();
        if (error.isEmpty())
            error = QStringLiteral("unknown database error");
        atEnd = true;
    }
    bool countAndRewind(qsizetype& rest) {
        rest = result ? PQntuples(result) - row : 0;
        if (result) {
            PQclear(result);
            result = nullptr;
        }
        if (inFlight) {
            PGresult* next = PQgetResult(connection);
            drain();
            const bool ok = PQresultStatus(next) == PGRES_TUPLES_OK;
            if (ok)
                rest += PQntuples(next);
            else
                fail(next);
            PQclear(next);
            if (!ok)
                return false;
        }
        // The server counts the rest where it is (MOVE answers how many rows it passed, without making
        // them), then the statement runs again as COPY in the same snapshot: its rows flow as the server
        // makes them, where each fetch from a cursor is first stored whole on the server, and come here
        // without a result of its own for every batch. The count is checked against the rows at their end.
        if (!command("MOVE FORWARD ALL IN morvane_read", &rest) || !command("CLOSE morvane_read"))
            return false;
        // The extended protocol takes one statement only: the statement cannot reach past its parentheses.
        const QByteArray copy = "COPY (" + sql + "\n) TO STDOUT";
        PGresult* started = PQexecParams(connection, copy.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0);
        const bool ok = PQresultStatus(started) == PGRES_COPY_OUT && PQnfields(started) == types.size();
        copying = PQresultStatus(started) == PGRES_COPY_OUT;
        if (!ok)
            fail(started);
        PQclear(started);
        atEnd = !ok;
        return ok;
    }
    // Runs a statement without rows; the rows it passed added to *passed (MOVE's count). False on a failure.
    bool command(const char* sql, qsizetype* passed = nullptr) {
        PGresult* done = PQexec(connection, sql);
        const bool ok = PQresultStatus(done) == PGRES_COMMAND_OK;
        if (ok && passed)
            *passed += std::strtoll(PQcmdTuples(done), nullptr, 10);
        if (!ok)
            fail(done);
        PQclear(done);
        return ok;
    }
    // The next row of the COPY; false at its end (then the statement has ended) or on a failure.
    bool appendCopied(QByteArray& out, const QList<FieldDesc>& fields) {
        char* line = nullptr;
        const int size = PQgetCopyData(connection, &line, 0);
        if (size > 0) {
            const bool ok = appendCopyRow(out, line, size, fields);
            PQfreemem(line);
            if (!ok) {
                error = QStringLiteral("the database sent a row that could not be read");
                endCopy();
                atEnd = true;
            }
            return ok;
        }
        atEnd = true;
        finishCopy();
        if (size == -2 && error.isEmpty())
            fail(nullptr);
        return false;
    }
    // The COPY's own result, once its rows have all come (or been passed over): the first failure kept.
    void finishCopy() {
        copying = false;
        for (PGresult* result = PQgetResult(connection); result; result = PQgetResult(connection)) {
            if (PQresultStatus(result) != PGRES_COMMAND_OK && error.isEmpty())
                fail(result);
            PQclear(result);
        }
    }
    // One line of COPY's text form (fields between tabs, \N for null, backslash escapes) as a JSON array.
    bool appendCopyRow(QByteArray& out, const char* line, int size, const QList<FieldDesc>& fields) {
        if (types.size() != fields.size())
            return false;
        const char* end = line + size;
        if (end > line && end[-1] == '\n')
            --end;
        out.append('[');
        const char* at = line;
        for (int i = 0; i < fields.size(); ++i) {
            if (at > end)
                return false;
            const char* stop = static_cast<const char*>(std::memchr(at, '\t', static_cast<size_t>(end - at)));
            if (!stop)
                stop = end;
            if (i)
                out.append(',');
            const qsizetype length = stop - at;
            if (length == 2 && at[0] == '\\' && at[1] == 'N') {
                out.append("null", 4);
            } else if (!std::memchr(at, '\\', static_cast<size_t>(length))) {
                appendPostgresValue(out, fields.at(i).type, at, length, types.at(i));
            } else {
                unescape(at, stop);
                appendPostgresValue(out, fields.at(i).type, unescaped.constData(), unescaped.size(), types.at(i));
            }
            at = stop + 1;
        }
        out.append(']');
        return at == end + 1;
    }
    void unescape(const char* at, const char* end) {
        unescaped.resize(0); // keeps its room for the next
        for (; at < end; ++at) {
            if (*at != '\\' || at + 1 == end) {
                unescaped.append(*at);
                continue;
            }
            // COPY's escapes of control characters; any other character stands for itself (a backslash,
            // the delimiter).
            static constexpr std::pair<char, char> kEscapes[] = {{'b', '\b'}, {'f', '\f'}, {'n', '\n'},
                                                                 {'r', '\r'}, {'t', '\t'}, {'v', '\v'}};
            char c = *++at;
            for (const auto& [letter, value] : kEscapes) {
                if (c == letter) {
                    c = value;
                    break;
                }
            }
            unescaped.append(c);
        }
    }
    // A COPY left before its end is cancelled on the server and what it had already sent is passed over.
    void endCopy() {
        if (!copying)
            return;
        if (PGcancel* cancel = PQgetCancel(connection)) {
            char why[256];
            PQcancel(cancel, why, sizeof why);
            PQfreeCancel(cancel);
        }
        char* line = nullptr;
        for (int size = PQgetCopyData(connection, &line, 0); size > 0; size = PQgetCopyData(connection, &line, 0))
            PQfreemem(line);
        finishCopy();
    }
    bool appendNext(QByteArray& out, const QList<FieldDesc>& fields) {
        if (copying)
            return appendCopied(out, fields);
        for (;;) {
            if (result && row < PQntuples(result)) {
                appendPostgresRow(out, result, row++, fields);
                return true;
            }
            if (result) {
                PQclear(result);
                result = nullptr;
            }
            if (!inFlight && (atEnd || !send()))
                return false;
            if (!receive())
                return false;
        }
    }
};

namespace {

class PostgresCursorRows : public RowSource {
public:
    PostgresCursorRows(PostgresCursor::State& state, const QList<FieldDesc>& fields)
        : m_state(state)
        , m_fields(&fields)
        , m_stream(state.stream) {}
    bool appendNext(QByteArray& out) override { return m_state.appendNext(out, *m_fields); }
    QString error() const override { return m_state.error; }
    bool countAndRewind(qsizetype& rest) override { return m_stream && m_state.countAndRewind(rest); }
    void rebind(QList<FieldDesc>& fields) override { m_fields = &fields; }

private:
    PostgresCursor::State& m_state;
    const QList<FieldDesc>* m_fields;
    bool m_stream;
};

} // namespace

PostgresCursor::PostgresCursor(std::unique_ptr<State> state)
    : m_state(std::move(state)) {}

PostgresCursor::~PostgresCursor() = default;

std::unique_ptr<PostgresCursor> PostgresCursor::open(QSqlDatabase& db, const QString& sql, Purpose purpose) {
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return nullptr;
    PGconn* connection = handleOf<PGconn*>(db.driver()->handle(), "PGconn*", "pg_conn*");
    if (!connection || PQtransactionStatus(connection) != PQTRANS_IDLE)
        return nullptr;
    static const QStringList reads{QStringLiteral("select"), QStringLiteral("values"), QStringLiteral("table"),
                                   QStringLiteral("with")};
    if (!reads.contains(db::statementWords(sql).value(0)))
        return nullptr;
    auto state = std::make_unique<State>();
    state->connection = connection; // from here on a transaction begun ends with it
    // A whole read is planned for all of its rows, as the statement on its own would be. One whose rows are
    // counted before they are read again reads one snapshot, and writes nothing (a statement that would is
    // refused here and runs as any other).
    const char* begin = purpose == Purpose::Whole ? "BEGIN; SET LOCAL cursor_tuple_fraction = 1"
                        : purpose == Purpose::Stream
                            ? "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY; SET LOCAL cursor_tuple_fraction = 1"
                            : "BEGIN";
    if (!state->command(begin))
        return nullptr;
    state->stream = purpose == Purpose::Stream;
    // One statement of the extended protocol: a text of several statements is refused, not run in part.
    const QByteArray declare =
        (state->stream ? "DECLARE morvane_read SCROLL CURSOR FOR " : "DECLARE morvane_read NO SCROLL CURSOR FOR ") +
        sql.toUtf8();
    PGresult* declared = PQexecParams(connection, declare.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(declared) == PGRES_COMMAND_OK;
    PQclear(declared);
    if (!ok)
        return nullptr;
    {
        // The fields as Qt's driver describes them (types, widths, tables), from an empty fetch that does
        // not move the cursor.
        QSqlQuery describe(db);
        if (!describe.exec(QStringLiteral("FETCH FORWARD 0 FROM morvane_read")))
            return nullptr;
        state->record = describe.record();
        if (const PGresult* described = handleOf<PGresult*>(describe.result()->handle(), "PGresult*", "pg_result*"))
            for (int i = 0; i < PQnfields(described); ++i)
                state->types.append(PQftype(described, i));
    }
    if (state->stream) {
        // COPY takes no terminating semicolon inside its parentheses.
        state->sql = sql.toUtf8();
        while (!state->sql.isEmpty() &&
               (state->sql.back() == ';' || std::isspace(static_cast<uchar>(state->sql.back()))))
            state->sql.chop(1);
    }
    state->batch = purpose == Purpose::Pages ? 128 : 1024;
    return std::unique_ptr<PostgresCursor>(new PostgresCursor(std::move(state)));
}

const QSqlRecord& PostgresCursor::record() const {
    return m_state->record;
}

std::unique_ptr<RowSource> PostgresCursor::rows(QList<FieldDesc>& fields) {
    return std::make_unique<PostgresCursorRows>(*m_state, fields);
}

bool PostgresCursor::connectionLost() const {
    return PQstatus(m_state->connection) != CONNECTION_OK;
}

QString PostgresCursor::prefetch() {
    State& state = *m_state;
    if (!state.result && !state.inFlight && !state.atEnd && state.send())
        state.receive();
    return state.error;
}

NativeStatements::NativeStatements(QSqlDatabase& db) {
    if (db.isValid() && db.isOpen() && db.driver())
        m_db = handleOf<sqlite3*>(db.driver()->handle(), "sqlite3*");
}

NativeStatements::~NativeStatements() {
    for (void* statement : std::as_const(m_statements))
        sqlite3_finalize(static_cast<sqlite3_stmt*>(statement));
}

bool NativeStatements::run(const QString& sql, const QVariantList& binds, int* changed, QVariant* returned) {
    auto* db = static_cast<sqlite3*>(m_db);
    if (!db)
        return false;
    auto found = m_statements.constFind(sql);
    if (found == m_statements.constEnd()) {
        sqlite3_stmt* made = nullptr;
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v2(db, text.constData(), static_cast<int>(text.size()), &made, nullptr) != SQLITE_OK) {
            sqlite3_finalize(made);
            return false;
        }
        found = m_statements.insert(sql, made);
    }
    auto* statement = static_cast<sqlite3_stmt*>(*found);
    sqlite3_reset(statement);
    if (sqlite3_bind_parameter_count(statement) != binds.size())
        return false;
    // As Qt's driver binds them: integers and reals as numbers, bytes as a blob, the rest as text.
    for (int i = 0; i < binds.size(); ++i) {
        const QVariant& value = binds.at(i);
        int status = SQLITE_OK;
        if (!value.isValid() || value.isNull()) {
            status = sqlite3_bind_null(statement, i + 1);
        } else {
            switch (value.typeId()) {
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::LongLong:
            case QMetaType::ULongLong:
            case QMetaType::Bool:
                status = sqlite3_bind_int64(statement, i + 1, value.toLongLong());
                break;
            case QMetaType::Double:
                status = sqlite3_bind_double(statement, i + 1, value.toDouble());
                break;
            case QMetaType::QByteArray: {
                const QByteArray bytes = value.toByteArray();
                status = sqlite3_bind_blob(statement, i + 1, bytes.constData(), static_cast<int>(bytes.size()),
                                           SQLITE_TRANSIENT);
                break;
            }
            default: {
                // As UTF-8, the database's own encoding: the library's conversion from UTF-16 costs more
                // than Qt's.
                const QByteArray text = value.toString().toUtf8();
                status = sqlite3_bind_text64(statement, i + 1, text.constData(),
                                             static_cast<sqlite3_uint64>(text.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
            }
            }
        }
        if (status != SQLITE_OK)
            return false;
    }
    *returned = QVariant();
    int status = sqlite3_step(statement);
    if (status == SQLITE_ROW && sqlite3_column_count(statement) > 0) {
        switch (sqlite3_column_type(statement, 0)) {
        case SQLITE_INTEGER:
            *returned = QVariant(static_cast<qlonglong>(sqlite3_column_int64(statement, 0)));
            break;
        case SQLITE_FLOAT:
            *returned = QVariant(sqlite3_column_double(statement, 0));
            break;
        case SQLITE_NULL:
            *returned = QVariant(QMetaType(QMetaType::QString));
            break;
        default:
            *returned = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
                                          sqlite3_column_bytes(statement, 0));
        }
    }
    while (status == SQLITE_ROW)
        status = sqlite3_step(statement);
    *changed = sqlite3_changes(db);
    sqlite3_reset(statement);
    return status == SQLITE_DONE;
}

bool NativeStatements::isRowId(const QString& table, const QString& column) {
    // INTEGER PRIMARY KEY DESC and WITHOUT ROWID keep the key in an index of its own (origin "pk").
    QVariant alias;
    int changed = 0;
    return run(QStringLiteral("select (select count(*) from pragma_table_info(?1) where pk > 0) = 1 "
                              "and exists (select 1 from pragma_table_info(?1) where pk = 1 "
                              "and name = ?2 collate nocase and upper(type) = 'INTEGER') "
                              "and not exists (select 1 from pragma_index_list(?1) where origin = 'pk')"),
               {table, column}, &changed, &alias) &&
           alias.toLongLong() == 1;
}

qint64 NativeStatements::lastRowId() const {
    return m_db ? sqlite3_last_insert_rowid(static_cast<sqlite3*>(m_db)) : 0;
}

namespace {

constexpr int kPipelineBatch = 256;

// "?" becomes "$1", "$2", ... outside quotes.
QByteArray numberedPlaceholders(const QString& sql) {
    QByteArray out;
    const QByteArray text = sql.toUtf8();
    out.reserve(text.size() + 32);
    char quote = 0;
    int number = 0;
    for (const char c : text) {
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '?') {
            out.append('$').append(QByteArray::number(++number));
            continue;
        }
        out.append(c);
    }
    return out;
}

} // namespace

PostgresPipeline::PostgresPipeline(QSqlDatabase& db) {
    if (db.isValid() && db.isOpen() && db.driver())
        m_connection = handleOf<PGconn*>(db.driver()->handle(), "PGconn*", "pg_conn*");
}

PostgresPipeline::~PostgresPipeline() {
    auto* connection = static_cast<PGconn*>(m_connection);
    if (m_inPipeline) {
        // Whatever is left is read and dropped: the connection goes back to Qt as it came.
        if (m_unsynced > 0 && PQpipelineSync(connection) == 1)
            ++m_pending;
        while (m_pending > 0 && readBatch()) {
        }
        PQexitPipelineMode(connection);
    }
    for (const QByteArray& name : std::as_const(m_names)) {
        PGresult* result = PQexec(connection, QByteArray("DEALLOCATE " + name).constData());
        PQclear(result);
    }
}

bool PostgresPipeline::send(const QString& sql, const QVariantList& binds) {
    auto* connection = static_cast<PGconn*>(m_connection);
    if (!connection || m_failed)
        return false;
    if (!m_inPipeline) {
        if (PQenterPipelineMode(connection) != 1)
            return false;
        m_inPipeline = true;
    }
    auto name = m_names.constFind(sql);
    if (name == m_names.constEnd()) {
        // Names of its own, which no other prepared statement of the session has.
        static std::atomic<quint64> counter{0};
        const QByteArray made = "morvane_pipeline_" + QByteArray::number(++counter);
        if (PQsendPrepare(connection, made.constData(), numberedPlaceholders(sql).constData(), 0, nullptr) != 1) {
            m_failed = true;
            return false;
        }
        // Its answer comes in turn, before the statement's.
        m_kinds.push_back(false);
        name = m_names.insert(sql, made);
    }
    // Every value as text (bytes as themselves), its type the one the statement gives it.
    QByteArrayList values;
    std::vector<const char*> pointers;
    std::vector<int> lengths, formats;
    values.reserve(binds.size());
    for (const QVariant& value : binds) {
        if (!value.isValid() || value.isNull()) {
            values.append(QByteArray());
            pointers.push_back(nullptr);
            lengths.push_back(0);
            formats.push_back(0);
            continue;
        }
        switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Bool:
            values.append(QByteArray::number(value.toLongLong()));
            formats.push_back(0);
            break;
        case QMetaType::Double: {
            QByteArray number;
            appendDouble(number, value.toDouble());
            values.append(number);
            formats.push_back(0);
            break;
        }
        case QMetaType::QByteArray:
            values.append(value.toByteArray());
            formats.push_back(1);
            break;
        default:
            values.append(value.toString().toUtf8());
            formats.push_back(0);
        }
        pointers.push_back(values.last().constData());
        lengths.push_back(static_cast<int>(values.last().size()));
    }
    if (PQsendQueryPrepared(connection, name->constData(), static_cast<int>(binds.size()), pointers.data(),
                            lengths.data(), formats.data(), 0) != 1) {
        m_failed = true;
        return false;
    }
    m_kinds.push_back(true);
    if (++m_unsynced >= kPipelineBatch) {
        // One batch at a time: its answers are read before the next goes, so that neither side's buffers
        // fill while the other waits.
        if (PQpipelineSync(connection) != 1) {
            m_failed = true;
            return false;
        }
        m_unsynced = 0;
        ++m_pending;
        while (m_pending > 0)
            if (!readBatch())
                return false;
    }
    return true;
}

bool PostgresPipeline::readBatch() {
    auto* connection = static_cast<PGconn*>(m_connection);
    for (;;) {
        PGresult* result = PQgetResult(connection);
        if (!result) {
            // The end of one statement's answer; a connection that has gone has no more.
            if (PQstatus(connection) != CONNECTION_OK) {
                m_failed = true;
                m_pending = 0;
                return false;
            }
            continue;
        }
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_PIPELINE_SYNC) {
            PQclear(result);
            --m_pending;
            return !m_failed;
        }
        const bool statement = m_kinds.empty() || m_kinds.front();
        if (!m_kinds.empty())
            m_kinds.pop_front();
        if (!statement) {
            // A statement prepared: no answer of a change.
            m_failed = m_failed || status != PGRES_COMMAND_OK;
            PQclear(result);
            continue;
        }
        Answer answer;
        answer.ok = status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
        if (answer.ok) {
            answer.changed = std::atoi(PQcmdTuples(result));
            if (status == PGRES_TUPLES_OK && PQntuples(result) > 0 && PQnfields(result) > 0 &&
                !PQgetisnull(result, 0, 0)) {
                const char* text = PQgetvalue(result, 0, 0);
                const Oid type = PQftype(result, 0);
                constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23;
                answer.returned = type == kInt8 || type == kInt2 || type == kInt4
                                      ? QVariant(static_cast<qlonglong>(std::strtoll(text, nullptr, 10)))
                                      : QVariant(QString::fromUtf8(text, PQgetlength(result, 0, 0)));
            }
        } else {
            m_failed = true;
        }
        m_answers.append(answer);
        PQclear(result);
    }
}

bool PostgresPipeline::finish(QList<Answer>* answers) {
    auto* connection = static_cast<PGconn*>(m_connection);
    // What was sent is answered whatever failed before, so that the connection leaves the pipeline.
    if (m_inPipeline && m_unsynced > 0) {
        if (PQpipelineSync(connection) == 1) {
            m_unsynced = 0;
            ++m_pending;
        } else {
            m_failed = true;
        }
    }
    while (m_pending > 0 && readBatch()) {
    }
    if (m_inPipeline && m_pending == 0 && m_unsynced == 0) {
        PQexitPipelineMode(connection);
        m_inPipeline = false;
    }
    *answers = std::move(m_answers);
    m_answers.clear();
    return !m_failed;
}

std::function<void()> statementInterrupter(QSqlDatabase& db) {
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return {};
    const QVariant handle = db.driver()->handle();
    if (sqlite3* connection = handleOf<sqlite3*>(handle, "sqlite3*"))
        return [connection] { sqlite3_interrupt(connection); };
    if (PGconn* connection = handleOf<PGconn*>(handle, "PGconn*", "pg_conn*")) {
        // The cancel object is the connection's key to a request of its own: usable from any thread.
        std::shared_ptr<PGcancel> cancel(PQgetCancel(connection), [](PGcancel* c) {
            if (c)
                PQfreeCancel(c);
        });
        if (!cancel)
            return {};
        return [cancel] {
            char error[256];
            PQcancel(cancel.get(), error, sizeof error);
        };
    }
    return {};
}

namespace {

// What the caller's rights say once the statement reaches a table in a way it had not yet.
int gather(StatementCheck* check, const char* table, bool read, bool insert, bool edit, bool remove) {
    if (!check || !table)
        return SQLITE_OK;
    const int kind = (read ? 1 : 0) | (insert ? 2 : 0) | (edit ? 4 : 0) | (remove ? 8 : 0);
    for (const auto& [name, seenKind] : check->seen) {
        if (seenKind == kind && qstrcmp(name.constData(), table) == 0)
            return check->refusal.isEmpty() ? SQLITE_OK : SQLITE_DENY;
    }
    check->seen.append({QByteArray(table), kind});
    if (!check->access.add(QString::fromUtf8(table), read, insert, edit, remove) || !check->rights)
        return SQLITE_OK;
    check->refusal = check->rights->refusalOf(check->access);
    return check->refusal.isEmpty() ? SQLITE_OK : SQLITE_DENY;
}

int clientAuthorizer(void* data, int action, const char* first, const char* second, const char*, const char*) {
    auto* check = static_cast<StatementCheck*>(data);
    switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
        return SQLITE_DENY;
    case SQLITE_PRAGMA: {
        // A pragma with a value writes, but for those that report on the table they name.
        static const char* const reporting[] = {"table_info",        "table_xinfo",     "index_list",
                                                "index_info",        "index_xinfo",     "foreign_key_list",
                                                "foreign_key_check", "integrity_check", "quick_check"};
        if (!second)
            return SQLITE_OK;
        for (const char* name : reporting) {
            if (first && sqlite3_stricmp(first, name) == 0)
                return SQLITE_OK;
        }
        return SQLITE_DENY;
    }
    case SQLITE_FUNCTION:
        for (const char* name : {"load_extension", "readfile", "writefile", "fts3_tokenizer", "edit"}) {
            if (second && sqlite3_stricmp(second, name) == 0)
                return SQLITE_DENY;
        }
        return SQLITE_OK;
    case SQLITE_READ:
        return gather(check, first, true, false, false, false);
    case SQLITE_INSERT:
        return gather(check, first, false, true, false, false);
    case SQLITE_UPDATE:
        return gather(check, first, false, false, true, false);
    case SQLITE_DELETE:
        return gather(check, first, false, false, false, true);
    case SQLITE_CREATE_INDEX:
    case SQLITE_CREATE_TABLE:
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_CREATE_TEMP_TABLE:
    case SQLITE_CREATE_TEMP_TRIGGER:
    case SQLITE_CREATE_TEMP_VIEW:
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_CREATE_VIEW:
    case SQLITE_DROP_INDEX:
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_TEMP_INDEX:
    case SQLITE_DROP_TEMP_TABLE:
    case SQLITE_DROP_TEMP_TRIGGER:
    case SQLITE_DROP_TEMP_VIEW:
    case SQLITE_DROP_TRIGGER:
    case SQLITE_DROP_VIEW:
    case SQLITE_ALTER_TABLE:
    case SQLITE_REINDEX:
    case SQLITE_ANALYZE:
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_VTABLE:
        // A definition changes what every later statement reaches.
        if (!check || check->access.opaque)
            return SQLITE_OK;
        check->access.opaque = true;
        if (check->rights)
            check->refusal = check->rights->refusalOf(check->access);
        return check->refusal.isEmpty() ? SQLITE_OK : SQLITE_DENY;
    default:
        return SQLITE_OK;
    }
}

// The relations of a plan node and of every node below it.
void walkPlan(const QJsonObject& node, StatementAccess& access) {
    const QString relation = node.value(QStringLiteral("Relation Name")).toString();
    if (!relation.isEmpty()) {
        // The application's tables live in the default schema; any other is named with its schema, so
        // that it is no table of the application (the catalogues among them).
        const QString schema = node.value(QStringLiteral("Schema")).toString();
        const QString table =
            schema.isEmpty() || schema == QLatin1String("public") ? relation : schema + QLatin1Char('.') + relation;
        if (node.value(QStringLiteral("Node Type")).toString() == QLatin1String("ModifyTable")) {
            const QString operation = node.value(QStringLiteral("Operation")).toString();
            const bool merge = operation == QLatin1String("Merge");
            const bool upsert = node.value(QStringLiteral("On Conflict Action")).toString() == QLatin1String("Update");
            access.add(table, false, merge || operation == QLatin1String("Insert"),
                       merge || upsert || operation == QLatin1String("Update"),
                       merge || operation == QLatin1String("Delete"));
        } else {
            access.add(table, true, false, false, false);
        }
    }
    for (const QJsonValue& child : node.value(QStringLiteral("Plans")).toArray())
        walkPlan(child.toObject(), access);
}

} // namespace

StatementAccess plannedAccess(QSqlDatabase& db, const QString& sql) {
    StatementAccess access;
    access.opaque = true;
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return access;
    PGconn* connection = handleOf<PGconn*>(db.driver()->handle(), "PGconn*", "pg_conn*");
    if (!connection)
        return access;
    // Sent as one statement of the extended protocol: a text that holds several statements is refused by
    // the server instead of running the ones after the first.
    const QByteArray text = "EXPLAIN (VERBOSE, FORMAT JSON) " + sql.toUtf8();
    PGresult* result = PQexecParams(connection, text.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    if (!result)
        return access;
    QByteArray plan;
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1 && PQnfields(result) == 1)
        plan = QByteArray(PQgetvalue(result, 0, 0), PQgetlength(result, 0, 0));
    PQclear(result);
    const QJsonArray plans = QJsonDocument::fromJson(plan).array();
    if (plans.size() != 1)
        return access;
    access.opaque = false;
    walkPlan(plans.first().toObject().value(QStringLiteral("Plan")).toObject(), access);
    return access;
}

ClientStatementLimits::ClientStatementLimits(QSqlDatabase& db, StatementCheck* check) {
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return;
    if (sqlite3* connection = handleOf<sqlite3*>(db.driver()->handle(), "sqlite3*")) {
        sqlite3_set_authorizer(connection, clientAuthorizer, check);
        m_sqlite = connection;
    }
}

ClientStatementLimits::~ClientStatementLimits() {
    if (m_sqlite)
        sqlite3_set_authorizer(static_cast<sqlite3*>(m_sqlite), nullptr, nullptr);
}

bool inTransaction(QSqlDatabase& db) {
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return false;
    const QVariant handle = db.driver()->handle();
    if (sqlite3* connection = handleOf<sqlite3*>(handle, "sqlite3*"))
        return sqlite3_get_autocommit(connection) == 0;
    if (PGconn* connection = handleOf<PGconn*>(handle, "PGconn*", "pg_conn*")) {
        const PGTransactionStatusType status = PQtransactionStatus(connection);
        return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
    }
    QSqlQuery query(db);
    return query.exec(QStringLiteral("select @@trancount")) && query.next() && query.value(0).toInt() > 0;
}

void rollbackTransaction(QSqlDatabase& db) {
    QSqlQuery query(db);
    const bool sqlServer = db.driverName() == QLatin1String("QODBC");
    query.exec(sqlServer ? QStringLiteral("if @@trancount > 0 rollback transaction") : QStringLiteral("rollback"));
}

void cancelRunningStatement(QSqlDatabase& db) {
    if (!db.isValid() || !db.driver())
        return;
    PGconn* connection = handleOf<PGconn*>(db.driver()->handle(), "PGconn*", "pg_conn*");
    if (!connection || PQtransactionStatus(connection) != PQTRANS_ACTIVE)
        return;
    if (PGcancel* cancel = PQgetCancel(connection)) {
        char error[256];
        PQcancel(cancel, error, sizeof error);
        PQfreeCancel(cancel);
    }
}

void appendJsonUtf8(QByteArray& out, const char* text, qsizetype size) {
    static constexpr char hex[] = "0123456789abcdef";
    const qsizetype start = out.size();
    // Room for the worst case: every byte an escape of six. The buffer grows by half of itself at least:
    // grown by the worst case alone, a packet of many rows would be moved again for nearly every value.
    const qsizetype needed = start + size * 6 + 2;
    if (needed > out.capacity())
        out.reserve(std::max(needed, out.capacity() + out.capacity() / 2));
    // Written into the room reserved past the end, then taken in by one resize, which leaves the bytes it
    // adds as they are.
    char* p = out.data() + start;
    *p++ = '"';
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const auto* end = s + size;
    while (s < end) {
        const unsigned char c = *s;
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            *p++ = static_cast<char>(c);
            ++s;
            continue;
        }
        if (c < 0x80) {
            *p++ = '\\';
            switch (c) {
            case '"':
            case '\\':
                *p++ = static_cast<char>(c);
                break;
            case '\n':
                *p++ = 'n';
                break;
            case '\r':
                *p++ = 'r';
                break;
            case '\t':
                *p++ = 't';
                break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = hex[c >> 4];
                *p++ = hex[c & 15];
            }
            ++s;
            continue;
        }
        // A multi-byte sequence is copied when it is well formed (no overlong form, no surrogate, at
        // most U+10FFFF); anything else becomes U+FFFD.
        int length = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        bool valid = length > 0 && end - s >= length;
        for (int k = 1; valid && k < length; ++k)
            valid = (s[k] & 0xc0) == 0x80;
        if (valid && length == 3)
            valid = !(c == 0xe0 && s[1] < 0xa0) && !(c == 0xed && s[1] >= 0xa0);
        if (valid && length == 4)
            valid = !(c == 0xf0 && s[1] < 0x90) && !(c == 0xf4 && s[1] >= 0x90);
        if (valid) {
            std::memcpy(p, s, static_cast<size_t>(length));
            p += length;
            s += length;
        } else {
            *p++ = static_cast<char>(0xef);
            *p++ = static_cast<char>(0xbf);
            *p++ = static_cast<char>(0xbd);
            ++s;
        }
    }
    *p++ = '"';
    out.resize(p - out.data());
}

} // namespace morvane::provider
