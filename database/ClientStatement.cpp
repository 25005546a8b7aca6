#include "ClientStatement.h"

#include <QRegularExpression>
#include <QSet>

#include <QSqlDatabase>
#include <utility>

namespace morvane::db {

namespace {

platform::SqlResult failure(const QString& text) {
    platform::SqlResult result;
    result.ok = false;
    result.error = text;
    return result;
}

// SQL Server hands back "select @i" as a result of one unnamed column and one row.
void addGroupNumberResult(platform::SqlResult& result, const QVariant& group) {
    platform::SqlRowSet set;
    set.columns = QStringList{QString()};
    set.rows.append(QVariantList{group});
    result.sets.append(std::move(set));
    result.columns = result.sets.first().columns;
    result.rows = result.sets.first().rows;
}

// Runs the steps of one emulated procedure on the connection's thread under a savepoint, so that they
// are all or nothing and no other caller's statement runs between them; a savepoint also nests inside
// a transaction the client may have open.
template <typename Steps>
platform::SqlResult inOneTransaction(platform::SqlConnection& connection, Steps steps) {
    return connection.call([&](QSqlDatabase& db) {
        if (!db.isValid() || !db.isOpen())
            return failure(QStringLiteral("the database connection is not open"));
        const platform::SqlResult begin = platform::execOn(db, QStringLiteral("savepoint morvane_procedure"));
        if (!begin.ok)
            return begin;
        platform::SqlResult result = steps(db);
        if (!result.ok) {
            platform::execOn(db, QStringLiteral("rollback to savepoint morvane_procedure"));
            platform::execOn(db, QStringLiteral("release savepoint morvane_procedure"));
            return result;
        }
        const platform::SqlResult end = platform::execOn(db, QStringLiteral("release savepoint morvane_procedure"));
        if (!end.ok) {
            platform::execOn(db, QStringLiteral("rollback to savepoint morvane_procedure"));
            return end;
        }
        return result;
    });
}

// Runs statements in turn, stopping at the first failure and adding up the rows they changed.
class StepRunner {
public:
    explicit StepRunner(QSqlDatabase& db)
        : m_db(db) {}
    bool run(const QString& sql, const QVariantList& binds = {}) {
        if (!m_result.ok)
            return false;
        const platform::SqlResult step = platform::execOn(m_db, sql, binds);
        if (!step.ok) {
            m_result.ok = false;
            m_result.error = step.error;
            return false;
        }
        m_last = step;
        if (step.rowsAffected > 0)
            m_result.rowsAffected = std::max(0, m_result.rowsAffected) + step.rowsAffected;
        return true;
    }
    const platform::SqlResult& last() const { return m_last; }
    platform::SqlResult& result() { return m_result; }

private:
    QSqlDatabase& m_db;
    platform::SqlResult m_result;
    platform::SqlResult m_last;
};

platform::SqlResult sqliteDeleteDevice(QSqlDatabase& db, const QVariant& id, bool withDevice) {
    StepRunner steps(db);
    if (withDevice) {
        steps.run(QStringLiteral("delete from ac_device where id = ?"), {id});
        steps.run(QStringLiteral("delete from ac_makecard where deviceid = ?"), {id});
    }
    for (const char* table : {"ac_doorinfo", "ac_propmordcard", "ac_propholiday", "ac_proptimegroup"})
        steps.run(QStringLiteral("delete from ") + QLatin1String(table) + QStringLiteral(" where deviceid = ?"), {id});
    return steps.result();
}

int doorCount(const QVariant& deviceType) {
    if (deviceType.isNull())
        return 0;
    const int type = deviceType.toInt();
    switch (type) {
    case 0:
        return 1;
    case 1:
    case 2:
        return type * 2;
    case 3:
        return 8;
    default:
        return type; // taken as the number of doors itself
    }
}

platform::SqlResult sqliteCreateDevice(QSqlDatabase& db) {
    StepRunner steps(db);
    if (!steps.run(QStringLiteral("select max(id) from ac_device")))
        return steps.result();
    const QVariant deviceId = steps.last().rows.value(0).value(0);
    // An empty table gives NULL, which is never "not 0": nothing is done.
    if (deviceId.isNull() || deviceId.toLongLong() == 0)
        return steps.result();

    for (int group = 1; group < 9; ++group) {
        addGroupNumberResult(steps.result(), group);
        steps.run(QStringLiteral("insert into ac_propmordcard (deviceid, groupid, cardcount) values (?, ?, 0)"),
                  {deviceId, group});
    }
    steps.run(QStringLiteral("insert into ac_propholiday (deviceid, holidayid, holidayname, begdatetime, enddatetime) "
                             "select ?, ID, holidayname, begdatetime, enddatetime from ac_holiday "
                             "where id not in (select holidayid from ac_propholiday where deviceid = ?)"),
              {deviceId, deviceId});
    steps.run(QStringLiteral("insert into ac_proptimegroup (deviceid, timegroupid, timegroupname) "
                             "select ?, ID, timegroupname from ac_timegroup "
                             "where id not in (select timegroupid from ac_proptimegroup where deviceid = ?)"),
              {deviceId, deviceId});
    if (!steps.run(QStringLiteral("select devicetype from ac_device where id = ?"), {deviceId}))
        return steps.result();
    const int doors = doorCount(steps.last().rows.value(0).value(0));
    for (int door = 1; door <= doors; ++door)
        steps.run(QStringLiteral("insert into ac_doorinfo (doorname, deviceid, dooraddress) values (?, ?, ?)"),
                  {QString(QStringLiteral("Door") + QString::number(door)), deviceId, door});
    return steps.result();
}

// The function answers one row per group number; SQL Server's callers see one result per number.
platform::SqlResult splitIntoOneRowResults(const platform::SqlResult& answer) {
    if (!answer.ok)
        return answer;
    platform::SqlResult result;
    result.rowsAffected = answer.rowsAffected;
    for (const QVariantList& row : answer.rows)
        addGroupNumberResult(result, row.value(0));
    return result;
}

} // namespace

QList<SqlToken> sqlTokens(const QString& sql) {
    QList<SqlToken> tokens;
    const QStringView text(sql);
    const auto isWord = [](QChar c) { return c.isLetterOrNumber() || c == u'_' || c == u'$'; };
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        const qsizetype start = i;
        const qsizetype before = tokens.size();
        if (c == u'\'' || c == u'"' || c == u'[' || c == u'`') {
            const QChar close = c == u'[' ? QChar(u']') : c;
            const qsizetype end = text.indexOf(close, i + 1);
            const qsizetype stop = end < 0 ? text.size() : end;
            tokens.append(
                {c == u'\'' ? SqlToken::Text : SqlToken::QuotedName, text.mid(i + 1, stop - i - 1).toString()});
            i = end < 0 ? text.size() : end + 1;
        } else if (c == u'-' && text.mid(i, 2) == u"--") {
            const qsizetype end = text.indexOf(u'\n', i);
            i = end < 0 ? text.size() : end + 1;
        } else if (c == u'/' && text.mid(i, 2) == u"/*") {
            const qsizetype end = text.indexOf(u"*/", i + 2);
            i = end < 0 ? text.size() : end + 2;
        } else if (c == u':' && text.mid(i, 2) == u"::") {
            tokens.append({SqlToken::Mark, QStringLiteral("::")});
            i += 2;
        } else if (c == u':' && i + 1 < text.size() && (text[i + 1].isLetterOrNumber() || text[i + 1] == u'_')) {
            qsizetype end = i + 1;
            while (end < text.size() && (text[end].isLetterOrNumber() || text[end] == u'_'))
                ++end;
            tokens.append({SqlToken::Placeholder, text.mid(i + 1, end - i - 1).toString()});
            i = end;
        } else if (c == u'$') {
            // PostgreSQL's dollar quoting, $tag$ ... $tag$; a lone $1 is a word.
            qsizetype end = i + 1;
            while (end < text.size() && (text[end].isLetterOrNumber() || text[end] == u'_'))
                ++end;
            if (end < text.size() && text[end] == u'$') {
                const QStringView tag = text.mid(i, end - i + 1);
                const qsizetype close = text.indexOf(tag, end + 1);
                const qsizetype stop = close < 0 ? text.size() : close;
                tokens.append({SqlToken::Text, text.mid(end + 1, stop - end - 1).toString()});
                i = close < 0 ? text.size() : close + tag.size();
            } else {
                tokens.append({SqlToken::Word, text.mid(i, end - i).toString()});
                i = end;
            }
        } else if (isWord(c)) {
            qsizetype end = i;
            while (end < text.size() && isWord(text[end]))
                ++end;
            tokens.append({SqlToken::Word, text.mid(i, end - i).toString()});
            i = end;
        } else {
            if (!c.isSpace())
                tokens.append({SqlToken::Mark, QString(c)});
            ++i;
        }
        if (tokens.size() > before) {
            tokens.last().from = start;
            tokens.last().to = i;
        }
    }
    return tokens;
}

