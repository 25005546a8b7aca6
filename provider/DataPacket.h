#pragma once

#include "SqlConnection.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QSqlRecord>
#include <QString>
#include <QVariant>

#include <optional>

class QSqlQuery;

// The data packets of the data providers, in JSON (docs/protocol.md, "Data packets"):
//   {"fields":[...],"params":{"primaryKey":[0]},"rows":[[...],...],"rowCount":N}
// with "fields" and "params" only where the metadata is asked for; a delta
//   {"changes":[{"state":4|2|8,"old":{...},"new":{...}},...]}
// and an error packet {"errors":[...],"errorCount":N}.
namespace morvane::provider {

enum class FieldType { I2, I4, I8, R8, Fixed, String, Boolean, Date, Time, DateTime, Blob };
QString fieldTypeName(FieldType type); // "i4", "string", "dateTime", "bin.hex", ...

// The provider flags of a field.
enum FieldFlag : int {
    InUpdate = 1, // written by an insert or an update
    InWhere = 2,  // locates the row where all original values do
    InKey = 4,    // locates the row by key
    Hidden = 8,
};

struct FieldDesc {
    QString name;
    FieldType type = FieldType::String;
    int width = 0;   // texts of a known width
    QString subtype; // "text" for a long text, "binary" for a blob
    bool required = false;
    bool readOnly = false;
    bool autoIncrement = false;
    int flags = InUpdate | InWhere;
    QString table; // where the column comes from; empty when that is not known
};

// The table that a statement reads: the first name after its first top-level FROM, without a schema
// prefix or quotes; empty for a statement that reads none.
QString statementTable(const QString& sql);

// The fields of a result. The eighteen tables of the application database are described by their own
// definitions, so that a column has the same description on every database; any other column by what
// the driver reports. `table` is the statement's table, for drivers that do not name a column's table.
QList<FieldDesc> describeFields(const QSqlRecord& record, const QString& table,
                                platform::SqlProvider provider = platform::SqlProvider::Unknown);

// Rows written as JSON, value by value in the form the fields give: numbers, texts, true/false, dates
// "YYYY-MM-DDTHH:MM:SS.zzz", blobs in base64, NULL as null.
class RowWriter {
public:
    explicit RowWriter(const QList<FieldDesc>& fields);
    // Appends the query's current row as a JSON array.
    void appendRow(QByteArray& out, const QSqlQuery& query) const;
    // The same for a row of values in field order.
    void appendRow(QByteArray& out, const QVariantList& values) const;
    void appendValue(QByteArray& out, int field, const QVariant& value) const;

private:
    const QList<FieldDesc>& m_fields;
};

// The packet's "fields" and "params" members, without the braces around them.
QByteArray metadataJson(const QList<FieldDesc>& fields);

// A packet written a row at a time: the metadata (when given) first, then the rows, then their count.
// The metadata is written again at the end, in its place, so that it tells what the rows turned out to
// hold (an integer column of SQLite that holds 8-byte values is described as such).
class PacketWriter {
public:
    explicit PacketWriter(const QList<FieldDesc>* fields);
    // `write(out)` appends one JSON array to `out`, or appends nothing and returns false: then no row is
    // added and false is returned.
    template <typename Write>
    bool appendRow(Write&& write) {
        const qsizetype mark = m_out.size();
        if (m_rows)
            m_out.append(',');
        if (!write(m_out)) {
            m_out.truncate(mark);
            return false;
        }
        ++m_rows;
        return true;
    }
    qsizetype rows() const { return m_rows; }
    qsizetype size() const { return m_out.size(); }
    QByteArray finish() &&;

private:
    const QList<FieldDesc>* m_fields;
    QByteArray m_out;
    qsizetype m_headSize = 0; // of the metadata written first
    qsizetype m_rows = 0;
};

// A packet from its metadata (or none) and its rows, each already a JSON array.
QByteArray packetJson(const QList<FieldDesc>* fields, const QList<QByteArray>& rows);

// Appends a number in its shortest exact form; null for one that JSON cannot hold (NaN, infinities).
void appendDouble(QByteArray& out, double value);
// Appends a text as a JSON string (quotes included).
void appendJsonString(QByteArray& out, QStringView text);

// A date and time in the packets' form; invalid for text of another form. Texts written by databases
// ("2024-03-05 07:08:09", with T, with a fraction of any length) are read too.
QDateTime dateTimeFromText(QStringView text);
QByteArray dateTimeText(const QDateTime& dateTime);
// A time of day written "HH:MM", "HH:MM:SS" or with a fraction; invalid for anything else. Packets carry
// a time as a date and time on 1899-12-30.
QTime timeFromText(QStringView text);

// One change of a delta.
struct Change {
    enum State { Deleted = 2, Inserted = 4, Modified = 8 };
    int index = 0; // its position in the delta
    State state = Modified;
    QJsonObject oldValues; // deleted and modified rows
    QJsonObject newValues; // inserted and modified rows
};
// nullopt with the reason for text that is no delta.
std::optional<QList<Change>> parseDelta(const QByteArray& json, QString* error);
std::optional<QList<Change>> parseDelta(const QJsonObject& delta, QString* error);

} // namespace morvane::provider
