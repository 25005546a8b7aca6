// scktsrvr: the socket server through which client workstations reach the application server.
#include "NamedMutex.h"
#include "SignalWatcher.h"
#include "SocketServer.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <malloc.h>

int main(int argc, char** argv) {
    // One socket server per machine: a second start ends at once, silently.
    morvane::platform::NamedMutex mutex(QStringLiteral("SCKTSRVR"), true);
    if (mutex.alreadyExists())
        return 0;
    if (!mutex.isOwned()) {
        std::fprintf(stderr, "scktsrvr: cannot take the single-instance lock %s\n", qPrintable(mutex.failureText()));
        return 1;
    }

    // Buffers of 128 KiB and more are mapped each on its own, so that each goes back to the system when it
    // is freed: a client's large messages do not stay with the process after it has gone.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);

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
    // SIGHUP: the TLS certificate and key again, for the connections to come. Watched before the ready
    // line, so that whoever waits for that line may send it at once.
    const morvane::platform::SignalWatcher signalWatcher([&server] { server.reloadTls(); });
    if (!server.listen(&error)) {
        std::fprintf(stderr, "scktsrvr: %s\n", qPrintable(error));
        return 1;
    }

    // A client that vanishes mid-write must not end the process.
    ::signal(SIGPIPE, SIG_IGN);

    std::fprintf(stderr, "scktsrvr: %s\n", qPrintable(server.readyLine()));
    const int code = QCoreApplication::exec();
    std::fprintf(stderr, "scktsrvr: stopped\n");
    return code;
}
