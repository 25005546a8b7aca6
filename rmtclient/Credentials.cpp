#include "Credentials.h"

#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace morvane::rmtclient {

namespace {

constexpr int kLongestLine = 1024;

// The terminal's settings while echo is off, put back by a signal that ends the program meanwhile.
termios g_saved;
volatile sig_atomic_t g_echoOff = 0;

void restoreAndRaise(int number) {
    if (g_echoOff)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    ::signal(number, SIG_DFL);
    ::raise(number);
}

// Echo off for as long as it lives, whatever ends the prompt.
class EchoOff {
public:
    EchoOff() {
        if (::tcgetattr(STDIN_FILENO, &g_saved) != 0)
            return;
        for (const int number : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGTSTP})
            m_previous[m_count++] = {number, ::signal(number, restoreAndRaise)};
        termios quiet = g_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        g_echoOff = 1;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        if (g_echoOff)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
        g_echoOff = 0;
        for (int i = 0; i < m_count; ++i)
            ::signal(m_previous[i].first, m_previous[i].second);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    std::pair<int, sighandler_t> m_previous[5];
    int m_count = 0;
};

std::optional<QString> readLine() {
    char buffer[kLongestLine * 4 + 2];
    const bool read = std::fgets(buffer, sizeof buffer, stdin) != nullptr;
    const size_t length = read ? std::strlen(buffer) : 0;
    const bool whole = length > 0 && buffer[length - 1] == '\n';
    std::optional<QString> line;
    if (read && (whole || std::feof(stdin)))
        line = QString::fromLocal8Bit(buffer, static_cast<qsizetype>(whole ? length - 1 : length));
    // The secret does not stay in the stack's memory.
    std::memset(buffer, 0, sizeof buffer);
    if (line && line->endsWith(QLatin1Char('\r')))
        line->chop(1);
    if (line && line->size() > kLongestLine)
        return std::nullopt;
    return line;
}

} // namespace

QJsonObject Credentials::logonParams() const {
    if (!token.isEmpty())
        return {{QStringLiteral("token"), token}};
    return {{QStringLiteral("operator"), operatorName}, {QStringLiteral("password"), password}};
}

bool stdinIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

std::optional<QString> prompt(const QString& text, bool echo) {
    if (!stdinIsTerminal())
        return std::nullopt;
    std::fputs(qPrintable(text), stderr);
    std::fflush(stderr);
    if (echo)
        return readLine();
    const EchoOff quiet;
    return readLine();
}

std::optional<QString> readSecret(const QString& text) {
    return stdinIsTerminal() ? prompt(text, false) : readLine();
}

std::optional<QString> readPasswordFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray text = file.read(kLongestLine * 4 + 2);
    const qsizetype end = text.indexOf('\n');
    if (end >= 0)
        text.truncate(end);
    if (text.endsWith('\r'))
        text.chop(1);
    QString password = QString::fromUtf8(text);
    text.fill('\0');
    if (password.isEmpty() || password.size() > kLongestLine) {
        if (error)
            *error = QStringLiteral("%1 holds no password of 1 to %2 characters on its first line")
                         .arg(path)
                         .arg(kLongestLine);
        return std::nullopt;
    }
    return password;
}

void fillFromEnvironment(Credentials& credentials) {
    if (credentials.complete())
        return;
    if (credentials.operatorName.isEmpty() && credentials.password.isEmpty())
        credentials.token = qEnvironmentVariable("MORVANE_TOKEN");
    if (credentials.operatorName.isEmpty())
        credentials.operatorName = qEnvironmentVariable("MORVANE_OPERATOR");
    if (credentials.password.isEmpty())
        credentials.password = qEnvironmentVariable("MORVANE_PASSWORD");
}

bool askMissing(Credentials& credentials) {
    if (credentials.complete())
        return true;
    if (credentials.operatorName.isEmpty()) {
        const auto name = prompt(QStringLiteral("Operator: "), true);
        if (!name || name->isEmpty())
            return false;
        credentials.operatorName = *name;
    }
    const auto password = prompt(QStringLiteral("Password for %1: ").arg(credentials.operatorName), false);
    if (!password || password->isEmpty())
        return false;
    credentials.password = *password;
    return true;
}

} // namespace morvane::rmtclient
