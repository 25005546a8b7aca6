#include "TestSupport.h"

#include "LocalServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <QRandomGenerator>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvane::test {

QJsonObject change(int state, const QJsonObject& oldValues, const QJsonObject& newValues) {
    QJsonObject c{{QStringLiteral("state"), state}};
    if (state != 4)
        c.insert(QStringLiteral("old"), oldValues);
    if (state != 2)
        c.insert(QStringLiteral("new"), newValues);
    return c;
}

TestEnvironment::TestEnvironment() {
    QDir root(m_root.path());
    root.mkpath(QStringLiteral("bin"));
    root.mkpath(QStringLiteral("locks"));
    const QList<QPair<QByteArray, QString>> variables = {
        {"MORVANE_PROGRAM_DIR", programDir()},
        {"MORVANE_REGISTRY", registryPath()},
        {"MORVANE_LOCK_DIR", lockDir()},
    };
    for (const auto& [name, value] : variables) {
        m_saved.append({name, qEnvironmentVariableIsSet(name.constData())
                                  ? std::optional<QByteArray>(qgetenv(name.constData()))
                                  : std::nullopt});
        qputenv(name.constData(), value.toLocal8Bit());
    }
}

TestEnvironment::~TestEnvironment() {
    for (const auto& [name, value] : m_saved) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString TestEnvironment::programDir() const {
    return m_root.path() + QStringLiteral("/bin/");
}
QString TestEnvironment::registryPath() const {
    return m_root.path() + QStringLiteral("/classes.reg");
}
QString TestEnvironment::lockDir() const {
    return m_root.path() + QStringLiteral("/locks");
}
QString TestEnvironment::path(const QString& name) const {
    return programDir() + name;
}

void TestEnvironment::writeSystemInfo(const QByteArray& content) {
    writeFile(QStringLiteral("systeminfo.ini"), content);
}

void TestEnvironment::writeFile(const QString& name, const QByteArray& content) {
    QFile file(QDir::isAbsolutePath(name) ? name : path(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.write(content);
}

QByteArray TestEnvironment::readFile(const QString& name) const {
    QFile file(QDir::isAbsolutePath(name) ? name : path(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

platform::GetClassObjectFn loadComponent(const QString& path, bool registerIt, QString* error) {
    void* library = ::dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    const auto fail = [error](const QString& why) -> platform::GetClassObjectFn {
        if (error)
            *error = why;
        return nullptr;
    };
    if (!library)
        return fail(QString::fromLocal8Bit(::dlerror()));
    if (registerIt) {
        auto registerServer =
            reinterpret_cast<platform::RegisterServerFn>(::dlsym(library, platform::kRegisterServerSymbol));
        if (!registerServer || registerServer() != platform::hr::S_OK)
            return fail(QStringLiteral("%1 did not register").arg(path));
    }
    auto factory = reinterpret_cast<platform::GetClassObjectFn>(::dlsym(library, platform::kGetClassObjectSymbol));
    return factory ? factory : fail(QStringLiteral("%1 exports no class factory").arg(path));
}

long processStatus(qint64 pid, const char* key) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(static_cast<qsizetype>(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

long residentKiB(qint64 pid) {
    return processStatus(pid, "VmRSS:");
}

double processCpuMs(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which is in parentheses: utime and stime are the 12th and 13th.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return static_cast<double>(fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000.0 /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void TestEnvironment::holdSocketServer() {
    QFile::link(binDir() + QStringLiteral("/scktsrvr"), path(QStringLiteral("scktsrvr")));
    m_socketServerLock = std::make_unique<platform::NamedMutex>(QStringLiteral("SCKTSRVR"), true);
}

QProcessEnvironment TestEnvironment::processEnvironment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MORVANE_PROGRAM_DIR"), programDir());
    environment.insert(QStringLiteral("MORVANE_REGISTRY"), registryPath());
    environment.insert(QStringLiteral("MORVANE_LOCK_DIR"), lockDir());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

struct MessageCapture::State {
    std::mutex mutex; // guards messages and answer (any thread that shows a box, and the test)
    QList<platform::MessageRequest> messages;
    platform::MessageAnswer answer;
};

MessageCapture::MessageCapture(platform::MessageAnswer answer)
    : m_state(std::make_shared<State>()) {
    m_state->answer = answer;
    platform::setMessageHook([state = m_state](const platform::MessageRequest& request) {
        std::lock_guard lock(state->mutex);
        state->messages.append(request);
        return state->answer;
    });
}

MessageCapture::~MessageCapture() {
    platform::setMessageHook(nullptr);
}

QList<platform::MessageRequest> MessageCapture::messages() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->messages;
}

void MessageCapture::setAnswer(platform::MessageAnswer answer) {
    std::lock_guard lock(m_state->mutex);
    m_state->answer = answer;
}

QString binDir() {
    const QString dir = qEnvironmentVariable("MORVANE_BIN_DIR");
    return dir.isEmpty() ? QStringLiteral(MORVANE_DEFAULT_BIN_DIR) : dir;
}

std::optional<PgServer> PgServer::fromEnvironment() {
    bool ok = false;
    const int port = qEnvironmentVariable("MORVANE_TEST_PG_PORT").toInt(&ok);
    if (!ok || port <= 0)
        return std::nullopt;
    PgServer server;
    server.port = port;
    server.host = qEnvironmentVariable("MORVANE_TEST_PG_HOST", QStringLiteral("127.0.0.1"));
    server.user = qEnvironmentVariable("MORVANE_TEST_PG_USER", QStringLiteral("morvane"));
    server.password = qEnvironmentVariable("MORVANE_TEST_PG_PASSWORD");
    return server;
}

QString randomLoopback() {
    auto* random = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3")
        .arg(random->bounded(100, 250))
        .arg(random->bounded(1, 250))
        .arg(random->bounded(2, 250));
}

ReadyListener::ReadyListener(const QString& path)
    : m_path(path) {
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray p = path.toLocal8Bit();
    std::memcpy(address.sun_path, p.constData(), std::min(size_t(p.size()), sizeof(address.sun_path) - 1));
    ::unlink(p.constData());
    ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

ReadyListener::~ReadyListener() {
    ::close(m_fd);
    ::unlink(m_path.toLocal8Bit().constData());
}

bool ReadyListener::waitReady(int timeoutMs) {
    pollfd p = {m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1)
        return false;
    char buffer[64] = {};
    const auto n = ::recv(m_fd, buffer, sizeof(buffer) - 1, 0);
    return n > 0 && QByteArray(buffer, int(n)) == "READY=1";
}

ProcessResult runProgram(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
                         int timeoutMs, const QByteArray& input) {
    ProcessResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs))
        return result;
    if (!input.isNull()) {
        process.write(input);
        process.closeWriteChannel();
    }
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

int boundUdpSocket(const QString& ip, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.toLatin1().constData(), &address.sin_addr);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

ForeignListener::ForeignListener(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (native.size() >= qsizetype(sizeof address.sun_path))
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int control[2] = {-1, -1};
    int result[2] = {-1, -1};
    const auto cleanUp = [&] {
        for (int d : {fd, control[0], control[1], result[0], result[1]}) {
            if (d >= 0)
                ::close(d);
        }
    };
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::lchown(native.constData(), kUid, kUid) != 0 || ::pipe2(control, O_CLOEXEC) != 0 ||
        ::pipe2(result, O_CLOEXEC) != 0) {
        cleanUp();
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only what is safe after a fork: the peer credentials of a listener are those of listen().
        ::close(control[1]);
        ::close(result[0]);
        if (::setresgid(kUid, kUid, kUid) != 0 || ::setresuid(kUid, kUid, kUid) != 0 || ::listen(fd, 64) != 0)
            ::_exit(2);
        [[maybe_unused]] const ssize_t said = ::write(result[1], "L", 1);
        int64_t received = 0;
        pollfd watched[18] = {};
        nfds_t count = 2;
        watched[0] = {control[0], POLLIN, 0};
        watched[1] = {fd, POLLIN, 0};
        // Bounded: a minute at most, should the test never say.
        for (int round = 0; round < 600; ++round) {
            if (::poll(watched, count, 100) < 0)
                continue;
            if (watched[0].revents)
                break;
            if ((watched[1].revents & POLLIN) && count < 18) {
                const int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (accepted >= 0)
                    watched[count++] = {accepted, POLLIN, 0};
            }
            for (nfds_t i = 2; i < count; ++i) {
                char chunk[4096];
                const ssize_t n = watched[i].revents ? ::read(watched[i].fd, chunk, sizeof chunk) : 0;
                received += n > 0 ? n : 0;
            }
        }
        [[maybe_unused]] const ssize_t told = ::write(result[1], &received, sizeof received);
        ::_exit(0);
    }
    ::close(fd);
    ::close(control[0]);
    ::close(result[1]);
    m_control = control[1];
    m_result = result[0];
    char ready = 0;
    pollfd wait{m_result, POLLIN, 0};
    if (pid < 0 || ::poll(&wait, 1, 10000) != 1 || ::read(m_result, &ready, 1) != 1 || ready != 'L') {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(m_control);
        ::close(m_result);
        m_control = m_result = -1;
        return;
    }
    m_pid = pid;
}

ForeignListener::~ForeignListener() {
    finish();
}

qint64 ForeignListener::finish(int timeoutMs) {
    if (m_pid <= 0)
        return -1;
    ::close(m_control);
    int64_t received = -1;
    pollfd wait{m_result, POLLIN, 0};
    if (::poll(&wait, 1, timeoutMs) != 1 || ::read(m_result, &received, sizeof received) != sizeof received)
        received = -1;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    ::close(m_result);
    m_pid = m_control = m_result = -1;
    return received;
}

QString bin(const char* name) {
    return binDir() + QLatin1Char('/') + QLatin1String(name);
}

pid_t listenerPid(const QString& path) {
    const int fd = platform::connectEndpoint(path);
    if (fd < 0)
        return -1;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
    ::close(fd);
    return known ? credentials.pid : -1;
}

bool waitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

bool waitGone(pid_t pid, int ms) {
    return waitUntil([pid] { return !platform::processAlive(pid); }, ms);
}

} // namespace morvane::test
