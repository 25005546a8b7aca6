#include "ClientStatement.h"
#include "DbSchema.h"
#include "DbSession.h"
#include "ReadOnlyDirectory.h"
#include "RecordingSession.h"
#include "SqlConnection.h"
#include "TestSupport.h"
#include "unt_initdbms.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>

using namespace morvane;
using platform::SqlProvider;
using platform::SqlResult;
using Call = db::RecordingSession::Call;

namespace {

// Every table in creation order: its columns in order, and its SQL Server batch byte for byte.
struct ExpectedTable {
    const char* name;
    const char* columns;
    const char* sqlServerBatch;
};

const ExpectedTable kExpectedTables[] = {
    {"ac_popedomgroup", "id,popedomgroupname,remark",
     "Create Table ac_popedomgroup\r\n(id int identity PRIMARY KEY,\r\npopedomgroupname varchar(40) null,\r\nremark "
     "varchar(500) null)\r\n"},
    {"ac_popedomgroupmodule",
     "id,popedomgroupid,systemenuid,menuchinaname,menuenglishname,pbrowse,pinsert,pedit,pdelete",
     "Create Table ac_popedomgroupmodule\r\n(id int identity PRIMARY KEY,\r\npopedomgroupid int ,\r\nsystemenuid "
     "int,\r\nmenuchinaname varchar(40) null,\r\nmenuenglishname varchar(40) null,\r\npbrowse bit default "
     "0,\r\npinsert bit default 0,\r\npedit bit  default 0,\r\npdelete bit  default 0)\r\n"},
    {"ac_operator", "ID,popedomgroupid,operatorname,operatorpasd,worknumber,departmentid,username,inputdatetime",
     "Create Table ac_operator\r\n(ID int identity PRIMARY KEY,\r\npopedomgroupid int ,\r\noperatorname varchar(40) "
     "null,\r\noperatorpasd varchar(40) null,\r\nworknumber varchar(20) null,\r\ndepartmentid int null,\r\nusername "
     "varchar(40) null,\r\ninputdatetime datetime null)\r\n"},
    {"ac_systemoudle", "id,menuchinaname,menuenglishname,remark",
     "Create Table ac_systemoudle\r\n(id int identity(1000,1) PRIMARY KEY,\r\nmenuchinaname varchar(40) "
     "null,\r\nmenuenglishname varchar(40) null,\r\nremark varchar(500) null)\r\n"},
    {"ac_department", "id,departmentname,remark",
     "Create Table ac_department\r\n(id int identity PRIMARY KEY,\r\ndepartmentname varchar(40) null,\r\nremark "
     "varchar(500) null)\r\n"},
    {"ac_staffer",
     "id,username,departmentid,phone,sex,nation,specialty,area,schoolage,entercompanydate,wedlock,job,address,"
     "papertype,papernumber,email,photo,fettle,cardnumber,cardtype,begtime,endtime,opendoormode,password,degree,"
     "alreadyissue,alreadydown,cardfettle,remark",
     "Create Table ac_staffer\r\n(id int identity PRIMARY KEY,\r\nusername varchar(100) null,\r\ndepartmentid int "
     "null,\r\nphone varchar(40) null,\r\nsex int null,\r\nnation int null,\r\nspecialty int null,\r\narea int "
     "null,\r\nschoolage int null,\r\nentercompanydate datetime null,\r\nwedlock int null,\r\njob varchar(40) "
     "null,\r\naddress varchar(40) null,\r\npapertype int null,\r\npapernumber varchar(40) null,\r\nemail varchar(80) "
     "null,\r\nphoto image null,\r\nfettle  int default 0,\r\ncardnumber varchar(28) ,\r\ncardtype int ,\r\nbegtime "
     "datetime,\r\nendtime datetime,\r\nopendoormode int,\r\npassword varchar(8) ,\r\ndegree int,\r\nalreadyissue bit "
     "default 0,\r\nalreadydown bit default 0,\r\ncardfettle  int default 2,\r\nremark varchar(500) null)\r\n"},
    {"ac_device",
     "id,devicename,ipaddress,mac,subnetMask,serveripadress,gateway,devicetype,port,messagemode,password_1,password_2,"
     "password_3,datasavemode,excludedoor,preventreturn,alarmdoorstate",
     "Create Table ac_device\r\n(id int identity PRIMARY KEY,\r\ndevicename varchar(40) ,\r\nipaddress varchar(40) "
     "null,\r\nmac varchar(40) null,\r\nsubnetMask varchar(40) null,\r\nserveripadress varchar(40) null,\r\ngateway "
     "varchar(40) null,\r\ndevicetype tinyint null,\r\nport int default 2008,\r\nmessagemode tinyint "
     "null,\r\npassword_1 varchar(18) default '472913' ,\r\npassword_2 varchar(18) default '472913' ,\r\npassword_3 "
     "varchar(18) default '472913' ,\r\ndatasavemode tinyint default 0,\r\nexcludedoor bit default 1,\r\npreventreturn "
     "bit default 1 ,\r\nalarmdoorstate bit default 1 )\r\n"},
    {"brushcardlog", "ID,brushcardtime,cardno,mac,devicename,doornumber,doorname,eventtype,cardtype,InputTime,holder",
     "Create Table brushcardlog\r\n(ID int identity PRIMARY KEY,\r\nbrushcardtime varchar(40) null,\r\ncardno "
     "varchar(40) null,\r\nmac varchar(40) null,\r\ndevicename varchar(40) null,\r\ndoornumber int null,\r\ndoorname "
     "varchar(40) null,\r\neventtype varchar(100) null,\r\ncardtype varchar(20) null,\r\nInputTime varchar(20) "
     "null,\r\nholder varchar(80) null )\r\n"},
    {"ac_holiday", "ID,holidayname,BegDateTime,EndDateTime",
     "Create Table ac_holiday\r\n(ID int identity PRIMARY KEY,\r\nholidayname varchar(100) null,\r\nBegDateTime "
     "datetime null,\r\nEndDateTime datetime null)\r\n"},
    {"ac_timeparagraph", "ID,timegroupid,timeparagrapid,begtime,endtime,week1,week2,week3,week4,week5,week6,week7",
     "Create Table ac_timeparagraph\r\n(ID int identity PRIMARY KEY,\r\ntimegroupid int null,\r\ntimeparagrapid int "
     "null,\r\nbegtime varchar(8) null,\r\nendtime varchar(8) null,\r\nweek1 bit    null,\r\nweek2 bit    "
     "null,\r\nweek3 bit    null,\r\nweek4 bit    null,\r\nweek5 bit    null,\r\nweek6 bit   null,\r\nweek7 bit    "
     "null)\r\n"},
    {"ac_timegroup", "ID,timegroupname",
     "Create Table ac_timegroup\r\n(ID int identity PRIMARY KEY,\r\ntimegroupname varchar(100) null)\r\n"},
    {"ac_makecard", "ID,userid,cardnumber,cardfettle,deviceid,devicename,doornumber,begtime,maketime",
     "Create Table ac_makecard\r\n(ID int identity PRIMARY KEY,\r\nuserid int ,\r\ncardnumber varchar(28) "
     ",\r\ncardfettle int default 0,\r\ndeviceid int ,\r\ndevicename varchar(40) ,\r\ndoornumber int ,\r\nbegtime "
     "datetime ,\r\nmaketime datetime )\r\n"},
    {"ac_doorinfo", "ID,doorname,doorstation,dooraddress,deviceid,opendelaydtime,checkdoorsingnal,checkwork,doorstate",
     "Create Table ac_doorinfo\r\n(ID int identity PRIMARY KEY,\r\ndoorname varchar(40) ,\r\ndoorstation varchar(40) "
     "null,\r\ndooraddress int null,\r\ndeviceid int null,\r\nopendelaydtime int default 4,\r\ncheckdoorsingnal bit "
     "default 0,\r\ncheckwork bit default 0,\r\ndoorstate int default 0)\r\n"},
    {"ac_propmordcard", "ID,deviceid,groupid,groupname,cardcount",
     "Create Table ac_propmordcard\r\n(ID int identity PRIMARY KEY,\r\ndeviceid int null,\r\ngroupid int "
     "null,\r\ngroupname varchar(40) null,\r\ncardcount int null)\r\n"},
    {"ac_propholiday", "ID,deviceid,holidayid,holidayname,begdatetime,enddatetime,isuse",
     "Create Table ac_propholiday\r\n(ID int identity PRIMARY KEY,\r\ndeviceid int null,\r\nholidayid int "
     "null,\r\nholidayname varchar(100) null,\r\nbegdatetime datetime null,\r\nenddatetime datetime null,\r\nisuse bit "
     "default 0)\r\n"},
    {"ac_proptimegroup", "ID,deviceid,timegroupid,timegroupname,isuse",
     "Create Table ac_proptimegroup\r\n(ID int identity PRIMARY KEY,\r\ndeviceid int null,\r\ntimegroupid int "
     "null,\r\ntimegroupname varchar(100) null,\r\nisuse bit default 0)\r\n"},
    {"ac_wordbook", "ID,WordId,ItemId,WordName",
     "Create Table ac_wordbook\r\n(ID int identity PRIMARY KEY,\r\nWordId int null,\r\nItemId int null,\r\nWordName "
     "varchar(100) null)\r\n"},
    {"ac_SystemLog", "ID,operationtime,username,computername,explainevent",
     "Create Table ac_SystemLog\r\n(ID int identity PRIMARY KEY,\r\noperationtime datetime null,\r\nusername "
     "varchar(100) null,\r\ncomputername varchar(100) null,\r\nexplainevent varchar(100) null)\r\n"},
};

const char* const kDeleteDeviceBatch =
    "Create Proc DeleteDevice @DeivceID int \r\n"
    "AS \r\n"
    "--  删除设备的存储过程  --\r\n"
    "  declare @FDeviceID int  \r\n"
    "  set @FDeviceID = @DeivceID  -- 设备编号  \r\n"
    "  Delete ac_device where (id=@FDeviceID)  -- 删除设备  \r\n"
    "  Delete ac_makecard where (deviceid=@FDeviceID)  -- 删除用户权限  \r\n"
    "  Delete ac_doorinfo where (deviceid=@FDeviceID)-- 删除设备的门  \r\n"
    "  Delete ac_propmordcard where (deviceid=@FDeviceID)-- 删除设备的多卡数据  \r\n"
    "  Delete ac_propholiday where (deviceid=@FDeviceID)-- 删除设备的节假日数据 \r\n"
    "  Delete ac_proptimegroup where (deviceid=@FDeviceID)-- 删除设备的时间组   \r\n";

const char* const kDeleteDevicePropertyBatch =
    "Create Proc DeleteDeviceProperty @DeivceID int \r\n"
    "AS \r\n"
    "--  删除设备属性的存储过程  --\r\n"
    "  declare @FDeviceID int  \r\n"
    "  set @FDeviceID = @DeivceID  -- 设备编号  \r\n"
    "  Delete ac_doorinfo where (deviceid=@FDeviceID)-- 删除设备的门  \r\n"
    "  Delete ac_propmordcard where (deviceid=@FDeviceID)-- 删除设备的多卡数据  \r\n"
    "  Delete ac_propholiday where (deviceid=@FDeviceID)-- 删除设备的节假日数据 \r\n"
    "  Delete ac_proptimegroup where (deviceid=@FDeviceID)-- 删除设备的时间组   \r\n";

const char* const kCreateDeviceBatch =
    "Create Proc CreateDevice \r\n"
    "AS \r\n"
    "declare @DeviceID int,@i int  \r\n"
    "  set @i = 1   \r\n"
    "  select @DeviceID = max(id) from ac_device  --取设备ID号  \r\n"
    "  if (cast(@DeviceID as int)<>0)  \r\n"
    "  begin  \r\n"
    "     -- 保存多卡数据    \r\n"
    "    While (@i<9) \r\n"
    "    begin   \r\n"
    "      select @i   \r\n"
    "      Insert into ac_propmordcard(deviceid,groupid,cardcount)values(@DeviceID,@i,0)   \r\n"
    "      set @i = @i + 1   \r\n"
    "    end   \r\n"
    "    --  保存节假日数据   \r\n"
    "    insert into ac_propholiday(deviceid,holidayid,holidayname,begdatetime,enddatetime) \r\n"
    "                               select @DeviceID,ID,holidayname,begdatetime,enddatetime from ac_holiday\r\n"
    "                               where id not in (select holidayid from ac_propholiday where deviceid=@DeviceID)\r\n"
    "    --  保存时间组数据\r\n"
    "    insert into ac_proptimegroup(deviceid,timegroupid,timegroupname) \r\n"
    "    select @DeviceID,ID,timegroupname from ac_timegroup \r\n"
    "    where id not in (select timegroupid from ac_proptimegroup where deviceid=@DeviceID) \r\n"
    "    --  添加门 \r\n"
    "    declare @FDeviceType int \r\n"
    "    select @FDeviceType = devicetype from ac_device where id=@DeviceID \r\n"
    "    if (@FDeviceType = 0) set @FDeviceType = 1 \r\n"
    "    else if ((@FDeviceType = 1)or(@FDeviceType = 2)) set @FDeviceType = @FDeviceType * 2 \r\n"
    "    else if (@FDeviceType=3) set @FDeviceType = 8 \r\n"
    "    set @i = 1  \r\n"
    "    while (@FDeviceType>=@i) \r\n"
    "    begin \r\n"
    "      insert into ac_doorinfo(doorname,deviceid,dooraddress)\r\n"
    "                              VALUES('Door'+Cast(@i as varchar(2)),@DeviceID,@i)\r\n"
    "      set @i=@i+1\r\n"
    "    end \r\n"
    "  end \r\n";

// A NULL read back is typed by its column; compared here as a plain null.
QVariantList plain(QVariantList row) {
    for (QVariant& value : row) {
        if (value.isNull())
            value = QVariant();
    }
    return row;
}

QString u8(const char* text) {
    return QString::fromUtf8(text);
}

QStringList expectedTableNames() {
    QStringList names;
    for (const ExpectedTable& table : kExpectedTables)
        names.append(QLatin1String(table.name));
    return names;
}

// ---- SQL Server through the recording session -------------------------------------------------------

// Answers the module read-back as SQL Server would after the twenty inserts.
SqlResult sqlServerAnswer(const QString& sql, const QVariantList&) {
    SqlResult result;
    if (sql == QLatin1String("select * from ac_systemoudle order by id")) {
        result.columns = {QStringLiteral("id"), QStringLiteral("menuchinaname"), QStringLiteral("menuenglishname"),
                          QStringLiteral("remark")};
        for (int i = 0; i < 20; ++i)
            result.rows.append({1000 + i, QStringLiteral("m%1").arg(i), QStringLiteral("e%1").arg(i), QVariant()});
    }
    return result;
}

struct Recorded {
    std::shared_ptr<QList<Call>> log = std::make_shared<QList<Call>>();
    std::unique_ptr<TCreateDataBase> creation;
    QList<Call> execs() const {
        QList<Call> list;
        for (const Call& call : *log) {
            if (call.kind == Call::Exec)
                list.append(call);
        }
        return list;
    }
    int count(Call::Kind kind) const {
        int n = 0;
        for (const Call& call : *log)
            n += call.kind == kind ? 1 : 0;
        return n;
    }
};

Recorded recorded(const QString& name, db::RecordingSession::Script script = {}) {
    if (!script.exec)
        script.exec = sqlServerAnswer;
    Recorded r;
    r.creation = std::make_unique<TCreateDataBase>(name, QStringLiteral("sa;x"), QStringLiteral("p}w;d"),
                                                   QStringLiteral("db1,1433"), SqlProvider::SqlServer,
                                                   std::make_unique<db::RecordingSession>(r.log, std::move(script)));
    return r;
}

// ---- real databases -------------------------------------------------------------------------------

// A database of its own for one test: an SQLite file in a temporary directory, or a database of a
// unique name on the test run's PostgreSQL server, dropped afterwards.
class TestDatabase {
public:
    explicit TestDatabase(SqlProvider provider, const QString& name = {})
        : m_provider(provider) {
        if (provider == SqlProvider::SQLite) {
            m_name = m_dir.path() + QLatin1Char('/') + (name.isEmpty() ? QStringLiteral("acs.db") : name);
        } else {
            m_pg = test::PgServer::fromEnvironment();
            m_name = name.isEmpty() ? QStringLiteral("morvane_t_%1").arg(QRandomGenerator::global()->generate()) : name;
        }
    }
    ~TestDatabase() {
        m_connection.reset();
        if (m_pg) {
            platform::SqlConnection admin;
            if (admin.open(settings(QStringLiteral("postgres"))))
                admin.exec(QStringLiteral("drop database if exists \"%1\" with (force)")
                               .arg(QString(m_name).replace(QLatin1Char('"'), QStringLiteral("\"\""))));
        }
    }
    SqlProvider provider() const { return m_provider; }
    const QString& name() const { return m_name; }
    QString dir() const { return m_dir.path(); }
    QString user() const { return m_pg ? m_pg->user : QString(); }
    QString password() const { return m_pg ? m_pg->password : QString(); }
    QString server() const { return m_pg ? m_pg->serverName() : QString(); }

