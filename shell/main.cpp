#include "frm_server_main.h"

#include "MessageBox.h"
#include "ServerServices.h"
#include "unt_controllist.h"
#include "unt_ScanAllControls.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace morvane {

namespace {
// The longest the window waits, at its end, for the scanning thread to leave the registry it frees.
constexpr int kScanEndWaitMs = 5000;
} // namespace

Tfrm_server_main::Tfrm_server_main(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("frm_server_main"));
    setWindowTitle(QStringLiteral("Tavrel Morvane Server"));
    setMinimumSize(400, 260);
    resize(400, 260);
    FormCreate();
}

Tfrm_server_main::~Tfrm_server_main() {
    FormDestroy();
}

void Tfrm_server_main::FormCreate() {
    // An empty registry, and the scanning thread created suspended, handed the registry and started.
    FDeviceList = std::make_shared<monitor::TDeviceList>();
    auto thread = monitor::TScanAllControls::create();
    thread->SetDeviceList(FDeviceList);
    thread->Resume();
    {
        std::lock_guard lock(m_mutex);
        FScanThread = std::move(thread);
    }
    setScanHost(this);
}

void Tfrm_server_main::FormDestroy() {
    // A server ended without the Close command (a signal, the last client of a server started for
    // clients) stops the thread here; the registry goes only once the thread no longer steps through it.
    CloseServices();
    setScanHost(nullptr);
    FDeviceList.reset();
}

void Tfrm_server_main::CloseServices() {
    std::shared_ptr<monitor::TScanAllControls> thread;
    {
        std::lock_guard lock(m_mutex);
        thread = std::move(FScanThread);
    }
    if (!thread)
        return;
    thread->Terminate();
    thread->WaitFinished(kScanEndWaitMs);
}

std::shared_ptr<monitor::TScanAllControls> Tfrm_server_main::ScanThread() const {
    std::lock_guard lock(m_mutex);
    return FScanThread;
}

void Tfrm_server_main::StartServices() {
    if (!IsLockComponentCurrent(kLockComponentClsid))
        RegisterLockComponent();
    StartSocketServer();
}

void Tfrm_server_main::StartSocketServer() {
    if (launchSocketServer() != SocketServerStart::Missing)
        return;
    platform::showMessage({QStringLiteral("No File Scktsrvr.exe "), QCoreApplication::applicationFilePath(),
                           platform::MessageIcon::Error});
    // The server cannot be reached without it: the process ends at once.
    std::fflush(nullptr);
    ::_exit(1);
}

} // namespace morvane
