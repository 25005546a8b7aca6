#pragma once

#include "ClassRegistry.h"
#include "Variant.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace morvane::platform {

using HResult = int32_t;
using DispId = int32_t;

namespace hr {
constexpr HResult S_OK = 0;
constexpr HResult S_FALSE = 1;
constexpr HResult E_UNEXPECTED = static_cast<HResult>(0x8000FFFF);
constexpr HResult E_NOTIMPL = static_cast<HResult>(0x80004001);
constexpr HResult E_OUTOFMEMORY = static_cast<HResult>(0x8007000E);
constexpr HResult E_INVALIDARG = static_cast<HResult>(0x80070057);
constexpr HResult E_NOINTERFACE = static_cast<HResult>(0x80004002);
constexpr HResult E_FAIL = static_cast<HResult>(0x80004005);
constexpr HResult E_ACCESSDENIED = static_cast<HResult>(0x80070005);
constexpr HResult DISP_E_UNKNOWNNAME = static_cast<HResult>(0x80020006);
constexpr HResult DISP_E_MEMBERNOTFOUND = static_cast<HResult>(0x80020003);
constexpr HResult DISP_E_TYPEMISMATCH = static_cast<HResult>(0x80020005);
constexpr HResult DISP_E_BADPARAMCOUNT = static_cast<HResult>(0x8002000E);
constexpr HResult DISP_E_PARAMNOTOPTIONAL = static_cast<HResult>(0x8002000F);
constexpr HResult DISP_E_OVERFLOW = static_cast<HResult>(0x8002000A);
constexpr HResult DISP_E_EXCEPTION = static_cast<HResult>(0x80020009);
constexpr HResult CO_E_CLASSSTRING = static_cast<HResult>(0x800401F3);
constexpr HResult REGDB_E_CLASSNOTREG = static_cast<HResult>(0x80040154);
constexpr HResult CO_E_SERVER_EXEC_FAILURE = static_cast<HResult>(0x80080005);
constexpr HResult CO_E_DLLNOTFOUND = static_cast<HResult>(0x800401F8);
constexpr HResult SELFREG_E_CLASS = static_cast<HResult>(0x80040201);
constexpr HResult DISP_E_PARAMNOTFOUND = static_cast<HResult>(0x80020004);
constexpr HResult RPC_E_DISCONNECTED = static_cast<HResult>(0x80010108);
constexpr HResult CO_E_OBJNOTCONNECTED = static_cast<HResult>(0x800401FD);
constexpr HResult CO_E_APPNOTFOUND = static_cast<HResult>(0x800401F5);
} // namespace hr

inline bool succeeded(HResult value) {
    return value >= 0;
}
QString hresultText(HResult value); // "0x8000FFFF"

// The error information that a failing call publishes for its caller.
struct ErrorInfo {
    QString message;
    int32_t helpContext = 0;
    QString source;
};

// A failure of an automation call, carrying its HRESULT and error information.
class AutomationError : public std::runtime_error {
public:
    AutomationError(HResult code, const QString& message, int32_t helpContext = 0);
    HResult code() const { return m_code; }
    const QString& message() const { return m_message; }
    int32_t helpContext() const { return m_helpContext; }

private:
    HResult m_code;
    QString m_message;
    int32_t m_helpContext;
};

// A value that a variant conversion could not convert (DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW). Raised
// while a call's arguments are coerced to their declared types it keeps its code; raised inside a
// method's body it fails the call with E_UNEXPECTED, like any other failure of the body.
class VariantConversionError : public AutomationError {
public:
    using AutomationError::AutomationError;
};

// One argument of a dispatch call: a value, or a reference to the caller's variable. A typed reference
// (int32 r, date r, text r) coerces whatever the callee writes into that type, as a by-reference
// parameter of that type would.
class Argument {
public:
    static Argument byValue(Variant value);
    static Argument byRef(Variant& target, VarType typed = VarType::Empty);

