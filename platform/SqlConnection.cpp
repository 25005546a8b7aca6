#include "SqlConnection.h"

#include "PrivateFiles.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <atomic>

namespace morvane::platform {

Q_LOGGING_CATEGORY(lcSql, "morvane.database")

namespace {

QString driverText(const QSqlError& error) {
    QString text = error.text().trimmed();
    if (text.isEmpty())
        text = QStringLiteral("unknown database error");
    return text;
}

QString uniqueConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("morvane-connection-%1").arg(++counter);
}

// A database that SQLite keeps in a file of that name: not one in memory, nor a URI.
bool isSqliteFile(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(":memory:") && !name.startsWith(QLatin1String("file:"));
}

QString freeTdsDriver() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so",
                             "/usr/lib/aarch64-linux-gnu/odbc/libtdsodbc.so", "/usr/lib/odbc/libtdsodbc.so"}) {
        if (QFileInfo::exists(QLatin1String(path)))
            return QLatin1String(path);
    }
    return QStringLiteral("{FreeTDS}");
}

} // namespace

// Splits "host:port", "host,port" (SQL Server's spelling) into its parts. An IPv6 address is written
// "[addr]:port" or "[addr]" with a port, and may stand alone: a colon that is one of several is part of
// the address, never the start of a port.
void splitServer(const QString& server, QString& host, int& port) {
    host = server.trimmed();
    port = -1;
    const auto portOf = [](const QString& text) {
        bool ok = false;
        const int value = text.trimmed().toInt(&ok);
        return ok && value > 0 && value < 65536 ? value : -1;
    };
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : host.mid(close + 1).trimmed();
        const bool separated = rest.startsWith(QLatin1Char(':')) || rest.startsWith(QLatin1Char(','));
        const int value = separated ? portOf(rest.mid(1)) : -1;
        if (close > 0 && (rest.isEmpty() || value > 0)) {
            host = host.mid(1, close - 1).trimmed();
            port = value;
        }
        return;
    }
    const bool bareIpv6 = host.count(QLatin1Char(':')) > 1;
    for (const QChar separator : {QLatin1Char(','), QLatin1Char(':')}) {
        if (separator == QLatin1Char(':') && bareIpv6)
            break;
        const qsizetype at = host.lastIndexOf(separator);
        if (at > 0 && portOf(host.mid(at + 1)) > 0) {
            port = portOf(host.mid(at + 1));
            host = host.left(at).trimmed();
            return;
        }
    }
}

SqlProvider sqlProviderFromName(const QString& name) {
    const QString n = name.trimmed();
    if (n.isEmpty() || n.compare(QLatin1String("SQLOLEDB.1"), Qt::CaseInsensitive) == 0 ||
        n.compare(QLatin1String("SQLOLEDB"), Qt::CaseInsensitive) == 0)
        return SqlProvider::SqlServer;
    if (n.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) == 0)
        return SqlProvider::PostgreSQL;
    if (n.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) == 0)
        return SqlProvider::SQLite;
    return SqlProvider::Unknown;
}

