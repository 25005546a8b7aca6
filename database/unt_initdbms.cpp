#include "unt_initdbms.h"

#include "DbSchema.h"
#include "DbTexts.h"
#include "MessageBox.h"

#include <QScopeGuard>

#include <functional>
#include <stdexcept>

namespace morvane {

namespace {

// Raised by a step of the creation phase; ends the phase, which is then rolled back.
struct StepFailed : std::runtime_error {
    explicit StepFailed(const QString& text)
        : std::runtime_error(text.toStdString()) {}
};

// PostgreSQL cuts longer identifiers short, which would create a database of another name.
constexpr int kPostgresNameBytes = 63;

} // namespace

TCreateDataBase::TCreateDataBase(QString DataBaseName, QString UserName, QString Password, QString ServerName,
                                 platform::SqlProvider provider)
    : TCreateDataBase(std::move(DataBaseName), std::move(UserName), std::move(Password), std::move(ServerName),
                      provider, std::make_unique<db::SqlConnectionSession>()) {}

TCreateDataBase::TCreateDataBase(QString DataBaseName, QString UserName, QString Password, QString ServerName,
                                 platform::SqlProvider provider, std::unique_ptr<db::DbSession> session)
    : m_connection(std::move(session))
    , m_userName(std::move(UserName))
    , m_password(std::move(Password))
    , m_serverName(std::move(ServerName))
    , m_dataBaseName(std::move(DataBaseName))
    , m_provider(provider) {}

TCreateDataBase::~TCreateDataBase() = default;

platform::SqlConnectionSettings TCreateDataBase::settingsFor(const QString& catalog) const {
    platform::SqlConnectionSettings settings;
    settings.provider = m_provider;
    settings.server = m_serverName;
    settings.database = catalog;
    settings.user = m_userName;
    settings.password = m_password;
    settings.connectTimeoutSeconds = m_connectTimeoutSeconds;
    return settings;
}

bool TCreateDataBase::serverPhase() {
    using platform::SqlProvider;
    if (m_dataBaseName.isEmpty() || m_dataBaseName.contains(QChar(0))) {
        m_lastError = QStringLiteral("the database name is empty or holds a NUL character");
        return false;
    }
    switch (m_provider) {
    case SqlProvider::SqlServer: {
        if (!m_connection->open(settingsFor(QStringLiteral("master")), &m_lastError))
            return false;
        // The name is quoted both as a literal and as an identifier, so that it can never end the
        // statement and start another.
        const QString batch =
            db::joinBatch({QStringLiteral("if db_id(") + db::quoteLiteral(m_dataBaseName) + QStringLiteral(")is null"),
                           QStringLiteral("create database ") + db::quoteBracketIdentifier(m_dataBaseName)});
        const platform::SqlResult result = m_connection->exec(batch);
        m_lastError = result.error;
        return result.ok;
    }
    case SqlProvider::PostgreSQL: {
        if (m_dataBaseName.toUtf8().size() > kPostgresNameBytes) {
            m_lastError = QStringLiteral("the database name is longer than PostgreSQL's 63 bytes");
            return false;
        }
        if (!m_connection->open(settingsFor(QStringLiteral("postgres")), &m_lastError))
            return false;
        const platform::SqlResult found =
            m_connection->exec(QStringLiteral("select 1 from pg_database where datname = ?"), {m_dataBaseName});
        if (!found.ok) {
            m_lastError = found.error;
            return false;
        }
        if (!found.rows.isEmpty())
            return true;
        const platform::SqlResult created =
            m_connection->exec(QStringLiteral("create database ") + db::quoteIdentifier(m_dataBaseName));
        m_lastError = created.error;
        return created.ok;
    }
    case SqlProvider::SQLite:
        // Opening the file creates it when it is missing.
        return m_connection->open(settingsFor(m_dataBaseName), &m_lastError);
    case SqlProvider::Unknown:
        break;
    }
    m_lastError = QStringLiteral("unknown database provider");
    return false;
}

bool TCreateDataBase::BuildDataBase() {
    if (!m_connection) {
        m_lastError = QStringLiteral("the connection was released by an earlier call");
        return false;
    }
    const auto release = qScopeGuard([this] {
        m_connection->close();
        m_connection.reset();
    });

    // Server phase: the database exists afterwards.
    if (!serverPhase())
        return false;
    m_connection->close();

    // Database phase: a database holding the marker table is left as it is.
    QStringList tables;
    if (!m_connection->open(settingsFor(m_dataBaseName), &m_lastError) ||
        !m_connection->tables(&tables, &m_lastError)) {
        // The box carries no icon: caption "Info", an OK button and the text, nothing more.
        platform::showMessage({QStringLiteral("Conncet database error"), QStringLiteral("Info"),
                               platform::MessageIcon::None, platform::MessageButtons::Ok, platform::MessageAnswer::Ok});
        return false;
    }
    for (const QString& name : tables) {
        if (name == QLatin1String("ac_operator"))
            return true;
    }

    // Creation phase, all or nothing: a failure leaves no half-built schema that a later start would
    // take as complete.
    if (!m_connection->transaction(&m_lastError))
        return false;
    try {
        for (const db::TableDef& table : db::tableDefinitions())
            createTable(table.name);
        for (const QString& statement : db::operatorPasswordTableStatements(m_provider))
            run(statement);
        FillInitialData();
        CreateProcedures();
    } catch (const StepFailed& failed) {
        m_lastError = QString::fromStdString(failed.what());
        QString ignored;
        m_connection->rollback(&ignored);
        return false;
    }
    if (!m_connection->commit(&m_lastError)) {
        QString ignored;
        m_connection->rollback(&ignored);
        return false;
    }
    return true;
}

platform::SqlResult TCreateDataBase::run(const QString& sql, const QVariantList& binds) {
    platform::SqlResult result = m_connection->exec(sql, binds);
    if (!result.ok)
        throw StepFailed(result.error.isEmpty() ? QStringLiteral("statement failed: ") + sql : result.error);
    return result;
}

void TCreateDataBase::createTable(const QString& name) {
    const db::TableDef* table = db::findTable(name);
    if (!table)
        throw StepFailed(QStringLiteral("no description of the table ") + name);
    for (const QString& statement : db::createTableStatements(*table, m_provider))
        run(statement);
}

void TCreateDataBase::FillInitialData() {
    // One insert per row, in this order: the keys follow from it.
    run(QStringLiteral("insert into ac_popedomgroup (popedomgroupname) values (?)"), {QStringLiteral("Administrator")});
    run(QStringLiteral("insert into ac_operator (popedomgroupid, operatorname, operatorpasd, username) "
                       "values (?, ?, ?, ?)"),
        {1, QStringLiteral("SYSTEM"), db::operatorPassword(), QStringLiteral("Administrator")});
    for (const db::ModuleSeed& module : db::moduleSeeds())
        run(QStringLiteral("insert into ac_systemoudle (menuchinaname, menuenglishname) values (?, ?)"),
            {module.chineseName, module.englishName});

    // The rights take the module keys from the table itself.
    const platform::SqlResult modules = run(QStringLiteral("select * from ac_systemoudle order by id"));
    for (const QVariantList& module : modules.rows) {
        run(QStringLiteral("insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuchinaname, "
                           "menuenglishname, pbrowse, pinsert, pedit, pdelete) values (?, ?, ?, ?, ?, ?, ?, ?)"),
            {1, module.value(0), module.value(1), module.value(2), 1, 1, 1, 1});
    }

    for (const db::WordSeed& word : db::wordbookSeeds())
        run(QStringLiteral("insert into ac_wordbook (WordId, ItemId, WordName) values (?, ?, ?)"),
            {word.wordId, word.itemId, word.name});

    for (int group = 1; group <= 8; ++group)
        run(QStringLiteral("insert into ac_timegroup (timegroupname) values (?)"), {db::timeGroupName(group)});

    for (int group = 1; group <= 8; ++group) {
        for (int section = 1; section <= 8; ++section)
            run(QStringLiteral("insert into ac_timeparagraph (timegroupid, timeparagrapid, begtime, endtime, week1, "
                               "week2, week3, week4, week5, week6, week7) values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                {group, section, QStringLiteral("00:00"), QStringLiteral("00:00"), 0, 0, 0, 0, 0, 0, 0});
    }
}

void TCreateDataBase::CreateProcedures() {
    switch (m_provider) {
    case platform::SqlProvider::SqlServer:
        for (const db::Procedure procedure : db::procedureOrder())
            run(db::joinBatch(db::sqlServerProcedureLines(procedure)));
        break;
    case platform::SqlProvider::PostgreSQL:
        for (const db::Procedure procedure : db::procedureOrder())
            run(db::postgresProcedureText(procedure));
        break;
    case platform::SqlProvider::SQLite:
        // SQLite has no stored procedures: runClientStatement carries them out.
        break;
    case platform::SqlProvider::Unknown:
        throw StepFailed(QStringLiteral("unknown database provider"));
    }
}

} // namespace morvane
