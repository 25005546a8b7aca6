#include "LocalServer.h"

#include "NamedMutex.h"
#include "PrivateFiles.h"
#include "VariantJson.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace morvane::platform {

QString endpointPath(const QString& clsid, QString* error) {
    const QString directory = NamedMutex::lockDirectory(error);
    if (directory.isEmpty())
        return {};
    return directory + QStringLiteral("/morvane-") + clsid.toUpper() + QStringLiteral(".sock");
}

int connectEndpoint(const QString& path, QString* error, bool* refused) {
    if (refused)
        *refused = false;
    const QByteArray native = path.toLocal8Bit();
    sockaddr_un address = {};
    if (native.isEmpty()) {
        if (error)
            *error = QStringLiteral("no endpoint path");
        return -1;
    }
    if (native.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
        if (error)
            *error = QStringLiteral("the endpoint path %1 is too long for a local socket").arg(path);
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), static_cast<size_t>(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    // A local socket either connects at once or refuses; a full backlog (EAGAIN) counts as not ready.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return -1;
    }
    // Whoever listens there hears every call relayed to it (a new operator's password, a door command)
    // and could answer them in the server's stead: it must run as this user.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
        if (error)
            *error = QStringLiteral("%1: the process that listens there (pid %2) belongs to another user (%3), not to "
                                    "this one (%4); nothing is sent to it. End it and remove the file, or set "
                                    "MORVANE_LOCK_DIR to a directory of this user's own")
                         .arg(path)
                         .arg(peer.pid)
                         .arg(ownerText(peer.uid), ownerText(::geteuid()));
        if (refused)
            *refused = true;
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

QString serverLockName(const QString& clsid) {
    return QStringLiteral("server-") + clsid.toUpper();
}

qint64 startLocalServer(const QString& command, QString* error) {
    QString program = command.trimmed();
    QStringList arguments;
    if (!QFileInfo(program).isFile()) {
        arguments = QProcess::splitCommand(program);
        program = arguments.isEmpty() ? QString() : arguments.takeFirst();
    }
    if (program.isEmpty()) {
        if (error)
            *error = QStringLiteral("the class names no server command");
        return -1;
    }
    arguments.append(QStringLiteral("-Embedding"));
    qint64 pid = -1;
    if (!QProcess::startDetached(program, arguments, QString(), &pid)) {
        if (error)
            *error = QStringLiteral("cannot start %1").arg(program);
        return -1;
    }
    return pid;
}

bool processAlive(qint64 pid) {
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
        return false;
    // A process that has ended but that nobody has reaped yet (where the init process does not reap)
    // is not alive: its state is Z.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end < 0 || end + 2 >= line.size() || (line.at(end + 2) != 'Z' && line.at(end + 2) != 'X');
}

ServerStart::ServerStart(const QString& clsid, QString command, int timeoutMs)
    : m_path(endpointPath(clsid, &m_pathError))
    , m_lockName(serverLockName(clsid))
    , m_command(std::move(command))
    , m_timeoutMs(timeoutMs) {
    m_clock.start();
}

ServerStart::Outcome ServerStart::step(int* fd, QString* error) {
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return Outcome::Failed;
    };
    if (m_path.isEmpty())
        return fail(m_pathError);
    QString why;
    bool refused = false;
    *fd = connectEndpoint(m_path, &why, &refused);
    if (*fd >= 0)
        return Outcome::Connected;
    // Another user's process holds the endpoint: a server started now could not listen there either.
    if (refused)
        return fail(why);
    if (m_clock.elapsed() >= m_timeoutMs) {
        const QString state = NamedMutex::isHeld(m_lockName)
                                  ? QStringLiteral(" (a server of the class is still starting or ending)")
                                  : QString();
        return fail(
            QStringLiteral("the server %1 did not answer within %2 ms%3").arg(m_command).arg(m_timeoutMs).arg(state));
    }
    // A server that is ending has stopped listening but still holds its locks: a new one would find the
    // single-instance lock taken and end at once, so it is started only once the old one has gone.
    if (processAlive(m_pid) || NamedMutex::isHeld(m_lockName))
        return Outcome::Waiting;
    if (m_starts == 3)
        return fail(
            QStringLiteral("the server %1 ended without serving (started %2 times)").arg(m_command).arg(m_starts));
    m_pid = startLocalServer(m_command, &why);
    if (m_pid < 0)
        return fail(why);
    ++m_starts;
    return Outcome::Waiting;
}

