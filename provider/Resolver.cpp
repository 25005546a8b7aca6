#include "Resolver.h"

#include "Automation.h"
#include "DbSchema.h"
#include "NativeRows.h"

#include <QHash>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSqlError>
#include <QSqlIndex>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

namespace morvane::provider {

using platform::SqlProvider;

namespace {

// One form of date text for all that this server writes.
QString dateBindText(const QDateTime& dateTime) {
    return dateTime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

// SQLite keeps dates as text. PostgreSQL is given the text too: Qt's driver sends a date and time as
// a UTC instant, which a column without a zone takes in the session's zone, shifting it by the
// difference between this process's zone and the session's. SQL Server's driver binds the fields.
QVariant bindableDate(const QDateTime& dateTime, SqlProvider provider) {
    return provider == SqlProvider::SqlServer ? QVariant(dateTime) : QVariant(dateBindText(dateTime));
}

// A JSON number or numeric text as the integer it is, exactly; nullopt for a fraction or anything else.
std::optional<qint64> exactInteger(const QJsonValue& value) {
    if (value.isString()) {
        bool ok = false;
        const qint64 number = value.toString().trimmed().toLongLong(&ok);
        return ok ? std::optional<qint64>(number) : std::nullopt;
    }
    if (!value.isDouble())
        return std::nullopt;
    // Qt keeps a JSON integer that fits in 64 bits as the integer it is.
    const QVariant exact = value.toVariant();
    if (exact.typeId() == QMetaType::LongLong)
        return exact.toLongLong();
    const double number = value.toDouble();
    if (std::trunc(number) != number || !(number >= -9223372036854775808.0 && number < 9223372036854775808.0))
        return std::nullopt;
    return static_cast<qint64>(number);
}

// A JSON number as text: an integer with every digit, any other number in its shortest exact form.
QByteArray numberText(const QJsonValue& value) {
    const QVariant exact = value.toVariant();
    if (exact.typeId() == QMetaType::LongLong)
        return QByteArray::number(exact.toLongLong());
    QByteArray out;
    appendDouble(out, value.toDouble());
    return out;
}

struct ChangeFailure {
    QString message;
    QString context;
    QString code;
};

// One change's statement, made and run.
class ChangeRunner {
public:
    ChangeRunner(QSqlDatabase& db, SqlProvider provider, const QString& table, const QList<FieldDesc>& fields,
                 const ResolveRequest& request)
        : m_db(db)
        , m_native(db)
        , m_pipeline(db)
        , m_provider(provider)
        , m_table(sqlName(table, provider))
        , m_tableName(table)
        , m_fields(fields)
        , m_request(request) {
        for (qsizetype i = 0; i < m_fields.size(); ++i) {
            if (m_fields.at(i).autoIncrement) {
                m_returnsKey = ReturnedKey{m_fields.at(i).name, static_cast<int>(i)};
                break;
            }
        }
        QSet<QString> folded;
        for (const FieldDesc& f : m_fields)
            folded.insert(f.name.toCaseFolded());
        m_exactNames = folded.size() == m_fields.size();
    }

    // Empty on success. `fast`: SQLite's statements are run straight through the library; a failure then
    // says nothing (the delta is taken again the careful way, which tells it in the driver's words).
    std::optional<ChangeFailure> apply(const Change& change, bool fast = false) {
        m_sql.clear();
        m_binds.clear();
        if (auto unknown = spread(change.oldValues, m_old))
            return unknown;
        if (auto unknown = spread(change.newValues, m_new))
            return unknown;
        std::optional<ChangeFailure> built;
        switch (change.state) {
        case Change::Inserted:
            built = buildInsert(change, fast && m_native.usable());
            break;
        case Change::Deleted:
            built = buildWhere(QStringLiteral("delete from %1").arg(m_table));
            break;
        case Change::Modified:
            built = buildUpdate(change);
            break;
        }
        if (built)
            return built;
        if (m_sql.isEmpty())
            return std::nullopt; // a modified row whose values did not change
        if (fast && m_native.usable())
            return applyNative(change);
        if (fast && m_pipeline.usable() && !m_request.passwordHashes) {
            // Answered in flush(), with the others.
            m_insertedKey.clear();
            m_insertedKeyValue = QVariant();
            if (!m_pipeline.send(m_sql, m_binds))
                return ChangeFailure{};
            m_queued.append({change.index, change.state});
            return std::nullopt;
        }
        QSqlQuery& query = prepared(m_sql);
        if (m_failedPrepare)
            return ChangeFailure{errorText(query.lastError()), m_sql, query.lastError().nativeErrorCode()};
        for (const QVariant& value : m_binds)
            query.addBindValue(value);
        if (!query.exec())
            return ChangeFailure{errorText(query.lastError()), m_sql, query.lastError().nativeErrorCode()};
        if (change.state == Change::Inserted) {
            // The key comes back from the insert itself: asked afterwards, another caller's insert on
            // the shared connection could come between.
            m_insertedKey.clear();
            m_insertedKeyValue = QVariant();
            if (m_returnsKey && query.next()) {
                m_insertedKeyValue = query.value(0);
                m_insertedKey = "{";
                appendJsonString(m_insertedKey, m_fields.at(m_returnsKey->index).name);
                m_insertedKey.append(':');
                RowWriter(m_fields).appendValue(m_insertedKey, m_returnsKey->index, query.value(0));
                m_insertedKey.append('}');
            }
            query.finish();
            return std::nullopt;
        }
        const int affected = query.numRowsAffected();
        query.finish();
        if (affected == 1)
            return std::nullopt;
        return ChangeFailure{affected == 0 ? QStringLiteral("Record not found")
                                           : QStringLiteral("Update affected more than 1 record."),
                             m_sql, QString()};
    }

    std::optional<ChangeFailure> applyNative(const Change& change) {
        int affected = 0;
        QVariant returned;
        if (!m_native.run(m_sql, m_binds, &affected, &returned))
            return ChangeFailure{};
        if (change.state == Change::Inserted && m_keyByRowId && affected == 1)
            returned = QVariant(static_cast<qlonglong>(m_native.lastRowId()));
        if (change.state == Change::Inserted) {
            m_insertedKey.clear();
            m_insertedKeyValue = QVariant();
            if (m_returnsKey && returned.isValid()) {
                m_insertedKeyValue = returned;
                m_insertedKey = "{";
                appendJsonString(m_insertedKey, m_fields.at(m_returnsKey->index).name);
                m_insertedKey.append(':');
                RowWriter(m_fields).appendValue(m_insertedKey, m_returnsKey->index, returned);
                m_insertedKey.append('}');
            }
            return std::nullopt;
        }
        return affected == 1 ? std::nullopt : std::optional<ChangeFailure>(ChangeFailure{});
    }

    // The answers of the changes sent ahead, once every one of them is sent: the keys of the inserted rows
    // in `keys` (with the change's index); false when any failed. The connection is Qt's again after it.
    bool flush(QList<QPair<int, QByteArray>>* keys) {
        QList<PostgresPipeline::Answer> answers;
        const bool answered = m_pipeline.finish(&answers);
        const QList<QPair<int, Change::State>> queued = std::exchange(m_queued, {});
        if (!answered || answers.size() != queued.size())
            return false;
        for (qsizetype i = 0; i < queued.size(); ++i) {
            if (queued.at(i).second != Change::Inserted) {
                if (answers.at(i).changed != 1)
                    return false;
                continue;
            }
            if (!m_returnsKey || !answers.at(i).returned.isValid())
                continue;
            QByteArray key = "{";
            appendJsonString(key, m_fields.at(m_returnsKey->index).name);
            key.append(':');
            RowWriter(m_fields).appendValue(key, m_returnsKey->index, answers.at(i).returned);
            key.append('}');
            keys->append({queued.at(i).first, key});
        }
        return true;
    }

    // The row as the table holds it now, by the change's key: a JSON object, or null when it is gone.
    QByteArray currentRow(const Change& change) {
        const FieldDesc* key = keyField();
        const QJsonObject& old = change.state == Change::Inserted ? change.newValues : change.oldValues;
        const QJsonValue keyValue = key ? lookup(old, key->name) : QJsonValue();
        QString why;
        const auto bound = key && !keyValue.isUndefined()
                               ? bindableFromJson(*key, keyValue, m_provider, &why, BindPurpose::Locate)
                               : std::nullopt;
        if (!bound || bound->isNull())
            return "null";
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.prepare(
                QStringLiteral("select * from %1 where %2 = ?").arg(m_table, sqlName(key->name, m_provider))))
            return "null";
        query.addBindValue(*bound);
        if (!query.exec() || !query.next())
            return "null";
        QByteArray out = "{";
        const RowWriter writer(m_fields);
        const QSqlRecord record = query.record();
        for (int i = 0; i < record.count() && i < m_fields.size(); ++i) {
            if (i)
                out.append(',');
            appendJsonString(out, m_fields.at(i).name);
            out.append(':');
            if (query.isNull(i))
                out.append("null");
            else
                writer.appendValue(out, i, query.value(i));
        }
        out.append('}');
        return out;
    }

    static QString errorText(const QSqlError& error) {
        const QString text = error.text().trimmed();
        return text.isEmpty() ? QStringLiteral("unknown database error") : text;
    }

    const QString& lastStatement() const { return m_sql; }
    // The key the server gave the row of the last insert, as a JSON object; empty when it has none.
    const QByteArray& insertedKey() const { return m_insertedKey; }
    const QVariant& insertedKeyValue() const { return m_insertedKeyValue; }

private:
    // The field a client's name stands for (-1: none), by a comparison that ignores case; a name once seen
    // is found again by its hash.
    int fieldIndex(const QString& name) {
        const auto known = m_indexByName.constFind(name);
        if (known != m_indexByName.constEnd())
            return *known;
        int index = -1;
        for (qsizetype i = 0; i < m_fields.size() && index < 0; ++i) {
            if (m_fields.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
                index = static_cast<int>(i);
        }
        m_indexByName.insert(name, index);
        return index;
    }

    const FieldDesc* keyField() const {
        for (const FieldDesc& f : m_fields) {
            if (f.flags & InKey)
                return &f;
        }
        return nullptr;
    }

    static QJsonValue lookup(const QJsonObject& values, const QString& name) {
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
            if (it.key().compare(name, Qt::CaseInsensitive) == 0)
                return it.value();
        }
        return QJsonValue(QJsonValue::Undefined);
    }

    // The values of a change by the table's fields (undefined where it has none; of names that differ
    // only in case, the first). A name that is neither a column of the table nor a field of the packet the
    // client edited is an error; a joined field of that packet is simply not written.
    std::optional<ChangeFailure> spread(const QJsonObject& values, QList<QJsonValue>& byField) {
        byField.fill(QJsonValue(QJsonValue::Undefined), m_fields.size());
        // Most clients name the fields as the table does: each field looked up by its own name then
        // places every value without a copy of each name, where the loop below makes one per value.
        if (m_exactNames) {
            qsizetype found = 0;
            for (qsizetype i = 0; i < m_fields.size() && found < values.size(); ++i) {
                const auto at = values.constFind(m_fields.at(i).name);
                if (at != values.constEnd()) {
                    byField[i] = *at;
                    ++found;
                }
            }
            if (found == values.size())
                return std::nullopt;
            byField.fill(QJsonValue(QJsonValue::Undefined), m_fields.size());
        }
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
            const int index = fieldIndex(it.key());
            if (index >= 0) {
                if (byField.at(index).isUndefined())
                    byField[index] = it.value();
                continue;
            }
            const bool known =
                std::any_of(m_request.knownFields.begin(), m_request.knownFields.end(),
                            [&](const FieldDesc& f) { return f.name.compare(it.key(), Qt::CaseInsensitive) == 0; });
            if (!known)
                return ChangeFailure{QStringLiteral("Field '%1' not found").arg(it.key()), QString(), QString()};
        }
        return std::nullopt;
    }

