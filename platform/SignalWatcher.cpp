#include "SignalWatcher.h"

#include <QCoreApplication>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace morvane::platform {

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(g_signalPipe[0], &byte, 1);
}

} // namespace

SignalWatcher::SignalWatcher(std::function<void()> onHangUp)
    : m_onHangUp(std::move(onHangUp)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[1], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, qApp, [this] { onReadable(); });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    if (m_onHangUp)
        ::sigaction(SIGHUP, &action, nullptr);
}

SignalWatcher::~SignalWatcher() {
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    if (m_onHangUp)
        ::signal(SIGHUP, SIG_DFL);
    m_notifier.reset();
    for (int& fd : g_signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void SignalWatcher::onReadable() {
    char numbers[64];
    const ssize_t n = ::recv(g_signalPipe[1], numbers, sizeof numbers, MSG_DONTWAIT);
    for (ssize_t i = 0; i < n; ++i) {
        if (numbers[i] == SIGHUP && m_onHangUp) {
            m_onHangUp();
        } else {
            QCoreApplication::quit();
            return;
        }
    }
}

} // namespace morvane::platform
