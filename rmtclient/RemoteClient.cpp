#include "RemoteClient.h"

#include "Watch.h"

#include "ProviderCommands.h"
#include "TlsLineChannel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <cstdio>
#include <cstring>
#include <deque>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morvane::rmtclient {

namespace rpc = platform::rpc;
namespace hr = platform::hr;

namespace {

const QString kDefaultProgId = QStringLiteral("server.rmtserver");

// One JSON object per WebSocket text message, waited for in a local event loop.
class WebSocketChannel : public rpc::MessageChannel {
public:
    WebSocketChannel(const QUrl& url, int timeoutMs, const QSslConfiguration& tls)
        : m_timeoutMs(timeoutMs) {
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket,
                         [this](const QString& text) { m_messages.push_back(text.toUtf8()); });
        QObject::connect(&m_socket, &QWebSocket::disconnected, &m_socket, [this] { m_closed = true; });
        QObject::connect(&m_socket, &QWebSocket::sslErrors, &m_socket, [this](const QList<QSslError>& errors) {
            for (const QSslError& error : errors)
                m_tlsErrors.append(error.errorString());
        });
        if (url.scheme() == QLatin1String("wss"))
            m_socket.setSslConfiguration(tls);
        m_socket.open(url);
        waitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState || m_closed; });
    }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QString errorText() const {
        return m_tlsErrors.isEmpty() ? m_socket.errorString() : m_tlsErrors.join(QStringLiteral("; "));
    }

    bool send(const QByteArray& message, QString* error) override {
        if (!connected()) {
            if (error)
                *error = QStringLiteral("the WebSocket is closed");
            return false;
        }
        m_socket.sendTextMessage(QString::fromUtf8(message));
        m_socket.flush();
        return true;
    }

    std::optional<QByteArray> receive(QString* error) override {
        if (!waitFor([this] { return !m_messages.empty() || m_closed; }) && m_messages.empty()) {
            if (error)
                *error = QStringLiteral("no reply within the time-out");
            return std::nullopt;
        }
        if (m_messages.empty()) {
            if (error)
                *error = QStringLiteral("the connection was closed: %1").arg(m_socket.closeReason());
            return std::nullopt;
        }
        QByteArray message = m_messages.front();
        m_messages.pop_front();
        return message;
    }

private:
    template <typename Done>
    bool waitFor(Done done) {
        if (done())
            return true;
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        check.start(1);
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        if (m_timeoutMs > 0)
            limit.start(m_timeoutMs);
        loop.exec();
        return done();
    }

    QWebSocket m_socket;
    QStringList m_tlsErrors;
    int m_timeoutMs;
    std::deque<QByteArray> m_messages;
    bool m_closed = false;
};

int connectTcp(const QString& host, quint16 port, QString* error) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status =
        ::getaddrinfo(host.toLocal8Bit().constData(), QByteArray::number(port).constData(), &hints, &found);
    if (status != 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(host, QString::fromLocal8Bit(::gai_strerror(status)));
        return -1;
    }
    int fd = -1;
    QString why;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            why = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("cannot connect to %1:%2: %3").arg(host).arg(port).arg(why);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// A word as a JSON value, when it reads as one.
std::optional<QJsonValue> jsonWord(const QString& word) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson("[" + word.toUtf8() + "]", &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return std::nullopt;
    return document.array().first();
}

QJsonValue typedWord(const platform::ParamDesc* param, const QString& word) {
    if (!param)
        return jsonWord(word).value_or(QJsonValue(word));
    switch (param->type) {
    case platform::ParamType::Int32:
    case platform::ParamType::Int32Ptr: {
        // Decimal, or hexadecimal after 0x; a leading 0 is not octal.
        const QString number = word.trimmed();
        bool ok = false;
        const int value = number.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? number.mid(2).toInt(&ok, 16)
                                                                                      : number.toInt(&ok, 10);
        // A word that is no number goes as text: the server says why it does not fit.
        return ok ? QJsonValue(value) : QJsonValue(word);
    }
    case platform::ParamType::BStr: {
        // A text written in double quotes, as in a script, is that text.
        const auto json = jsonWord(word);
        return json && json->isString() ? *json : QJsonValue(word);
    }
    case platform::ParamType::Variant:
    case platform::ParamType::VariantPtr:
        break;
    }
    return jsonWord(word).value_or(QJsonValue(word));
}

