// scktsrvr: the socket server through which client workstations reach the application server.
#include "NamedMutex.h"
#include "SocketServer.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
}

} // namespace

int main(int argc, char** argv) {
    // One socket server per machine: a second start ends at once, silently.
    morvane::platform::NamedMutex mutex(QStringLiteral("SCKTSRVR"), true);
    if (mutex.alreadyExists())
        return 0;

    // The plain Unix event dispatcher: a relay's every message crosses the loop twice.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    morvane::scktsrvr::Settings settings;
    QString error;
    if (!morvane::scktsrvr::Settings::load(QCoreApplication::arguments().mid(1), settings, &error)) {
        std::fprintf(stderr, "scktsrvr: %s\n", qPrintable(error));
        return 2;
    }
    morvane::scktsrvr::SocketServer server(settings);
    if (!server.listen(&error)) {
        std::fprintf(stderr, "scktsrvr: %s\n", qPrintable(error));
        return 1;
    }

    // SIGTERM and SIGINT end the event loop; the handler only writes to a socket pair.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }
    // A client that vanishes mid-write must not end the process.
    ::signal(SIGPIPE, SIG_IGN);

    std::fprintf(stderr, "scktsrvr: %s\n", qPrintable(server.readyLine()));
    const int code = QCoreApplication::exec();
    std::fprintf(stderr, "scktsrvr: stopped\n");
    return code;
}