    std::optional<ChangeFailure> bindValue(const FieldDesc& f, const QJsonValue& value,
                                           BindPurpose purpose = BindPurpose::Write) {
        QString why;
        const auto bound = bindableFromJson(f, value, m_provider, &why, purpose);
        if (!bound)
            return ChangeFailure{why, QString(), QString()};
        m_binds.append(*bound);
        return std::nullopt;
    }

    // The values of the written columns of the change's new values bound in order, m_written marking
    // those columns. The server assigns identity values: an insert leaves them out, and a change that
    // would move a row to another one is refused rather than dropped.
    std::optional<ChangeFailure> bindWritten(const Change& change) {
        m_written.fill('0', m_fields.size());
        for (qsizetype i = 0; i < m_fields.size(); ++i) {
            const FieldDesc& f = m_fields.at(i);
            if (f.autoIncrement && change.state == Change::Modified) {
                const QJsonValue& wanted = m_new.at(i);
                if (!wanted.isUndefined() && !sameValue(wanted, m_old.at(i)))
                    return ChangeFailure{
                        QStringLiteral("Field '%1' is given its value by the server and cannot be changed").arg(f.name),
                        QString(), QString()};
            }
            if (!(f.flags & InUpdate) || f.autoIncrement)
                continue;
            const QJsonValue& value = m_new.at(i);
            if (value.isUndefined())
                continue;
            if (auto failure = bindValue(f, value))
                return failure;
            m_written[i] = '1';
        }
        return std::nullopt;
    }

