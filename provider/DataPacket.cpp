#include "DataPacket.h"

#include <cstring>

#include "DbSchema.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlField>
#include <QSqlQuery>

#include <charconv>
#include <cmath>

namespace morvane::provider {

namespace {

const db::ColumnDef* schemaColumn(const db::TableDef* table, const QString& name) {
    if (!table)
        return nullptr;
    for (const db::ColumnDef& column : table->columns) {
        if (name.compare(QLatin1String(column.name), Qt::CaseInsensitive) == 0)
            return &column;
    }
    return nullptr;
}

void describeFromSchema(FieldDesc& field, const db::ColumnDef& column) {
    switch (column.type) {
    case db::ColumnType::Identity:
        field.type = FieldType::I4;
        field.autoIncrement = true;
        field.flags |= InKey;
        break;
    case db::ColumnType::Int:
        field.type = FieldType::I4;
        break;
    case db::ColumnType::TinyInt:
        field.type = FieldType::I2;
        break;
    case db::ColumnType::Bit:
        field.type = FieldType::Boolean;
        break;
    case db::ColumnType::VarChar:
        field.type = FieldType::String;
        field.width = column.size;
        break;
    case db::ColumnType::DateTime:
        field.type = FieldType::DateTime;
        break;
    case db::ColumnType::Image:
        field.type = FieldType::Blob;
        field.subtype = QStringLiteral("binary");
        field.flags &= ~InWhere; // blobs never locate a row
        break;
    }
}

// PostgreSQL's types that the packets' types cannot hold as they are, by their type numbers.
enum PgType : int {
    PgChar = 18,
    PgName = 19,
    PgText = 25,
    PgJson = 114,
    PgXml = 142,
    PgJsonb = 3802,
    PgBpchar = 1042,
    PgVarchar = 1043,
    PgTimestampTz = 1184,
    PgTimeTz = 1266,
    PgNumeric = 1700,
};

// ODBC's decimal types, as SQL Server's columns report them.
constexpr int kOdbcNumeric = 2, kOdbcDecimal = 3;

void describeFromDriver(FieldDesc& field, const QSqlField& column, platform::SqlProvider provider) {
    const bool pg = provider == platform::SqlProvider::PostgreSQL;
    const int typeId = column.typeID();
    if (pg && (typeId == PgTimestampTz || typeId == PgTimeTz)) {
        // A time with a zone is handed on as the database writes it: the packets' dates have no zone.
        field.type = FieldType::String;
        field.required = column.requiredStatus() == QSqlField::Required;
        field.readOnly = column.isReadOnly();
        return;
    }
    switch (column.metaType().id()) {
    case QMetaType::Bool:
        field.type = FieldType::Boolean;
        break;
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::UChar:
    case QMetaType::SChar:
        field.type = FieldType::I2;
        break;
    case QMetaType::Int:
    case QMetaType::UInt:
        // Every integer that SQLite keeps has 8 bytes, whatever the column was declared as.
        field.type = provider == platform::SqlProvider::SQLite ? FieldType::I8 : FieldType::I4;
        break;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
        field.type = FieldType::I8;
        break;
    case QMetaType::Double:
    case QMetaType::Float: {
        const bool decimal = (pg && typeId == PgNumeric) || (provider == platform::SqlProvider::SqlServer &&
                                                             (typeId == kOdbcNumeric || typeId == kOdbcDecimal));
        field.type = decimal ? FieldType::Fixed : FieldType::R8;
        break;
    }
    case QMetaType::QDateTime:
        field.type = FieldType::DateTime;
        break;
    case QMetaType::QDate:
        field.type = FieldType::Date;
        break;
    case QMetaType::QTime:
        field.type = FieldType::Time;
        break;
    case QMetaType::QByteArray:
        field.type = FieldType::Blob;
        field.subtype = QStringLiteral("binary");
        field.flags &= ~InWhere;
        break;
    default:
        field.type = FieldType::String;
        // PostgreSQL gives the storage size of its other types (a uuid's 16 bytes) where a text's width
        // is expected; they compare as the text they are written in.
        if (pg && typeId != PgChar && typeId != PgName && typeId != PgText && typeId != PgBpchar &&
            typeId != PgVarchar && typeId != PgJson && typeId != PgJsonb && typeId != PgXml)
            break;
        if ((pg && (typeId == PgText || typeId == PgJson || typeId == PgJsonb || typeId == PgXml)) ||
            column.length() <= 0 || column.length() > 8000) {
            field.subtype = QStringLiteral("text");
            field.flags &= ~InWhere;
        } else {
            field.width = column.length();
        }
        break;
    }
    field.required = column.requiredStatus() == QSqlField::Required;
    field.autoIncrement = column.isAutoValue();
    field.readOnly = column.isReadOnly();
}

int digit(QChar c) {
    const char16_t u = c.unicode();
    return u >= u'0' && u <= u'9' ? u - u'0' : -1;
}

// Reads `count` digits at `pos`, moving past them; -1 when they are not there.
int number(QStringView text, qsizetype& pos, int count) {
    if (pos + count > text.size())
        return -1;
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const int d = digit(text[pos + i]);
        if (d < 0)
            return -1;
        value = value * 10 + d;
    }
    pos += count;
    return value;
}

void appendDigits(QByteArray& out, int value, int count) {
    char buffer[8];
    for (int i = count - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, count);
}

} // namespace