    platform::SqlConnectionSettings settings(const QString& database) const {
        platform::SqlConnectionSettings s;
        s.provider = m_provider;
        s.database = database;
        s.user = user();
        s.password = password();
        s.server = server();
        return s;
    }

    std::unique_ptr<TCreateDataBase> creation(std::unique_ptr<db::DbSession> session = {}) const {
        if (!session)
            session = std::make_unique<db::SqlConnectionSession>();
        return std::make_unique<TCreateDataBase>(m_name, user(), password(), server(), m_provider, std::move(session));
    }

    // A connection to the database itself, as a client would have it.
    platform::SqlConnection& connection() {
        if (!m_connection) {
            m_connection = std::make_unique<platform::SqlConnection>();
            QString error;
            if (!m_connection->open(settings(m_name), &error))
                qWarning("cannot open the test database: %s", qPrintable(error));
        }
        return *m_connection;
    }
    void closeConnection() { m_connection.reset(); }

    SqlResult query(const QString& sql) { return connection().exec(sql); }
    int count(const QString& sql) {
        const SqlResult r = query(sql);
        return r.ok && !r.rows.isEmpty() ? r.rows.first().value(0).toInt() : -1;
    }
    QStringList tables() {
        QStringList names = connection().tables();
        for (QString& name : names)
            name = name.toLower();
        names.sort();
        return names;
    }

private:
    SqlProvider m_provider;
    QTemporaryDir m_dir;
    std::optional<test::PgServer> m_pg;
    QString m_name;
    std::unique_ptr<platform::SqlConnection> m_connection;
};

// Puts the real session's statements through, but fails the n-th one; from then on the server is
// taken to have gone away: the connection is closed and every later call fails.
class FailingSession : public db::DbSession {
public:
    explicit FailingSession(int failAt)
        : m_failAt(failAt) {}
    bool open(const platform::SqlConnectionSettings& s, QString* e) override { return m_real.open(s, e); }
    void close() override { m_real.close(); }
    SqlResult exec(const QString& sql, const QVariantList& binds) override {
        if (++m_count >= m_failAt) {
            m_gone = true;
            m_real.close();
            SqlResult r;
            r.ok = false;
            r.error = QStringLiteral("server closed the connection unexpectedly");
            return r;
        }
        return m_real.exec(sql, binds);
    }
    bool tables(QStringList* names, QString* e) override { return m_real.tables(names, e); }
    bool transaction(QString* e) override { return m_real.transaction(e); }
    bool commit(QString* e) override { return !m_gone && m_real.commit(e); }
    bool rollback(QString* e) override { return !m_gone && m_real.rollback(e); }
    int count() const { return m_count; }

private:
    db::SqlConnectionSession m_real;
    int m_failAt;
    int m_count = 0;
    bool m_gone = false;
};

void addProviderRows() {
    QTest::addColumn<int>("provider");
    QTest::newRow("SQLite") << int(SqlProvider::SQLite);
    QTest::newRow("PostgreSQL") << int(SqlProvider::PostgreSQL);
}

#define FETCH_PROVIDER()                                                                                               \
    QFETCH(int, provider);                                                                                             \
    const SqlProvider kind = SqlProvider(provider);                                                                    \
    if (kind == SqlProvider::PostgreSQL) {                                                                             \
        MORVANE_REQUIRE_PG(pg);                                                                                        \
        Q_UNUSED(pg);                                                                                                  \
    }

} // namespace

