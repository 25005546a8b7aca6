#include "rmtdm.h"

#include "CallRights.h"
#include "ComServer.h"
#include "KestrovaAdapter.h"
#include "ProgramDirectory.h"
#include "server_TLB.h"
#include "SystemInfo.h"
#include "unt_controllist.h"
#include "unt_ScanAllControls.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QSet>

#include <atomic>
#include <chrono>
#include <vector>

namespace morvane {

using platform::Arguments;
using platform::AutomationError;
using platform::Variant;
using platform::VarType;
namespace hr = platform::hr;

namespace {

std::atomic<IScanHost*> g_scanHost{nullptr};

// A device kind that the scan cannot poll: BegScanControl reports it with the component's own status
// for a mode it does not know, instead of registering a device that would never be visited.
constexpr int32_t kStatusModeNotMonitored = 1004;
// The component's "busy, ask again": another client's BegScanControl for the same controller did not
// end in time.
constexpr int32_t kStatusBusy = 4;
// Longer than a connection and the start of monitoring take with the component's time-outs.
constexpr std::chrono::milliseconds kRegistrationWait{30000};

Variant newLockObject() {
    return kestrova::CreateLockObject(platform::programDirectory());
}

// The bodies see their arguments already coerced to the declared types (TypedDispatchObject).
int32_t i32(const Arguments& args, size_t index) {
    return args[index].value().toInt32();
}

Variant var(const Arguments& args, size_t index) {
    return args[index].value();
}

int32_t serialPortNumber() {
    // Read at each call: the options dialog may change it while the server runs.
    return platform::SystemInfo.port.load() + 1;
}

std::shared_ptr<monitor::TScanAllControls> scanThread() {
    IScanHost* host = g_scanHost.load();
    return host ? host->ScanThread() : nullptr;
}

// The scanning thread and its registry, which monitoring cannot do without.
std::pair<std::shared_ptr<monitor::TScanAllControls>, std::shared_ptr<monitor::TDeviceList>> monitoring() {
    auto thread = scanThread();
    auto registry = thread ? thread->DeviceList() : nullptr;
    if (!registry)
        throw AutomationError(hr::E_UNEXPECTED,
                              QStringLiteral("Real-time monitoring has ended: the server is closing"));
    return {thread, registry};
}

} // namespace

void setScanHost(IScanHost* host) {
    g_scanHost.store(host);
}

IScanHost* scanHost() {
    return g_scanHost.load();
}

Trmtserver::Trmtserver()
    : TypedDispatchObject(server_TLB::typeLibrary()) {
    bindCommands();
    bindAppServer();
}

platform::HResult Trmtserver::invoke(platform::DispId id, Arguments& args, Variant& result,
                                     platform::ErrorInfo& error) {
    const std::shared_ptr<const provider::CallRights> rights = provider::CallRights::current();
    const platform::MethodDesc* method = typeLibrary().dispatchInterface.findByDispId(id);
    if (!rights || !method)
        return TypedDispatchObject::invoke(id, args, result, error);
    try {
        rights->requireMethod(method->name);
    } catch (...) {
        return platform::failureFromException(std::current_exception(), error);
    }
    const platform::HResult status = TypedDispatchObject::invoke(id, args, result, error);
    // The IAppServer methods are told by the providers; the connection's own calls change nothing.
    static const QSet<QString> quiet{QStringLiteral("OpenCon"),         QStringLiteral("CloseCon"),
                                     QStringLiteral("TestLink"),        QStringLiteral("GetContolType"),
                                     QStringLiteral("TestLinkControl"), QStringLiteral("RealTimeScanId")};
    // A value the client sent as it came, for the log: what cannot be a text is left out.
    const auto text = [&args](size_t index) {
        try {
            return index < args.size() ? args[index].value().toText().left(64) : QString();
        } catch (...) {
            return QString();
        }
    };
    if (method->name.startsWith(QLatin1String("AS_")) || quiet.contains(method->name)) {
        if (method->name == QLatin1String("OpenCon"))
            m_lock = QStringLiteral("%1 %2").arg(text(1), text(2)).trimmed();
        return status;
    }
    QJsonObject details{{QStringLiteral("lock"), m_lock}};
    static const QSet<QString> doorParams{QStringLiteral("aDoorNumber"), QStringLiteral("DoorNo"),
                                          QStringLiteral("aDoorNo")};
    for (qsizetype i = 0; i < method->params.size(); ++i) {
        if (doorParams.contains(method->params.at(i).name))
            details.insert(QStringLiteral("door"), text(static_cast<size_t>(i)));
    }
    if (method->name == QLatin1String("BegScanControl"))
        details.insert(QStringLiteral("lock"), QStringLiteral("%1 %2").arg(text(1), text(0)).trimmed());
    if (method->name == QLatin1String("UDPLoadLinkInfo"))
        details.insert(QStringLiteral("lock"), text(0));
    if (status >= 0 && result.type() == platform::VarType::I4)
        details.insert(QStringLiteral("status"), result.toInt32());
    else
        details.insert(QStringLiteral("reason"), error.message);
    rights->audit(method->name, status >= 0 ? QStringLiteral("ok") : QStringLiteral("failed"), details);
    return status;
}

void Trmtserver::bindCommands() {
    const auto status = [](int32_t value) { return Variant(value); };
    // The forwarding family: the client's values go to the component method of the same row, each by
    // reference to the server's own copy, and the component's answer comes back as the result.
    bind(QStringLiteral("LoadControlsTime"),
         [this, status](Arguments&) { return status(kestrova::COMifAdjustDateTime(FControllerLink)); });
    bind(QStringLiteral("OpenDoorDelayTime"), [this](Arguments& a) {
        int32_t door = i32(a, 0), delay = i32(a, 1);
        return kestrova::ComifOpenDoorDelayTime(FControllerLink, door, delay);
    });
    bind(QStringLiteral("DataSaveMode"), [this, status](Arguments& a) {
        int32_t option = i32(a, 0);
        return status(kestrova::ComifDataSaveMode(FControllerLink, option));
    });
    bind(QStringLiteral("LoadPassword"), [this, status](Arguments& a) {
        Variant master = var(a, 0), common = var(a, 1), duress = var(a, 2);
        return status(kestrova::ComifLoadPassword(FControllerLink, master, common, duress));
    });
    bind(QStringLiteral("SetDoorEachLock"), [this, status](Arguments& a) {
        int32_t interlock = i32(a, 0);
        return status(kestrova::ComifSetEachLock(FControllerLink, interlock));
    });
    bind(QStringLiteral("InitializeControl"), [this, status](Arguments& a) {
        int32_t option = i32(a, 0);
        return status(kestrova::ComifInitializeControl(FControllerLink, option));
    });
    bind(QStringLiteral("RmtOpenDoor"), [this, status](Arguments& a) {
        int32_t door = i32(a, 0);
        return status(kestrova::ComifRmtOpenDoor(FControllerLink, door));
    });
    bind(QStringLiteral("CleHoliday"),
         [this, status](Arguments&) { return status(kestrova::ComifCleHoliday(FControllerLink)); });
    bind(QStringLiteral("SetHoliday"), [this, status](Arguments& a) {
        Variant holidays = var(a, 0);
        return status(kestrova::ComifSetHoliday(FControllerLink, holidays));
    });
    bind(QStringLiteral("LoadOpenDoorTime"), [this, status](Arguments& a) {
        int32_t flag = i32(a, 0), cardType = i32(a, 1);
        Variant times = var(a, 2);
        return status(kestrova::ComifLoadOpenDoorTime(FControllerLink, flag, cardType, times));
    });
    bind(QStringLiteral("LoadOpenDoorMode"), [this](Arguments& a) {
        int32_t cardType = i32(a, 0);
        Variant mode = var(a, 1);
        return kestrova::ComifLoadOpenDoorMode(FControllerLink, cardType, mode);
    });
    bind(QStringLiteral("DeleteUser"), [this](Arguments& a) {
        int32_t card = i32(a, 0);
        return kestrova::ComifDeleteCardNo(FControllerLink, card);
    });
    bind(QStringLiteral("DoorAlarmState"), [this, status](Arguments& a) {
        int32_t state = i32(a, 0);
        return status(kestrova::ComifDoorAlarmState(FControllerLink, state));
    });
    bind(QStringLiteral("LoadMoreCardGroup"), [this, status](Arguments& a) {
        int32_t group = i32(a, 0), count = i32(a, 1);
        return status(kestrova::ComifLoadMoreCardGroup(FControllerLink, group, count));
    });
    bind(QStringLiteral("ExigLongOpenDoor"), [this, status](Arguments& a) {
        int32_t door = i32(a, 0);
        return status(kestrova::ComifExigLongOpenDoor(FControllerLink, door));
    });
    bind(QStringLiteral("LoadLinkInfo"), [this, status](Arguments& a) {
        Variant server = var(a, 0), control = var(a, 1), mask = var(a, 2), gateway = var(a, 3), port = var(a, 4);
        return status(kestrova::ComifLoadLinkInfo(FControllerLink, server, control, mask, gateway, port));
    });
    bind(QStringLiteral("PreventReturn"), [this, status](Arguments& a) {
        int32_t preventBack = i32(a, 0);
        return status(kestrova::ComifPreventReturn(FControllerLink, preventBack));
    });
    bind(QStringLiteral("CheckDoorMagnetism"), [this, status](Arguments& a) {
        int32_t door = i32(a, 0);
        return status(kestrova::ComifCheckDoorMagnetism(FControllerLink, door));
    });
    bind(QStringLiteral("TestLink"),
         [this, status](Arguments&) { return status(kestrova::TestControl(FControllerLink)); });
    bind(QStringLiteral("HostilityBrushCard"), [this, status](Arguments& a) {
        int32_t count = i32(a, 0);
        return status(kestrova::ComifHostilityBrushCard(FControllerLink, count));
    });
    bind(QStringLiteral("SetComputerAlarm"), [this, status](Arguments& a) {
        int32_t alarm = i32(a, 0);
        return status(kestrova::ComifSetComputerAlarm(FControllerLink, alarm));
    });
    bind(QStringLiteral("CancelAlarm"),
         [this, status](Arguments&) { return status(kestrova::ComifCancelAlarm(FControllerLink)); });
    bind(QStringLiteral("ExigLongCloseDoor"), [this, status](Arguments& a) {
        Variant cardType = var(a, 0);
        int32_t door = i32(a, 1);
        return status(kestrova::ComifExigLongCloseDoor(FControllerLink, cardType, door));
    });
    bind(QStringLiteral("RmtOperatorPower"), [this, status](Arguments& a) {
        int32_t first = i32(a, 0), second = i32(a, 1);
        return status(kestrova::ComifRmtOperatorPower(FControllerLink, first, second));
    });
    bind(QStringLiteral("ReadDeviceInfo"), [this, status](Arguments& a) { return status(ReadDeviceInfo(a)); });

    // With logic of their own.
    bind(QStringLiteral("AddCardUser"), [this, status](Arguments& a) { return status(AddCardUser(a)); });
    bind(QStringLiteral("GetRecords"), [this, status](Arguments& a) { return status(GetRecords(a)); });
    bind(QStringLiteral("GetControlRecordCount"),
         [this, status](Arguments& a) { return status(GetControlRecordCount(a)); });
    bind(QStringLiteral("ReadOldAllRecord"), [this, status](Arguments& a) { return status(ReadOldAllRecord(a)); });
    bind(QStringLiteral("UDPLoadLinkInfo"), [this, status](Arguments& a) { return status(UDPLoadLinkInfo(a)); });

    // Connection and monitoring.
    bind(QStringLiteral("OpenCon"),
         [this, status](Arguments& a) { return status(OpenCon(i32(a, 0), var(a, 1), var(a, 2)).value_or(0)); });
    bind(QStringLiteral("CloseCon"), [status](Arguments&) { return status(0); });
    bind(QStringLiteral("BegScanControl"),
         [this, status](Arguments& a) { return status(BegScanControl(var(a, 0), var(a, 1), var(a, 2))); });
    bind(QStringLiteral("StopScanControl"), [this, status](Arguments&) { return status(StopScanControl()); });

    // Nothing reaches the component.
    bind(QStringLiteral("GetContolType"), [](Arguments&) { return Variant(); });
    bind(QStringLiteral("TestLinkControl"), [](Arguments&) { return Variant(); });
    bind(QStringLiteral("RealTimeScanId"), [status](Arguments&) { return status(0); });
}

void Trmtserver::bindAppServer() {
    createProviders();
    bind(QStringLiteral("AS_ApplyUpdates"), [this](Arguments& a) { return FProviders.AS_ApplyUpdates(a); });
    bind(QStringLiteral("AS_GetRecords"), [this](Arguments& a) { return FProviders.AS_GetRecords(a); });
    bind(QStringLiteral("AS_DataRequest"), [this](Arguments& a) { return FProviders.AS_DataRequest(a); });
    bind(QStringLiteral("AS_GetProviderNames"), [this](Arguments& a) { return FProviders.AS_GetProviderNames(a); });
    bind(QStringLiteral("AS_GetParams"), [this](Arguments& a) { return FProviders.AS_GetParams(a); });
    bind(QStringLiteral("AS_RowRequest"), [this](Arguments& a) { return FProviders.AS_RowRequest(a); });
    bind(QStringLiteral("AS_Execute"), [this](Arguments& a) { return FProviders.AS_Execute(a); });
}

void Trmtserver::createProviders() {
    // The providers in the order of their declaration; each serves a query of its own on the one
    // connection. No query has a statement until a client or a handler gives it one.
    struct Declared {
        const char* provider;
        const char* query;
        bool clientSql;
    };
    static constexpr Declared declared[] = {
        {"dsp_open_public", "qry_open_public", true},
        {"dsp_exec_public", "qry_exec_public", false},
        {"dsp_exec1_public", "qry_exec1_public", false},
        {"dsp_exec2_public", "qry_exec2_public", false},
        {"dsp_exec3_public", "qry_exec3_public", false},
        {"dsp_open_ScanAllControl", "qry_open_ScanAllControl", false},
        {"dsp_department", "qry_department", true},
        {"dsp_stafferView", "qry_stafferview", true},
        {"dsp_pqpertype", "qry_papertype", true},
        {"dsp_sex", "qry_sex", true},
        {"dsp_deviceview", "qry_deviceview", true},
        {"dsp_devicetype", "qry_devicetype", true},
        {"dsp_msgmode", "qry_msgmode", true},
        {"dsp_opendoormode", "qry_opendoormode", true},
        {"dsp_holiday", "qry_holiday", true},
        {"dsp_timeparagraph", "qry_timeparagraph", true},
        {"dsp_mordcard", "qry_mordcard", true},
        {"dsp_timegroup", "qry_timegroup", true},
        {"dsp_popedomgroup", "qry_popedomgroup", true},
        {"dsp_systemenu", "qry_systemenu", true},
        {"dsp_operator", "qry_operator", true},
        {"dsp_operatormenu", "qry_operatormenu", true},
        {"dsp_operatorlogon", "qry_operatorlogon", true},
        {"dsp_popedomgroupmodule", "qry_popedomgroupmodule", true},
        {"dsp_devicemordcard", "qry_devicemordcard", true},
        {"dsp_deviceholiday", "qry_deviceholiday", true},
        {"dsp_devicetimegroup", "qry_devicetimegroup", true},
        {"dsp_brushcardlog", "qry_brushcardlog", true},
        {"dsp_doorinfo", "qry_doorinfo", true},
        {"dsp_makecard", "qry_makecard", true},
        {"dsp_open1_public", "qry_open1_public", true},
        {"dsp_open2_public", "qry_open2_public", true},
        {"dsp_revokecard", "qry_revokecard", true},
        {"dsp_tempdepartment", "qry_tempdepartment", true},
        {"dsp_wordbook", "qry_wordbook", true},
        {"dsp_systemlog", "qry_systemlog", true},
    };
    const QHash<QString, provider::Provider::DataRequestHandler> handlers{
        {QStringLiteral("dsp_exec1_public"),
         [this](provider::Provider& sender, const Variant& input) {
             return dsp_exec1_publicDataRequest(sender, input);
         }},
        {QStringLiteral("dsp_exec3_public"),
         [this](provider::Provider& sender, const Variant& input) {
             return dsp_exec3_publicDataRequest(sender, input);
         }},
        {QStringLiteral("dsp_open_ScanAllControl"),
         [this](provider::Provider& sender, const Variant& input) {
             return dsp_open_ScanAllControlDataRequest(sender, input);
         }},
    };
    for (const Declared& entry : declared) {
        provider::Provider::Options options;
        options.allowCommandText = entry.clientSql;
        const QString name = QLatin1String(entry.provider);
        FProviders.add(name, QLatin1String(entry.query), options, handlers.value(name));
    }
}

Variant Trmtserver::dsp_exec1_publicDataRequest(provider::Provider& Sender, const Variant& Input) {
    const Variant input = Input; // held for the whole handler
    Sender.clearStatement();
    Sender.query().sql = input.toText();
    Sender.executeQuery();
    return Variant();
}

Variant Trmtserver::dsp_exec3_publicDataRequest(provider::Provider& /*Sender*/, const Variant& /*Input*/) {
    return Variant();
}

Variant Trmtserver::dsp_open_ScanAllControlDataRequest(provider::Provider& Sender, const Variant& Input) {
    const Variant input = Input;
    Sender.clearStatement();
    Sender.query().sql = input.toText();
    return Sender.openQueryPacket();
}

std::optional<int32_t> Trmtserver::OpenCon(int32_t aDeviceType, Variant aMacAdder, Variant aIpAdder) {
    // 1. A description for the registry look-up only.
    const uint8_t kind = static_cast<uint8_t>(static_cast<int64_t>(aDeviceType) - 1);
    std::unique_ptr<monitor::TDevice> probe;
    if (kind == monitor::kNetworkLock) {
        auto lock = std::make_unique<monitor::TNetworkLock>();
        lock->SetIP(aIpAdder.toText());
        probe = std::move(lock);
    } else {
        probe = std::make_unique<monitor::TDevice>();
    }
    probe->SetID(aMacAdder.toText());
    probe->SetKind(kind);
    probe->SetActive(false);

    // 2. A new object replaces the previous one only once it exists.
    FControllerLink = newLockObject();

    if (aDeviceType < 1 || aDeviceType > 3)
        return std::nullopt;
    // 3, 4. A monitored controller is commanded through the object that the scanning thread polls.
    if (auto thread = scanThread()) {
        if (auto registry = thread->DeviceList()) {
            if (const monitor::DevicePtr entry = registry->Find(*probe)) {
                FControllerLink = entry->Connection();
                return std::nullopt;
            }
        }
    }
    Variant mode(aDeviceType);
    if (aDeviceType == 1)
        return kestrova::COMifCreateNetworkConnection(FControllerLink, mode, aIpAdder, aMacAdder,
                                                      kestrova::kDefaultControllerPort, VarType::I4);
    // The second status replaces the first.
    kestrova::ComifSerialPortHandle(FControllerLink, FComPortHandle, serialPortNumber());
    return kestrova::COMifCreateSerialConnection(FControllerLink, mode, aMacAdder, FComPortHandle, VarType::I4);
}

int32_t Trmtserver::BegScanControl(const Variant& ipAdder, const Variant& mac, const Variant& msgmode) {
    // 1.
    int32_t Param2 = 0;
    const QString ipText = ipAdder.toText();
    const QString macText = mac.toText();
    const auto [thread, registry] = monitoring();

    // 2, 3. The working list holds at most this one device.
    const int32_t kind = (msgmode - Variant(1)).toInt32();
    monitor::DevicePtr device;
    if (kind == monitor::kNetworkLock) {
        auto lock = std::make_shared<monitor::TNetworkLock>();
        lock->SetIP(ipText);
        device = lock;
    } else if (kind == monitor::kNetworkSwitch) {
        device = std::make_shared<monitor::TNetworkSwitch>();
    } else {
        device = std::make_shared<monitor::TDevice>();
    }
    device->SetID(macText);
    device->SetKind(static_cast<uint8_t>(kind));
    device->SetActive(false);

    // 4. Callers for the same controller at the same moment open one connection: the first connects,
    // the others wait for it and answer its status.
    std::vector<monitor::DevicePtr> working;
    monitor::TDeviceList::Claim claim = registry->Register(*device, kRegistrationWait);
    switch (claim.state) {
    case monitor::TDeviceList::Claim::State::Registered:
        if (!claim.device->Active())
            kestrova::ComifCloseConnection(claim.device->Connection());
        break;
    case monitor::TDeviceList::Claim::State::Connect:
        working.push_back(device);
        break;
    case monitor::TDeviceList::Claim::State::Shared:
        Param2 = claim.status;
        break;
    case monitor::TDeviceList::Claim::State::Busy:
        Param2 = kStatusBusy;
        break;
    }

    // 5.
    for (const monitor::DevicePtr& candidate : working) {
        if (kind != monitor::kNetworkLock && kind != monitor::kNetworkSwitch) {
            // The scan polls network locks and switches only.
            Param2 = kStatusModeNotMonitored;
            continue;
        }
        const Variant link = newLockObject();
        candidate->SetConnection(link);
        int32_t status = 0;
        if (kind == monitor::kNetworkLock) {
            Variant modeRef = msgmode, ipRef = ipAdder, macRef = mac;
            status = kestrova::COMifCreateNetworkConnection(link, modeRef, ipRef, macRef);
        } else {
            if (FComPortHandle.isEmpty()) {
                FComPortHandle = Variant(0);
                status = kestrova::ComifSerialPortHandle(link, FComPortHandle, serialPortNumber());
                if (FComPortHandle.toInt32() != 0 && status != 0)
                    continue;
            }
            Variant modeRef = msgmode;
            QString ipRef = ipText, macRef = macText;
            status = kestrova::COMifCreateSerialConnection(link, modeRef, ipRef, macRef, FComPortHandle);
        }
        if (status != 0) {
            candidate->SetActive(false);
            Param2 = status;
            kestrova::ComifCloseConnection(link);
        } else if (kind == monitor::kNetworkLock) {
            candidate->SetActive(kestrova::COMifBegRealTimeMonitor(link) == 0);
        } else {
            candidate->SetActive(true);
        }
    }

    // 6, 7. The thread runs again before the device joins the registry.
    if (thread->Suspended())
        thread->Resume();
    for (const monitor::DevicePtr& candidate : working) {
        if (candidate->Active())
            registry->Add(candidate);
    }
    if (claim.registration)
        claim.registration->Finish(Param2);
    return Param2;
}

int32_t Trmtserver::StopScanControl() {
    const auto [thread, registry] = monitoring();
    // The pause takes effect between steps, so the registry is emptied under no device's visit.
    thread->Suspend();
    registry->Clear();
    return 0;
}

int32_t Trmtserver::AddCardUser(Arguments& a) {
    int32_t status = kestrova::COMifAdjustDateTime(FControllerLink);
    if (status != 0)
        return status;
    int32_t card = i32(a, 0), cardType = i32(a, 1), door = i32(a, 2), openMode = i32(a, 4), userTime = i32(a, 7),
            deadbolt = i32(a, 8);
    Variant password = var(a, 3), endDate = var(a, 6);
    // The card is valid from now: the server's clock, not the client's begin date.
    Variant beginDate = Variant::fromDateTime(QDateTime::currentDateTime());
    return kestrova::ComifAddCardNo(FControllerLink, card, cardType, door, password, openMode, userTime, beginDate,
                                    endDate, deadbolt);
}

int32_t Trmtserver::GetRecords(Arguments& a) {
    Variant record;
    const int32_t status = kestrova::COMifReadRecord(FControllerLink, record);
    a[3].set(record); // also when the status is not 0
    return status;
}

int32_t Trmtserver::GetControlRecordCount(Arguments& a) {
    if (var(a, 4).toBool()) {
        const int32_t status = kestrova::ComifReadOldAllRecord(FControllerLink);
        if (status != 0)
            return status;
    }
    int32_t count = 0;
    const int32_t status = kestrova::COMifReadRecordCount(FControllerLink, count);
    a[3].set(Variant(count));
    return status;
}

int32_t Trmtserver::ReadOldAllRecord(Arguments& a) {
    const int32_t status = OpenCon(i32(a, 0), var(a, 1), var(a, 2)).value_or(0);
    if (status != 0)
        return status;
    return kestrova::ComifReadOldAllRecord(FControllerLink);
}

int32_t Trmtserver::UDPLoadLinkInfo(Arguments& a) {
    // An object of its own, never connected: the settings go to the controller by its MAC.
    const Variant link = newLockObject();
    Variant macAddress = var(a, 0), serverIp = var(a, 1), controlIp = var(a, 2), mask = var(a, 3), gateway = var(a, 4);
    return kestrova::ComifSetUDPLinkInfo(link, macAddress, serverIp, controlIp, mask, gateway);
}

int32_t Trmtserver::ReadDeviceInfo(Arguments& a) {
    int32_t values[5];
    for (size_t i = 0; i < 5; ++i)
        values[i] = i32(a, i);
    const int32_t status =
        kestrova::ComifReadDeviceInfo(FControllerLink, values[0], values[1], values[2], values[3], values[4]);
    for (size_t i = 0; i < 5; ++i)
        a[i].set(Variant(values[i]));
    return status;
}

void registerRmtserverFactory() {
    platform::ServedClass served;
    served.clsid = server_TLB::CLASS_rmtserver;
    served.progId = server_TLB::ProgID_rmtserver;
    served.description = QStringLiteral("rmtserver Object");
    served.typeLibId = server_TLB::LIBID_server;
    served.typeLibVersion = QStringLiteral("1.0");
    served.implementedCategories = {server_TLB::CATID_MidasAppServer};
    served.instancing = platform::Instancing::MultiInstance;
    served.threading = platform::ThreadingModel::Free;
    served.create = [] { return std::make_shared<Trmtserver>(); };
    served.updateRegistry = [](platform::ClassRegistry::Tree& tree, bool registering) {
        const QString key = QStringLiteral("CLSID\\") + server_TLB::CLASS_rmtserver;
        const QString typeLibKey = QStringLiteral("TypeLib\\") + server_TLB::LIBID_server + QStringLiteral("\\1.0");
        if (registering) {
            platform::ClassRegistry::treeSetValue(tree, typeLibKey, {}, QStringLiteral("server Library"));
            platform::ClassRegistry::treeSetValue(tree, key, QStringLiteral("Sockets"), QStringLiteral("1"));
            platform::ClassRegistry::treeSetValue(tree, key, QStringLiteral("Web"), QStringLiteral("1"));
        } else {
            platform::ClassRegistry::treeDeleteValue(tree, key, QStringLiteral("Sockets"));
            platform::ClassRegistry::treeDeleteValue(tree, key, QStringLiteral("Web"));
            platform::ClassRegistry::treeDeleteKey(tree, QStringLiteral("TypeLib\\") + server_TLB::LIBID_server);
        }
    };
    platform::ComServer::instance().registerClass(std::move(served));
}

} // namespace morvane