QString fieldTypeName(FieldType type) {
    switch (type) {
    case FieldType::I2:
        return QStringLiteral("i2");
    case FieldType::I4:
        return QStringLiteral("i4");
    case FieldType::I8:
        return QStringLiteral("i8");
    case FieldType::R8:
        return QStringLiteral("r8");
    case FieldType::Fixed:
        return QStringLiteral("fixed");
    case FieldType::String:
        return QStringLiteral("string");
    case FieldType::Boolean:
        return QStringLiteral("boolean");
    case FieldType::Date:
        return QStringLiteral("date");
    case FieldType::Time:
        return QStringLiteral("time");
    case FieldType::DateTime:
        return QStringLiteral("dateTime");
    case FieldType::Blob:
        return QStringLiteral("bin.hex");
    }
    return {};
}

QString statementTable(const QString& sql) {
    const QStringView text(sql);
    int depth = 0;
    qsizetype i = 0;
    const auto isWord = [](QChar c) { return c.isLetterOrNumber() || c == u'_' || c == u'@' || c == u'#'; };
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u'\'' || c == u'"' || c == u'[') {
            const QChar close = c == u'[' ? QChar(u']') : c;
            const qsizetype end = text.indexOf(close, i + 1);
            i = end < 0 ? text.size() : end + 1;
            continue;
        }
        if (c == u'(' || c == u')') {
            depth += c == u'(' ? 1 : -1;
            ++i;
            continue;
        }
        if (!isWord(c)) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && isWord(text[end]))
            ++end;
        const QStringView word = text.mid(i, end - i);
        i = end;
        if (depth != 0 || word.compare(QLatin1String("from"), Qt::CaseInsensitive) != 0)
            continue;
        // The name after FROM: parts separated by dots, each bare or quoted; the last part is the table.
        QString table;
        while (i < text.size() && text[i].isSpace())
            ++i;
        while (i < text.size()) {
            const QChar q = text[i];
            if (q == u'"' || q == u'[' || q == u'`') {
                const QChar close = q == u'[' ? QChar(u']') : q;
                const qsizetype stop = text.indexOf(close, i + 1);
                if (stop < 0)
                    return {};
                table = text.mid(i + 1, stop - i - 1).toString();
                i = stop + 1;
            } else if (isWord(q)) {
                qsizetype stop = i;
                while (stop < text.size() && isWord(text[stop]))
                    ++stop;
                table = text.mid(i, stop - i).toString();
                i = stop;
            } else {
                break;
            }
            if (i < text.size() && text[i] == u'.')
                ++i;
            else
                break;
        }
        return table;
    }
    return {};
}

QList<FieldDesc> describeFields(const QSqlRecord& record, const QString& table, platform::SqlProvider provider) {
    QList<FieldDesc> fields;
    fields.reserve(record.count());
    const db::TableDef* statementTableDef = db::findTable(table);
    for (int i = 0; i < record.count(); ++i) {
        const QSqlField column = record.field(i);
        FieldDesc field;
        field.name = column.name();
        field.table = column.tableName().isEmpty() ? table : column.tableName();
        const db::TableDef* tableDef =
            field.table.compare(table, Qt::CaseInsensitive) == 0 ? statementTableDef : db::findTable(field.table);
        if (const db::ColumnDef* known = schemaColumn(tableDef, field.name)) {
            describeFromSchema(field, *known);
        } else {
            describeFromDriver(field, column, provider);
            // A column that the known table does not have is computed or joined: it is not written back.
            if (tableDef) {
                field.table.clear();
                field.flags = 0;
                field.readOnly = true;
            }
        }
        // Only the statement's own table is written back through a delta.
        if (!field.table.isEmpty() && field.table.compare(table, Qt::CaseInsensitive) != 0)
            field.flags &= ~(InUpdate | InWhere | InKey);
        fields.append(field);
    }
    return fields;
}

