#include "ControllerProtocol.h"

#include "VariantJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace morvane::ctrlproto {

using platform::VarType;

QJsonValue encodeVariant(const Variant& value) {
    return platform::variantToJson(value, platform::VariantJsonForm{true, true, true});
}

std::optional<Variant> decodeVariant(const QJsonValue& value) {
    // A missing value is no variant here: every place that reads one has checked that it is there.
    if (value.isUndefined())
        return std::nullopt;
    return platform::variantFromJson(value);
}

namespace {

QJsonObject header(const char* type, uint32_t session, uint32_t sequence, const QString& mac) {
    return QJsonObject{{QStringLiteral("k"), QLatin1String(kTag)},
                       {QStringLiteral("t"), QLatin1String(type)},
                       {QStringLiteral("s"), static_cast<double>(session)},
                       {QStringLiteral("q"), static_cast<double>(sequence)},
                       {QStringLiteral("mac"), mac}};
}

bool readId(const QJsonObject& object, const QString& key, uint32_t& out) {
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number < 0 || number > 4294967295.0 || std::trunc(number) != number)
        return false;
    out = static_cast<uint32_t>(number);
    return true;
}

std::optional<QJsonObject> parseFrame(const QByteArray& frame, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<QJsonObject> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (frame.size() > kMaxFrameBytes)
        return fail(QStringLiteral("frame longer than %1 bytes").arg(kMaxFrameBytes));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(frame, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return fail(QStringLiteral("not a JSON object"));
    QJsonObject object = document.object();
    if (object.value(QStringLiteral("k")).toString() != QLatin1String(kTag))
        return fail(QStringLiteral("not a controller frame"));
    return object;
}

} // namespace