QString sqlProviderName(SqlProvider provider) {
    switch (provider) {
    case SqlProvider::SqlServer:
        return QStringLiteral("SQLOLEDB.1");
    case SqlProvider::PostgreSQL:
        return QStringLiteral("PostgreSQL");
    case SqlProvider::SQLite:
        return QStringLiteral("SQLite");
    case SqlProvider::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString odbcQuote(const QString& value) {
    // ODBC connection attributes: a value holding ; { } = or surrounding blanks is enclosed in braces,
    // a closing brace inside being doubled.
    const bool plain = !value.isEmpty() && !value.contains(QLatin1Char(';')) && !value.contains(QLatin1Char('{')) &&
                       !value.contains(QLatin1Char('}')) && !value.contains(QLatin1Char('=')) &&
                       value.trimmed() == value;
    if (plain)
        return value;
    QString escaped = value;
    escaped.replace(QLatin1String("}"), QLatin1String("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

QString odbcConnectionText(const SqlConnectionSettings& s) {
    QString host;
    int port = -1;
    splitServer(s.server, host, port);
    if (host.isEmpty() || host == QLatin1String(".") ||
        host.compare(QLatin1String("(local)"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    if (port < 0 && !host.contains(QLatin1Char('\\')))
        port = 1433;
    QString text = QStringLiteral("DRIVER=") + freeTdsDriver() + QStringLiteral(";SERVER=") + odbcQuote(host);
    if (port > 0)
        text += QStringLiteral(";PORT=") + QString::number(port);
    text += QStringLiteral(";DATABASE=") + odbcQuote(s.database) + QStringLiteral(";UID=") + odbcQuote(s.user) +
            QStringLiteral(";PWD=") + odbcQuote(s.password) + QStringLiteral(";TDS_Version=7.3") +
            QStringLiteral(";ClientCharset=") + odbcQuote(s.clientCharset) + QStringLiteral(";Encryption=off") +
            QStringLiteral(";PacketSize=") + QString::number(s.packetSize) + QStringLiteral(";LoginTimeout=") +
            QString::number(s.connectTimeoutSeconds);
    return text;
}

SqlResult execOn(QSqlDatabase& db, const QString& sql, const QVariantList& binds) {
    SqlResult result;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ok = false;
    if (binds.isEmpty()) {
        ok = query.exec(sql);
    } else {
        ok = query.prepare(sql);
        if (ok) {
            for (const QVariant& value : binds)
                query.addBindValue(value);
            ok = query.exec();
        }
    }
    if (!ok) {
        result.ok = false;
        result.error = driverText(query.lastError());
        return result;
    }
    result.rowsAffected = query.numRowsAffected();
    do {
        if (!query.isSelect())
            continue;
        SqlRowSet set;
        const QSqlRecord record = query.record();
        for (int i = 0; i < record.count(); ++i)
            set.columns.append(record.fieldName(i));
        while (query.next()) {
            QVariantList row;
            row.reserve(record.count());
            for (int i = 0; i < record.count(); ++i)
                row.append(query.value(i));
            set.rows.append(std::move(row));
        }
        result.sets.append(std::move(set));
    } while (db.driver()->hasFeature(QSqlDriver::MultipleResultSets) && query.nextResult());
    if (query.lastError().isValid()) {
        result.ok = false;
        result.error = driverText(query.lastError());
    }
    if (!result.sets.isEmpty()) {
        result.columns = result.sets.first().columns;
        result.rows = result.sets.first().rows;
    }
    // PostgreSQL answers the key question with lastval(), which fails in a session that made no key;
    // only an insert is asked.
    if (result.ok && sql.trimmed().startsWith(QLatin1String("insert"), Qt::CaseInsensitive))
        result.lastInsertId = query.lastInsertId();
    return result;
}

QString statementStopText(StatementStop stop, std::chrono::milliseconds limit, const QString& setting) {
    switch (stop) {
    case StatementStop::TimedOut: {
        const QString seconds = limit.count() % 1000 ? QString::number(limit.count() / 1000.0, 'f', 1)
                                                     : QString::number(limit.count() / 1000);
        return QStringLiteral("The statement ran longer than its limit of %1 s and was cancelled (%2 in the "
                              "[DataBase] section of systeminfo.ini)")
            .arg(seconds, setting);
    }
    case StatementStop::ClientGone:
        return QStringLiteral("The statement was cancelled: its client has gone");
    case StatementStop::Closing:
        return QStringLiteral("The statement was cancelled: the server is closing");
    case StatementStop::None:
        break;
    }
    return {};
}

SqlConnection::SqlConnection(QString name)
    : m_name(name.isEmpty() ? uniqueConnectionName() : std::move(name)) {
    m_thread = std::thread([this] { run(); });
    m_watchdog = std::thread([this] { watch(); });
}

SqlConnection::~SqlConnection() {
    close();
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
    {
        std::lock_guard lock(m_guardMutex);
        m_watchEnd = true;
    }
    m_guardWake.notify_all();
    m_watchdog.join();
}

void SqlConnection::post(const void* owner, std::function<void()> job) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_finished) {
            m_queue.push_back(Job{owner, std::move(job), CallContext::current()});
            m_wake.notify_one();
            return;
        }
    }
    // The database thread has ended (the connection is gone): the work runs here, on a closed handle.
    job();
}

void SqlConnection::hold(const void* owner, std::function<void()> release) {
    m_holdOwner = owner;
    m_holdRelease = std::move(release);
}

void SqlConnection::dropHold(const void* owner) {
    if (m_holdOwner != owner)
        return;
    m_holdOwner = nullptr;
    m_holdRelease = nullptr;
}

void SqlConnection::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty()) {
                m_finished = true;
                break;
            }
            job = std::move(m_queue.front());
            m_queue.pop_front();
        }
        if (m_holdRelease && job.owner != m_holdOwner) {
            auto release = std::move(m_holdRelease);
            m_holdRelease = nullptr;
            m_holdOwner = nullptr;
            release();
        }
        m_runningContext = std::move(job.context);
        job.run();
        m_runningContext.reset();
    }
    m_holdOwner = nullptr;
    m_holdRelease = nullptr;
    // The connection is removed on the thread that made it.
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
}

SqlConnection::StatementGuard::StatementGuard(SqlConnection& connection, std::chrono::milliseconds limit,
                                              std::function<void()> interrupt, bool forCaller)
    : StatementGuard(connection, limit, std::move(interrupt),
                     forCaller ? connection.m_runningContext : std::shared_ptr<CallContext>()) {}

SqlConnection::StatementGuard::StatementGuard(SqlConnection& connection, std::chrono::milliseconds limit,
                                              std::function<void()> interrupt, std::shared_ptr<CallContext> context)
    : m_connection(connection)
    , m_context(std::move(context)) {
    {
        std::lock_guard lock(connection.m_guardMutex);
        connection.m_guardArmed = true;
        connection.m_guardInterrupt = std::move(interrupt);
        connection.m_guardStop = connection.m_statementsStopped ? StatementStop::Closing : StatementStop::None;
        connection.m_guardDeadline =
            limit.count() > 0 ? std::chrono::steady_clock::now() + limit : std::chrono::steady_clock::time_point::max();
    }
    connection.m_guardWake.notify_all();
    if (m_context) {
        m_context->setCanceller([&connection] { connection.stopGuarded(StatementStop::ClientGone); });
        // A client gone before the canceller was in place: the statement is not to start.
        if (m_context->isCancelled())
            connection.stopGuarded(StatementStop::ClientGone);
    }
}

SqlConnection::StatementGuard::~StatementGuard() {
    if (m_context)
        m_context->clearCanceller();
    std::lock_guard lock(m_connection.m_guardMutex);
    m_connection.m_guardArmed = false;
    m_connection.m_guardInterrupt = nullptr;
    m_connection.m_guardStop = StatementStop::None;
}

StatementStop SqlConnection::StatementGuard::stop() const {
    std::lock_guard lock(m_connection.m_guardMutex);
    return m_connection.m_guardStop;
}

void SqlConnection::stopGuarded(StatementStop reason) {
    std::lock_guard lock(m_guardMutex);
    if (!m_guardArmed || m_guardStop != StatementStop::None)
        return;
    m_guardStop = reason;
    if (m_guardInterrupt)
        m_guardInterrupt();
}

void SqlConnection::stopStatements() {
    {
        std::lock_guard lock(m_guardMutex);
        m_statementsStopped = true;
    }
    stopGuarded(StatementStop::Closing);
}

void SqlConnection::watch() {
    std::unique_lock lock(m_guardMutex);
    while (!m_watchEnd) {
        const bool timed = m_guardArmed && m_guardStop == StatementStop::None &&
                           m_guardDeadline != std::chrono::steady_clock::time_point::max();
        if (!timed) {
            m_guardWake.wait(lock);
            continue;
        }
        if (std::chrono::steady_clock::now() < m_guardDeadline) {
            m_guardWake.wait_until(lock, m_guardDeadline);
            continue;
        }
        m_guardStop = StatementStop::TimedOut;
        if (m_guardInterrupt)
            m_guardInterrupt();
    }
}

bool SqlConnection::open(const SqlConnectionSettings& s, QString* error) {
    m_provider = s.provider;
    return call([&](QSqlDatabase& db) {
        m_settings = s;
        m_broken = false;
        const bool opened = openOn(db, s, error);
        if (opened)
            m_everOpened = true;
        return opened;
    });
}

bool SqlConnection::openOn(QSqlDatabase& db, const SqlConnectionSettings& s, QString* error) {
    {
        // A result still being read belongs to the connection that goes now.
        m_holdOwner = nullptr;
        m_holdRelease = nullptr;
        ++m_generation;
        if (db.isValid()) {
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
        }
        QString driver;
        switch (s.provider) {
        case SqlProvider::SqlServer:
            driver = QStringLiteral("QODBC");
            break;
        case SqlProvider::PostgreSQL:
            driver = QStringLiteral("QPSQL");
            break;
        case SqlProvider::SQLite:
            driver = QStringLiteral("QSQLITE");
            break;
        case SqlProvider::Unknown:
            if (error)
                *error = QStringLiteral("unknown database provider");
            return false;
        }
        db = QSqlDatabase::addDatabase(driver, m_name);
        if (!db.isValid()) {
            if (error)
                *error = QStringLiteral("the Qt SQL driver %1 is not installed").arg(driver);
            return false;
        }
        switch (s.provider) {
        case SqlProvider::SqlServer:
            db.setDatabaseName(odbcConnectionText(s));
            db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(s.connectTimeoutSeconds));
            break;
        case SqlProvider::PostgreSQL: {
            QString host;
            int port = -1;
            splitServer(s.server, host, port);
            db.setHostName(host.isEmpty() ? QStringLiteral("localhost") : host);
            if (port > 0)
                db.setPort(port);
            db.setDatabaseName(s.database);
            db.setUserName(s.user);
            db.setPassword(s.password);
            db.setConnectOptions(QStringLiteral("connect_timeout=%1").arg(s.connectTimeoutSeconds));
            break;
        }
        case SqlProvider::SQLite:
            // A new database file is the server user's alone, whatever the umask; SQLite gives its journals
            // the mode of the database. Where it cannot be made the driver says why.
            if (isSqliteFile(s.database))
                createPrivateFile(s.database);
            db.setDatabaseName(s.database);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(s.connectTimeoutSeconds * 1000));
            break;
        case SqlProvider::Unknown:
            break;
        }
        if (!db.open()) {
            if (error)
                *error = driverText(db.lastError());
            return false;
        }
        return true;
    }
}

