#include "Admin.h"

#include "PrivateFiles.h"
#include "SecurityService.h"
#include "unt_initdbms.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace morvane::admin {

namespace {

using platform::SqlConnectionSettings;
using platform::SqlProvider;

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Sqlite = std::unique_ptr<sqlite3, SqliteCloser>;

struct BackupFinisher {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

Outcome failed(const QString& text) {
    return {false, text};
}

Sqlite openSqlite(const QString& path, int flags, QString* error) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    Sqlite db(raw);
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromUtf8(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
        return {};
    }
    // A writer of the server holds its lock for one transaction at a time.
    sqlite3_busy_timeout(raw, 10000);
    return db;
}

// Copies every page of `from` into `to` as one snapshot: a single step, so that writes of the server
// between steps cannot make the copy start again and again.
bool copyPages(sqlite3* from, sqlite3* to, std::chrono::seconds timeout, QString* error) {
    const std::unique_ptr<sqlite3_backup, BackupFinisher> backup(sqlite3_backup_init(to, "main", from, "main"));
    if (!backup) {
        *error = QString::fromUtf8(sqlite3_errmsg(to));
        return false;
    }
    const QDeadlineTimer deadline(timeout);
    int rc = SQLITE_OK;
    do {
        rc = sqlite3_backup_step(backup.get(), -1);
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
            sqlite3_sleep(50);
    } while ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && !deadline.hasExpired());
    if (rc != SQLITE_DONE) {
        *error = rc == SQLITE_BUSY || rc == SQLITE_LOCKED
                     ? QStringLiteral("the database stayed locked for %1 s").arg(timeout.count())
                     : QString::fromUtf8(sqlite3_errstr(rc));
        return false;
    }
    return true;
}

// "ok" for a sound file that holds the server's tables, else why not.
QString checkServerDatabase(sqlite3* db) {
    sqlite3_stmt* raw = nullptr;
    QString verdict;
    if (sqlite3_prepare_v2(db, "pragma quick_check", -1, &raw, nullptr) == SQLITE_OK && sqlite3_step(raw) == SQLITE_ROW)
        verdict = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
    else
        verdict = QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_finalize(raw);
    if (verdict != QLatin1String("ok"))
        return verdict;
    raw = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "select 1 from sqlite_master where type = 'table' and lower(name) = 'ac_operator'", -1,
                           &raw, nullptr) == SQLITE_OK)
        found = sqlite3_step(raw) == SQLITE_ROW;
    sqlite3_finalize(raw);
    return found ? verdict : QStringLiteral("it holds no table ac_operator: not a database of this server");
}

// Makes `path` as a fresh SQLite copy of `from`, checked and synced, through a temporary file beside it: the
// name appears only when the copy is whole.
bool writeSqliteCopy(sqlite3* from, const QString& path, std::chrono::seconds timeout, QString* error) {
    const QString part = path + QStringLiteral(".part");
    QFile::remove(part);
    QFile::remove(part + QStringLiteral("-journal"));
    if (!platform::createPrivateFile(part, error))
        return false;
    bool done = false;
    {
        Sqlite to = openSqlite(part, SQLITE_OPEN_READWRITE, error);
        done = to && copyPages(from, to.get(), timeout, error);
        if (done) {
            const QString verdict = checkServerDatabase(to.get());
            done = verdict == QLatin1String("ok");
            if (!done)
                *error = QStringLiteral("the copy is unsound: ") + verdict;
        }
    }
    if (done) {
        QFile file(part);
        done = file.open(QIODevice::ReadOnly) && ::fsync(file.handle()) == 0;
        if (!done)
            *error = QStringLiteral("%1: %2").arg(part, file.errorString());
    }
    if (done && ::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        done = false;
    }
    if (!done)
        QFile::remove(part);
    return done;
}

QString sizeText(const QString& path) {
    const QFileInfo info(path);
    return QStringLiteral("%1 bytes, changed %2").arg(info.size()).arg(info.lastModified().toString(Qt::ISODate));
}

// The environment of pg_dump and pg_restore: the password reaches them there, never on a command line.
QProcessEnvironment postgresEnvironment(const SqlConnectionSettings& s) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString host;
    int port = -1;
    platform::splitServer(s.server, host, port);
    environment.insert(QStringLiteral("PGHOST"), host.isEmpty() ? QStringLiteral("localhost") : host);
    if (port > 0)
        environment.insert(QStringLiteral("PGPORT"), QString::number(port));
    environment.insert(QStringLiteral("PGDATABASE"), s.database);
    if (!s.user.isEmpty())
        environment.insert(QStringLiteral("PGUSER"), s.user);
    if (!s.password.isEmpty())
        environment.insert(QStringLiteral("PGPASSWORD"), s.password);
    environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QString::number(s.connectTimeoutSeconds));
    return environment;
}

