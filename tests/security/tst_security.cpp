// Log-on, sessions, rights and the audit log as a client meets them: requests through the wire
// protocol's server session (and once through the real endpoint), on SQLite and on PostgreSQL, with the
// controller simulator behind the door commands.
#include "AuditLog.h"
#include "AutomationEndpoint.h"
#include "ComServer.h"
#include "DbSchema.h"
#include "JsonRpc.h"
#include "LocalServer.h"
#include "Provider.h"
#include "rmtdm.h"
#include "SecurityService.h"
#include "server_TLB.h"
#include "SimulatorThread.h"
#include "SqlConnection.h"
#include "TestSupport.h"
#include "unt_initdbms.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace morvane;
using platform::SqlProvider;
using test::change;
namespace hr = platform::hr;
namespace rpc = platform::rpc;

namespace {

const QString kLockMac = QStringLiteral("00-1A-2B-3C-4D-01");
const QString kLogOnFirst = QStringLiteral("Log on first: call Logon with an operator and a password or a token");
const QString kWrong = QStringLiteral("Unknown operator or wrong password");
const QString kEnded = QStringLiteral("The session has ended: its operator was changed or removed; log on again");

// How many objects the sessions of the tests have made: nothing is made for a refused CreateObject.
std::atomic<int> g_created{0};

// One client connection through the server session, with the guard the server gives each connection.
class Client {
public:
    explicit Client(security::Service& service)
        : m_session(
              [](const QString& name) {
                  ++g_created;
                  return platform::ComServer::instance().createInstance(name);
              },
              service.openConnection()) {}
    QJsonObject call(const QString& method, const QJsonValue& params = QJsonArray()) {
        const QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                  {QStringLiteral("id"), ++m_id},
                                  {QStringLiteral("method"), method},
                                  {QStringLiteral("params"), params}};
        m_last =
            QJsonDocument::fromJson(m_session.handle(QJsonDocument(request).toJson(QJsonDocument::Compact))).object();
        return m_last;
    }
    QJsonObject logon(const QString& name, const QString& password,
                      const QString& address = QStringLiteral("192.0.2.1")) {
        return call(QStringLiteral("Logon"), QJsonObject{{QStringLiteral("operator"), name},
                                                         {QStringLiteral("password"), password},
                                                         {QStringLiteral("address"), address}});
    }
    // Logs on and makes the object; false when either fails.
    bool open(const QString& name, const QString& password) {
        if (!logon(name, password).contains(QStringLiteral("result")))
            return false;
        m_token = result().value(QStringLiteral("token")).toString();
        return call(QStringLiteral("CreateObject"), QJsonArray{QStringLiteral("server.rmtserver")})
            .contains(QStringLiteral("result"));
    }
    QJsonObject get(const QString& provider, const QString& sql) {
        return call(QStringLiteral("AS_GetRecords"), QJsonObject{{QStringLiteral("ProviderName"), provider},
                                                                 {QStringLiteral("Count"), -1},
                                                                 {QStringLiteral("Options"), 1},
                                                                 {QStringLiteral("CommandText"), sql},
                                                                 {QStringLiteral("Params"), QJsonValue()},
                                                                 {QStringLiteral("OwnerData"), QJsonValue()}});
    }
    QJsonObject execute(const QString& provider, const QString& sql) {
        return call(QStringLiteral("AS_Execute"), QJsonObject{{QStringLiteral("ProviderName"), provider},
                                                              {QStringLiteral("CommandText"), sql},
                                                              {QStringLiteral("Params"), QJsonValue()},
                                                              {QStringLiteral("OwnerData"), QJsonValue()}});
    }
    // A delta to the table of `sql`, read first as a client does.
    QJsonObject apply(const QString& provider, const QString& sql, const QJsonObject& change) {
        get(provider, sql);
        const QJsonObject delta{
            {QStringLiteral("vt"), QStringLiteral("packet")},
            {QStringLiteral("value"), QJsonObject{{QStringLiteral("changes"), QJsonArray{change}}}}};
        return call(QStringLiteral("AS_ApplyUpdates"), QJsonObject{{QStringLiteral("ProviderName"), provider},
                                                                   {QStringLiteral("Delta"), delta},
                                                                   {QStringLiteral("MaxErrors"), 0},
                                                                   {QStringLiteral("OwnerData"), QJsonValue()}});
    }
    QJsonObject result() const { return m_last.value(QStringLiteral("result")).toObject(); }
    QString error() const {
        return m_last.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
    }
    int code() const { return m_last.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt(); }
    bool ok() const { return m_last.contains(QStringLiteral("result")); }
    const QString& token() const { return m_token; }

private:
    rpc::ServerSession m_session;
    int m_id = 0;
    QJsonObject m_last;
    QString m_token;
};

// A clock the tests move on.
std::atomic<qint64> g_now{1'700'000'000'000};

} // namespace