void appendDouble(QByteArray& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null", 4);
        return;
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr - buffer);
}

void appendJsonString(QByteArray& out, QStringView text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.append('"');
    const char16_t* p = text.utf16();
    const char16_t* end = p + text.size();
    while (p < end) {
        const char16_t c = *p++;
        if (c < 0x80) {
            if (c >= 0x20 && c != u'"' && c != u'\\') {
                out.append(static_cast<char>(c));
                continue;
            }
            switch (c) {
            case u'"':
                out.append("\\\"", 2);
                break;
            case u'\\':
                out.append("\\\\", 2);
                break;
            case u'\n':
                out.append("\\n", 2);
                break;
            case u'\r':
                out.append("\\r", 2);
                break;
            case u'\t':
                out.append("\\t", 2);
                break;
            default: {
                const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out.append(escape, sizeof escape);
            }
            }
            continue;
        }
        char32_t code = c;
        if (QChar::isHighSurrogate(c) && p < end && QChar::isLowSurrogate(*p))
            code = QChar::surrogateToUcs4(c, *p++);
        else if (QChar::isSurrogate(c))
            code = 0xfffd; // a lone half of a pair cannot be written as UTF-8
        char bytes[4];
        int n = 0;
        if (code < 0x800) {
            bytes[n++] = static_cast<char>(0xc0 | (code >> 6));
        } else if (code < 0x10000) {
            bytes[n++] = static_cast<char>(0xe0 | (code >> 12));
            bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        } else {
            bytes[n++] = static_cast<char>(0xf0 | (code >> 18));
            bytes[n++] = static_cast<char>(0x80 | ((code >> 12) & 0x3f));
            bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        }
        bytes[n++] = static_cast<char>(0x80 | (code & 0x3f));
        out.append(bytes, n);
    }
    out.append('"');
}

QDateTime dateTimeFromText(QStringView text) {
    qsizetype pos = 0;
    const int year = number(text, pos, 4);
    if (year < 0 || pos >= text.size() || text[pos++] != u'-')
        return {};
    const int month = number(text, pos, 2);
    if (month < 0 || pos >= text.size() || text[pos++] != u'-')
        return {};
    const int day = number(text, pos, 2);
    const QDate date(year, month, day);
    if (day < 0 || !date.isValid())
        return {};
    if (pos == text.size())
        return QDateTime(date, QTime(0, 0), Qt::LocalTime);
    if (text[pos] != u'T' && text[pos] != u' ')
        return {};
    ++pos;
    const int hour = number(text, pos, 2);
    if (hour < 0 || pos >= text.size() || text[pos++] != u':')
        return {};
    const int minute = number(text, pos, 2);
    int second = 0, ms = 0;
    if (minute < 0)
        return {};
    if (pos < text.size() && text[pos] == u':') {
        ++pos;
        second = number(text, pos, 2);
        if (second < 0)
            return {};
        if (pos < text.size() && text[pos] == u'.') {
            ++pos;
            // A fraction of any length, rounded to the millisecond as Qt's drivers read it (at most 999).
            double fraction = 0, scale = 0.1;
            int digits = 0;
            while (pos < text.size() && digit(text[pos]) >= 0) {
                fraction += digit(text[pos]) * scale;
                scale /= 10;
                ++pos;
                ++digits;
            }
            if (digits == 0)
                return {};
            ms = std::min(static_cast<int>(std::lround(fraction * 1000)), 999);
        }
    }
    const QTime time(hour, minute, second, ms);
    if (pos != text.size() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::LocalTime);
}

QTime timeFromText(QStringView text) {
    qsizetype pos = 0;
    const int hour = number(text, pos, 2);
    if (hour < 0 || pos >= text.size() || text[pos++] != u':')
        return {};
    const int minute = number(text, pos, 2);
    if (minute < 0)
        return {};
    // The rest as the seconds of a date and time on the day times are kept on.
    const QDateTime whole = dateTimeFromText(QStringLiteral("1899-12-30T%1:%2%3")
                                                 .arg(hour, 2, 10, QLatin1Char('0'))
                                                 .arg(minute, 2, 10, QLatin1Char('0'))
                                                 .arg(text.mid(pos)));
    return whole.isValid() ? whole.time() : QTime();
}