    // The names of the columns m_written marks, in order: only wanted when a statement is made.
    QStringList writtenColumns() const {
        QStringList columns;
        for (qsizetype i = 0; i < m_fields.size(); ++i) {
            if (m_written.at(i) == '1')
                columns.append(sqlName(m_fields.at(i).name, m_provider));
        }
        return columns;
    }

    // `native`: run through the SQLite library, which tells a row id key without RETURNING.
    std::optional<ChangeFailure> buildInsert(const Change& change, bool native) {
        if (auto failure = bindWritten(change))
            return failure;
        if (native && m_returnsKey && !m_rowIdKey)
            m_rowIdKey = m_native.isRowId(m_tableName, m_returnsKey->name);
        m_keyByRowId = native && m_rowIdKey.value_or(false);
        // The rows of a delta mostly give the same columns: their statement is made once.
        QHash<QByteArray, QString>& cache = m_keyByRowId ? m_rowIdInsertSql : m_insertSql;
        const auto made = cache.constFind(m_written);
        if (made != cache.constEnd()) {
            m_sql = *made;
            return std::nullopt;
        }
        // SQL Server names the returned key before the values, the others after them.
        const QStringList columns = writtenColumns();
        QString output, returning;
        if (m_returnsKey && !m_keyByRowId) {
            const QString key = sqlName(m_returnsKey->name, m_provider);
            if (m_provider == SqlProvider::SqlServer)
                output = QStringLiteral(" output inserted.") + key;
            else
                returning = QStringLiteral(" returning ") + key;
        }
        if (columns.isEmpty()) {
            m_sql = QStringLiteral("insert into %1%2 default values%3").arg(m_table, output, returning);
        } else {
            QStringList marks(columns.size(), QStringLiteral("?"));
            m_sql = QStringLiteral("insert into %1 (%2)%3 values (%4)%5")
                        .arg(m_table, columns.join(QStringLiteral(", ")), output, marks.join(QStringLiteral(", ")),
                             returning);
        }
        cache.insert(m_written, m_sql);
        return std::nullopt;
    }