    bool isByRef() const { return m_target != nullptr; }
    VarType refType() const { return m_refType; }
    const Variant& value() const;
    // The caller's variable behind a reference; nullptr for a by-value argument.
    Variant* target() const { return m_target; }
    // Writes through a reference (coerced to a typed reference's type); a by-value argument only keeps
    // the callee's local copy.
    void set(const Variant& value);
    // True once the callee has written the argument (callers on the wire return only what was written).
    bool written() const { return m_written; }
    void markWritten() { m_written = true; }

private:
    Argument() = default;
    Variant m_value;
    Variant* m_target = nullptr;
    VarType m_refType = VarType::Empty;
    bool m_written = false;
};

using Arguments = std::vector<Argument>;

// Late-bound interface of every automation object of this system.
class IDispatchObject {
public:
    virtual ~IDispatchObject() = default;
    // Looks a member up by name without regard to case.
    virtual HResult getIdOfName(const QString& name, DispId& id) const = 0;
    virtual HResult invoke(DispId id, Arguments& args, Variant& result, ErrorInfo& error) = 0;
    // The members as name → DISPID, for type information and tests.
    virtual QList<QPair<QString, DispId>> members() const = 0;
};

// Calls a member by name as a method; a failing HRESULT is thrown as AutomationError with its error
// information. An EMPTY or non-object variant fails like a call on an unassigned object.
Variant callMethod(const Variant& object, const QString& name, Arguments args = {});
Variant callMethod(const DispatchPtr& object, const QString& name, Arguments& args);
// The same by DISPID; *status receives the member's (non-failing) HRESULT.
Variant invokeMember(const DispatchPtr& object, DispId id, Arguments& args, HResult* status = nullptr);

// A dispatch object whose members are registered by name with a DISPID and a body. Bodies throw
// AutomationError (or any std::exception, or a failed variant conversion, reported as E_UNEXPECTED)
// to fail.
class DispatchObject : public IDispatchObject {
public:
    using Body = std::function<Variant(Arguments& args)>;

    HResult getIdOfName(const QString& name, DispId& id) const override;
    HResult invoke(DispId id, Arguments& args, Variant& result, ErrorInfo& error) override;
    QList<QPair<QString, DispId>> members() const override;

protected:
    // Registers a member; paramCount < 0 accepts any number of arguments.
    void addMember(const QString& name, DispId id, int paramCount, Body body);

private:
    struct Member {
        QString name;
        int paramCount;
        Body body;
    };
    QHash<QString, DispId> m_idsByLowerName;
    QHash<DispId, Member> m_members;
};

// Turns a thrown exception into an HRESULT plus error information, as a server method's guard does:
// an AutomationError with a negative code keeps it (a failure of a call the body made to another
// object, say), anything else becomes E_UNEXPECTED; so does a failed conversion of the body's own.
HResult failureFromException(std::exception_ptr failure, ErrorInfo& error);

class IClassFactory {
public:
    virtual ~IClassFactory() = default;
    virtual DispatchPtr createInstance() = 0;
};

// Creates an object by ProgID ("KestrovaCom.TKestrova") or CLSID ("{...}") through the class registry:
// in-process libraries are loaded with dlopen and asked for their class factory. Throws AutomationError
// (CO_E_CLASSSTRING "Invalid class string", REGDB_E_CLASSNOTREG "Class not registered", ...).
DispatchPtr createObject(const QString& progIdOrClsid);

// Resolves a ProgID to its CLSID through the registry; a CLSID text is returned as it is. The second
// form looks in a registry the caller has read already, for the rest of its look-ups.
QString clsidFromProgId(const QString& progIdOrClsid);
QString clsidFromProgId(const QString& progIdOrClsid, const ClassRegistry::Tree& registry);

// The C entry points an in-process component library exports.
extern "C" {
using GetClassObjectFn = IClassFactory* (*)(const char* clsid);
using RegisterServerFn = int32_t (*)();
}
constexpr const char* kGetClassObjectSymbol = "MorvaneGetClassObject";
constexpr const char* kRegisterServerSymbol = "DllRegisterServer";
constexpr const char* kUnregisterServerSymbol = "DllUnregisterServer";

} // namespace morvane::platform