class TestDatabaseCreation : public QObject {
    Q_OBJECT

private slots:
    // SQL Server: the batches as sent.
    void sqlServerFreshCreationSendsEveryBatch();
    void sqlServerDatabaseNameIsQuoted_data();
    void sqlServerDatabaseNameIsQuoted();
    void sqlServerMarker_data();
    void sqlServerMarker();
    void sqlServerFailures_data();
    void sqlServerFailures();

    void parseProcedureCall_data();
    void parseProcedureCall();

    // SQLite always, PostgreSQL when the test run has one.
    void freshDatabase_data() { addProviderRows(); }
    void freshDatabase();
    void rowDefaults_data() { addProviderRows(); }
    void rowDefaults();
    void createDevice_data() { addProviderRows(); }
    void createDevice();
    void doorCountRule_data();
    void doorCountRule();
    void deleteProcedures_data() { addProviderRows(); }
    void deleteProcedures();
    void otherClientStatementsPassUnchanged_data() { addProviderRows(); }
    void otherClientStatementsPassUnchanged();
    void existingDatabaseIsLeftAlone_data() { addProviderRows(); }
    void existingDatabaseIsLeftAlone();
    void tablesWithoutMarkerFailAndChangeNothing_data() { addProviderRows(); }
    void tablesWithoutMarkerFailAndChangeNothing();
    void failureMidCreationRollsBack_data();
    void failureMidCreationRollsBack();
    void postgresServerDropsTheConnection_data();
    void postgresServerDropsTheConnection();

    void postgresDatabaseNameIsQuoted_data();
    void postgresDatabaseNameIsQuoted();
    void postgresWrongPassword();
    void serverThatNeverAnswers_data();
    void serverThatNeverAnswers();
    void postgresLoginWithoutAccessToTheDatabase();
    void postgresLoginWithAwkwardValues();

    void sqliteReadOnlyPlaces_data();
    void sqliteReadOnlyPlaces();
    void sqliteFileThatIsNotADatabase();
    void sqliteDiskFull();
};

void TestDatabaseCreation::sqlServerFreshCreationSendsEveryBatch() {
    test::MessageCapture messages;
    Recorded r = recorded(QStringLiteral("acs"));
    QVERIFY(r.creation->BuildDataBase());
    QVERIFY(messages.messages().isEmpty());

    const QList<Call>& log = *r.log;
    // Server phase on master, then the database itself; both with the configured login and GBK texts.
    QCOMPARE(log.at(0).kind, Call::Open);
    QCOMPARE(log.at(0).settings.database, QStringLiteral("master"));
    QCOMPARE(log.at(0).settings.server, QStringLiteral("db1,1433"));
    QCOMPARE(log.at(0).settings.user, QStringLiteral("sa;x"));
    QCOMPARE(log.at(0).settings.password, QStringLiteral("p}w;d"));
    QCOMPARE(log.at(0).settings.clientCharset, QStringLiteral("GBK"));
    QCOMPARE(log.at(1).kind, Call::Exec);
    QCOMPARE(log.at(1).sql, QStringLiteral("if db_id('acs')is null\r\ncreate database [acs]\r\n"));
    QCOMPARE(log.at(2).kind, Call::Close);
    QCOMPARE(log.at(3).kind, Call::Open);
    QCOMPARE(log.at(3).settings.database, QStringLiteral("acs"));
    QCOMPARE(log.at(3).settings.server, QStringLiteral("db1,1433"));
    QCOMPARE(log.at(4).kind, Call::Tables);
    QCOMPARE(log.at(5).kind, Call::Begin);
    QCOMPARE(log.last().kind, Call::Close);
    QCOMPARE(log.at(log.size() - 2).kind, Call::Commit);
    QCOMPARE(r.count(Call::Rollback), 0);

    const QList<Call> execs = r.execs();
    // 1 server batch, 18 tables and the table of password hashes, 159 rows + 1 read-back, 3 procedures.
    QCOMPARE(execs.size(), 1 + 18 + 1 + 159 + 1 + 3);
    for (int i = 0; i < 18; ++i) {
        QCOMPARE(execs.at(1 + i).sql, u8(kExpectedTables[i].sqlServerBatch));
        QVERIFY(execs.at(1 + i).binds.isEmpty());
    }
    const int procedures = execs.size() - 3;
    QCOMPARE(execs.at(procedures).sql, u8(kDeleteDeviceBatch));
    QCOMPARE(execs.at(procedures + 1).sql, u8(kDeleteDevicePropertyBatch));
    QCOMPARE(execs.at(procedures + 2).sql, u8(kCreateDeviceBatch));

    // Seed rows: one statement per row in the fixed order, texts bound as Unicode for FreeTDS to convert.
    QVERIFY(execs.at(19).sql.startsWith(QLatin1String("create table morvane_operatorpassword")));
    const QList<Call> seeds = execs.mid(20, 160);
    QVERIFY(seeds.at(0).sql.startsWith(QLatin1String("insert into ac_popedomgroup")));
    QCOMPARE(seeds.at(0).binds, QVariantList{QStringLiteral("Administrator")});
    QVERIFY(seeds.at(1).sql.startsWith(QLatin1String("insert into ac_operator")));
    QCOMPARE(seeds.at(1).binds.value(1).toString(), QStringLiteral("SYSTEM"));
    QCOMPARE(seeds.at(1).binds.value(2).toString(), QStringLiteral("1"));
    QCOMPARE(seeds.at(6).binds, (QVariantList{u8("设备初始化          "), QStringLiteral("atnDeviceInitialize ")}));
    QCOMPARE(seeds.at(22).sql, QStringLiteral("select * from ac_systemoudle order by id"));
    // The rights copy what the read-back returned, not the numbers 1000 to 1019 themselves.
    QCOMPARE(seeds.at(23).binds, (QVariantList{1, 1000, QStringLiteral("m0"), QStringLiteral("e0"), 1, 1, 1, 1}));
    QCOMPARE(seeds.at(42).binds.value(1), QVariant(1019));
    QCOMPARE(seeds.at(43).binds, (QVariantList{1, 0, u8("男")}));
    QCOMPARE(seeds.at(56).binds, (QVariantList{4, 4, u8("用户卡1")}));
    QCOMPARE(seeds.at(87).binds, (QVariantList{14, 0, u8("本科")}));
    QCOMPARE(seeds.at(88).binds, (QVariantList{u8("时间组1")}));
    QCOMPARE(seeds.at(96).binds.mid(0, 4), (QVariantList{1, 1, QStringLiteral("00:00"), QStringLiteral("00:00")}));
    QCOMPARE(seeds.at(159).binds.mid(0, 2), (QVariantList{8, 8}));

    // The connection was released: a second call cannot run.
    const int calls = r.log->size();
    QVERIFY(!r.creation->BuildDataBase());
    QCOMPARE(r.log->size(), calls);
}

