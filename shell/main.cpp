#include "main.h"

#include "ComServer.h"
#include "FormControls.h"
#include "FormSupport.h"
#include "Language.h"
#include "MessageBox.h"
#include "ProfileFile.h"
#include "ServerServices.h"
#include "unt_controllist.h"
#include "unt_localdataconnect.h"
#include "unt_option.h"
#include "unt_ScanAllControls.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QHash>
#include <QScreen>

#include <cstdio>
#include <unistd.h>

namespace morvane {

namespace {

// The longest the window waits, at its end, for the scanning thread to leave the registry it frees.
constexpr int kScanEndWaitMs = 5000;

const QString kCaption = QStringLiteral("Tavrel Morvane Server");

QFont songTi(int pixelSize, bool bold = false) {
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// The statements of the display-name pass, run one after the other on the data module's query.
class DisplayNamePass {
public:
    DisplayNamePass(platform::SqlQuery& query, platform::SqlConnection& connection)
        : m_query(query)
        , m_connection(connection) {}

    bool open(const QString& sql) {
        m_query.close();
        m_query.setSql(sql);
        return m_query.open(&m_error);
    }
    qsizetype rowCount() const { return m_query.data().rows.size(); }
    QVariant value(qsizetype row, const QString& column) const {
        return m_query.data().rows.at(row).value(columnIndex(column));
    }
    QString text(qsizetype row, const QString& column) const { return value(row, column).toString(); }
    // Sets a column of a row of the open statement. No text leaves the stored one; a text already
    // stored is not written again.
    bool set(const QString& table, qsizetype row, const QString& column, const QString& text) {
        const int at = columnIndex(column);
        const int key = columnIndex(QStringLiteral("id"));
        if (at < 0)
            return fail(QStringLiteral("%1 has no column %2").arg(table, column));
        if (text.isEmpty())
            return true;
        if (key < 0)
            return fail(QStringLiteral("%1 has no column id").arg(table));
        const QVariantList& values = m_query.data().rows.at(row);
        if (values.value(at).toString() == text)
            return true;
        const QStringList& columns = m_query.data().columns;
        const platform::SqlResult result = m_connection.exec(
            QStringLiteral("update %1 set %2=? where %3=?").arg(table, columns.at(at), columns.at(key)),
            {text, values.value(key)});
        return result.ok || fail(result.error);
    }
    const QString& error() const { return m_error; }

private:
    int columnIndex(const QString& name) const {
        const QStringList& columns = m_query.data().columns;
        for (int i = 0; i < columns.size(); ++i) {
            if (columns.at(i).compare(name, Qt::CaseInsensitive) == 0)
                return i;
        }
        return -1;
    }
    bool fail(const QString& why) {
        m_error = why;
        return false;
    }

    platform::SqlQuery& m_query;
    platform::SqlConnection& m_connection;
    QString m_error;
};

struct WordGroup {
    const char* statement;
    int first;
};

// The dictionary word groups and the first of their entries in the window's message texts. A group's
// words take the entries in the order of their item numbers, the codes that other tables store.
constexpr WordGroup kWordGroups[] = {
    {"select  * from ac_wordbook where wordid=1 order by itemid, id", 20},
    {"select  * from ac_wordbook where wordid=2 order by itemid, id", 22},
    {"select  * from ac_wordbook where wordid=3 order by itemid, id", 26},
    {"select  * from ac_wordbook where wordid=4 order by itemid, id", 30},
    {"select * from ac_wordbook where wordid=5 order by itemid, id", 49},
    {"select  * from ac_wordbook where wordid=6 order by itemid, id", 51},
    {"select * from ac_wordbook where wordid=7 order by itemid, id", 53},
};
constexpr int kFirstTimeGroupEntry = 55;

} // namespace

Tfrm_server_main::Tfrm_server_main(QWidget* parent)
    : QMainWindow(parent)
    , m_clock(&QDateTime::currentDateTime) {
    // The form as its description lays it out.
    setObjectName(QStringLiteral("frm_server_main"));
    setWindowTitle(kCaption);
    setWindowIcon(applicationIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    // Shown, the window is modal: the options dialog is the only other window the operator reaches.
    setWindowModality(Qt::ApplicationModal);
    setFont(songTi(13));
    setMinimumSize(400, 260);
    resize(400, 260);
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));

    Panel1 = new TPanel(QStringLiteral("Panel1"), this);
    Panel1->setText(QStringLiteral("Tavrel Morvane Server Run ..."));
    Panel1->setFont(songTi(16, true));
    setCentralWidget(Panel1);

    StatusBar1 = new TStatusBar(QStringLiteral("StatusBar1"), this);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->addPanel(280);
    setStatusBar(StatusBar1);

