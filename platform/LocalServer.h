#pragma once

#include "Automation.h"
#include "JsonRpc.h"
#include "TypeInfo.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>
#include <mutex>

namespace morvane::platform {

// A class whose registration names a LocalServer32 command is served by a program of its own. While
// that program runs it listens on a Unix-domain socket named after the class, in the directory of the
// named single-instance objects; callers connect there and speak the wire protocol (JSON-RPC lines).

// "<lock directory>/morvane-{CLSID}.sock"; empty, with the reason in *error, when the lock directory may
// not be used (NamedMutex::lockDirectory).
QString endpointPath(const QString& clsid, QString* error = nullptr);

// Connects to an endpoint without waiting: a connected descriptor, or -1 with the reason in *error. Only a
// server of this user is talked to: when the process listening there runs as another user, the connection
// is closed before anything is sent and *refused is set.
int connectEndpoint(const QString& path, QString* error = nullptr, bool* refused = nullptr);

// The named lock that a server process of the class holds from its start until it has ended: while it
// is held and nothing listens, a server is on its way up or down, and a caller waits instead of starting
// another (which would find the single-instance lock taken and end at once).
QString serverLockName(const QString& clsid);

// Starts a LocalServer32 command with the switch -Embedding, detached from the caller; returns the
// process id, or -1 with the reason in *error. A command that names an existing file is that program
// alone (its path may hold blanks); otherwise it is split as a shell would.
qint64 startLocalServer(const QString& command, QString* error = nullptr);
// True while a process of that id exists.
bool processAlive(qint64 pid);

// How long a caller waits for a server it had to start.
constexpr int kDefaultActivationTimeoutMs = 30000;

// The way to a class's server, taken one step at a time, so that a caller may wait in a loop or on a
// timer. Each step connects when the server listens; otherwise, unless its own start is still alive or
// a server of the class holds the class's lock (one starting, or one that is ending), it starts the
// server's command (three starts at most), until the time is up. An endpoint of another user ends the
// way at once.
class ServerStart {
public:
    static constexpr int kStepMs = 20;
    enum class Outcome { Connected, Waiting, Failed };

    ServerStart(const QString& clsid, QString command, int timeoutMs);
    // Connected: *fd is a connected descriptor. Failed: *error says why. Waiting: step again later.
    Outcome step(int* fd, QString* error);

private:
    QString m_pathError;
    const QString m_path;
    const QString m_lockName;
    const QString m_command;
    const int m_timeoutMs;
    QElapsedTimer m_clock;
    qint64 m_pid = -1;
    int m_starts = 0;
};

// Connects to the server of a class, starting its command when nobody listens and waiting up to
// `timeoutMs` for it (ServerStart's policy).
// A connected descriptor, or -1 with the reason in *error. Blocks the calling thread.
int connectClassServer(const QString& clsid, const QString& command, int timeoutMs, QString* error = nullptr);

// An object that lives in another process, reached through its server's endpoint: each call travels
// as one request and waits for its reply. Calls from several threads take turns.
class RemoteObject : public DescribedDispatchObject {
    struct Passkey {};

public:
    // Creates the object on the other side (CreateObject) and reads its type information; throws
    // AutomationError with the server's answer when either fails.
    static std::shared_ptr<RemoteObject> create(std::unique_ptr<rpc::MessageChannel> channel, const QString& clsid);
    RemoteObject(Passkey, std::unique_ptr<rpc::MessageChannel> channel);

    HResult invoke(DispId id, Arguments& args, Variant& result, ErrorInfo& error) override;
    const TypeLibraryDesc& typeLibrary() const override { return m_library; }

private:
    std::mutex m_mutex; // guards m_client: one request at a time on the connection (any calling thread)
    rpc::Client m_client;
    TypeLibraryDesc m_library; // written once in create(), read-only afterwards
};

} // namespace morvane::platform