QByteArray dateTimeText(const QDateTime& dateTime) {
    QByteArray out;
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    if (!date.isValid() || date.year() < 0 || date.year() > 9999)
        return out;
    out.reserve(23);
    appendDigits(out, date.year(), 4);
    out.append('-');
    appendDigits(out, date.month(), 2);
    out.append('-');
    appendDigits(out, date.day(), 2);
    out.append('T');
    appendDigits(out, time.hour(), 2);
    out.append(':');
    appendDigits(out, time.minute(), 2);
    out.append(':');
    appendDigits(out, time.second(), 2);
    out.append('.');
    appendDigits(out, time.msec(), 3);
    return out;
}

RowWriter::RowWriter(const QList<FieldDesc>& fields)
    : m_fields(fields) {}

void RowWriter::appendRow(QByteArray& out, const QSqlQuery& query) const {
    out.append('[');
    for (int i = 0; i < m_fields.size(); ++i) {
        if (i)
            out.append(',');
        if (query.isNull(i))
            out.append("null", 4);
        else
            appendValue(out, i, query.value(i));
    }
    out.append(']');
}

void RowWriter::appendRow(QByteArray& out, const QVariantList& values) const {
    out.append('[');
    for (int i = 0; i < m_fields.size(); ++i) {
        if (i)
            out.append(',');
        appendValue(out, i, i < values.size() ? values.at(i) : QVariant());
    }
    out.append(']');
}

void RowWriter::appendValue(QByteArray& out, int field, const QVariant& value) const {
    if (!value.isValid() || value.isNull()) {
        out.append("null", 4);
        return;
    }
    const int id = value.metaType().id();
    const bool isText = id == QMetaType::QString;
    switch (m_fields.at(field).type) {
    case FieldType::I2:
    case FieldType::I4:
    case FieldType::I8: {
        if (id == QMetaType::Double || id == QMetaType::Float) { // what SQLite holds in the column
            appendDouble(out, value.toDouble());
            return;
        }
        bool ok = true;
        const qlonglong n = value.toLongLong(&ok);
        if (ok && (!isText || QString::number(n) == value.toString()))
            out.append(QByteArray::number(n));
        else if (isText) // SQLite keeps whatever a statement stored: the text is handed on as it is
            appendJsonString(out, value.toString());
        else
            appendDouble(out, value.toDouble());
        return;
    }
    case FieldType::R8: {
        bool ok = true;
        const double d = value.toDouble(&ok);
        if (ok)
            appendDouble(out, d);
        else
            appendJsonString(out, value.toString());
        return;
    }
    case FieldType::Fixed:
        // A decimal travels as the text of its digits, which no client's number type would keep.
        if (id == QMetaType::Double || id == QMetaType::Float) {
            QByteArray digits;
            appendDouble(digits, value.toDouble());
            out.append('"').append(digits).append('"');
        } else {
            appendJsonString(out, value.toString());
        }
        return;
    case FieldType::Boolean:
        if (isText) {
            const QString text = value.toString();
            bool ok = true;
            const qlonglong n = text.toLongLong(&ok);
            if (ok)
                out.append(n != 0 ? "true" : "false");
            else
                appendJsonString(out, text);
        } else {
            out.append(value.toLongLong() != 0 || (id == QMetaType::Bool && value.toBool()) ? "true" : "false");
        }
        return;
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::DateTime: {
        if (isText) {
            const QString text = value.toString();
            const QDateTime parsed = dateTimeFromText(text);
            if (parsed.isValid()) {
                out.append('"').append(dateTimeText(parsed)).append('"');
            } else {
                appendJsonString(out, text);
            }
            return;
        }
        if (id == QMetaType::QTime) {
            out.append("\"1899-12-30T").append(value.toTime().toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1());
            out.append('"');
            return;
        }
        const QByteArray text =
            dateTimeText(id == QMetaType::QDate ? QDateTime(value.toDate(), QTime(0, 0)) : value.toDateTime());
        if (text.isEmpty())
            out.append("null", 4);
        else
            out.append('"').append(text).append('"');
        return;
    }
    case FieldType::Blob:
        out.append('"').append(value.toByteArray().toBase64()).append('"');
        return;
    case FieldType::String:
        break;
    }
    if (isText)
        appendJsonString(out, value.toString());
    else if (id == QMetaType::QByteArray)
        appendJsonString(out, QString::fromUtf8(value.toByteArray()));
    else
        appendJsonString(out, value.toString());
}

