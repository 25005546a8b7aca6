#pragma once

#include "SqlConnection.h"

#include <QString>
#include <QVariant>

namespace morvane::db {

// A client's call of one of the three stored procedures, in T-SQL's spelling:
// "exec CreateDevice", "exec DeleteDevice 5", "execute DeleteDeviceProperty @DeivceID=5".
struct ProcedureCallParse {
    enum Outcome {
        NotACall,  // any other statement: sent as it is
        Call,      // a well-formed call
        Malformed, // names one of the procedures with arguments it does not take
    };
    Outcome outcome = NotACall;
    QString procedure; // as spelled here: CreateDevice, DeleteDevice, DeleteDeviceProperty
    QVariant deviceId; // int, or a null for "null"; invalid for CreateDevice
    QString error;     // Malformed only
};

ProcedureCallParse parseProcedureCall(const QString& sql);

// A piece of a statement's text: a word (keyword or name), a quoted name ("x", [x], `x`), a quoted text
// ('x', PostgreSQL's $$x$$), a ":name" placeholder, or a mark (punctuation; "::" is one). Comments are
// left out. The text of a quoted piece is without its quotes.
struct SqlToken {
    enum Kind { Word, QuotedName, Text, Placeholder, Mark };
    Kind kind;
    QString text;
    qsizetype from = 0; // where the piece stands in the statement, quotes and marks included
    qsizetype to = 0;
};
QList<SqlToken> sqlTokens(const QString& sql);
// The words of a statement in order, lower case, without quoted texts (each one "'"), comments and
// the quotes of quoted names; "=", "(" and ";" are words of their own.
QStringList statementWords(const QString& sql);

// Why a client's statement is refused whoever sends it: it reaches outside the database (files,
// programs, other servers, libraries) or changes how the database stores its data (ATTACH, VACUUM
// INTO, load_extension, pragmas that write, COPY, pg_read_file, ALTER SYSTEM, ...). Empty when it is
// not. The words are looked for outside quotes and comments.
QString refusalOfClientStatement(const QString& sql, platform::SqlProvider provider);

// Runs one statement of a client program on the connection. SQL Server receives it unchanged. On
// PostgreSQL the T-SQL call forms above become the native calls; on SQLite the procedures are carried
// out here, in one transaction. Every other statement goes to the server as written, in its own dialect.
platform::SqlResult runClientStatement(platform::SqlConnection& connection, const QString& sql,
                                       const QVariantList& binds = {});

} // namespace morvane::db