int connectClassServer(const QString& clsid, const QString& command, int timeoutMs, QString* error) {
    ServerStart start(clsid, command, timeoutMs);
    int fd = -1;
    ServerStart::Outcome outcome;
    while ((outcome = start.step(&fd, error)) == ServerStart::Outcome::Waiting)
        std::this_thread::sleep_for(std::chrono::milliseconds(ServerStart::kStepMs));
    return outcome == ServerStart::Outcome::Connected ? fd : -1;
}

std::shared_ptr<RemoteObject> RemoteObject::create(std::unique_ptr<rpc::MessageChannel> channel, const QString& clsid) {
    auto object = std::make_shared<RemoteObject>(Passkey{}, std::move(channel));
    const auto check = [](const rpc::Reply& reply) {
        if (!reply.ok)
            throw AutomationError(reply.hresult < 0 ? reply.hresult : hr::E_UNEXPECTED, reply.message,
                                  reply.helpContext);
    };
    check(object->m_client.call(rpc::kCreateObject, QJsonObject{{QStringLiteral("clsid"), clsid}}));
    const rpc::Reply info = object->m_client.call(rpc::kGetTypeInfo);
    check(info);
    QString why;
    auto library = TypeLibraryDesc::fromJson(info.result.value(QStringLiteral("typeLibrary")).toObject(), &why);
    if (!library)
        throw AutomationError(hr::E_UNEXPECTED,
                              QStringLiteral("The server's type information is not readable: %1").arg(why));
    object->m_library = std::move(*library);
    return object;
}

RemoteObject::RemoteObject(Passkey, std::unique_ptr<rpc::MessageChannel> channel)
    : m_client(std::move(channel)) {}

HResult RemoteObject::invoke(DispId id, Arguments& args, Variant& result, ErrorInfo& error) {
    const MethodDesc* method = m_library.dispatchInterface.findByDispId(id);
    if (!method) {
        error.message = QStringLiteral("Member not found");
        return hr::DISP_E_MEMBERNOTFOUND;
    }
    QJsonArray params;
    for (const Argument& arg : args)
        params.append(variantToJson(arg.value()));
    rpc::Reply reply;
    {
        std::lock_guard lock(m_mutex);
        reply = m_client.call(QLatin1Char('#') + QString::number(id), params);
    }
    if (!reply.ok) {
        error.message = reply.message;
        error.helpContext = reply.helpContext;
        return reply.hresult < 0 ? reply.hresult : hr::E_UNEXPECTED;
    }
    const QJsonObject out = reply.result.value(QStringLiteral("out")).toObject();
    for (auto it = out.constBegin(); it != out.constEnd(); ++it) {
        for (qsizetype i = 0; i < method->params.size() && i < static_cast<qsizetype>(args.size()); ++i) {
            if (method->params.at(i).name.compare(it.key(), Qt::CaseInsensitive) != 0)
                continue;
            if (auto value = variantFromJson(it.value()))
                args[static_cast<size_t>(i)].set(*value);
        }
    }
    QString why;
    const auto retval = variantFromJson(reply.result.value(QStringLiteral("retval")), &why);
    if (!retval) {
        error.message = QStringLiteral("The server's result is not readable: %1").arg(why);
        return hr::E_UNEXPECTED;
    }
    result = *retval;
    return reply.hresult;
}

} // namespace morvane::platform
