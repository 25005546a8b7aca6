#pragma once

#include "JsonRpc.h"

#include <QJsonObject>

#include <optional>

namespace morvane::test {

// A client connection of the tests that sends requests without waiting for their replies and reads the
// replies with a time-out, so that a test can leave while a call runs or never read at all.
class LineConnection {
public:
    explicit LineConnection(int fd = -1);
    ~LineConnection();
    LineConnection(const LineConnection&) = delete;
    LineConnection& operator=(const LineConnection&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void close();
    bool send(const QJsonObject& request);
    // The reply with this id (replies to other ids are passed over), or nothing within `ms`.
    std::optional<QJsonObject> reply(const QJsonValue& id, int ms);
    // True once the peer has closed the connection within `ms`; what it sent is not read.
    bool waitHangUp(int ms) const;

private:
    int m_fd;
    platform::rpc::LineBuffer m_buffer;
};

// A JSON-RPC request object.
QJsonObject request(int id, const QString& method, const QJsonValue& params = QJsonArray());

} // namespace morvane::test
