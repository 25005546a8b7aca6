#pragma once

#include "KeyPreview.h"

#include <QDialog>

namespace morvane {

namespace localisation {
class TLanguage;
}

class TAction;
class TBitBtn;
class TComboBox;
class TLabel;
class TPageControl;
class TPanel;
class TTabSheet;

// The options dialog: the serial port (com1 to com20) through which the lock-communication component
// reaches controllers on a serial line. "Ok" stores the choice in SystemInfo.port, where the next serial
// link finds it, and as [Device] "Port" in systeminfo.ini; "Close" saves nothing. Made anew for each
// opening, so that every opening reads the file again.
//
// Threads: main thread only.
class Tfm_opton : public QDialog, public localisation::IFormKeyHandler {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ windowTitle WRITE setWindowTitle)
    Q_PROPERTY(QString Hint READ toolTip WRITE setToolTip)

public:
    // Placed in the middle of `centreOn` (the main window) when given; it has no owner.
    explicit Tfm_opton(const QWidget* centreOn = nullptr);

    void FormKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift) override;
    void atn_okExecute();
    void atn_closeExecute();

    // Selects the list item at the stored position (none when the value is outside the list).
    void LoadPortSetting();
    // Stores the selected position; false, with the reason shown, when there is none or the file cannot
    // be written.
    bool SavePortSetting();

    localisation::TLanguage* Language() const { return FLanguage; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    // Enter in the port list moves on to the next control instead of reaching the dialog's buttons.
    void cmb_portnameKeyPress(QChar& Key);

    TPanel* Panel1;
    TPanel* Panel2;
    TPanel* Panel3;
    TBitBtn* BitBtn1;
    TBitBtn* BitBtn2;
    TPageControl* PageControl1;
    TTabSheet* TabSheet1;
    TLabel* Label4;
    TComboBox* cmb_portname;
    TAction* atn_ok;
    TAction* atn_close;
    localisation::TLanguage* FLanguage = nullptr;
};

// The dialog while it is open, none otherwise.
extern Tfm_opton* fm_opton;

} // namespace morvane
