// Speed of the component against a simulated door board on loopback: one open door through the
// component against a bare 64-byte request/response to the same board, in the same run and interleaved;
// 1,000 cards added to one board; and the longest call against the documented time-out.
#include "Automation.h"
#include "BoardProtocol.h"
#include "KestrovaAdapter.h"
#include "SimulatorThread.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace morvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSerial = 423187757;
const QString kMac = QStringLiteral("00-66-19-39-55-2D");
constexpr double kTimeOutMs = 750; // 3 attempts of 250 ms

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The same open door as the component sends, on one socket kept open, waiting at most 250 ms.
bool bareOpenDoor(int fd, const QByteArray& request) {
    if (::send(fd, request.constData(), static_cast<size_t>(request.size()), 0) != request.size())
        return false;
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, 250) != 1)
        return false;
    char reply[128];
    return ::recv(fd, reply, sizeof reply, 0) == boardproto::kFrameBytes;
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
    const QString ip = test::randomLoopback();
    QJsonArray controllers;
    controllers.append(QJsonObject{{QStringLiteral("mac"), kMac},
                                   {QStringLiteral("kind"), QStringLiteral("uhppote")},
                                   {QStringLiteral("serial"), static_cast<qint64>(kSerial)},
                                   {QStringLiteral("ip"), ip}});
    ctrlsim::SimulatorThread simulator;
    QString error;
    if (!simulator.start(QJsonObject{{QStringLiteral("controllers"), controllers}}, &error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        return 1;
    }

    double longestMs = 0;
    auto timed = [&longestMs](auto call) {
        const auto start = Clock::now();
        const auto result = call();
        longestMs = std::max(longestMs, since(start) / 1000);
        return result;
    };

    platform::Variant link(factory->createInstance());
    platform::Variant mode(1), address(ip), mac(kMac);
    const int32_t connected = timed([&]() { return kestrova::COMifCreateNetworkConnection(link, mode, address, mac); });
    if (connected != 0) {
        std::fprintf(stderr, "no connection to the board: status %d\n", connected);
        return 1;
    }

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(boardproto::kPort);
    ::inet_pton(AF_INET, ip.toLatin1().constData(), &peer.sin_addr);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        std::fprintf(stderr, "cannot open a socket to the board\n");
        return 1;
    }
    const QByteArray request =
        boardproto::request(boardproto::fn::OpenDoor, kSerial, {{QStringLiteral("door"), QStringLiteral("1")}});

    // Interleaved, so that both see the same machine load; a warm-up first.
    constexpr int kRounds = 3000;
    std::vector<double> component;
    std::vector<double> bare;
    int failed = 0;
    for (int i = 0; i < kRounds + 200; ++i) {
        int32_t door = 1;
        auto start = Clock::now();
        failed += timed([&]() { return kestrova::ComifRmtOpenDoor(link, door); }) != 0;
        const double through = since(start);
        start = Clock::now();
        failed += !bareOpenDoor(fd, request);
        const double direct = since(start);
        if (i >= 200) {
            component.push_back(through);
            bare.push_back(direct);
        }
    }
    ::close(fd);
    const double ratio = median(component) / median(bare);
    std::printf("board open door over %d calls: component median %.1f us, bare 64-byte request/response median "
                "%.1f us, ratio %.2f (target <= 1.30), failed %d\n",
                kRounds, median(component), median(bare), ratio, failed);

    // 1,000 cards, each a read of what the board holds and a write.
    constexpr int kCards = 1000;
    const auto start = Clock::now();
    int refused = 0;
    for (int i = 0; i < kCards; ++i) {
        int32_t card = 1000000 + i, type = 0, door = 1 + i % 4, openMode = 0, userTime = 0, deadbolt = 0;
        platform::Variant password(QStringLiteral("1234"));
        platform::Variant begin(platform::VariantDate{platform::dateTimeToOleDate(QDateTime::currentDateTime())});
        platform::Variant end(QStringLiteral("2035-12-31"));
        refused += timed([&]() {
                       return kestrova::ComifAddCardNo(link, card, type, door, password, openMode, userTime, begin, end,
                                                       deadbolt);
                   }) != 0;
    }
    const double cardSeconds = since(start) / 1e6;
    const int stored =
        simulator.command({{QStringLiteral("cmd"), QStringLiteral("state")}, {QStringLiteral("mac"), kMac}})
            .value(QStringLiteral("cards"))
            .toArray()
            .size();
    std::printf("%d cards added to one board: %.2f s (target < 5 s), %d refused, %d stored\n", kCards, cardSeconds,
                refused, stored);
    std::printf("longest call: %.1f ms (time-out %.0f ms)\n", longestMs, kTimeOutMs);
    simulator.stop();
    const bool met =
        ratio <= 1.3 && cardSeconds < 5 && longestMs <= kTimeOutMs && failed == 0 && refused == 0 && stored == kCards;
    return met ? 0 : 1;
}
