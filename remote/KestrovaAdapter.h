#pragma once

#include "Automation.h"
#include "Variant.h"

#include <QString>

#include <cstdint>

// One adapter per late-bound call that the server makes to "KestrovaCom.TKestrova". Each looks the
// member up by name on the object in `link` and calls it as a method, with the arguments in the order
// the component expects. By-reference arguments are the caller's own variables: whatever the component
// writes lands in them (int32 and date references are coerced to their type). Status adapters convert
// the component's result to int32; the three that hand the component's VARIANT on return it unchanged.
// A failed call, or a result that cannot be converted, throws platform::AutomationError.
namespace morvane::kestrova {

using platform::Variant;
using platform::VarType;

constexpr int32_t kDefaultControllerPort = 2008;

inline const QString kComponentProgId = QStringLiteral("KestrovaCom.TKestrova");

// A new object of the component. When it cannot be made because the component is not registered (or
// its registration names a library that is not there), the failure keeps its code and says what to
// run: "<programDir>regsvr32 <programDir>KestrovaCom.so".
Variant CreateLockObject(const QString& programDir);

// --- Connection ---------------------------------------------------------------------------------------

// The general form: the four arguments exactly as the caller builds them (by reference or by value).
int32_t COMifCreateConnection(const Variant& link, platform::Argument mode, platform::Argument ipAddress,
                              platform::Argument macAddress, platform::Argument portOrHandle);
// Network lock: mode, IP and MAC by reference (mode typed by modeType: VarType::I4 for an int32 r, Empty
// for a VARIANT r), the port by value.
int32_t COMifCreateNetworkConnection(const Variant& link, Variant& mode, Variant& ipAddress, Variant& macAddress,
                                     int32_t port = kDefaultControllerPort, VarType modeType = VarType::Empty);
// Serial line, as OpenCon calls it: mode by reference, an empty IP text by value, MAC and handle by reference.
int32_t COMifCreateSerialConnection(const Variant& link, Variant& mode, Variant& macAddress, Variant& portHandle,
                                    VarType modeType = VarType::Empty);
// Serial line, as BegScanControl calls it: mode by reference, the IP and MAC as text references.
int32_t COMifCreateSerialConnection(const Variant& link, Variant& mode, QString& ipText, QString& macText,
                                    Variant& portHandle, VarType modeType = VarType::Empty);

// Opens serial port `portNumber` (1-based: the configured port + 1, by value) and writes its handle.
int32_t ComifSerialPortHandle(const Variant& link, Variant& portHandle, int32_t portNumber);
int32_t COMifBegRealTimeMonitor(const Variant& link);
// The component's result is not read.
void ComifCloseConnection(const Variant& link);

// --- Monitoring ---------------------------------------------------------------------------------------

int32_t ComifGetRealTimeMonitorRecord(const Variant& link, Variant& record);
// Switch state into five variants (the scanning thread's form).
int32_t ComifReadDeviceInfo(const Variant& link, Variant& cardNumber, Variant& circuitry1, Variant& circuitry2,
                            Variant& mcState, Variant& alarmState);
// Switch state into five int32 variables (the client's form); each is passed as an int32 reference.
int32_t ComifReadDeviceInfo(const Variant& link, int32_t& cardNumber, int32_t& circuitry1, int32_t& circuitry2,
                            int32_t& mcState, int32_t& alarmState);

// --- Records ------------------------------------------------------------------------------------------

int32_t COMifReadRecord(const Variant& link, Variant& record);
int32_t COMifReadRecordCount(const Variant& link, int32_t& count);
int32_t ComifReadOldAllRecord(const Variant& link);

// --- Settings and commands ----------------------------------------------------------------------------

// The last argument goes by value, as text.
int32_t ComifSetUDPLinkInfo(const Variant& link, Variant& macAddress, Variant& serverIp, Variant& controlIp,
                            Variant& subnetMask, Variant& gateway, const QString& port = QStringLiteral("2008"));
// The begin date is a date reference (an automation date written back as one).
int32_t ComifAddCardNo(const Variant& link, int32_t& cardNumber, int32_t& cardType, int32_t& doorNumber,
                       Variant& password, int32_t& openDoorMode, int32_t& userTime, Variant& beginDate,
                       Variant& endDate, int32_t& deadboltId);
int32_t COMifAdjustDateTime(const Variant& link);

Variant ComifOpenDoorDelayTime(const Variant& link, int32_t& doorNo, int32_t& delaySec);
int32_t ComifDataSaveMode(const Variant& link, int32_t& dsmOption);
int32_t ComifLoadPassword(const Variant& link, Variant& masterPass, Variant& commonPass, Variant& intimidatePass);
int32_t ComifSetEachLock(const Variant& link, int32_t& doorEachLock);
int32_t ComifInitializeControl(const Variant& link, int32_t& initOption);
int32_t ComifRmtOpenDoor(const Variant& link, int32_t& doorNumber);
int32_t ComifCleHoliday(const Variant& link);
int32_t ComifSetHoliday(const Variant& link, Variant& holidayData);
int32_t ComifLoadOpenDoorTime(const Variant& link, int32_t& flag, int32_t& cardType, Variant& openDoorTime);
Variant ComifLoadOpenDoorMode(const Variant& link, int32_t& cardType, Variant& openDoorMode);
Variant ComifDeleteCardNo(const Variant& link, int32_t& cardNumber);
int32_t ComifDoorAlarmState(const Variant& link, int32_t& doorAlarmState);
int32_t ComifLoadMoreCardGroup(const Variant& link, int32_t& groupNumber, int32_t& cardCount);
int32_t ComifExigLongOpenDoor(const Variant& link, int32_t& doorNo);
int32_t ComifLoadLinkInfo(const Variant& link, Variant& serverIp, Variant& controlIp, Variant& subnetMask,
                          Variant& gateway, Variant& port);
int32_t ComifPreventReturn(const Variant& link, int32_t& preventBack);
int32_t ComifCheckDoorMagnetism(const Variant& link, int32_t& doorNumber);
int32_t TestControl(const Variant& link);
int32_t ComifHostilityBrushCard(const Variant& link, int32_t& hostilityCount);
int32_t ComifSetComputerAlarm(const Variant& link, int32_t& computerAlarm);
int32_t ComifCancelAlarm(const Variant& link);
int32_t ComifExigLongCloseDoor(const Variant& link, Variant& cardType, int32_t& doorNo);
int32_t ComifRmtOperatorPower(const Variant& link, int32_t& circuitry1, int32_t& circuitry2);

} // namespace morvane::kestrova
