#include "Watch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace morvane::rmtclient {

namespace rpc = platform::rpc;
namespace hr = platform::hr;

namespace {

// The longest silence on a connection before it is taken as lost (a peer gone without a word) and made
// again; the server sends nothing while nothing happens.
constexpr int kQuietMs = 120000;
constexpr int kFirstRetryMs = 500;
constexpr int kLongestRetryMs = 30000;

struct WatchOptions {
    std::optional<qint64> since;
    QStringList kinds;
    QStringList locks;
    bool json = false;
    qint64 count = -1; // stop after this many events; -1 never
};

std::optional<WatchOptions> parse(const QStringList& words) {
    WatchOptions options;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words.at(i);
        if (word == QLatin1String("--json")) {
            options.json = true;
            continue;
        }
        if (i + 1 >= words.size())
            return std::nullopt;
        const QString value = words.at(++i);
        bool ok = true;
        if (word == QLatin1String("--since"))
            options.since = value.toLongLong(&ok);
        else if (word == QLatin1String("--kinds"))
            options.kinds += value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (word == QLatin1String("--locks"))
            options.locks += value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (word == QLatin1String("--count"))
            options.count = value.toLongLong(&ok);
        else
            return std::nullopt;
        if (!ok)
            return std::nullopt;
    }
    return options;
}

void say(const QString& text) {
    std::fprintf(stderr, "rmtclient: %s\n", qPrintable(text));
    std::fflush(stderr);
}

QString place(const QJsonObject& event) {
    QString where = event.value(QStringLiteral("deviceName")).toString();
    const QString lock = event.value(QStringLiteral("lock")).toString();
    if (!lock.isEmpty())
        where = where.isEmpty() ? lock : QStringLiteral("%1 (%2)").arg(where, lock);
    if (const int door = event.value(QStringLiteral("door")).toInt(); door > 0) {
        const QString doorName = event.value(QStringLiteral("doorName")).toString();
        where += doorName.isEmpty() ? QStringLiteral(" door %1").arg(door)
                                    : QStringLiteral(" door %1 %2").arg(door).arg(doorName);
    }
    return where;
}

} // namespace

QString eventLine(const QJsonObject& event) {
    const QString kind = event.value(QStringLiteral("kind")).toString();
    QStringList parts{event.value(QStringLiteral("time")).toString(),
                      QStringLiteral("#%1").arg(event.value(QStringLiteral("seq")).toInteger()), kind};
    if (const QString where = place(event); !where.isEmpty())
        parts.append(where);
    if (event.contains(QStringLiteral("card"))) {
        QString card = QStringLiteral("card %1").arg(event.value(QStringLiteral("card")).toVariant().toString());
        if (const QString name = event.value(QStringLiteral("staffName")).toString(); !name.isEmpty())
            card += QLatin1Char(' ') + name;
        parts.append(card);
    }
    if (const QString who = event.value(QStringLiteral("operator")).toString(); !who.isEmpty())
        parts.append(QStringLiteral("by %1@%2").arg(who, event.value(QStringLiteral("address")).toString()));
    QString what = event.value(QStringLiteral("text")).toString();
    if (kind == QLatin1String("command") || kind == QLatin1String("delta")) {
        what = QStringLiteral("%1 %2").arg(event.value(QStringLiteral("method")).toString(),
                                           event.value(QStringLiteral("outcome")).toString());
        if (event.contains(QStringLiteral("status")))
            what += QStringLiteral(" status %1").arg(event.value(QStringLiteral("status")).toInt());
        if (event.contains(QStringLiteral("provider")))
            what += QStringLiteral(" %1 %2: %3 changes")
                        .arg(event.value(QStringLiteral("provider")).toString(),
                             event.value(QStringLiteral("table")).toString())
                        .arg(event.value(QStringLiteral("changes")).toInt());
    }
    return parts.join(QLatin1Char(' ')) + QStringLiteral(": ") + what;
}

bool watchUsable(const QStringList& words) {
    return parse(words).has_value();
}

