#pragma once

#include "SqlConnection.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <chrono>

namespace morvane::admin {

// What one command did, for the administrator: the text is printed, on standard output when it worked and
// on standard error when not.
struct Outcome {
    bool ok = false;
    QString text;
};

// Copies the configured database to `file` (mode 0600), consistently while the server writes to it:
// SQLite through its online backup API, PostgreSQL through pg_dump's custom format. The copy appears
// whole or not at all.
Outcome backupDatabase(const platform::SqlConnectionSettings& settings, const QString& file,
                       std::chrono::seconds timeout = std::chrono::hours(1));

// Puts a copy made by backupDatabase back in place of the configured database, which the caller has seen
// to be unused by a server. A SQLite file is checked before it replaces anything, and the database it
// replaces is kept beside it as "<file>.before-restore"; PostgreSQL's objects are dropped and made again
// from the dump in one transaction. The text says what was replaced.
Outcome restoreDatabase(const platform::SqlConnectionSettings& settings, const QString& file,
                        std::chrono::seconds timeout = std::chrono::hours(1));

// A new file name for a copy made at `when` in `dir`: "morvane-YYYYMMDD-HHMMSS-mmm.db" (".dump" for a
// PostgreSQL dump), never one that exists.
QString backupFileName(const QString& dir, platform::SqlProvider provider, const QDateTime& when);

// Removes all but the `keep` newest copies of the form backupFileName gives in `dir`; the names removed.
QStringList pruneBackups(const QString& dir, int keep);

// Sets an operator's password in the configured database with the server's own hasher.
Outcome setPassword(const platform::SqlConnectionSettings& settings, const QString& operatorName,
                    const QString& password);

// Makes the configured database with the server's tables and seed rows when it is missing; one that holds
// them already is left alone. The text says which.
Outcome initDatabase(const platform::SqlConnectionSettings& settings);

// The whole program: `morvane-admin init | password OPERATOR | backup [FILE] [--keep N] | restore FILE`.
int run(const QStringList& arguments);

} // namespace morvane::admin