// Splits a script line into words at blanks, keeping a double-quoted text (with its escapes) and a
// bracketed JSON value whole, quotes and all, so that each reads back as the JSON it was written as.
QStringList splitWords(const QString& line) {
    QStringList words;
    QString word;
    int depth = 0;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted) {
            word.append(c);
            if (c == QLatin1Char('\\') && i + 1 < line.size())
                word.append(line.at(++i));
            else if (c == QLatin1Char('"'))
                quoted = false;
            continue;
        }
        if (c.isSpace() && depth == 0) {
            if (!word.isEmpty())
                words.append(word);
            word.clear();
            continue;
        }
        if (c == QLatin1Char('"'))
            quoted = true;
        else if (c == QLatin1Char('{') || c == QLatin1Char('['))
            ++depth;
        else if ((c == QLatin1Char('}') || c == QLatin1Char(']')) && depth > 0)
            --depth;
        word.append(c);
    }
    if (!word.isEmpty())
        words.append(word);
    return words;
}

void printJson(const QJsonObject& object, bool indented = false) {
    const QByteArray text = QJsonDocument(object).toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    if (!indented)
        std::fputc('\n', stdout);
    std::fflush(stdout);
}

// What the client prints of a reply: its result, or the error as the server wrote it.
QJsonObject printable(const rpc::Reply& reply) {
    if (reply.ok)
        return reply.result;
    return QJsonObject{{QStringLiteral("error"), rpc::errorObject(reply.hresult, reply.message, reply.helpContext)}};
}

const char* kUsage =
    "usage: rmtclient [--tcp HOST:PORT | --ws URL] [--tls] [--ca FILE] [--operator NAME] [--password-file FILE]\n"
    "                 [--token TOKEN] [--progid NAME | --clsid {...}] [--timeout-ms N] COMMAND\n"
    "  Log-on: --token or MORVANE_TOKEN, else the operator (--operator or MORVANE_OPERATOR) and the password\n"
    "  (--password-file or MORVANE_PASSWORD), else asked at the terminal; without any, no log-on is tried\n"
    "  unless the server asks for one.\n"
    "  logon                   logs on and prints the token (JSON) for later runs with --token\n"
    "  passwd                  changes the operator's password (asked twice; lines of stdin when no terminal)\n"
    "  audit [--since T]       the audit log's lines since T (YYYY-MM-DDTHH:MM:SS, default a day ago)\n"
    "  call METHOD [ARG ...]   one call on a new object (arguments typed by the type library)\n"
    "  typeinfo                the type library of the object, as JSON\n"
    "  script FILE             several calls on one object, one per line (words or a JSON request); - is stdin\n"
    "  providers               the names of the data providers\n"
    "  get PROVIDER [SQL] [--count N]   the provider's records (with SQL as its command text)\n"
    "  exec PROVIDER SQL       runs SQL as a command through the provider\n"
    "  apply PROVIDER DELTA.json [SQL] [--max-errors N]   writes a delta back (SQL: the statement it edits)\n"
    "  request PROVIDER VALUE  the provider's data request with VALUE (JSON when it reads as JSON, else text)\n"
    "  --table after a provider command prints packets as an aligned text table\n"
    "  watch [--since N] [--kinds K,...] [--locks MAC,...] [--json] [--count N]\n"
    "                          the server's events, one line each, resuming by itself after a lost connection\n";

} // namespace

