#pragma once

#include "IServerMain.h"
#include "KeyPreview.h"
#include "rmtdm.h"

#include <QDateTime>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <mutex>

namespace morvane {

namespace monitor {
class TDeviceList;
class TScanAllControls;
} // namespace monitor

namespace localisation {
class TLanguage;
}

class TAction;
class TMainMenu;
class TMenuItem;
class TPanel;
class TPopupMenu;
class TStatusBar;
class TTimer;

// The main window: owner of the device registry and of the scanning thread that polls it. It stays
// hidden behind its notification-area icon; a double-click on the icon shows it, modal, until its close
// button hides it again. Its clock runs in the status bar, its menu offers the options dialog and the
// Close command that ends the server. The remote service reaches the thread through IScanHost.
//
// Threads: made, used and destroyed on the main thread; ScanThread() is called by the remote-service
// threads. m_mutex guards FScanThread (written by the main thread, read by any).
class Tfrm_server_main : public QMainWindow,
                         public IServerMain,
                         public IScanHost,
                         public localisation::IFormKeyHandler {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ windowTitle WRITE setWindowTitle)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)
    Q_PROPERTY(morvane::TMainMenu* Menu READ Menu)

public:
    using Clock = std::function<QDateTime()>;

    explicit Tfrm_server_main(QWidget* parent = nullptr);
    ~Tfrm_server_main() override;

    void StartServices() override;
    void CloseServices() override;
    std::shared_ptr<monitor::TScanAllControls> ScanThread() const override;

    void FormKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift) override;
    void Timer1Timer();
    void atn_closeExecute();
    void atn_shoefrmExecute();
    void atn_optionExecute();
    // The notification icon's mouse messages.
    void WMTrayIcon(QSystemTrayIcon::ActivationReason reason);

    // Rewrites the display names of the seed rows in the configured language. A name for which the
    // language has no text keeps the name stored. False with the reason on a database error.
    bool TranslateDatabaseTexts(QString* error = nullptr);

    // The time the clock shows; the local time unless a test sets its own.
    void setClock(Clock clock) { m_clock = std::move(clock); }

    TMainMenu* Menu() const { return MainMenu1; }
    localisation::TLanguage* Language() const { return FLanguage; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void AddTrayIcon();
    bool StartSocketServer();
    void showModal();
    void bringToFront();
    // The Close command's stop: the thread is told to end and forgotten; the window's end waits for it.
    void stopScanThread();
    // MORVANE_SHOW_WINDOW: "main" opens the window at start, "option" its options dialog as well.
    void showOnRequest();

    TPanel* Panel1;
    TStatusBar* StatusBar1;
    TMainMenu* MainMenu1;
    TMenuItem* File1;
    TPopupMenu* PopupMenu1;
    TAction* atn_close;
    TAction* atn_shoefrm;
    TAction* atn_option;
    TTimer* Timer1;
    QSystemTrayIcon* FIconData = nullptr; // the notification icon
    localisation::TLanguage* FLanguage = nullptr;

    mutable std::mutex m_mutex;
    std::shared_ptr<monitor::TScanAllControls> FScanThread;     // guarded by m_mutex; none once Close stopped it
    std::shared_ptr<monitor::TScanAllControls> m_stoppedThread; // main thread: told to stop, not yet waited for
    std::shared_ptr<monitor::TDeviceList> FDeviceList;
    Clock m_clock;
};

} // namespace morvane