    // The same value of an integer field, however the client wrote it (5, 5.0, "5").
    static bool sameValue(const QJsonValue& a, const QJsonValue& b) {
        const auto x = exactInteger(a), y = exactInteger(b);
        return x && y ? *x == *y : a == b;
    }

    std::optional<ChangeFailure> buildUpdate(const Change& change) {
        if (auto failure = bindWritten(change))
            return failure;
        const QStringList columns = writtenColumns();
        if (columns.isEmpty())
            return checkKey(); // nothing to write; the key is still required
        return buildWhere(QStringLiteral("update %1 set %2 = ?").arg(m_table, columns.join(QStringLiteral(" = ?, "))));
    }

    std::optional<ChangeFailure> checkKey() const {
        bool anyKey = false;
        for (qsizetype i = 0; i < m_fields.size(); ++i) {
            if (!(m_fields.at(i).flags & InKey))
                continue;
            anyKey = true;
            const QJsonValue& value = m_old.at(i);
            if (value.isUndefined() || value.isNull())
                return ChangeFailure{QStringLiteral("Unable to find record.  No key specified"), QString(), QString()};
        }
        if (!anyKey)
            return ChangeFailure{QStringLiteral("Unable to find record.  No key specified"), QString(), QString()};
        return std::nullopt;
    }