void TestDatabaseCreation::sqlServerDatabaseNameIsQuoted_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("batch");
    QTest::newRow("plain") << "acs"
                           << "if db_id('acs')is null\r\ncreate database [acs]\r\n";
    QTest::newRow("quote") << "o'neil"
                           << "if db_id('o''neil')is null\r\ncreate database [o'neil]\r\n";
    QTest::newRow("bracket") << "a]b[c"
                             << "if db_id('a]b[c')is null\r\ncreate database [a]]b[c]\r\n";
    QTest::newRow("space") << "my data"
                           << "if db_id('my data')is null\r\ncreate database [my data]\r\n";
    QTest::newRow("injection") << "x') drop database master --"
                               << "if db_id('x'') drop database master --')is null\r\n"
                                  "create database [x') drop database master --]\r\n";
    QTest::newRow("second statement") << "x]; drop database master; --"
                                      << "if db_id('x]; drop database master; --')is null\r\n"
                                         "create database [x]]; drop database master; --]\r\n";
}

void TestDatabaseCreation::sqlServerDatabaseNameIsQuoted() {
    QFETCH(QString, name);
    QFETCH(QString, batch);
    Recorded r = recorded(name);
    QVERIFY(r.creation->BuildDataBase());
    QCOMPARE(r.execs().first().sql, batch);
    QCOMPARE(r.log->at(3).settings.database, name);
}

void TestDatabaseCreation::sqlServerMarker_data() {
    QTest::addColumn<QStringList>("tables");
    QTest::addColumn<bool>("creates");
    QTest::newRow("marker only") << QStringList{QStringLiteral("ac_operator")} << false;
    QTest::newRow("marker among others") << QStringList{QStringLiteral("x"), QStringLiteral("ac_operator")} << false;
    QTest::newRow("marker in other case") << QStringList{QStringLiteral("AC_OPERATOR")} << true;
    QTest::newRow("Ac_Operator") << QStringList{QStringLiteral("Ac_Operator")} << true;
    QTest::newRow("no tables") << QStringList{} << true;
}

void TestDatabaseCreation::sqlServerMarker() {
    QFETCH(QStringList, tables);
    QFETCH(bool, creates);
    db::RecordingSession::Script script;
    script.tables = [tables](QStringList* names, QString*) {
        *names = tables;
        return true;
    };
    Recorded r = recorded(QStringLiteral("acs"), script);
    QVERIFY(r.creation->BuildDataBase());
    QCOMPARE(r.count(Call::Begin), creates ? 1 : 0);
    QCOMPARE(r.execs().size(), creates ? 183 : 1);
    QCOMPARE(r.log->last().kind, Call::Close);
}

void TestDatabaseCreation::sqlServerFailures_data() {
    QTest::addColumn<QString>("failing"); // "open:<catalog>", "tables", or the start of a failing statement
    QTest::addColumn<bool>("message");
    QTest::addColumn<bool>("rolledBack");
    QTest::newRow("server unreachable") << "open:master" << false << false;
    QTest::newRow("server batch") << "if db_id" << false << false;
    QTest::newRow("database refused") << "open:acs" << true << false;
    QTest::newRow("tables not listed") << "tables" << true << false;
    QTest::newRow("first table") << "Create Table ac_popedomgroup" << false << true;
    QTest::newRow("table after marker") << "Create Table ac_device" << false << true;
    QTest::newRow("seed row") << "insert into ac_wordbook" << false << true;
    QTest::newRow("procedure exists") << "Create Proc CreateDevice" << false << true;
}

void TestDatabaseCreation::sqlServerFailures() {
    QFETCH(QString, failing);
    QFETCH(bool, message);
    QFETCH(bool, rolledBack);
    db::RecordingSession::Script script;
    script.open = [failing](const platform::SqlConnectionSettings& s, QString* error) {
        if (failing == QLatin1String("open:") + s.database) {
            *error = QStringLiteral("Login failed");
            return false;
        }
        return true;
    };
    script.tables = [failing](QStringList*, QString* error) {
        *error = QStringLiteral("listing refused");
        return failing != QLatin1String("tables");
    };
    script.exec = [failing](const QString& sql, const QVariantList& binds) {
        if (sql.startsWith(failing)) {
            SqlResult r;
            r.ok = false;
            r.error = QStringLiteral("There is already an object named it");
            return r;
        }
        return sqlServerAnswer(sql, binds);
    };
    test::MessageCapture messages;
    Recorded r = recorded(QStringLiteral("acs"), script);
    QVERIFY(!r.creation->BuildDataBase());
    if (message) {
        QCOMPARE(messages.messages().size(), 1);
        QCOMPARE(messages.messages().first().text, QStringLiteral("Conncet database error"));
        QCOMPARE(messages.messages().first().caption, QStringLiteral("Info"));
        QCOMPARE(messages.messages().first().buttons, platform::MessageButtons::Ok);
        QCOMPARE(messages.messages().first().icon, platform::MessageIcon::None);
    } else {
        QVERIFY(messages.messages().isEmpty());
    }
    QCOMPARE(r.count(Call::Rollback), rolledBack ? 1 : 0);
    QCOMPARE(r.count(Call::Commit), 0);
    QCOMPARE(r.log->last().kind, Call::Close);
    if (rolledBack) {
        // Nothing after the failing statement was sent.
        QVERIFY(r.execs().last().sql.startsWith(failing));
    }
}

void TestDatabaseCreation::parseProcedureCall_data() {
    QTest::addColumn<QString>("sql");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("procedure");
    QTest::addColumn<QVariant>("id");
    const int none = db::ProcedureCallParse::NotACall;
    const int call = db::ProcedureCallParse::Call;
    const int bad = db::ProcedureCallParse::Malformed;
    QTest::newRow("exec CreateDevice") << "exec CreateDevice" << call << "CreateDevice" << QVariant();
    QTest::newRow("EXECUTE createdevice;") << "  EXECUTE createdevice ; " << call << "CreateDevice" << QVariant();
    QTest::newRow("Exec dbo.CreateDevice") << "Exec dbo.CreateDevice" << call << "CreateDevice" << QVariant();
    QTest::newRow("exec DeleteDevice 5") << "exec DeleteDevice 5" << call << "DeleteDevice" << QVariant(5);
    QTest::newRow("named") << "exec DeleteDevice @DeivceID=5" << call << "DeleteDevice" << QVariant(5);
    QTest::newRow("named spaced") << "ExEc deletedevice  @deivceid = -7" << call << "DeleteDevice" << QVariant(-7);
    QTest::newRow("property") << "execute DeleteDeviceProperty 5" << call << "DeleteDeviceProperty" << QVariant(5);
    QTest::newRow("property named") << "exec DELETEDEVICEPROPERTY @DeivceID=12;" << call << "DeleteDeviceProperty"
                                    << QVariant(12);
    QTest::newRow("null") << "exec DeleteDevice null" << call << "DeleteDevice" << QVariant(QMetaType::fromType<int>());
    QTest::newRow("wrong parameter name") << "exec DeleteDevice @DeviceID=5" << bad << "DeleteDevice" << QVariant();
    QTest::newRow("missing argument") << "exec DeleteDevice" << bad << "DeleteDevice" << QVariant();
    QTest::newRow("two statements") << "exec DeleteDevice 5; drop table ac_device" << bad << "DeleteDevice"
                                    << QVariant();
    QTest::newRow("text argument") << "exec DeleteDevice 'x'" << bad << "DeleteDevice" << QVariant();
    QTest::newRow("out of range") << "exec DeleteDevice 99999999999" << bad << "DeleteDevice" << QVariant();
    QTest::newRow("arguments to CreateDevice") << "exec CreateDevice 1" << bad << "CreateDevice" << QVariant();
    QTest::newRow("longer name") << "exec CreateDevices" << none << "" << QVariant();
    QTest::newRow("other procedure") << "exec sp_who" << none << "" << QVariant();
    QTest::newRow("select") << "select * from ac_device" << none << "" << QVariant();
    QTest::newRow("exec in text") << "select 'exec CreateDevice'" << none << "" << QVariant();
    QTest::newRow("executed") << "executed CreateDevice" << none << "" << QVariant();
}

