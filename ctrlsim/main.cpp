// ctrlsim: simulated door controllers for tests, demos and benchmarks.
#include "Simulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    (void)::write(g_signalPipe[1], &byte, 1);
}

void printLine(const QString& line) {
    const QByteArray text = "ctrlsim: " + line.toLocal8Bit() + '\n';
    std::fputs(text.constData(), stdout);
    std::fflush(stdout);
}

void printError(const QString& error) {
    const QByteArray text = "ctrlsim: " + error.toLocal8Bit() + '\n';
    std::fputs(text.constData(), stderr);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString configPath;
    int controlPort = -1;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--control-port") && i + 1 < args.size()) {
            bool ok = false;
            controlPort = args[++i].toInt(&ok);
            if (!ok || controlPort < 0 || controlPort > 65535) {
                std::fputs("ctrlsim: --control-port needs a port number\n", stderr);
                return 2;
            }
        } else if (configPath.isEmpty() && !args[i].startsWith(QLatin1Char('-'))) {
            configPath = args[i];
        } else {
            std::fputs("usage: ctrlsim CONFIG.json [--control-port PORT]\n", stderr);
            return 2;
        }
    }
    if (configPath.isEmpty()) {
        std::fputs("usage: ctrlsim CONFIG.json [--control-port PORT]\n", stderr);
        return 2;
    }

    QJsonObject config;
    QString error;
    if (!morvane::ctrlsim::Simulator::readConfig(configPath, &config, &error)) {
        printError(error);
        return 1;
    }
    if (controlPort >= 0)
        config.insert(QStringLiteral("controlPort"), controlPort);

    // SIGTERM and SIGINT end the event loop through a pipe, so that the terminals and links are
    // removed by the normal destructors.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    morvane::ctrlsim::Simulator simulator;
    QObject::connect(&simulator, &morvane::ctrlsim::Simulator::logLine, &app, &printLine);
    if (!simulator.start(config, &error)) {
        printError(error);
        return 1;
    }
    for (const QString& line : simulator.startupLines())
        printLine(line);
    printLine(QStringLiteral("ready"));
    const int code = app.exec();
    printLine(QStringLiteral("stopped"));
    return code;
}
