// Request/reply speed of the lock-communication component against the simulator on loopback:
// latency of one exchange, calls per second of one object, and 100 objects against 100 controllers.
#include "Automation.h"
#include "KestrovaAdapter.h"
#include "SimulatorThread.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <thread>
#include <vector>

using namespace morvane;
using Clock = std::chrono::steady_clock;

namespace {

QString macOf(int index) {
    return QStringLiteral("02-00-00-00-%1-%2")
        .arg(index / 256, 2, 16, QLatin1Char('0'))
        .arg(index % 256, 2, 16, QLatin1Char('0'))
        .toUpper();
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[index];
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QString library = QCoreApplication::applicationDirPath() + QStringLiteral("/KestrovaCom.so");
    const auto getClassObject = test::loadComponent(library, false);
    if (!getClassObject) {
        std::fprintf(stderr, "cannot load %s\n", qPrintable(library));
        return 1;
    }
    platform::IClassFactory* factory = getClassObject("{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}");

    constexpr int kControllers = 100;
    const int octet = QRandomGenerator::global()->bounded(100, 250);
    auto ipOf = [octet](int index) {
        return QStringLiteral("127.%1.%2.%3").arg(octet).arg(1 + index / 200).arg(1 + index % 200);
    };
    QJsonArray controllers;
    for (int i = 0; i < kControllers; ++i)
        controllers.append(QJsonObject{
            {QStringLiteral("mac"), macOf(i)}, {QStringLiteral("ip"), ipOf(i)}, {QStringLiteral("port"), 2008}});
    ctrlsim::SimulatorThread simulator;
    QString error;
    if (!simulator.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        return 1;
    }

    auto connect = [&](int index) {
        platform::Variant link(factory->createInstance());
        platform::Variant mode(1), ip(ipOf(index)), mac(macOf(index));
        const int32_t status = kestrova::COMifCreateNetworkConnection(link, mode, ip, mac);
        return status == 0 ? link : platform::Variant();
    };

    // Latency of one exchange.
    platform::Variant link = connect(0);
    if (link.isEmpty()) {
        std::fprintf(stderr, "no connection\n");
        return 1;
    }
    for (int i = 0; i < 200; ++i) {
        int32_t door = 1;
        kestrova::ComifRmtOpenDoor(link, door);
    }
    std::vector<double> latencies;
    int failures = 0;
    constexpr int kLatencyCalls = 5000;
    for (int i = 0; i < kLatencyCalls; ++i) {
        int32_t door = 1;
        const auto start = Clock::now();
        failures += kestrova::ComifRmtOpenDoor(link, door) != 0;
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::printf("ComifRmtOpenDoor latency over %d calls: median %.1f us, p99 %.1f us, max %.1f us, failed %d\n",
                kLatencyCalls, percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0),
                failures);

    // Calls per second of one object, from one thread and from two at once.
    for (int threads : {1, 2}) {
        std::atomic<int> calls{0};
        std::atomic<int> failed{0};
        const auto until = Clock::now() + std::chrono::seconds(2);
        std::vector<std::thread> workers;
        const auto start = Clock::now();
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&]() {
                while (Clock::now() < until) {
                    int32_t door = 1;
                    failed += kestrova::ComifRmtOpenDoor(link, door) != 0;
                    ++calls;
                }
            });
        }
        for (auto& worker : workers)
            worker.join();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("one object, %d thread(s): %.0f calls/s (%d calls, %d failed)\n", threads, calls / seconds,
                    calls.load(), failed.load());
    }

    // 100 objects against 100 controllers at once.
    std::vector<platform::Variant> links;
    for (int i = 0; i < kControllers; ++i)
        links.push_back(connect(i));
    const int connected =
        static_cast<int>(std::count_if(links.begin(), links.end(), [](const auto& l) { return !l.isEmpty(); }));
    constexpr int kCallsEach = 200;
    std::atomic<int> lost{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    const auto start = Clock::now();
    for (int i = 0; i < kControllers; ++i) {
        workers.emplace_back([&, i]() {
            if (links[static_cast<size_t>(i)].isEmpty())
                return;
            for (int c = 0; c < kCallsEach; ++c) {
                // Alternate a door the controller has with one it has not: each reply must be the request's own.
                int32_t door = c % 2 == 0 ? 1 : 9;
                const int32_t status = kestrova::ComifRmtOpenDoor(links[static_cast<size_t>(i)], door);
                if (status == 1002)
                    ++lost;
                else if (status != (c % 2 == 0 ? 0 : 2))
                    ++wrong;
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%d objects on %d controllers, %d calls each: %.2f s, %.0f calls/s, %d lost, %d mismatched\n",
                connected, kControllers, kCallsEach, seconds, connected * kCallsEach / seconds, lost.load(),
                wrong.load());
    simulator.stop();
    return connected == kControllers && lost == 0 && wrong == 0 ? 0 : 1;
}
