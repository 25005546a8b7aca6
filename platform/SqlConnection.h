#pragma once

#include "CallContext.h"

#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

namespace morvane::platform {

Q_DECLARE_LOGGING_CATEGORY(lcSql)

enum class SqlProvider {
    SqlServer,  // "SQLOLEDB.1": Microsoft SQL Server through FreeTDS ODBC
    PostgreSQL, // "PostgreSQL"
    SQLite,     // "SQLite"
    Unknown,
};

SqlProvider sqlProviderFromName(const QString& name); // case-insensitive; empty → SqlServer
QString sqlProviderName(SqlProvider provider);

struct SqlConnectionSettings {
    SqlProvider provider = SqlProvider::SqlServer;
    QString server;   // host, host:port, host,port or host\instance; empty = the local default server
    QString database; // catalog, or for SQLite the file path
    QString user;
    QString password;
    int connectTimeoutSeconds = 10;
    int packetSize = 4096;
    QString clientCharset = QStringLiteral("GBK"); // FreeTDS client character set (code page 936)
};

// Builds the ODBC connection text for FreeTDS: every value is quoted by ODBC's rules ({...} with "}"
// doubled) wherever it holds a character that could end or split it.
QString odbcConnectionText(const SqlConnectionSettings& settings);
QString odbcQuote(const QString& value);
// Splits a ServerName ("host:port", "host,port", "[addr]:port", a bare IPv6 address) into host and port
// (-1 when none is given).
void splitServer(const QString& server, QString& host, int& port);

// Why a guarded statement was stopped before its end.
enum class StatementStop {
    None,
    TimedOut,   // it ran past its limit
    ClientGone, // the client of the call it ran for has gone
    Closing,    // the server is closing
};

// The text a caller is given for a stopped statement; `setting` names where its limit is configured.
QString statementStopText(StatementStop stop, std::chrono::milliseconds limit, const QString& setting);

struct SqlRowSet {
    QStringList columns;
    QList<QVariantList> rows;
};

struct SqlResult {
    bool ok = true;
    QString error;       // the driver's text when !ok
    QStringList columns; // of the first result set
    QList<QVariantList> rows;
    QList<SqlRowSet> sets; // every result set the statement returned, in order
    int rowsAffected = -1;
    QVariant lastInsertId;
};

// One database connection owned by one thread of its own. Qt SQL connections may only be used from the
// thread that made them, so every statement of every caller, on any thread, is handed to that thread
// and runs there in turn; the caller waits for its result.
//
// Threads: any thread may call any method. m_mutex guards m_queue and m_stopping, which the caller
// threads and the database thread touch; the QSqlDatabase is touched only by the database thread.
// m_guardMutex guards the statement guard's state, which the database thread (arming), the watchdog
// thread (time-outs), the threads of calls whose clients go, and stopStatements() touch.
class SqlConnection {
public:
    // On the connection's thread, around a statement that runs for a client: until the guard goes, the
    // statement is stopped through `interrupt` (called from another thread: sqlite3_interrupt, a
    // PostgreSQL cancel request) when it runs past `limit` (zero: no limit), when the client of the
    // call it runs for has gone (`forCaller`: the call that handed the work over), or when the
    // connection is told to stop its statements.
    class StatementGuard {
    public:
        StatementGuard(SqlConnection& connection, std::chrono::milliseconds limit, std::function<void()> interrupt,
                       bool forCaller = true);
        // The same for the call of `context` (null: none), whoever's work runs on the connection now: work
        // done there on behalf of a call that waits elsewhere.
        StatementGuard(SqlConnection& connection, std::chrono::milliseconds limit, std::function<void()> interrupt,
                       std::shared_ptr<CallContext> context);
        ~StatementGuard();
        StatementGuard(const StatementGuard&) = delete;
        StatementGuard& operator=(const StatementGuard&) = delete;
        // Why the statement was stopped, or is not to start (its client gone already, the server
        // closing); None while it may run.
        StatementStop stop() const;

    private:
        SqlConnection& m_connection;
        std::shared_ptr<CallContext> m_context;
    };

    explicit SqlConnection(QString name = {});
    ~SqlConnection();
    SqlConnection(const SqlConnection&) = delete;
    SqlConnection& operator=(const SqlConnection&) = delete;

    // Opens (or reopens) the connection; false with the driver's text in *error on failure.
    bool open(const SqlConnectionSettings& settings, QString* error = nullptr);
    void close();
    bool isOpen();
    SqlProvider provider() const { return m_provider.load(); }

    // Runs one statement (with positional bound values) and returns its rows.
    SqlResult exec(const QString& sql, const QVariantList& binds = {});
    // The names of the user tables, system tables excluded, as the server reports them; false with the
    // reason when they cannot be listed.
    bool tables(QStringList* names, QString* error = nullptr);
    // The same as a list, empty when they cannot be listed.
    QStringList tables(QString* error = nullptr);
    bool transaction(QString* error = nullptr);
    bool commit(QString* error = nullptr);
    bool rollback(QString* error = nullptr);