QStringList statementWords(const QString& sql) {
    QStringList words;
    for (const SqlToken& token : sqlTokens(sql)) {
        switch (token.kind) {
        case SqlToken::Word:
        case SqlToken::QuotedName: // a quoted name is still a name: "load_extension"(...) calls the function
            words.append(token.text.toLower());
            break;
        case SqlToken::Text:
            words.append(QStringLiteral("'"));
            break;
        case SqlToken::Mark:
            if (token.text == QLatin1String("=") || token.text == QLatin1String("(") ||
                token.text == QLatin1String(";"))
                words.append(token.text);
            break;
        case SqlToken::Placeholder:
            break;
        }
    }
    return words;
}

QString refusalOfClientStatement(const QString& sql, platform::SqlProvider provider) {
    // Statements of their own (the first word of a statement).
    static const QSet<QString> commands{QStringLiteral("attach"),  QStringLiteral("detach"), QStringLiteral("vacuum"),
                                        QStringLiteral("copy"),    QStringLiteral("load"),   QStringLiteral("backup"),
                                        QStringLiteral("restore"), QStringLiteral("bulk")};
    // Functions, refused where they are called.
    static const QSet<QString> functions{QStringLiteral("load_extension"),
                                         QStringLiteral("readfile"),
                                         QStringLiteral("writefile"),
                                         QStringLiteral("fts3_tokenizer"),
                                         QStringLiteral("pg_read_file"),
                                         QStringLiteral("pg_read_binary_file"),
                                         QStringLiteral("pg_ls_dir"),
                                         QStringLiteral("pg_ls_logdir"),
                                         QStringLiteral("pg_ls_waldir"),
                                         QStringLiteral("pg_ls_tmpdir"),
                                         QStringLiteral("pg_stat_file"),
                                         QStringLiteral("pg_file_write"),
                                         QStringLiteral("pg_file_rename"),
                                         QStringLiteral("pg_file_unlink"),
                                         QStringLiteral("lo_import"),
                                         QStringLiteral("lo_export"),
                                         QStringLiteral("dblink"),
                                         QStringLiteral("dblink_exec"),
                                         QStringLiteral("dblink_connect"),
                                         QStringLiteral("pg_reload_conf"),
                                         QStringLiteral("pg_rotate_logfile"),
                                         QStringLiteral("pg_terminate_backend"),
                                         QStringLiteral("pg_cancel_backend"),
                                         QStringLiteral("pg_promote"),
                                         QStringLiteral("set_config"),
                                         QStringLiteral("openrowset"),
                                         QStringLiteral("opendatasource"),
                                         QStringLiteral("openquery")};
    // SQL Server's procedures that reach the machine, however they are called.
    static const QSet<QString> procedures{QStringLiteral("xp_cmdshell"), QStringLiteral("sp_configure"),
                                          QStringLiteral("sp_oacreate"), QStringLiteral("xp_regwrite")};
    // Pragmas that only report, with a table's name as their argument; any other pragma given a value writes.
    static const QSet<QString> reportingPragmas{
        QStringLiteral("table_info"),        QStringLiteral("table_xinfo"),     QStringLiteral("index_list"),
        QStringLiteral("index_info"),        QStringLiteral("index_xinfo"),     QStringLiteral("foreign_key_list"),
        QStringLiteral("foreign_key_check"), QStringLiteral("integrity_check"), QStringLiteral("quick_check")};
    static const QSet<QString> untrustedLanguages{QStringLiteral("c"),          QStringLiteral("internal"),
                                                  QStringLiteral("plperlu"),    QStringLiteral("plpythonu"),
                                                  QStringLiteral("plpython3u"), QStringLiteral("pltclu")};
    const auto refused = [](const QString& what) {
        return QStringLiteral("Statements that reach outside the database or change how it stores its data are "
                              "refused (%1)")
            .arg(what.toUpper());
    };
    const QStringList words = statementWords(sql);
    const auto isMark = [](const QString& word) {
        return word == QLatin1String("=") || word == QLatin1String("(") || word == QLatin1String(";");
    };
    bool statementStart = true;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words.at(i);
        const QString next = words.value(i + 1);
        if (word == QLatin1String(";")) {
            statementStart = true;
            continue;
        }
        const bool first = std::exchange(statementStart, false);
        if ((first && commands.contains(word)) || procedures.contains(word) ||
            (functions.contains(word) && next == QLatin1String("(")))
            return refused(word);
        if (first && word == QLatin1String("pragma")) {
            // pragma [schema.]name [= value | (argument)]
            qsizetype at = i + 1;
            if (!words.value(at + 1).isEmpty() && !isMark(words.value(at + 1)))
                ++at; // a schema's name came first
            const QString after = words.value(at + 1);
            if ((after == QLatin1String("=") || after == QLatin1String("(")) &&
                !reportingPragmas.contains(words.value(at)))
                return refused(QStringLiteral("pragma ") + words.value(at));
        }
        if (provider != platform::SqlProvider::SQLite) {
            if ((word == QLatin1String("alter") && next == QLatin1String("system")) ||
                (word == QLatin1String("create") &&
                 (next == QLatin1String("extension") || next == QLatin1String("tablespace"))))
                return refused(word + QLatin1Char(' ') + next);
            if (word == QLatin1String("language") && untrustedLanguages.contains(next))
                return refused(word + QLatin1Char(' ') + next);
        }
    }
    return {};
}

