#pragma once

#include "DataPacket.h"

#include <QByteArray>
#include <QList>

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
};
// How to stop the statement running on the connection from another thread (sqlite3_interrupt, a
// PostgreSQL cancel request); nothing for a driver without a way. Made on the connection's thread.
std::function<void()> statementInterrupter(QSqlDatabase& db);

// While it lives, on the connection's thread: SQLite refuses, as it prepares a client's statement, what
// reaches outside the database (ATTACH, DETACH, a pragma given a value, load_extension and file
// functions), whatever way the statement spells it. Nothing for the other databases.
class ClientStatementLimits {
public:
    explicit ClientStatementLimits(QSqlDatabase& db);
    ~ClientStatementLimits();
    ClientStatementLimits(const ClientStatementLimits&) = delete;
    ClientStatementLimits& operator=(const ClientStatementLimits&) = delete;

private:
    void* m_sqlite = nullptr;
};

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
