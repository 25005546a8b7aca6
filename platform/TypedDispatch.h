#pragma once

#include "Automation.h"
#include "TypeInfo.h"

#include <QHash>

namespace morvane::platform {

// A dispatch object whose members are those of a type library's interface, as a server class that is
// described by a type library answers late-bound calls: names and DISPIDs come from the library, each
// by-value argument is coerced to its declared type before the body runs (an int32 parameter takes
// "5" as 5 and refuses "abc" with DISP_E_TYPEMISMATCH), and a VARIANT result starts out EMPTY.
// Bodies throw AutomationError (or any std::exception, reported as E_UNEXPECTED) to fail; a conversion
// that fails inside a body is E_UNEXPECTED too, not the coercion's type mismatch.
class TypedDispatchObject : public DescribedDispatchObject {
public:
    using Body = std::function<Variant(Arguments& args)>;

    explicit TypedDispatchObject(const TypeLibraryDesc& library);

    HResult invoke(DispId id, Arguments& args, Variant& result, ErrorInfo& error) override;
    const TypeLibraryDesc& typeLibrary() const override { return m_library; }

protected:
    // Gives a method of the interface its body; a method without one answers DISP_E_MEMBERNOTFOUND.
    void bind(const QString& name, Body body);

private:
    const TypeLibraryDesc& m_library;
    QHash<DispId, Body> m_bodies;
};

} // namespace morvane::platform