class TestSecurity : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    ctrlsim::SimulatorThread m_sim;
    QString m_lockIp;
    std::optional<test::PgServer> m_pg;
    std::unique_ptr<platform::SqlConnection> m_sqlite;
    std::unique_ptr<platform::SqlConnection> m_postgres;
    std::unique_ptr<security::Service> m_sqliteService;
    std::unique_ptr<security::Service> m_postgresService;

    security::Settings settings(const QString& auditName, const QString& exempt = QString()) {
        security::Settings s;
        s.auditPath = m_env->path(auditName);
        s.lockoutExempt = exempt;
        s.now = [] { return g_now.load(); };
        return s;
    }
    // Seeds a group that may only read staff and departments, its operator, and a staff member; the
    // operator's password is in plain text, as a legacy database holds it.
    static bool seed(platform::SqlConnection& db) {
        const QStringList statements{
            QStringLiteral("insert into ac_popedomgroup (popedomgroupname) values ('Viewers')"),
            QStringLiteral("insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuenglishname, "
                           "pbrowse, pinsert, pedit, pdelete) values (2, 1001, 'atn_base_staff', 1, 0, 0, 0)"),
            QStringLiteral("insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuenglishname, "
                           "pbrowse, pinsert, pedit, pdelete) values (2, 1000, 'atn_base_dept', 1, 0, 0, 0)"),
            QStringLiteral("insert into ac_operator (popedomgroupid, operatorname, operatorpasd) values (2, "
                           "'viewer', 'secret')"),
            QStringLiteral("insert into ac_department (departmentname) values ('Sales')"),
            QStringLiteral("insert into ac_staffer (username, departmentid, phone) values ('Ann', 1, '100')"),
        };
        for (const QString& statement : statements) {
            const platform::SqlResult r = db.exec(statement);
            if (!r.ok) {
                qWarning("%s: %s", qPrintable(statement), qPrintable(r.error));
                return false;
            }
        }
        return true;
    }
    // The backend of the data row for the providers; null to skip.
    security::Service* use(const QString& backend) {
        const bool sqlite = backend == QLatin1String("sqlite");
        provider::setSharedConnection(sqlite ? m_sqlite.get() : m_postgres.get());
        security::Service* service = sqlite ? m_sqliteService.get() : m_postgresService.get();
        provider::setSecurityHooks(service);
        return service;
    }
    platform::SqlConnection& db(const QString& backend) {
        return backend == QLatin1String("sqlite") ? *m_sqlite : *m_postgres;
    }
    QVariant value(const QString& backend, const QString& sql) {
        const platform::SqlResult r = db(backend).exec(sql);
        return r.ok && !r.rows.isEmpty() ? r.rows.first().value(0) : QVariant();
    }
    static void backends() {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
        QTest::newRow("postgresql") << QStringLiteral("postgresql");
    }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void passwordsAtRest_data() { backends(); }
    void passwordsAtRest();
    void rights_data();
    void rights();
    void doorNeedsMonitoring();
    void sessionEnds_data();
    void sessionEnds();
    void badLogons_data();
    void badLogons();
    void lockout();
    void auditLog();
    void auditAppendersAtOnce_data();
    void auditAppendersAtOnce();
    void throughTheEndpoint();
    void defaultPassword();
    void cardRights_data();
    void cardRights();
};

void TestSecurity::initTestCase() {
    m_env = std::make_unique<test::TestEnvironment>();
    qputenv("MORVANE_KESTROVA_TIMEOUT_MS", "80");
    qputenv("MORVANE_KESTROVA_ATTEMPTS", "2");
    QString error;
    QVERIFY2(test::loadComponent(QStringLiteral(KESTROVA_LIBRARY), true, &error), qPrintable(error));
    registerRmtserverFactory();
    m_lockIp = test::randomLoopback();
    const QJsonArray controllers{QJsonObject{
        {QStringLiteral("mac"), kLockMac}, {QStringLiteral("ip"), m_lockIp}, {QStringLiteral("port"), 2008}}};
    QVERIFY2(m_sim.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error), qPrintable(error));

    const QString file = m_env->path(QStringLiteral("acs.db"));
    QVERIFY(TCreateDataBase(file, {}, {}, {}, SqlProvider::SQLite).BuildDataBase());
    m_sqlite = std::make_unique<platform::SqlConnection>();
    platform::SqlConnectionSettings s;
    s.provider = SqlProvider::SQLite;
    s.database = file;
    QVERIFY(m_sqlite->open(s));
    QVERIFY(seed(*m_sqlite));
    m_sqliteService = std::make_unique<security::Service>(m_sqlite.get(), settings(QStringLiteral("audit-sqlite.log")));
    QVERIFY2(m_sqliteService->start(&error), qPrintable(error));

    m_pg = test::PgServer::fromEnvironment();
    if (m_pg) {
        const QString name = QStringLiteral("morvane_security_%1").arg(QCoreApplication::applicationPid());
        TCreateDataBase creation(name, m_pg->user, m_pg->password, m_pg->serverName(), SqlProvider::PostgreSQL);
        QVERIFY2(creation.BuildDataBase(), qPrintable(creation.lastError()));
        platform::SqlConnectionSettings p;
        p.provider = SqlProvider::PostgreSQL;
        p.server = m_pg->serverName();
        p.database = name;
        p.user = m_pg->user;
        p.password = m_pg->password;
        m_postgres = std::make_unique<platform::SqlConnection>();
        QVERIFY(m_postgres->open(p));
        // A database made before the table of hashes: the service adds it at start.
        QVERIFY(m_postgres->exec(QStringLiteral("drop table ") + db::kOperatorPasswordTable).ok);
        QVERIFY(seed(*m_postgres));
        m_postgresService =
            std::make_unique<security::Service>(m_postgres.get(), settings(QStringLiteral("audit-postgresql.log")));
        QVERIFY2(m_postgresService->start(&error), qPrintable(error));
    }
}

void TestSecurity::init() {
    if (QByteArray(QTest::currentDataTag()).startsWith("postgresql") && !m_postgres) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            QFAIL("CI must provide the PostgreSQL server (MORVANE_TEST_PG_PORT)");
        QSKIP("no PostgreSQL server for the tests (MORVANE_TEST_PG_PORT unset)");
    }
    m_sim.command({{QStringLiteral("cmd"), QStringLiteral("clearlog")}});
}

void TestSecurity::cleanupTestCase() {
    provider::setSecurityHooks(nullptr);
    provider::setSharedConnection(nullptr);
    m_sqliteService.reset();
    m_postgresService.reset();
    m_sim.stop();
    if (m_postgres) {
        m_postgres->close();
        platform::SqlConnection admin;
        platform::SqlConnectionSettings p;
        p.provider = SqlProvider::PostgreSQL;
        p.server = m_pg->serverName();
        p.database = QStringLiteral("postgres");
        p.user = m_pg->user;
        p.password = m_pg->password;
        if (admin.open(p))
            admin.exec(QStringLiteral("drop database if exists \"morvane_security_%1\" with (force)")
                           .arg(QCoreApplication::applicationPid()));
    }
}

