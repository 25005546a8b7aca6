// The data providers through the whole road, client → scktsrvr → morvane → database, on SQLite and (with
// the MORVANE_TEST_PG_* variables) on PostgreSQL: all of brushcardlog read as one packet against the
// database's own command-line export of the same rows in the same run, the peak memory of morvane while
// it sends them, a first page of 100 records and the reset of an open cursor, a 10,000-row insert delta
// against the database's own tool inserting the same rows in one transaction, and a 20 MiB request.
// Prints every figure against its goal ("ok" or "MISSED").
//
// bench_provider [rows=100000] [runs=5] [sqlite|postgresql]: 1,000,000 rows is a run of its own; the
// third argument measures one database only.
#include "DbSchema.h"
#include "SqlConnection.h"
#include "TestSupport.h"
#include "unt_initdbms.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace morvane;
using platform::SqlProvider;

namespace {

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A bare TCP client: one request line out, the whole reply line in, nothing parsed on the way.
class LineClient {
public:
    explicit LineClient(quint16 port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~LineClient() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    // The reply line (without its LF); empty when the connection ended first.
    QByteArray exchange(const QByteArray& line) {
        if (!sendLine(line))
            return {};
        // Only what came since the last look is searched for the line's end: a reply of 100 MiB costs
        // the client one pass, as a client that reads it with care would.
        for (qsizetype scanned = 0;;) {
            const qsizetype end = m_buffer.indexOf('\n', scanned);
            if (end >= 0) {
                QByteArray reply = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                return reply;
            }
            scanned = m_buffer.size();
            char chunk[1 << 16];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return {};
            m_buffer.append(chunk, n);
        }
    }
    // As exchange(), but the reply passes through as a tool's output to /dev/null would: its size, and its
    // first and last bytes (the out parameters and the end of the packet).
    bool exchangeThrough(const QByteArray& line, qint64* size, QByteArray* ends) {
        if (!sendLine(line))
            return false;
        *size = 0;
        QByteArray head, tail;
        for (;;) {
            char chunk[1 << 16];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            const char* end = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(n)));
            const qsizetype used = end ? end - chunk : n;
            *size += used;
            if (head.size() < 8192)
                head.append(chunk, std::min<qsizetype>(used, 8192 - head.size()));
            tail.append(chunk, used);
            if (tail.size() > 8192)
                tail.remove(0, tail.size() - 8192);
            if (end) {
                m_buffer.append(end + 1, n - used - 1);
                *ends = head + "\n...\n" + tail;
                return true;
            }
        }
    }
    QJsonObject call(const QString& method, const QJsonValue& params) {
        return QJsonDocument::fromJson(request(method, params)).object();
    }
    QByteArray request(const QString& method, const QJsonValue& params) {
        return exchange(requestLine(method, params));
    }
    QByteArray requestLine(const QString& method, const QJsonValue& params) {
        const QJsonObject request{
            {QStringLiteral("id"), ++m_id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
        return QJsonDocument(request).toJson(QJsonDocument::Compact);
    }

private:
    bool sendLine(const QByteArray& line) {
        const QByteArray out = line + '\n';
        for (qsizetype sent = 0; sent < out.size();) {
            const ssize_t n =
                ::send(m_fd, out.constData() + sent, static_cast<size_t>(out.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }

    int m_fd = -1;
    int m_id = 0;
    QByteArray m_buffer;
};

QJsonObject getRecords(int count, int options, const QString& sql) {
    return QJsonObject{{QStringLiteral("ProviderName"), QStringLiteral("dsp_brushcardlog")},
                       {QStringLiteral("Count"), count},
                       {QStringLiteral("Options"), options},
                       {QStringLiteral("CommandText"), sql},
                       {QStringLiteral("Params"), QJsonValue()},
                       {QStringLiteral("OwnerData"), QJsonValue()}};
}

qint64 serverPid(const QString& bin) {
    QProcess pgrep;
    pgrep.start(QStringLiteral("pgrep"),
                {QStringLiteral("-f"), QStringLiteral("^") + bin + QStringLiteral("/morvane -Embedding")});
    pgrep.waitForFinished();
    return pgrep.readAllStandardOutput().trimmed().split('\n').last().toLongLong();
}

// The processor time of each of the database's server processes that serve `database` (PostgreSQL names
// each backend's database in its command line); none for SQLite.
QHash<qint64, double> databaseCpuMs(const QString& database) {
    QHash<qint64, double> backends;
    if (database.isEmpty())
        return backends;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 process = entry.toLongLong(&number);
        if (!number)
            continue;
        QFile command(QStringLiteral("/proc/%1/cmdline").arg(process));
        if (!command.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = command.readAll();
        if (line.startsWith("postgres: ") && line.contains(QByteArray(' ' + database.toUtf8() + ' ')))
            backends.insert(process, test::processCpuMs(process));
    }
    return backends;
}

// What the backends that lived through a read spent on it (a tool's backend that comes or goes is not ours).
double databaseCpuSpent(const QHash<qint64, double>& before, const QHash<qint64, double>& after) {
    double spent = 0;
    for (auto it = after.begin(); it != after.end(); ++it)
        if (before.contains(it.key()) && it.value() >= 0 && before.value(it.key()) >= 0)
            spent += it.value() - before.value(it.key());
    return spent;
}

double threadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

const char* verdict(bool met) {
    return met ? "ok" : "MISSED";
}

double runTool(const QString& program, const QStringList& arguments, const QProcessEnvironment& env,
               const QString& input = {}) {
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.setStandardOutputFile(QProcess::nullDevice());
    if (!input.isEmpty())
        tool.setStandardInputFile(input);
    QElapsedTimer clock;
    clock.start();
    tool.start(program, arguments);
    if (!tool.waitForFinished(120000) || tool.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), tool.readAllStandardError().constData());
        return -1;
    }
    return clock.nsecsElapsed() / 1e6;
}

struct Backend {
    QString name;
    SqlProvider provider;
    platform::SqlConnectionSettings settings;
    QByteArray systemInfo;
    QString toolProgram;
    QStringList toolArguments;
    QStringList toolScriptArguments; // the tool running the script on its standard input
    double readGoal = 0;             // our rate against the tool's, at least
    double deltaGoal = 0;            // the delta's time against the tool's, at most
    QString databaseName;            // the server's database, whose backends' processor time is counted
    QProcessEnvironment toolEnvironment = QProcessEnvironment::systemEnvironment();
};

bool fill(const Backend& backend, int rows) {
    platform::SqlConnection db;
    QString why;
    if (!db.open(backend.settings, &why)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(backend.name), qPrintable(why));
        return false;
    }
    const QString insert =
        backend.provider == SqlProvider::SQLite
            ? QStringLiteral(
                  "with recursive g(n) as (select 1 union all select n + 1 from g where n < %1) "
                  "insert into brushcardlog (brushcardtime, cardno, mac, devicename, doornumber, doorname, "
                  "eventtype, cardtype, InputTime, holder) select '2024-03-05 07:08:09', printf('%010d', n), "
                  "'00-1A-2B-3C-4D-01', 'Device 1', n % 4 + 1, 'Door1', '正常开门', 'IC', "
                  "'2024-03-05 07:08:10', '张三' from g")
            : QStringLiteral(
                  "insert into brushcardlog (brushcardtime, cardno, mac, devicename, doornumber, doorname, "
                  "eventtype, cardtype, InputTime, holder) select '2024-03-05 07:08:09', lpad(n::text, 10, '0'), "
                  "'00-1A-2B-3C-4D-01', 'Device 1', n % 4 + 1, 'Door1', '正常开门', 'IC', "
                  "'2024-03-05 07:08:10', '张三' from generate_series(1, %1) n");
    const platform::SqlResult result = db.exec(insert.arg(rows));
    if (!result.ok)
        std::fprintf(stderr, "%s: %s\n", qPrintable(backend.name), qPrintable(result.error));
    return result.ok;
}

bool measure(const Backend& backend, const QString& root, int rows, int runs) {
    const QString bin = QCoreApplication::applicationDirPath();
    const QString dir = root + QStringLiteral("/bin/");
    QDir().mkpath(dir);
    QDir().mkpath(root + QStringLiteral("/locks"));
    QFile::link(bin + QStringLiteral("/scktsrvr"), dir + QStringLiteral("scktsrvr"));
    const auto write = [&](const QString& name, const QByteArray& content) {
        QFile file(dir + name);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    write(QStringLiteral("systeminfo.ini"), backend.systemInfo);
    // The whole path without log-on: its cost is measured by bench_security.
    write(QStringLiteral("scktsrvr.ini"),
          "[Security]\r\nLogon=0\r\n[Listen]\r\nAddress=127.0.0.1\r\nPort=0\r\nWebPort=-1\r\n");
    qputenv("MORVANE_PROGRAM_DIR", dir.toLocal8Bit());
    qputenv("MORVANE_REGISTRY", (root + QStringLiteral("/classes.reg")).toLocal8Bit());
    qputenv("MORVANE_LOCK_DIR", (root + QStringLiteral("/locks")).toLocal8Bit());
    if (QProcess::execute(bin + QStringLiteral("/morvane"), {QStringLiteral("-regserver")}) != 0) {
        std::fprintf(stderr, "registration failed\n");
        return false;
    }
    QProcess socketServer;
    socketServer.setStandardErrorFile(root + QStringLiteral("/scktsrvr.log"));
    socketServer.start(bin + QStringLiteral("/scktsrvr"), {});
    quint16 port = 0;
    static const QRegularExpression ready(QStringLiteral(R"(serving TCP [\d.]+:(\d+))"));
    for (int i = 0; i < 500 && port == 0; ++i) {
        QThread::msleep(20);
        QFile log(root + QStringLiteral("/scktsrvr.log"));
        if (log.open(QIODevice::ReadOnly))
            port = ready.match(QString::fromUtf8(log.readAll())).captured(1).toUShort();
    }
    LineClient client(port);
    const QJsonObject created = client.call(
        QStringLiteral("CreateObject"), QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}});
    if (port == 0 || !created.contains(QStringLiteral("result"))) {
        std::fprintf(stderr, "%s: no object: %s\n", qPrintable(backend.name),
                     QJsonDocument(created).toJson().constData());
        return false;
    }
    const qint64 pid = serverPid(bin);
    const QString all = QStringLiteral("select * from brushcardlog");

    // All rows: ours and the tool's in turns. The peaks of morvane's and scktsrvr's memory are taken over
    // all of them, each from its resident size with the object idle.
    std::vector<double> ours, tool, cpu, relayCpu, databaseCpu, clientCpu;
    qsizetype packetBytes = 0;
    qint64 delivered = 0;
    const qint64 relayPid = socketServer.processId();
    const auto resetPeak = [](qint64 process) {
        QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(process));
        return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    };
    const long idle = test::processStatus(pid, "VmRSS:");
    const long relayIdle = test::processStatus(relayPid, "VmRSS:");
    const bool peakReset = resetPeak(pid);
    const bool relayPeakReset = resetPeak(relayPid);
    for (int run = 0; run < runs; ++run) {
        tool.push_back(runTool(backend.toolProgram, backend.toolArguments, backend.toolEnvironment));
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = test::processCpuMs(pid), relayBefore = test::processCpuMs(relayPid),
                     clientBefore = threadCpuMs();
        const QHash<qint64, double> databaseBefore = databaseCpuMs(backend.databaseName);
        qint64 size = 0;
        QByteArray tail;
        const bool whole = client.exchangeThrough(
            client.requestLine(QStringLiteral("AS_GetRecords"), getRecords(-1, 1, all)), &size, &tail);
        ours.push_back(clock.nsecsElapsed() / 1e6);
        cpu.push_back(test::processCpuMs(pid) - cpuBefore);
        relayCpu.push_back(test::processCpuMs(relayPid) - relayBefore);
        databaseCpu.push_back(databaseCpuSpent(databaseBefore, databaseCpuMs(backend.databaseName)));
        clientCpu.push_back(threadCpuMs() - clientBefore);
        static const QRegularExpression recsOut(QStringLiteral("\"RecsOut\":(\\d+)"));
        const QRegularExpressionMatch counted = recsOut.match(QString::fromUtf8(tail));
        if (!whole || !counted.hasMatch()) {
            std::fprintf(stderr, "the read of all rows failed: %s\n", tail.right(500).constData());
            return false;
        }
        packetBytes = size;
        delivered = counted.captured(1).toLongLong();
    }
    double keptMs = 0;
    {
        // Once whole, as a client that keeps it would: every row is there and the packet parses.
        QElapsedTimer clock;
        clock.start();
        const QByteArray reply = client.request(QStringLiteral("AS_GetRecords"), getRecords(-1, 1, all));
        keptMs = clock.nsecsElapsed() / 1e6;
        const QJsonObject result = QJsonDocument::fromJson(reply).object().value(QStringLiteral("result")).toObject();
        const qsizetype parsed = result.value(QStringLiteral("retval"))
                                     .toObject()
                                     .value(QStringLiteral("value"))
                                     .toObject()
                                     .value(QStringLiteral("rows"))
                                     .toArray()
                                     .size();
        if (parsed != delivered || delivered != rows) {
            std::fprintf(stderr, "the whole reply has %lld rows, RecsOut %lld, of %d\n", static_cast<long long>(parsed),
                         static_cast<long long>(delivered), rows);
            return false;
        }
    }
    const long peak = peakReset ? test::processStatus(pid, "VmHWM:") : -1;
    const long relayPeak = relayPeakReset ? test::processStatus(relayPid, "VmHWM:") : -1;
    const long baseline = idle;
    const double ourMs = median(ours), toolMs = median(tool);
    std::printf("[%s] %d rows of brushcardlog\n", qPrintable(backend.name), rows);
    std::printf("  AS_GetRecords through scktsrvr: median %.0f ms, %.0f rows/s, %lld rows, %.1f MiB packet; "
                "processor time: morvane %.0f ms, scktsrvr %.0f ms, database server %.0f ms, client %.0f ms\n",
                ourMs, delivered / (ourMs / 1000), static_cast<long long>(delivered), packetBytes / 1048576.0,
                median(cpu), median(relayCpu), median(databaseCpu), median(clientCpu));
    std::printf("  %s: median %.0f ms, %.0f rows/s\n", qPrintable(backend.toolProgram.section(QLatin1Char('/'), -1)),
                toolMs, rows / (toolMs / 1000));
    std::printf("  our rate / the tool's rate: %.2f (goal >= %.1f: %s); a client keeping the reply whole in its "
                "memory: %.0f ms once, rate %.2f\n",
                toolMs / ourMs, backend.readGoal, verdict(toolMs / ourMs >= backend.readGoal), keptMs, toolMs / keptMs);
    if (peak > 0) {
        const double growth = (peak - baseline) * 1024.0 / static_cast<double>(packetBytes);
        std::printf("  morvane while sending: resident %.1f MiB idle, peak %.1f MiB; growth at the peak %.2fx the "
                    "packet (goal <= 0.5x: %s), whole peak %.2fx the packet\n",
                    baseline / 1024.0, peak / 1024.0, growth, verdict(growth <= 0.5),
                    peak * 1024.0 / static_cast<double>(packetBytes));
    } else
        std::printf("  morvane's peak memory: not readable (/proc/%lld/clear_refs)\n", static_cast<long long>(pid));
    if (relayPeak > 0) {
        const double growth = (relayPeak - relayIdle) * 1024.0 / static_cast<double>(packetBytes);
        std::printf("  scktsrvr while relaying: resident %.1f MiB idle, peak %.1f MiB; growth at the peak %.2fx the "
                    "packet (goal <= 0.2x: %s)\n",
                    relayIdle / 1024.0, relayPeak / 1024.0, growth, verdict(growth <= 0.2));
    } else
        std::printf("  scktsrvr's peak memory: not readable (/proc/%lld/clear_refs)\n",
                    static_cast<long long>(relayPid));