bool SqlConnection::ensureUsable(QSqlDatabase& db, QString* error) {
    if (m_broken && m_everOpened) {
        // One attempt per call at most, and none within a second of the last: a server that stays away
        // costs each caller one quick failure, never a loop.
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastReopen >= std::chrono::seconds(1)) {
            m_lastReopen = now;
            QString why;
            if (openOn(db, m_settings, &why)) {
                m_broken = false;
                qCInfo(lcSql).noquote() << "the database connection is open again";
            } else {
                qCWarning(lcSql).noquote() << "the database connection could not be opened again:" << why;
                m_brokenReason = why;
            }
        }
        if (m_broken) {
            if (error)
                *error = QStringLiteral("the database connection was lost: %1").arg(m_brokenReason);
            return false;
        }
    }
    if (!db.isValid() || !db.isOpen()) {
        if (error)
            *error = QStringLiteral("the database connection is not open");
        return false;
    }
    return true;
}

void SqlConnection::checkAfterFailure(QSqlDatabase& db) {
    if (m_broken || !m_everOpened)
        return;
    if (db.isValid() && db.isOpen()) {
        // A statement may fail for its own reasons; only a connection that cannot answer the simplest
        // question is given up.
        QSqlQuery probe(db);
        if (probe.exec(QStringLiteral("select 1")))
            return;
        m_brokenReason = driverText(probe.lastError());
    } else {
        // The driver closed it itself on losing the server.
        const QString text = db.isValid() ? db.lastError().text().trimmed() : QString();
        m_brokenReason = text.isEmpty() ? QStringLiteral("the server closed the connection") : text;
    }
    m_broken = true;
    qCWarning(lcSql).noquote() << "the database connection is lost, it is opened again on the next call:"
                               << m_brokenReason;
}