    // Runs any work on the database thread with the connection and returns its result.
    template <typename F>
    auto call(F&& work) -> std::invoke_result_t<F, QSqlDatabase&> {
        return callAs(nullptr, std::forward<F>(work));
    }
    // The same on behalf of `owner`: a hold that `owner` keeps on the connection stays in place.
    template <typename F>
    auto callAs(const void* owner, F&& work) -> std::invoke_result_t<F, QSqlDatabase&> {
        using R = std::invoke_result_t<F, QSqlDatabase&>;
        if (std::this_thread::get_id() == m_thread.get_id())
            return work(m_db);
        std::packaged_task<R()> task([this, &work]() -> R { return work(m_db); });
        auto result = task.get_future();
        post(owner, [&task] { task(); });
        return result.get();
    }

    // On the connection's thread: `owner` keeps the connection busy between its calls (a result still
    // being read). Before work of anyone else runs, `release` is called to let go of it, once.
    void hold(const void* owner, std::function<void()> release);
    // On the connection's thread: drops the hold of `owner`, if it has it, without calling its release.
    void dropHold(const void* owner);
    // Counts the opens of the connection: what was read before the last reopen belongs to a connection
    // that is gone. Database thread only.
    int generation() const { return m_generation; }

    const QString& connectionName() const { return m_name; }

    // Any thread: stops the guarded statement running now and refuses every one guarded from now on, so
    // that a closing server does not wait for its clients' statements.
    void stopStatements();

    // On the connection's thread, before a caller's statements: a connection found lost is opened again
    // with the settings of the last open (one attempt per call, none within a second of the previous);
    // false with the reason when the connection cannot be used.
    bool ensureUsable(QSqlDatabase& db, QString* error);
    // On the connection's thread, after a statement failed: a connection that no longer answers is
    // marked lost, so that the next call opens it again.
    void checkAfterFailure(QSqlDatabase& db);
    // The same from any thread.
    void checkAfterFailure();

private:
    void post(const void* owner, std::function<void()> job);
    void run();
    void watch();
    void stopGuarded(StatementStop reason);
    bool openOn(QSqlDatabase& db, const SqlConnectionSettings& settings, QString* error);

    QString m_name;
    std::atomic<SqlProvider> m_provider{SqlProvider::Unknown}; // set by open() on any thread, read anywhere
    QSqlDatabase m_db;                                         // database thread only
    // Database thread only: what reopening a lost connection needs.
    SqlConnectionSettings m_settings;
    bool m_everOpened = false;
    bool m_broken = false;
    QString m_brokenReason;
    std::chrono::steady_clock::time_point m_lastReopen{};
    int m_generation = 0;
    // Database thread only: the one owner that keeps the connection busy, and how it lets go.
    const void* m_holdOwner = nullptr;
    std::function<void()> m_holdRelease;

    std::mutex m_mutex; // guards m_queue, m_stopping, m_finished (caller threads and the database thread)
    std::condition_variable m_wake;
    struct Job {
        const void* owner;
        std::function<void()> run;
        std::shared_ptr<CallContext> context; // of the call that handed the work over
    };
    std::deque<Job> m_queue;
    bool m_stopping = false;
    bool m_finished = false; // the database thread has ended; later work runs on the caller's thread
    std::shared_ptr<CallContext> m_runningContext; // database thread only: the running job's

    std::mutex m_guardMutex;
    std::condition_variable m_guardWake;
    bool m_guardArmed = false;
    std::chrono::steady_clock::time_point m_guardDeadline;
    std::function<void()> m_guardInterrupt;
    StatementStop m_guardStop = StatementStop::None;
    bool m_statementsStopped = false;
    bool m_watchEnd = false;

    std::thread m_thread;
    std::thread m_watchdog; // stops a guarded statement at its deadline
};

// A query component bound to a connection: a statement text that is opened (rows kept) or executed.
// Used on one thread at a time; the statement runs on the connection's thread.
class SqlQuery {
public:
    explicit SqlQuery(SqlConnection& connection);
    void close();
    void setSql(const QString& sql);
    const QString& sql() const { return m_sql; }
    bool open(QString* error = nullptr);    // runs the statement and keeps its rows
    bool execute(QString* error = nullptr); // runs the statement as a command
    bool isActive() const { return m_active; }
    const SqlResult& data() const { return m_data; }

private:
    SqlConnection& m_connection;
    QString m_sql;
    SqlResult m_data;
    bool m_active = false;
};

// Runs a statement on a QSqlDatabase of the current thread, filling a SqlResult.
SqlResult execOn(QSqlDatabase& db, const QString& sql, const QVariantList& binds = {});

// The user tables of an open QSqlDatabase of the current thread; false with the reason when the listing
// failed. Qt's drivers answer a failed listing with an empty list (ODBC and PostgreSQL only log a
// warning), so an empty list is confirmed by asking the catalogue a question that must be answered.
bool listTablesOn(QSqlDatabase& db, QStringList* names, QString* error = nullptr);

} // namespace morvane::platform