    atn_close = new TAction(QStringLiteral("atn_close"), QStringLiteral("Close"), this);
    atn_shoefrm = new TAction(QStringLiteral("atn_shoefrm"), kCaption, this);
    atn_option = new TAction(QStringLiteral("atn_option"), QStringLiteral("Option"), this);
    connect(atn_close, &QAction::triggered, this, &Tfrm_server_main::atn_closeExecute);
    connect(atn_shoefrm, &QAction::triggered, this, &Tfrm_server_main::atn_shoefrmExecute);
    connect(atn_option, &QAction::triggered, this, &Tfrm_server_main::atn_optionExecute);

    MainMenu1 = new TMainMenu(QStringLiteral("MainMenu1"), this);
    File1 = new TMenuItem(QStringLiteral("File1"), QStringLiteral("File(&F)"), MainMenu1);
    File1->addAction(atn_option);
    File1->addSeparator();
    File1->addAction(atn_close);
    MainMenu1->addMenu(File1);
    setMenuBar(MainMenu1);

    PopupMenu1 = new TPopupMenu(QStringLiteral("PopupMenu1"), this);
    PopupMenu1->addAction(atn_close);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(atn_shoefrm);

    Timer1 = new TTimer(QStringLiteral("Timer1"), this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &Tfrm_server_main::Timer1Timer);
    Timer1->start();

    FormCreate();
    QTimer::singleShot(0, this, &Tfrm_server_main::showOnRequest);
}

Tfrm_server_main::~Tfrm_server_main() {
    FormDestroy();
}

void Tfrm_server_main::FormCreate() {
    // 1.
    AddTrayIcon();
    // 2, 3. An empty registry, and the scanning thread created suspended, handed the registry and started.
    FDeviceList = std::make_shared<monitor::TDeviceList>();
    auto thread = monitor::TScanAllControls::create();
    thread->SetDeviceList(FDeviceList);
    thread->Resume();
    {
        std::lock_guard lock(m_mutex);
        FScanThread = std::move(thread);
    }
    setScanHost(this);

    // 4. A failing step is reported with its own message; the steps after it are skipped.
    FLanguage = new localisation::TLanguage(this);
    FLanguage->setLanguageID(SystemInfo.LanguageID);
    QString error;
    if (!FLanguage->Translate(&error)) {
        reportError(error);
        return;
    }
    // 5.
    const platform::ProfileFile ini(systemInfoPath());
    SystemInfo.LanguageID = ini.readInteger(QStringLiteral("system"), QStringLiteral("LanguageID"), 2052);
    const int connectMode = ini.readInteger(QStringLiteral("DataBase"), QStringLiteral("ConnectMode"), 0);
    // 6.
    if (connectMode != 0 && !TranslateDatabaseTexts(&error))
        reportError(error);
}

void Tfrm_server_main::FormDestroy() {
    // A server ended without the Close command (a signal, the last client of a server started for
    // clients) stops the thread here; the registry goes only once the thread no longer steps through it.
    CloseServices();
    setScanHost(nullptr);
    FDeviceList.reset();
    if (FIconData)
        FIconData->hide();
}

void Tfrm_server_main::AddTrayIcon() {
    setWindowTitle(kCaption);
    if (!FIconData) {
        FIconData = new QSystemTrayIcon(applicationIcon(), this);
        connect(FIconData, &QSystemTrayIcon::activated, this, &Tfrm_server_main::WMTrayIcon);
    }
    FIconData->setToolTip(windowTitle());
    // A desktop without a notification area shows no icon, and a server without a display has none to
    // show; it runs on all the same.
    if (!FIconData->isVisible() && !platform::isHeadless())
        FIconData->show();
}

bool Tfrm_server_main::TranslateDatabaseTexts(QString* error) {
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!localdataconnect)
        return fail(QStringLiteral("the database connection is not open"));
    DisplayNamePass pass(localdataconnect->FInitTable, localdataconnect->ADOCon);
    const auto entry = [this](qsizetype n) { return FLanguage->GetMessage(quint8(n)); };
    // One transaction for the pass: a start whose names are already in the language writes nothing, a
    // first one writes them together.
    const bool transaction = localdataconnect->ADOCon.transaction();
    const auto run = [&]() -> bool {
        // Every statement reads in key order: a server returns unordered rows in any order it likes
        // (PostgreSQL moves a row it rewrites to the end), and the texts are handed out by place.
        // Module names: entry i for the i-th module.
        if (!pass.open(QStringLiteral("select * from ac_systemoudle order by id")))
            return false;
        for (qsizetype i = 0; i < pass.rowCount(); ++i) {
            if (!pass.set(QStringLiteral("ac_systemoudle"), i, QStringLiteral("menuchinaname"), entry(i)))
                return false;
        }
        // The administrator group's rights take the name of the module each one names.
        if (!pass.open(QStringLiteral("select * from ac_systemoudle order by id")))
            return false;
        QHash<qlonglong, QString> moduleNames;
        for (qsizetype i = 0; i < pass.rowCount(); ++i)
            moduleNames.insert(pass.value(i, QStringLiteral("id")).toLongLong(),
                               pass.text(i, QStringLiteral("menuchinaname")));
        if (!pass.open(QStringLiteral("select  * from ac_popedomgroupmodule where (popedomgroupid=1) order by id")))
            return false;
        for (qsizetype i = 0; i < pass.rowCount(); ++i) {
            const QVariant module = pass.value(i, QStringLiteral("systemenuid"));
            const QString name = module.isNull() ? QString() : moduleNames.value(module.toLongLong());
            if (!pass.set(QStringLiteral("ac_popedomgroupmodule"), i, QStringLiteral("menuchinaname"), name))
                return false;
        }
        for (const WordGroup& group : kWordGroups) {
            if (!pass.open(QLatin1String(group.statement)))
                return false;
            for (qsizetype n = 0; n < pass.rowCount(); ++n) {
                if (!pass.set(QStringLiteral("ac_wordbook"), n, QStringLiteral("wordname"), entry(group.first + n)))
                    return false;
            }
        }
        if (!pass.open(QStringLiteral("select * from ac_timegroup order by id")))
            return false;
        for (qsizetype n = 0; n < pass.rowCount(); ++n) {
            if (!pass.set(QStringLiteral("ac_timegroup"), n, QStringLiteral("timegroupname"),
                          entry(kFirstTimeGroupEntry + n)))
                return false;
        }
        return true;
    };
    const bool done = run();
    // What was renamed before a failure stays renamed, as without the transaction.
    if (transaction)
        localdataconnect->ADOCon.commit();
    localdataconnect->FInitTable.close();
    return done || fail(pass.error());
}

