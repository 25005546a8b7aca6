// Start-up figures of the application server: the time from process start to its message loop
// (readiness on NOTIFY_SOCKET) and the resident memory once idle, for ConnectMode 0, for ConnectMode 1 on
// an existing SQLite database, and for the same with a language database that translates the main
// window (2,000 rows) and the seed names.
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int bindNotifySocket(const QByteArray& path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ::unlink(path.constData());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

struct Figures {
    QList<double> readyMs;
    QList<long> rssKiB;
};

// Fills the language database that the first start made: 2,000 rows for the main window's components and
// the window's message texts, which rename the seed rows at the next start.
void fillLanguageDatabase(morvane::test::TestEnvironment& env) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("language"));
        db.setDatabaseName(env.path(QStringLiteral("DB/Language.mdb")));
        if (!db.open()) {
            std::fprintf(stderr, "no language database: %s\n", qPrintable(db.lastError().text()));
            std::exit(1);
        }
        db.transaction();
        QSqlQuery query(db);
        query.prepare(QStringLiteral("insert into Component_Table (AppName, FormName, ComponentName, LanguageID, "
                                     "ComponentClass, ComponentProperty) values ('Tavrel Morvane Server', "
                                     "'frm_server_main', ?, 2052, 'T', ?)"));
        const QStringList names = {QStringLiteral("Panel1"), QStringLiteral("atn_close"), QStringLiteral("File1"),
                                   QStringLiteral("absent")};
        for (int i = 0; i < 2000; ++i) {
            query.addBindValue(names.at(i % names.size()));
            query.addBindValue(QStringLiteral("Caption:文本 %1\r\nHint:提示 %1\r\n").arg(i));
            query.exec();
        }
        QStringList messages;
        for (int i = 0; i < 60; ++i)
            messages.append(QStringLiteral("名称 %1").arg(i));
        query.prepare(
            QStringLiteral("insert into Dialog_Table (AppName, FormName, DialogID, LanguageID, Title, "
                           "MessageStr) values ('Tavrel Morvane Server', 'frm_server_main', 0, 2052, '', ?)"));
        query.addBindValue(messages.join(QLatin1String("\r\n")));
        if (!query.exec()) {
            std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
            std::exit(1);
        }
        db.commit();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("language"));
}

// True when the starts renamed the seed rows in the language's texts.
void checkSeedNamesTranslated(morvane::test::TestEnvironment& env) {
    bool renamed = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("app"));
        db.setDatabaseName(env.path(QStringLiteral("bench.db")));
        QSqlQuery query(db);
        renamed = db.open() && query.exec(QStringLiteral("select menuchinaname from ac_systemoudle order by id")) &&
                  query.next() && query.value(0).toString() == QStringLiteral("名称 0");
    }
    QSqlDatabase::removeDatabase(QStringLiteral("app"));
    if (!renamed) {
        std::fprintf(stderr, "the server did not translate the seed names\n");
        std::exit(1);
    }
}

using EnvironmentStep = std::function<void(morvane::test::TestEnvironment&)>;

Figures measure(const QString& morvane, const QByteArray& systemInfo, int runs,
                const EnvironmentStep& afterFirstStart = {}, const EnvironmentStep& afterLastStart = {}) {
    // A private world, with a socket server that counts as running, so that no start launches one.
    morvane::test::TestEnvironment env;
    env.writeSystemInfo(systemInfo);
    env.holdSocketServer();
    const QByteArray socketPath = env.path(QStringLiteral("notify")).toLocal8Bit();
    const int fd = bindNotifySocket(socketPath);

    QProcessEnvironment environment = env.processEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(socketPath));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    Figures figures;
    // One start first, so that ConnectMode 1 measures a start against an existing database.
    for (int run = -1; run < runs; ++run) {
        QProcess process;
        process.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        process.start(morvane, {});
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) {
            const bool running = process.state() == QProcess::Running;
            std::fprintf(stderr, "run %d: no readiness within 10 s (%s %d): %s\n", run,
                         running ? "still running, pid" : "ended with",
                         running ? int(process.processId()) : process.exitCode(),
                         process.readAllStandardError().constData());
            if (running && qEnvironmentVariableIsSet("BENCH_KEEP_HUNG"))
                ::pause();
            std::exit(1);
        }
        const double ms = clock.nsecsElapsed() / 1e6;
        char buffer[32];
        [[maybe_unused]] auto n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (run >= 0) {
            figures.readyMs.append(ms);
            QThread::msleep(1000);
            figures.rssKiB.append(morvane::test::residentKiB(process.processId()));
        }
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(5000)) {
            std::fprintf(stderr, "run %d: still running 5 s after SIGTERM, pid %d\n", run, int(process.processId()));
            if (qEnvironmentVariableIsSet("BENCH_KEEP_HUNG"))
                ::pause();
            std::exit(1);
        }
        if (run < 0 && afterFirstStart)
            afterFirstStart(env);
    }
    ::close(fd);
    if (afterLastStart)
        afterLastStart(env);
    return figures;
}

template <typename T>
T median(QList<T> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? T() : values.at(values.size() / 2);
}

void print(const char* name, const Figures& f) {
    std::printf("%-40s ready median %7.1f ms  max %7.1f ms   idle RSS median %6.1f MiB  max %6.1f MiB  (%lld runs)\n",
                name, median(f.readyMs), *std::max_element(f.readyMs.begin(), f.readyMs.end()),
                median(f.rssKiB) / 1024.0, *std::max_element(f.rssKiB.begin(), f.rssKiB.end()) / 1024.0,
                qlonglong(f.readyMs.size()));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString morvane = QCoreApplication::applicationDirPath() + QStringLiteral("/morvane");
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const QByteArray head = "[Device]\r\nport=0\r\n[System]\r\nLanguageID=2052\r\n[DataBase]\r\n";
    print("ConnectMode 0", measure(morvane, head + "ConnectMode=0\r\n", runs));
    print("ConnectMode 1, existing SQLite db",
          measure(morvane, head + "Provider=SQLite\r\nDataBaseName=bench.db\r\nConnectMode=1\r\n", runs));
    print("the same, language database (2000 rows)",
          measure(morvane, head + "Provider=SQLite\r\nDataBaseName=bench.db\r\nConnectMode=1\r\n", runs,
                  fillLanguageDatabase, checkSeedNamesTranslated));
    return 0;
}