std::unique_ptr<rpc::MessageChannel> connectChannel(const Endpoint& endpoint, int timeoutMs, QString* error) {
    QUrl url(endpoint.webSocketUrl);
    QSslConfiguration tls;
    const bool secure = endpoint.tls || url.scheme() == QLatin1String("wss");
    if (secure && !clientTlsConfiguration(endpoint.caFile, tls, error))
        return nullptr;
    if (!endpoint.webSocketUrl.isEmpty()) {
        if (secure)
            url.setScheme(QStringLiteral("wss"));
        auto channel = std::make_unique<WebSocketChannel>(url, timeoutMs, tls);
        if (!channel->connected()) {
            if (error)
                *error = QStringLiteral("cannot connect to %1: %2").arg(url.toString(), channel->errorText());
            return nullptr;
        }
        return channel;
    }
    // The limit on a message protects a server from its clients; a client takes any reply its server
    // sends (a data packet of all of a big table).
    constexpr qint64 kLargestReply = qint64(1) << 32;
    if (secure) {
        auto channel = std::make_unique<TlsLineChannel>(kLargestReply, timeoutMs);
        if (!channel->open(endpoint.tcpHost, endpoint.tcpPort, tls, error))
            return nullptr;
        return channel;
    }
    const int fd = connectTcp(endpoint.tcpHost, endpoint.tcpPort, error);
    if (fd < 0)
        return nullptr;
    auto channel = std::make_unique<rpc::SocketLineChannel>(fd, kLargestReply);
    if (timeoutMs > 0)
        channel->setReceiveTimeout(timeoutMs);
    return channel;
}

QJsonArray typedParams(const platform::MethodDesc* method, const QStringList& words) {
    QJsonArray params;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const platform::ParamDesc* param = method && i < method->params.size() ? &method->params.at(i) : nullptr;
        params.append(typedWord(param, words.at(i)));
    }
    return params;
}

Session::Session(std::unique_ptr<rpc::MessageChannel> channel)
    : m_client(std::move(channel)) {}

rpc::Reply Session::logon(const Credentials& credentials) {
    return m_client.call(QStringLiteral("Logon"), credentials.logonParams());
}

const rpc::Reply& Session::create(const QString& progIdOrClsid) {
    const QString key = progIdOrClsid.startsWith(QLatin1Char('{')) ? QStringLiteral("clsid") : QStringLiteral("progid");
    m_created = m_client.call(rpc::kCreateObject, QJsonObject{{key, progIdOrClsid}});
    if (!m_created.ok)
        return m_created;
    const rpc::Reply info = m_client.call(rpc::kGetTypeInfo);
    if (info.ok) {
        m_typeInfo = info.result.value(QStringLiteral("typeLibrary")).toObject();
        m_typeLibrary = platform::TypeLibraryDesc::fromJson(m_typeInfo);
    }
    return m_created;
}

rpc::Reply Session::callWords(const QStringList& words) {
    const QString method = words.value(0);
    const platform::MethodDesc* desc = nullptr;
    if (m_typeLibrary) {
        const auto& itf = m_typeLibrary->dispatchInterface;
        desc = method.startsWith(QLatin1Char('#')) ? itf.findByDispId(method.mid(1).toInt()) : itf.findByName(method);
    }
    return m_client.call(method, typedParams(desc, words.mid(1)));
}

rpc::Reply Session::call(const QString& method, const QJsonValue& params) {
    return m_client.call(method, params);
}

rpc::Reply Session::callLine(const QString& line) {
    const QString trimmed = line.trimmed();
    if (!trimmed.startsWith(QLatin1Char('{')))
        return callWords(splitWords(trimmed));
    const QJsonDocument document = QJsonDocument::fromJson(trimmed.toUtf8());
    // A line that is not a JSON object goes as written: the server answers what is wrong with it.
    return document.isObject() ? m_client.callRequest(document.object()) : m_client.callRaw(trimmed.toUtf8());
}

namespace {

int runScript(Session& session, const QString& path) {
    QFile file;
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        std::fprintf(stderr, "rmtclient: cannot read %s\n", qPrintable(path));
        return 2;
    }
    int status = 0;
    QTextStream lines(&file);
    while (!lines.atEnd()) {
        const QString line = lines.readLine();
        // Comments begin with '#'; "#325 ..." is a call by DISPID.
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() ||
            (trimmed.startsWith(QLatin1Char('#')) && !(trimmed.size() > 1 && trimmed.at(1).isDigit())))
            continue;
        const rpc::Reply reply = session.callLine(line);
        printJson(printable(reply));
        if (!reply.ok) {
            status = 1;
            if (reply.hresult == hr::RPC_E_DISCONNECTED)
                break;
        }
    }
    return status;
}

