// The data providers as clients reach them: requests through the wire protocol's server session, on a
// fresh application database in SQLite and in the private PostgreSQL server.
#include "AutomationEndpoint.h"
#include "CallContext.h"
#include "DataPacket.h"
#include "DbSchema.h"
#include "JsonRpc.h"
#include "NativeRows.h"
#include "Provider.h"
#include "ProviderCommands.h"
#include "rmtdm.h"
#include "SqlConnection.h"
#include "TestSupport.h"
#include "unt_initdbms.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace morvane;
using platform::SqlProvider;
using test::change;

namespace {

// One client connection with its own remote data module.
class Client {
public:
    Client()
        : m_session([](const QString&) { return std::make_shared<Trmtserver>(); }) {
        call(QStringLiteral("CreateObject"),
             QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}});
    }
    QJsonObject call(const QString& method, const QJsonValue& params = QJsonArray()) {
        const QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                  {QStringLiteral("id"), ++m_id},
                                  {QStringLiteral("method"), method},
                                  {QStringLiteral("params"), params}};
        m_last =
            QJsonDocument::fromJson(m_session.handle(QJsonDocument(request).toJson(QJsonDocument::Compact))).object();
        return m_last;
    }
    QJsonObject result() const { return m_last.value(QStringLiteral("result")).toObject(); }
    QJsonValue retval() const { return result().value(QStringLiteral("retval")); }
    QJsonObject out() const { return result().value(QStringLiteral("out")).toObject(); }
    QString error() const {
        return m_last.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
    }
    // The data packet of the last retval (empty when there is none).
    QJsonObject packet() const { return retval().toObject().value(QStringLiteral("value")).toObject(); }

    QJsonObject get(const QString& provider, const QString& sql, int count = -1, int options = 1) {
        return call(QStringLiteral("AS_GetRecords"), QJsonObject{{QStringLiteral("ProviderName"), provider},
                                                                 {QStringLiteral("Count"), count},
                                                                 {QStringLiteral("Options"), options},
                                                                 {QStringLiteral("CommandText"), sql},
                                                                 {QStringLiteral("Params"), QJsonValue()},
                                                                 {QStringLiteral("OwnerData"), 7}});
    }
    QJsonObject apply(const QString& provider, const QJsonArray& changes, int maxErrors = -1) {
        const QJsonObject delta{{QStringLiteral("vt"), QStringLiteral("packet")},
                                {QStringLiteral("value"), QJsonObject{{QStringLiteral("changes"), changes}}}};
        return call(QStringLiteral("AS_ApplyUpdates"), QJsonObject{{QStringLiteral("ProviderName"), provider},
                                                                   {QStringLiteral("Delta"), delta},
                                                                   {QStringLiteral("MaxErrors"), maxErrors},
                                                                   {QStringLiteral("OwnerData"), QJsonValue()}});
    }
    QJsonObject request(const QString& provider, const QJsonValue& data) {
        return call(QStringLiteral("AS_DataRequest"),
                    QJsonObject{{QStringLiteral("ProviderName"), provider}, {QStringLiteral("Data"), data}});
    }

private:
    platform::rpc::ServerSession m_session;
    int m_id = 0;
    QJsonObject m_last;
};

