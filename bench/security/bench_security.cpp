// What log-on and rights cost: the same calls through the wire protocol's server session with the
// server's log-on and without it, interleaved in one run, on SQLite and (with the MORVANE_TEST_PG_*
// variables) on PostgreSQL; and how long a log-on takes. Prints its figures.
#include "JsonRpc.h"
#include "Provider.h"
#include "rmtdm.h"
#include "SecurityService.h"
#include "SqlConnection.h"
#include "TestSupport.h"
#include "unt_initdbms.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace morvane;
using platform::SqlProvider;
namespace rpc = platform::rpc;

namespace {

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QByteArray request(int id, const QString& method, const QJsonValue& params) {
    return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                     {QStringLiteral("id"), id},
                                     {QStringLiteral("method"), method},
                                     {QStringLiteral("params"), params}})
        .toJson(QJsonDocument::Compact);
}

bool succeeded(const QByteArray& reply) {
    return QJsonDocument::fromJson(reply).object().contains(QStringLiteral("result"));
}

double microseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The median time of a call on a session with the log-on and on one without it, taken in turn.
void compare(const QByteArray& label, rpc::ServerSession& on, rpc::ServerSession& off, const QByteArray& line,
             int rounds) {
    const char* what = label.constData();
    std::vector<double> with, without;
    for (int i = 0; i < rounds; ++i) {
        for (rpc::ServerSession* session : {&on, &off}) {
            const auto start = std::chrono::steady_clock::now();
            const QByteArray reply = session->handle(line);
            const double took = microseconds(std::chrono::steady_clock::now() - start);
            if (!succeeded(reply)) {
                std::printf("%s failed: %s\n", what, reply.constData());
                return;
            }
            (session == &on ? with : without).push_back(took);
        }
    }
    const double added = median(with) - median(without);
    std::printf("%-44s %9.2f µs with log-on, %9.2f µs without: %+6.2f µs per call (limit 5) %s\n", what, median(with),
                median(without), added, added <= 5 ? "ok" : "OVER");
}