void TestDatabaseCreation::parseProcedureCall() {
    QFETCH(QString, sql);
    QFETCH(int, outcome);
    QFETCH(QString, procedure);
    QFETCH(QVariant, id);
    const db::ProcedureCallParse parse = db::parseProcedureCall(sql);
    QCOMPARE(int(parse.outcome), outcome);
    if (outcome == db::ProcedureCallParse::NotACall)
        return;
    QCOMPARE(parse.procedure, procedure);
    if (outcome == db::ProcedureCallParse::Malformed) {
        QVERIFY(!parse.error.isEmpty());
        return;
    }
    QCOMPARE(parse.deviceId.isNull(), id.isNull());
    if (id.isValid() && !id.isNull())
        QCOMPARE(parse.deviceId.toInt(), id.toInt());
}

void TestDatabaseCreation::freshDatabase() {
    FETCH_PROVIDER();
    TestDatabase database(kind);
    test::MessageCapture messages;
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(database.creation()->BuildDataBase(), "creation failed");
    qInfo("fresh database in %lld ms", clock.elapsed());
    QVERIFY(messages.messages().isEmpty());

    QStringList expected = expectedTableNames();
    // Beside them the server's own table of password hashes, made in the same transaction.
    expected.append(db::kOperatorPasswordTable);
    for (QString& name : expected)
        name = name.toLower();
    expected.sort();
    QCOMPARE(database.tables(), expected);

    for (const ExpectedTable& table : kExpectedTables) {
        const SqlResult r = database.query(QStringLiteral("select * from ") + QLatin1String(table.name));
        QVERIFY2(r.ok, qPrintable(r.error));
        // PostgreSQL folds the unquoted names to lower case; any spelling reaches them.
        QCOMPARE(r.columns.join(QLatin1Char(',')).toLower(), QString::fromLatin1(table.columns).toLower());
    }

    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_popedomgroup")), 1);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_operator")), 1);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_systemoudle")), 20);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_popedomgroupmodule")), 20);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_wordbook")), 45);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_timegroup")), 8);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_timeparagraph")), 64);
    for (const char* empty : {"ac_department", "ac_staffer", "ac_device", "brushcardlog", "ac_holiday", "ac_makecard",
                              "ac_doorinfo", "ac_propmordcard", "ac_propholiday", "ac_proptimegroup", "ac_SystemLog"})
        QCOMPARE(database.count(QStringLiteral("select count(*) from ") + QLatin1String(empty)), 0);

    SqlResult r = database.query(QStringLiteral("select id, popedomgroupname, remark from ac_popedomgroup"));
    QCOMPARE(plain(r.rows.first()), (QVariantList{1, QStringLiteral("Administrator"), QVariant()}));
    r = database.query(QStringLiteral("select ID, popedomgroupid, operatorname, operatorpasd, username, worknumber "
                                      "from ac_operator"));
    QCOMPARE(r.rows.first().mid(0, 5).at(0).toInt(), 1);
    QCOMPARE(r.rows.first().at(1).toInt(), 1);
    QCOMPARE(r.rows.first().at(2).toString(), QStringLiteral("SYSTEM"));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9]$")).match(r.rows.first().at(3).toString()).hasMatch());
    QCOMPARE(r.rows.first().at(4).toString(), QStringLiteral("Administrator"));
    QVERIFY(r.rows.first().at(5).isNull());

    r = database.query(QStringLiteral("select id, menuchinaname, menuenglishname from ac_systemoudle order by id"));
    QCOMPARE(r.rows.size(), 20);
    QCOMPARE(r.rows.first().at(0).toInt(), 1000);
    QCOMPARE(r.rows.last().at(0).toInt(), 1019);
    QCOMPARE(r.rows.at(0).at(1).toString(), u8("部门管理"));
    QCOMPARE(r.rows.at(4).at(1).toString(), u8("设备初始化          "));
    QCOMPARE(r.rows.at(4).at(2).toString(), QStringLiteral("atnDeviceInitialize "));
    QCOMPARE(r.rows.at(5).at(2).toString(), QStringLiteral("atnsetdeviceip  "));
    QCOMPARE(r.rows.at(18).at(1).toString(), u8("补卡/换卡      "));
    const SqlResult modules = r;

    r = database.query(QStringLiteral("select id, popedomgroupid, systemenuid, menuchinaname, menuenglishname, "
                                      "pbrowse, pinsert, pedit, pdelete from ac_popedomgroupmodule order by id"));
    for (int i = 0; i < 20; ++i) {
        const QVariantList& row = r.rows.at(i);
        QCOMPARE(row.at(0).toInt(), i + 1);
        QCOMPARE(row.at(1).toInt(), 1);
        QCOMPARE(row.at(2).toInt(), 1000 + i);
        QCOMPARE(row.at(3).toString(), modules.rows.at(i).at(1).toString());
        QCOMPARE(row.at(4).toString(), modules.rows.at(i).at(2).toString());
        for (int right = 5; right <= 8; ++right)
            QCOMPARE(row.at(right).toInt(), 1);
    }

    r = database.query(QStringLiteral("select ID, WordId, ItemId, WordName from ac_wordbook order by ID"));
    QCOMPARE(r.rows.size(), 45);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_wordbook where wordid=9")), 0);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_wordbook where wordid=4")), 19);
    QCOMPARE(database.count(QStringLiteral("select min(itemid) from ac_wordbook where wordid=4")), 1);
    QCOMPARE(r.rows.at(0), (QVariantList{1, 1, 0, u8("男")}));
    QCOMPARE(r.rows.at(13).at(3).toString(), u8("用户卡1"));
    QCOMPARE(r.rows.at(20).at(3).toString(), u8("用户卡8"));
    QCOMPARE(r.rows.at(21).at(3).toString(), u8("多卡组1"));
    QCOMPARE(r.rows.at(28).at(3).toString(), u8("多卡组8"));
    QCOMPARE(r.rows.at(28).at(2).toInt(), 19);
    QCOMPARE(r.rows.at(34).at(3).toString(), u8("Rs485通讯"));
    QCOMPARE(r.rows.at(35).at(3).toString(), u8("在职"));
    QCOMPARE(r.rows.at(40).at(1).toInt(), 10);
    QCOMPARE(r.rows.at(44), (QVariantList{45, 14, 0, u8("本科")}));

    r = database.query(QStringLiteral("select ID, timegroupname from ac_timegroup order by ID"));
    QCOMPARE(r.rows.at(0), (QVariantList{1, u8("时间组1")}));
    QCOMPARE(r.rows.at(7), (QVariantList{8, u8("时间组8")}));
    r = database.query(QStringLiteral("select timegroupid, timeparagrapid, begtime, endtime, week1 + week2 + week3 + "
                                      "week4 + week5 + week6 + week7 from ac_timeparagraph order by ID"));
    QCOMPARE(r.rows.size(), 64);
    for (int i = 0; i < 64; ++i)
        QCOMPARE(r.rows.at(i),
                 (QVariantList{i / 8 + 1, i % 8 + 1, QStringLiteral("00:00"), QStringLiteral("00:00"), 0}));
}