void TestSecurity::passwordsAtRest() {
    QFETCH(QString, backend);
    security::Service& service = *use(backend);
    // The legacy plain texts were moved into hashes at start, and nothing of them is left to read.
    QCOMPARE(value(backend, QStringLiteral("select count(*) from ac_operator where operatorpasd <> ''")).toInt(), 0);
    QVERIFY(value(backend, QStringLiteral("select hash from morvane_operatorpassword where operatorid = 2"))
                .toString()
                .startsWith(QLatin1String("$argon2id$")));

    Client admin(service);
    QVERIFY(admin.open(QStringLiteral("SYSTEM"), QStringLiteral("1")));
    // A password written through the operators' provider is hashed on its way in...
    admin.apply(QStringLiteral("dsp_operator"), QStringLiteral("select * from ac_operator"),
                change(4, {},
                       {{QStringLiteral("operatorname"), QStringLiteral("temp")},
                        {QStringLiteral("popedomgroupid"), 2},
                        {QStringLiteral("operatorpasd"), QStringLiteral("first pass")}}));
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    QCOMPARE(
        value(backend, QStringLiteral("select operatorpasd from ac_operator where operatorname = 'temp'")).toString(),
        QString());
    Client temp(service);
    QVERIFY(temp.open(QStringLiteral("temp"), QStringLiteral("first pass")));
    // ... and one that an administrator's statement writes in plain text is moved at once: it works, the
    // old one and the sessions made with it do not, and it cannot be read back.
    admin.execute(QStringLiteral("dsp_operator"),
                  QStringLiteral("update ac_operator set operatorpasd = 'second pass' where operatorname = 'temp'"));
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    QCOMPARE(
        value(backend, QStringLiteral("select operatorpasd from ac_operator where operatorname = 'temp'")).toString(),
        QString());
    temp.call(QStringLiteral("AS_GetProviderNames"));
    QCOMPARE(temp.error(), kEnded);
    QCOMPARE(
        Client(service).logon(QStringLiteral("temp"), QStringLiteral("first pass")).contains(QStringLiteral("error")),
        true);
    QVERIFY(Client(service).open(QStringLiteral("temp"), QStringLiteral("second pass")));
    // No reply carries a hash but to an administrator's own statement on their table.
    admin.get(QStringLiteral("dsp_operator"), QStringLiteral("select * from ac_operator"));
    QVERIFY(!QJsonDocument(admin.result()).toJson().contains("argon2"));
    admin.apply(QStringLiteral("dsp_operator"), QStringLiteral("select * from ac_operator"),
                change(2,
                       {{QStringLiteral("ID"), value(backend, QStringLiteral("select ID from ac_operator where "
                                                                             "operatorname = 'temp'"))
                                                   .toInt()}},
                       {}));
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    QCOMPARE(value(backend, QStringLiteral("select count(*) from morvane_operatorpassword")).toInt(), 2);
}

void TestSecurity::rights_data() {
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("who");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("refusal"); // empty: allowed
    const QString staffEdit =
        QStringLiteral("Operator viewer lacks the edit right on module 员工管理 (atn_base_staff)");
    const QString operatorsBrowse =
        QStringLiteral("Operator viewer lacks the browse right on module 操作人员管理 (atn_sys_a)");
    const QString administrator =
        QStringLiteral("Operator viewer lacks the browse right on module 权限管理 (atn_sys_c)");
    for (const char* backend : {"sqlite", "postgresql"}) {
        const auto row = [&](const char* who, const char* call, const QString& refusal) {
            QTest::addRow("%s %s %s", backend, who, call)
                << QString::fromLatin1(backend) << QString::fromLatin1(who) << QString::fromLatin1(call) << refusal;
        };
        row("viewer", "read staff", {});
        row("viewer", "read staff with departments", {});
        row("viewer", "read the dictionary", {});
        row("viewer", "staff delta", staffEdit);
        row("viewer", "staff statement", staffEdit);
        row("viewer", "operators through the staff provider", operatorsBrowse);
        row("viewer", "hashes through the staff provider", administrator);
        // SQLite's driver takes one statement at a time itself.
        if (QLatin1String(backend) == QLatin1String("postgresql"))
            row("viewer", "several statements", administrator);
        row("viewer", "any statement provider", administrator);
        row("SYSTEM", "staff delta", {});
        row("SYSTEM", "staff statement", {});
        row("SYSTEM", "hashes through the staff provider", {});
        row("SYSTEM", "any statement provider", {});
    }
}