    // Count 100: the first page of a statement, the pages after it, and a reset while a cursor over the
    // whole table is still open (the rest of whose result the server is then told to stop sending).
    const auto page = [&](int options, const QString& sql) {
        QElapsedTimer clock;
        clock.start();
        const QJsonObject reply = client.call(QStringLiteral("AS_GetRecords"), getRecords(100, options, sql));
        const double ms = clock.nsecsElapsed() / 1e6;
        const int got = reply.value(QStringLiteral("result"))
                            .toObject()
                            .value(QStringLiteral("out"))
                            .toObject()
                            .value(QStringLiteral("RecsOut"))
                            .toInt();
        return got == 100 ? ms : -1.0;
    };
    std::vector<double> firsts, nexts, resets;
    for (int i = 0; i < 20; ++i) {
        firsts.push_back(page(1, QStringLiteral("select * from brushcardlog where ID > %1").arg(i)));
        client.call(QStringLiteral("AS_GetRecords"), getRecords(-1, 0, QString())); // to its end: closed
    }
    page(3, all);
    for (int i = 0; i < 200; ++i)
        nexts.push_back(page(0, QString()));
    for (int i = 0; i < 20; ++i)
        resets.push_back(page(3, QString()));
    if (std::count(firsts.begin(), firsts.end(), -1.0) + std::count(nexts.begin(), nexts.end(), -1.0) +
            std::count(resets.begin(), resets.end(), -1.0) >
        0) {
        std::fprintf(stderr, "a page of 100 records failed\n");
        return false;
    }
    std::printf("  AS_GetRecords Count 100: first page %.2f ms, next pages %.2f ms (medians)\n", median(firsts),
                median(nexts));
    std::printf("  reset of an open cursor (a page of 100 again): median %.2f ms (goal <= 2 ms: %s)\n", median(resets),
                verdict(median(resets) <= 2));