void TestDatabaseCreation::rowDefaults() {
    FETCH_PROVIDER();
    TestDatabase database(kind);
    QVERIFY(database.creation()->BuildDataBase());
    QVERIFY(database.query(QStringLiteral("insert into ac_device (devicename) values ('d')")).ok);
    SqlResult r =
        database.query(QStringLiteral("select id, port, password_1, password_2, password_3, datasavemode, "
                                      "excludedoor, preventreturn, alarmdoorstate, devicetype from ac_device"));
    QCOMPARE(r.rows.size(), 1);
    QCOMPARE(r.rows.first().at(0).toInt(), 1);
    QCOMPARE(r.rows.first().at(1).toInt(), 2008);
    for (int i = 2; i <= 4; ++i)
        QCOMPARE(r.rows.first().at(i).toString(), QStringLiteral("472913"));
    QCOMPARE(r.rows.first().at(5).toInt(), 0);
    for (int i = 6; i <= 8; ++i)
        QCOMPARE(r.rows.first().at(i).toInt(), 1);
    QVERIFY(r.rows.first().at(9).isNull());

    QVERIFY(database.query(QStringLiteral("insert into ac_staffer (username) values ('s')")).ok);
    r = database.query(QStringLiteral("select id, fettle, alreadyissue, alreadydown, cardfettle from ac_staffer"));
    QCOMPARE(r.rows.first().at(0).toInt(), 1);
    QCOMPARE(r.rows.first().at(1).toInt(), 0);
    QCOMPARE(r.rows.first().at(2).toInt(), 0);
    QCOMPARE(r.rows.first().at(3).toInt(), 0);
    QCOMPARE(r.rows.first().at(4).toInt(), 2);

    QVERIFY(database.query(QStringLiteral("insert into ac_makecard (userid) values (1)")).ok);
    QCOMPARE(database.count(QStringLiteral("select cardfettle from ac_makecard")), 0);
    QVERIFY(database.query(QStringLiteral("insert into ac_doorinfo (doorname) values ('x')")).ok);
    r = database.query(
        QStringLiteral("select opendelaydtime, doorstate, checkdoorsingnal, checkwork from ac_doorinfo"));
    QCOMPARE(r.rows.first(), (QVariantList{4, 0, 0, 0}));
    QVERIFY(database.query(QStringLiteral("insert into ac_propholiday (deviceid) values (1)")).ok);
    QCOMPARE(database.count(QStringLiteral("select isuse from ac_propholiday")), 0);
    // Keys start at 1 in every table but the modules.
    QVERIFY(database.query(QStringLiteral("insert into brushcardlog (cardno) values ('c')")).ok);
    QCOMPARE(database.count(QStringLiteral("select ID from brushcardlog")), 1);
}

namespace {

struct DeviceRows {
    int doors, groups, holidays, timeGroups, cards;
};

DeviceRows deviceRows(TestDatabase& database, int device) {
    const auto n = [&](const char* table) {
        return database.count(
            QStringLiteral("select count(*) from %1 where deviceid=%2").arg(QLatin1String(table)).arg(device));
    };
    return {n("ac_doorinfo"), n("ac_propmordcard"), n("ac_propholiday"), n("ac_proptimegroup"), n("ac_makecard")};
}

bool operator==(const DeviceRows& a, const DeviceRows& b) {
    return a.doors == b.doors && a.groups == b.groups && a.holidays == b.holidays && a.timeGroups == b.timeGroups &&
           a.cards == b.cards;
}

char* toString(const DeviceRows& r) {
    return qstrdup(QByteArray("doors=" + QByteArray::number(r.doors) + " groups=" + QByteArray::number(r.groups) +
                              " holidays=" + QByteArray::number(r.holidays) + " timegroups=" +
                              QByteArray::number(r.timeGroups) + " cards=" + QByteArray::number(r.cards))
                       .constData());
}

SqlResult client(TestDatabase& database, const QString& sql) {
    return db::runClientStatement(database.connection(), sql);
}

} // namespace

void TestDatabaseCreation::createDevice() {
    FETCH_PROVIDER();
    TestDatabase database(kind);
    QVERIFY(database.creation()->BuildDataBase());
    const auto total = [&] {
        return database.count(QStringLiteral("select (select count(*) from ac_doorinfo) + (select count(*) from "
                                             "ac_propmordcard) + (select count(*) from ac_propholiday) + (select "
                                             "count(*) from ac_proptimegroup)"));
    };

    // An empty device table: nothing happens, no results.
    SqlResult r = client(database, QStringLiteral("exec CreateDevice"));
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.sets.size(), 0);
    QCOMPARE(total(), 0);

    QVERIFY(database.query(QStringLiteral("insert into ac_holiday (holidayname) values ('h1')")).ok);
    QVERIFY(database.query(QStringLiteral("insert into ac_holiday (holidayname) values ('h2')")).ok);
    QVERIFY(database.query(QStringLiteral("insert into ac_device (devicename, devicetype) values ('a', 0)")).ok);
    QVERIFY(database.query(QStringLiteral("insert into ac_device (devicename, devicetype) values ('b', 2)")).ok);

    r = client(database, QStringLiteral("EXEC createdevice"));
    QVERIFY2(r.ok, qPrintable(r.error));
    // One one-row result per multi-card group, numbered 1 to 8, as the procedure selects them.
    QCOMPARE(r.sets.size(), 8);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(r.sets.at(i).rows.size(), 1);
        QCOMPARE(r.sets.at(i).rows.first().value(0).toInt(), i + 1);
    }
    // Only the newest device (key 2) gets its rows.
    QCOMPARE(deviceRows(database, 1), (DeviceRows{0, 0, 0, 0, 0}));
    QCOMPARE(deviceRows(database, 2), (DeviceRows{4, 8, 2, 8, 0}));
    r = database.query(
        QStringLiteral("select doorname, dooraddress, opendelaydtime from ac_doorinfo where deviceid=2 order by ID"));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(r.rows.at(i), (QVariantList{QStringLiteral("Door%1").arg(i + 1), i + 1, 4}));
    r = database.query(QStringLiteral("select groupid, cardcount, groupname from ac_propmordcard order by ID"));
    for (int i = 0; i < 8; ++i)
        QCOMPARE(plain(r.rows.at(i)), (QVariantList{i + 1, 0, QVariant()}));
    r = database.query(QStringLiteral("select holidayid, holidayname, isuse from ac_propholiday order by ID"));
    QCOMPARE(r.rows.at(1), (QVariantList{2, QStringLiteral("h2"), 0}));
    r = database.query(QStringLiteral("select timegroupid, timegroupname, isuse from ac_proptimegroup order by ID"));
    QCOMPARE(r.rows.at(7), (QVariantList{8, u8("时间组8"), 0}));

    // A second run adds only the new holiday, but again eight groups and four doors.
    QVERIFY(database.query(QStringLiteral("insert into ac_holiday (holidayname) values ('h3')")).ok);
    r = client(database, QStringLiteral("execute CreateDevice;"));
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.sets.size(), 8);
    QCOMPARE(deviceRows(database, 2), (DeviceRows{8, 16, 3, 8, 0}));
}

void TestDatabaseCreation::doorCountRule_data() {
    QTest::addColumn<int>("provider");
    QTest::addColumn<QString>("deviceType");
    QTest::addColumn<int>("doors");
    for (const SqlProvider p : {SqlProvider::SQLite, SqlProvider::PostgreSQL}) {
        const QByteArray name = platform::sqlProviderName(p).toLatin1();
        for (const auto& [type, doors] : std::initializer_list<std::pair<const char*, int>>{
                 {"0", 1}, {"1", 2}, {"2", 4}, {"3", 8}, {"5", 5}, {"12", 12}, {"null", 0}})
            QTest::newRow(QByteArray(name + " type " + type).constData())
                << int(p) << QString::fromLatin1(type) << doors;
    }
}

void TestDatabaseCreation::doorCountRule() {
    FETCH_PROVIDER();
    QFETCH(QString, deviceType);
    QFETCH(int, doors);
    TestDatabase database(kind);
    QVERIFY(database.creation()->BuildDataBase());
    QVERIFY(
        database
            .query(QStringLiteral("insert into ac_device (devicename, devicetype) values ('d', %1)").arg(deviceType))
            .ok);
    QVERIFY(client(database, QStringLiteral("exec CreateDevice")).ok);
    QCOMPARE(deviceRows(database, 1).doors, doors);
    QCOMPARE(database.count(QStringLiteral("select max(dooraddress) from ac_doorinfo")), doors == 0 ? 0 : doors);
}