bool runTool(const QString& program, const QStringList& arguments, const SqlConnectionSettings& s,
             std::chrono::seconds timeout, QString* error) {
    QProcess process;
    process.setProcessEnvironment(postgresEnvironment(s));
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        *error =
            QStringLiteral("%1 cannot be started: %2 (install postgresql-client)").arg(program, process.errorString());
        return false;
    }
    if (!process.waitForFinished(int(std::chrono::milliseconds(timeout).count()))) {
        process.kill();
        process.waitForFinished(5000);
        *error = QStringLiteral("%1 did not end within %2 s").arg(program).arg(timeout.count());
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("%1 failed: %2")
                     .arg(program, QString::fromLocal8Bit(process.readAll()).trimmed().left(2000));
        return false;
    }
    return true;
}

QString describe(const SqlConnectionSettings& s) {
    return s.provider == SqlProvider::SQLite
               ? s.database
               : QStringLiteral("database %1 on %2")
                     .arg(s.database, s.server.isEmpty() ? QStringLiteral("localhost") : s.server);
}

const QRegularExpression& backupPattern() {
    static const QRegularExpression pattern(QStringLiteral("^morvane-\\d{8}-\\d{6}-\\d{3}(-\\d+)?\\.(db|dump)$"));
    return pattern;
}

} // namespace

QString backupFileName(const QString& dir, SqlProvider provider, const QDateTime& when) {
    const QString stem =
        QDir(dir).filePath(QStringLiteral("morvane-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")));
    const QString suffix = provider == SqlProvider::PostgreSQL ? QStringLiteral(".dump") : QStringLiteral(".db");
    QString name = stem + suffix;
    for (int n = 1; QFileInfo::exists(name) && n < 1000; ++n)
        name = QStringLiteral("%1-%2%3").arg(stem).arg(n).arg(suffix);
    return name;
}

QStringList pruneBackups(const QString& dir, int keep) {
    QStringList copies;
    for (const QString& name : QDir(dir).entryList(QDir::Files, QDir::Name)) {
        if (backupPattern().match(name).hasMatch())
            copies.append(name);
    }
    // The names sort by the time they were made; copies of the same millisecond by their count.
    const auto key = [](const QString& name) -> QString {
        const QRegularExpressionMatch match = backupPattern().match(name);
        return name.left(27) + QStringLiteral("%1").arg(match.captured(1).mid(1).toInt(), 4, 10, QLatin1Char('0'));
    };
    std::sort(copies.begin(), copies.end(), [&](const QString& a, const QString& b) { return key(a) < key(b); });
    QStringList removed;
    for (qsizetype i = 0; i + std::max(keep, 0) < copies.size(); ++i) {
        if (QFile::remove(QDir(dir).filePath(copies[i])))
            removed.append(copies[i]);
    }
    return removed;
}

Outcome backupDatabase(const SqlConnectionSettings& settings, const QString& file, std::chrono::seconds timeout) {
    QString error;
    switch (settings.provider) {
    case SqlProvider::SQLite: {
        if (!QFileInfo(settings.database).isFile())
            return failed(QStringLiteral("There is no database %1 to back up").arg(settings.database));
        Sqlite from = openSqlite(settings.database, SQLITE_OPEN_READONLY, &error);
        if (!from || !writeSqliteCopy(from.get(), file, timeout, &error))
            return failed(QStringLiteral("The backup failed: ") + error);
        return {true, QStringLiteral("Backed up %1 to %2 (%3)").arg(settings.database, file, sizeText(file))};
    }
    case SqlProvider::PostgreSQL: {
        const QString part = file + QStringLiteral(".part");
        QFile::remove(part);
        if (!platform::createPrivateFile(part, &error) ||
            !runTool(QStringLiteral("pg_dump"), {QStringLiteral("--format=custom"), QStringLiteral("--file=") + part},
                     settings, timeout, &error) ||
            !QFile::rename(part, file)) {
            QFile::remove(part);
            return failed(QStringLiteral("The backup failed: ") + (error.isEmpty() ? file : error));
        }
        return {true, QStringLiteral("Backed up %1 to %2 (%3)").arg(describe(settings), file, sizeText(file))};
    }
    case SqlProvider::SqlServer:
    case SqlProvider::Unknown:
        break;
    }
    return failed(QStringLiteral("Backups are made of SQLite and PostgreSQL databases; for %1 use the database "
                                 "server's own tools")
                      .arg(platform::sqlProviderName(settings.provider)));
}