void TestSecurity::rights() {
    QFETCH(QString, backend);
    QFETCH(QString, who);
    QFETCH(QString, call);
    QFETCH(QString, refusal);
    security::Service& service = *use(backend);
    Client client(service);
    QVERIFY(client.open(who, who == QLatin1String("SYSTEM") ? QStringLiteral("1") : QStringLiteral("secret")));
    const QString staff = QStringLiteral("dsp_stafferView");
    const auto phone = [&] { return value(backend, QStringLiteral("select phone from ac_staffer where id = 1")); };
    const QVariant phoneBefore = phone();
    const int words = value(backend, QStringLiteral("select count(*) from ac_wordbook")).toInt();
    if (call == QLatin1String("read staff")) {
        client.get(staff, QStringLiteral("select * from ac_staffer"));
    } else if (call == QLatin1String("read staff with departments")) {
        client.get(staff, QStringLiteral("select s.username, d.departmentname from ac_staffer s left join "
                                         "ac_department d on d.id = s.departmentid"));
    } else if (call == QLatin1String("read the dictionary")) {
        client.get(QStringLiteral("dsp_sex"),
                   QStringLiteral("select ItemId, WordName from ac_wordbook where WordId = 1"));
    } else if (call == QLatin1String("staff delta")) {
        client.apply(staff, QStringLiteral("select id, phone from ac_staffer"),
                     change(8,
                            QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("phone"), phoneBefore.toString()}},
                            QJsonObject{{QStringLiteral("phone"), QString(phoneBefore.toString() + u'1')}}));
    } else if (call == QLatin1String("staff statement")) {
        client.execute(staff, QStringLiteral("update ac_staffer set phone = phone || '2' where id = 1"));
    } else if (call == QLatin1String("operators through the staff provider")) {
        client.get(staff, QStringLiteral("select * from ac_operator"));
    } else if (call == QLatin1String("hashes through the staff provider")) {
        client.get(staff, QStringLiteral("select * from ac_staffer, morvane_operatorpassword"));
    } else if (call == QLatin1String("several statements")) {
        client.execute(staff, QStringLiteral("select 1; delete from ac_wordbook"));
    } else if (call == QLatin1String("any statement provider")) {
        client.call(
            QStringLiteral("AS_DataRequest"),
            QJsonObject{{QStringLiteral("ProviderName"), QStringLiteral("dsp_exec1_public")},
                        {QStringLiteral("Data"), QStringLiteral("update ac_wordbook set WordName = WordName")}});
    }
    if (refusal.isEmpty()) {
        QVERIFY2(client.ok(), qPrintable(client.error()));
        return;
    }
    QCOMPARE(client.error(), refusal);
    QCOMPARE(client.code(), int(hr::E_ACCESSDENIED));
    // A refused call changes nothing.
    QCOMPARE(phone(), phoneBefore);
    QCOMPARE(value(backend, QStringLiteral("select count(*) from ac_wordbook")).toInt(), words);
}

void TestSecurity::doorNeedsMonitoring() {
    security::Service& service = *use(QStringLiteral("sqlite"));
    Client viewer(service);
    QVERIFY(viewer.open(QStringLiteral("viewer"), QStringLiteral("secret")));
    viewer.call(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp});
    QVERIFY2(viewer.ok(), qPrintable(viewer.error()));
    viewer.call(QStringLiteral("RmtOpenDoor"), QJsonArray{2});
    QCOMPARE(viewer.error(),
             QStringLiteral("Operator viewer lacks the edit right on module 实时监控 (atn_scanallcontrol)"));
    for (const QJsonValue& entry : m_sim.takeLog(kLockMac))
        QVERIFY(entry.toObject().value(QStringLiteral("method")).toString() != QLatin1String("ComifRmtOpenDoor"));

    Client admin(service);
    QVERIFY(admin.open(QStringLiteral("SYSTEM"), QStringLiteral("1")));
    admin.call(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp});
    admin.call(QStringLiteral("RmtOpenDoor"), QJsonArray{2});
    QCOMPARE(admin.result().value(QStringLiteral("retval")).toInt(-1), 0);
    bool opened = false;
    for (const QJsonValue& entry : m_sim.takeLog(kLockMac))
        opened =
            opened || entry.toObject().value(QStringLiteral("method")).toString() == QLatin1String("ComifRmtOpenDoor");
    QVERIFY(opened);
}

void TestSecurity::sessionEnds_data() {
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("how");
    for (const char* backend : {"sqlite", "postgresql"}) {
        for (const char* how : {"operator deleted", "group's rights changed", "password changed", "logged off", "idle"})
            QTest::addRow("%s %s", backend, how) << QString::fromLatin1(backend) << QString::fromLatin1(how);
    }
}

// A session is used on two connections; one way or another it ends, and the next call on the other
// connection is refused.
void TestSecurity::sessionEnds() {
    QFETCH(QString, backend);
    QFETCH(QString, how);
    security::Service& service = *use(backend);
    Client admin(service);
    QVERIFY(admin.open(QStringLiteral("SYSTEM"), QStringLiteral("1")));
    admin.execute(QStringLiteral("dsp_operator"),
                  QStringLiteral("insert into ac_operator (popedomgroupid, operatorname, operatorpasd) values (2, "
                                 "'passing', 'pw')"));
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    const int id = value(backend, QStringLiteral("select ID from ac_operator where operatorname = 'passing'")).toInt();
    const auto removeOperator = qScopeGuard([&] {
        Client cleaner(service);
        cleaner.open(QStringLiteral("SYSTEM"), QStringLiteral("1"));
        cleaner.execute(QStringLiteral("dsp_operator"),
                        QStringLiteral("delete from ac_operator where ID = %1").arg(id));
        cleaner.execute(QStringLiteral("dsp_popedomgroupmodule"),
                        QStringLiteral("update ac_popedomgroupmodule set pinsert = 0 where popedomgroupid = 2"));
    });

    Client first(service);
    QVERIFY(first.open(QStringLiteral("passing"), QStringLiteral("pw")));
    // The second connection shares the first one's session through its token, but for a changed password,
    // which ends the operator's other sessions: then it has one of its own.
    Client second(service);
    if (how == QLatin1String("password changed"))
        second.logon(QStringLiteral("passing"), QStringLiteral("pw"));
    else
        second.call(QStringLiteral("Logon"), QJsonObject{{QStringLiteral("token"), first.token()}});
    QVERIFY2(second.ok(), qPrintable(second.error()));
    QCOMPARE(second.result().value(QStringLiteral("operator")).toString(), QStringLiteral("passing"));
    second.call(QStringLiteral("CreateObject"), QJsonArray{QStringLiteral("server.rmtserver")});
    QVERIFY(second.ok());

    QString expected = kEnded;
    if (how == QLatin1String("operator deleted")) {
        admin.apply(QStringLiteral("dsp_operator"), QStringLiteral("select ID from ac_operator"),
                    change(2, {{QStringLiteral("ID"), id}}, {}));
    } else if (how == QLatin1String("group's rights changed")) {
        admin.execute(QStringLiteral("dsp_popedomgroupmodule"),
                      QStringLiteral("update ac_popedomgroupmodule set pinsert = 1 where popedomgroupid = 2"));
    } else if (how == QLatin1String("password changed")) {
        first.call(QStringLiteral("ChangePassword"), QJsonObject{{QStringLiteral("old"), QStringLiteral("pw")},
                                                                 {QStringLiteral("new"), QStringLiteral("pw2")}});
        QVERIFY2(first.ok(), qPrintable(first.error()));
        // The session that changed it goes on; a log-on with the old password fails, with the new one works.
        first.call(QStringLiteral("AS_GetProviderNames"));
        QVERIFY2(first.ok(), qPrintable(first.error()));
        QCOMPARE(
            Client(service).logon(QStringLiteral("passing"), QStringLiteral("pw")).contains(QStringLiteral("error")),
            true);
        QVERIFY(Client(service).open(QStringLiteral("passing"), QStringLiteral("pw2")));
    } else if (how == QLatin1String("logged off")) {
        first.call(QStringLiteral("Logoff"));
        QVERIFY(first.ok());
        expected = kLogOnFirst;
    } else if (how == QLatin1String("idle")) {
        g_now += 31 * 60 * 1000;
        expected = kLogOnFirst;
    }
    QVERIFY2(admin.ok() || how == QLatin1String("idle"), qPrintable(admin.error()));
    second.call(QStringLiteral("RealTimeScanId"));
    QCOMPARE(second.error(), expected);
    QCOMPARE(second.code(), int(hr::E_ACCESSDENIED));
    // The token no longer logs on.
    if (how != QLatin1String("password changed")) {
        Client third(service);
        third.call(QStringLiteral("Logon"), QJsonObject{{QStringLiteral("token"), first.token()}});
        QCOMPARE(third.code(), int(hr::E_ACCESSDENIED));
    }
}