void TestDatabaseCreation::deleteProcedures() {
    FETCH_PROVIDER();
    TestDatabase database(kind);
    QVERIFY(database.creation()->BuildDataBase());
    QVERIFY(database.query(QStringLiteral("insert into ac_holiday (holidayname) values ('h')")).ok);
    for (int device = 1; device <= 3; ++device) {
        QVERIFY(database.query(QStringLiteral("insert into ac_device (devicename, devicetype) values ('d', 1)")).ok);
        QVERIFY(client(database, QStringLiteral("exec CreateDevice")).ok);
        QVERIFY(
            database.query(QStringLiteral("insert into ac_makecard (userid, deviceid) values (1, %1)").arg(device)).ok);
    }
    const DeviceRows full{2, 8, 1, 8, 1};
    QCOMPARE(deviceRows(database, 2), full);

    SqlResult r = client(database, QStringLiteral("exec DeleteDeviceProperty 2"));
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(deviceRows(database, 2), (DeviceRows{0, 0, 0, 0, 1}));
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_device where id=2")), 1);

    r = client(database, QStringLiteral("exec DeleteDevice @DeivceID=1"));
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(deviceRows(database, 1), (DeviceRows{0, 0, 0, 0, 0}));
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_device where id=1")), 0);

    r = client(database, QStringLiteral("Execute deletedevice 2"));
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_device")), 1);
    // The third device was never touched.
    QCOMPARE(deviceRows(database, 3), full);

    // A key that is not there and a NULL delete nothing; a bad call is refused and changes nothing.
    QVERIFY(client(database, QStringLiteral("exec DeleteDevice 99")).ok);
    QVERIFY(client(database, QStringLiteral("exec DeleteDevice null")).ok);
    r = client(database, QStringLiteral("exec DeleteDevice @DeviceID=3"));
    QVERIFY(!r.ok);
    QVERIFY(r.error.contains(QLatin1String("@DeviceID")));
    QCOMPARE(deviceRows(database, 3), full);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_device")), 1);
}

void TestDatabaseCreation::otherClientStatementsPassUnchanged() {
    FETCH_PROVIDER();
    TestDatabase database(kind);
    QVERIFY(database.creation()->BuildDataBase());
    // Names in any letter case reach the tables.
    SqlResult r = client(database, QStringLiteral("select COUNT(*) from AC_SYSTEMOUDLE where MenuEnglishName = "
                                                  "'atn_base_dept'"));
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.rows.first().first().toInt(), 1);
    r = db::runClientStatement(database.connection(),
                               QStringLiteral("update ac_wordbook set WordName = ? where ID = ?"),
                               {QStringLiteral("x"), 1});
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(database.query(QStringLiteral("select WordName from ac_wordbook where ID = 1")).rows.first().first(),
             QVariant(QStringLiteral("x")));
    // Another procedure is the server's to refuse.
    QVERIFY(!client(database, QStringLiteral("exec NoSuchProcedure 1")).ok);
}

void TestDatabaseCreation::existingDatabaseIsLeftAlone() {
    FETCH_PROVIDER();
    TestDatabase database(kind);
    QVERIFY(database.creation()->BuildDataBase());
    QVERIFY(database.query(QStringLiteral("delete from ac_wordbook where WordId = 14")).ok);
    QVERIFY(database.query(QStringLiteral("insert into ac_department (departmentname) values ('kept')")).ok);
    database.closeConnection();

    test::MessageCapture messages;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(database.creation()->BuildDataBase());
    qInfo("existing database checked in %lld ms", clock.elapsed());
    QVERIFY(messages.messages().isEmpty());
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_wordbook")), 44);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_department")), 1);
}

void TestDatabaseCreation::tablesWithoutMarkerFailAndChangeNothing() {
    FETCH_PROVIDER();
    TestDatabase database(kind);
    QVERIFY(database.creation()->BuildDataBase());
    QVERIFY(database.query(QStringLiteral("drop table ac_operator")).ok);
    database.closeConnection();
    const QStringList before = database.tables();
    database.closeConnection();

    test::MessageCapture messages;
    auto creation = database.creation();
    QVERIFY(!creation->BuildDataBase());
    QVERIFY(messages.messages().isEmpty());
    QVERIFY(!creation->lastError().isEmpty());
    QCOMPARE(database.tables(), before);
    QVERIFY(!database.tables().contains(QStringLiteral("ac_operator")));
}

void TestDatabaseCreation::failureMidCreationRollsBack_data() {
    QTest::addColumn<int>("provider");
    QTest::addColumn<int>("failAt");
    for (const SqlProvider p : {SqlProvider::SQLite, SqlProvider::PostgreSQL}) {
        const QByteArray name = platform::sqlProviderName(p).toLatin1();
        // The statement counts from the server phase on: 1 is the first one sent after it.
        for (const int at : {1, 3, 19, 60, 150, 177})
            QTest::newRow(QByteArray(name + " statement " + QByteArray::number(at)).constData()) << int(p) << at;
    }
}

void TestDatabaseCreation::failureMidCreationRollsBack() {
    FETCH_PROVIDER();
    QFETCH(int, failAt);
    TestDatabase database(kind);
    // PostgreSQL's server phase sends one statement of its own (the existence check), and on a missing
    // database a second; SQLite's none.
    const int serverStatements = kind == SqlProvider::PostgreSQL ? 2 : 0;
    auto session = std::make_unique<FailingSession>(failAt + serverStatements);
    FailingSession* failing = session.get();
    auto creation = database.creation(std::move(session));
    QVERIFY(!creation->BuildDataBase());
    Q_UNUSED(failing);
    QVERIFY(database.tables().isEmpty());
    database.closeConnection();

    // The next start finds no schema and builds it whole.
    QVERIFY(database.creation()->BuildDataBase());
    QCOMPARE(database.tables().size(), 19);
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_timeparagraph")), 64);
    QCOMPARE(database.count(QStringLiteral("select min(id) from ac_systemoudle")), 1000);
}

namespace {

// Has the server itself end the session's backend just before the n-th request (the statements and the
// table listing counted alike).
class TerminatedSession : public db::DbSession {
public:
    TerminatedSession(int terminateAt, platform::SqlConnection& admin, QString database)
        : m_terminateAt(terminateAt)
        , m_admin(admin)
        , m_database(std::move(database)) {}
    bool open(const platform::SqlConnectionSettings& s, QString* e) override { return m_real.open(s, e); }
    void close() override { m_real.close(); }
    SqlResult exec(const QString& sql, const QVariantList& binds) override {
        step();
        return m_real.exec(sql, binds);
    }
    bool tables(QStringList* names, QString* e) override {
        step();
        return m_real.tables(names, e);
    }
    bool transaction(QString* e) override { return m_real.transaction(e); }
    bool commit(QString* e) override { return m_real.commit(e); }
    bool rollback(QString* e) override { return m_real.rollback(e); }

private:
    void step() {
        if (++m_count == m_terminateAt)
            m_admin.exec(QStringLiteral("select pg_terminate_backend(pid) from pg_stat_activity where datname = ?"),
                         {m_database});
    }

    db::SqlConnectionSession m_real;
    int m_terminateAt;
    platform::SqlConnection& m_admin;
    QString m_database;
    int m_count = 0;
};

} // namespace

void TestDatabaseCreation::postgresServerDropsTheConnection_data() {
    QTest::addColumn<int>("terminateAt");
    QTest::addColumn<bool>("message");
    // Two statements of the server phase, then the listing: the 81st request is a seed row.
    QTest::newRow("before the table listing") << 3 << true;
    QTest::newRow("at a seed row") << 81 << false;
}

void TestDatabaseCreation::postgresServerDropsTheConnection() {
    MORVANE_REQUIRE_PG(pg);
    Q_UNUSED(pg);
    QFETCH(int, terminateAt);
    QFETCH(bool, message);
    TestDatabase database(SqlProvider::PostgreSQL);
    platform::SqlConnection admin;
    QVERIFY(admin.open(database.settings(QStringLiteral("postgres"))));
    auto creation = database.creation(std::make_unique<TerminatedSession>(terminateAt, admin, database.name()));
    test::MessageCapture messages;
    QVERIFY(!creation->BuildDataBase());
    QVERIFY(!creation->lastError().isEmpty());
    // A listing that failed is no empty database: the box, and no creation.
    QCOMPARE(messages.messages().size(), message ? 1 : 0);
    if (message)
        QCOMPARE(messages.messages().first().text, QStringLiteral("Conncet database error"));
    QCOMPARE(database.tables(), QStringList());
    database.closeConnection();
    QVERIFY(database.creation()->BuildDataBase());
    QCOMPARE(database.count(QStringLiteral("select count(*) from ac_wordbook")), 45);
}

void TestDatabaseCreation::postgresDatabaseNameIsQuoted_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("mixed case and space") << "Morvane Acs";
    QTest::newRow("quote") << "o'neil\"s";
    QTest::newRow("injection") << "x\"; drop database postgres; --";
    QTest::newRow("bracket") << "acs]";
    QTest::newRow("chinese") << u8("门禁");
}

