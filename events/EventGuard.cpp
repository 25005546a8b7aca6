#include "EventGuard.h"

#include "CallRights.h"
#include "Rights.h"
#include "Subscriber.h"

#include <QDateTime>
#include <QJsonArray>

#include <algorithm>
#include <cmath>
#include <functional>

namespace morvane::events {

namespace {

using platform::AutomationError;
namespace hr = platform::hr;

const QString kUsage = QStringLiteral(
    "Subscribe needs {\"kinds\": [TEXT...], \"locks\": [MAC...], \"doors\": [NUMBER...], \"since\": NUMBER, "
    "\"batch\": NUMBER}, each optional");
// More events to a message gain nothing: the bytes of one take are bounded anyway.
constexpr int kMaxBatch = 1000;

QJsonValue member(const QJsonObject& object, const QString& name) {
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return QJsonValue(QJsonValue::Undefined);
}

QJsonArray listOf(const QJsonObject& params, const QString& name) {
    const QJsonValue value = member(params, name);
    if (value.isUndefined() || value.isNull())
        return {};
    if (!value.isArray())
        throw AutomationError(hr::E_INVALIDARG, kUsage);
    return value.toArray();
}

Filter filterOf(const QJsonObject& params) {
    Filter filter;
    const QStringList known = eventKinds();
    for (const QJsonValue& kind : listOf(params, QStringLiteral("kinds"))) {
        const QString name = kind.toString().toLower();
        if (!known.contains(name))
            throw AutomationError(hr::E_INVALIDARG,
                                  QStringLiteral("Unknown event kind \"%1\"; the kinds are %2")
                                      .arg(kind.toVariant().toString(), known.join(QStringLiteral(", "))));
        filter.kinds.append(name);
    }
    // A lock not registered now may be later: any MAC is taken.
    for (const QJsonValue& lock : listOf(params, QStringLiteral("locks"))) {
        if (!lock.isString() || lock.toString().trimmed().isEmpty())
            throw AutomationError(hr::E_INVALIDARG, kUsage);
        filter.locks.append(lock.toString().trimmed().toUpper());
    }
    for (const QJsonValue& door : listOf(params, QStringLiteral("doors"))) {
        const double number = door.toDouble(-1);
        if (!door.isDouble() || number < 1 || number > 255 || number != std::floor(number))
            throw AutomationError(hr::E_INVALIDARG, QStringLiteral("A door is a number 1..255"));
        filter.doors.append(int(number));
    }
    const QJsonValue batch = member(params, QStringLiteral("batch"));
    if (!batch.isUndefined() && !batch.isNull()) {
        const double number = batch.toDouble(-1);
        if (!batch.isDouble() || number < 0 || number != std::floor(number))
            throw AutomationError(hr::E_INVALIDARG, QStringLiteral("\"batch\" is a number of events, 0 or more"));
        filter.batch = int(std::min(number, double(kMaxBatch)));
    }
    return filter;
}

std::optional<quint64> sinceOf(const QJsonObject& params) {
    const QJsonValue since = member(params, QStringLiteral("since"));
    if (since.isUndefined() || since.isNull())
        return std::nullopt;
    const double number = since.toDouble(-1);
    if (!since.isDouble() || number != std::floor(number) || number > 9007199254740992.0)
        throw AutomationError(hr::E_INVALIDARG, kUsage);
    if (number < 0)
        throw AutomationError(hr::E_INVALIDARG, QStringLiteral("\"since\" is a sequence number, 0 or more"));
    return quint64(number);
}

} // namespace

EventGuard::EventGuard(EventStream& stream, std::unique_ptr<platform::rpc::ConnectionGuard> inner)
    : LayeredGuard(std::move(inner))
    , m_stream(stream) {}

EventGuard::~EventGuard() {
    unsubscribe();
}

platform::rpc::GuardFactory EventGuard::factory(EventStream& stream, platform::rpc::GuardFactory inner) {
    return platform::rpc::layeredFactory<EventGuard>(std::move(inner), std::ref(stream));
}

void EventGuard::setOutlet(std::shared_ptr<platform::rpc::PushOutlet> outlet) {
    m_outlet = std::move(outlet);
}

std::optional<QJsonObject> EventGuard::handle(const QString& method, const QJsonValue& params) {
    const auto is = [&](const char* name) { return method.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
    const bool inject = is("InjectEvents") && injectionAllowed();
    if (!is("Subscribe") && !is("Unsubscribe") && !is("EventSubscribers") && !inject) {
        // Ended before the log-off ends the session: otherwise the stream, told that the session has ended,
        // would end the connection before it has its answer.
        if (is("Logoff"))
            unsubscribe();
        std::optional<QJsonObject> answered = LayeredGuard::handle(method, params);
        // A subscription belongs to its log-on: it ends with it, and another log-on subscribes anew.
        if (answered && (is("Logoff") || is("Logon")))
            unsubscribe();
        return answered;
    }
    return answerOwn(method, [&] {
        const std::shared_ptr<const provider::CallRights> rights = provider::CallRights::current();
        if (is("Unsubscribe")) {
            const bool was = m_subscriber != nullptr;
            unsubscribe();
            return QJsonObject{{QStringLiteral("hresult"), hr::S_OK}, {QStringLiteral("unsubscribed"), was}};
        }
        if (is("EventSubscribers") || inject) {
            if (rights && !rights->administrator()) {
                const QString why =
                    QStringLiteral("%1 is for administrators: operator %2 is none").arg(method, rights->operatorName());
                rights->audit(method, QStringLiteral("refused"), {{QStringLiteral("reason"), why}});
                throw AutomationError(hr::E_ACCESSDENIED, why);
            }
            if (inject)
                return injectEvents(params.toObject());
            QJsonObject result = m_stream.subscribers();
            result.insert(QStringLiteral("hresult"), hr::S_OK);
            return result;
        }
        if (!params.isUndefined() && !params.isNull() && !params.isObject())
            throw AutomationError(hr::E_INVALIDARG, kUsage);
        if (rights) {
            const QString why = rights->refusalOnModule(kMonitoringModule, provider::Right::Browse);
            if (!why.isEmpty()) {
                rights->audit(QStringLiteral("Subscribe"), QStringLiteral("refused"),
                              {{QStringLiteral("reason"), why}});
                throw AutomationError(hr::E_ACCESSDENIED, why);
            }
        }
        return subscribe(params);
    });
}

QJsonObject EventGuard::subscribe(const QJsonValue& params) {
    if (m_subscriber)
        throw AutomationError(hr::E_UNEXPECTED,
                              QStringLiteral("This connection is subscribed already: call Unsubscribe first"));
    if (!m_outlet)
        throw AutomationError(hr::E_NOTIMPL, QStringLiteral("This connection cannot carry notifications"));
    const QJsonObject object = params.toObject();
    const Filter filter = filterOf(object);
    const std::optional<quint64> since = sinceOf(object);
    const std::shared_ptr<const provider::CallRights> rights = provider::CallRights::current();
    // The operator's rights as they stand now decide which events it sees.
    std::function<bool(const QString&)> visible;
    if (rights && !rights->administrator())
        visible = [rights](const QString& module) {
            return rights->refusalOnModule(module, provider::Right::Browse).isEmpty();
        };
    // Asked again whenever rights change or sessions end: a subscription ends with its session.
    std::function<QString()> ended;
    if (rights)
        ended = [rights] { return rights->endedBecause(); };
    const std::weak_ptr<platform::rpc::PushOutlet> outlet = m_outlet;
    EventStream::Subscription subscription = m_stream.subscribe(
        filter, since, std::move(visible), std::move(ended), rights ? rights->operatorName() : QString(),
        rights ? rights->address() : QStringLiteral("local"), [outlet] {
            if (const auto live = outlet.lock())
                live->ready();
        });
    m_subscriber = subscription.subscriber;
    m_outlet->attach(m_subscriber);
    if (rights)
        rights->audit(QStringLiteral("Subscribe"), QStringLiteral("ok"),
                      {{QStringLiteral("kinds"), QJsonArray::fromStringList(filter.kinds)},
                       {QStringLiteral("locks"), QJsonArray::fromStringList(filter.locks)},
                       {QStringLiteral("since"), since ? QJsonValue(static_cast<qint64>(*since)) : QJsonValue()}});
    return QJsonObject{{QStringLiteral("hresult"), hr::S_OK},
                       {QStringLiteral("newest"), static_cast<qint64>(subscription.newest)},
                       {QStringLiteral("oldest"), static_cast<qint64>(subscription.oldest)},
                       {QStringLiteral("lost"), static_cast<qint64>(subscription.lost)}};
}

bool EventGuard::injectionAllowed() {
    return qEnvironmentVariableIntValue("MORVANE_EVENTS_INJECT") == 1;
}

QJsonObject EventGuard::injectEvents(const QJsonObject& params) {
    const int count = std::clamp(member(params, QStringLiteral("count")).toInt(1), 1, 100000);
    const int bytes = std::clamp(member(params, QStringLiteral("bytes")).toInt(0), 0, 64 * 1024);
    const QString lock = member(params, QStringLiteral("lock")).toString(QStringLiteral("00-00-00-00-00-00"));
    int published = 0;
    for (int i = 0; i < count; ++i) {
        Event event;
        event.kind = kStatus;
        event.module = kMonitoringModule;
        event.lock = lock;
        event.serverMs = QDateTime::currentMSecsSinceEpoch();
        event.fields = {{QStringLiteral("bench"), i}, {QStringLiteral("text"), QString(bytes, QLatin1Char('x'))}};
        published += m_stream.publish(std::move(event)) ? 1 : 0;
    }
    return QJsonObject{{QStringLiteral("hresult"), hr::S_OK}, {QStringLiteral("published"), published}};
}

void EventGuard::unsubscribe() {
    if (!m_subscriber)
        return;
    if (m_outlet)
        m_outlet->attach(nullptr);
    m_stream.unsubscribe(m_subscriber);
    m_subscriber.reset();
}

} // namespace morvane::events