void TestSecurity::badLogons_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonValue>("params");
    QTest::addColumn<QString>("error");
    const auto logon = [](const QString& name, const QString& password) {
        return QJsonValue(QJsonObject{{QStringLiteral("operator"), name}, {QStringLiteral("password"), password}});
    };
    QTest::newRow("wrong password") << "Logon" << logon(QStringLiteral("viewer"), QStringLiteral("secreT")) << kWrong;
    QTest::newRow("unknown operator") << "Logon" << logon(QStringLiteral("nobody"), QStringLiteral("secret")) << kWrong;
    QTest::newRow("empty password") << "Logon" << logon(QStringLiteral("viewer"), QString()) << kWrong;
    QTest::newRow("1 MiB password") << "Logon" << logon(QStringLiteral("viewer"), QString(1024 * 1024, u'x')) << kWrong;
    QTest::newRow("forged token") << "Logon" << QJsonValue(QJsonObject{{QStringLiteral("token"), QString(43, u'A')}})
                                  << QStringLiteral("The token is unknown or has expired; log on with an operator "
                                                    "and a password");
    QTest::newRow("CreateObject first") << "CreateObject" << QJsonValue(QJsonArray{QStringLiteral("server.rmtserver")})
                                        << kLogOnFirst;
    QTest::newRow("GetTypeInfo first") << "GetTypeInfo" << QJsonValue(QJsonArray()) << kLogOnFirst;
    QTest::newRow("a member first") << "RmtOpenDoor" << QJsonValue(QJsonArray{1}) << kLogOnFirst;
    QTest::newRow("ChangePassword first") << "ChangePassword"
                                          << QJsonValue(QJsonObject{{QStringLiteral("old"), QStringLiteral("1")},
                                                                    {QStringLiteral("new"), QStringLiteral("2")}})
                                          << kLogOnFirst;
}

void TestSecurity::badLogons() {
    QFETCH(QString, method);
    QFETCH(QJsonValue, params);
    QFETCH(QString, error);
    security::Service& service = *use(QStringLiteral("sqlite"));
    const int created = g_created.load();
    Client client(service);
    QElapsedTimer clock;
    clock.start();
    client.call(method, params);
    // A refusal is answered, never left waiting; how fast a log-on is, bench_security measures (a bound of
    // a quarter second here fails under ThreadSanitizer on a busy machine).
    QVERIFY2(clock.elapsed() < 5000, "a refused log-on was not answered in time");
    QCOMPARE(client.error(), error);
    QCOMPARE(client.code(), int(hr::E_ACCESSDENIED));
    // Nothing was made, and the connection is still without a log-on.
    QCOMPARE(g_created.load(), created);
    client.call(QStringLiteral("CreateObject"), QJsonArray{QStringLiteral("server.rmtserver")});
    QCOMPARE(client.error(), kLogOnFirst);
}