    std::optional<ChangeFailure> buildWhere(const QString& head) {
        if (auto missing = checkKey())
            return missing;
        QStringList conditions;
        for (qsizetype i = 0; i < m_fields.size(); ++i) {
            const FieldDesc& f = m_fields.at(i);
            const bool key = f.flags & InKey;
            bool inWhere = key;
            if (m_request.mode == UpdateMode::WhereAll)
                inWhere = key || (f.flags & InWhere);
            else if (m_request.mode == UpdateMode::WhereChanged)
                inWhere = key || ((f.flags & InWhere) && !m_new.at(i).isUndefined());
            const QJsonValue old = m_old.at(i);
            if (!inWhere || old.isUndefined())
                continue;
            const QString name = sqlName(f.name, m_provider);
            if (old.isNull()) {
                conditions.append(name + QStringLiteral(" is null"));
                continue;
            }
            if (f.type == FieldType::DateTime && old.isString()) {
                const QDateTime when = dateTimeFromText(old.toString());
                if (when.isValid() && m_provider == SqlProvider::SQLite) {
                    // Whatever form of date text the row holds; within a millisecond of the packet's.
                    conditions.append(QStringLiteral("abs(julianday(%1) - julianday(?)) < 1e-8").arg(name));
                    m_binds.append(dateBindText(when));
                    continue;
                }
                if (when.isValid() && m_provider == SqlProvider::PostgreSQL) {
                    // Packets carry milliseconds; the server may hold microseconds.
                    conditions.append(QStringLiteral("(%1 > ? and %1 < ?)").arg(name));
                    m_binds.append(bindableDate(when.addMSecs(-1), m_provider));
                    m_binds.append(bindableDate(when.addMSecs(1), m_provider));
                    continue;
                }
                if (!when.isValid()) {
                    // Text in a date column that is no date is matched as the text it is.
                    conditions.append(name + QStringLiteral(" = ?"));
                    m_binds.append(old.toString());
                    continue;
                }
            }
            if (auto failure = bindValue(f, old, BindPurpose::Locate))
                return failure;
            conditions.append(name + QStringLiteral(" = ?"));
        }
        m_sql = head + QStringLiteral(" where ") + conditions.join(QStringLiteral(" and "));
        return std::nullopt;
    }

    QSqlQuery& prepared(const QString& sql) {
        m_failedPrepare = false;
        auto found = m_prepared.find(sql);
        if (found == m_prepared.end()) {
            auto query = std::make_unique<QSqlQuery>(m_db);
            if (!query->prepare(sql))
                m_failedPrepare = true;
            found = m_prepared.insert(sql, std::shared_ptr<QSqlQuery>(std::move(query)));
        }
        return **found;
    }

    struct ReturnedKey {
        QString name;
        int index = 0;
    };

