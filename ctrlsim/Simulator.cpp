#include "Simulator.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace morvane::ctrlsim {

using namespace ctrlproto;

namespace {

constexpr qsizetype kLogLimit = 10000;           // the oldest entries go first
constexpr qsizetype kControlLineLimit = 1 << 20; // a longer control line is refused and dropped
constexpr size_t kSessionsKept = 256;            // reply caches per controller

QJsonObject failure(const QString& why) {
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}};
}

} // namespace

Simulator::Simulator(QObject* parent)
    : QObject(parent) {}

Simulator::~Simulator() {
    for (size_t i = 0; i < m_ptys.size(); ++i)
        closePty(i);
}

bool Simulator::readConfig(const QString& path, QJsonObject* config, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("%1: not a JSON object (%2)").arg(path, parseError.errorString());
        return false;
    }
    *config = document.object();
    return true;
}

bool Simulator::start(const QJsonObject& config, QString* error) {
    const QJsonValue list = config.value(QStringLiteral("controllers"));
    if (!list.isArray()) {
        *error = QStringLiteral("the configuration has no \"controllers\" list");
        return false;
    }
    for (const QJsonValue& entry : list.toArray()) {
        auto state = std::make_unique<ControllerState>();
        if (!entry.isObject() || !state->configure(entry.toObject(), error)) {
            if (!entry.isObject())
                *error = QStringLiteral("a controller entry is not an object");
            return false;
        }
        if (find(state->mac())) {
            *error = QStringLiteral("%1 is configured twice").arg(state->mac());
            return false;
        }
        m_controllers.push_back(std::move(state));
    }
    m_sockets.assign(m_controllers.size(), nullptr);
    m_ptys.assign(m_controllers.size(), Pty());
    m_lastReplies.assign(m_controllers.size(), {});
    for (size_t i = 0; i < m_controllers.size(); ++i) {
        ControllerState& state = *m_controllers[i];
        if (state.kind() == ControllerState::Kind::Switch) {
            if (!openPty(i, error))
                return false;
            continue;
        }
        auto* socket = new QUdpSocket(this);
        // Loopback only: no proxy look-up (which would start a resolver thread of its own).
        socket->setProxy(QNetworkProxy::NoProxy);
        if (!socket->bind(QHostAddress(state.ip()), state.port())) {
            *error = QStringLiteral("%1: cannot bind %2:%3: %4")
                         .arg(state.mac(), state.ip())
                         .arg(state.port())
                         .arg(socket->errorString());
            return false;
        }
        m_sockets[i] = socket;
        connect(socket, &QUdpSocket::readyRead, this, [this, i]() { onDatagrams(i); });
    }
    m_control = new QTcpServer(this);
    m_control->setProxy(QNetworkProxy::NoProxy);
    const int port = config.value(QStringLiteral("controlPort")).toInt(0);
    if (port < 0 || port > 65535 || !m_control->listen(QHostAddress::LocalHost, static_cast<quint16>(port))) {
        *error = QStringLiteral("cannot listen on control port %1: %2").arg(port).arg(m_control->errorString());
        return false;
    }
    m_controlPort = m_control->serverPort();
    connect(m_control, &QTcpServer::newConnection, this, &Simulator::onControlConnection);
    return true;
}

bool Simulator::openPty(size_t index, QString* error) {
    Pty& pty = m_ptys[index];
    const ControllerState& state = *m_controllers[index];
    pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[256] = {};
    if (pty.master < 0 || ::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0 ||
        ::ptsname_r(pty.master, name, sizeof name) != 0) {
        *error = QStringLiteral("%1: cannot make a pseudo-terminal").arg(state.mac());
        return false;
    }
    pty.keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (pty.keeper < 0 || ::tcgetattr(pty.keeper, &settings) != 0) {
        *error = QStringLiteral("%1: cannot open %2").arg(state.mac(), QString::fromLocal8Bit(name));
        return false;
    }
    // Raw from the start: no echo and no line editing of the frames before the component opens it.
    ::cfmakeraw(&settings);
    ::tcsetattr(pty.keeper, TCSANOW, &settings);
    ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    {
        std::unique_lock lock(m_mutex);
        pty.path = QString::fromLocal8Bit(name);
    }
    if (!state.linkPath().isEmpty()) {
        const QFileInfo link(state.linkPath());
        if (link.isSymLink())
            QFile::remove(state.linkPath());
        if (!QFile::link(pty.path, state.linkPath())) {
            *error = QStringLiteral("%1: cannot make the link %2").arg(state.mac(), state.linkPath());
            return false;
        }
    }
    pty.notifier = new QSocketNotifier(pty.master, QSocketNotifier::Read, this);
    connect(pty.notifier, &QSocketNotifier::activated, this, [this, index]() { onPtyReadable(index); });
    return true;
}

