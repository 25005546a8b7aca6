#pragma once

#include "AppServer.h"
#include "TypedDispatch.h"
#include "Variant.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace morvane {

namespace monitor {
class TDeviceList;
class TScanAllControls;
} // namespace monitor

// What the remote data modules reach of the main window: its scanning thread, and through the thread the
// device registry that it polls. The main window sets it once it has made them; none while the server
// has no window (tests set their own).
class IScanHost {
public:
    virtual ~IScanHost() = default;
    // The scanning thread; null once the Close command has stopped it.
    virtual std::shared_ptr<monitor::TScanAllControls> ScanThread() const = 0;
};
// Threads: set by the main thread before clients are served and cleared after they are gone; read by
// the remote-service threads.
void setScanHost(IScanHost* host);
IScanHost* scanHost();

// The remote data module: one instance per client connection. Its own methods drive the door
// controllers through the instance's lock-communication object; the IAppServer methods reach the data
// providers.
//
// Threads: one call at a time per instance (the connection runs its calls in order); the 37 own
// methods take no lock, the IAppServer methods take the providers' lock. What they share with other instances, the
// device registry and the scanning thread, guards itself.
class Trmtserver : public platform::TypedDispatchObject {
public:
    Trmtserver();

    // Each call is first checked against the rights of the operator it runs for (provider::CallRights);
    // a refused one runs nothing. Controller commands go to the audit log with their lock and door.
    platform::HResult invoke(platform::DispId id, platform::Arguments& args, platform::Variant& result,
                             platform::ErrorInfo& error) override;

private:
    // Part of the server's own state changes: connection, monitoring.
    std::optional<int32_t> OpenCon(int32_t aDeviceType, platform::Variant aMacAdder, platform::Variant aIpAdder);
    int32_t BegScanControl(const platform::Variant& ipAdder, const platform::Variant& mac,
                           const platform::Variant& msgmode);
    int32_t StopScanControl();

    // The commands with logic of their own.
    int32_t AddCardUser(platform::Arguments& args);
    int32_t GetRecords(platform::Arguments& args);
    int32_t GetControlRecordCount(platform::Arguments& args);
    int32_t ReadOldAllRecord(platform::Arguments& args);
    int32_t UDPLoadLinkInfo(platform::Arguments& args);
    int32_t ReadDeviceInfo(platform::Arguments& args);

    void bindCommands();
    void bindAppServer();
    void createProviders();

    // The data-request handlers of three providers.
    platform::Variant dsp_exec1_publicDataRequest(provider::Provider& Sender, const platform::Variant& Input);
    platform::Variant dsp_exec3_publicDataRequest(provider::Provider& Sender, const platform::Variant& Input);
    platform::Variant dsp_open_ScanAllControlDataRequest(provider::Provider& Sender, const platform::Variant& Input);

    provider::ProviderSet FProviders; // the 36 data providers and the IAppServer methods over them

    platform::Variant FControllerLink; // this instance's lock-communication object; EMPTY until OpenCon
    platform::Variant FComPortHandle;  // the serial-port handle the component gave this instance
    QString m_lock;                    // the controller of the last OpenCon, as the audit log names it
};

// Registers the class factory of rmtserver with the automation server: multi-instance, free threading,
// with the registry values "Sockets" and "Web" that let the socket and web transports create it.
void registerRmtserverFactory();

} // namespace morvane