void TestSecurity::lockout() {
    use(QStringLiteral("sqlite"));
    security::Service service(m_sqlite.get(),
                              settings(QStringLiteral("audit-lockout.log"), QStringLiteral("10.0.0.0/8, ::1")));
    QVERIFY(service.start());
    const QString locked = QStringLiteral("Too many failed log-ons: viewer is locked out from 192.0.2.7 until %1");
    const auto until = [](qint64 minutes) {
        return QDateTime::fromMSecsSinceEpoch(g_now.load() + minutes * 60 * 1000)
            .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    };
    Client client(service);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            client.logon(QStringLiteral("viewer"), QStringLiteral("guess"), QStringLiteral("192.0.2.7"));
            QCOMPARE(client.error(), kWrong);
        }
        // 15 minutes, then twice as long: even the right password is refused from there, not from elsewhere.
        const QString end = until(round == 0 ? 15 : 30);
        client.logon(QStringLiteral("viewer"), QStringLiteral("secret"), QStringLiteral("192.0.2.7"));
        QCOMPARE(client.error(), locked.arg(end));
        QVERIFY(Client(service)
                    .logon(QStringLiteral("viewer"), QStringLiteral("secret"), QStringLiteral("192.0.2.8"))
                    .contains(QStringLiteral("result")));
        g_now += (round == 0 ? 15 : 30) * 60 * 1000 - 1000;
        client.logon(QStringLiteral("viewer"), QStringLiteral("secret"), QStringLiteral("192.0.2.7"));
        QCOMPARE(client.error(), locked.arg(end));
        g_now += 1000;
    }
    client.logon(QStringLiteral("viewer"), QStringLiteral("secret"), QStringLiteral("192.0.2.7"));
    QVERIFY2(client.ok(), qPrintable(client.error()));
    // An exempt address is never locked out.
    for (int i = 0; i < 7; ++i)
        client.logon(QStringLiteral("viewer"), QStringLiteral("guess"), QStringLiteral("10.1.2.3"));
    client.logon(QStringLiteral("viewer"), QStringLiteral("secret"), QStringLiteral("10.1.2.3"));
    QVERIFY2(client.ok(), qPrintable(client.error()));
    // Every failure is in the audit log with its address.
    bool truncated = false;
    const QJsonArray lines =
        service.auditLog()->since(QDateTime::currentDateTime().addSecs(-600), 1000, 1 << 20, &truncated);
    int failures = 0, lockouts = 0;
    for (const QJsonValue& line : lines) {
        const QJsonObject entry = line.toObject();
        failures += entry.value(QStringLiteral("outcome")) == QLatin1String("failed") &&
                    entry.value(QStringLiteral("address")).toString().startsWith(QLatin1String("192.0.2.7"));
        lockouts += entry.value(QStringLiteral("outcome")) == QLatin1String("locked");
    }
    QCOMPARE(failures, 10);
    QCOMPARE(lockouts, 6); // two lock-outs, and four refusals while locked
}

void TestSecurity::auditLog() {
    use(QStringLiteral("sqlite"));
    security::Service service(m_sqlite.get(), settings(QStringLiteral("audit-calls.log")));
    QVERIFY(service.start());
    const QString since = QDateTime::currentDateTime().addSecs(-1).toString(Qt::ISODate);
    Client viewer(service);
    viewer.logon(QStringLiteral("viewer"), QStringLiteral("not it"), QStringLiteral("198.51.100.4"));
    QVERIFY(viewer.open(QStringLiteral("viewer"), QStringLiteral("secret")));
    viewer.execute(QStringLiteral("dsp_stafferView"), QStringLiteral("delete from ac_staffer"));
    viewer.call(QStringLiteral("AuditLog"), QJsonObject{{QStringLiteral("since"), since}});
    QCOMPARE(viewer.code(), int(hr::E_ACCESSDENIED));
    Client admin(service);
    QVERIFY(admin.open(QStringLiteral("SYSTEM"), QStringLiteral("1")));
    admin.apply(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"),
                change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("Audit")}}));
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    admin.call(QStringLiteral("OpenCon"), QJsonArray{1, kLockMac, m_lockIp});
    admin.call(QStringLiteral("RmtOpenDoor"), QJsonArray{3});

    admin.call(QStringLiteral("AuditLog"), QJsonObject{{QStringLiteral("since"), since}});
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    const QDateTime end = QDateTime::currentDateTime().addSecs(1);
    QStringList seen;
    for (const QJsonValue& line : admin.result().value(QStringLiteral("lines")).toArray()) {
        const QJsonObject entry = line.toObject();
        // Stamped with the local time of the call, to the millisecond.
        const QString time = entry.value(QStringLiteral("time")).toString();
        const QDateTime when = QDateTime::fromString(time, QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
        QVERIFY2(when >= QDateTime::fromString(since, Qt::ISODate) && when <= end, qPrintable(time));
        QString text = QStringLiteral("%1 %2 %3 %4")
                           .arg(entry.value(QStringLiteral("operator")).toString(),
                                entry.value(QStringLiteral("address")).toString(),
                                entry.value(QStringLiteral("method")).toString(),
                                entry.value(QStringLiteral("outcome")).toString());
        const QJsonObject details = entry.value(QStringLiteral("details")).toObject();
        if (details.contains(QStringLiteral("changes")))
            text += QStringLiteral(" %1 %2")
                        .arg(details.value(QStringLiteral("provider")).toString())
                        .arg(details.value(QStringLiteral("changes")).toInt());
        if (details.contains(QStringLiteral("door")))
            text += QStringLiteral(" %1 door %2")
                        .arg(details.value(QStringLiteral("lock")).toString(),
                             details.value(QStringLiteral("door")).toString());
        seen.append(text);
    }
    const QStringList expected{
        QStringLiteral("viewer 198.51.100.4 Logon failed"),
        QStringLiteral("viewer 192.0.2.1 Logon ok"),
        QStringLiteral("viewer 192.0.2.1 AS_Execute refused"),
        QStringLiteral("viewer 192.0.2.1 AuditLog refused"),
        QStringLiteral("SYSTEM 192.0.2.1 Logon ok"),
        QStringLiteral("SYSTEM 192.0.2.1 AS_ApplyUpdates ok dsp_department 1"),
        QStringLiteral("SYSTEM 192.0.2.1 RmtOpenDoor ok %1 %2 door 3").arg(kLockMac, m_lockIp),
    };
    QCOMPARE(seen, expected);
    const QString file = m_env->path(QStringLiteral("audit-calls.log"));
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
    QFile content(file);
    QVERIFY(content.open(QIODevice::ReadOnly));
    const QByteArray all = content.readAll();
    QVERIFY(!all.contains("secret") && !all.contains("not it"));
}

void TestSecurity::auditAppendersAtOnce_data() {
    QTest::addColumn<int>("threads");
    QTest::addColumn<qint64>("fileBytes"); // past this the file is rotated
    QTest::newRow("one thread: a flush for each line") << 1 << qint64(1 << 20);
    QTest::newRow("16 threads share their flushes") << 16 << qint64(1 << 20);
    QTest::newRow("16 threads while the file rotates") << 16 << qint64(8 * 1024);
}

