#pragma once

#include "IServerMain.h"
#include "rmtdm.h"

#include <QWidget>

#include <memory>
#include <mutex>

namespace morvane {

namespace monitor {
class TDeviceList;
class TScanAllControls;
} // namespace monitor

// The main window: owner of the device registry and of the scanning thread that polls it. It stays
// hidden behind the notification area; the remote service reaches the thread through IScanHost.
//
// Threads: created, closed and destroyed on the main thread; ScanThread() is called by the remote-service
// threads. m_mutex guards FScanThread (written by the main thread, read by any).
class Tfrm_server_main : public QWidget, public IServerMain, public IScanHost {
    Q_OBJECT
public:
    explicit Tfrm_server_main(QWidget* parent = nullptr);
    ~Tfrm_server_main() override;

    void StartServices() override;
    void CloseServices() override;
    std::shared_ptr<monitor::TScanAllControls> ScanThread() const override;

private:
    void FormCreate();
    void FormDestroy();
    void StartSocketServer();

    mutable std::mutex m_mutex;
    std::shared_ptr<monitor::TScanAllControls> FScanThread; // none once the Close command stopped it
    std::shared_ptr<monitor::TDeviceList> FDeviceList;
};

} // namespace morvane
