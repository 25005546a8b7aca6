// libFuzzer target of the wire protocol's decoding: every input is one request line handed to a server
// session that holds an object of the real type library, and, read as JSON, a variant that must come
// back unchanged through its encoding. Built only with clang (-fsanitize=fuzzer).

#include "JsonRpc.h"
#include "server_TLB.h"
#include "TypedDispatch.h"
#include "VariantJson.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace morvane;
using platform::Arguments;
using platform::Variant;

namespace {

// Every method answers with its first argument and writes each reference: the session's binding and
// reply building see every shape of argument the decoder lets through.
class EchoObject : public platform::TypedDispatchObject {
public:
    EchoObject()
        : TypedDispatchObject(server_TLB::typeLibrary()) {
        for (const platform::MethodDesc& method : server_TLB::typeLibrary().dispatchInterface.methods) {
            bind(method.name, [](Arguments& args) {
                for (platform::Argument& arg : args) {
                    if (arg.isByRef())
                        arg.set(arg.value());
                }
                return args.empty() ? Variant() : args.front().value();
            });
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    platform::rpc::ServerSession session([](const QString&) { return std::make_shared<EchoObject>(); });
    session.handle(R"({"id":0,"method":"CreateObject","params":{"progid":"server.rmtserver"}})");
    const QByteArray reply = session.handle(input);
    // Whatever came in, a reply is one JSON object on one line.
    if (!reply.isEmpty() &&
        (!reply.endsWith('\n') || reply.count('\n') != 1 || !QJsonDocument::fromJson(reply).isObject()))
        std::abort();

    // The relay's look at a request without building it answers as the whole parse does.
    QByteArray wholeReply, headReply;
    const auto whole = platform::rpc::parseRequest(input, &wholeReply);
    const auto head = platform::rpc::parseRequestHead(input, &headReply, 8);
    if (bool(whole) != bool(head) || (!whole && wholeReply != headReply))
        std::abort();
    if (whole &&
        (whole->id != head->id || whole->method != head->method ||
         (head->paramsOmitted ? whole->params.isObject() != head->params.isObject() : whole->params != head->params)))
        std::abort();
    if (whole && QJsonDocument::fromJson(platform::rpc::requestOnOneLine(input)) != QJsonDocument::fromJson(input))
        std::abort();

    const QJsonDocument document = QJsonDocument::fromJson("[" + input + "]");
    if (document.isArray() && document.array().size() == 1) {
        const auto decoded = platform::variantFromJson(document.array().first());
        if (decoded) {
            const QJsonValue encoded = platform::variantToJson(*decoded);
            const auto again = platform::variantFromJson(encoded);
            if (!again || platform::variantToJson(*again) != encoded || again->type() != decoded->type())
                std::abort();
        }
    }
    return 0;
}