// The operator's new password, asked twice; its reply printed (never a password).
int changePassword(Session& session, const Credentials& credentials) {
    std::optional<QString> old = credentials.password;
    if (!credentials.token.isEmpty() || old->isEmpty())
        old = readSecret(QStringLiteral("Current password: "));
    const std::optional<QString> first = old ? readSecret(QStringLiteral("New password: ")) : std::nullopt;
    const std::optional<QString> again = first ? readSecret(QStringLiteral("New password again: ")) : std::nullopt;
    if (!again || first->isEmpty()) {
        std::fprintf(stderr, "rmtclient: passwd needs the current password and the new one twice\n");
        return 2;
    }
    if (*first != *again) {
        std::fprintf(stderr, "rmtclient: the two new passwords differ; nothing was changed\n");
        return 2;
    }
    const rpc::Reply reply = session.call(QStringLiteral("ChangePassword"),
                                          QJsonObject{{QStringLiteral("old"), *old}, {QStringLiteral("new"), *first}});
    printJson(printable(reply));
    return reply.ok ? 0 : 1;
}

int printAudit(Session& session, const QString& since) {
    const rpc::Reply reply = session.call(QStringLiteral("AuditLog"), QJsonObject{{QStringLiteral("since"), since}});
    if (!reply.ok) {
        printJson(printable(reply));
        return 1;
    }
    for (const QJsonValue& line : reply.result.value(QStringLiteral("lines")).toArray())
        printJson(line.toObject());
    if (reply.result.value(QStringLiteral("truncated")).toBool())
        std::fprintf(stderr, "rmtclient: more lines were left out; ask for a later --since\n");
    return 0;
}

bool logOnFirst(const rpc::Reply& reply) {
    return !reply.ok && reply.hresult == hr::E_ACCESSDENIED && reply.message.startsWith(QLatin1String("Log on first"));
}

} // namespace