QByteArray metadataJson(const QList<FieldDesc>& fields) {
    QByteArray out = "\"fields\":[";
    QList<int> keys;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const FieldDesc& f = fields.at(i);
        if (i)
            out.append(',');
        out.append("{\"name\":");
        appendJsonString(out, f.name);
        out.append(",\"type\":\"").append(fieldTypeName(f.type).toLatin1()).append('"');
        if (f.width > 0)
            out.append(",\"width\":").append(QByteArray::number(f.width));
        if (!f.subtype.isEmpty())
            out.append(",\"subtype\":\"").append(f.subtype.toLatin1()).append('"');
        out.append(",\"required\":").append(f.required ? "true" : "false");
        out.append(",\"readonly\":").append(f.readOnly ? "true" : "false");
        out.append(",\"autoincrement\":").append(f.autoIncrement ? "true" : "false");
        out.append(",\"flags\":").append(QByteArray::number(f.flags));
        if (!f.table.isEmpty()) {
            out.append(",\"table\":");
            appendJsonString(out, f.table);
        }
        out.append('}');
        if (f.flags & InKey)
            keys.append(static_cast<int>(i));
    }
    out.append("],\"params\":{\"primaryKey\":[");
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (i)
            out.append(',');
        out.append(QByteArray::number(keys.at(i)));
    }
    out.append("]}");
    return out;
}

PacketWriter::PacketWriter(const QList<FieldDesc>* fields)
    : m_fields(fields) {
    // The metadata goes first, as the fields are now; the rows may still widen a field's type, so it is
    // written again at the end, in its place (of the same length: "i4" becomes "i8") instead of before a
    // packet moved whole.
    m_out = m_fields ? '{' + metadataJson(*m_fields) + ',' : QByteArray("{");
    m_headSize = m_out.size();
    m_out.append("\"rows\":[");
}

QByteArray PacketWriter::finish() && {
    m_out.append("],\"rowCount\":").append(QByteArray::number(m_rows)).append('}');
    if (m_fields) {
        const QByteArray head = '{' + metadataJson(*m_fields) + ',';
        if (head.size() == m_headSize)
            std::memcpy(m_out.data(), head.constData(), static_cast<size_t>(head.size()));
        else
            m_out.replace(0, m_headSize, head);
    }
    return std::move(m_out);
}

QByteArray packetJson(const QList<FieldDesc>* fields, const QList<QByteArray>& rows) {
    PacketWriter writer(fields);
    for (const QByteArray& row : rows)
        writer.appendRow([&](QByteArray& out) {
            out.append(row);
            return true;
        });
    return std::move(writer).finish();
}

std::optional<QList<Change>> parseDelta(const QByteArray& json, QString* error) {
    const auto fail = [&](const QString& why) -> std::optional<QList<Change>> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject())
        return fail(QStringLiteral("The delta is not a JSON object"));
    return parseDelta(document.object(), error);
}

std::optional<QList<Change>> parseDelta(const QJsonObject& delta, QString* error) {
    const auto fail = [&](const QString& why) -> std::optional<QList<Change>> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QJsonValue changes = delta.value(QStringLiteral("changes"));
    if (!changes.isArray())
        return fail(QStringLiteral("The delta has no \"changes\" array"));
    QList<Change> result;
    const QJsonArray list = changes.toArray();
    result.reserve(list.size());
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QJsonObject item = list.at(i).toObject();
        Change change;
        change.index = static_cast<int>(i);
        const int state = item.value(QStringLiteral("state")).toInt(-1);
        if (state != Change::Deleted && state != Change::Inserted && state != Change::Modified)
            return fail(QStringLiteral("Change %1 has no state 2 (deleted), 4 (inserted) or 8 (modified)").arg(i));
        change.state = static_cast<Change::State>(state);
        const QJsonValue oldValues = item.value(QStringLiteral("old"));
        const QJsonValue newValues = item.value(QStringLiteral("new"));
        if (state != Change::Inserted && !oldValues.isObject())
            return fail(QStringLiteral("Change %1 has no \"old\" values").arg(i));
        if (state != Change::Deleted && !newValues.isObject())
            return fail(QStringLiteral("Change %1 has no \"new\" values").arg(i));
        change.oldValues = oldValues.toObject();
        change.newValues = newValues.toObject();
        result.append(std::move(change));
    }
    return result;
}

} // namespace morvane::provider