void SqlConnection::checkAfterFailure() {
    call([this](QSqlDatabase& db) {
        checkAfterFailure(db);
        return 0;
    });
}

void SqlConnection::close() {
    call([](QSqlDatabase& db) {
        if (db.isValid())
            db.close();
        return 0;
    });
}

bool SqlConnection::isOpen() {
    return call([](QSqlDatabase& db) { return db.isValid() && db.isOpen(); });
}

SqlResult SqlConnection::exec(const QString& sql, const QVariantList& binds) {
    return call([&](QSqlDatabase& db) {
        SqlResult result;
        if (!ensureUsable(db, &result.error)) {
            result.ok = false;
            return result;
        }
        result = execOn(db, sql, binds);
        if (!result.ok)
            checkAfterFailure(db);
        return result;
    });
}

bool listTablesOn(QSqlDatabase& db, QStringList* names, QString* error) {
    names->clear();
    if (!db.isValid() || !db.isOpen()) {
        if (error)
            *error = QStringLiteral("the database connection is not open");
        return false;
    }
    const QStringList all = db.tables(QSql::Tables);
    if (all.isEmpty()) {
        // An SQLite file that is not a database opens and lists nothing; only reading its schema fails.
        const QString driver = db.driverName();
        const QString probe = driver == QLatin1String("QSQLITE") ? QStringLiteral("select count(*) from sqlite_master")
                              : driver == QLatin1String("QPSQL") ? QStringLiteral("select count(*) from pg_class")
                                                                 : QStringLiteral("select 1");
        const SqlResult answer = execOn(db, probe);
        if (!answer.ok) {
            if (error)
                *error = answer.error;
            return false;
        }
    }
    for (const QString& name : all) {
        if (!name.startsWith(QLatin1String("sqlite_")))
            names->append(name);
    }
    return true;
}