int run(const QStringList& arguments) {
    Endpoint endpoint;
    QString progId = kDefaultProgId;
    int timeoutMs = 60000;
    Credentials credentials;
    QString passwordFile;
    qsizetype i = 0;
    const auto usage = [] {
        std::fputs(kUsage, stderr);
        return 2;
    };
    for (; i < arguments.size() && arguments.at(i).startsWith(QLatin1String("--")); ++i) {
        const QString option = arguments.at(i);
        if (option == QLatin1String("--tls")) {
            endpoint.tls = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            return usage();
        const QString value = arguments.at(++i);
        if (option == QLatin1String("--tcp")) {
            const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
            bool ok = false;
            const uint port = value.mid(colon + 1).toUInt(&ok);
            if (colon <= 0 || !ok || port == 0 || port > 65535)
                return usage();
            endpoint.tcpHost = value.left(colon);
            if (endpoint.tcpHost.startsWith(QLatin1Char('[')) && endpoint.tcpHost.endsWith(QLatin1Char(']')))
                endpoint.tcpHost = endpoint.tcpHost.mid(1, endpoint.tcpHost.size() - 2);
            endpoint.tcpPort = static_cast<quint16>(port);
        } else if (option == QLatin1String("--ws")) {
            endpoint.webSocketUrl = value;
        } else if (option == QLatin1String("--ca")) {
            endpoint.caFile = value;
        } else if (option == QLatin1String("--operator")) {
            credentials.operatorName = value;
        } else if (option == QLatin1String("--password-file")) {
            passwordFile = value;
        } else if (option == QLatin1String("--token")) {
            credentials.token = value;
        } else if (option == QLatin1String("--progid") || option == QLatin1String("--clsid")) {
            progId = value;
        } else if (option == QLatin1String("--timeout-ms")) {
            bool ok = false;
            timeoutMs = value.toInt(&ok);
            if (!ok || timeoutMs < 0)
                return usage();
        } else {
            return usage();
        }
    }
    const QString command = arguments.value(i++);
    const QStringList rest = arguments.mid(i);
    // The password file's first line, then the environment; false when the file cannot be read.
    const auto gatherCredentials = [&] {
        if (!passwordFile.isEmpty()) {
            QString why;
            const auto password = readPasswordFile(passwordFile, &why);
            if (!password) {
                std::fprintf(stderr, "rmtclient: %s\n", qPrintable(why));
                return false;
            }
            credentials.password = *password;
        }
        fillFromEnvironment(credentials);
        return true;
    };
    if (command == QLatin1String("watch")) {
        if (!watchUsable(rest))
            return usage();
        if (!gatherCredentials())
            return 2;
        if (!credentials.complete() && stdinIsTerminal())
            askMissing(credentials);
        return runWatch(endpoint, credentials, rest);
    }
    const bool sessionCommand =
        command == QLatin1String("logon") || command == QLatin1String("passwd") || command == QLatin1String("audit");
    QString since = QDateTime::currentDateTime().addDays(-1).toString(Qt::ISODate);
    if (command == QLatin1String("audit") && rest.size() == 2 && rest.first() == QLatin1String("--since"))
        since = rest.at(1);
    else if (sessionCommand && !rest.isEmpty())
        return usage();
    if (!sessionCommand &&
        (isProviderCommand(command) ? !providerCommandUsable(command, rest)
                                    : (command == QLatin1String("call") && rest.isEmpty()) ||
                                          (command == QLatin1String("script") && rest.size() != 1) ||
                                          (command == QLatin1String("typeinfo") && !rest.isEmpty()) ||
                                          (command != QLatin1String("call") && command != QLatin1String("script") &&
                                           command != QLatin1String("typeinfo"))))
        return usage();
    if (!gatherCredentials())
        return 2;

    QString why;
    auto channel = connectChannel(endpoint, timeoutMs, &why);
    if (!channel) {
        std::fprintf(stderr, "rmtclient: %s\n", qPrintable(why));
        return 3;
    }
    Session session(std::move(channel));
    const auto logOn = [&] {
        if (!askMissing(credentials)) {
            std::fprintf(stderr, "rmtclient: the server asks for a log-on: give --operator and --password-file (or "
                                 "MORVANE_OPERATOR and MORVANE_PASSWORD), --token (or MORVANE_TOKEN), or run it at "
                                 "a terminal\n");
            return false;
        }
        const rpc::Reply reply = session.logon(credentials);
        if (!reply.ok || command == QLatin1String("logon"))
            printJson(printable(reply));
        return reply.ok;
    };
    if ((credentials.complete() || sessionCommand) && !logOn())
        return 3;
    if (command == QLatin1String("logon"))
        return 0;
    if (command == QLatin1String("passwd"))
        return changePassword(session, credentials);
    if (command == QLatin1String("audit"))
        return printAudit(session, since);

    // Without credentials the object is asked for at once: a server in the open mode needs no log-on. One
    // that wants a log-on gets it from the terminal, or the user learns how to give it.
    if (logOnFirst(session.create(progId)) && !credentials.complete() && logOn())
        session.create(progId);
    if (!session.created().ok) {
        printJson(printable(session.created()));
        return 3;
    }
    if (command == QLatin1String("typeinfo")) {
        if (!session.typeLibrary()) {
            std::fprintf(stderr, "rmtclient: the object gave no readable type information\n");
            return 1;
        }
        printJson(session.typeInfoJson(), true);
        return 0;
    }
    if (isProviderCommand(command))
        return runProviderCommand(session, command, rest);
    if (command == QLatin1String("call")) {
        const rpc::Reply reply = session.callWords(rest);
        printJson(printable(reply));
        return reply.ok ? 0 : 1;
    }
    return runScript(session, rest.first());
}

} // namespace morvane::rmtclient
