#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace morvane::db {

// The texts of the procedures and seed rows.

// The stored procedures that keep the per-device rows in step with ac_device, in creation order.
enum class Procedure { DeleteDevice, DeleteDeviceProperty, CreateDevice };

const QList<Procedure>& procedureOrder();
QString procedureName(Procedure procedure);
// The SQL Server procedure as the lines of its batch.
const QStringList& sqlServerProcedureLines(Procedure procedure);
// The PostgreSQL equivalent as one statement.
const QString& postgresProcedureText(Procedure procedure);

// Seed rows: the display and action names of the twenty menu modules, in key order.
struct ModuleSeed {
    QString chineseName;
    QString englishName;
};
const QList<ModuleSeed>& moduleSeeds();

// The dictionary rows in insertion order (45 rows, no group 9).
struct WordSeed {
    int wordId;
    int itemId;
    QString name;
};
QList<WordSeed> wordbookSeeds();

QString timeGroupName(int group); // "时间组" + group, 1 to 8
// The built-in operator's one-digit password.
QString operatorPassword();

} // namespace morvane::db