Outcome restoreDatabase(const SqlConnectionSettings& settings, const QString& file, std::chrono::seconds timeout) {
    if (!QFileInfo(file).isFile())
        return failed(QStringLiteral("There is no file %1 to restore").arg(file));
    QString error;
    switch (settings.provider) {
    case SqlProvider::SQLite: {
        Sqlite from = openSqlite(file, SQLITE_OPEN_READONLY, &error);
        if (!from)
            return failed(QStringLiteral("Nothing was restored: ") + error);
        const QString verdict = checkServerDatabase(from.get());
        if (verdict != QLatin1String("ok"))
            return failed(QStringLiteral("Nothing was restored: %1 is unfit: %2").arg(file, verdict));
        const QString target = settings.database;
        const QString incoming = target + QStringLiteral(".restoring");
        if (!writeSqliteCopy(from.get(), incoming, timeout, &error))
            return failed(QStringLiteral("Nothing was restored: ") + error);
        from.reset();
        QString replaced = QStringLiteral("no database (there was none at %1)").arg(target);
        if (QFileInfo::exists(target)) {
            // A journal left by a crash belongs to the old file: beside the new one it would be rolled back
            // into it.
            const QString kept = target + QStringLiteral(".before-restore");
            for (const QString& extra : {QStringLiteral("-journal"), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
                QFile::remove(kept + extra);
                if (QFileInfo::exists(target + extra) && !QFile::rename(target + extra, kept + extra))
                    return failed(QStringLiteral("Nothing was restored: %1 cannot be moved aside").arg(target + extra));
            }
            replaced = QStringLiteral("%1 (%2), kept as %3").arg(target, sizeText(target), kept);
            QFile::remove(kept);
            if (!QFile::rename(target, kept)) {
                QFile::remove(incoming);
                return failed(QStringLiteral("Nothing was restored: %1 cannot be moved aside").arg(target));
            }
        }
        if (!QFile::rename(incoming, target))
            return failed(
                QStringLiteral("The restored copy stays at %1: it cannot be renamed to %2").arg(incoming, target));
        return {true, QStringLiteral("Restored %1 from %2; replaced %3").arg(target, file, replaced)};
    }
    case SqlProvider::PostgreSQL:
        if (!runTool(QStringLiteral("pg_restore"),
                     {QStringLiteral("--clean"), QStringLiteral("--if-exists"), QStringLiteral("--no-owner"),
                      QStringLiteral("--single-transaction"), QStringLiteral("--exit-on-error"),
                      QStringLiteral("--dbname=") + settings.database, file},
                     settings, timeout, &error))
            return failed(QStringLiteral("Nothing was restored (the restore runs in one transaction): ") + error);
        return {true, QStringLiteral("Restored %1 from %2; replaced every table, view and procedure the copy holds")
                          .arg(describe(settings), file)};
    case SqlProvider::SqlServer:
    case SqlProvider::Unknown:
        break;
    }
    return failed(QStringLiteral("Restores are made to SQLite and PostgreSQL databases; for %1 use the database "
                                 "server's own tools")
                      .arg(platform::sqlProviderName(settings.provider)));
}

Outcome initDatabase(const SqlConnectionSettings& settings) {
    const bool existed = settings.provider == SqlProvider::SQLite && QFileInfo::exists(settings.database);
    TCreateDataBase creation(settings.database, settings.user, settings.password, settings.server, settings.provider);
    if (!creation.BuildDataBase())
        return failed(
            QStringLiteral("The database %1 cannot be made: %2").arg(describe(settings), creation.lastError()));
    return {true, existed ? QStringLiteral("The database %1 exists; left as it is").arg(describe(settings))
                          : QStringLiteral("The database %1 is ready").arg(describe(settings))};
}

Outcome setPassword(const SqlConnectionSettings& settings, const QString& operatorName, const QString& password) {
    platform::SqlConnection connection;
    QString error;
    if (!connection.open(settings, &error))
        return failed(QStringLiteral("The database %1 cannot be opened: %2").arg(describe(settings), error));
    security::Service service(&connection, security::Settings{});
    if (!service.start(&error))
        return failed(error);
    try {
        service.setPassword(operatorName, password);
    } catch (const platform::AutomationError& failure) {
        return failed(failure.message());
    }
    return {true, QStringLiteral("The password of %1 is set").arg(operatorName)};
}

} // namespace morvane::admin
