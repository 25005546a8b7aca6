#pragma once

#include "CallRights.h"
#include "DataPacket.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSqlRecord>
#include <QVariant>

#include <deque>
#include <functional>

#include <memory>

class QSqlDatabase;
class QSqlQuery;

namespace morvane::provider {

// The rows of an executed query, each written as JSON in turn, straight from the driver's own result
// where it can be reached (SQLite's statement, PostgreSQL's results in text form): no QVariant and no
// UTF-16 copy of each value on the way. Any other driver goes through the query's values (RowWriter).
// The same JSON either way. Used on the connection's thread, while the query lives.
class RowSource {
public:
    virtual ~RowSource() = default;
    // `fields` outlive the source; a field's type may be widened by what its rows turn out to hold.
    static std::unique_ptr<RowSource> create(QSqlQuery& query, QList<FieldDesc>& fields);
    // Appends the next row; false at the end or on a failure (then error() says why).
    virtual bool appendNext(QByteArray& out) = 0;
    virtual QString error() const = 0;
    // For a reply written as it is made, whose row count goes before its rows: counts the rows not read
    // yet without writing them (widening the fields as they would), then sets the source back before its
    // first row, to read them all again from the same snapshot of the data. False when that cannot be: a
    // failure (error() says why), or a statement that must not run twice (nothing said).
    virtual bool countAndRewind(qsizetype& rest) {
        rest = 0;
        return false;
    }
    // The fields now live in `fields`.
    virtual void rebind(QList<FieldDesc>& fields) { Q_UNUSED(fields); }
};
// PostgreSQL: a client's plain read (one SELECT, VALUES, TABLE or WITH, with no bound values) read through
// a cursor of the server's in a transaction of its own. The rows come in batches of growing size, the next
// asked for while the last is written, instead of a result of its own for every row; the fields are known
// without running the statement; and a read left before its end ends with its transaction in one round
// trip, where a running statement would be cancelled through a connection of its own. A stream's rows,
// once counted, come again from COPY in the same snapshot: the server sends them as it makes them.
// On the connection's thread, while no other statement runs there.
class PostgresCursor {
public:
    enum class Purpose {
        Describe, // the fields only
        Whole,    // every row, at once: planned for all of them
        Stream,   // the same, counted before the rows are read again: one snapshot, nothing written
        Pages,    // a page at a time: planned for the first rows
    };
    // Null when the statement is not read so: another database, not a plain read, or one the server does
    // not take as a cursor (several statements, a data-changing WITH, SELECT INTO, a failure of its own).
    // The statement is then run as any other, and tells its own failure.
    static std::unique_ptr<PostgresCursor> open(QSqlDatabase& db, const QString& sql, Purpose purpose);
    // Ends the transaction: committed once every row has been read, otherwise rolled back.
    ~PostgresCursor();
    PostgresCursor(const PostgresCursor&) = delete;
    PostgresCursor& operator=(const PostgresCursor&) = delete;

    const QSqlRecord& record() const;
    // The rows; the source goes before the cursor.
    std::unique_ptr<RowSource> rows(QList<FieldDesc>& fields);
    // A failure that running the statement again would not mend: the connection has gone.
    bool connectionLost() const;
    // Asks for the first rows now; the failure's text, if they do not come.
    QString prefetch();