// Lines appended by many threads at once are each whole and on the disk when append returns, every one
// of them, with the flushes shared between the threads; a rotation in the middle loses none.
void TestSecurity::auditAppendersAtOnce() {
    QFETCH(int, threads);
    QFETCH(qint64, fileBytes);
    constexpr int kLinesEach = 12;
    const QString path = m_env->path(QStringLiteral("audit-together-%1-%2.log").arg(threads).arg(fileBytes));
    security::AuditLog log(path, {fileBytes, 16});
    std::atomic<int> failed{0};
    std::vector<std::thread> appenders;
    for (int t = 0; t < threads; ++t) {
        appenders.emplace_back([&, t] {
            for (int i = 0; i < kLinesEach; ++i) {
                const QJsonObject details{{QStringLiteral("door"), t},
                                          {QStringLiteral("n"), i},
                                          {QStringLiteral("pad"), QString(100, QLatin1Char('x'))}};
                if (!log.append(QStringLiteral("SYSTEM"), QStringLiteral("192.0.2.1"), QStringLiteral("RmtOpenDoor"),
                                QStringLiteral("ok"), details))
                    ++failed;
            }
        });
    }
    for (std::thread& appender : appenders)
        appender.join();
    QCOMPARE(failed.load(), 0);
    const int lines = threads * kLinesEach;
    std::set<std::pair<int, int>> seen;
    for (const QString& name : QDir(m_env->path(QString())).entryList({QFileInfo(path).fileName() + u'*'})) {
        QFile file(m_env->path(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        while (!file.atEnd()) {
            const QJsonObject details =
                QJsonDocument::fromJson(file.readLine()).object().value(QStringLiteral("details")).toObject();
            QVERIFY(!details.isEmpty());
            seen.emplace(details.value(QStringLiteral("door")).toInt(), details.value(QStringLiteral("n")).toInt());
        }
    }
    QCOMPARE(int(seen.size()), lines);
    qInfo("%d lines, %llu flushes", lines, static_cast<unsigned long long>(log.flushes()));
    if (threads == 1)
        QCOMPARE(log.flushes(), quint64(lines));
    else
        QVERIFY2(log.flushes() < quint64(lines), qPrintable(QString::number(log.flushes())));
}

void TestSecurity::throughTheEndpoint() {
    use(QStringLiteral("sqlite"));
    platform::AutomationEndpoint endpoint(
        [](const QString& name) { return platform::ComServer::instance().createInstance(name); },
        rpc::kDefaultMaxMessage, {}, m_sqliteService->guardFactory());
    const QString path = m_env->path(QStringLiteral("security.sock"));
    QString error;
    QVERIFY2(endpoint.listen(path, &error), qPrintable(error));
    endpoint.start();
    const auto connect = [&] {
        return std::make_unique<rpc::Client>(std::make_unique<rpc::SocketLineChannel>(platform::connectEndpoint(path)));
    };
    auto first = connect();
    rpc::Reply reply = first->call(rpc::kCreateObject, QJsonArray{QStringLiteral("server.rmtserver")});
    QCOMPARE(reply.hresult, hr::E_ACCESSDENIED);
    QCOMPARE(reply.message, kLogOnFirst);
    reply = first->call(QStringLiteral("Logon"), QJsonObject{{QStringLiteral("operator"), QStringLiteral("SYSTEM")},
                                                             {QStringLiteral("password"), QStringLiteral("1")}});
    QVERIFY2(reply.ok, qPrintable(reply.message));
    const QString token = reply.result.value(QStringLiteral("token")).toString();
    QCOMPARE(QByteArray::fromBase64(token.toLatin1(), QByteArray::Base64UrlEncoding).size(), 32);
    QVERIFY(first->call(rpc::kCreateObject, QJsonArray{QStringLiteral("server.rmtserver")}).ok);
    QVERIFY(first->call(QStringLiteral("RealTimeScanId")).ok);
    // Another connection with the token alone.
    auto second = connect();
    QVERIFY(second->call(QStringLiteral("Logon"), QJsonObject{{QStringLiteral("token"), token}}).ok);
    QVERIFY(second->call(rpc::kCreateObject, QJsonArray{QStringLiteral("server.rmtserver")}).ok);
    reply = second->call(QStringLiteral("AS_GetProviderNames"));
    QVERIFY2(reply.ok, qPrintable(reply.message));
    endpoint.stop();
}

void TestSecurity::defaultPassword() {
    security::Service& service = *use(QStringLiteral("sqlite"));
    // Any operator's log-on says so while SYSTEM keeps its first password.
    Client viewer(service);
    QVERIFY(viewer.logon(QStringLiteral("viewer"), QStringLiteral("secret")).contains(QStringLiteral("result")));
    QCOMPARE(viewer.result().value(QStringLiteral("defaultPassword")), QJsonValue(true));
    Client admin(service);
    QVERIFY(admin.open(QStringLiteral("SYSTEM"), QStringLiteral("1")));
    admin.call(QStringLiteral("ChangePassword"), QJsonObject{{QStringLiteral("old"), QStringLiteral("1")},
                                                             {QStringLiteral("new"), QStringLiteral("better")}});
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    QVERIFY(viewer.logon(QStringLiteral("viewer"), QStringLiteral("secret")).contains(QStringLiteral("result")));
    QCOMPARE(viewer.result().value(QStringLiteral("defaultPassword")), QJsonValue(false));
    QVERIFY(!service.defaultPasswordInUse());
    admin.call(QStringLiteral("ChangePassword"), QJsonObject{{QStringLiteral("old"), QStringLiteral("better")},
                                                             {QStringLiteral("new"), QStringLiteral("1")}});
    QVERIFY(service.defaultPasswordInUse());
}

QTEST_MAIN(TestSecurity)
#include "tst_security.moc"

void TestSecurity::cardRights_data() {
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("state");
    QTest::addColumn<QJsonObject>("oldValues");
    QTest::addColumn<QJsonObject>("newValues");
    QTest::addColumn<QString>("module"); // the card right refused; empty: allowed
    const QJsonObject card{{QStringLiteral("cardnumber"), QStringLiteral("555")}, {QStringLiteral("cardfettle"), 0}};
    const QJsonObject lost{{QStringLiteral("cardnumber"), QStringLiteral("555")}, {QStringLiteral("cardfettle"), 1}};
    for (const char* backend : {"sqlite", "postgresql"}) {
        const auto row = [&](const char* name, int state, const QJsonObject& oldValues, const QJsonObject& newValues,
                             const char* module) {
            QTest::addRow("%s %s", backend, name)
                << QString::fromLatin1(backend) << state << oldValues << newValues << QString::fromLatin1(module);
        };
        // The clerk may edit staff and report cards lost, and nothing else of a card.
        row("phone", 8, card, {{QStringLiteral("phone"), QStringLiteral("200")}}, "");
        row("card given unchanged", 8, card, card, "");
        row("report lost", 8, card, {{QStringLiteral("cardfettle"), 1}}, "");
        row("cancel", 8, card, {{QStringLiteral("cardnumber"), QJsonValue()}, {QStringLiteral("cardfettle"), 2}},
            "atn_card_revoke");
        row("replace", 8, card, {{QStringLiteral("cardnumber"), QStringLiteral("556")}}, "atninsteadcard");
        row("replace, old card not told", 8, {}, {{QStringLiteral("cardnumber"), QStringLiteral("556")}},
            "atninsteadcard");
        row("found", 8, lost, {{QStringLiteral("cardfettle"), 0}}, "atnundolosscard");
        row("issue to a new member", 4, {},
            {{QStringLiteral("username"), QStringLiteral("Dan")},
             {QStringLiteral("cardnumber"), QStringLiteral("557")}},
            "atn_card_IcOut");
        row("new member without a card", 4, {}, {{QStringLiteral("username"), QStringLiteral("Eve")}}, "");
    }
}

// Cards are changed through the staff provider, but each change of a card needs its own card right.
void TestSecurity::cardRights() {
    QFETCH(QString, backend);
    QFETCH(int, state);
    QFETCH(QJsonObject, oldValues);
    QFETCH(QJsonObject, newValues);
    QFETCH(QString, module);
    security::Service& service = *use(backend);
    Client admin(service);
    QVERIFY(admin.open(QStringLiteral("SYSTEM"), QStringLiteral("1")));
    if (value(backend, QStringLiteral("select count(*) from ac_operator where operatorname = 'cardclerk'")).toInt() ==
        0) {
        for (const char* sql :
             {"insert into ac_popedomgroup (popedomgroupname) values ('Card clerks')",
              "insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuenglishname, pbrowse, pinsert, "
              "pedit, pdelete) select max(ID), 1001, 'atn_base_staff', 1, 1, 1, 0 from ac_popedomgroup",
              "insert into ac_popedomgroupmodule (popedomgroupid, systemenuid, menuenglishname, pbrowse, pinsert, "
              "pedit, pdelete) select max(ID), 1016, 'atnloscard', 1, 1, 1, 0 from ac_popedomgroup"}) {
            admin.execute(QStringLiteral("dsp_open_public"), QString::fromLatin1(sql));
            QVERIFY2(admin.ok(), qPrintable(admin.error()));
        }
        const int group = value(backend, QStringLiteral("select max(ID) from ac_popedomgroup")).toInt();
        admin.apply(QStringLiteral("dsp_operator"), QStringLiteral("select * from ac_operator"),
                    change(4, {},
                           {{QStringLiteral("operatorname"), QStringLiteral("cardclerk")},
                            {QStringLiteral("popedomgroupid"), group},
                            {QStringLiteral("operatorpasd"), QStringLiteral("c")}}));
        QVERIFY2(admin.ok(), qPrintable(admin.error()));
    }
    // Cara holds card 555, in use (or lost, as the row has it).
    admin.execute(QStringLiteral("dsp_open_public"), QStringLiteral("delete from ac_staffer where username <> 'Ann'"));
    admin.execute(QStringLiteral("dsp_open_public"),
                  QStringLiteral("insert into ac_staffer (username, phone, cardnumber, cardfettle) values ('Cara', "
                                 "'100', '555', %1)")
                      .arg(oldValues.value(QStringLiteral("cardfettle")).toInt()));
    QVERIFY2(admin.ok(), qPrintable(admin.error()));
    const int cara = value(backend, QStringLiteral("select ID from ac_staffer where username = 'Cara'")).toInt();
    const QString rowSql = QStringLiteral("select username, phone, cardnumber, cardfettle from ac_staffer order by ID");
    const auto rows = [&] {
        QStringList text;
        for (const auto& r : db(backend).exec(rowSql).rows) {
            QStringList fields;
            for (const QVariant& v : r)
                fields.append(v.toString());
            text.append(fields.join(u','));
        }
        return text;
    };
    const QStringList stored = rows();
    Client clerk(service);
    QVERIFY(clerk.open(QStringLiteral("cardclerk"), QStringLiteral("c")));
    QJsonObject old = oldValues;
    if (state == 8)
        old.insert(QStringLiteral("id"), cara);
    clerk.apply(QStringLiteral("dsp_stafferView"), QStringLiteral("select * from ac_staffer"),
                change(state, old, newValues));
    if (module.isEmpty()) {
        QVERIFY2(clerk.ok(), qPrintable(clerk.error()));
        QVERIFY(rows() != stored || newValues == oldValues);
        return;
    }
    QCOMPARE(clerk.code(), int(hr::E_ACCESSDENIED));
    QVERIFY2(clerk.error().startsWith(QStringLiteral("Operator cardclerk lacks the ")) &&
                 clerk.error().endsWith(QStringLiteral("(%1)").arg(module)),
             qPrintable(clerk.error()));
    QCOMPARE(rows(), stored);
}
