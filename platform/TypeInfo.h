#pragma once

#include "Automation.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace morvane::platform {

// The type information of a dispatch interface as a type library holds it: enough for late-bound
// callers to find a member by name or DISPID, to know each parameter's type and direction, and to be
// written out (and read back) as JSON for clients on the wire.

// The parameter types the system's interfaces use. The pointer types are by-reference parameters.
enum class ParamType { Int32, BStr, Variant, Int32Ptr, VariantPtr };

bool isByRef(ParamType type);
// The automation type a by-value argument is coerced to (Empty for VARIANT: taken as it comes).
VarType coercedType(ParamType type);
QString paramTypeName(ParamType type); // "int32", "BSTR", "VARIANT", "int32*", "VARIANT*"
std::optional<ParamType> paramTypeFromName(const QString& name);

// Parameter flags with the values type libraries give them.
namespace paramflag {
constexpr int In = 0x1;
constexpr int Out = 0x2;
constexpr int Retval = 0x8;
} // namespace paramflag

struct ParamDesc {
    QString name;
    ParamType type = ParamType::Variant;
    int flags = paramflag::In;
};

struct MethodDesc {
    QString name;
    DispId dispid = 0;
    int slot = 0;                    // position in the interface's table of functions
    QList<ParamDesc> params;         // the inputs, in order (the retval is not among them)
    std::optional<ParamDesc> retval; // flagged out and retval; none for a method without a result
    QString helpString;
    QString interfaceName; // the interface that declares it (a base interface for inherited methods)

    // Out-only parameters may be left out of a call by name.
    bool isOutOnly(int index) const {
        return (params.at(index).flags & (paramflag::In | paramflag::Out)) == paramflag::Out;
    }
};

// A dispatch interface: its own methods and those it inherits, in slot order.
struct InterfaceDesc {
    QString name;
    QString iid;
    QString version;
    QStringList flags; // "dual", "oleautomation", "dispatchable"
    QString baseName;
    QString baseIid;
    QString helpString;
    QList<MethodDesc> methods; // inherited methods first, every method with its slot

    // By name without regard to case, as by-name dispatch looks members up; nullptr when unknown.
    const MethodDesc* findByName(const QString& name) const;
    const MethodDesc* findByDispId(DispId dispid) const;
    // As a dispatch interface answers: the DISPID of a name, or DISP_E_UNKNOWNNAME; every member.
    HResult idOfName(const QString& name, DispId& id) const;
    QList<QPair<QString, DispId>> memberList() const;
};

struct CoclassDesc {
    QString name;
    QString clsid;
    QString version;
    QStringList flags; // "creatable"
    QString helpString;
    QString defaultInterface;
};

struct ImportDesc {
    QString name;
    QString libid;
};

struct TypeLibraryDesc {
    QString name;
    QString libid;
    QString helpString;
    QString version;
    int lcid = 0;
    QString syskind;
    QList<ImportDesc> imports;
    // The slots below the dispatch interface's own table: IUnknown and IDispatch, by name.
    QStringList baseSlots;
    InterfaceDesc dispatchInterface;
    CoclassDesc coclass;

    QJsonObject toJson() const;
    // Reads what toJson wrote; nullopt (with a reason) for anything else.
    static std::optional<TypeLibraryDesc> fromJson(const QJsonObject& json, QString* error = nullptr);
};

// An object that can tell its type information: callers on the wire find members, parameter types
// and by-reference parameters through it.
class ITypeInfoProvider {
public:
    virtual ~ITypeInfoProvider() = default;
    virtual const TypeLibraryDesc& typeLibrary() const = 0;
};

// A dispatch object whose members are those of its type library's interface, here or in another process.
class DescribedDispatchObject : public IDispatchObject, public ITypeInfoProvider {
public:
    HResult getIdOfName(const QString& name, DispId& id) const override {
        return typeLibrary().dispatchInterface.idOfName(name, id);
    }
    QList<QPair<QString, DispId>> members() const override { return typeLibrary().dispatchInterface.memberList(); }
};

} // namespace morvane::platform
