#include "TypedDispatch.h"

namespace morvane::platform {

TypedDispatchObject::TypedDispatchObject(const TypeLibraryDesc& library)
    : m_library(library) {}

void TypedDispatchObject::bind(const QString& name, Body body) {
    const MethodDesc* method = m_library.dispatchInterface.findByName(name);
    Q_ASSERT_X(method, "TypedDispatchObject::bind", "the interface has no such method");
    if (method)
        m_bodies.insert(method->dispid, std::move(body));
}

HResult TypedDispatchObject::invoke(DispId id, Arguments& args, Variant& result, ErrorInfo& error) {
    const MethodDesc* method = m_library.dispatchInterface.findByDispId(id);
    const auto body = m_bodies.constFind(id);
    if (!method || body == m_bodies.constEnd()) {
        error.message = QStringLiteral("Member not found");
        return hr::DISP_E_MEMBERNOTFOUND;
    }
    if (static_cast<qsizetype>(args.size()) != method->params.size()) {
        error.message = QStringLiteral("%1 takes %2 parameter(s), not %3")
                            .arg(method->name)
                            .arg(method->params.size())
                            .arg(args.size());
        return hr::DISP_E_BADPARAMCOUNT;
    }
    // The body sees each argument in its declared type; references stay the caller's variables.
    Arguments typed;
    typed.reserve(args.size());
    for (qsizetype i = 0; i < method->params.size(); ++i) {
        const ParamDesc& param = method->params.at(i);
        const VarType type = coercedType(param.type);
        try {
            if (Variant* target = args[i].target())
                typed.push_back(Argument::byRef(*target, type));
            else
                typed.push_back(Argument::byValue(args[i].value().convertedTo(type)));
        } catch (const AutomationError& failure) {
            const bool overflow = failure.code() == hr::DISP_E_OVERFLOW;
            error.message = QStringLiteral("%1 in parameter %2 (%3 %4) of %5: %6")
                                .arg(overflow ? QStringLiteral("Overflow") : QStringLiteral("Type mismatch"))
                                .arg(i + 1)
                                .arg(paramTypeName(param.type), param.name, method->name, failure.message());
            return overflow ? hr::DISP_E_OVERFLOW : hr::DISP_E_TYPEMISMATCH;
        }
    }
    result = Variant();
    HResult status = hr::S_OK;
    try {
        result = body.value()(typed);
    } catch (...) {
        status = failureFromException(std::current_exception(), error);
    }
    for (size_t i = 0; i < typed.size(); ++i) {
        if (typed[i].written())
            args[i].markWritten();
    }
    return status;
}

} // namespace morvane::platform