QByteArray encodeRequest(const Request& request) {
    QJsonObject object = header("req", request.session, request.sequence, request.mac);
    object.insert(QStringLiteral("m"), request.method);
    QJsonArray args;
    for (const Variant& arg : request.args)
        args.append(encodeVariant(arg));
    object.insert(QStringLiteral("a"), args);
    if (request.clock)
        object.insert(QStringLiteral("clock"), *request.clock);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray encodeReply(const Reply& reply) {
    QJsonObject object = header(reply.error.isEmpty() ? "rep" : "err", reply.session, reply.sequence, reply.mac);
    if (!reply.error.isEmpty()) {
        object.insert(QStringLiteral("err"), reply.error);
    } else {
        object.insert(QStringLiteral("st"), reply.status);
        QJsonObject outputs;
        for (auto it = reply.outputs.constBegin(); it != reply.outputs.constEnd(); ++it)
            outputs.insert(QString::number(it.key()), encodeVariant(it.value()));
        object.insert(QStringLiteral("o"), outputs);
        if (!reply.result.isEmpty())
            object.insert(QStringLiteral("r"), encodeVariant(reply.result));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<Request> decodeRequest(const QByteArray& frame, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<Request> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const auto object = parseFrame(frame, error);
    if (!object)
        return std::nullopt;
    Request request;
    if (object->value(QStringLiteral("t")).toString() != QLatin1String("req"))
        return fail(QStringLiteral("not a request"));
    if (!readId(*object, QStringLiteral("s"), request.session) ||
        !readId(*object, QStringLiteral("q"), request.sequence))
        return fail(QStringLiteral("bad session or sequence number"));
    request.mac = object->value(QStringLiteral("mac")).toString();
    request.method = object->value(QStringLiteral("m")).toString();
    if (request.method.isEmpty())
        return fail(QStringLiteral("no method"));
    const QJsonValue args = object->value(QStringLiteral("a"));
    if (!args.isArray())
        return fail(QStringLiteral("no argument list"));
    for (const QJsonValue& arg : args.toArray()) {
        auto value = decodeVariant(arg);
        if (!value)
            return fail(QStringLiteral("an argument that is no variant"));
        request.args.append(*value);
    }
    const QJsonValue clock = object->value(QStringLiteral("clock"));
    if (clock.isDouble())
        request.clock = clock.toDouble();
    return request;
}

std::optional<Reply> decodeReply(const QByteArray& frame, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<Reply> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const auto object = parseFrame(frame, error);
    if (!object)
        return std::nullopt;
    Reply reply;
    const QString type = object->value(QStringLiteral("t")).toString();
    if (type != QLatin1String("rep") && type != QLatin1String("err"))
        return fail(QStringLiteral("not a reply"));
    if (!readId(*object, QStringLiteral("s"), reply.session) || !readId(*object, QStringLiteral("q"), reply.sequence))
        return fail(QStringLiteral("bad session or sequence number"));
    reply.mac = object->value(QStringLiteral("mac")).toString();
    if (type == QLatin1String("err")) {
        reply.error = object->value(QStringLiteral("err")).toString();
        if (reply.error.isEmpty())
            reply.error = QStringLiteral("error");
        reply.status = status::Refused;
        return reply;
    }
    const QJsonValue statusValue = object->value(QStringLiteral("st"));
    const double number = statusValue.toDouble(0.5);
    if (!statusValue.isDouble() || std::trunc(number) != number || number < INT32_MIN || number > INT32_MAX)
        return fail(QStringLiteral("bad status"));
    reply.status = static_cast<int32_t>(number);
    const QJsonObject outputs = object->value(QStringLiteral("o")).toObject();
    for (auto it = outputs.constBegin(); it != outputs.constEnd(); ++it) {
        bool ok = false;
        const int index = it.key().toInt(&ok);
        auto value = decodeVariant(it.value());
        if (!ok || index < 0 || index > 64 || !value)
            return fail(QStringLiteral("bad output"));
        reply.outputs.insert(index, *value);
    }
    if (object->contains(QStringLiteral("r"))) {
        auto result = decodeVariant(object->value(QStringLiteral("r")));
        if (!result)
            return fail(QStringLiteral("bad result"));
        reply.result = *result;
    }
    return reply;
}

bool peekIds(const QByteArray& frame, uint32_t& session, uint32_t& sequence) {
    const auto object = parseFrame(frame, nullptr);
    return object && readId(*object, QStringLiteral("s"), session) && readId(*object, QStringLiteral("q"), sequence);
}

const QList<MethodInfo>& controllerMethods() {
    static const QList<MethodInfo> table = {
        {"COMifCreateConnection", 4},
        {"COMifBegRealTimeMonitor", 0},
        {"ComifCloseConnection", 0},
        {"ComifGetRealTimeMonitorRecord", 1},
        {"ComifReadDeviceInfo", 5, false, 0},
        {"COMifReadRecord", 1},
        {"COMifReadRecordCount", 1},
        {"ComifSetUDPLinkInfo", 6},
        {"ComifAddCardNo", 9},
        {"COMifAdjustDateTime", 0},
        {"ComifOpenDoorDelayTime", 2, true},
        {"ComifDataSaveMode", 1},
        {"ComifLoadPassword", 3},
        {"ComifSetEachLock", 1},
        {"ComifInitializeControl", 1},
        {"ComifRmtOpenDoor", 1},
        {"ComifCleHoliday", 0},
        {"ComifSetHoliday", 1},
        {"ComifLoadOpenDoorTime", 3},
        {"ComifLoadOpenDoorMode", 2, true},
        {"ComifDeleteCardNo", 1, true},
        {"ComifReadOldAllRecord", 0},
        {"ComifDoorAlarmState", 1},
        {"ComifLoadMoreCardGroup", 2},
        {"ComifExigLongOpenDoor", 1},
        {"ComifLoadLinkInfo", 5},
        {"ComifPreventReturn", 1},
        {"ComifCheckDoorMagnetism", 1},
        {"TestControl", 0},
        {"ComifHostilityBrushCard", 1},
        {"ComifSetComputerAlarm", 1},
        {"ComifCancelAlarm", 0},
        {"ComifExigLongCloseDoor", 2},
        {"ComifRmtOperatorPower", 2},
    };
    return table;
}

const MethodInfo* findMethod(const QString& name) {
    for (const MethodInfo& method : controllerMethods()) {
        if (name.compare(QLatin1String(method.name), Qt::CaseInsensitive) == 0)
            return &method;
    }
    return nullptr;
}

std::optional<QString> normaliseMac(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral(
        "^([0-9A-Fa-f]{2})([-:]?)([0-9A-Fa-f]{2})\\2([0-9A-Fa-f]{2})\\2([0-9A-Fa-f]{2})\\2([0-9A-Fa-f]{2})"
        "\\2([0-9A-Fa-f]{2})$"));
    const auto match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    QStringList pairs;
    for (int group : {1, 3, 4, 5, 6, 7})
        pairs.append(match.captured(group).toUpper());
    return pairs.join(QLatin1Char('-'));
}

bool isValidIPv4(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (QChar c : part) {
            if (!c.isDigit() || c.unicode() > 127)
                return false;
        }
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

} // namespace morvane::ctrlproto
