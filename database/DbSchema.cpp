#include "DbSchema.h"

namespace morvane::db {

namespace {

const QList<TableDef> kTables = {
    {QStringLiteral("ac_popedomgroup"),
     1,
     {
         {"id", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(id int identity PRIMARY KEY,"},
         {"popedomgroupname", ColumnType::VarChar, 40, Nullability::Null, nullptr,
          "popedomgroupname varchar(40) null,"},
         {"remark", ColumnType::VarChar, 500, Nullability::Null, nullptr, "remark varchar(500) null)"},
     }},
    {QStringLiteral("ac_popedomgroupmodule"),
     1,
     {
         {"id", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(id int identity PRIMARY KEY,"},
         {"popedomgroupid", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "popedomgroupid int ,"},
         {"systemenuid", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "systemenuid int,"},
         {"menuchinaname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "menuchinaname varchar(40) null,"},
         {"menuenglishname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "menuenglishname varchar(40) null,"},
         {"pbrowse", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "pbrowse bit default 0,"},
         {"pinsert", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "pinsert bit default 0,"},
         {"pedit", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "pedit bit  default 0,"},
         {"pdelete", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "pdelete bit  default 0)"},
     }},
    {QStringLiteral("ac_operator"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"popedomgroupid", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "popedomgroupid int ,"},
         {"operatorname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "operatorname varchar(40) null,"},
         {"operatorpasd", ColumnType::VarChar, 40, Nullability::Null, nullptr, "operatorpasd varchar(40) null,"},
         {"worknumber", ColumnType::VarChar, 20, Nullability::Null, nullptr, "worknumber varchar(20) null,"},
         {"departmentid", ColumnType::Int, 0, Nullability::Null, nullptr, "departmentid int null,"},
         {"username", ColumnType::VarChar, 40, Nullability::Null, nullptr, "username varchar(40) null,"},
         {"inputdatetime", ColumnType::DateTime, 0, Nullability::Null, nullptr, "inputdatetime datetime null)"},
     }},
    {QStringLiteral("ac_systemoudle"),
     1000,
     {
         {"id", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(id int identity(1000,1) PRIMARY KEY,"},
         {"menuchinaname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "menuchinaname varchar(40) null,"},
         {"menuenglishname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "menuenglishname varchar(40) null,"},
         {"remark", ColumnType::VarChar, 500, Nullability::Null, nullptr, "remark varchar(500) null)"},
     }},
    {QStringLiteral("ac_department"),
     1,
     {
         {"id", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(id int identity PRIMARY KEY,"},
         {"departmentname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "departmentname varchar(40) null,"},
         {"remark", ColumnType::VarChar, 500, Nullability::Null, nullptr, "remark varchar(500) null)"},
     }},
    {QStringLiteral("ac_staffer"),
     1,
     {
         {"id", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(id int identity PRIMARY KEY,"},
         {"username", ColumnType::VarChar, 100, Nullability::Null, nullptr, "username varchar(100) null,"},
         {"departmentid", ColumnType::Int, 0, Nullability::Null, nullptr, "departmentid int null,"},
         {"phone", ColumnType::VarChar, 40, Nullability::Null, nullptr, "phone varchar(40) null,"},
         {"sex", ColumnType::Int, 0, Nullability::Null, nullptr, "sex int null,"},
         {"nation", ColumnType::Int, 0, Nullability::Null, nullptr, "nation int null,"},
         {"specialty", ColumnType::Int, 0, Nullability::Null, nullptr, "specialty int null,"},
         {"area", ColumnType::Int, 0, Nullability::Null, nullptr, "area int null,"},
         {"schoolage", ColumnType::Int, 0, Nullability::Null, nullptr, "schoolage int null,"},
         {"entercompanydate", ColumnType::DateTime, 0, Nullability::Null, nullptr, "entercompanydate datetime null,"},
         {"wedlock", ColumnType::Int, 0, Nullability::Null, nullptr, "wedlock int null,"},
         {"job", ColumnType::VarChar, 40, Nullability::Null, nullptr, "job varchar(40) null,"},
         {"address", ColumnType::VarChar, 40, Nullability::Null, nullptr, "address varchar(40) null,"},
         {"papertype", ColumnType::Int, 0, Nullability::Null, nullptr, "papertype int null,"},
         {"papernumber", ColumnType::VarChar, 40, Nullability::Null, nullptr, "papernumber varchar(40) null,"},
         {"email", ColumnType::VarChar, 80, Nullability::Null, nullptr, "email varchar(80) null,"},
         {"photo", ColumnType::Image, 0, Nullability::Null, nullptr, "photo image null,"},
         {"fettle", ColumnType::Int, 0, Nullability::ServerDefault, "0", "fettle  int default 0,"},
         {"cardnumber", ColumnType::VarChar, 28, Nullability::ServerDefault, nullptr, "cardnumber varchar(28) ,"},
         {"cardtype", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "cardtype int ,"},
         {"begtime", ColumnType::DateTime, 0, Nullability::ServerDefault, nullptr, "begtime datetime,"},
         {"endtime", ColumnType::DateTime, 0, Nullability::ServerDefault, nullptr, "endtime datetime,"},
         {"opendoormode", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "opendoormode int,"},
         {"password", ColumnType::VarChar, 8, Nullability::ServerDefault, nullptr, "password varchar(8) ,"},
         {"degree", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "degree int,"},
         {"alreadyissue", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "alreadyissue bit default 0,"},
         {"alreadydown", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "alreadydown bit default 0,"},
         {"cardfettle", ColumnType::Int, 0, Nullability::ServerDefault, "2", "cardfettle  int default 2,"},
         {"remark", ColumnType::VarChar, 500, Nullability::Null, nullptr, "remark varchar(500) null)"},
     }},
    {QStringLiteral("ac_device"),
     1,
     {
         {"id", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(id int identity PRIMARY KEY,"},
         {"devicename", ColumnType::VarChar, 40, Nullability::ServerDefault, nullptr, "devicename varchar(40) ,"},
         {"ipaddress", ColumnType::VarChar, 40, Nullability::Null, nullptr, "ipaddress varchar(40) null,"},
         {"mac", ColumnType::VarChar, 40, Nullability::Null, nullptr, "mac varchar(40) null,"},
         {"subnetMask", ColumnType::VarChar, 40, Nullability::Null, nullptr, "subnetMask varchar(40) null,"},
         {"serveripadress", ColumnType::VarChar, 40, Nullability::Null, nullptr, "serveripadress varchar(40) null,"},
         {"gateway", ColumnType::VarChar, 40, Nullability::Null, nullptr, "gateway varchar(40) null,"},
         {"devicetype", ColumnType::TinyInt, 0, Nullability::Null, nullptr, "devicetype tinyint null,"},
         {"port", ColumnType::Int, 0, Nullability::ServerDefault, "2008", "port int default 2008,"},
         {"messagemode", ColumnType::TinyInt, 0, Nullability::Null, nullptr, "messagemode tinyint null,"},
         {"password_1", ColumnType::VarChar, 18, Nullability::ServerDefault, "'472913'",
          "password_1 varchar(18) default '472913' ,"},
         {"password_2", ColumnType::VarChar, 18, Nullability::ServerDefault, "'472913'",
          "password_2 varchar(18) default '472913' ,"},
         {"password_3", ColumnType::VarChar, 18, Nullability::ServerDefault, "'472913'",
          "password_3 varchar(18) default '472913' ,"},
         {"datasavemode", ColumnType::TinyInt, 0, Nullability::ServerDefault, "0", "datasavemode tinyint default 0,"},
         {"excludedoor", ColumnType::Bit, 0, Nullability::ServerDefault, "1", "excludedoor bit default 1,"},
         {"preventreturn", ColumnType::Bit, 0, Nullability::ServerDefault, "1", "preventreturn bit default 1 ,"},
         {"alarmdoorstate", ColumnType::Bit, 0, Nullability::ServerDefault, "1", "alarmdoorstate bit default 1 )"},
     }},
    {QStringLiteral("brushcardlog"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"brushcardtime", ColumnType::VarChar, 40, Nullability::Null, nullptr, "brushcardtime varchar(40) null,"},
         {"cardno", ColumnType::VarChar, 40, Nullability::Null, nullptr, "cardno varchar(40) null,"},
         {"mac", ColumnType::VarChar, 40, Nullability::Null, nullptr, "mac varchar(40) null,"},
         {"devicename", ColumnType::VarChar, 40, Nullability::Null, nullptr, "devicename varchar(40) null,"},
         {"doornumber", ColumnType::Int, 0, Nullability::Null, nullptr, "doornumber int null,"},
         {"doorname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "doorname varchar(40) null,"},
         {"eventtype", ColumnType::VarChar, 100, Nullability::Null, nullptr, "eventtype varchar(100) null,"},
         {"cardtype", ColumnType::VarChar, 20, Nullability::Null, nullptr, "cardtype varchar(20) null,"},
         {"InputTime", ColumnType::VarChar, 20, Nullability::Null, nullptr, "InputTime varchar(20) null,"},
         {"holder", ColumnType::VarChar, 80, Nullability::Null, nullptr, "holder varchar(80) null )"},
     }},
    {QStringLiteral("ac_holiday"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"holidayname", ColumnType::VarChar, 100, Nullability::Null, nullptr, "holidayname varchar(100) null,"},
         {"BegDateTime", ColumnType::DateTime, 0, Nullability::Null, nullptr, "BegDateTime datetime null,"},
         {"EndDateTime", ColumnType::DateTime, 0, Nullability::Null, nullptr, "EndDateTime datetime null)"},
     }},
    {QStringLiteral("ac_timeparagraph"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"timegroupid", ColumnType::Int, 0, Nullability::Null, nullptr, "timegroupid int null,"},
         {"timeparagrapid", ColumnType::Int, 0, Nullability::Null, nullptr, "timeparagrapid int null,"},
         {"begtime", ColumnType::VarChar, 8, Nullability::Null, nullptr, "begtime varchar(8) null,"},
         {"endtime", ColumnType::VarChar, 8, Nullability::Null, nullptr, "endtime varchar(8) null,"},
         {"week1", ColumnType::Bit, 0, Nullability::Null, nullptr, "week1 bit    null,"},
         {"week2", ColumnType::Bit, 0, Nullability::Null, nullptr, "week2 bit    null,"},
         {"week3", ColumnType::Bit, 0, Nullability::Null, nullptr, "week3 bit    null,"},
         {"week4", ColumnType::Bit, 0, Nullability::Null, nullptr, "week4 bit    null,"},
         {"week5", ColumnType::Bit, 0, Nullability::Null, nullptr, "week5 bit    null,"},
         {"week6", ColumnType::Bit, 0, Nullability::Null, nullptr, "week6 bit   null,"},
         {"week7", ColumnType::Bit, 0, Nullability::Null, nullptr, "week7 bit    null)"},
     }},
    {QStringLiteral("ac_timegroup"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"timegroupname", ColumnType::VarChar, 100, Nullability::Null, nullptr, "timegroupname varchar(100) null)"},
     }},
    {QStringLiteral("ac_makecard"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"userid", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "userid int ,"},
         {"cardnumber", ColumnType::VarChar, 28, Nullability::ServerDefault, nullptr, "cardnumber varchar(28) ,"},
         {"cardfettle", ColumnType::Int, 0, Nullability::ServerDefault, "0", "cardfettle int default 0,"},
         {"deviceid", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "deviceid int ,"},
         {"devicename", ColumnType::VarChar, 40, Nullability::ServerDefault, nullptr, "devicename varchar(40) ,"},
         {"doornumber", ColumnType::Int, 0, Nullability::ServerDefault, nullptr, "doornumber int ,"},
         {"begtime", ColumnType::DateTime, 0, Nullability::ServerDefault, nullptr, "begtime datetime ,"},
         {"maketime", ColumnType::DateTime, 0, Nullability::ServerDefault, nullptr, "maketime datetime )"},
     }},
    {QStringLiteral("ac_doorinfo"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"doorname", ColumnType::VarChar, 40, Nullability::ServerDefault, nullptr, "doorname varchar(40) ,"},
         {"doorstation", ColumnType::VarChar, 40, Nullability::Null, nullptr, "doorstation varchar(40) null,"},
         {"dooraddress", ColumnType::Int, 0, Nullability::Null, nullptr, "dooraddress int null,"},
         {"deviceid", ColumnType::Int, 0, Nullability::Null, nullptr, "deviceid int null,"},
         {"opendelaydtime", ColumnType::Int, 0, Nullability::ServerDefault, "4", "opendelaydtime int default 4,"},
         {"checkdoorsingnal", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "checkdoorsingnal bit default 0,"},
         {"checkwork", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "checkwork bit default 0,"},
         {"doorstate", ColumnType::Int, 0, Nullability::ServerDefault, "0", "doorstate int default 0)"},
     }},
    {QStringLiteral("ac_propmordcard"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"deviceid", ColumnType::Int, 0, Nullability::Null, nullptr, "deviceid int null,"},
         {"groupid", ColumnType::Int, 0, Nullability::Null, nullptr, "groupid int null,"},
         {"groupname", ColumnType::VarChar, 40, Nullability::Null, nullptr, "groupname varchar(40) null,"},
         {"cardcount", ColumnType::Int, 0, Nullability::Null, nullptr, "cardcount int null)"},
     }},
    {QStringLiteral("ac_propholiday"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"deviceid", ColumnType::Int, 0, Nullability::Null, nullptr, "deviceid int null,"},
         {"holidayid", ColumnType::Int, 0, Nullability::Null, nullptr, "holidayid int null,"},
         {"holidayname", ColumnType::VarChar, 100, Nullability::Null, nullptr, "holidayname varchar(100) null,"},
         {"begdatetime", ColumnType::DateTime, 0, Nullability::Null, nullptr, "begdatetime datetime null,"},
         {"enddatetime", ColumnType::DateTime, 0, Nullability::Null, nullptr, "enddatetime datetime null,"},
         {"isuse", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "isuse bit default 0)"},
     }},
    {QStringLiteral("ac_proptimegroup"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"deviceid", ColumnType::Int, 0, Nullability::Null, nullptr, "deviceid int null,"},
         {"timegroupid", ColumnType::Int, 0, Nullability::Null, nullptr, "timegroupid int null,"},
         {"timegroupname", ColumnType::VarChar, 100, Nullability::Null, nullptr, "timegroupname varchar(100) null,"},
         {"isuse", ColumnType::Bit, 0, Nullability::ServerDefault, "0", "isuse bit default 0)"},
     }},
    {QStringLiteral("ac_wordbook"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"WordId", ColumnType::Int, 0, Nullability::Null, nullptr, "WordId int null,"},
         {"ItemId", ColumnType::Int, 0, Nullability::Null, nullptr, "ItemId int null,"},
         {"WordName", ColumnType::VarChar, 100, Nullability::Null, nullptr, "WordName varchar(100) null)"},
     }},
    {QStringLiteral("ac_SystemLog"),
     1,
     {
         {"ID", ColumnType::Identity, 0, Nullability::ServerDefault, nullptr, "(ID int identity PRIMARY KEY,"},
         {"operationtime", ColumnType::DateTime, 0, Nullability::Null, nullptr, "operationtime datetime null,"},
         {"username", ColumnType::VarChar, 100, Nullability::Null, nullptr, "username varchar(100) null,"},
         {"computername", ColumnType::VarChar, 100, Nullability::Null, nullptr, "computername varchar(100) null,"},
         {"explainevent", ColumnType::VarChar, 100, Nullability::Null, nullptr, "explainevent varchar(100) null)"},
     }},
};

QString postgresType(const ColumnDef& column) {
    switch (column.type) {
    case ColumnType::Identity:
        return QString();
    case ColumnType::Int:
        return QStringLiteral("integer");
    case ColumnType::TinyInt:
    case ColumnType::Bit:
        // smallint keeps 0/1 comparable with integers as clients write them ("pbrowse=1").
        return QStringLiteral("smallint");
    case ColumnType::VarChar:
        return QStringLiteral("varchar(%1)").arg(column.size);
    case ColumnType::DateTime:
        return QStringLiteral("timestamp");
    case ColumnType::Image:
        return QStringLiteral("bytea");
    }
    return QString();
}

QString sqliteType(const ColumnDef& column) {
    switch (column.type) {
    case ColumnType::Identity:
        return QString();
    case ColumnType::Int:
        return QStringLiteral("integer");
    case ColumnType::TinyInt:
        return QStringLiteral("tinyint");
    case ColumnType::Bit:
        return QStringLiteral("bit");
    case ColumnType::VarChar:
        return QStringLiteral("varchar(%1)").arg(column.size);
    case ColumnType::DateTime:
        return QStringLiteral("datetime");
    case ColumnType::Image:
        return QStringLiteral("blob");
    }
    return QString();
}

} // namespace

const QList<TableDef>& tableDefinitions() {
    return kTables;
}

const TableDef* findTable(const QString& name) {
    for (const TableDef& table : kTables) {
        if (table.name.compare(name, Qt::CaseInsensitive) == 0)
            return &table;
    }
    return nullptr;
}

QStringList sqlServerTableLines(const TableDef& table) {
    QStringList lines;
    lines.reserve(table.columns.size() + 1);
    lines.append(QStringLiteral("Create Table ") + table.name);
    for (const ColumnDef& column : table.columns)
        lines.append(QLatin1String(column.sqlServerLine));
    return lines;
}

QStringList createTableStatements(const TableDef& table, platform::SqlProvider provider) {
    using platform::SqlProvider;
    if (provider == SqlProvider::SqlServer)
        return {joinBatch(sqlServerTableLines(table))};

    QStringList columns;
    for (const ColumnDef& column : table.columns) {
        QString line = QLatin1String(column.name) + QLatin1Char(' ');
        if (column.type == ColumnType::Identity) {
            if (provider == SqlProvider::PostgreSQL)
                line += QStringLiteral("integer generated by default as identity (start with %1) primary key")
                            .arg(table.identitySeed);
            else
                line += QStringLiteral("integer primary key autoincrement");
        } else {
            line += provider == SqlProvider::PostgreSQL ? postgresType(column) : sqliteType(column);
            if (column.defaultValue)
                line += QStringLiteral(" default ") + QLatin1String(column.defaultValue);
            if (column.nullability == Nullability::Null)
                line += QStringLiteral(" null");
        }
        columns.append(line);
    }
    QStringList statements;
    statements.append(QStringLiteral("create table ") + table.name + QStringLiteral(" (\n    ") +
                      columns.join(QStringLiteral(",\n    ")) + QStringLiteral(")"));
    // SQLite's autoincrement counter starts from the highest key handed out, kept in sqlite_sequence.
    if (provider == SqlProvider::SQLite && table.identitySeed != 1)
        statements.append(QStringLiteral("insert into sqlite_sequence (name, seq) values (%1, %2)")
                              .arg(quoteLiteral(table.name))
                              .arg(table.identitySeed - 1));
    return statements;
}

QStringList operatorPasswordTableStatements(platform::SqlProvider provider) {
    using platform::SqlProvider;
    const QString type = provider == SqlProvider::PostgreSQL ? QStringLiteral("timestamp") : QStringLiteral("datetime");
    return {QStringLiteral("create table %1 (operatorid integer primary key, hash varchar(255) null, changed %2 null)")
                .arg(kOperatorPasswordTable, type)};
}

QString joinBatch(const QStringList& lines) {
    QString text;
    for (const QString& line : lines)
        text += line + QStringLiteral("\r\n");
    return text;
}

QString quoteLiteral(const QString& value) {
    QString escaped = value;
    escaped.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

QString quoteBracketIdentifier(const QString& name) {
    QString escaped = name;
    escaped.replace(QLatin1Char(']'), QStringLiteral("]]"));
    return QLatin1Char('[') + escaped + QLatin1Char(']');
}

QString quoteIdentifier(const QString& name) {
    QString escaped = name;
    escaped.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace morvane::db