void Tfrm_server_main::StartServices() {
    if (!IsLockComponentCurrent(kLockComponentClsid))
        RegisterLockComponent();
    if (StartSocketServer())
        AddTrayIcon();
}

bool Tfrm_server_main::StartSocketServer() {
    switch (launchSocketServer()) {
    case SocketServerStart::Launched:
        return true;
    case SocketServerStart::AlreadyRunning:
        return false;
    case SocketServerStart::Missing:
        break;
    }
    platform::showMessage({QStringLiteral("No File Scktsrvr.exe "), QCoreApplication::applicationFilePath(),
                           platform::MessageIcon::Error});
    // The server cannot be reached without it: the process ends at once.
    std::fflush(nullptr);
    ::_exit(1);
}

void Tfrm_server_main::stopScanThread() {
    std::lock_guard lock(m_mutex);
    if (!FScanThread)
        return;
    FScanThread->Terminate();
    m_stoppedThread = std::move(FScanThread);
}

void Tfrm_server_main::CloseServices() {
    stopScanThread();
    if (!m_stoppedThread)
        return;
    m_stoppedThread->WaitFinished(kScanEndWaitMs);
    m_stoppedThread.reset();
}

std::shared_ptr<monitor::TScanAllControls> Tfrm_server_main::ScanThread() const {
    std::lock_guard lock(m_mutex);
    return FScanThread;
}

void Tfrm_server_main::Timer1Timer() {
    StatusBar1->panel(0)->setText(m_clock().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

void Tfrm_server_main::FormKeyDown(QObject* /*Sender*/, int& Key, Qt::KeyboardModifiers Shift) {
    collectTextsOnKey(FLanguage, Key, Shift);
}

void Tfrm_server_main::showModal() {
    show();
    bringToFront();
}

void Tfrm_server_main::bringToFront() {
    // A hidden window has no place in front to take.
    if (!isVisible())
        return;
    raise();
    activateWindow();
}

void Tfrm_server_main::WMTrayIcon(QSystemTrayIcon::ActivationReason reason) {
    const bool shown = isVisible();
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        if (shown)
            bringToFront();
        else
            showModal();
        break;
    case QSystemTrayIcon::Context:
        bringToFront();
        if (!shown)
            PopupMenu1->popup(QCursor::pos());
        break;
    default:
        break;
    }
}

void Tfrm_server_main::atn_shoefrmExecute() {
    showModal();
}

void Tfrm_server_main::atn_optionExecute() {
    // Made anew for each opening, so that it reads the file again; one at a time.
    if (fm_opton)
        return;
    auto dialog = std::make_unique<Tfm_opton>(this);
    fm_opton = dialog.get();
    dialog->exec();
    fm_opton = nullptr;
}

void Tfrm_server_main::atn_closeExecute() {
    if (!platform::ComServer::instance().confirmClose())
        return;
    stopScanThread();
    QCoreApplication::exit(0);
}

void Tfrm_server_main::closeEvent(QCloseEvent* event) {
    // The close button ends the modal display: the window hides, the server runs on.
    event->ignore();
    hide();
}

void Tfrm_server_main::showOnRequest() {
    const QString request = qEnvironmentVariable("MORVANE_SHOW_WINDOW");
    if (request.isEmpty())
        return;
    atn_shoefrmExecute();
    if (request == QLatin1String("option"))
        QTimer::singleShot(0, this, &Tfrm_server_main::atn_optionExecute);
}

} // namespace morvane
