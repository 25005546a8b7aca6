#pragma once

// Defined in a build with ThreadSanitizer, whose runtime cannot fork a process that has had threads:
// tests that start child processes skip there.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MORVANE_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define MORVANE_UNDER_TSAN 1
#endif

#include "Automation.h"
#include "MessageBox.h"
#include "NamedMutex.h"

#include <QJsonObject>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>

namespace morvane::test {

// One change of a delta: state 4 an insert (new values only), 2 a delete (old only), 8 an edit (both).
QJsonObject change(int state, const QJsonObject& oldValues, const QJsonObject& newValues);

// A private world for one test: a temporary program directory (with its own systeminfo.ini), a private
// class registry and a private lock directory. The environment variables MORVANE_PROGRAM_DIR,
// MORVANE_REGISTRY and MORVANE_LOCK_DIR point at them for this process and the programs it starts,
// and are restored when the object goes.
class TestEnvironment {
public:
    TestEnvironment();
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment&) = delete;
    TestEnvironment& operator=(const TestEnvironment&) = delete;

    QString programDir() const; // with trailing separator
    QString registryPath() const;
    QString lockDir() const;
    QString path(const QString& name) const; // inside the program directory

    void writeSystemInfo(const QByteArray& content);
    void writeFile(const QString& name, const QByteArray& content);
    QByteArray readFile(const QString& path) const;

    QProcessEnvironment processEnvironment() const;

    // Puts the socket server program beside the server and holds its single-instance object, so that a
    // server started here finds a socket server running and starts none.
    void holdSocketServer();

private:
    QTemporaryDir m_root;
    std::unique_ptr<platform::NamedMutex> m_socketServerLock;
    QList<QPair<QByteArray, std::optional<QByteArray>>> m_saved;
};

// Records every message box shown through the platform layer and answers each one.
class MessageCapture {
public:
    explicit MessageCapture(platform::MessageAnswer answer = platform::MessageAnswer::Ok);
    ~MessageCapture();
    QList<platform::MessageRequest> messages() const;
    void setAnswer(platform::MessageAnswer answer);

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// The directory of the built programs.
QString binDir();
// A program of the build, by name.
QString bin(const char* name);
// The pid of the process that listens on a local socket; -1 when none answers.
pid_t listenerPid(const QString& path);
// Whether `done` holds within `ms`, asked every 20 ms while the event loop turns.
bool waitUntil(const std::function<bool()>& done, int ms);
// Whether the process has ended within `ms`, the event loop turning meanwhile.
bool waitGone(pid_t pid, int ms);

// The private PostgreSQL server that the test run started (MORVANE_TEST_PG_* variables), if any.
struct PgServer {
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString serverName() const { return host + QLatin1Char(':') + QString::number(port); }
    static std::optional<PgServer> fromEnvironment();
};

struct ProcessResult {
    bool finished = false;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// A loopback address of its own for each run (127.100-249.x.y), so that runs side by side never share a
// simulated controller.
QString randomLoopback();

// The datagram socket a service manager would give ($NOTIFY_SOCKET): a program says "READY=1" on it
// once its message loop runs.
class ReadyListener {
public:
    explicit ReadyListener(const QString& path);
    ~ReadyListener();
    ReadyListener(const ReadyListener&) = delete;
    ReadyListener& operator=(const ReadyListener&) = delete;
    bool waitReady(int timeoutMs);
    const QString& path() const { return m_path; }

private:
    QString m_path;
    int m_fd = -1;
};

// Loads a component library into this process (no child process: the thread sanitizer cannot fork
// one) and, when asked, runs its registration into the registry of the environment. Its class factory
// entry, or null with the reason in *error.
platform::GetClassObjectFn loadComponent(const QString& path, bool registerIt, QString* error = nullptr);

// A UDP socket bound to ip:port (a simulated peer's address), or -1.
int boundUdpSocket(const QString& ip, uint16_t port);

// The number after `key` ("VmHWM:", "Threads:") in /proc/PID/status, -1 when it cannot be read.
long processStatus(qint64 pid, const char* key);
// The resident memory of a process in KiB (VmRSS), -1 when it cannot be read.
long residentKiB(qint64 pid);
// The processor time a process has used (user and system), in ms; -1 when it cannot be read.
double processCpuMs(qint64 pid);

// What a local user who took a service's endpoint first would be: a Unix-domain socket at `path` (the file
// theirs too) listening in a child process that runs as that user (uid 65534, root only: it changes its
// user). It accepts every connection and counts what they carry, until finish().
class ForeignListener {
public:
    static constexpr unsigned kUid = 65534;
    explicit ForeignListener(const QString& path);
    ~ForeignListener();
    ForeignListener(const ForeignListener&) = delete;
    ForeignListener& operator=(const ForeignListener&) = delete;
    bool listening() const { return m_pid > 0; }
    // Ends the child: the bytes its connections carried, -1 when it could not say within the time.
    qint64 finish(int timeoutMs = 10000);

private:
    int m_pid = -1;
    int m_control = -1; // closing it tells the child to end
    int m_result = -1;  // the child writes its count here
};

// `input`, when not null, is the program's standard input, closed after it.
ProcessResult runProgram(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
                         int timeoutMs = 20000, const QByteArray& input = QByteArray());

} // namespace morvane::test

// Tests that need the PostgreSQL server skip without it, except under CI, where its absence is a failure.
#define MORVANE_REQUIRE_PG(var)                                                                                        \
    const auto var##Optional = morvane::test::PgServer::fromEnvironment();                                             \
    if (!var##Optional) {                                                                                              \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                                                       \
            QFAIL("CI must provide the PostgreSQL server (MORVANE_TEST_PG_PORT)");                                     \
        QSKIP("no PostgreSQL server for the tests (MORVANE_TEST_PG_PORT unset)");                                      \
    }                                                                                                                  \
    const morvane::test::PgServer& var = *var##Optional
