#include "unt_option.h"

#include "FormControls.h"
#include "FormSupport.h"
#include "Language.h"
#include "MessageBox.h"
#include "ProfileFile.h"
#include "SecurityService.h"
#include "unt_public.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

namespace morvane {

Tfm_opton* fm_opton = nullptr;

namespace {
constexpr int kPortCount = 20;
} // namespace

Tfm_opton::Tfm_opton(const QWidget* centreOn)
    : QDialog(nullptr) {
    setObjectName(QStringLiteral("fm_opton"));
    setWindowTitle(QStringLiteral("System option"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(13);
    setFont(font);
    setFixedSize(363, 288);

    atn_ok = new TAction(QStringLiteral("atn_ok"), QStringLiteral("Ok"), this);
    atn_close = new TAction(QStringLiteral("atn_close"), QStringLiteral("Close"), this);
    connect(atn_ok, &QAction::triggered, this, &Tfm_opton::atn_okExecute);
    connect(atn_close, &QAction::triggered, this, &Tfm_opton::atn_closeExecute);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel2 = new TPanel(QStringLiteral("Panel2"), this);
    auto* pages = new QVBoxLayout(Panel2);
    pages->setContentsMargins(4, 4, 4, 4);
    PageControl1 = new TPageControl(QStringLiteral("PageControl1"), Panel2);
    pages->addWidget(PageControl1);
    TabSheet1 = new TTabSheet(QStringLiteral("TabSheet1"), QStringLiteral("Serice port set"), PageControl1);
    auto* sheet = new QGridLayout(TabSheet1);
    Label4 = new TLabel(QStringLiteral("Label4"), QStringLiteral("port"), TabSheet1);
    cmb_portname = new TComboBox(QStringLiteral("cmb_portname"), TabSheet1);
    for (int i = 1; i <= kPortCount; ++i)
        cmb_portname->addItem(QStringLiteral("com%1").arg(i));
    cmb_portname->setCurrentIndex(0);
    cmb_portname->installEventFilter(this);
    sheet->addWidget(Label4, 0, 0);
    sheet->addWidget(cmb_portname, 0, 1);
    sheet->setColumnStretch(1, 1);
    sheet->setRowStretch(1, 1);
    layout->addWidget(Panel2, 1);

    Panel1 = new TPanel(QStringLiteral("Panel1"), this);
    Panel1->setFixedHeight(43);
    auto* bottom = new QHBoxLayout(Panel1);
    bottom->setContentsMargins(0, 0, 0, 0);
    bottom->addStretch(1);
    Panel3 = new TPanel(QStringLiteral("Panel3"), Panel1);
    Panel3->setFrameShape(QFrame::NoFrame);
    Panel3->setFixedWidth(240);
    bottom->addWidget(Panel3);
    auto* buttons = new QHBoxLayout(Panel3);
    BitBtn1 = new TBitBtn(QStringLiteral("BitBtn1"), Panel3);
    BitBtn1->setAction(atn_ok);
    BitBtn2 = new TBitBtn(QStringLiteral("BitBtn2"), Panel3);
    BitBtn2->setAction(atn_close);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    layout->addWidget(Panel1);

    if (centreOn)
        move(centreOn->frameGeometry().center() - QPoint(width() / 2, height() / 2));

    FormCreate();
}

void Tfm_opton::FormCreate() {
    FLanguage = new localisation::TLanguage(this);
    FLanguage->setLanguageID(SystemInfo.LanguageID);
    QString error;
    // The stored port is loaded even when the texts are not: "Ok" must never save a port the operator
    // did not see.
    if (!FLanguage->Translate(&error))
        reportError(error);
    PageControl1->setCurrentIndex(0);
    LoadPortSetting();
}

void Tfm_opton::LoadPortSetting() {
    const int port =
        platform::ProfileFile(systemInfoPath()).readInteger(QStringLiteral("Device"), QStringLiteral("port"), 0);
    cmb_portname->setCurrentIndex(port >= 0 && port < cmb_portname->count() ? port : -1);
}

bool Tfm_opton::SavePortSetting() {
    const int position = cmb_portname->currentIndex();
    if (position < 0) {
        platform::showMessage({QStringLiteral("No serial port is selected: choose one of com1 to com20."),
                               windowTitle(), platform::MessageIcon::Warning});
        return false;
    }
    const int before = SystemInfo.port.load();
    SystemInfo.port = position;
    try {
        platform::ProfileFile(systemInfoPath())
            .writeInteger(QStringLiteral("Device"), QStringLiteral("Port"), position);
    } catch (const platform::ProfileWriteError& failure) {
        reportError(failure.text());
        return false;
    }
    if (security::Service* service = security::service(); service && before != position)
        service->auditLocal(QStringLiteral("Option"), {{QStringLiteral("section"), QStringLiteral("Device")},
                                                       {QStringLiteral("key"), QStringLiteral("Port")},
                                                       {QStringLiteral("from"), before},
                                                       {QStringLiteral("to"), position}});
    return true;
}

void Tfm_opton::atn_okExecute() {
    if (SavePortSetting())
        accept();
}

void Tfm_opton::atn_closeExecute() {
    reject();
}

void Tfm_opton::FormKeyDown(QObject* /*Sender*/, int& Key, Qt::KeyboardModifiers Shift) {
    collectTextsOnKey(FLanguage, Key, Shift);
}

void Tfm_opton::cmb_portnameKeyPress(QChar& Key) {
    if (Key != QChar(13))
        return;
    Key = QChar();
    focusNextChild();
}

bool Tfm_opton::eventFilter(QObject* watched, QEvent* event) {
    if (watched != cmb_portname || event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        return false;
    QChar typed(13);
    cmb_portnameKeyPress(typed);
    return typed.isNull();
}

} // namespace morvane