    // An expensive first page: 100 records far into the table, ours against the tool's same statement (whose
    // time includes starting the tool). The statement runs once for it.
    const QString deep =
        QStringLiteral("select * from brushcardlog order by ID limit 100 offset %1").arg(rows / 10 * 9);
    QStringList deepArguments = backend.toolArguments;
    deepArguments.last() =
        backend.provider == SqlProvider::SQLite ? deep : QStringLiteral("\\copy (%1) to stdout with csv").arg(deep);
    std::vector<double> deepOurs, deepTool;
    for (int run = 0; run < runs; ++run) {
        deepTool.push_back(runTool(backend.toolProgram, deepArguments, backend.toolEnvironment));
        deepOurs.push_back(page(1, deep));
    }
    std::printf("  a first page at OFFSET %d: %.1f ms; %s: %.1f ms (medians)\n", rows / 10 * 9, median(deepOurs),
                qPrintable(backend.toolProgram.section(QLatin1Char('/'), -1)), median(deepTool));

    // A delta of 10,000 inserted rows.
    QJsonArray changes;
    for (int i = 0; i < 10000; ++i)
        changes.append(
            QJsonObject{{QStringLiteral("state"), 4},
                        {QStringLiteral("new"),
                         QJsonObject{{QStringLiteral("brushcardtime"), QStringLiteral("2024-03-05 08:00:00")},
                                     {QStringLiteral("cardno"), QStringLiteral("%1").arg(i, 10, 10, QLatin1Char('0'))},
                                     {QStringLiteral("doornumber"), i % 4 + 1},
                                     {QStringLiteral("eventtype"), QStringLiteral("正常开门")},
                                     {QStringLiteral("holder"), QStringLiteral("李四")}}}});
    const QJsonObject apply{{QStringLiteral("ProviderName"), QStringLiteral("dsp_brushcardlog")},
                            {QStringLiteral("Delta"),
                             QJsonObject{{QStringLiteral("vt"), QStringLiteral("packet")},
                                         {QStringLiteral("value"), QJsonObject{{QStringLiteral("changes"), changes}}}}},
                            {QStringLiteral("MaxErrors"), -1},
                            {QStringLiteral("OwnerData"), QJsonValue()}};
    // The tool inserts the same rows in one transaction: SQLite one statement a row, PostgreSQL one
    // statement of many rows.
    QString script;
    {
        QStringList values;
        for (int i = 0; i < 10000; ++i)
            values.append(QStringLiteral("('2024-03-05 08:00:00', '%1', %2, '正常开门', '李四')")
                              .arg(i, 10, 10, QLatin1Char('0'))
                              .arg(i % 4 + 1));
        const QString head =
            QStringLiteral("insert into brushcardlog (brushcardtime, cardno, doornumber, eventtype, holder) values ");
        script = backend.provider == SqlProvider::SQLite
                     ? QStringLiteral("begin;\n") + head + values.join(QStringLiteral(";\n") + head) +
                           QStringLiteral(";\ncommit;\n")
                     : QStringLiteral("begin;\n") + head + values.join(QStringLiteral(",\n")) +
                           QStringLiteral(";\ncommit;\n");
    }
    const QString scriptFile = root + QStringLiteral("/inserts.sql");
    {
        QFile file(scriptFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(script.toUtf8()) < 0)
            return false;
    }
    std::vector<double> applies, toolApplies;
    // scktsrvr looks at each request before passing it on: what that costs its memory.
    const long relayBeforeApplies = test::processStatus(relayPid, "VmRSS:");
    const bool relayApplyPeakReset = resetPeak(relayPid);
    qsizetype requestBytes = 0;
    for (int run = 0; run < runs; ++run) {
        // A new statement closes the open cursor, whose read would keep the tool from writing.
        client.call(QStringLiteral("AS_GetRecords"), getRecords(0, 1, all));
        toolApplies.push_back(
            runTool(backend.toolProgram, backend.toolScriptArguments, backend.toolEnvironment, scriptFile));
        // As the tool's script, the request is made before the clock starts; the reply is read after it.
        const QByteArray line = client.requestLine(QStringLiteral("AS_ApplyUpdates"), apply);
        requestBytes = line.size();
        QElapsedTimer clock;
        clock.start();
        const QByteArray replyLine = client.exchange(line);
        applies.push_back(clock.nsecsElapsed() / 1e6);
        const QJsonObject reply = QJsonDocument::fromJson(replyLine).object();
        const QJsonObject result = reply.value(QStringLiteral("result")).toObject();
        if (!result.contains(QStringLiteral("out")) ||
            result.value(QStringLiteral("out")).toObject().value(QStringLiteral("ErrorCount")).toInt() != 0) {
            std::fprintf(stderr, "the delta failed: %s\n", QJsonDocument(reply).toJson().left(2000).constData());
            return false;
        }
    }
    const double deltaRatio = median(applies) / median(toolApplies);
    std::printf("  AS_ApplyUpdates of 10,000 inserted rows: median %.0f ms; %s in one transaction %.0f ms; %.2fx "
                "(goal <= %.1fx: %s)\n",
                median(applies), qPrintable(backend.toolProgram.section(QLatin1Char('/'), -1)), median(toolApplies),
                deltaRatio, backend.deltaGoal, verdict(deltaRatio <= backend.deltaGoal));
    if (relayApplyPeakReset)
        std::printf("  scktsrvr taking the %.1f MiB request: peak growth %.2fx the request\n", requestBytes / 1048576.0,
                    (test::processStatus(relayPid, "VmHWM:") - relayBeforeApplies) * 1024.0 /
                        static_cast<double>(requestBytes));