ProcedureCallParse parseProcedureCall(const QString& sql) {
    static const QRegularExpression call(
        QStringLiteral(
            R"(^\s*exec(?:ute)?\s+(?:dbo\.)?(CreateDevice|DeleteDeviceProperty|DeleteDevice)(?![\w@#$])(.*)$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression argument(QStringLiteral(R"(^(?:@(\w+)\s*=\s*)?([+-]?\d+|null)$)"),
                                             QRegularExpression::CaseInsensitiveOption);

    ProcedureCallParse parse;
    const QRegularExpressionMatch match = call.match(sql);
    if (!match.hasMatch())
        return parse;

    const QString name = match.captured(1);
    for (const char* known : {"CreateDevice", "DeleteDeviceProperty", "DeleteDevice"}) {
        if (name.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
            parse.procedure = QLatin1String(known);
    }
    QString rest = match.captured(2).trimmed();
    if (rest.endsWith(QLatin1Char(';')))
        rest = rest.chopped(1).trimmed();

    if (parse.procedure == QLatin1String("CreateDevice")) {
        if (!rest.isEmpty()) {
            parse.outcome = ProcedureCallParse::Malformed;
            parse.error = QStringLiteral("Procedure CreateDevice has no parameters and arguments were supplied.");
            return parse;
        }
        parse.outcome = ProcedureCallParse::Call;
        return parse;
    }

    parse.outcome = ProcedureCallParse::Malformed;
    if (rest.isEmpty()) {
        parse.error =
            QStringLiteral("Procedure or function '%1' expects parameter '@DeivceID', which was not supplied.")
                .arg(parse.procedure);
        return parse;
    }
    const QRegularExpressionMatch value = argument.match(rest);
    if (!value.hasMatch()) {
        parse.error = QStringLiteral("Procedure %1 takes one integer argument @DeivceID.").arg(parse.procedure);
        return parse;
    }
    if (value.hasCaptured(1) && value.captured(1).compare(QLatin1String("DeivceID"), Qt::CaseInsensitive) != 0) {
        parse.error =
            QStringLiteral("@%1 is not a parameter for procedure %2.").arg(value.captured(1), parse.procedure);
        return parse;
    }
    const QString number = value.captured(2);
    if (number.compare(QLatin1String("null"), Qt::CaseInsensitive) == 0) {
        parse.deviceId = QVariant(QMetaType::fromType<int>());
    } else {
        bool ok = false;
        const int id = number.toInt(&ok);
        if (!ok) {
            parse.error = QStringLiteral("The argument %1 of procedure %2 is out of the range of int.")
                              .arg(number, parse.procedure);
            return parse;
        }
        parse.deviceId = id;
    }
    parse.outcome = ProcedureCallParse::Call;
    return parse;
}

platform::SqlResult runClientStatement(platform::SqlConnection& connection, const QString& sql,
                                       const QVariantList& binds) {
    const platform::SqlProvider provider = connection.provider();
    if (provider != platform::SqlProvider::PostgreSQL && provider != platform::SqlProvider::SQLite)
        return connection.exec(sql, binds);

    const ProcedureCallParse parse = parseProcedureCall(sql);
    switch (parse.outcome) {
    case ProcedureCallParse::NotACall:
        return connection.exec(sql, binds);
    case ProcedureCallParse::Malformed:
        return failure(parse.error);
    case ProcedureCallParse::Call:
        break;
    }
    if (!binds.isEmpty())
        return failure(QStringLiteral("Procedure %1 takes its argument in the statement, not as a bound value.")
                           .arg(parse.procedure));

    const bool create = parse.procedure == QLatin1String("CreateDevice");
    if (provider == platform::SqlProvider::PostgreSQL) {
        if (create)
            return splitIntoOneRowResults(connection.exec(QStringLiteral("select * from CreateDevice()")));
        // CALL cannot be prepared, so the argument (checked to be an integer or null) is written out.
        const QString argument =
            parse.deviceId.isNull() ? QStringLiteral("null::integer") : QString::number(parse.deviceId.toInt());
        return connection.exec(QStringLiteral("call ") + parse.procedure + QLatin1Char('(') + argument +
                               QLatin1Char(')'));
    }

    if (create)
        return inOneTransaction(connection, [](QSqlDatabase& db) { return sqliteCreateDevice(db); });
    const bool withDevice = parse.procedure == QLatin1String("DeleteDevice");
    const QVariant id = parse.deviceId;
    return inOneTransaction(connection, [&](QSqlDatabase& db) { return sqliteDeleteDevice(db, id, withDevice); });
}

} // namespace morvane::db
