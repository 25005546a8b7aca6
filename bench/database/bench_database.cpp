// Database creation figures: a fresh database (18 tables, 159 seed rows, 3 procedures) and a start
// against an existing one, on SQLite and, when MORVANE_TEST_PG_* name a server, on PostgreSQL.
// Usage: bench_database [runs]   (default 5; prints the median and the worst run in milliseconds)
#include "SqlConnection.h"
#include "unt_initdbms.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace morvane;
using platform::SqlProvider;

namespace {

struct Target {
    SqlProvider provider;
    QString server, user, password;
};

struct Figures {
    std::vector<double> fresh;
    std::vector<double> existing;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double timed(const Target& target, const QString& name, bool* ok) {
    TCreateDataBase creation(name, target.user, target.password, target.server, target.provider);
    QElapsedTimer clock;
    clock.start();
    *ok = creation.BuildDataBase();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    if (!*ok)
        std::fprintf(stderr, "creation failed: %s\n", qPrintable(creation.lastError()));
    return ms;
}

void dropPostgres(const Target& target, const QString& name) {
    platform::SqlConnection admin;
    platform::SqlConnectionSettings s;
    s.provider = SqlProvider::PostgreSQL;
    s.server = target.server;
    s.user = target.user;
    s.password = target.password;
    s.database = QStringLiteral("postgres");
    if (admin.open(s))
        admin.exec(QStringLiteral("drop database if exists \"%1\" with (force)").arg(name));
}

bool measure(const Target& target, int runs, Figures& figures) {
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir dir;
        const QString name = target.provider == SqlProvider::SQLite
                                 ? dir.path() + QStringLiteral("/bench.db")
                                 : QStringLiteral("morvane_bench_%1").arg(QRandomGenerator::global()->generate());
        bool ok = false;
        figures.fresh.push_back(timed(target, name, &ok));
        if (ok)
            figures.existing.push_back(timed(target, name, &ok));
        if (target.provider == SqlProvider::PostgreSQL)
            dropPostgres(target, name);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = std::clamp(argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 5, 1, 100);

    std::vector<std::pair<const char*, Target>> targets = {{"SQLite", {SqlProvider::SQLite, {}, {}, {}}}};
    const QString pgPort = qEnvironmentVariable("MORVANE_TEST_PG_PORT");
    if (!pgPort.isEmpty()) {
        const QString host = qEnvironmentVariable("MORVANE_TEST_PG_HOST", QStringLiteral("127.0.0.1"));
        targets.push_back(
            {"PostgreSQL",
             {SqlProvider::PostgreSQL, host + QLatin1Char(':') + pgPort, qEnvironmentVariable("MORVANE_TEST_PG_USER"),
              qEnvironmentVariable("MORVANE_TEST_PG_PASSWORD")}});
    } else {
        std::printf("PostgreSQL: skipped (MORVANE_TEST_PG_PORT unset)\n");
    }

    int status = 0;
    for (const auto& [label, target] : targets) {
        Figures figures;
        if (!measure(target, runs, figures)) {
            std::printf("%s: creation failed\n", label);
            status = 1;
            continue;
        }
        std::printf("%s: fresh database median %.1f ms, worst %.1f ms; existing database median %.2f ms, worst "
                    "%.2f ms (%d runs)\n",
                    label, median(figures.fresh), worst(figures.fresh), median(figures.existing),
                    worst(figures.existing), runs);
    }
    return status;
}