    QSqlDatabase& m_db;
    NativeStatements m_native;
    PostgresPipeline m_pipeline;
    QList<QPair<int, Change::State>> m_queued; // sent ahead through the pipeline, not answered yet
    SqlProvider m_provider;
    QString m_table;
    QString m_tableName;                     // as the client named it, unquoted
    std::optional<ReturnedKey> m_returnsKey; // the identity column, given back by every insert
    std::optional<bool> m_rowIdKey;          // SQLite: whether that column is the row id (asked once)
    bool m_keyByRowId = false;               // the statement made last takes its key from the row id
    QByteArray m_insertedKey;
    QVariant m_insertedKeyValue;
    const QList<FieldDesc>& m_fields;
    const ResolveRequest& m_request;
    QString m_sql;
    QVariantList m_binds;
    QHash<QString, int> m_indexByName;
    bool m_exactNames = true;       // no two fields' names differ in case only: a name as the table spells it is one
    QList<QJsonValue> m_old, m_new; // the change's values by field
    QByteArray m_written;           // '1' for every field the change writes
    QHash<QByteArray, QString> m_insertSql;
    QHash<QByteArray, QString> m_rowIdInsertSql; // the same, without RETURNING
    QHash<QString, std::shared_ptr<QSqlQuery>> m_prepared;
    bool m_failedPrepare = false;
};

class Savepoint {
public:
    Savepoint(QSqlDatabase& db, SqlProvider provider)
        : m_db(db)
        , m_sqlServer(provider == SqlProvider::SqlServer) {}
    bool begin() { return run(m_sqlServer ? "save transaction morvane_change" : "savepoint morvane_change"); }
    void release() {
        if (!m_sqlServer)
            run("release savepoint morvane_change");
    }
    void undo() {
        run(m_sqlServer ? "rollback transaction morvane_change" : "rollback to savepoint morvane_change");
        release();
    }
    QString error() const { return m_error; }

private:
    bool run(const char* sql) {
        QSqlQuery query(m_db);
        if (query.exec(QLatin1String(sql)))
            return true;
        m_error = ChangeRunner::errorText(query.lastError());
        return false;
    }
    QSqlDatabase& m_db;
    bool m_sqlServer;
    QString m_error;
};

// With a change of the operators' table: the operator's password hash, written, replaced or removed with
// the row, in the same transaction.
std::optional<ChangeFailure> storePassword(QSqlDatabase& db, SqlProvider provider, const Change& change,
                                           const ChangeRunner& runner, const QHash<int, QString>& hashes) {
    const bool removed = change.state == Change::Deleted;
    if (!removed && !hashes.contains(change.index))
        return std::nullopt;
    QVariant id = runner.insertedKeyValue();
    if (change.state != Change::Inserted) {
        for (auto it = change.oldValues.constBegin(); it != change.oldValues.constEnd(); ++it) {
            if (it.key().compare(QLatin1String("ID"), Qt::CaseInsensitive) == 0)
                id = exactInteger(it.value()) ? QVariant(*exactInteger(it.value())) : QVariant();
        }
    }
    if (!id.isValid() || id.isNull())
        return ChangeFailure{QStringLiteral("The operator's key is not known: the password cannot be stored"),
                             QString(), QString()};
    QSqlQuery query(db);
    const QString dropped = QStringLiteral("delete from %1 where operatorid = ?").arg(db::kOperatorPasswordTable);
    query.prepare(dropped);
    query.addBindValue(id);
    if (!query.exec())
        return ChangeFailure{ChangeRunner::errorText(query.lastError()), dropped, query.lastError().nativeErrorCode()};
    const QString hash = hashes.value(change.index);
    if (removed || hash.isEmpty())
        return std::nullopt;
    const QString stored =
        QStringLiteral("insert into %1 (operatorid, hash, changed) values (?, ?, ?)").arg(db::kOperatorPasswordTable);
    query.prepare(stored);
    query.addBindValue(id);
    query.addBindValue(hash);
    query.addBindValue(bindableDate(QDateTime::currentDateTime(), provider));
    if (!query.exec())
        return ChangeFailure{ChangeRunner::errorText(query.lastError()), stored, query.lastError().nativeErrorCode()};
    return std::nullopt;
}

const char* categoryOf(Change::State state) {
    switch (state) {
    case Change::Inserted:
        return "insert";
    case Change::Deleted:
        return "delete";
    case Change::Modified:
        break;
    }
    return "update";
}

} // namespace