void Simulator::closePty(size_t index) {
    Pty& pty = m_ptys[index];
    if (pty.notifier) {
        pty.notifier->setEnabled(false);
        pty.notifier->deleteLater();
        pty.notifier = nullptr;
    }
    if (pty.master >= 0)
        ::close(pty.master);
    if (pty.keeper >= 0)
        ::close(pty.keeper);
    pty.master = pty.keeper = -1;
    const QString link = m_controllers[index]->linkPath();
    if (!link.isEmpty() && QFileInfo(link).isSymLink())
        QFile::remove(link);
    std::unique_lock lock(m_mutex);
    pty.path.clear();
}

std::optional<QByteArray> Simulator::handleFrame(size_t index, const QByteArray& frame, int* delayMs) {
    if (m_controllers[index]->kind() == ControllerState::Kind::Board) {
        std::unique_lock lock(m_mutex);
        ControllerState& state = *m_controllers[index];
        *delayMs = state.delayMs();
        if (state.silent())
            return std::nullopt;
        QJsonObject entry;
        auto reply = state.answerBoard(frame, &entry);
        if (!reply)
            return std::nullopt;
        m_log.append(entry);
        if (m_log.size() > kLogLimit)
            m_log.removeFirst();
        const QString line = state.lastLogLine();
        lock.unlock();
        emit logLine(line);
        if (reply->isEmpty())
            return std::nullopt;
        return reply;
    }
    QString error;
    const auto request = decodeRequest(frame, &error);
    std::unique_lock lock(m_mutex);
    ControllerState& state = *m_controllers[index];
    *delayMs = state.delayMs();
    if (state.silent())
        return std::nullopt;
    if (!request) {
        // Garbage without ids is dropped; a frame that names its ids is told what was wrong.
        uint32_t session = 0;
        uint32_t sequence = 0;
        if (!peekIds(frame, session, sequence))
            return std::nullopt;
        Reply reply;
        reply.session = session;
        reply.sequence = sequence;
        reply.mac = state.mac();
        reply.error = error;
        return encodeReply(reply);
    }
    auto& cache = m_lastReplies[index];
    const auto cached = cache.find(request->session);
    if (cached != cache.end() && cached->second.sequence == request->sequence)
        return cached->second.frame; // a resent request is answered again, not carried out twice
    const Reply reply = state.answer(*request);
    QByteArray encoded = encodeReply(reply);
    if (cache.size() >= kSessionsKept && cached == cache.end())
        cache.erase(cache.begin());
    cache[request->session] = LastReply{request->sequence, encoded};
    m_log.append(state.lastEntry());
    if (m_log.size() > kLogLimit)
        m_log.removeFirst();
    const QString line = state.lastLogLine();
    lock.unlock();
    emit logLine(line);
    return encoded;
}

void Simulator::onDatagrams(size_t index) {
    QUdpSocket* socket = m_sockets[index];
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(kMaxFrameBytes + 1);
        if (!datagram.isValid() || datagram.data().size() > kMaxFrameBytes)
            continue;
        int delayMs = 0;
        const auto reply = handleFrame(index, datagram.data(), &delayMs);
        if (!reply)
            continue;
        const QHostAddress sender = datagram.senderAddress();
        const quint16 senderPort = datagram.senderPort();
        if (delayMs <= 0) {
            socket->writeDatagram(*reply, sender, senderPort);
        } else {
            QTimer::singleShot(delayMs, socket, [socket, frame = *reply, sender, senderPort]() {
                socket->writeDatagram(frame, sender, senderPort);
            });
        }
    }
}