void TestDatabaseCreation::postgresDatabaseNameIsQuoted() {
    MORVANE_REQUIRE_PG(pg);
    Q_UNUSED(pg);
    QFETCH(QString, name);
    const QString unique = name + QString::number(QRandomGenerator::global()->bounded(100000));
    TestDatabase database(SqlProvider::PostgreSQL, unique);
    platform::SqlConnection admin;
    QVERIFY(admin.open(database.settings(QStringLiteral("postgres"))));
    // Other test programs on the same server make and drop databases of their own ("morvane_..."); the
    // creation must add exactly the one named.
    const auto databases = [&] {
        QStringList names;
        for (const QVariantList& row : admin.exec(QStringLiteral("select datname from pg_database")).rows) {
            if (!row.first().toString().startsWith(QLatin1String("morvane_")))
                names.append(row.first().toString());
        }
        names.sort();
        return names;
    };
    QStringList expected = databases();

    QVERIFY2(database.creation()->BuildDataBase(), "creation failed");
    SqlResult r = admin.exec(QStringLiteral("select count(*) from pg_database where datname = ?"), {unique});
    QCOMPARE(r.rows.first().first().toInt(), 1);
    expected.append(unique);
    expected.sort();
    QCOMPARE(databases(), expected);
    QCOMPARE(database.tables().size(), 19);
    // A second start finds the same database.
    database.closeConnection();
    QVERIFY(database.creation()->BuildDataBase());
}

void TestDatabaseCreation::postgresWrongPassword() {
    MORVANE_REQUIRE_PG(pg);
    test::MessageCapture messages;
    const QString name = QStringLiteral("morvane_t_wrong");
    TCreateDataBase creation(name, pg.user, QStringLiteral("not;the=password'"), pg.serverName(),
                             SqlProvider::PostgreSQL);
    QVERIFY(!creation.BuildDataBase());
    QVERIFY(messages.messages().isEmpty());
    QVERIFY(!creation.lastError().isEmpty());
}

void TestDatabaseCreation::serverThatNeverAnswers_data() {
    QTest::addColumn<int>("provider");
    QTest::newRow("SQL Server through FreeTDS") << int(SqlProvider::SqlServer);
    QTest::newRow("PostgreSQL") << int(SqlProvider::PostgreSQL);
}

void TestDatabaseCreation::serverThatNeverAnswers() {
    QFETCH(int, provider);
    // A listening loopback socket: the kernel accepts the connection, nobody ever answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    test::MessageCapture messages;
    const QString separator =
        SqlProvider(provider) == SqlProvider::SqlServer ? QStringLiteral(",") : QStringLiteral(":");
    TCreateDataBase creation(QStringLiteral("acs"), QStringLiteral("u"), QStringLiteral("p"),
                             QStringLiteral("127.0.0.1") + separator + QString::number(silent.serverPort()),
                             SqlProvider(provider));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!creation.BuildDataBase());
    qInfo("gave up after %lld ms: %s", clock.elapsed(), qPrintable(creation.lastError()));
    QVERIFY(clock.elapsed() < 10000);
    QVERIFY(messages.messages().isEmpty());
}

void TestDatabaseCreation::postgresLoginWithoutAccessToTheDatabase() {
    MORVANE_REQUIRE_PG(pg);
    TestDatabase database(SqlProvider::PostgreSQL);
    const QString role = QStringLiteral("morvane_r_%1").arg(QRandomGenerator::global()->generate());
    platform::SqlConnection admin;
    QVERIFY(admin.open(database.settings(QStringLiteral("postgres"))));
    QVERIFY(admin.exec(QStringLiteral("create role %1 login password 'pw'").arg(role)).ok);
    QVERIFY(admin.exec(QStringLiteral("create database \"%1\"").arg(database.name())).ok);
    QVERIFY(admin.exec(QStringLiteral("revoke connect on database \"%1\" from public").arg(database.name())).ok);

    test::MessageCapture messages;
    TCreateDataBase creation(database.name(), role, QStringLiteral("pw"), pg.serverName(), SqlProvider::PostgreSQL);
    const bool built = creation.BuildDataBase();
    admin.exec(QStringLiteral("drop role %1").arg(role));
    QVERIFY(!built);
    QCOMPARE(messages.messages().size(), 1);
    QCOMPARE(messages.messages().first().text, QStringLiteral("Conncet database error"));
    QCOMPARE(messages.messages().first().caption, QStringLiteral("Info"));
    QCOMPARE(database.tables().size(), 0);
}

void TestDatabaseCreation::postgresLoginWithAwkwardValues() {
    MORVANE_REQUIRE_PG(pg);
    // Separators and quotes of connection texts in the password: each value must reach the server whole.
    const QString password = QStringLiteral("a;b=c'd }{ e\"f");
    const QString role = QStringLiteral("morvane_r_%1").arg(QRandomGenerator::global()->generate());
    TestDatabase database(SqlProvider::PostgreSQL);
    platform::SqlConnection admin;
    QVERIFY(admin.open(database.settings(QStringLiteral("postgres"))));
    QVERIFY(admin.exec(QStringLiteral("create role %1 login createdb password 'a;b=c''d }{ e\"f'").arg(role)).ok);
    TCreateDataBase creation(database.name(), role, password, pg.serverName(), SqlProvider::PostgreSQL);
    const bool built = creation.BuildDataBase();
    const QString error = creation.lastError();
    QCOMPARE(database.tables().size(), built ? 19 : 0);
    database.closeConnection();
    admin.exec(QStringLiteral("drop database if exists \"%1\" with (force)").arg(database.name()));
    admin.exec(QStringLiteral("drop role %1").arg(role));
    QVERIFY2(built, qPrintable(error));
}

void TestDatabaseCreation::sqliteReadOnlyPlaces_data() {
    QTest::addColumn<QString>("before"); // none, empty, complete
    QTest::addColumn<bool>("result");
    QTest::newRow("no file yet") << "none" << false;
    QTest::newRow("empty file") << "empty" << false;
    QTest::newRow("complete database") << "complete" << true;
}

void TestDatabaseCreation::sqliteReadOnlyPlaces() {
    QFETCH(QString, before);
    QFETCH(bool, result);
    TestDatabase database(SqlProvider::SQLite);
    if (before == QLatin1String("empty")) {
        QFile file(database.name());
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (before == QLatin1String("complete")) {
        QVERIFY(database.creation()->BuildDataBase());
    }
    const QByteArray content = QFile::exists(database.name()) ? test::TestEnvironment().readFile(database.name()) : "";
    {
        test::ReadOnlyDirectory readOnly(database.dir());
        if (!readOnly.ok())
            QSKIP("cannot make a read-only directory here");
        test::MessageCapture messages;
        QCOMPARE(database.creation()->BuildDataBase(), result);
    }
    QCOMPARE(QFile::exists(database.name()), before != QLatin1String("none"));
    if (before != QLatin1String("none")) {
        QFile file(database.name());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
    }
}

void TestDatabaseCreation::sqliteFileThatIsNotADatabase() {
    TestDatabase database(SqlProvider::SQLite);
    const QByteArray garbage(4096, 'x');
    {
        QFile file(database.name());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(garbage);
    }
    test::MessageCapture messages;
    QVERIFY(!database.creation()->BuildDataBase());
    QCOMPARE(messages.messages().size(), 1);
    QCOMPARE(messages.messages().first().text, QStringLiteral("Conncet database error"));
    QFile file(database.name());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), garbage);
}

void TestDatabaseCreation::sqliteDiskFull() {
    if (::geteuid() != 0)
        QSKIP("a small file system needs root to mount");
    QTemporaryDir dir;
    const QByteArray mountPoint = QFile::encodeName(dir.path());
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=24k") != 0)
        QSKIP("cannot mount a small file system here");
    const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
    const QString path = dir.path() + QStringLiteral("/full.db");
    test::MessageCapture messages;
    TCreateDataBase creation(path, {}, {}, {}, SqlProvider::SQLite);
    QVERIFY(!creation.BuildDataBase());
    qInfo("disk full: %s", qPrintable(creation.lastError()));
    QVERIFY(messages.messages().isEmpty());
    // Whatever the file holds now, it is no half-built schema.
    platform::SqlConnection check;
    platform::SqlConnectionSettings s;
    s.provider = SqlProvider::SQLite;
    s.database = path;
    if (check.open(s))
        QCOMPARE(check.tables(), QStringList());
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestDatabaseCreation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_database.moc"