QString sqlName(const QString& name, SqlProvider provider) {
    const auto letter = [](QChar c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_'; };
    const bool plain = !name.isEmpty() && letter(name.front()) && std::all_of(name.begin(), name.end(), [&](QChar c) {
        return letter(c) || (c >= u'0' && c <= u'9');
    });
    if (plain)
        return name;
    if (provider == SqlProvider::SqlServer)
        return QLatin1Char('[') + QString(name).replace(QLatin1Char(']'), QStringLiteral("]]")) + QLatin1Char(']');
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

std::optional<QVariant> bindableFromJson(const FieldDesc& field, const QJsonValue& value, SqlProvider provider,
                                         QString* why, BindPurpose purpose) {
    const auto refuse = [&](const QString& reason) -> std::optional<QVariant> {
        if (why)
            *why = QStringLiteral("Field '%1': %2").arg(field.name, reason);
        return std::nullopt;
    };
    if (value.isNull())
        return QVariant();
    if (value.isArray() || value.isObject() || value.isUndefined())
        return refuse(QStringLiteral("a value is a number, a text, true/false or null"));
    switch (field.type) {
    case FieldType::I2:
    case FieldType::I4:
    case FieldType::I8: {
        const std::optional<qint64> number = exactInteger(value);
        if (!number) {
            if (value.isString())
                return refuse(QStringLiteral("\"%1\" is not an integer").arg(value.toString()));
            if (value.isDouble())
                return refuse(QStringLiteral("%1 is not an integer of type %2")
                                  .arg(QString::fromLatin1(numberText(value)), fieldTypeName(field.type)));
            return refuse(QStringLiteral("an integer is expected"));
        }
        const bool wide = field.type == FieldType::I8 || purpose == BindPurpose::Locate;
        const qint64 low = wide ? std::numeric_limits<qint64>::min() : field.type == FieldType::I2 ? -32768 : INT32_MIN;
        const qint64 high = wide ? std::numeric_limits<qint64>::max() : field.type == FieldType::I2 ? 32767 : INT32_MAX;
        if (*number < low || *number > high)
            return refuse(
                QStringLiteral("%1 is not an integer of type %2").arg(*number).arg(fieldTypeName(field.type)));
        return wide ? QVariant(*number) : QVariant(static_cast<int>(*number));
    }
    case FieldType::R8: {
        if (value.isDouble())
            return QVariant(value.toDouble());
        bool ok = false;
        const double number = value.toString().trimmed().toDouble(&ok);
        if (!value.isString() || !ok)
            return refuse(QStringLiteral("a number is expected"));
        return QVariant(number);
    }
    case FieldType::Fixed: {
        // A decimal keeps every digit as text; the database converts it exactly.
        static const QRegularExpression decimal(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
        if (value.isDouble())
            return QVariant(QString::fromLatin1(numberText(value)));
        const QString text = value.toString().trimmed();
        if (!value.isString() || !decimal.match(text).hasMatch())
            return refuse(QStringLiteral("a number is expected"));
        return QVariant(text);
    }
    case FieldType::Boolean:
        if (value.isBool())
            return QVariant(value.toBool() ? 1 : 0);
        if (value.isDouble() && (value.toDouble() == 0 || value.toDouble() == 1))
            return QVariant(static_cast<int>(value.toDouble()));
        return refuse(QStringLiteral("true or false is expected"));
    case FieldType::Date:
    case FieldType::Time:
    case FieldType::DateTime: {
        const QDateTime when = value.isString() ? dateTimeFromText(value.toString()) : QDateTime();
        if (!when.isValid())
            return refuse(QStringLiteral("a date is written \"YYYY-MM-DDTHH:MM:SS.zzz\""));
        return bindableDate(when, provider);
    }
    case FieldType::Blob: {
        if (!value.isString())
            return refuse(QStringLiteral("a blob is written in base64"));
        const auto bytes =
            QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!bytes)
            return refuse(QStringLiteral("a blob is written in base64"));
        return QVariant(*bytes);
    }
    case FieldType::String:
        break;
    }
    QString text;
    if (value.isString())
        text = value.toString();
    else if (value.isBool())
        text = value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    else
        text = QString::fromLatin1(numberText(value));
    if (field.width > 0 && text.size() > field.width)
        return refuse(QStringLiteral("%1 characters do not fit its width of %2").arg(text.size()).arg(field.width));
    return QVariant(text);
}

QVariant bindable(const platform::Variant& value, SqlProvider provider) {
    using platform::VarType;
    switch (value.type()) {
    case VarType::Empty:
    case VarType::Null:
        return QVariant();
    case VarType::I4:
        return QVariant(value.toInt32());
    case VarType::R8:
        return QVariant(value.toDouble());
    case VarType::Bool:
        return QVariant(value.toBool() ? 1 : 0);
    case VarType::BStr:
        return QVariant(value.toText());
    case VarType::Date:
        return bindableDate(value.toDateTime(), provider);
    case VarType::Bytes:
    case VarType::Packet:
        return QVariant(value.toBytes());
    case VarType::Array:
    case VarType::Dispatch:
        break;
    }
    throw platform::AutomationError(
        platform::hr::E_UNEXPECTED,
        QStringLiteral("A parameter's value is a single value, not %1").arg(platform::varTypeName(value.type())));
}

ResolveOutcome resolveDelta(platform::SqlConnection& connection, const ResolveRequest& request) {
    return connection.call([&](QSqlDatabase& db) {
        ResolveOutcome outcome;
        if (!connection.ensureUsable(db, &outcome.error))
            return outcome;
        // A delta stopped (its limit, its client gone, the server closing) is undone whole.
        const platform::SqlConnection::StatementGuard guard(connection, request.limit, statementInterrupter(db));
        const auto stopped = [&] {
            const platform::StatementStop stop = guard.stop();
            if (stop == platform::StatementStop::None)
                return false;
            outcome.error = platform::statementStopText(stop, request.limit, QStringLiteral("DeltaTimeout"));
            outcome.applied = 0;
            outcome.errorCount = 0;
            return true;
        };
        if (stopped())
            return outcome;
        const SqlProvider provider = connection.provider();
        QSqlRecord record = db.record(request.table);
        // PostgreSQL folds an unquoted name to lower case; its catalogue knows only that spelling.
        if (record.isEmpty() && provider == SqlProvider::PostgreSQL)
            record = db.record(request.table.toLower());
        if (record.isEmpty()) {
            outcome.error = QStringLiteral("Table not found: %1").arg(request.table);
            connection.checkAfterFailure(db);
            return outcome;
        }
        QList<FieldDesc> fields = describeFields(record, request.table, provider);
        if (std::none_of(fields.begin(), fields.end(), [](const FieldDesc& f) { return f.flags & InKey; })) {
            // A table this server did not create: its primary key as the database knows it.
            const QSqlIndex key = db.primaryIndex(request.table);
            for (FieldDesc& f : fields) {
                if (key.contains(f.name))
                    f.flags |= InKey;
            }
        }
        ChangeRunner runner(db, provider, request.table, fields, request);
        // First without a savepoint per change, which costs a round trip each on a server; only when a
        // change fails is the whole delta rolled back and taken again change by change.
        for (const bool careful : {false, true}) {
            outcome.applied = 0;
            outcome.errorCount = 0;
            QByteArray keys;
            if (!db.transaction()) {
                outcome.error = ChangeRunner::errorText(db.lastError());
                connection.checkAfterFailure(db);
                return outcome;
            }
            QByteArray errors;
            bool exceeded = false;
            bool retry = false;
            for (const Change& change : *request.changes) {
                Savepoint savepoint(db, provider);
                std::optional<ChangeFailure> failure;
                if (careful && !savepoint.begin())
                    failure = ChangeFailure{savepoint.error(), QString(), QString()};
                else
                    failure = runner.apply(change, !careful);
                if (!failure && request.passwordHashes)
                    failure = storePassword(db, provider, change, runner, *request.passwordHashes);
                if (failure && stopped()) {
                    QList<QPair<int, QByteArray>> unused;
                    runner.flush(&unused);
                    db.rollback();
                    return outcome;
                }
                if (!failure) {
                    if (careful)
                        savepoint.release();
                    ++outcome.applied;
                    if (change.state == Change::Inserted && !runner.insertedKey().isEmpty()) {
                        if (!keys.isEmpty())
                            keys.append(',');
                        keys.append("{\"index\":").append(QByteArray::number(change.index));
                        keys.append(",\"key\":").append(runner.insertedKey()).append('}');
                    }
                    continue;
                }
                if (!careful) {
                    retry = true;
                    break;
                }
                savepoint.undo();
                ++outcome.errorCount;
                if (!errors.isEmpty())
                    errors.append(',');
                errors.append("{\"index\":").append(QByteArray::number(change.index));
                errors.append(",\"response\":\"skip\",\"message\":");
                appendJsonString(errors, failure->message);
                errors.append(",\"context\":");
                appendJsonString(errors, failure->context);
                errors.append(",\"category\":\"").append(categoryOf(change.state)).append("\",\"code\":");
                appendJsonString(errors, failure->code);
                errors.append(",\"row\":").append(runner.currentRow(change)).append('}');
                if (request.maxErrors >= 0 && outcome.errorCount > request.maxErrors) {
                    exceeded = true;
                    break;
                }
            }
            if (!careful) {
                // What went ahead through the pipeline is answered now (the connection is Qt's again);
                // its keys come in the order of the changes, as they would one by one.
                QList<QPair<int, QByteArray>> sentKeys;
                if (!runner.flush(&sentKeys)) {
                    retry = true;
                    if (stopped()) {
                        db.rollback();
                        return outcome;
                    }
                }
                for (const auto& [index, key] : std::as_const(sentKeys)) {
                    if (!keys.isEmpty())
                        keys.append(',');
                    keys.append("{\"index\":").append(QByteArray::number(index));
                    keys.append(",\"key\":").append(key).append('}');
                }
            }
            if (retry || exceeded) {
                db.rollback();
                outcome.applied = 0;
                if (retry)
                    continue;
            } else if (!db.commit()) {
                outcome.error = ChangeRunner::errorText(db.lastError());
                db.rollback();
                connection.checkAfterFailure(db);
                outcome.applied = 0;
                return outcome;
            }
            if (exceeded)
                keys.clear(); // the rows are gone again
            if (outcome.errorCount || !keys.isEmpty()) {
                outcome.resultPacket = "{\"errors\":[" + errors +
                                       "],\"errorCount\":" + QByteArray::number(outcome.errorCount) +
                                       ",\"rolledBack\":" + (exceeded ? "true" : "false") + ",\"keys\":[" + keys + "]}";
            }
            break;
        }
        return outcome;
    });
}

} // namespace morvane::provider
