#include "TypeInfo.h"

#include <QJsonArray>

namespace morvane::platform {

namespace {

struct TypeName {
    ParamType type;
    const char* name;
    int vt; // the automation type number of the pointed-to or passed type
};

constexpr TypeName kTypeNames[] = {
    {ParamType::Int32, "int32", 3},          {ParamType::BStr, "BSTR", 8},
    {ParamType::Variant, "VARIANT", 12},     {ParamType::Int32Ptr, "int32*", 3},
    {ParamType::VariantPtr, "VARIANT*", 12},
};

const TypeName& typeName(ParamType type) {
    for (const TypeName& entry : kTypeNames) {
        if (entry.type == type)
            return entry;
    }
    return kTypeNames[2];
}

QJsonArray flagNames(int flags) {
    QJsonArray names;
    if (flags & paramflag::In)
        names.append(QStringLiteral("in"));
    if (flags & paramflag::Out)
        names.append(QStringLiteral("out"));
    if (flags & paramflag::Retval)
        names.append(QStringLiteral("retval"));
    return names;
}

QJsonObject paramJson(const ParamDesc& param) {
    return QJsonObject{{QStringLiteral("name"), param.name},
                       {QStringLiteral("type"), paramTypeName(param.type)},
                       {QStringLiteral("vt"), typeName(param.type).vt},
                       {QStringLiteral("byRef"), isByRef(param.type)},
                       {QStringLiteral("flags"), param.flags},
                       {QStringLiteral("flagNames"), flagNames(param.flags)}};
}

QJsonArray stringArray(const QStringList& list) {
    QJsonArray array;
    for (const QString& item : list)
        array.append(item);
    return array;
}

QStringList stringList(const QJsonValue& value) {
    QStringList list;
    for (const QJsonValue& item : value.toArray())
        list.append(item.toString());
    return list;
}

std::optional<ParamDesc> paramFromJson(const QJsonValue& value) {
    const QJsonObject object = value.toObject();
    const auto type = paramTypeFromName(object.value(QStringLiteral("type")).toString());
    const QString name = object.value(QStringLiteral("name")).toString();
    if (!type || name.isEmpty())
        return std::nullopt;
    return ParamDesc{name, *type, object.value(QStringLiteral("flags")).toInt(paramflag::In)};
}

} // namespace

bool isByRef(ParamType type) {
    return type == ParamType::Int32Ptr || type == ParamType::VariantPtr;
}

VarType coercedType(ParamType type) {
    switch (type) {
    case ParamType::Int32:
    case ParamType::Int32Ptr:
        return VarType::I4;
    case ParamType::BStr:
        return VarType::BStr;
    case ParamType::Variant:
    case ParamType::VariantPtr:
        break;
    }
    return VarType::Empty;
}

QString paramTypeName(ParamType type) {
    return QLatin1String(typeName(type).name);
}

std::optional<ParamType> paramTypeFromName(const QString& name) {
    for (const TypeName& entry : kTypeNames) {
        if (name == QLatin1String(entry.name))
            return entry.type;
    }
    return std::nullopt;
}

const MethodDesc* InterfaceDesc::findByName(const QString& name) const {
    for (const MethodDesc& method : methods) {
        if (method.name.compare(name, Qt::CaseInsensitive) == 0)
            return &method;
    }
    return nullptr;
}

const MethodDesc* InterfaceDesc::findByDispId(DispId dispid) const {
    for (const MethodDesc& method : methods) {
        if (method.dispid == dispid)
            return &method;
    }
    return nullptr;
}

HResult InterfaceDesc::idOfName(const QString& name, DispId& id) const {
    const MethodDesc* method = findByName(name);
    if (!method)
        return hr::DISP_E_UNKNOWNNAME;
    id = method->dispid;
    return hr::S_OK;
}

QList<QPair<QString, DispId>> InterfaceDesc::memberList() const {
    QList<QPair<QString, DispId>> list;
    for (const MethodDesc& method : methods)
        list.append({method.name, method.dispid});
    return list;
}

QJsonObject TypeLibraryDesc::toJson() const {
    QJsonArray imported;
    for (const ImportDesc& import : imports)
        imported.append(QJsonObject{{QStringLiteral("name"), import.name}, {QStringLiteral("libid"), import.libid}});

    QJsonArray slotTable;
    for (int i = 0; i < baseSlots.size(); ++i) {
        slotTable.append(QJsonObject{
            {QStringLiteral("slot"), i},
            {QStringLiteral("name"), baseSlots.at(i)},
            {QStringLiteral("interface"), i < 3 ? QStringLiteral("IUnknown") : QStringLiteral("IDispatch")}});
    }
    QJsonArray methods;
    for (const MethodDesc& method : dispatchInterface.methods) {
        QJsonArray params;
        for (const ParamDesc& param : method.params)
            params.append(paramJson(param));
        QJsonObject entry{
            {QStringLiteral("slot"), method.slot},
            {QStringLiteral("dispid"), method.dispid},
            {QStringLiteral("name"), method.name},
            {QStringLiteral("interface"), method.interfaceName},
            {QStringLiteral("params"), params},
            {QStringLiteral("retval"), method.retval ? QJsonValue(paramJson(*method.retval)) : QJsonValue()},
            {QStringLiteral("helpString"), method.helpString}};
        methods.append(entry);
        slotTable.append(QJsonObject{{QStringLiteral("slot"), method.slot},
                                     {QStringLiteral("name"), method.name},
                                     {QStringLiteral("interface"), method.interfaceName}});
    }
    const InterfaceDesc& itf = dispatchInterface;
    return QJsonObject{
        {QStringLiteral("library"), QJsonObject{{QStringLiteral("name"), name},
                                                {QStringLiteral("libid"), libid},
                                                {QStringLiteral("helpString"), helpString},
                                                {QStringLiteral("version"), version},
                                                {QStringLiteral("lcid"), lcid},
                                                {QStringLiteral("syskind"), syskind},
                                                {QStringLiteral("imports"), imported}}},
        {QStringLiteral("interface"), QJsonObject{{QStringLiteral("name"), itf.name},
                                                  {QStringLiteral("iid"), itf.iid},
                                                  {QStringLiteral("version"), itf.version},
                                                  {QStringLiteral("flags"), stringArray(itf.flags)},
                                                  {QStringLiteral("base"), itf.baseName},
                                                  {QStringLiteral("baseIid"), itf.baseIid},
                                                  {QStringLiteral("helpString"), itf.helpString},
                                                  {QStringLiteral("slotCount"), static_cast<int>(slotTable.size())},
                                                  {QStringLiteral("slots"), slotTable},
                                                  {QStringLiteral("methods"), methods}}},
        {QStringLiteral("coclass"),
         QJsonObject{
             {QStringLiteral("name"), coclass.name},
             {QStringLiteral("clsid"), coclass.clsid},
             {QStringLiteral("version"), coclass.version},
             {QStringLiteral("flags"), stringArray(coclass.flags)},
             {QStringLiteral("helpString"), coclass.helpString},
             {QStringLiteral("interfaces"), QJsonArray{QJsonObject{{QStringLiteral("name"), coclass.defaultInterface},
                                                                   {QStringLiteral("default"), true}}}}}},
    };
}

std::optional<TypeLibraryDesc> TypeLibraryDesc::fromJson(const QJsonObject& json, QString* error) {
    const auto fail = [error](const QString& why) -> std::optional<TypeLibraryDesc> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    TypeLibraryDesc lib;
    const QJsonObject library = json.value(QStringLiteral("library")).toObject();
    lib.name = library.value(QStringLiteral("name")).toString();
    lib.libid = library.value(QStringLiteral("libid")).toString();
    lib.helpString = library.value(QStringLiteral("helpString")).toString();
    lib.version = library.value(QStringLiteral("version")).toString();
    lib.lcid = library.value(QStringLiteral("lcid")).toInt();
    lib.syskind = library.value(QStringLiteral("syskind")).toString();
    for (const QJsonValue& import : library.value(QStringLiteral("imports")).toArray()) {
        lib.imports.append({import.toObject().value(QStringLiteral("name")).toString(),
                            import.toObject().value(QStringLiteral("libid")).toString()});
    }

    const QJsonObject itf = json.value(QStringLiteral("interface")).toObject();
    if (itf.isEmpty())
        return fail(QStringLiteral("the type information has no interface"));
    InterfaceDesc& desc = lib.dispatchInterface;
    desc.name = itf.value(QStringLiteral("name")).toString();
    desc.iid = itf.value(QStringLiteral("iid")).toString();
    desc.version = itf.value(QStringLiteral("version")).toString();
    desc.flags = stringList(itf.value(QStringLiteral("flags")));
    desc.baseName = itf.value(QStringLiteral("base")).toString();
    desc.baseIid = itf.value(QStringLiteral("baseIid")).toString();
    desc.helpString = itf.value(QStringLiteral("helpString")).toString();
    for (const QJsonValue& slot : itf.value(QStringLiteral("slots")).toArray()) {
        const QJsonObject entry = slot.toObject();
        const QString itfName = entry.value(QStringLiteral("interface")).toString();
        if (itfName == QLatin1String("IUnknown") || itfName == QLatin1String("IDispatch"))
            lib.baseSlots.append(entry.value(QStringLiteral("name")).toString());
    }
    for (const QJsonValue& value : itf.value(QStringLiteral("methods")).toArray()) {
        const QJsonObject entry = value.toObject();
        MethodDesc method;
        method.name = entry.value(QStringLiteral("name")).toString();
        method.dispid = entry.value(QStringLiteral("dispid")).toInt();
        method.slot = entry.value(QStringLiteral("slot")).toInt();
        method.interfaceName = entry.value(QStringLiteral("interface")).toString();
        method.helpString = entry.value(QStringLiteral("helpString")).toString();
        if (method.name.isEmpty())
            return fail(QStringLiteral("a method of the type information has no name"));
        for (const QJsonValue& param : entry.value(QStringLiteral("params")).toArray()) {
            const auto decoded = paramFromJson(param);
            if (!decoded)
                return fail(QStringLiteral("a parameter of %1 is not readable").arg(method.name));
            method.params.append(*decoded);
        }
        if (entry.value(QStringLiteral("retval")).isObject())
            method.retval = paramFromJson(entry.value(QStringLiteral("retval")));
        desc.methods.append(method);
    }

    const QJsonObject coclass = json.value(QStringLiteral("coclass")).toObject();
    lib.coclass.name = coclass.value(QStringLiteral("name")).toString();
    lib.coclass.clsid = coclass.value(QStringLiteral("clsid")).toString();
    lib.coclass.version = coclass.value(QStringLiteral("version")).toString();
    lib.coclass.flags = stringList(coclass.value(QStringLiteral("flags")));
    lib.coclass.helpString = coclass.value(QStringLiteral("helpString")).toString();
    const QJsonArray implemented = coclass.value(QStringLiteral("interfaces")).toArray();
    if (!implemented.isEmpty())
        lib.coclass.defaultInterface = implemented.first().toObject().value(QStringLiteral("name")).toString();
    return lib;
}

} // namespace morvane::platform