    // A 20 MiB request is refused as too large; the connection ends, and the next one is served.
    {
        LineClient big(port);
        big.call(QStringLiteral("CreateObject"),
                 QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}});
        const QJsonObject huge{{QStringLiteral("ProviderName"), QStringLiteral("dsp_brushcardlog")},
                               {QStringLiteral("Delta"), QString(20 * 1024 * 1024, QLatin1Char('x'))},
                               {QStringLiteral("MaxErrors"), -1},
                               {QStringLiteral("OwnerData"), QJsonValue()}};
        const QJsonObject refused = big.call(QStringLiteral("AS_ApplyUpdates"), huge);
        LineClient after(port);
        const bool served = after
                                .call(QStringLiteral("CreateObject"),
                                      QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}})
                                .contains(QStringLiteral("result"));
        std::printf(
            "  20 MiB request: \"%s\"; the next connection %s\n",
            qPrintable(refused.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString()),
            served ? "is served" : "FAILED");
    }

    socketServer.terminate();
    socketServer.waitForFinished(5000);
    for (int i = 0; i < 100 && serverPid(bin) == pid; ++i)
        QThread::msleep(50);
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int rows = args.value(1, QStringLiteral("100000")).toInt();
    const int runs = args.value(2, QStringLiteral("5")).toInt();
    const QString only = args.value(3).toLower();
    QTemporaryDir root;

    std::vector<Backend> backends;
    {
        Backend sqlite;
        sqlite.name = QStringLiteral("SQLite");
        sqlite.provider = SqlProvider::SQLite;
        const QString file = root.path() + QStringLiteral("/acs.db");
        sqlite.settings.provider = SqlProvider::SQLite;
        sqlite.settings.database = file;
        sqlite.systemInfo =
            "[DataBase]\r\nProvider=SQLite\r\nConnectMode=1\r\nDataBaseName=" + file.toLocal8Bit() + "\r\n";
        sqlite.toolProgram = QStringLiteral("sqlite3");
        sqlite.toolArguments = {QStringLiteral("-json"), file, QStringLiteral("select * from brushcardlog")};
        sqlite.toolScriptArguments = {file};
        sqlite.readGoal = 1.2;
        sqlite.deltaGoal = 1.3;
        if (!TCreateDataBase(file, {}, {}, {}, SqlProvider::SQLite).BuildDataBase())
            return 1;
        if (only.isEmpty() || only == QLatin1String("sqlite"))
            backends.push_back(sqlite);
    }
    const auto pg = only == QLatin1String("sqlite") ? std::nullopt : test::PgServer::fromEnvironment();
    const QString pgDatabase = QStringLiteral("morvane_bench_%1").arg(QCoreApplication::applicationPid());
    if (pg) {
        Backend postgres;
        postgres.name = QStringLiteral("PostgreSQL");
        postgres.provider = SqlProvider::PostgreSQL;
        postgres.settings.provider = SqlProvider::PostgreSQL;
        postgres.settings.server = pg->serverName();
        postgres.settings.database = pgDatabase;
        postgres.settings.user = pg->user;
        postgres.settings.password = pg->password;
        postgres.systemInfo =
            "[DataBase]\r\nProvider=PostgreSQL\r\nConnectMode=1\r\nServerName=" + pg->serverName().toLocal8Bit() +
            "\r\nDataBaseName=" + pgDatabase.toLocal8Bit() + "\r\nUserName=" + pg->user.toLocal8Bit() +
            "\r\nPassword=" + pg->password.toLocal8Bit() + "\r\n";
        postgres.toolProgram = QStringLiteral("psql");
        postgres.toolArguments = {QStringLiteral("-h"), pg->host,
                                  QStringLiteral("-p"), QString::number(pg->port),
                                  QStringLiteral("-U"), pg->user,
                                  QStringLiteral("-d"), pgDatabase,
                                  QStringLiteral("-c"), QStringLiteral("\\copy brushcardlog to stdout with csv")};
        postgres.toolScriptArguments = postgres.toolArguments.mid(0, 8) + QStringList{QStringLiteral("-q")};
        postgres.toolEnvironment.insert(QStringLiteral("PGPASSWORD"), pg->password);
        postgres.databaseName = pgDatabase;
        postgres.readGoal = 0.8;
        postgres.deltaGoal = 2;
        TCreateDataBase creation(pgDatabase, pg->user, pg->password, pg->serverName(), SqlProvider::PostgreSQL);
        if (!creation.BuildDataBase()) {
            std::fprintf(stderr, "PostgreSQL: %s\n", qPrintable(creation.lastError()));
            return 1;
        }
        backends.push_back(postgres);
    } else {
        std::printf("[PostgreSQL] skipped: MORVANE_TEST_PG_* not set\n");
    }

    int status = 0;
    for (size_t i = 0; i < backends.size(); ++i) {
        if (!fill(backends[i], rows) ||
            !measure(backends[i], root.path() + QStringLiteral("/install%1").arg(i), rows, runs))
            status = 1;
    }
    if (pg) {
        platform::SqlConnection admin;
        platform::SqlConnectionSettings s = backends.back().settings;
        s.database = QStringLiteral("postgres");
        if (admin.open(s))
            admin.exec(QStringLiteral("drop database if exists \"%1\" with (force)").arg(pgDatabase));
    }
    return status;
}