void Simulator::onPtyReadable(size_t index) {
    Pty& pty = m_ptys[index];
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(pty.master, chunk, sizeof chunk);
        if (got > 0) {
            pty.pending.append(chunk, static_cast<qsizetype>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    qsizetype end;
    while ((end = pty.pending.indexOf('\n')) >= 0) {
        const QByteArray line = pty.pending.left(end).trimmed();
        pty.pending.remove(0, end + 1);
        if (line.isEmpty() || line.size() > kMaxFrameBytes)
            continue;
        int delayMs = 0;
        auto reply = handleFrame(index, line, &delayMs);
        if (!reply)
            continue;
        reply->append('\n');
        auto write = [this, index](const QByteArray& frame) {
            // A full terminal buffer drops the reply, as a line that nobody reads would.
            if (m_ptys[index].master >= 0)
                (void)::write(m_ptys[index].master, frame.constData(), static_cast<size_t>(frame.size()));
        };
        if (delayMs <= 0)
            write(*reply);
        else
            QTimer::singleShot(delayMs, this, [write, frame = *reply]() { write(frame); });
    }
    if (pty.pending.size() > 2 * kMaxFrameBytes)
        pty.pending.clear();
}

void Simulator::onControlConnection() {
    while (QTcpSocket* socket = m_control->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onControlReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void Simulator::onControlReadable(QTcpSocket* socket) {
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(kControlLineLimit).trimmed();
        if (line.isEmpty())
            continue;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        const QJsonObject answer = parseError.error != QJsonParseError::NoError || !document.isObject()
                                       ? failure(QStringLiteral("not a JSON object"))
                                       : control(document.object());
        socket->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
    }
    if (socket->bytesAvailable() > kControlLineLimit) {
        socket->write(QJsonDocument(failure(QStringLiteral("line too long"))).toJson(QJsonDocument::Compact) + '\n');
        socket->disconnectFromHost();
    }
}

void Simulator::processHangups() {
    std::vector<size_t> hangups;
    {
        std::lock_guard lock(m_mutex);
        hangups.swap(m_hangups);
    }
    for (size_t index : hangups)
        closePty(index);
}

ControllerState* Simulator::find(const QString& mac) {
    const auto normalised = normaliseMac(mac);
    if (!normalised)
        return nullptr;
    for (const auto& state : m_controllers) {
        if (state->mac() == *normalised)
            return state.get();
    }
    return nullptr;
}

QString Simulator::ptyPath(const QString& mac) const {
    const auto normalised = normaliseMac(mac);
    std::unique_lock lock(m_mutex);
    for (size_t i = 0; i < m_controllers.size() && normalised; ++i) {
        if (m_controllers[i]->mac() == *normalised)
            return m_ptys[i].path;
    }
    return {};
}

QStringList Simulator::startupLines() const {
    QStringList lines{QStringLiteral("control port %1").arg(m_controlPort)};
    for (size_t i = 0; i < m_controllers.size(); ++i) {
        const ControllerState& state = *m_controllers[i];
        if (state.kind() == ControllerState::Kind::Lock)
            lines.append(QStringLiteral("lock %1 at %2:%3").arg(state.mac(), state.ip()).arg(state.port()));
        else if (state.kind() == ControllerState::Kind::Board)
            lines.append(QStringLiteral("uhppote %1 at %2:%3").arg(state.mac(), state.ip()).arg(state.port()));
        else
            lines.append(QStringLiteral("switch %1 on %2").arg(state.mac(), ptyPath(state.mac())));
    }
    return lines;
}

QJsonObject Simulator::control(const QJsonObject& message) {
    const QString command = message.value(QStringLiteral("cmd")).toString();
    if (command.isEmpty())
        return failure(QStringLiteral("no \"cmd\""));
    const QString mac = message.value(QStringLiteral("mac")).toString();
    if (command == QLatin1String("hangup")) {
        // The terminal belongs to the simulator's thread: it is closed there.
        size_t index = m_controllers.size();
        for (size_t i = 0; i < m_controllers.size(); ++i) {
            if (normaliseMac(mac) == m_controllers[i]->mac() &&
                m_controllers[i]->kind() == ControllerState::Kind::Switch)
                index = i;
        }
        if (index == m_controllers.size())
            return failure(QStringLiteral("no switch \"%1\"").arg(mac));
        QMetaObject::invokeMethod(
            this, [this, index]() { closePty(index); }, Qt::QueuedConnection);
        return {{QStringLiteral("ok"), true}};
    }
    std::unique_lock lock(m_mutex);
    if (command == QLatin1String("list")) {
        QJsonArray list;
        for (size_t i = 0; i < m_controllers.size(); ++i) {
            const ControllerState& state = *m_controllers[i];
            const QString kind = state.kind() == ControllerState::Kind::Lock    ? QStringLiteral("lock")
                                 : state.kind() == ControllerState::Kind::Board ? QStringLiteral("uhppote")
                                                                                : QStringLiteral("switch");
            QJsonObject entry{{QStringLiteral("mac"), state.mac()}, {QStringLiteral("kind"), kind}};
            if (state.kind() != ControllerState::Kind::Switch) {
                entry.insert(QStringLiteral("ip"), state.ip());
                entry.insert(QStringLiteral("port"), state.port());
            } else {
                entry.insert(QStringLiteral("pty"), m_ptys[i].path);
            }
            list.append(entry);
        }
        return {{QStringLiteral("ok"), true}, {QStringLiteral("controllers"), list}};
    }
    if (command == QLatin1String("log")) {
        QJsonArray entries;
        QJsonArray others; // what a clear for one controller keeps
        const auto wanted = mac.isEmpty() ? std::optional<QString>() : normaliseMac(mac);
        if (!mac.isEmpty() && !wanted)
            return failure(QStringLiteral("bad \"mac\""));
        for (const QJsonValue& entry : m_log) {
            if (!wanted || entry.toObject().value(QStringLiteral("mac")).toString() == *wanted)
                entries.append(entry);
            else
                others.append(entry);
        }
        if (message.value(QStringLiteral("clear")).toBool())
            m_log = others;
        return {{QStringLiteral("ok"), true}, {QStringLiteral("log"), entries}};
    }
    if (command == QLatin1String("clearlog")) {
        m_log = QJsonArray();
        return {{QStringLiteral("ok"), true}};
    }
    ControllerState* state = find(mac);
    if (!state)
        return failure(mac.isEmpty() ? QStringLiteral("no \"mac\"") : QStringLiteral("no controller \"%1\"").arg(mac));
    return state->control(command, message);
}

} // namespace morvane::ctrlsim