// A client of the application server's own endpoint with nothing parsed on the way: lines out, bytes in,
// every wait bounded.
class RawClient {
public:
    explicit RawClient(const QString& path) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray native = path.toLocal8Bit();
        std::memcpy(address.sun_path, native.constData(), static_cast<size_t>(native.size()));
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            close();
    }
    ~RawClient() { close(); }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // Sends a line; what comes from now on is data().
    bool send(const QByteArray& line) {
        m_data.clear();
        for (qsizetype sent = 0; m_fd >= 0 && sent < line.size();) {
            const ssize_t n =
                ::send(m_fd, line.constData() + sent, static_cast<size_t>(line.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return m_fd >= 0;
    }
    // Reads until `enough` says so, the peer ends the connection, or nothing comes for 10 s; false for the
    // last two.
    template <typename Enough>
    bool readUntil(Enough enough) {
        while (m_fd >= 0 && !enough(m_data)) {
            pollfd ready{m_fd, POLLIN, 0};
            if (::poll(&ready, 1, 10000) <= 0)
                return false;
            char chunk[1 << 16];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                m_ended = true;
                return false;
            }
            m_data.append(chunk, n);
        }
        return m_fd >= 0;
    }
    QByteArray exchange(const QByteArray& line) {
        if (!send(line) || !readUntil([](const QByteArray& data) { return data.endsWith('\n'); }))
            return {};
        return m_data;
    }
    const QByteArray& data() const { return m_data; }
    bool ended() const { return m_ended; }

private:
    int m_fd = -1;
    QByteArray m_data;
    bool m_ended = false;
};

QByteArray requestLine(int id, const QString& method, const QJsonObject& params) {
    return QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                     {QStringLiteral("id"), id},
                                     {QStringLiteral("method"), method},
                                     {QStringLiteral("params"), params}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

// 200,000 rows of about 200 bytes each (40 MB), made by the database itself.
QString manyRows(const QString& backend) {
    return backend == QLatin1String("sqlite")
               ? QStringLiteral("with recursive g(n) as (select 1 union all select n + 1 from g "
                                "where n < 200000) select n, printf('%0200d', n) as pad from g")
               : QStringLiteral("select n, lpad(n::text, 200, '0') as pad from generate_series(1, 200000) n");
}

// The rows of a packet as objects by field name.
QList<QJsonObject> rowsOf(const QJsonObject& packet) {
    const QJsonArray fields = packet.value(QStringLiteral("fields")).toArray();
    QList<QJsonObject> rows;
    for (const QJsonValue& row : packet.value(QStringLiteral("rows")).toArray()) {
        QJsonObject byName;
        for (qsizetype i = 0; i < fields.size(); ++i)
            byName.insert(fields.at(i).toObject().value(QStringLiteral("name")).toString().toLower(),
                          row.toArray().at(i));
        rows.append(byName);
    }
    return rows;
}

// A value of the column's type that a row of the table is given in the round trip.
QJsonValue sampleValue(const db::ColumnDef& column, int variant) {
    switch (column.type) {
    case db::ColumnType::Identity:
        break;
    case db::ColumnType::Int:
        return 7 + variant;
    case db::ColumnType::TinyInt:
        return 3 + variant;
    case db::ColumnType::Bit:
        return variant == 0;
    case db::ColumnType::VarChar:
        return QStringLiteral("门禁%1-\"q'\\").arg(variant).left(column.size);
    case db::ColumnType::DateTime:
        return variant == 0 ? QStringLiteral("2024-03-05T07:08:09.123") : QStringLiteral("1999-12-31T23:59:59.000");
    case db::ColumnType::Image:
        return QString::fromLatin1(QByteArray(QByteArray("\x00\x01\xff", 3) + QByteArray::number(variant)).toBase64());
    }
    return QJsonValue();
}

} // namespace

class TestProvider : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::optional<test::PgServer> m_pg;
    QString m_pgDatabase;
    std::unique_ptr<platform::SqlConnection> m_sqlite;
    std::unique_ptr<platform::SqlConnection> m_postgres;

    // Uses the backend that the data row names for the shared connection; false to skip.
    platform::SqlConnection* use(const QString& backend) {
        platform::SqlConnection* connection = backend == QLatin1String("sqlite") ? m_sqlite.get() : m_postgres.get();
        provider::setSharedConnection(connection);
        return connection;
    }
    qlonglong count(platform::SqlConnection& db, const QString& sql) {
        const platform::SqlResult r = db.exec(sql);
        return r.ok && !r.rows.isEmpty() ? r.rows.first().first().toLongLong() : -1;
    }
    platform::SqlConnectionSettings pgSettings(const QString& database) const {
        platform::SqlConnectionSettings p;
        p.provider = SqlProvider::PostgreSQL;
        p.server = m_pg->serverName();
        p.database = database;
        p.user = m_pg->user;
        p.password = m_pg->password;
        return p;
    }
    static void backends() {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
        QTest::newRow("postgresql") << QStringLiteral("postgresql");
    }

private slots:
    void initTestCase() {
        const QString file = m_dir.filePath(QStringLiteral("acs.db"));
        QVERIFY(TCreateDataBase(file, {}, {}, {}, SqlProvider::SQLite).BuildDataBase());
        m_sqlite = std::make_unique<platform::SqlConnection>();
        platform::SqlConnectionSettings s;
        s.provider = SqlProvider::SQLite;
        s.database = file;
        QVERIFY(m_sqlite->open(s));

        m_pg = test::PgServer::fromEnvironment();
        if (m_pg) {
            m_pgDatabase = QStringLiteral("morvane_providers_%1").arg(QCoreApplication::applicationPid());
            TCreateDataBase creation(m_pgDatabase, m_pg->user, m_pg->password, m_pg->serverName(),
                                     SqlProvider::PostgreSQL);
            QVERIFY2(creation.BuildDataBase(), qPrintable(creation.lastError()));
            // The database session keeps a zone other than this process's (TZ is set for the test).
            platform::SqlConnection admin;
            QVERIFY(admin.open(pgSettings(QStringLiteral("postgres"))));
            QVERIFY(admin.exec(QStringLiteral("alter database \"%1\" set timezone to 'UTC'").arg(m_pgDatabase)).ok);
            m_postgres = std::make_unique<platform::SqlConnection>();
            QVERIFY(m_postgres->open(pgSettings(m_pgDatabase)));
        }
    }
    void init() {
        if (QByteArray(QTest::currentDataTag()).startsWith("postgresql") && !m_postgres) {
            if (qEnvironmentVariable("CI") == QLatin1String("true"))
                QFAIL("CI must provide the PostgreSQL server (MORVANE_TEST_PG_PORT)");
            QSKIP("no PostgreSQL server for the tests (MORVANE_TEST_PG_PORT unset)");
        }
    }
    void cleanupTestCase() {
        provider::setSharedConnection(nullptr);
        m_postgres.reset();
        if (m_pg) {
            platform::SqlConnection admin;
            if (admin.open(pgSettings(QStringLiteral("postgres"))))
                admin.exec(QStringLiteral("drop database if exists \"%1\" with (force)").arg(m_pgDatabase));
        }
    }

    // The providers in their order, and the three handlers with what each gives.
    void namesAndHandlers_data() { backends(); }
    void namesAndHandlers() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        Client client;
        client.call(QStringLiteral("AS_GetProviderNames"));
        const QStringList expected =
            QStringLiteral(
                "dsp_open_public dsp_exec_public dsp_exec1_public dsp_exec2_public dsp_exec3_public "
                "dsp_open_ScanAllControl "
                "dsp_department dsp_stafferView dsp_pqpertype dsp_sex dsp_deviceview dsp_devicetype dsp_msgmode "
                "dsp_opendoormode dsp_holiday dsp_timeparagraph dsp_mordcard dsp_timegroup dsp_popedomgroup "
                "dsp_systemenu "
                "dsp_operator dsp_operatormenu dsp_operatorlogon dsp_popedomgroupmodule dsp_devicemordcard "
                "dsp_deviceholiday dsp_devicetimegroup dsp_brushcardlog dsp_doorinfo dsp_makecard dsp_open1_public "
                "dsp_open2_public dsp_revokecard dsp_tempdepartment dsp_wordbook dsp_systemlog")
                .split(QLatin1Char(' '));
        QCOMPARE(client.retval().toVariant().toStringList(), expected);

        // dsp_exec1_public runs its input as a command and answers EMPTY.
        db.exec(QStringLiteral("delete from ac_timegroup where timegroupname = 'handler'"));
        db.exec(QStringLiteral("insert into ac_timegroup (timegroupname) values ('handler')"));
        client.request(
            QStringLiteral("dsp_exec1_public"),
            QStringLiteral("update ac_timegroup set timegroupname = 'handled' where timegroupname = 'handler'"));
        QCOMPARE(client.retval(), QJsonValue(QJsonObject{{QStringLiteral("vt"), QStringLiteral("empty")}}));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_timegroup where timegroupname = 'handled'")), 1);
        // ... and reading it afterwards uses that statement; a command text of its own is refused.
        client.get(QStringLiteral("dsp_exec1_public"), QStringLiteral("select 1"));
        QCOMPARE(client.error(), QStringLiteral("CommandText changes are not allowed"));
        // A statement the database rejects fails with its text; the next request replaces it.
        client.request(QStringLiteral("dsp_exec1_public"), QStringLiteral("update no_such_table set x = 1"));
        QVERIFY2(client.error().contains(QLatin1String("no_such_table")), qPrintable(client.error()));
        client.request(QStringLiteral("dsp_exec1_public"),
                       QStringLiteral("delete from ac_timegroup where timegroupname = 'handled'"));
        QVERIFY(client.error().isEmpty());
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_timegroup where timegroupname = 'handled'")), 0);
        // An input that is no text fails with the conversion's message and runs nothing.
        client.request(QStringLiteral("dsp_exec1_public"), QJsonArray{1, 2});
        QVERIFY(!client.error().isEmpty());

        // dsp_open_ScanAllControl answers the whole packet; with no rows, the metadata alone.
        client.request(QStringLiteral("dsp_open_ScanAllControl"),
                       QStringLiteral("select * from ac_device where id < 0"));
        QCOMPARE(client.packet().value(QStringLiteral("fields")).toArray().size(), 17);
        QCOMPARE(client.packet().value(QStringLiteral("rows")).toArray().size(), 0);
        client.request(QStringLiteral("dsp_open_ScanAllControl"), QStringLiteral("select * from ac_wordbook"));
        QCOMPARE(client.packet().value(QStringLiteral("rowCount")).toInteger(),
                 count(db, QStringLiteral("select count(*) from ac_wordbook")));

        // dsp_exec3_public runs nothing and answers EMPTY; a provider without a handler answers NULL.
        const qlonglong words = count(db, QStringLiteral("select count(*) from ac_wordbook"));
        client.request(QStringLiteral("dsp_exec3_public"), QStringLiteral("delete from ac_wordbook"));
        QCOMPARE(client.retval(), QJsonValue(QJsonObject{{QStringLiteral("vt"), QStringLiteral("empty")}}));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_wordbook")), words);
        client.request(QStringLiteral("dsp_department"), QStringLiteral("delete from ac_wordbook"));
        QCOMPARE(client.retval(), QJsonValue(QJsonValue::Null));

        // The three without a statement of their own fail every read and execute.
        for (const char* name : {"dsp_exec_public", "dsp_exec2_public", "dsp_exec3_public"}) {
            client.get(QLatin1String(name), QString());
            QVERIFY2(!client.error().isEmpty(), name);
            client.call(QStringLiteral("AS_Execute"),
                        QJsonArray{QLatin1String(name), QString(), QJsonValue(), QJsonValue()});
            QVERIFY2(!client.error().isEmpty(), name);
        }
        client.get(QStringLiteral("dspStaff"), QString());
        QCOMPARE(client.error(), QStringLiteral("Provider not exported: dspStaff"));
    }

    // Every provider that takes client SQL answers its own table's rows, with the same metadata on both
    // databases for the same column types.
    void everyProviderReads_data() { backends(); }
    void everyProviderReads() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        const QList<QPair<const char*, const char*>> providers{{"dsp_open_public", "ac_device"},
                                                               {"dsp_department", "ac_department"},
                                                               {"dsp_stafferView", "ac_staffer"},
                                                               {"dsp_pqpertype", "ac_wordbook"},
                                                               {"dsp_sex", "ac_wordbook"},
                                                               {"dsp_deviceview", "ac_device"},
                                                               {"dsp_devicetype", "ac_wordbook"},
                                                               {"dsp_msgmode", "ac_wordbook"},
                                                               {"dsp_opendoormode", "ac_wordbook"},
                                                               {"dsp_holiday", "ac_holiday"},
                                                               {"dsp_timeparagraph", "ac_timeparagraph"},
                                                               {"dsp_mordcard", "ac_propmordcard"},
                                                               {"dsp_timegroup", "ac_timegroup"},
                                                               {"dsp_popedomgroup", "ac_popedomgroup"},
                                                               {"dsp_systemenu", "ac_systemoudle"},
                                                               {"dsp_operator", "ac_operator"},
                                                               {"dsp_operatormenu", "ac_popedomgroupmodule"},
                                                               {"dsp_operatorlogon", "ac_operator"},
                                                               {"dsp_popedomgroupmodule", "ac_popedomgroupmodule"},
                                                               {"dsp_devicemordcard", "ac_propmordcard"},
                                                               {"dsp_deviceholiday", "ac_propholiday"},
                                                               {"dsp_devicetimegroup", "ac_proptimegroup"},
                                                               {"dsp_brushcardlog", "brushcardlog"},
                                                               {"dsp_doorinfo", "ac_doorinfo"},
                                                               {"dsp_makecard", "ac_makecard"},
                                                               {"dsp_open1_public", "ac_timegroup"},
                                                               {"dsp_open2_public", "ac_SystemLog"},
                                                               {"dsp_revokecard", "ac_makecard"},
                                                               {"dsp_tempdepartment", "ac_department"},
                                                               {"dsp_wordbook", "ac_wordbook"},
                                                               {"dsp_systemlog", "ac_SystemLog"}};
        Client client;
        for (const auto& [name, table] : providers) {
            const db::TableDef* def = db::findTable(QLatin1String(table));
            client.get(QLatin1String(name), QStringLiteral("select * from %1").arg(QLatin1String(table)));
            QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
            const QJsonObject packet = client.packet();
            QCOMPARE(packet.value(QStringLiteral("rowCount")).toInteger(),
                     count(db, QStringLiteral("select count(*) from %1").arg(QLatin1String(table))));
            QCOMPARE(client.out().value(QStringLiteral("RecsOut")).toInteger(),
                     packet.value(QStringLiteral("rowCount")).toInteger());
            QCOMPARE(client.out().value(QStringLiteral("OwnerData")), QJsonValue(7));
            const QJsonArray fields = packet.value(QStringLiteral("fields")).toArray();
            QCOMPARE(fields.size(), def->columns.size());
            for (qsizetype i = 0; i < fields.size(); ++i) {
                const QJsonObject f = fields.at(i).toObject();
                const db::ColumnDef& column = def->columns.at(i);
                static const QHash<db::ColumnType, QString> types{
                    {db::ColumnType::Identity, QStringLiteral("i4")},
                    {db::ColumnType::Int, QStringLiteral("i4")},
                    {db::ColumnType::TinyInt, QStringLiteral("i2")},
                    {db::ColumnType::Bit, QStringLiteral("boolean")},
                    {db::ColumnType::VarChar, QStringLiteral("string")},
                    {db::ColumnType::DateTime, QStringLiteral("dateTime")},
                    {db::ColumnType::Image, QStringLiteral("bin.hex")}};
                QCOMPARE(f.value(QStringLiteral("type")).toString(), types.value(column.type));
                QCOMPARE(f.value(QStringLiteral("width")).toInt(),
                         column.type == db::ColumnType::VarChar ? column.size : 0);
                QCOMPARE(f.value(QStringLiteral("autoincrement")).toBool(), column.type == db::ColumnType::Identity);
            }
            QCOMPARE(packet.value(QStringLiteral("params")).toObject().value(QStringLiteral("primaryKey")),
                     QJsonValue(QJsonArray{0}));
        }
        // The seed rows' Chinese texts arrive intact.
        client.get(QStringLiteral("dsp_sex"),
                   QStringLiteral("select WordName from ac_wordbook where WordId = 1 order by ItemId"));
        QCOMPARE(client.packet().value(QStringLiteral("rows")),
                 QJsonValue(QJsonArray{QJsonArray{QStringLiteral("男")}, QJsonArray{QStringLiteral("女")}}));
    }

    // Every table: a row inserted through a delta, read back, edited (a NULL written and read back),
    // and deleted.
    void roundTripEveryTable_data() { backends(); }
    void roundTripEveryTable() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        Client client;
        for (const db::TableDef& table : db::tableDefinitions()) {
            const QString sql = QStringLiteral("select * from %1").arg(table.name);
            const QString key = QLatin1String(table.columns.first().name);
            client.get(QStringLiteral("dsp_open_public"), sql, 0);
            QJsonObject values, edited;
            for (const db::ColumnDef& column : table.columns) {
                if (column.type == db::ColumnType::Identity)
                    continue;
                values.insert(QLatin1String(column.name), sampleValue(column, 0));
                if (edited.isEmpty())
                    edited.insert(QLatin1String(column.name), QJsonValue::Null);
                else if (edited.size() == 1)
                    edited.insert(QLatin1String(column.name), sampleValue(column, 1));
            }
            client.apply(QStringLiteral("dsp_open_public"), {change(4, {}, values)});
            QVERIFY2(client.error().isEmpty(), qPrintable(table.name + QLatin1String(": ") + client.error()));
            QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
            QCOMPARE(client.packet().value(QStringLiteral("keys")).toArray().size(), 1);
            const auto readBack = [&] {
                client.get(QStringLiteral("dsp_open_public"),
                           QStringLiteral("%1 where %2 = (select max(%2) from %3)").arg(sql, key, table.name));
                const QList<QJsonObject> rows = rowsOf(client.packet());
                return rows.isEmpty() ? QJsonObject() : rows.first();
            };
            QJsonObject stored = readBack();
            for (auto it = values.begin(); it != values.end(); ++it)
                QVERIFY2(stored.value(it.key().toLower()) == it.value(),
                         qPrintable(
                             table.name + QLatin1Char('.') + it.key() + QLatin1String(": ") +
                             QString::fromUtf8(QJsonDocument(QJsonArray{stored.value(it.key().toLower())}).toJson())));

            QJsonObject old;
            for (auto it = stored.begin(); it != stored.end(); ++it)
                old.insert(it.key(), it.value());
            client.apply(QStringLiteral("dsp_open_public"), {change(8, old, edited)});
            QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
            const QJsonObject after = readBack();
            for (auto it = edited.begin(); it != edited.end(); ++it)
                QCOMPARE(after.value(it.key().toLower()), it.value());

            // Deleting by the values read before the edit finds no row: they are stale now.
            client.apply(QStringLiteral("dsp_open_public"), {change(2, old, {})});
            QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 1);
            const QJsonObject error = client.packet().value(QStringLiteral("errors")).toArray().first().toObject();
            QCOMPARE(error.value(QStringLiteral("message")).toString(), QStringLiteral("Record not found"));
            const QJsonObject current = error.value(QStringLiteral("row")).toObject();
            QCOMPARE(current.value(current.contains(key) ? key : key.toLower()), stored.value(key.toLower()));
            client.apply(QStringLiteral("dsp_open_public"), {change(2, after, {})});
            QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
            QCOMPARE(count(db, QStringLiteral("select count(*) from %1 where %2 = %3")
                                   .arg(table.name, key)
                                   .arg(stored.value(key.toLower()).toInteger())),
                     0);
        }
    }

    // Faults in a delta: each failed change is reported, the others go on or are rolled back by MaxErrors.
    void deltaFaults_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QJsonObject>("bad");
        QTest::addColumn<QString>("message");
        for (const char* backend : {"sqlite", "postgresql"}) {
            const auto row = [&](const char* name, const QJsonObject& bad, const char* message) {
                QTest::addRow("%s %s", backend, name)
                    << QString::fromLatin1(backend) << bad << QString::fromUtf8(message);
            };
            row("unknown field", change(4, {}, {{QStringLiteral("nosuch"), 1}}), "Field 'nosuch' not found");
            row("wrong type", change(4, {}, {{QStringLiteral("departmentname"), QJsonArray{1}}}),
                "Field 'departmentname': a value is a number, a text, true/false or null");
            row("too wide", change(4, {}, {{QStringLiteral("departmentname"), QString(41, QLatin1Char('x'))}}),
                "Field 'departmentname': 41 characters do not fit its width of 40");
            row("missing key", change(2, {{QStringLiteral("departmentname"), QStringLiteral("kept")}}, {}),
                "Unable to find record.  No key specified");
            row("stale",
                change(8, {{QStringLiteral("id"), 1}, {QStringLiteral("departmentname"), QStringLiteral("other")}},
                       {{QStringLiteral("remark"), QStringLiteral("x")}}),
                "Record not found");
        }
    }
    void deltaFaults() {
        QFETCH(QString, backend);
        QFETCH(QJsonObject, bad);
        QFETCH(QString, message);
        platform::SqlConnection& db = *use(backend);
        db.exec(QStringLiteral("delete from ac_department"));
        db.exec(QStringLiteral("insert into ac_department (departmentname) values ('kept')"));
        Client client;
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"), 0);
        const QJsonObject good = change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("added")}});
        const auto added = [&] {
            return count(db, QStringLiteral("select count(*) from ac_department where departmentname = 'added'"));
        };
        // MaxErrors 0: one failure rolls back the good change too.
        client.apply(QStringLiteral("dsp_department"), {good, bad}, 0);
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 1);
        const QJsonObject packet = client.packet();
        QCOMPARE(packet.value(QStringLiteral("rolledBack")).toBool(), true);
        const QJsonObject error = packet.value(QStringLiteral("errors")).toArray().first().toObject();
        QCOMPARE(error.value(QStringLiteral("index")).toInt(), 1);
        QCOMPARE(error.value(QStringLiteral("message")).toString(), message);
        QCOMPARE(added(), 0);
        // MaxErrors -1: the good change is kept.
        client.apply(QStringLiteral("dsp_department"), {good, bad}, -1);
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 1);
        QCOMPARE(client.packet().value(QStringLiteral("rolledBack")).toBool(), false);
        QCOMPARE(added(), 1);
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_department")), 2);
        // A delta that is no delta fails the call and changes nothing.
        client.call(QStringLiteral("AS_ApplyUpdates"),
                    QJsonObject{{QStringLiteral("ProviderName"), QStringLiteral("dsp_department")},
                                {QStringLiteral("Delta"), QStringLiteral("[1,2]")},
                                {QStringLiteral("MaxErrors"), -1},
                                {QStringLiteral("OwnerData"), QJsonValue()}});
        QCOMPARE(client.error(), QStringLiteral("The delta is not a JSON object"));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_department")), 2);
    }

    // A delta of many changes, sent ahead in batches on PostgreSQL and run straight through SQLite, keeps
    // every key in the order of its changes, and a failure far into it is told as exactly as in a short one.
    void largeDelta_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<int>("stale"); // the index of a change that finds no row; -1: none
        for (const char* backend : {"sqlite", "postgresql"}) {
            QTest::addRow("%s all good", backend) << QString::fromLatin1(backend) << -1;
            QTest::addRow("%s a failure past the first batch", backend) << QString::fromLatin1(backend) << 450;
        }
    }
    void largeDelta() {
        QFETCH(QString, backend);
        QFETCH(int, stale);
        platform::SqlConnection& db = *use(backend);
        db.exec(QStringLiteral("delete from ac_department"));
        Client client;
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"), 0);
        QJsonArray changes;
        for (int i = 0; i < 600; ++i)
            changes.append(
                i == stale ? change(8, {{QStringLiteral("id"), -1}}, {{QStringLiteral("remark"), QStringLiteral("x")}})
                           : change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("d%1").arg(i)}}));
        client.apply(QStringLiteral("dsp_department"), changes);
        const int failed = stale < 0 ? 0 : 1;
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), failed);
        const QJsonObject packet = client.packet();
        if (failed) {
            const QJsonObject error = packet.value(QStringLiteral("errors")).toArray().first().toObject();
            QCOMPARE(error.value(QStringLiteral("index")).toInt(), stale);
            QCOMPARE(error.value(QStringLiteral("message")).toString(), QStringLiteral("Record not found"));
        }
        const QJsonArray keys = packet.value(QStringLiteral("keys")).toArray();
        QCOMPARE(keys.size(), 600 - failed);
        // Each key is the row its change made, in the order of the changes.
        qint64 last = 0;
        for (const QJsonValue& entry : keys) {
            const int index = entry.toObject().value(QStringLiteral("index")).toInt();
            const qint64 id =
                entry.toObject().value(QStringLiteral("key")).toObject().value(QStringLiteral("id")).toInteger();
            QVERIFY(id > last);
            last = id;
            QCOMPARE(
                count(db, QStringLiteral("select count(*) from ac_department where id = %1 and departmentname = 'd%2'")
                              .arg(id)
                              .arg(index)),
                1);
        }
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_department")), 600 - failed);
    }

    // The rows written from the drivers' own results are the JSON that the values of the query give,
    // for every kind of value a column may hold (SQLite keeps whatever was stored), and always valid.
    void nativeRowsAgree_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("sql");
        const char* sqlite[] = {
            "select 1 as id, 'abc' as departmentid, 5 as username, 2.5 as phone, null as sex, '门禁\"\\' || char(1, "
            "10, 9) as job",
            "select 7 as ID, '2024-03-05 07:08:09.123456' as begtime, 'yesterday' as endtime, x'00ff10' as photo, "
            "'12' as alreadyissue, 0 as alreadydown, 1.0e300 as degree from ac_staffer where 1 = 0 union all "
            "select 7, '2024-03-05 07:08:09.123456', 'yesterday', x'00ff10', '12', 0, 1.0e300",
        };
        const char* postgres[] = {
            "select 1 as id, 'x' as departmentname, null::varchar as remark, 2.5::float8 as r, 12.50::numeric as n, "
            "'NaN'::numeric as nan, count(*) over () as c, '门禁\"\\' || chr(1) as t",
            "select 1 as id, '2024-03-05 07:08:09.123656'::timestamp as begtime, '2024-03-05'::date as d, "
            "'\\x00ff10'::bytea as photo, "
            "1::smallint as alreadyissue, 0::smallint as alreadydown, true as b",
        };
        for (int i = 0; i < 2; ++i) {
            QTest::addRow("sqlite %d", i) << QStringLiteral("sqlite") << QString::fromUtf8(sqlite[i]);
            QTest::addRow("postgresql %d", i) << QStringLiteral("postgresql") << QString::fromUtf8(postgres[i]);
        }
    }
    void nativeRowsAgree() {
        QFETCH(QString, backend);
        QFETCH(QString, sql);
        platform::SqlConnection& db = *use(backend);
        const auto rows = db.call([&](QSqlDatabase& handle) {
            QPair<QByteArray, QByteArray> out;
            const QString table =
                provider::statementTable(sql).isEmpty() ? QStringLiteral("ac_staffer") : provider::statementTable(sql);
            // One after the other: a PostgreSQL connection reads one result at a time.
            QSqlQuery native(handle);
            native.setForwardOnly(true);
            if (!native.exec(sql))
                return out;
            QList<provider::FieldDesc> fields = provider::describeFields(native.record(), table);
            {
                const auto source = provider::RowSource::create(native, fields);
                while (source->appendNext(out.first))
                    out.first.append(',');
            }
            native.finish();
            QSqlQuery generic(handle);
            generic.setForwardOnly(true);
            if (!generic.exec(sql))
                return out;
            const provider::RowWriter writer(fields);
            while (generic.next()) {
                writer.appendRow(out.second, generic);
                out.second.append(',');
            }
            return out;
        });
        QVERIFY(!rows.first.isEmpty());
        QCOMPARE(rows.first, rows.second);
        QJsonParseError error;
        QJsonDocument::fromJson("[" + rows.first.chopped(1) + "]", &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
    }

    // Text written into the packets as JSON: escapes, every UTF-8 length, and bytes that are no UTF-8.
    void jsonText_data() {
        QTest::addColumn<QByteArray>("utf8");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QByteArray("Door 1") << QStringLiteral("Door 1");
        QTest::newRow("escapes") << QByteArray("a\"b\\c\n\x01") << QStringLiteral("a\"b\\c\n\x01");
        QTest::newRow("chinese") << QByteArray("门禁") << QStringLiteral("门禁");
        QTest::newRow("four bytes") << QByteArray("\xf0\x9f\x94\x91") << QStringLiteral("\U0001F511");
        QTest::newRow("lone byte") << QByteArray("a\xff"
                                                 "b")
                                   << QStringLiteral("a\uFFFDb");
        QTest::newRow("overlong") << QByteArray("\xc0\xaf") << QStringLiteral("\uFFFD\uFFFD");
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << QStringLiteral("\uFFFD\uFFFD\uFFFD");
        QTest::newRow("cut short") << QByteArray("\xe9\x97") << QStringLiteral("\uFFFD\uFFFD");
    }
    void jsonText() {
        QFETCH(QByteArray, utf8);
        QFETCH(QString, expected);
        QByteArray native, generic;
        provider::appendJsonUtf8(native, utf8.constData(), utf8.size());
        provider::appendJsonString(generic, expected);
        const QJsonDocument parsed = QJsonDocument::fromJson("[" + native + "]");
        QCOMPARE(parsed.array().first().toString(), expected);
        QCOMPARE(QJsonDocument::fromJson("[" + generic + "]").array().first().toString(), expected);
    }

    // The table a delta goes to: the first name after the statement's first top-level FROM.
    void statementTable_data() {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("table");
        QTest::newRow("plain") << "select * from ac_staffer"
                               << "ac_staffer";
        QTest::newRow("schema, alias, join")
            << "SELECT a.* FROM dbo.ac_staffer a left join ac_department b on a.departmentid = b.id"
            << "ac_staffer";
        QTest::newRow("subquery first") << "select (select count(*) from ac_doorinfo) as n from ac_device"
                                        << "ac_device";
        QTest::newRow("from in a literal") << "select 'from x' as t, \"from\" from [ac_holiday]"
                                           << "ac_holiday";
        QTest::newRow("quoted") << "select * from \"ac_SystemLog\" where 1 = 1"
                                << "ac_SystemLog";
        QTest::newRow("derived table") << "select * from (select * from ac_device) d"
                                       << "";
        QTest::newRow("no table") << "select 1"
                                  << "";
        QTest::newRow("procedure") << "exec CreateDevice"
                                   << "";
    }
    void statementTable() {
        QFETCH(QString, sql);
        QFETCH(QString, table);
        QCOMPARE(provider::statementTable(sql), table);
    }

    // The client's text table: columns aligned by display width, wide characters counting two.
    void packetTable() {
        const QJsonObject packet =
            QJsonDocument::fromJson(
                R"({"fields":[{"name":"id"},{"name":"名"}],"rows":[[1,"研发部"],[22,null]],"rowCount":2})")
                .object();
        QCOMPARE(rmtclient::packetTable(packet),
                 QStringLiteral("id  名\n--  ------\n1   研发部\n22  NULL\n(2 rows)\n"));
    }

    // Count, cursor, reset, parameters and refreshing a row.
    void cursorsAndParams_data() { backends(); }
    void cursorsAndParams() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        Client client;
        const QString sql = QStringLiteral("select * from ac_systemoudle order by id");
        client.get(QStringLiteral("dsp_systemenu"), sql, 0);
        QCOMPARE(client.packet().value(QStringLiteral("rows")).toArray().size(), 0);
        QCOMPARE(client.packet().value(QStringLiteral("fields")).toArray().size(), 4);
        QList<int> pages;
        int first = 0;
        Client other; // reads and writes between the pages, on the same connection
        for (int i = 0; i < 4; ++i) {
            other.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));
            QVERIFY2(other.error().isEmpty(), qPrintable(other.error()));
            client.get(QStringLiteral("dsp_systemenu"), QString(), 8, 0);
            QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
            pages.append(client.out().value(QStringLiteral("RecsOut")).toInt());
            QVERIFY(!client.packet().contains(QStringLiteral("fields")));
            if (i == 0)
                first = client.packet().value(QStringLiteral("rows")).toArray().first().toArray().first().toInt();
        }
        QCOMPARE(pages, (QList<int>{8, 8, 4, 0})); // after its last record the cursor answers none
        QCOMPARE(first, 1000);
        client.get(QStringLiteral("dsp_systemenu"), QString(), 3, 2);
        QCOMPARE(client.packet().value(QStringLiteral("rows")).toArray().first().toArray().first().toInt(), 1000);

        // Parameters by name; AS_GetParams gives them back. (An array of one array is built by hand:
        // compilers differ on whether braces around one QJsonArray copy it.)
        QJsonArray wanted;
        wanted.append(QJsonArray{QStringLiteral("wanted"), 1005});
        client.call(QStringLiteral("AS_GetRecords"),
                    QJsonObject{{QStringLiteral("ProviderName"), QStringLiteral("dsp_systemenu")},
                                {QStringLiteral("Count"), -1},
                                {QStringLiteral("Options"), 1},
                                {QStringLiteral("CommandText"),
                                 QStringLiteral("select * from ac_systemoudle where id = :wanted")},
                                {QStringLiteral("Params"), wanted},
                                {QStringLiteral("OwnerData"), QJsonValue()}});
        QCOMPARE(client.packet().value(QStringLiteral("rowCount")).toInt(), 1);
        client.call(QStringLiteral("AS_GetParams"), QJsonArray{QStringLiteral("dsp_systemenu"), QJsonValue()});
        QCOMPARE(client.retval(), QJsonValue(wanted));

        // A command with parameters by name; they come back in Params.
        QJsonArray assignments;
        assignments.append(QJsonArray{QStringLiteral("r"), QStringLiteral("参数")});
        assignments.append(QJsonArray{QStringLiteral(":i"), 1001});
        client.call(QStringLiteral("AS_Execute"),
                    QJsonObject{{QStringLiteral("ProviderName"), QStringLiteral("dsp_systemenu")},
                                {QStringLiteral("CommandText"),
                                 QStringLiteral("update ac_systemoudle set remark = :r where id = :i")},
                                {QStringLiteral("Params"), assignments},
                                {QStringLiteral("OwnerData"), QJsonValue()}});
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        QCOMPARE(client.out().value(QStringLiteral("Params")), QJsonValue(assignments));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_systemoudle where remark = '参数' and id = 1001")),
                 1);

        // SQL the database rejects fails with its text, leaves the cursor closed and no transaction open.
        client.get(QStringLiteral("dsp_systemenu"), QStringLiteral("select nonsense from nowhere"), 5);
        QVERIFY(!client.error().isEmpty());
        client.get(QStringLiteral("dsp_systemenu"), QString(), 5);
        QVERIFY(!client.error().isEmpty()); // the rejected statement is still the provider's
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"), 0);
        client.apply(QStringLiteral("dsp_department"),
                     {change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("after rejected")}})});
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
        QCOMPARE(
            count(db, QStringLiteral("select count(*) from ac_department where departmentname = 'after rejected'")), 1);

        // A row refreshed by its key.
        client.get(QStringLiteral("dsp_systemenu"), sql, 0);
        const QJsonObject row{{QStringLiteral("vt"), QStringLiteral("packet")},
                              {QStringLiteral("value"), QJsonObject{{QStringLiteral("id"), 1003}}}};
        client.call(QStringLiteral("AS_RowRequest"), QJsonArray{QStringLiteral("dsp_systemenu"), row, 1, QJsonValue()});
        QCOMPARE(rowsOf(client.packet()).value(0).value(QStringLiteral("id")), QJsonValue(1003));
    }

    // The procedures in T-SQL's call forms through dsp_exec1_public.
    void procedures_data() { backends(); }
    void procedures() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        Client client;
        db.exec(QStringLiteral("insert into ac_device (devicename, devicetype) values ('proc', 1)"));
        const qlonglong id = count(db, QStringLiteral("select max(id) from ac_device"));
        client.request(QStringLiteral("dsp_exec1_public"), QStringLiteral("exec CreateDevice"));
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_doorinfo where deviceid = %1").arg(id)), 2);
        client.request(QStringLiteral("dsp_exec1_public"),
                       QStringLiteral("execute DeleteDeviceProperty @DeivceID=%1").arg(id));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_doorinfo where deviceid = %1").arg(id)), 0);
        client.request(QStringLiteral("dsp_exec1_public"), QStringLiteral("exec dbo.DeleteDevice %1;").arg(id));
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_device where id = %1").arg(id)), 0);
    }

    // Twenty clients apply conflicting deltas to one row at once: each change is applied exactly once or
    // refused as stale, nothing hangs, and the row ends as the last applied change left it.
    void conflictingClients_data() { backends(); }
    void conflictingClients() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        db.exec(QStringLiteral("delete from ac_holiday"));
        db.exec(QStringLiteral("insert into ac_holiday (holidayname) values ('0')"));
        const int id = static_cast<int>(count(db, QStringLiteral("select max(ID) from ac_holiday")));
        std::atomic<int> applied{0}, stale{0}, other{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 20; ++t) {
            threads.emplace_back([&, t] {
                Client client;
                client.get(QStringLiteral("dsp_holiday"), QStringLiteral("select * from ac_holiday"), 0);
                for (int round = 0; round < 10; ++round) {
                    client.get(QStringLiteral("dsp_holiday"), QString(), -1, 3);
                    const QJsonObject row = rowsOf(client.packet()).value(0);
                    const QJsonObject old{{QStringLiteral("id"), id},
                                          {QStringLiteral("holidayname"), row.value(QStringLiteral("holidayname"))}};
                    const QString next =
                        QString::number(row.value(QStringLiteral("holidayname")).toString().toInt() + 1);
                    client.apply(QStringLiteral("dsp_holiday"),
                                 {change(8, old, {{QStringLiteral("holidayname"), next}}),
                                  change(4, {}, {{QStringLiteral("holidayname"), QStringLiteral("t%1").arg(t)}})},
                                 0);
                    const int errors = client.out().value(QStringLiteral("ErrorCount")).toInt();
                    (errors == 0 ? applied : client.packet().toVariantMap().isEmpty() ? other : stale)++;
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        QCOMPARE(other.load(), 0);
        QCOMPARE(applied + stale, 200);
        QVERIFY(applied > 0);
        // The counter went up once per applied delta, and each applied delta added its one row.
        QCOMPARE(count(db, QStringLiteral("select holidayname from ac_holiday where ID = %1").arg(id)), applied.load());
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_holiday")), applied + 1);
    }

    // The shared connection survives its server: the call after a dropped connection works again.
    void reconnects() {
        if (!m_postgres)
            QSKIP("needs PostgreSQL");
        use(QStringLiteral("postgresql"));
        Client client;
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select pg_backend_pid()"));
        const int pid = client.packet().value(QStringLiteral("rows")).toArray().first().toArray().first().toInt();
        {
            platform::SqlConnection admin;
            QVERIFY(admin.open(pgSettings(QStringLiteral("postgres"))));
            QVERIFY(admin.exec(QStringLiteral("select pg_terminate_backend(%1)").arg(pid)).ok);
        }
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));
        QVERIFY(!client.error().isEmpty());
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        // No transaction was left open by the failure: a delta still applies and commits.
        client.apply(QStringLiteral("dsp_department"),
                     {change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("after")}})});
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
    }

    // A client statement that changes data and returns rows runs once, on every path that runs one.
    void clientStatementRunsOnce_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("path");
        for (const char* backend : {"sqlite", "postgresql"}) {
            for (const char* path : {"all", "page", "metadata", "execute", "exec1", "scanall"})
                QTest::addRow("%s %s", backend, path) << QString::fromLatin1(backend) << QString::fromLatin1(path);
        }
    }
    void clientStatementRunsOnce() {
        QFETCH(QString, backend);
        QFETCH(QString, path);
        platform::SqlConnection& db = *use(backend);
        Client client;
        const QString name = QStringLiteral("once-") + path;
        db.exec(QStringLiteral("delete from ac_doorinfo where doorname = '%1'").arg(name));
        db.exec(QStringLiteral("insert into ac_doorinfo (doorname, opendelaydtime) values ('%1', 0)").arg(name));
        const QString insert =
            QStringLiteral("insert into ac_doorinfo (doorname, opendelaydtime) values ('%1', 0) returning id")
                .arg(name);
        const QString update = QStringLiteral("update ac_doorinfo set opendelaydtime = opendelaydtime + 1 "
                                              "where doorname = '%1' returning opendelaydtime")
                                   .arg(name);
        for (const QString& sql : {insert, update}) {
            if (path == QLatin1String("all"))
                client.get(QStringLiteral("dsp_open_public"), sql, -1);
            else if (path == QLatin1String("page"))
                client.get(QStringLiteral("dsp_open_public"), sql, 1);
            else if (path == QLatin1String("metadata"))
                client.get(QStringLiteral("dsp_open_public"), sql, 0);
            else if (path == QLatin1String("execute"))
                client.call(QStringLiteral("AS_Execute"),
                            QJsonArray{QStringLiteral("dsp_open_public"), sql, QJsonValue(), QJsonValue()});
            else
                client.request(path == QLatin1String("exec1") ? QStringLiteral("dsp_exec1_public")
                                                              : QStringLiteral("dsp_open_ScanAllControl"),
                               sql);
            QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        }
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_doorinfo where doorname = '%1'").arg(name)), 2);
        QCOMPARE(
            count(db, QStringLiteral("select sum(opendelaydtime) from ac_doorinfo where doorname = '%1'").arg(name)),
            2);
    }

    // Dates written through a delta or a parameter read back as written, whatever the time zones of this
    // process and of the database session (the test runs in a zone other than the database's), and
    // where-all finds the row by them.
    void datesNeverShift_data() { backends(); }
    void datesNeverShift() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        QVERIFY(QDateTime::currentDateTime().offsetFromUtc() != 0); // TZ is set for this test
        Client client;
        const QString sql = QStringLiteral("select * from ac_holiday where holidayname like 'tz-%'");
        db.exec(QStringLiteral("delete from ac_holiday where holidayname like 'tz-%'"));
        const QString when = QStringLiteral("2024-03-05T07:08:09.123");
        client.get(QStringLiteral("dsp_holiday"), sql, 0);
        client.apply(QStringLiteral("dsp_holiday"),
                     {change(4, {},
                             {{QStringLiteral("holidayname"), QStringLiteral("tz-delta")},
                              {QStringLiteral("BegDateTime"), when}})});
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
        // A parameter of type DATE, in a command and in a query.
        QJsonArray params;
        params.append(QJsonArray{QStringLiteral("d"), QJsonObject{{QStringLiteral("vt"), QStringLiteral("date")},
                                                                  {QStringLiteral("value"), when}}});
        client.call(
            QStringLiteral("AS_Execute"),
            QJsonArray{QStringLiteral("dsp_holiday"),
                       QStringLiteral("insert into ac_holiday (holidayname, BegDateTime) values ('tz-param', :d)"),
                       params, QJsonValue()});
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        client.call(QStringLiteral("AS_GetRecords"),
                    QJsonArray{QStringLiteral("dsp_holiday"), -1, 0, 1,
                               QStringLiteral("select * from ac_holiday where BegDateTime = :d order by holidayname"),
                               params, QJsonValue()});
        QCOMPARE(client.packet().value(QStringLiteral("rowCount")).toInt(), 2);
        client.get(QStringLiteral("dsp_holiday"), sql + QStringLiteral(" order by holidayname"));
        const QList<QJsonObject> rows = rowsOf(client.packet());
        QCOMPARE(rows.size(), 2);
        for (const QJsonObject& row : rows) {
            QCOMPARE(row.value(QStringLiteral("begdatetime")).toString(), when);
            // Where-all finds the row by its date.
            client.apply(
                QStringLiteral("dsp_holiday"),
                {change(8, row, {{QStringLiteral("EndDateTime"), QStringLiteral("2024-03-06T00:00:00.000")}})});
            QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
        }
    }

    // Numbers keep every digit through deltas and packets; types the schema does not use come in
    // well-formed packets with their documented types.
    void numbersExact_data() { backends(); }
    void numbersExact() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        const bool pg = backend == QLatin1String("postgresql");
        db.exec(QStringLiteral("drop table if exists t_exact"));
        QVERIFY(db.exec(pg ? QStringLiteral("create table t_exact (id serial primary key, big int8, amount "
                                            "numeric(30,4), label varchar(40))")
                           : QStringLiteral("create table t_exact (id integer primary key autoincrement, big integer, "
                                            "amount numeric, label varchar(40))"))
                    .ok);
        Client client;
        const qint64 big = (qint64(1) << 53) + 1;
        const QString amount = pg ? QStringLiteral("12345678901234567890.1234") : QStringLiteral("1234.5");
        client.get(QStringLiteral("dsp_open_public"), QStringLiteral("select * from t_exact"), 0);
        client.apply(
            QStringLiteral("dsp_open_public"),
            {change(4, {},
                    {{QStringLiteral("big"), big},
                     {QStringLiteral("amount"), amount},
                     {QStringLiteral("label"), qint64(12345678901234567)}}),
             change(4, {},
                    {{QStringLiteral("big"), std::numeric_limits<qint64>::max()}, {QStringLiteral("label"), 0.1}})});
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        QVERIFY2(client.out().value(QStringLiteral("ErrorCount")).toInt() == 0,
                 QJsonDocument(client.packet()).toJson().constData());
        client.get(QStringLiteral("dsp_open_public"), QStringLiteral("select * from t_exact order by id"));
        const QJsonArray fields = client.packet().value(QStringLiteral("fields")).toArray();
        QCOMPARE(fields.at(1).toObject().value(QStringLiteral("type")).toString(), QStringLiteral("i8"));
        QList<QJsonObject> rows = rowsOf(client.packet());
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).value(QStringLiteral("big")).toInteger(), big);
        QCOMPARE(rows.at(1).value(QStringLiteral("big")).toInteger(), std::numeric_limits<qint64>::max());
        QCOMPARE(rows.at(0).value(QStringLiteral("label")).toString(), QStringLiteral("12345678901234567"));
        QCOMPARE(rows.at(1).value(QStringLiteral("label")).toString(), QStringLiteral("0.1"));
        if (pg) {
            QCOMPARE(fields.at(2).toObject().value(QStringLiteral("type")).toString(), QStringLiteral("fixed"));
            QCOMPARE(rows.at(0).value(QStringLiteral("amount")).toString(), amount);
        }
        // Where-all finds both rows by every value read.
        for (const QJsonObject& row : rows) {
            client.apply(QStringLiteral("dsp_open_public"),
                         {change(8, row, {{QStringLiteral("label"), QStringLiteral("found")}})});
            QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
        }
        QCOMPARE(count(db, QStringLiteral("select count(*) from t_exact where label = 'found'")), 2);
        db.exec(QStringLiteral("drop table t_exact"));
        if (!pg) {
            // SQLite keeps 8 bytes in a column declared int: such a value is described as i8 and finds its row.
            db.exec(QStringLiteral("insert into ac_doorinfo (doorname, opendelaydtime) values ('wide', 5000000000)"));
            for (const int count : {-1, 1}) {
                client.get(QStringLiteral("dsp_doorinfo"),
                           QStringLiteral("select * from ac_doorinfo where doorname = 'wide'"), count, 3);
                QCOMPARE(client.packet()
                             .value(QStringLiteral("fields"))
                             .toArray()
                             .at(5)
                             .toObject()
                             .value(QStringLiteral("type")),
                         QJsonValue(QStringLiteral("i8")));
            }
            const QJsonObject wide = rowsOf(client.packet()).value(0);
            QCOMPARE(wide.value(QStringLiteral("opendelaydtime")).toInteger(), 5000000000);
            client.apply(QStringLiteral("dsp_doorinfo"), {change(2, wide, {})});
            QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
        }

        // Types only client SQL can bring: a well-formed packet with the documented type and value.
        const QList<std::tuple<QString, QString, QJsonValue>> types =
            pg ? QList<std::tuple<QString, QString,
                                  QJsonValue>>{{QStringLiteral("time '10:11:12.5'"), QStringLiteral("time"),
                                                QStringLiteral("1899-12-30T10:11:12.500")},
                                               {QStringLiteral("timestamptz '2024-03-05 07:08:09.123+00'"),
                                                QStringLiteral("string"), QStringLiteral("2024-03-05 07:08:09.123+00")},
                                               {QStringLiteral("12.50::numeric"), QStringLiteral("fixed"),
                                                QStringLiteral("12.50")},
                                               {QStringLiteral("true"), QStringLiteral("boolean"), true},
                                               {QStringLiteral("'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'::uuid"),
                                                QStringLiteral("string"),
                                                QStringLiteral("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")},
                                               {QStringLiteral("interval '1 day 02:00:00'"), QStringLiteral("string"),
                                                QStringLiteral("1 day 02:00:00")},
                                               {QStringLiteral("9223372036854775807::int8"), QStringLiteral("i8"),
                                                std::numeric_limits<qint64>::max()}}
               : QList<std::tuple<QString, QString, QJsonValue>>{
                     {QStringLiteral("9223372036854775807"), QStringLiteral("i8"), std::numeric_limits<qint64>::max()},
                     {QStringLiteral("0.5"), QStringLiteral("r8"), 0.5}};
        for (const auto& [expression, type, value] : types) {
            for (const int count : {-1, 1}) {
                client.get(QStringLiteral("dsp_open_public"), QStringLiteral("select %1 as v").arg(expression), count,
                           3);
                QVERIFY2(client.error().isEmpty(), qPrintable(expression + client.error()));
                const QJsonObject packet = client.packet();
                QCOMPARE(packet.value(QStringLiteral("fields"))
                             .toArray()
                             .first()
                             .toObject()
                             .value(QStringLiteral("type"))
                             .toString(),
                         type);
                QCOMPARE(packet.value(QStringLiteral("rows")).toArray().first().toArray().first(), value);
            }
        }
    }

    // A transaction that client SQL opens never outlasts its call: the client is told, and another
    // client's work is neither blocked nor mixed with it.
    void transactionsDoNotLeak_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("sql");
        QTest::newRow("sqlite begin") << QStringLiteral("sqlite") << QStringLiteral("begin");
        QTest::newRow("sqlite savepoint") << QStringLiteral("sqlite") << QStringLiteral("savepoint a");
        QTest::newRow("postgresql begin") << QStringLiteral("postgresql") << QStringLiteral("begin");
        QTest::newRow("postgresql begin and insert")
            << QStringLiteral("postgresql")
            << QStringLiteral("begin; insert into ac_department (departmentname) values ('leak')");
    }
    void transactionsDoNotLeak() {
        QFETCH(QString, backend);
        QFETCH(QString, sql);
        platform::SqlConnection& db = *use(backend);
        db.exec(QStringLiteral("delete from ac_department where departmentname in ('leak', 'other')"));
        Client a, b;
        for (const bool viaRead : {false, true}) {
            if (viaRead)
                a.request(QStringLiteral("dsp_exec1_public"), sql);
            else
                a.call(QStringLiteral("AS_Execute"),
                       QJsonArray{QStringLiteral("dsp_open_public"), sql, QJsonValue(), QJsonValue()});
            QVERIFY2(a.error().contains(QLatin1String("rolled back")), qPrintable(a.error()));
            b.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"), 0);
            b.apply(QStringLiteral("dsp_department"),
                    {change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("other")}})});
            QVERIFY2(b.error().isEmpty(), qPrintable(b.error()));
            QCOMPARE(b.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
        }
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_department where departmentname = 'leak'")), 0);
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_department where departmentname = 'other'")), 2);
    }

    // Paging ends: after the last page every read answers no records until the client starts again.
    void pagingEnds_data() { backends(); }
    void pagingEnds() {
        QFETCH(QString, backend);
        use(backend);
        Client client;
        client.get(QStringLiteral("dsp_systemenu"), QStringLiteral("select * from ac_systemoudle order by id"), 0);
        const auto page = [&](int count, int options) {
            client.get(QStringLiteral("dsp_systemenu"), QString(), count, options);
            return client.out().value(QStringLiteral("RecsOut")).toInt();
        };
        QList<int> pages;
        for (int i = 0; i < 5; ++i)
            pages.append(page(12, 0));
        pages.append(page(-1, 0));
        pages.append(page(12, 2)); // reset
        QCOMPARE(pages, (QList<int>{12, 8, 0, 0, 0, 0, 12}));
    }

    // On PostgreSQL a page left open runs nothing on the server until the next is asked for, and its
    // transaction ends as soon as the client starts again, gives a new statement or goes; a server that
    // drops the connection in the middle of the rows ends the read with an error, never with part of them.
    void postgresReadsEnd_data() {
        QTest::addColumn<QString>("ending");
        for (const char* ending : {"reset", "new statement", "client gone", "dropped, all rows", "dropped, pages"})
            QTest::newRow(ending) << QString::fromLatin1(ending);
    }
    void postgresReadsEnd() {
        if (!m_postgres)
            QSKIP("needs PostgreSQL");
        QFETCH(QString, ending);
        use(QStringLiteral("postgresql"));
        platform::SqlConnection admin;
        QVERIFY(admin.open(pgSettings(m_pgDatabase)));
        auto client = std::make_unique<Client>();
        const QString provider = QStringLiteral("dsp_department");
        const auto served = [&] {
            client->get(provider, QStringLiteral("select * from ac_department"));
            return client->error().isEmpty();
        };
        // The connection may have been opened again a moment ago, when the last one was dropped.
        QTRY_VERIFY_WITH_TIMEOUT(served(), 3000);
        client->get(provider, QStringLiteral("select pg_backend_pid()"));
        const int pid = client->packet().value(QStringLiteral("rows")).toArray().first().toArray().first().toInt();
        QVERIFY(pid > 0);
        const auto state = [&] {
            return admin.exec(QStringLiteral("select state from pg_stat_activity where pid = %1").arg(pid))
                .rows.value(0)
                .value(0)
                .toString();
        };
        const auto recsOut = [&] { return client->out().value(QStringLiteral("RecsOut")).toInt(); };

        if (ending.startsWith(QLatin1String("dropped"))) {
            const QString dying =
                QStringLiteral("select n, case when n = 3000 then pg_terminate_backend(pg_backend_pid()) "
                               "end as t from generate_series(1, 5000) n");
            int read = 0;
            if (ending == QLatin1String("dropped, all rows")) {
                client->get(provider, dying);
            } else {
                client->get(provider, dying, 1000);
                for (int page = 0; page < 6 && client->error().isEmpty() && recsOut() > 0; ++page) {
                    read += recsOut();
                    client->get(provider, QString(), 1000, 0);
                }
            }
            QVERIFY2(!client->error().isEmpty(), "the rows of a dropped connection ended as if complete");
            QVERIFY(client->result().isEmpty());
            QVERIFY2(read < 3000, qPrintable(QString::number(read)));
            QTRY_VERIFY_WITH_TIMEOUT(served(), 3000);
            return;
        }

        client->get(provider, QStringLiteral("select n from generate_series(1, 100000) n"), 100);
        QCOMPARE(recsOut(), 100);
        QCOMPARE(state(), QStringLiteral("idle in transaction"));
        if (ending == QLatin1String("reset")) {
            client->get(provider, QString(), -1, 2);
            QCOMPARE(recsOut(), 100000);
        } else if (ending == QLatin1String("new statement")) {
            QVERIFY(served());
        } else {
            client.reset();
        }
        QCOMPARE(state(), QStringLiteral("idle"));
    }

    // A reply of many megabytes goes to the client through the endpoint as its rows are read, the same
    // bytes as when it is made whole; a client that goes in the middle of it frees the statement and the
    // connection at once; a database connection dropped in the middle of it ends the client's connection
    // before the reply's line does, so that no part of the rows passes for all of them.
    void streamedReplies_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("ending");
        for (const char* backend : {"sqlite", "postgresql"}) {
            for (const char* ending : {"same bytes", "another client meanwhile", "client gone", "connection dropped"}) {
                if (qstrcmp(backend, "sqlite") != 0 || qstrcmp(ending, "connection dropped") != 0)
                    QTest::addRow("%s %s", backend, ending)
                        << QString::fromLatin1(backend) << QString::fromLatin1(ending);
            }
        }
    }
    void streamedReplies() {
        QFETCH(QString, backend);
        QFETCH(QString, ending);
        const bool sqlite = backend == QLatin1String("sqlite");
        use(backend);
        const auto creator = [](const QString&) { return std::make_shared<Trmtserver>(); };
        platform::AutomationEndpoint endpoint(creator);
        const QString path = m_dir.filePath(QStringLiteral("endpoint"));
        QVERIFY(endpoint.listen(path));
        endpoint.start();
        const auto stop = qScopeGuard([&] { endpoint.stop(); });
        const QByteArray create = requestLine(1, QStringLiteral("CreateObject"),
                                              {{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}});
        const auto getRecords = [](int id, const QString& sql) {
            return requestLine(id, QStringLiteral("AS_GetRecords"),
                               {{QStringLiteral("ProviderName"), QStringLiteral("dsp_department")},
                                {QStringLiteral("Count"), -1},
                                {QStringLiteral("Options"), 1},
                                {QStringLiteral("CommandText"), sql},
                                {QStringLiteral("Params"), QJsonValue()},
                                {QStringLiteral("OwnerData"), 7}});
        };
        // About 220 bytes a row.
        const QString rows = sqlite
                                 ? QStringLiteral("with recursive g(n) as (select 1 union all select n + 1 from g "
                                                  "where n < %1) select n, printf('%0200d', n) as pad from g")
                                 // Besides, every form of value whose text needs care on its way.
                                 : QStringLiteral("select n, lpad(n::text, 200, '0') as pad, case when n % 3 = 0 "
                                                  "then null else E'a\\tb\\nc\\\\d\"e\\r\\x01\\b\\f\\x0bé' || n end "
                                                  "as t, n % 2 = 0 as b, decode(lpad(to_hex(n), 8, '0'), 'hex') as "
                                                  "raw, timestamp '2024-03-05 08:00:00' + n * interval '1 second' as "
                                                  "at, n / 7.0 as num, case when n % 5 = 0 then 'NaN'::float8 else "
                                                  "n / 3.0::float8 end as f from generate_series(1, %1) n;");
        auto client = std::make_unique<RawClient>(path);
        QVERIFY(client->exchange(create).contains("\"result\""));

        if (ending == QLatin1String("same bytes") || ending == QLatin1String("another client meanwhile")) {
            const QByteArray request = getRecords(2, rows.arg(30000));
            QByteArray streamed;
            if (ending == QLatin1String("same bytes")) {
                streamed = client->exchange(request);
            } else {
                // While the reply waits for its client, another's statement runs at once; the rest of the
                // rows are read ahead for it.
                QVERIFY(client->send(request));
                QVERIFY(client->readUntil([](const QByteArray& data) { return data.size() > (1 << 20); }));
                RawClient other(path);
                QVERIFY(other.exchange(create).contains("\"result\""));
                QVERIFY(other.exchange(getRecords(2, QStringLiteral("select * from ac_department")))
                            .contains("\"RecsOut\""));
                QVERIFY(client->readUntil([](const QByteArray& data) { return data.endsWith('\n'); }));
                streamed = client->data();
            }
            platform::rpc::ServerSession whole(creator);
            whole.handle(create);
            const QByteArray expected = whole.handle(request);
            QVERIFY2(
                streamed == expected,
                qPrintable(QStringLiteral("%1 bytes streamed, %2 whole").arg(streamed.size()).arg(expected.size())));
            QVERIFY(streamed.contains("\"RecsOut\":30000") && streamed.size() > 6000000);
            return;
        }

        // The shared connection's server process, and whether it is in a transaction.
        int pid = 0;
        if (!sqlite) {
            const QByteArray answer = client->exchange(getRecords(2, QStringLiteral("select pg_backend_pid()")));
            pid = QJsonDocument::fromJson(answer)
                      .object()
                      .value(QStringLiteral("result"))
                      .toObject()
                      .value(QStringLiteral("retval"))
                      .toObject()
                      .value(QStringLiteral("value"))
                      .toObject()
                      .value(QStringLiteral("rows"))
                      .toArray()
                      .first()
                      .toArray()
                      .first()
                      .toInt();
            QVERIFY(pid > 0);
        }
        platform::SqlConnection other;
        platform::SqlConnectionSettings settings = sqlite ? m_sqlite->call([](QSqlDatabase& h) {
            platform::SqlConnectionSettings s;
            s.provider = SqlProvider::SQLite;
            s.database = h.databaseName();
            return s;
        })
                                                          : pgSettings(m_pgDatabase);
        settings.connectTimeoutSeconds = 0; // a lock still held fails a write at once
        QVERIFY(other.open(settings));
        const auto freed = [&] {
            if (sqlite)
                return other.exec(QStringLiteral("update ac_department set departmentname = departmentname")).ok;
            return other.exec(QStringLiteral("select state from pg_stat_activity where pid = %1").arg(pid))
                       .rows.value(0)
                       .value(0)
                       .toString() == QLatin1String("idle");
        };

        QVERIFY(client->send(getRecords(3, rows.arg(200000))));
        QVERIFY(client->readUntil([](const QByteArray& data) { return data.size() > (1 << 20); }));
        if (ending == QLatin1String("client gone")) {
            client.reset();
            QTRY_VERIFY_WITH_TIMEOUT(freed(), 3000);
            QTRY_COMPARE_WITH_TIMEOUT(endpoint.connectionCount(), 0, 3000);
        } else {
            QVERIFY(other.exec(QStringLiteral("select pg_terminate_backend(%1)").arg(pid)).ok);
            QVERIFY(!client->readUntil([](const QByteArray&) { return false; }));
            QVERIFY2(client->ended(), "the reply neither ended nor went on");
            QVERIFY2(!client->data().contains('\n'), "a reply cut short ended as a whole line");
        }
        // The next client is served (on PostgreSQL by a connection opened again).
        QTRY_VERIFY_WITH_TIMEOUT(RawClient(path).exchange(create).contains("\"result\""), 3000);
        RawClient next(path);
        next.exchange(create);
        QTRY_VERIFY_WITH_TIMEOUT(
            next.exchange(getRecords(2, QStringLiteral("select * from ac_department"))).contains("\"RecsOut\""), 3000);
    }

    // A reply written as its rows are read, whose client has gone while its call has yet to learn it (on a
    // busy machine that call's thread may not run for seconds): another's work on the connection does not
    // wait while the rest of its rows are read ahead for nobody, and the reply ends cut short.
    // A page left open by a client that has gone, its object not released yet, is not read on for another
    // client's work: its statement ends at once, and none of the rest is kept for nobody.
    void gonePageNotReadAhead_data() { backends(); }
    void gonePageNotReadAhead() {
        QFETCH(QString, backend);
        use(backend);
        const QString rows = manyRows(backend);
        const auto context = std::make_shared<platform::CallContext>();
        Client gone;
        {
            const platform::CallContext::Scope scope(context);
            gone.get(QStringLiteral("dsp_open_public"), rows, 100);
        }
        QCOMPARE(gone.out().value(QStringLiteral("RecsOut")).toInt(), 100);
        context->cancel(); // the endpoint saw the client go
        Client other;
        other.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));
        QVERIFY2(other.error().isEmpty(), qPrintable(other.error()));
        // What was kept shows on the next page, asked for here (as a gone client never does) on behalf of
        // a call that still runs.
        {
            const platform::CallContext::Scope scope(std::make_shared<platform::CallContext>());
            gone.get(QStringLiteral("dsp_open_public"), QString(), 100, 0);
        }
        QVERIFY2(!gone.error().isEmpty(), "the rest of the rows were read ahead for a client that had gone");
        QCOMPARE(gone.out().value(QStringLiteral("RecsOut")).toInt(), 0);
    }

    void goneReplyNotReadAhead_data() { backends(); }
    void goneReplyNotReadAhead() {
        QFETCH(QString, backend);
        use(backend);
        // Takes the reply as a client that stops reading past a mebibyte: the call waits until let go.
        struct StalledWriter : platform::CallContext::ReplyWriter {
            bool write(QByteArray bytes) override {
                std::unique_lock lock(mutex);
                written += bytes.size();
                stalled = written > (1 << 20);
                changed.notify_all();
                changed.wait_for(lock, std::chrono::seconds(30), [this] { return released || !stalled; });
                return true;
            }
            void cut() override {
                std::lock_guard lock(mutex);
                wasCut = true;
            }
            std::mutex mutex;
            std::condition_variable changed;
            qint64 written = 0;
            bool stalled = false;
            bool released = false;
            bool wasCut = false;
        } writer;
        const QString rows = manyRows(backend);
        const auto context = std::make_shared<platform::CallContext>();
        std::thread streaming([&] {
            const platform::CallContext::Scope scope(context);
            platform::rpc::ServerSession session([](const QString&) { return std::make_shared<Trmtserver>(); });
            session.handle(requestLine(1, QStringLiteral("CreateObject"),
                                       {{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}}));
            context->offerWriter(&writer);
            session.handleParts(requestLine(2, QStringLiteral("AS_GetRecords"),
                                            {{QStringLiteral("ProviderName"), QStringLiteral("dsp_open_public")},
                                             {QStringLiteral("Count"), -1},
                                             {QStringLiteral("Options"), 1},
                                             {QStringLiteral("CommandText"), rows},
                                             {QStringLiteral("Params"), QJsonValue()},
                                             {QStringLiteral("OwnerData"), QJsonValue()}}));
            context->offerWriter(nullptr);
        });
        const auto letGo = [&] {
            {
                std::lock_guard lock(writer.mutex);
                writer.released = true;
            }
            writer.changed.notify_all();
            if (streaming.joinable())
                streaming.join();
        };
        const auto atEnd = qScopeGuard(letGo);
        {
            std::unique_lock lock(writer.mutex);
            QVERIFY(writer.changed.wait_for(lock, std::chrono::seconds(30), [&] { return writer.stalled; }));
        }
        // The endpoint saw the client go.
        context->cancel();
        QElapsedTimer clock;
        clock.start();
        Client other;
        other.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));
        qInfo("another client's read answered in %lld ms", clock.elapsed());
        QVERIFY2(other.error().isEmpty(), qPrintable(other.error()));
        letGo();
        QVERIFY2(writer.wasCut, "the reply of a client that had gone ended as if complete");
        QVERIFY2(writer.written < 4 * (1 << 20), qPrintable(QStringLiteral("%1 bytes written").arg(writer.written)));
    }

    // An insert tells the client the key the server gave each row, in the reply's packet.
    void insertedKeys_data() { backends(); }
    void insertedKeys() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        Client client;
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"), 0);
        client.apply(QStringLiteral("dsp_department"),
                     {change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("key-a")}}),
                      change(8, {{QStringLiteral("id"), -5}}, {{QStringLiteral("remark"), QStringLiteral("missing")}}),
                      change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("key-b")}})});
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 1);
        const QJsonArray keys = client.packet().value(QStringLiteral("keys")).toArray();
        QCOMPARE(keys.size(), 2);
        for (const auto& [i, index, name] : {std::tuple{0, 0, "key-a"}, std::tuple{1, 2, "key-b"}}) {
            const QJsonObject key = keys.at(i).toObject();
            QCOMPARE(key.value(QStringLiteral("index")).toInt(), index);
            QCOMPARE(count(db, QStringLiteral("select id from ac_department where departmentname = '%1'")
                                   .arg(QLatin1String(name))),
                     key.value(QStringLiteral("key")).toObject().value(QStringLiteral("id")).toInteger());
        }
        // A delta without failures takes the quick way; on SQLite the key is then the row id, which an
        // insert made by a trigger must not take the place of.
        if (backend == QLatin1String("sqlite")) {
            db.exec(QStringLiteral("create table keyshadow (n integer primary key)"));
            db.exec(QStringLiteral("create trigger keyshadowing after insert on ac_department "
                                   "begin insert into keyshadow values (new.id + 1000000); end"));
        }
        client.apply(QStringLiteral("dsp_department"),
                     {change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("key-c")}}),
                      change(4, {}, {{QStringLiteral("departmentname"), QStringLiteral("key-d")}})});
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 0);
        const QJsonArray quick = client.packet().value(QStringLiteral("keys")).toArray();
        QCOMPARE(quick.size(), 2);
        for (const auto& [i, name] : {std::pair{0, "key-c"}, std::pair{1, "key-d"}})
            QCOMPARE(
                count(db, QStringLiteral("select id from ac_department where departmentname = '%1'")
                              .arg(QLatin1String(name))),
                quick.at(i).toObject().value(QStringLiteral("key")).toObject().value(QStringLiteral("id")).toInteger());
        if (backend == QLatin1String("sqlite")) {
            QCOMPARE(count(db, QStringLiteral("select count(*) from keyshadow")), 2);
            db.exec(QStringLiteral("drop trigger keyshadowing"));
            db.exec(QStringLiteral("drop table keyshadow"));
        }
        db.exec(QStringLiteral("delete from ac_department where departmentname like 'key-%'"));
    }

    // Nothing is dropped without a word.
    void nothingDroppedSilently_data() { backends(); }
    void nothingDroppedSilently() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        Client client;
        db.exec(QStringLiteral("insert into ac_department (departmentname) values ('keyed')"));
        const qlonglong id = count(db, QStringLiteral("select max(id) from ac_department"));
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"), 0);
        // Setting the identity column of a row is refused, and nothing of the change is applied.
        client.apply(
            QStringLiteral("dsp_department"),
            {change(8, {{QStringLiteral("id"), id}},
                    {{QStringLiteral("id"), id + 1000}, {QStringLiteral("departmentname"), QStringLiteral("moved")}})});
        QCOMPARE(client.out().value(QStringLiteral("ErrorCount")).toInt(), 1);
        QVERIFY2(client.packet()
                     .value(QStringLiteral("errors"))
                     .toArray()
                     .first()
                     .toObject()
                     .value(QStringLiteral("message"))
                     .toString()
                     .contains(QLatin1String("'id'")),
                 qPrintable(QString::fromUtf8(QJsonDocument(client.packet()).toJson())));
        QCOMPARE(count(db, QStringLiteral("select count(*) from ac_department where departmentname = 'moved'")), 0);

        // A parameter the statement does not have is an error that names it.
        QJsonArray stray;
        stray.append(QJsonArray{QStringLiteral("nosuch"), 1});
        client.call(
            QStringLiteral("AS_GetRecords"),
            QJsonArray{QStringLiteral("dsp_department"), -1, 0, 1,
                       QStringLiteral("select * from ac_department where id = :id and departmentname <> ':nosuch'"),
                       stray, QJsonValue()});
        QVERIFY2(client.error().contains(QLatin1String("nosuch")), qPrintable(client.error()));

        // AS_Execute gives back what the statement returns for its output parameters.
        QJsonArray params;
        params.append(QJsonArray{QStringLiteral("name"), QStringLiteral("out-param")});
        params.append(QJsonArray{QStringLiteral("newid"), QJsonValue(), QStringLiteral("out")});
        client.call(QStringLiteral("AS_Execute"),
                    QJsonArray{QStringLiteral("dsp_department"),
                               QStringLiteral(
                                   "insert into ac_department (departmentname) values (:name) returning id as newid"),
                               params, QJsonValue()});
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        QCOMPARE(client.out().value(QStringLiteral("Params")).toArray().at(1).toArray().at(1).toInteger(),
                 count(db, QStringLiteral("select id from ac_department where departmentname = 'out-param'")));

        // A refreshed row has the key and field flags of a read.
        client.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"), 0);
        const QJsonArray readFields = client.packet().value(QStringLiteral("fields")).toArray();
        const QJsonValue readParams = client.packet().value(QStringLiteral("params"));
        const QJsonObject row{{QStringLiteral("vt"), QStringLiteral("packet")},
                              {QStringLiteral("value"), QJsonObject{{QStringLiteral("id"), id}}}};
        client.call(QStringLiteral("AS_RowRequest"),
                    QJsonArray{QStringLiteral("dsp_department"), row, 1, QJsonValue()});
        QCOMPARE(client.packet().value(QStringLiteral("fields")).toArray(), readFields);
        QCOMPARE(client.packet().value(QStringLiteral("params")), readParams);
        db.exec(QStringLiteral("delete from ac_department where departmentname in ('keyed', 'out-param')"));
    }

    // A statement past its limit is cancelled and its caller told, a caller waiting behind it is served
    // soon after, a statement whose client has gone is cancelled at once, and a closing server cancels
    // what runs and starts nothing more.
    void statementsEnd_data() { backends(); }
    void statementsEnd() {
        QFETCH(QString, backend);
        platform::SqlConnection& db = *use(backend);
        using namespace std::chrono_literals;
        const QString endless = QStringLiteral("with recursive r(x) as (select 1 union all select x + 1 from r) "
                                               "select count(*) from r");
        provider::setStatementLimits(1s, 1s);
        const auto restore = qScopeGuard([] { provider::setStatementLimits(30s, 120s); });
        // Runs the endless statement on a thread of its own, as the client of `context`.
        struct Endless {
            QString error;
            qint64 ms = -1;
            std::thread thread;
        };
        const auto start = [&](Endless& run, std::shared_ptr<platform::CallContext> context) {
            run.thread = std::thread([&run, &endless, context] {
                const platform::CallContext::Scope scope(context);
                QElapsedTimer clock;
                clock.start();
                Client client;
                client.get(QStringLiteral("dsp_open_public"), endless);
                run.error = client.error();
                run.ms = clock.elapsed();
            });
        };

        Endless timed;
        start(timed, std::make_shared<platform::CallContext>());
        QThread::msleep(200);
        QElapsedTimer waiting;
        waiting.start();
        Client other;
        other.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));
        const qint64 waited = waiting.elapsed();
        timed.thread.join();
        QVERIFY2(timed.error.contains(QLatin1String("limit of 1 s")), qPrintable(timed.error));
        QVERIFY2(timed.ms < 2500, qPrintable(QString::number(timed.ms)));
        QVERIFY2(other.error().isEmpty(), qPrintable(other.error()));
        QVERIFY2(waited < 2000, qPrintable(QString::number(waited)));

        provider::setStatementLimits(30s, 120s);
        Endless gone;
        const auto context = std::make_shared<platform::CallContext>();
        start(gone, context);
        QThread::msleep(300);
        context->cancel();
        gone.thread.join();
        QVERIFY2(gone.error.contains(QLatin1String("client has gone")), qPrintable(gone.error));
        QVERIFY2(gone.ms < 1500, qPrintable(QString::number(gone.ms)));

        // A connection of its own, closed under a running statement.
        platform::SqlConnection closing;
        QVERIFY(backend == QLatin1String("sqlite") ? closing.open(db.call([](QSqlDatabase& h) {
            platform::SqlConnectionSettings s;
            s.provider = SqlProvider::SQLite;
            s.database = h.databaseName();
            return s;
        }))
                                                   : closing.open(pgSettings(m_pgDatabase)));
        provider::setSharedConnection(&closing);
        Endless closed;
        start(closed, nullptr);
        QThread::msleep(300);
        closing.stopStatements();
        closed.thread.join();
        QVERIFY2(closed.error.contains(QLatin1String("server is closing")), qPrintable(closed.error));
        QVERIFY2(closed.ms < 1500, qPrintable(QString::number(closed.ms)));
        Client late;
        late.get(QStringLiteral("dsp_department"), QStringLiteral("select * from ac_department"));
        QVERIFY2(late.error().contains(QLatin1String("server is closing")), qPrintable(late.error()));
        use(backend);
    }

    // Statements that reach outside the database or change how it stores its data are refused for every
    // client and change nothing; statements that only look alike are not.
    void outsideStatementsRefused_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("refused");
        const QString file = m_dir.filePath(QStringLiteral("copy.db"));
        const QList<std::tuple<const char*, QString, bool>> sqlite{
            {"vacuum into", QStringLiteral("vacuum into '%1'").arg(file), true},
            {"attach", QStringLiteral("attach database '%1' as other").arg(file), true},
            {"attach in a comment first", QStringLiteral("/* x */ ATTACH '%1' as other").arg(file), true},
            {"pragma writes", QStringLiteral("pragma writable_schema = 1"), true},
            {"pragma journal mode", QStringLiteral("PRAGMA main.journal_mode=off"), true},
            {"load_extension", QStringLiteral("select load_extension ('/tmp/x')"), true},
            {"quoted function", QStringLiteral("select \"load_extension\"('/tmp/x')"), true},
            {"pragma reads", QStringLiteral("pragma table_info(ac_department)"), false},
            {"words in texts", QStringLiteral("select 'attach vacuum copy' as load from ac_department"), false}};
        const QList<std::tuple<const char*, QString, bool>> postgres{
            {"read file", QStringLiteral("select pg_read_file('/etc/passwd')"), true},
            {"copy program", QStringLiteral("copy ac_department to program 'cat > /tmp/x'"), true},
            {"copy to file", QStringLiteral("COPY ac_department TO '/tmp/x'"), true},
            {"alter system", QStringLiteral("alter system set work_mem = '1GB'"), true},
            {"after a statement", QStringLiteral("select 1; copy ac_department to '/tmp/x'"), true},
            {"untrusted language", QStringLiteral("create function f() returns int language c as 'x', 'y'"), true},
            {"dollar quoted words", QStringLiteral("select $$copy pg_read_file($$ as copy"), false}};
        for (const auto& [name, sql, refused] : sqlite)
            QTest::addRow("sqlite %s", name) << QStringLiteral("sqlite") << sql << refused;
        for (const auto& [name, sql, refused] : postgres)
            QTest::addRow("postgresql %s", name) << QStringLiteral("postgresql") << sql << refused;
    }
    void outsideStatementsRefused() {
        QFETCH(QString, backend);
        QFETCH(QString, sql);
        QFETCH(bool, refused);
        platform::SqlConnection& db = *use(backend);
        Client client;
        for (const bool execute : {true, false}) {
            if (execute)
                client.call(QStringLiteral("AS_Execute"),
                            QJsonArray{QStringLiteral("dsp_open_public"), sql, QJsonValue(), QJsonValue()});
            else
                client.get(QStringLiteral("dsp_open_public"), sql);
            QCOMPARE(client.error().startsWith(QLatin1String("Statements that reach outside")), refused);
        }
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("copy.db"))));
        if (backend == QLatin1String("sqlite"))
            QCOMPARE(count(db, QStringLiteral("select count(*) from pragma_database_list")), 1);
    }

    // A server restarted under a running connection: the private server of this test, stopped and started.
    void reconnectsAfterRestart() {
#ifdef MORVANE_UNDER_TSAN
        // The sanitizer's runtime fails its own check on fork in a process that has had threads; the
        // normal build runs this.
        QSKIP("fork under ThreadSanitizer");
#endif
        if (!m_postgres)
            QSKIP("needs PostgreSQL");
        const QString script = QStringLiteral(MORVANE_SOURCE_DIR "/scripts/pg-private");
        const QString data = m_dir.filePath(QStringLiteral("pg"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("MORVANE_TEST_PG_PORT"));
        const auto pg = [&](const QString& action) {
            const test::ProcessResult r = test::runProgram(script, {action, data}, env, 120000);
            return r.finished && r.exitCode == 0;
        };
        QVERIFY(pg(QStringLiteral("start")));
        const QByteArray envFile = [&] {
            QFile f(data + QStringLiteral(".env"));
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();
        const int port =
            QRegularExpression(QStringLiteral("PORT=(\\d+)")).match(QString::fromLatin1(envFile)).captured(1).toInt();
        platform::SqlConnection own;
        platform::SqlConnectionSettings p = pgSettings(QStringLiteral("postgres"));
        p.server = QStringLiteral("127.0.0.1:%1").arg(port);
        QVERIFY(own.open(p));
        provider::setSharedConnection(&own);
        Client client;
        client.get(QStringLiteral("dsp_open_public"), QStringLiteral("select 1 as one"));
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        QVERIFY(pg(QStringLiteral("stop")));
        env.insert(QStringLiteral("MORVANE_TEST_PG_PORT"), QString::number(port));
        QVERIFY(pg(QStringLiteral("start")));
        client.get(QStringLiteral("dsp_open_public"), QStringLiteral("select 1 as one"));
        QVERIFY(!client.error().isEmpty());
        client.get(QStringLiteral("dsp_open_public"), QStringLiteral("select 1 as one"));
        QVERIFY2(client.error().isEmpty(), qPrintable(client.error()));
        provider::setSharedConnection(nullptr);
        QVERIFY(pg(QStringLiteral("stop")));
    }
};

QTEST_GUILESS_MAIN(TestProvider)
#include "tst_provider.moc"
