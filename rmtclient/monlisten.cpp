// monlisten: binds the monitor's UDP port and prints every datagram it receives, decoded, as one JSON
// object per line. What operators and tests use to watch the scanning thread's relay.

#include "MonitorRecords.h"
#include "unt_controllist.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QUdpSocket>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("monlisten"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints each monitor datagram received on UDP (default 7800, or MORVANE_MONITOR_PORT) as JSON."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("UDP port to bind."),
                                        QStringLiteral("port"));
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("Stop after this many datagrams."),
                                         QStringLiteral("n"));
    const QCommandLineOption timeOption(QStringLiteral("time-ms"), QStringLiteral("Stop after this many ms."),
                                        QStringLiteral("ms"));
    parser.addOption(portOption);
    parser.addOption(countOption);
    parser.addOption(timeOption);
    parser.process(app);

    bool ok = true;
    const int port = parser.isSet(portOption) ? parser.value(portOption).toInt(&ok) : morvane::monitor::monitorPort();
    if (!ok || port <= 0 || port > 65535) {
        std::fprintf(stderr, "monlisten: bad port\n");
        return 2;
    }
    // Each number is checked on its own: a bad one is a usage error, never a count or time of 0.
    const auto number = [&parser](const QCommandLineOption& option, long long& value) {
        if (!parser.isSet(option))
            return true;
        bool valid = false;
        value = parser.value(option).toLongLong(&valid);
        return valid && value >= 0;
    };
    long long count = -1;
    long long timeMs = -1;
    if (!number(countOption, count) || !number(timeOption, timeMs)) {
        std::fprintf(stderr, "monlisten: bad --count or --time-ms\n");
        return 2;
    }

    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    if (!socket.bind(QHostAddress::AnyIPv4, quint16(port))) {
        std::fprintf(stderr, "monlisten: cannot bind UDP port %d: %s\n", port, qPrintable(socket.errorString()));
        return 1;
    }
    std::fprintf(stderr, "monlisten: listening on UDP port %d\n", port);
    std::fflush(stderr);

    QElapsedTimer clock;
    clock.start();
    long long received = 0;
    while (count < 0 || received < count) {
        int wait = 1000;
        if (timeMs >= 0) {
            const long long left = timeMs - clock.elapsed();
            if (left <= 0)
                break;
            wait = int(qMin<long long>(left, 1000));
        }
        if (!socket.waitForReadyRead(wait))
            continue;
        while (socket.hasPendingDatagrams() && (count < 0 || received < count)) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            QJsonObject line = morvane::monitor::describeDatagram(datagram.data());
            const QString from =
                datagram.senderAddress().toString() + QLatin1Char(':') + QString::number(datagram.senderPort());
            line.insert(QStringLiteral("from"), from);
            line.insert(QStringLiteral("ms"), clock.elapsed());
            std::fputs(QJsonDocument(line).toJson(QJsonDocument::Compact).constData(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
            ++received;
        }
    }
    return 0;
}