    struct State; // the fetching, inside NativeRows

private:
    explicit PostgresCursor(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// SQLite: statements run straight through the library, each prepared once and its values bound as they
// are, without Qt's binding around every run. Nothing for another database (usable() is false).
// On the connection's thread, while the connection stays open.
class NativeStatements {
public:
    explicit NativeStatements(QSqlDatabase& db);
    ~NativeStatements();
    NativeStatements(const NativeStatements&) = delete;
    NativeStatements& operator=(const NativeStatements&) = delete;

    bool usable() const { return m_db != nullptr; }
    // Runs `sql` with `binds` in the order of its "?"; the rows it changed, and the first column of the
    // first row it returned (invalid: none). False on any failure.
    bool run(const QString& sql, const QVariantList& binds, int* changed, QVariant* returned);
    // Whether `column` is the row id of `table` (its one primary key column, declared INTEGER, in a table
    // with row ids): an insert's key is then the row id the library keeps, and needs no RETURNING, whose
    // buffering costs the insert as much again.
    bool isRowId(const QString& table, const QString& column);
    // The row id of the last row inserted by a statement that changed one row.
    qint64 lastRowId() const;

private:
    void* m_db = nullptr;
    QHash<QString, void*> m_statements;
};

// PostgreSQL: statements sent one after another without waiting for each answer (libpq's pipeline
// mode), their answers read in order a batch at a time, so that neither side's buffers fill while the
// other waits. Each text is prepared once on the server, and let go again when the pipeline goes (after
// its transaction has ended). Nothing for another database (usable() is false). On the connection's
// thread, with no other statement between its sends and its finish().
class PostgresPipeline {
public:
    explicit PostgresPipeline(QSqlDatabase& db);
    ~PostgresPipeline();
    PostgresPipeline(const PostgresPipeline&) = delete;
    PostgresPipeline& operator=(const PostgresPipeline&) = delete;

    bool usable() const { return m_connection != nullptr; }
    struct Answer {
        bool ok = false;
        int changed = 0;   // rows the statement changed
        QVariant returned; // the first column of the first row it returned (invalid: none)
    };
    // Queues `sql` ("?" for each of `binds`, in order); its answer comes with the others. False when it
    // could not be sent.
    bool send(const QString& sql, const QVariantList& binds);
    // The answers of everything sent, in order; false when any statement failed or the connection did.
    bool finish(QList<Answer>* answers);

private:
    bool readBatch();

    void* m_connection = nullptr;
    bool m_inPipeline = false;
    bool m_failed = false;
    int m_unsynced = 0; // sent since the last sync
    int m_pending = 0;  // answers not read yet, in synced batches
    QList<Answer> m_answers;
    QHash<QString, QByteArray> m_names; // the server's name of each statement prepared
    std::deque<bool> m_kinds;           // what each answer still to come is for: a statement (or a prepare)
};

// How to stop the statement running on the connection from another thread (sqlite3_interrupt, a
// PostgreSQL cancel request); nothing for a driver without a way. Made on the connection's thread.
std::function<void()> statementInterrupter(QSqlDatabase& db);

// What SQLite told of a client's statement as it prepared it: the tables it reads and writes, and the
// refusal of the caller's rights that stopped it. On the connection's thread.
struct StatementCheck {
    const CallRights* rights = nullptr; // null: the tables are gathered, nothing is refused for them
    StatementAccess access;
    QString refusal;
    // What has been looked at already (the table's name and the kind of access): SQLite asks once for every
    // column, and a name once seen is passed by a comparison of its bytes.
    QList<QPair<QByteArray, int>> seen;
};

// While it lives, on the connection's thread: SQLite refuses, as it prepares a client's statement, what
// reaches outside the database (ATTACH, DETACH, a pragma given a value, load_extension and file
// functions), whatever way the statement spells it; with a check, it also gathers every table the
// statement reads or writes and refuses what the caller's rights do not allow. Nothing for the other
// databases.
class ClientStatementLimits {
public:
    explicit ClientStatementLimits(QSqlDatabase& db, StatementCheck* check = nullptr);
    ~ClientStatementLimits();
    ClientStatementLimits(const ClientStatementLimits&) = delete;
    ClientStatementLimits& operator=(const ClientStatementLimits&) = delete;

private:
    void* m_sqlite = nullptr;
};

// On PostgreSQL, on the connection's thread: the tables a statement reads and writes, by the plan the
// server makes of it (EXPLAIN, which does not run it). A statement that cannot be planned alone
// (definitions, several statements, CALL, COPY, ...) is opaque.
StatementAccess plannedAccess(QSqlDatabase& db, const QString& sql);

// Whether the connection is inside a transaction (one that a statement began and left open).
bool inTransaction(QSqlDatabase& db);
// Ends the connection's transaction, undoing its work.
void rollbackTransaction(QSqlDatabase& db);

// Asks the database server to stop sending the rest of the statement that is running on the connection
// (PostgreSQL); nothing on the other databases, whose statements stop where they are read.
void cancelRunningStatement(QSqlDatabase& db);

// Appends UTF-8 text as a JSON string; a byte sequence that is no UTF-8 becomes U+FFFD.
void appendJsonUtf8(QByteArray& out, const char* text, qsizetype size);

} // namespace morvane::provider