bool SqlConnection::tables(QStringList* names, QString* error) {
    return call([&](QSqlDatabase& db) { return listTablesOn(db, names, error); });
}

QStringList SqlConnection::tables(QString* error) {
    QStringList names;
    tables(&names, error);
    return names;
}

bool SqlConnection::transaction(QString* error) {
    return call([&](QSqlDatabase& db) {
        if (db.isValid() && db.transaction())
            return true;
        if (error)
            *error = driverText(db.lastError());
        return false;
    });
}

bool SqlConnection::commit(QString* error) {
    return call([&](QSqlDatabase& db) {
        if (db.isValid() && db.commit())
            return true;
        if (error)
            *error = driverText(db.lastError());
        return false;
    });
}

bool SqlConnection::rollback(QString* error) {
    return call([&](QSqlDatabase& db) {
        if (db.isValid() && db.rollback())
            return true;
        if (error)
            *error = driverText(db.lastError());
        return false;
    });
}

SqlQuery::SqlQuery(SqlConnection& connection)
    : m_connection(connection) {}

void SqlQuery::close() {
    m_active = false;
    m_data = SqlResult{};
}

void SqlQuery::setSql(const QString& sql) {
    m_sql = sql;
}

bool SqlQuery::open(QString* error) {
    close();
    m_data = m_connection.exec(m_sql);
    if (!m_data.ok) {
        if (error)
            *error = m_data.error;
        return false;
    }
    m_active = true;
    return true;
}

bool SqlQuery::execute(QString* error) {
    close();
    const SqlResult result = m_connection.exec(m_sql);
    if (!result.ok && error)
        *error = result.error;
    return result.ok;
}

} // namespace morvane::platform
