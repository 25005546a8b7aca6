#include "KestrovaAdapter.h"

#include <deque>

namespace morvane::kestrova {

using platform::Argument;
using platform::Arguments;

namespace {

// Holds the int32 variables of one call in variants for the time of the call, and copies what the
// component wrote back into them once the call has succeeded. A deque keeps the variants in place.
class IntRefs {
public:
    Argument ref(int32_t& target) {
        m_slots.push_back(Slot{&target, Variant(target)});
        return Argument::byRef(m_slots.back().holder, VarType::I4);
    }
    void writeBack() {
        for (Slot& slot : m_slots)
            *slot.target = slot.holder.toInt32();
    }

private:
    struct Slot {
        int32_t* target;
        Variant holder;
    };
    std::deque<Slot> m_slots;
};

Argument ref(Variant& target) {
    return Argument::byRef(target);
}

Variant call(const Variant& link, const QString& name, Arguments args = {}) {
    return platform::callMethod(link, name, std::move(args));
}

int32_t status(const Variant& link, const QString& name, Arguments args = {}) {
    return call(link, name, std::move(args)).toInt32();
}

int32_t intRefStatus(const Variant& link, const QString& name, std::initializer_list<int32_t*> targets) {
    IntRefs refs;
    Arguments args;
    for (int32_t* target : targets)
        args.push_back(refs.ref(*target));
    const int32_t result = status(link, name, std::move(args));
    refs.writeBack();
    return result;
}

QString shellWord(const QString& text) {
    return text.contains(QLatin1Char(' ')) ? QLatin1Char('"') + text + QLatin1Char('"') : text;
}

} // namespace

Variant CreateLockObject(const QString& programDir) {
    try {
        return Variant(platform::createObject(kComponentProgId));
    } catch (const platform::AutomationError& failure) {
        namespace hr = platform::hr;
        if (failure.code() != hr::CO_E_CLASSSTRING && failure.code() != hr::REGDB_E_CLASSNOTREG &&
            failure.code() != hr::CO_E_DLLNOTFOUND)
            throw;
        // The server registers the component beside its start, so a first call may come before that is
        // done; an installation registers it before the server starts.
        throw platform::AutomationError(failure.code(),
                                        QStringLiteral("The lock component %1 is not registered (%2): run %3 %4")
                                            .arg(kComponentProgId, failure.message(),
                                                 shellWord(programDir + QStringLiteral("regsvr32")),
                                                 shellWord(programDir + QStringLiteral("KestrovaCom.so"))),
                                        failure.helpContext());
    }
}

int32_t COMifCreateConnection(const Variant& link, Argument mode, Argument ipAddress, Argument macAddress,
                              Argument portOrHandle) {
    return status(link, QStringLiteral("COMifCreateConnection"),
                  {std::move(mode), std::move(ipAddress), std::move(macAddress), std::move(portOrHandle)});
}

int32_t COMifCreateNetworkConnection(const Variant& link, Variant& mode, Variant& ipAddress, Variant& macAddress,
                                     int32_t port, VarType modeType) {
    return COMifCreateConnection(link, Argument::byRef(mode, modeType), ref(ipAddress), ref(macAddress),
                                 Argument::byValue(Variant(port)));
}

int32_t COMifCreateSerialConnection(const Variant& link, Variant& mode, Variant& macAddress, Variant& portHandle,
                                    VarType modeType) {
    return COMifCreateConnection(link, Argument::byRef(mode, modeType), Argument::byValue(Variant(QString())),
                                 ref(macAddress), ref(portHandle));
}

int32_t COMifCreateSerialConnection(const Variant& link, Variant& mode, QString& ipText, QString& macText,
                                    Variant& portHandle, VarType modeType) {
    Variant ip(ipText);
    Variant mac(macText);
    const int32_t result =
        COMifCreateConnection(link, Argument::byRef(mode, modeType), Argument::byRef(ip, VarType::BStr),
                              Argument::byRef(mac, VarType::BStr), ref(portHandle));
    ipText = ip.toText();
    macText = mac.toText();
    return result;
}

int32_t ComifSerialPortHandle(const Variant& link, Variant& portHandle, int32_t portNumber) {
    return status(link, QStringLiteral("ComifSerialPortHandle"),
                  {ref(portHandle), Argument::byValue(Variant(portNumber))});
}

int32_t COMifBegRealTimeMonitor(const Variant& link) {
    return status(link, QStringLiteral("COMifBegRealTimeMonitor"));
}

void ComifCloseConnection(const Variant& link) {
    call(link, QStringLiteral("ComifCloseConnection"));
}

int32_t ComifGetRealTimeMonitorRecord(const Variant& link, Variant& record) {
    return status(link, QStringLiteral("ComifGetRealTimeMonitorRecord"), {ref(record)});
}

int32_t ComifReadDeviceInfo(const Variant& link, Variant& cardNumber, Variant& circuitry1, Variant& circuitry2,
                            Variant& mcState, Variant& alarmState) {
    return status(link, QStringLiteral("ComifReadDeviceInfo"),
                  {ref(cardNumber), ref(circuitry1), ref(circuitry2), ref(mcState), ref(alarmState)});
}

int32_t ComifReadDeviceInfo(const Variant& link, int32_t& cardNumber, int32_t& circuitry1, int32_t& circuitry2,
                            int32_t& mcState, int32_t& alarmState) {
    return intRefStatus(link, QStringLiteral("ComifReadDeviceInfo"),
                        {&cardNumber, &circuitry1, &circuitry2, &mcState, &alarmState});
}

int32_t COMifReadRecord(const Variant& link, Variant& record) {
    return status(link, QStringLiteral("COMifReadRecord"), {ref(record)});
}

int32_t COMifReadRecordCount(const Variant& link, int32_t& count) {
    return intRefStatus(link, QStringLiteral("COMifReadRecordCount"), {&count});
}

int32_t ComifReadOldAllRecord(const Variant& link) {
    return status(link, QStringLiteral("ComifReadOldAllRecord"));
}

int32_t ComifSetUDPLinkInfo(const Variant& link, Variant& macAddress, Variant& serverIp, Variant& controlIp,
                            Variant& subnetMask, Variant& gateway, const QString& port) {
    return status(link, QStringLiteral("ComifSetUDPLinkInfo"),
                  {ref(macAddress), ref(serverIp), ref(controlIp), ref(subnetMask), ref(gateway),
                   Argument::byValue(Variant(port))});
}

int32_t ComifAddCardNo(const Variant& link, int32_t& cardNumber, int32_t& cardType, int32_t& doorNumber,
                       Variant& password, int32_t& openDoorMode, int32_t& userTime, Variant& beginDate,
                       Variant& endDate, int32_t& deadboltId) {
    IntRefs refs;
    Arguments args;
    args.push_back(refs.ref(cardNumber));
    args.push_back(refs.ref(cardType));
    args.push_back(refs.ref(doorNumber));
    args.push_back(ref(password));
    args.push_back(refs.ref(openDoorMode));
    args.push_back(refs.ref(userTime));
    args.push_back(Argument::byRef(beginDate, VarType::Date));
    args.push_back(ref(endDate));
    args.push_back(refs.ref(deadboltId));
    const int32_t result = status(link, QStringLiteral("ComifAddCardNo"), std::move(args));
    refs.writeBack();
    return result;
}

int32_t COMifAdjustDateTime(const Variant& link) {
    return status(link, QStringLiteral("COMifAdjustDateTime"));
}

Variant ComifOpenDoorDelayTime(const Variant& link, int32_t& doorNo, int32_t& delaySec) {
    IntRefs refs;
    Variant result = call(link, QStringLiteral("ComifOpenDoorDelayTime"), {refs.ref(doorNo), refs.ref(delaySec)});
    refs.writeBack();
    return result;
}

int32_t ComifDataSaveMode(const Variant& link, int32_t& dsmOption) {
    return intRefStatus(link, QStringLiteral("ComifDataSaveMode"), {&dsmOption});
}

int32_t ComifLoadPassword(const Variant& link, Variant& masterPass, Variant& commonPass, Variant& intimidatePass) {
    return status(link, QStringLiteral("ComifLoadPassword"), {ref(masterPass), ref(commonPass), ref(intimidatePass)});
}

int32_t ComifSetEachLock(const Variant& link, int32_t& doorEachLock) {
    return intRefStatus(link, QStringLiteral("ComifSetEachLock"), {&doorEachLock});
}

int32_t ComifInitializeControl(const Variant& link, int32_t& initOption) {
    return intRefStatus(link, QStringLiteral("ComifInitializeControl"), {&initOption});
}

int32_t ComifRmtOpenDoor(const Variant& link, int32_t& doorNumber) {
    return intRefStatus(link, QStringLiteral("ComifRmtOpenDoor"), {&doorNumber});
}

int32_t ComifCleHoliday(const Variant& link) {
    return status(link, QStringLiteral("ComifCleHoliday"));
}

int32_t ComifSetHoliday(const Variant& link, Variant& holidayData) {
    return status(link, QStringLiteral("ComifSetHoliday"), {ref(holidayData)});
}

int32_t ComifLoadOpenDoorTime(const Variant& link, int32_t& flag, int32_t& cardType, Variant& openDoorTime) {
    IntRefs refs;
    const int32_t result =
        status(link, QStringLiteral("ComifLoadOpenDoorTime"), {refs.ref(flag), refs.ref(cardType), ref(openDoorTime)});
    refs.writeBack();
    return result;
}

Variant ComifLoadOpenDoorMode(const Variant& link, int32_t& cardType, Variant& openDoorMode) {
    IntRefs refs;
    Variant result = call(link, QStringLiteral("ComifLoadOpenDoorMode"), {refs.ref(cardType), ref(openDoorMode)});
    refs.writeBack();
    return result;
}

Variant ComifDeleteCardNo(const Variant& link, int32_t& cardNumber) {
    IntRefs refs;
    Variant result = call(link, QStringLiteral("ComifDeleteCardNo"), {refs.ref(cardNumber)});
    refs.writeBack();
    return result;
}

int32_t ComifDoorAlarmState(const Variant& link, int32_t& doorAlarmState) {
    return intRefStatus(link, QStringLiteral("ComifDoorAlarmState"), {&doorAlarmState});
}

int32_t ComifLoadMoreCardGroup(const Variant& link, int32_t& groupNumber, int32_t& cardCount) {
    return intRefStatus(link, QStringLiteral("ComifLoadMoreCardGroup"), {&groupNumber, &cardCount});
}

int32_t ComifExigLongOpenDoor(const Variant& link, int32_t& doorNo) {
    return intRefStatus(link, QStringLiteral("ComifExigLongOpenDoor"), {&doorNo});
}

int32_t ComifLoadLinkInfo(const Variant& link, Variant& serverIp, Variant& controlIp, Variant& subnetMask,
                          Variant& gateway, Variant& port) {
    return status(link, QStringLiteral("ComifLoadLinkInfo"),
                  {ref(serverIp), ref(controlIp), ref(subnetMask), ref(gateway), ref(port)});
}

int32_t ComifPreventReturn(const Variant& link, int32_t& preventBack) {
    return intRefStatus(link, QStringLiteral("ComifPreventReturn"), {&preventBack});
}

int32_t ComifCheckDoorMagnetism(const Variant& link, int32_t& doorNumber) {
    return intRefStatus(link, QStringLiteral("ComifCheckDoorMagnetism"), {&doorNumber});
}

int32_t TestControl(const Variant& link) {
    return status(link, QStringLiteral("TestControl"));
}

int32_t ComifHostilityBrushCard(const Variant& link, int32_t& hostilityCount) {
    return intRefStatus(link, QStringLiteral("ComifHostilityBrushCard"), {&hostilityCount});
}

int32_t ComifSetComputerAlarm(const Variant& link, int32_t& computerAlarm) {
    return intRefStatus(link, QStringLiteral("ComifSetComputerAlarm"), {&computerAlarm});
}

int32_t ComifCancelAlarm(const Variant& link) {
    return status(link, QStringLiteral("ComifCancelAlarm"));
}

int32_t ComifExigLongCloseDoor(const Variant& link, Variant& cardType, int32_t& doorNo) {
    IntRefs refs;
    const int32_t result = status(link, QStringLiteral("ComifExigLongCloseDoor"), {ref(cardType), refs.ref(doorNo)});
    refs.writeBack();
    return result;
}

int32_t ComifRmtOperatorPower(const Variant& link, int32_t& circuitry1, int32_t& circuitry2) {
    return intRefStatus(link, QStringLiteral("ComifRmtOperatorPower"), {&circuitry1, &circuitry2});
}

} // namespace morvane::kestrova