void run(const char* backend, platform::SqlConnection& db, const QString& auditPath) {
    provider::setSharedConnection(&db);
    security::Settings settings;
    settings.auditPath = auditPath;
    security::Service service(&db, settings);
    QString error;
    if (!service.start(&error)) {
        std::printf("%s: %s\n", backend, qPrintable(error));
        return;
    }
    provider::setSecurityHooks(&service);
    const auto creator = [](const QString&) { return std::make_shared<Trmtserver>(); };
    rpc::ServerSession on(creator, service.openConnection());
    rpc::ServerSession off(creator);

    // Log-on: what a client waits for, with the password hash checked on the pool.
    const QJsonObject credentials{{QStringLiteral("operator"), QStringLiteral("SYSTEM")},
                                  {QStringLiteral("password"), QStringLiteral("1")}};
    std::vector<double> logons;
    for (int i = 0; i < 20; ++i) {
        rpc::ServerSession fresh(creator, service.openConnection());
        const auto start = std::chrono::steady_clock::now();
        const QByteArray reply = fresh.handle(request(1, QStringLiteral("Logon"), credentials));
        logons.push_back(microseconds(std::chrono::steady_clock::now() - start) / 1000);
        if (!succeeded(reply)) {
            std::printf("%s: Logon failed: %s\n", backend, reply.constData());
            return;
        }
    }
    std::printf("%s: log-on %.1f ms median, %.1f ms longest of 20 (limit 250; Argon2id opslimit %llu, %zu MiB)\n",
                backend, median(logons), *std::max_element(logons.begin(), logons.end()),
                service.settings().hashing.opsLimit, service.settings().hashing.memLimit >> 20);

    on.handle(request(1, QStringLiteral("Logon"), credentials));
    for (rpc::ServerSession* session : {&on, &off})
        session->handle(request(2, QStringLiteral("CreateObject"), QJsonArray{QStringLiteral("server.rmtserver")}));
    compare(QByteArray(backend) + ": RealTimeScanId (no database)", on, off,
            request(3, QStringLiteral("RealTimeScanId"), QJsonArray()), 5000);
    const QJsonObject read{{QStringLiteral("ProviderName"), QStringLiteral("dsp_department")},
                           {QStringLiteral("Count"), -1},
                           {QStringLiteral("Options"), 1},
                           {QStringLiteral("CommandText"), QStringLiteral("select * from ac_department")},
                           {QStringLiteral("Params"), QJsonValue()},
                           {QStringLiteral("OwnerData"), QJsonValue()}};
    compare(QByteArray(backend) + ": AS_GetRecords dsp_department", on, off,
            request(4, QStringLiteral("AS_GetRecords"), read), 2000);
    const QJsonObject joined{{QStringLiteral("ProviderName"), QStringLiteral("dsp_stafferView")},
                             {QStringLiteral("Count"), -1},
                             {QStringLiteral("Options"), 1},
                             {QStringLiteral("CommandText"),
                              QStringLiteral("select s.*, d.departmentname from ac_staffer s left join ac_department "
                                             "d on d.id = s.departmentid")},
                             {QStringLiteral("Params"), QJsonValue()},
                             {QStringLiteral("OwnerData"), QJsonValue()}};
    compare(QByteArray(backend) + ": AS_GetRecords staff with departments", on, off,
            request(5, QStringLiteral("AS_GetRecords"), joined), 2000);
    provider::setSecurityHooks(nullptr);
    provider::setSharedConnection(nullptr);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("acs.db"));
    if (!TCreateDataBase(file, {}, {}, {}, SqlProvider::SQLite).BuildDataBase()) {
        std::printf("the database cannot be made\n");
        return 1;
    }
    platform::SqlConnection sqlite;
    platform::SqlConnectionSettings s;
    s.provider = SqlProvider::SQLite;
    s.database = file;
    if (!sqlite.open(s))
        return 1;
    for (int i = 0; i < 20; ++i) {
        sqlite.exec(QStringLiteral("insert into ac_department (departmentname) values (?)"),
                    {QStringLiteral("d%1").arg(i)});
        sqlite.exec(QStringLiteral("insert into ac_staffer (username, departmentid) values (?, ?)"),
                    {QStringLiteral("s%1").arg(i), i + 1});
    }
    run("SQLite", sqlite, dir.filePath(QStringLiteral("audit-sqlite.log")));

    if (const auto pg = test::PgServer::fromEnvironment()) {
        const QString name = QStringLiteral("morvane_bench_security_%1").arg(QCoreApplication::applicationPid());
        TCreateDataBase creation(name, pg->user, pg->password, pg->serverName(), SqlProvider::PostgreSQL);
        if (!creation.BuildDataBase()) {
            std::printf("PostgreSQL: %s\n", qPrintable(creation.lastError()));
            return 1;
        }
        platform::SqlConnection postgres;
        platform::SqlConnectionSettings p;
        p.provider = SqlProvider::PostgreSQL;
        p.server = pg->serverName();
        p.database = name;
        p.user = pg->user;
        p.password = pg->password;
        if (postgres.open(p)) {
            for (int i = 0; i < 20; ++i) {
                postgres.exec(QStringLiteral("insert into ac_department (departmentname) values (?)"),
                              {QStringLiteral("d%1").arg(i)});
                postgres.exec(QStringLiteral("insert into ac_staffer (username, departmentid) values (?, ?)"),
                              {QStringLiteral("s%1").arg(i), i + 1});
            }
            run("PostgreSQL", postgres, dir.filePath(QStringLiteral("audit-postgresql.log")));
        }
        postgres.close();
        platform::SqlConnection admin;
        p.database = QStringLiteral("postgres");
        if (admin.open(p))
            admin.exec(QStringLiteral("drop database if exists \"%1\"").arg(name));
    } else {
        std::printf("PostgreSQL: not measured (MORVANE_TEST_PG_PORT unset)\n");
    }
    return 0;
}
