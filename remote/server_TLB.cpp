#include "server_TLB.h"

namespace morvane::server_TLB {

namespace {

using platform::MethodDesc;
using platform::ParamDesc;
using platform::ParamType;
namespace pf = platform::paramflag;

// One method as the type library declares it: "name type" pairs separated by commas; a parameter
// written "out name type" or "inout name type" is flagged so (otherwise in).
struct Row {
    int slot;
    int dispid;
    const char* name;
    const char* params;
    const char* retval; // "name type", or "" for none
    const char* help;
};

constexpr Row kAppServer[] = {
    {7, 20000000, "AS_ApplyUpdates",
     "ProviderName BSTR, Delta VARIANT, MaxErrors int32, out ErrorCount int32*, inout OwnerData VARIANT*",
     "Result VARIANT", ""},
    {8, 20000001, "AS_GetRecords",
     "ProviderName BSTR, Count int32, out RecsOut int32*, Options int32, CommandText BSTR, inout Params VARIANT*, "
     "inout OwnerData VARIANT*",
     "Result VARIANT", ""},
    {9, 20000002, "AS_DataRequest", "ProviderName BSTR, Data VARIANT", "Result VARIANT", ""},
    {10, 20000003, "AS_GetProviderNames", "", "Result VARIANT", ""},
    {11, 20000004, "AS_GetParams", "ProviderName BSTR, inout OwnerData VARIANT*", "Result VARIANT", ""},
    {12, 20000005, "AS_RowRequest", "ProviderName BSTR, Row VARIANT, RequestType int32, inout OwnerData VARIANT*",
     "Result VARIANT", ""},
    {13, 20000006, "AS_Execute", "ProviderName BSTR, CommandText BSTR, inout Params VARIANT*, inout OwnerData VARIANT*",
     "", ""},
};

// The pointer inputs of GetRecords, GetControlRecordCount and ReadDeviceInfo are flagged in only,
// although the server writes into them.
constexpr Row kOwn[] = {
    {14, 319, "LoadControlsTime", "", "Value int32", "加载控制器时间"},
    {15, 321, "OpenDoorDelayTime", "DoorNo int32, DelaySec int32", "Param4 VARIANT", "加载开门延时时间"},
    {16, 318, "DataSaveMode", "DsmOption int32", "Param4 int32", "数据保存模式"},
    {17, 322, "LoadPassword", "aMasterPass VARIANT, aCommonPass VARIANT, aIntimidatePass VARIANT", "Param5 int32",
     "加载超级密码、通用密码、胁迫密码"},
    {18, 323, "SetDoorEachLock", "aDoorEachLock int32", "Param5 int32", "设置双门互锁"},
    {19, 324, "InitializeControl", "aInitOption int32", "Param4 int32", "系统初始化"},
    {20, 325, "RmtOpenDoor", "aDoorNumber int32", "Param5 int32", "远程开门"},
    {21, 326, "CleHoliday", "", "Param4 int32", "取消节假日"},
    {22, 327, "SetHoliday", "aszHolidayData VARIANT", "Param5 int32", "设置节假日"},
    {23, 328, "AddCardUser",
     "aCardNumber int32, aCardType int32, aDoorNumber int32, aPassword VARIANT, aOpenDoorMode int32, "
     "aCardBegDateTime VARIANT, aCardEndDateTime VARIANT, aUserTime int32, aDeadboltId int32",
     "Param11 int32", "添加门禁系统用户"},
    {24, 329, "LoadOpenDoorTime", "aFlag int32, aCardType int32, aOpenDoorTime VARIANT", "Param4 int32",
     "加载开门时间段"},
    {25, 330, "LoadOpenDoorMode", "aCardType int32, aOpenDoorMode VARIANT", "Param6 VARIANT", "设置开门方式"},
    {26, 331, "DeleteUser", "aCardNumber int32", "Param5 VARIANT", "删除控制器中卡用户DeleteCardNo"},
    {27, 332, "GetRecords", "aDeviceType int32, aMacAdder VARIANT, aIpAdder VARIANT, aRecord VARIANT*", "Param4 int32",
     "读取用户记录"},
    {28, 334, "GetControlRecordCount",
     "aDeviceType int32, aMacAdder VARIANT, aIpAdder VARIANT, aRecordCount int32*, aReadOldRecord VARIANT",
     "Param5 int32", "读取控制器记录数量"},
    {29, 335, "DoorAlarmState", "aDoorAlarmState int32", "Param2 int32", "设置保健时门的状态"},
    {30, 336, "LoadMoreCardGroup", "aGroupNumber int32, aCardCount int32", "Param7 int32", "加载取消多卡开门用户组"},
    {31, 339, "ExigLongOpenDoor", "aDoorNo int32", "Param8 int32", "紧急常开门"},
    {32, 342, "LoadLinkInfo",
     "ServerIpAdr VARIANT, ControlIpAdr VARIANT, SubnetMask VARIANT, Gateway VARIANT, port VARIANT", "Param5 int32",
     "设置HIP地址、控制器IP地址、子网掩码、网关、服务器端口"},
    {33, 343, "GetContolType", "aMacAdder BSTR, aMsgMode VARIANT, aControlIp VARIANT, aControlPort VARIANT",
     "Param2 VARIANT", "取控制器类型"},
    {34, 344, "PreventReturn", "aPreventBack int32", "Param3 int32", "防潜回设置"},
    {35, 346, "ReadOldAllRecord", "aDeviceType int32, aMacAdder VARIANT, aIpAdder VARIANT", "Param2 int32",
     "重提所有记录"},
    {36, 347, "TestLinkControl", "", "Param5 VARIANT", "测试连接控制器"},
    {37, 348, "CheckDoorMagnetism", "aDoorNumber int32", "Param3 int32", "检测门磁信号"},
    {38, 350, "StopScanControl", "", "Param2 int32", "结束实时监控"},
    {39, 351, "BegScanControl", "ipAdder VARIANT, mac VARIANT, msgmode VARIANT", "Param2 int32", "开始实时监控"},
    {40, 352, "TestLink", "", "Param4 int32", "测试连接"},
    {41, 353, "OpenCon", "aDeviceType int32, aMacAdder VARIANT, aIpAdder VARIANT", "Param4 int32", ""},
    {42, 354, "CloseCon", "", "Param1 int32", ""},
    {43, 355, "HostilityBrushCard", "HostilityCount int32", "Param2 int32", ""},
    {44, 356, "RealTimeScanId", "", "Param1 int32", ""},
    {45, 357, "UDPLoadLinkInfo",
     "MacAddress VARIANT, ServerIpAdr VARIANT, ControlIpAdr VARIANT, SubnetMask VARIANT, Gateway VARIANT",
     "Param7 int32", ""},
    {46, 301, "SetComputerAlarm", "aComputerAlarm int32", "Param2 int32", "电脑报警"},
    {47, 302, "CancelAlarm", "", "Param2 int32", "取消报警"},
    {48, 303, "ExigLongCloseDoor", "szCardType VARIANT, DoorNo int32", "Param2 int32", "紧急关门（门常闭/恢复正常）"},
    {49, 304, "RmtOperatorPower", "Circuitry1 int32, Circuitry2 int32", "Param3 int32",
     "电脑任意组合控制开关远程通电或断电"},
    {50, 305, "ReadDeviceInfo",
     "CardNumber int32*, Circuitry1 int32*, Circuitry2 int32*, MCState int32*, AlarmState int32*", "Param6 int32",
     "读取开关的状态"},
};

ParamDesc param(const QString& text, int defaultFlags) {
    QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    int flags = defaultFlags;
    if (words.size() == 3) {
        flags = words.takeFirst() == QLatin1String("out") ? pf::Out : pf::In | pf::Out;
    }
    Q_ASSERT(words.size() == 2);
    const auto type = platform::paramTypeFromName(words.at(1));
    Q_ASSERT(type);
    return ParamDesc{words.at(0), type.value_or(ParamType::Variant), flags};
}

MethodDesc method(const Row& row, const QString& interfaceName) {
    MethodDesc desc;
    desc.name = QLatin1String(row.name);
    desc.dispid = row.dispid;
    desc.slot = row.slot;
    desc.interfaceName = interfaceName;
    desc.helpString = QString::fromUtf8(row.help);
    for (const QString& text : QString::fromLatin1(row.params).split(QLatin1Char(','), Qt::SkipEmptyParts))
        desc.params.append(param(text, pf::In));
    if (*row.retval)
        desc.retval = param(QString::fromLatin1(row.retval), pf::Out | pf::Retval);
    return desc;
}

platform::TypeLibraryDesc build() {
    platform::TypeLibraryDesc lib;
    lib.name = QStringLiteral("server");
    lib.libid = LIBID_server;
    lib.helpString = QStringLiteral("server Library");
    lib.version = QStringLiteral("1.0");
    lib.lcid = 1033;
    lib.syskind = QStringLiteral("win32");
    lib.imports = {{QStringLiteral("stdole2.tlb"), LIBID_stdole}, {QStringLiteral("midas.dll"), LIBID_Midas}};
    lib.baseSlots = {QStringLiteral("QueryInterface"), QStringLiteral("AddRef"),
                     QStringLiteral("Release"),        QStringLiteral("GetTypeInfoCount"),
                     QStringLiteral("GetTypeInfo"),    QStringLiteral("GetIDsOfNames"),
                     QStringLiteral("Invoke")};

    platform::InterfaceDesc& itf = lib.dispatchInterface;
    itf.name = QStringLiteral("Irmtserver");
    itf.iid = IID_Irmtserver;
    itf.version = QStringLiteral("1.0");
    itf.flags = {QStringLiteral("dual"), QStringLiteral("oleautomation"), QStringLiteral("dispatchable")};
    itf.baseName = QStringLiteral("IAppServer");
    itf.baseIid = IID_IAppServer;
    itf.helpString = QStringLiteral("Dispatch interface for rmtserver Object");
    for (const Row& row : kAppServer)
        itf.methods.append(method(row, QStringLiteral("IAppServer")));
    for (const Row& row : kOwn)
        itf.methods.append(method(row, QStringLiteral("Irmtserver")));

    lib.coclass.name = QStringLiteral("rmtserver");
    lib.coclass.clsid = CLASS_rmtserver;
    lib.coclass.version = QStringLiteral("1.0");
    lib.coclass.flags = {QStringLiteral("creatable")};
    lib.coclass.helpString = QStringLiteral("rmtserver Object");
    lib.coclass.defaultInterface = itf.name;
    return lib;
}

} // namespace

const platform::TypeLibraryDesc& typeLibrary() {
    static const platform::TypeLibraryDesc library = build();
    return library;
}

} // namespace morvane::server_TLB
