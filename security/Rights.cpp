#include "Rights.h"

#include "DbSchema.h"

#include <QHash>

#include <algorithm>

namespace morvane::security {

namespace {

// The modules by their action names (menuenglishname, trimmed).
const QString kDepartments = QStringLiteral("atn_base_dept");
const QString kStaff = QStringLiteral("atn_base_staff");
const QString kOperators = QStringLiteral("atn_sys_a");
const QString kDevices = QStringLiteral("atn_base_controls");
const QString kDeviceInit = QStringLiteral("atnDeviceInitialize");
const QString kDeviceIp = QStringLiteral("atnsetdeviceip");
const QString kReloadCards = QStringLiteral("afreshdowncard");
const QString kMonitoring = QStringLiteral("atn_scanallcontrol");
const QString kRecords = QStringLiteral("act_contl_readlogdata");
const QString kHolidays = QStringLiteral("atn_contl_feast");
const QString kTimeGroups = QStringLiteral("atn_contl_timegrp");
const QString kIssueCard = QStringLiteral("atn_card_IcOut");
const QString kCancelCard = QStringLiteral("atn_card_revoke");
const QString kBasicData = QStringLiteral("atnBaseinfoset");

struct MethodEntry {
    const char* name;
    MethodRule::Kind kind;
    const QString* module;
};

const QList<MethodEntry>& methodEntries() {
    using K = MethodRule::Kind;
    static const QList<MethodEntry> entries{
        {"AS_ApplyUpdates", K::ByProvider, nullptr},
        {"AS_GetRecords", K::ByProvider, nullptr},
        {"AS_DataRequest", K::ByProvider, nullptr},
        {"AS_GetProviderNames", K::AnyOperator, nullptr},
        {"AS_GetParams", K::ByProvider, nullptr},
        {"AS_RowRequest", K::ByProvider, nullptr},
        {"AS_Execute", K::ByProvider, nullptr},
        {"LoadControlsTime", K::Module, &kDeviceInit},
        {"OpenDoorDelayTime", K::Module, &kDeviceInit},
        {"DataSaveMode", K::Module, &kDeviceInit},
        {"LoadPassword", K::Module, &kDeviceInit},
        {"SetDoorEachLock", K::Module, &kDeviceInit},
        {"InitializeControl", K::Module, &kDeviceInit},
        {"RmtOpenDoor", K::Module, &kMonitoring},
        {"CleHoliday", K::Module, &kHolidays},
        {"SetHoliday", K::Module, &kHolidays},
        {"AddCardUser", K::Module, &kReloadCards},
        {"LoadOpenDoorTime", K::Module, &kTimeGroups},
        {"LoadOpenDoorMode", K::Module, &kDeviceInit},
        {"DeleteUser", K::Module, &kReloadCards},
        {"GetRecords", K::Module, &kRecords},
        {"GetControlRecordCount", K::Module, &kRecords},
        {"DoorAlarmState", K::Module, &kDeviceInit},
        {"LoadMoreCardGroup", K::Module, &kDeviceInit},
        {"ExigLongOpenDoor", K::Module, &kMonitoring},
        {"LoadLinkInfo", K::Module, &kDeviceIp},
        {"GetContolType", K::AnyOperator, nullptr},
        {"PreventReturn", K::Module, &kDeviceInit},
        {"ReadOldAllRecord", K::Module, &kRecords},
        {"TestLinkControl", K::AnyOperator, nullptr},
        {"CheckDoorMagnetism", K::Module, &kMonitoring},
        {"StopScanControl", K::Module, &kMonitoring},
        {"BegScanControl", K::Module, &kMonitoring},
        {"TestLink", K::AnyOperator, nullptr},
        {"OpenCon", K::AnyOperator, nullptr},
        {"CloseCon", K::AnyOperator, nullptr},
        {"HostilityBrushCard", K::Module, &kDeviceInit},
        {"RealTimeScanId", K::AnyOperator, nullptr},
        {"UDPLoadLinkInfo", K::Module, &kDeviceIp},
        {"SetComputerAlarm", K::Module, &kMonitoring},
        {"CancelAlarm", K::Module, &kMonitoring},
        {"ExigLongCloseDoor", K::Module, &kMonitoring},
        {"RmtOperatorPower", K::Module, &kMonitoring},
        {"ReadDeviceInfo", K::Module, &kMonitoring},
    };
    return entries;
}

struct ProviderEntry {
    const char* name;
    ProviderRule::Kind kind;
    const QString* module;
};

const QList<ProviderEntry>& providerEntries() {
    using K = ProviderRule::Kind;
    static const QList<ProviderEntry> entries{
        {"dsp_open_public", K::Administrator, &kRightsModule},
        {"dsp_exec_public", K::Administrator, &kRightsModule},
        {"dsp_exec1_public", K::Administrator, &kRightsModule},
        {"dsp_exec2_public", K::Administrator, &kRightsModule},
        {"dsp_exec3_public", K::Administrator, &kRightsModule},
        {"dsp_open_ScanAllControl", K::Administrator, &kRightsModule},
        {"dsp_department", K::Module, &kDepartments},
        {"dsp_stafferView", K::Module, &kStaff},
        {"dsp_pqpertype", K::Dictionary, &kBasicData},
        {"dsp_sex", K::Dictionary, &kBasicData},
        {"dsp_deviceview", K::Module, &kDevices},
        {"dsp_devicetype", K::Dictionary, &kBasicData},
        {"dsp_msgmode", K::Dictionary, &kBasicData},
        {"dsp_opendoormode", K::Dictionary, &kBasicData},
        {"dsp_holiday", K::Module, &kHolidays},
        {"dsp_timeparagraph", K::Module, &kTimeGroups},
        {"dsp_mordcard", K::Module, &kDevices},
        {"dsp_timegroup", K::Module, &kTimeGroups},
        {"dsp_popedomgroup", K::Module, &kRightsModule},
        {"dsp_systemenu", K::Module, &kRightsModule},
        {"dsp_operator", K::Module, &kOperators},
        {"dsp_operatormenu", K::Module, &kOperators},
        {"dsp_operatorlogon", K::Module, &kOperators},
        {"dsp_popedomgroupmodule", K::Module, &kRightsModule},
        {"dsp_devicemordcard", K::Module, &kDevices},
        {"dsp_deviceholiday", K::Module, &kHolidays},
        {"dsp_devicetimegroup", K::Module, &kTimeGroups},
        {"dsp_brushcardlog", K::Module, &kRecords},
        {"dsp_doorinfo", K::Module, &kDevices},
        {"dsp_makecard", K::Module, &kIssueCard},
        {"dsp_open1_public", K::Administrator, &kRightsModule},
        {"dsp_open2_public", K::Administrator, &kRightsModule},
        {"dsp_revokecard", K::Module, &kCancelCard},
        {"dsp_tempdepartment", K::Module, &kDepartments},
        {"dsp_wordbook", K::Dictionary, &kBasicData},
        {"dsp_systemlog", K::Module, &kRightsModule},
    };
    return entries;
}

struct TableEntry {
    const char* name;
    const QString* module;
    bool freeRead;
    bool freeInsert;
    bool administrator;
};

const QList<TableEntry>& tableEntries() {
    static const QList<TableEntry> entries{
        {"ac_popedomgroup", &kRightsModule, false, false, false},
        {"ac_popedomgroupmodule", &kRightsModule, false, false, false},
        {"ac_operator", &kOperators, false, false, false},
        {"ac_systemoudle", &kRightsModule, false, false, false},
        {"ac_department", &kDepartments, false, false, false},
        {"ac_staffer", &kStaff, false, false, false},
        {"ac_device", &kDevices, false, false, false},
        {"brushcardlog", &kRecords, false, false, false},
        {"ac_holiday", &kHolidays, false, false, false},
        {"ac_timeparagraph", &kTimeGroups, false, false, false},
        {"ac_timegroup", &kTimeGroups, false, false, false},
        {"ac_makecard", &kIssueCard, false, false, false},
        {"ac_doorinfo", &kDevices, false, false, false},
        {"ac_propmordcard", &kDevices, false, false, false},
        {"ac_propholiday", &kHolidays, false, false, false},
        {"ac_proptimegroup", &kTimeGroups, false, false, false},
        {"ac_wordbook", &kBasicData, true, false, false},
        {"ac_SystemLog", &kRightsModule, false, true, false},
    };
    return entries;
}

// Looked up at every call: the entries by their names in lower case.
template <typename Entry>
const Entry* find(const QList<Entry>& entries, const QString& name) {
    static const QHash<QString, const Entry*> byName = [&entries] {
        QHash<QString, const Entry*> all;
        for (const Entry& entry : entries)
            all.insert(QString::fromLatin1(entry.name).toLower(), &entry);
        return all;
    }();
    // Names as the tables spell them are mostly in lower case already: no copy for them.
    const bool lower = std::none_of(name.begin(), name.end(), [](QChar c) { return c.isUpper(); });
    return byName.value(lower ? name : name.toLower(), nullptr);
}

} // namespace

QString rightName(Right right) {
    switch (right) {
    case Right::Browse:
        return QStringLiteral("browse");
    case Right::Insert:
        return QStringLiteral("insert");
    case Right::Edit:
        return QStringLiteral("edit");
    case Right::Delete:
        break;
    }
    return QStringLiteral("delete");
}

std::optional<MethodRule> methodRule(const QString& method) {
    // Looked up by every call: a hash of the names as the type library spells them.
    static const QHash<QString, MethodRule> rules = [] {
        QHash<QString, MethodRule> all;
        for (const MethodEntry& entry : methodEntries())
            all.insert(QLatin1String(entry.name), {entry.kind, entry.module ? *entry.module : QString(), Right::Edit});
        return all;
    }();
    const auto found = rules.constFind(method);
    if (found == rules.constEnd())
        return std::nullopt;
    return *found;
}

std::optional<ProviderRule> providerRule(const QString& provider) {
    const ProviderEntry* entry = find(providerEntries(), provider);
    if (!entry)
        return std::nullopt;
    return ProviderRule{entry->kind, *entry->module};
}

std::optional<TableRule> tableRule(const QString& table) {
    if (table.compare(db::kOperatorPasswordTable, Qt::CaseInsensitive) == 0)
        return TableRule{kRightsModule, false, false, true};
    const TableEntry* entry = find(tableEntries(), table);
    if (!entry)
        return std::nullopt;
    return TableRule{*entry->module, entry->freeRead, entry->freeInsert, entry->administrator};
}

std::optional<std::pair<QString, Right>> procedureRule(const QString& procedure) {
    if (procedure.compare(QLatin1String("CreateDevice"), Qt::CaseInsensitive) == 0)
        return std::pair{kDevices, Right::Insert};
    if (procedure.compare(QLatin1String("DeleteDevice"), Qt::CaseInsensitive) == 0 ||
        procedure.compare(QLatin1String("DeleteDeviceProperty"), Qt::CaseInsensitive) == 0)
        return std::pair{kDevices, Right::Delete};
    return std::nullopt;
}

QStringList ruledMethods() {
    QStringList names;
    for (const MethodEntry& entry : methodEntries())
        names.append(QLatin1String(entry.name));
    return names;
}

QStringList ruledProviders() {
    QStringList names;
    for (const ProviderEntry& entry : providerEntries())
        names.append(QLatin1String(entry.name));
    return names;
}

} // namespace morvane::security