int runWatch(const Endpoint& endpoint, Credentials credentials, const QStringList& words) {
    const WatchOptions options = *parse(words);
    std::optional<qint64> since = options.since;
    qint64 printed = 0;
    int retryMs = kFirstRetryMs;
    bool everSubscribed = false;
    for (;;) {
        QString why;
        auto channel = connectChannel(endpoint, kQuietMs, &why);
        rpc::Reply reply;
        std::unique_ptr<rpc::Client> client;
        if (channel) {
            client = std::make_unique<rpc::Client>(std::move(channel));
            if (credentials.complete()) {
                reply = client->call(QStringLiteral("Logon"), credentials.logonParams());
                // A token of a server that has restarted is gone: the password logs on again.
                if (!reply.ok && !credentials.token.isEmpty() && !credentials.password.isEmpty()) {
                    credentials.token.clear();
                    reply = client->call(QStringLiteral("Logon"), credentials.logonParams());
                }
                if (!reply.ok && reply.hresult == hr::E_ACCESSDENIED) {
                    say(reply.message);
                    return 3; // wrong credentials stay wrong
                }
                if (reply.ok)
                    credentials.token = reply.result.value(QStringLiteral("token")).toString(credentials.token);
            } else {
                // The open mode: the object first.
                reply = client->call(rpc::kCreateObject,
                                     QJsonObject{{QStringLiteral("progid"), QStringLiteral("server.rmtserver")}});
            }
            if (reply.ok) {
                QJsonObject params;
                if (!options.kinds.isEmpty())
                    params.insert(QStringLiteral("kinds"), QJsonArray::fromStringList(options.kinds));
                if (!options.locks.isEmpty())
                    params.insert(QStringLiteral("locks"), QJsonArray::fromStringList(options.locks));
                if (since)
                    params.insert(QStringLiteral("since"), *since);
                reply = client->call(QStringLiteral("Subscribe"), params);
                if (!reply.ok && since && reply.hresult == hr::E_INVALIDARG &&
                    reply.message.contains(QLatin1String("past the newest"))) {
                    // The server has lost its ring: from now on, and the swipe log tells what was missed.
                    say(QStringLiteral("%1; watching from now on (re-read the swipe log for what was missed)")
                            .arg(reply.message));
                    params.remove(QStringLiteral("since"));
                    reply = client->call(QStringLiteral("Subscribe"), params);
                }
                if (!reply.ok && !everSubscribed && reply.hresult != platform::hr::RPC_E_DISCONNECTED) {
                    say(reply.message);
                    return 1;
                }
            }
            why = reply.message;
        }
        if (client && reply.ok) {
            everSubscribed = true;
            retryMs = kFirstRetryMs;
            for (;;) {
                const auto message = client->nextNotification(&why);
                if (!message)
                    break;
                const QString method = message->value(QStringLiteral("method")).toString();
                const QJsonObject event = message->value(QStringLiteral("params")).toObject();
                if (method == QLatin1String("EventStreamEnd")) {
                    why = event.value(QStringLiteral("reason")).toString();
                    break;
                }
                if (method != QLatin1String("Event"))
                    continue;
                for (const char* gap : {"lost", "dropped"}) {
                    if (const qint64 n = event.value(QLatin1String(gap)).toInteger(); n > 0)
                        say(QStringLiteral("%1 events %2 before #%3: re-read the swipe log for them")
                                .arg(n)
                                .arg(QLatin1String(gap))
                                .arg(event.value(QStringLiteral("seq")).toInteger()));
                }
                const QByteArray line =
                    options.json ? QJsonDocument(event).toJson(QJsonDocument::Compact) : eventLine(event).toUtf8();
                std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
                std::fputc('\n', stdout);
                std::fflush(stdout);
                since = event.value(QStringLiteral("seq")).toInteger();
                if (options.count >= 0 && ++printed >= options.count)
                    return 0;
            }
        }
        say(QStringLiteral("the event stream was lost (%1); again in %2 ms%3")
                .arg(why.isEmpty() ? QStringLiteral("no connection") : why)
                .arg(retryMs)
                .arg(since ? QStringLiteral(", after #%1").arg(*since) : QString()));
        QThread::msleep(static_cast<unsigned long>(retryMs));
        retryMs = std::min(retryMs * 2, kLongestRetryMs);
    }
}

} // namespace morvane::rmtclient
