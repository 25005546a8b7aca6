#pragma once

#include "Credentials.h"
#include "JsonRpc.h"
#include "TypeInfo.h"

#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace morvane::rmtclient {

// Where the client connects: "--tcp HOST:PORT" (default 127.0.0.1:211) or "--ws URL"; over TLS with
// "--tls" or a wss:// URL, the server's certificate checked against the system's authorities and those
// of "--ca FILE".
struct Endpoint {
    QString tcpHost = QStringLiteral("127.0.0.1");
    quint16 tcpPort = 211;
    QString webSocketUrl; // set: WebSocket instead of TCP
    bool tls = false;
    QString caFile;
};

// A connected channel, or null with the reason in *error.
std::unique_ptr<platform::rpc::MessageChannel> connectChannel(const Endpoint& endpoint, int timeoutMs, QString* error);

// The JSON params of a call written as words on a command line: each word typed by the method's
// parameter in the type library (an int32 as a number, a BSTR as text, a VARIANT as JSON when it reads
// as JSON, else as text). Without a description the words go as JSON values or texts.
QJsonArray typedParams(const platform::MethodDesc* method, const QStringList& words);

// One connection: its log-on, its object (CreateObject, then the type information), then any calls.
class Session {
public:
    explicit Session(std::unique_ptr<platform::rpc::MessageChannel> channel);
    platform::rpc::Reply logon(const Credentials& credentials);
    // The CreateObject reply: ok or the failure.
    const platform::rpc::Reply& create(const QString& progIdOrClsid);
    const platform::rpc::Reply& created() const { return m_created; }
    const std::optional<platform::TypeLibraryDesc>& typeLibrary() const { return m_typeLibrary; }
    QJsonObject typeInfoJson() const { return m_typeInfo; }

    // A call from words (METHOD ARG ...).
    platform::rpc::Reply callWords(const QStringList& words);
    // A call with its params as JSON (an array, or an object of named parameters).
    platform::rpc::Reply call(const QString& method, const QJsonValue& params);
    // A call from one script line: a JSON request object, or words as on the command line.
    platform::rpc::Reply callLine(const QString& line);

private:
    platform::rpc::Client m_client;
    platform::rpc::Reply m_created;
    std::optional<platform::TypeLibraryDesc> m_typeLibrary;
    QJsonObject m_typeInfo;
};

// The program: parses the command line, runs the command, prints JSON. Returns the exit status:
// 0 every call succeeded, 1 a call failed, 2 usage, 3 no connection, no log-on or no object.
int run(const QStringList& arguments);

} // namespace morvane::rmtclient
