#pragma once

#include "SqlConnection.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace morvane::db {

enum class ColumnType {
    Identity, // int key that the server assigns
    Int,
    TinyInt,
    Bit,
    VarChar,
    DateTime,
    Image,
};

enum class Nullability {
    Null,          // declared "null"
    ServerDefault, // neither "null" nor "not null": the server's default nullability
};

struct ColumnDef {
    const char* name;
    ColumnType type;
    int size; // varchar width, 0 otherwise
    Nullability nullability;
    const char* defaultValue;  // an SQL literal, or nullptr
    const char* sqlServerLine; // the column's line of the SQL Server statement, as sent
};

struct TableDef {
    QString name;
    int identitySeed;
    QList<ColumnDef> columns;
};

// The eighteen tables of the application database in creation order; the one description from which
// every dialect's statement is made.
const QList<TableDef>& tableDefinitions();
const TableDef* findTable(const QString& name);

// The server's own table beside ac_operator: each operator's password as an Argon2id hash (the legacy
// operatorpasd column is too narrow for one and is left empty). Created after the eighteen tables.
inline const QString kOperatorPasswordTable = QStringLiteral("morvane_operatorpassword");
QStringList operatorPasswordTableStatements(platform::SqlProvider provider);

// The SQL Server statement as lines: "Create Table <name>" then the column lines.
QStringList sqlServerTableLines(const TableDef& table);
// The statement (or statements, for SQLite's identity seed) that creates the table in a provider's dialect.
QStringList createTableStatements(const TableDef& table, platform::SqlProvider provider);

// Every line followed by CR LF, as the batches to SQL Server are sent.
QString joinBatch(const QStringList& lines);

// 'text' with quotes doubled: an SQL string literal.
QString quoteLiteral(const QString& value);
// [name] with ] doubled: a SQL Server identifier.
QString quoteBracketIdentifier(const QString& name);
// "name" with " doubled: a standard SQL identifier (PostgreSQL, SQLite).
QString quoteIdentifier(const QString& name);

} // namespace morvane::db
