#include "ComServer.h"
#include "DbTexts.h"
#include "FormControls.h"
#include "Language.h"
#include "main.h"
#include "ProfileFile.h"
#include "rmtdm.h"
#include "ServerServices.h"
#include "TestSupport.h"
#include "unt_initdbms.h"
#include "unt_localdataconnect.h"
#include "unt_option.h"
#include "unt_public.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

using namespace morvane;
using morvane::localisation::TLanguage;
using morvane::platform::MessageAnswer;
using morvane::test::MessageCapture;
using morvane::test::TestEnvironment;

namespace {

const QString kMain = QStringLiteral("frm_server_main");
const QString kOption = QStringLiteral("fm_opton");

// Adds rows to the language database (made first when missing), language 2052, no product name: the
// test program carries no version information.
void addLanguageRows(const QString& form, const QStringList& messages, const QMap<QString, QString>& components) {
    {
        QWidget maker;
        TLanguage make(&maker);
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("rows"));
        db.setDatabaseName(TLanguage::databasePath());
        QVERIFY(db.open());
        QSqlQuery query(db);
        if (!messages.isEmpty()) {
            query.prepare(QStringLiteral("insert into Dialog_Table (AppName, FormName, DialogID, LanguageID, Title, "
                                         "MessageStr) values ('', ?, 0, 2052, '', ?)"));
            query.addBindValue(form);
            query.addBindValue(messages.join(QLatin1String("\r\n")));
            QVERIFY2(query.exec(), qPrintable(query.lastError().text()));
        }
        for (auto row = components.cbegin(); row != components.cend(); ++row) {
            query.prepare(QStringLiteral("insert into Component_Table (AppName, FormName, ComponentName, LanguageID, "
                                         "ComponentProperty) values ('', ?, ?, 2052, ?)"));
            query.addBindValue(form);
            query.addBindValue(row.key());
            query.addBindValue(row.value());
            QVERIFY2(query.exec(), qPrintable(query.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("rows"));
}

int storedRowCount(const QString& form) {
    int count = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
        db.setDatabaseName(TLanguage::databasePath());
        db.open();
        QSqlQuery query(db);
        query.prepare(QStringLiteral("select count(*) from Component_Table where FormName=?"));
        query.addBindValue(form);
        if (query.exec() && query.next())
            count = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return count;
}

QStringList column(platform::SqlConnection& connection, const QString& sql) {
    QStringList values;
    for (const QVariantList& row : connection.exec(sql).rows)
        values.append(row.value(0).toString());
    return values;
}

QByteArray systemInfo(int connectMode, const QByteArray& port = "0") {
    return "[Device]\r\nport=" + port + "\r\n[System]\r\nLanguageID=2052\r\n[DataBase]\r\nProvider=SQLite\r\n" +
           "DataBaseName=app.db\r\nConnectMode=" + QByteArray::number(connectMode) + "\r\n";
}

void useSystemInfo(const QByteArray& content, TestEnvironment& env) {
    env.writeSystemInfo(content);
    readSystemInfo(systemInfoPath(), SystemInfo);
}

} // namespace

class TestWindows : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { registerRmtserverFactory(); }

    void mainWindowAsDescribed();
    void clockShowsLocalTime_data();
    void clockShowsLocalTime();
    void trayIconByWindowState_data();
    void trayIconByWindowState();
    void closeCommand_data();
    void closeCommand();
    void windowIsTranslated();
    void corruptLanguageDatabase();
    void databaseTextsKeepNamesWithoutText_data();
    void databaseTextsKeepNamesWithoutText();
    void seedNamesStayAcrossStarts_data();
    void seedNamesStayAcrossStarts();
    void recordKey_data();
    void recordKey();
    void lockComponentVersion_data();
    void lockComponentVersion();

    void optionShowsStoredPort_data();
    void optionShowsStoredPort();
    void optionOkAndClose_data();
    void optionOkAndClose();
    void optionEnterMovesFocusOn();
    void optionCommandShowsDialogModally();
};

void TestWindows::mainWindowAsDescribed() {
    TestEnvironment env;
    useSystemInfo(systemInfo(0), env);
    Tfrm_server_main window;
    QVERIFY(!window.isVisible());
    QCOMPARE(window.minimumSize(), QSize(400, 260));
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    auto* bar = window.findChild<TStatusBar*>(QStringLiteral("StatusBar1"));
    QCOMPARE(bar->panelCount(), qsizetype(1));
    QCOMPARE(bar->panel(0)->width(), 280);
    const auto texts = [](const QWidget* menu) {
        QStringList list;
        for (const QAction* action : menu->actions())
            list.append(action->isSeparator() ? QStringLiteral("-") : action->text());
        return list.join(QLatin1Char('|'));
    };
    QCOMPARE(texts(window.findChild<TMenuItem*>(QStringLiteral("File1"))), QStringLiteral("Option|-|Close"));
    QCOMPARE(texts(window.findChild<TPopupMenu*>(QStringLiteral("PopupMenu1"))),
             QStringLiteral("Close|-|Tavrel Morvane Server"));
    QCOMPARE(window.findChild<QSystemTrayIcon*>()->toolTip(), QStringLiteral("Tavrel Morvane Server"));
    // The scanning thread runs and the remote service reaches it.
    QVERIFY(window.ScanThread() != nullptr);
    QCOMPARE(scanHost(), static_cast<IScanHost*>(&window));
}

void TestWindows::clockShowsLocalTime_data() {
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("shown");
    QTest::newRow("morning") << QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)) << "2024-03-05 07:08:09";
    QTest::newRow("evening") << QDateTime(QDate(2024, 3, 5), QTime(19, 8, 9)) << "2024-03-05 19:08:09";
}

void TestWindows::clockShowsLocalTime() {
    QFETCH(QDateTime, now);
    TestEnvironment env;
    useSystemInfo(systemInfo(0), env);
    Tfrm_server_main window;
    window.setClock([now] { return now; });
    QLabel* panel = window.findChild<TStatusBar*>(QStringLiteral("StatusBar1"))->panel(0);
    QCOMPARE(panel->text(), QString());
    // Written by the window's own timer.
    QFETCH(QString, shown);
    QTRY_COMPARE_WITH_TIMEOUT(panel->text(), shown, 2500);
}

void TestWindows::trayIconByWindowState_data() {
    QTest::addColumn<bool>("shownBefore");
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("shownAfter");
    QTest::addColumn<bool>("menuOpened");
    QTest::newRow("double-click on hidden shows it") << false << int(QSystemTrayIcon::DoubleClick) << true << false;
    QTest::newRow("double-click on shown only raises it") << true << int(QSystemTrayIcon::DoubleClick) << true << false;
    QTest::newRow("right-click on hidden opens the menu") << false << int(QSystemTrayIcon::Context) << false << true;
    QTest::newRow("right-click on shown opens no menu") << true << int(QSystemTrayIcon::Context) << true << false;
    QTest::newRow("single click does nothing") << false << int(QSystemTrayIcon::Trigger) << false << false;
}

void TestWindows::trayIconByWindowState() {
    QFETCH(bool, shownBefore);
    QFETCH(int, reason);
    TestEnvironment env;
    useSystemInfo(systemInfo(0), env);
    Tfrm_server_main window;
    if (shownBefore)
        window.atn_shoefrmExecute();
    auto* menu = window.findChild<TPopupMenu*>(QStringLiteral("PopupMenu1"));
    emit window.findChild<QSystemTrayIcon*>()->activated(QSystemTrayIcon::ActivationReason(reason));
    QTEST(window.isVisible(), "shownAfter");
    QTEST(menu->isVisible(), "menuOpened");
    if (window.isVisible()) {
        // Shown, the window is modal.
        QCOMPARE(QApplication::activeModalWidget(), &window);
        window.close();
        QVERIFY(!window.isVisible());
        QVERIFY(window.ScanThread() != nullptr);
    }
    menu->hide();
}

void TestWindows::closeCommand_data() {
    QTest::addColumn<bool>("liveObject");
    QTest::addColumn<MessageAnswer>("answer");
    QTest::addColumn<bool>("ends");
    QTest::newRow("no clients: no question") << false << MessageAnswer::No << true;
    QTest::newRow("clients, No: runs on") << true << MessageAnswer::No << false;
    QTest::newRow("clients, Yes: ends") << true << MessageAnswer::Yes << true;
}

void TestWindows::closeCommand() {
    QFETCH(bool, liveObject);
    QFETCH(MessageAnswer, answer);
    QFETCH(bool, ends);
    TestEnvironment env;
    useSystemInfo(systemInfo(0), env);
    Tfrm_server_main window;
    platform::DispatchPtr object;
    if (liveObject)
        object = platform::ComServer::instance().createInstance(QStringLiteral("server.rmtserver"));
    QCOMPARE(object != nullptr, liveObject);
    MessageCapture capture(answer);
    QTimer::singleShot(0, &window, &Tfrm_server_main::atn_closeExecute);
    // Ends with the case: a time-out left running would end the event loop of a later one.
    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
    giveUp.start(ends ? 5000 : 300);
    QCOMPARE(QCoreApplication::exec(), ends ? 0 : 7);
    QCOMPARE(window.ScanThread() == nullptr, ends);
    const auto messages = capture.messages();
    QCOMPARE(messages.size(), liveObject ? 1 : 0);
    if (liveObject) {
        QCOMPARE(messages.first().caption, QStringLiteral("COM Server Warning"));
        QVERIFY(messages.first().text.endsWith(
            QStringLiteral("manually closing this application may cause those client application(s) to fail.\n\n"
                           "Are you sure you want to close this application?")));
        QCOMPARE(messages.first().buttons, platform::MessageButtons::YesNo);
        QCOMPARE(messages.first().defaultAnswer, MessageAnswer::No);
    }
}

void TestWindows::windowIsTranslated() {
    TestEnvironment env;
    useSystemInfo(systemInfo(0), env);
    addLanguageRows(kMain, {QStringLiteral("模块")},
                    {{QStringLiteral("Panel1"), QStringLiteral("Caption:服务器运行中")},
                     {QStringLiteral("atn_close"), QStringLiteral("Caption:退出\r\nHint:关闭服务器")},
                     {QStringLiteral("File1"), QStringLiteral("Caption:文件(&F)")},
                     {kMain, QStringLiteral("Caption:门禁服务器")}});
    MessageCapture capture;
    Tfrm_server_main window;
    QVERIFY(capture.messages().isEmpty());
    QCOMPARE(window.findChild<TPanel*>(QStringLiteral("Panel1"))->text(), QStringLiteral("服务器运行中"));
    QCOMPARE(window.findChild<TMenuItem*>(QStringLiteral("File1"))->title(), QStringLiteral("文件(&F)"));
    // The action's caption shows in both menus.
    QCOMPARE(window.findChild<TPopupMenu*>(QStringLiteral("PopupMenu1"))->actions().first()->text(),
             QStringLiteral("退出"));
    QCOMPARE(window.windowTitle(), QStringLiteral("门禁服务器"));
    QCOMPARE(window.Language()->GetMessage(0), QStringLiteral("模块"));
}

void TestWindows::corruptLanguageDatabase() {
    TestEnvironment env;
    useSystemInfo(systemInfo(1), env);
    QVERIFY(TCreateDataBase(connectionSettings(SystemInfo).database, {}, {}, {}, platform::SqlProvider::SQLite)
                .BuildDataBase());
    QVERIFY(QDir().mkpath(env.path(QStringLiteral("DB"))));
    env.writeFile(QStringLiteral("DB/Language.mdb"), QByteArray(2048, '\x7f'));
    MessageCapture capture;
    Tlocaldataconnect module([] { return std::make_unique<Tfrm_server_main>(); });
    module.DataModuleCreate();
    // Said once, naming the file; the server goes on with the texts it was built with.
    QVERIFY(!module.terminateRequested());
    QCOMPARE(capture.messages().size(), 1);
    QVERIFY2(capture.messages().first().text.contains(TLanguage::databasePath()),
             qPrintable(capture.messages().first().text));
    auto* window = dynamic_cast<Tfrm_server_main*>(module.mainWindow());
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("Tavrel Morvane Server"));
    QCOMPARE(window->findChild<TPanel*>(QStringLiteral("Panel1"))->text(),
             QStringLiteral("Tavrel Morvane Server Run ..."));
    QVERIFY(window->ScanThread() != nullptr);
    QCOMPARE(column(module.ADOCon, QStringLiteral("select menuchinaname from ac_systemoudle order by id")).first(),
             db::moduleSeeds().first().chineseName);
}

void TestWindows::databaseTextsKeepNamesWithoutText_data() {
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("dropTable");
    QTest::newRow("empty language keeps every name") << QStringList() << "";
    QStringList some(56);
    some[0] = QStringLiteral("模块零");
    some[2] = QStringLiteral("模块二");
    some[22] = QStringLiteral("词二");
    some[55] = QStringLiteral("时间组");
    QTest::newRow("texts for some rows") << some << "";
    QTest::newRow("missing table reported, earlier names renamed") << some << "ac_timegroup";
}

void TestWindows::databaseTextsKeepNamesWithoutText() {
    QFETCH(QStringList, messages);
    QFETCH(QString, dropTable);
    TestEnvironment env;
    MessageCapture capture;
    useSystemInfo(systemInfo(1), env);
    QVERIFY(TCreateDataBase(connectionSettings(SystemInfo).database, {}, {}, {}, platform::SqlProvider::SQLite)
                .BuildDataBase());
    addLanguageRows(kMain, messages, {});
    Tlocaldataconnect module([] { return std::make_unique<Tfrm_server_main>(); });
    platform::SqlConnection& db = module.ADOCon;
    QVERIFY(db.open(connectionSettings(SystemInfo)));
    // One more right for the administrator group than there are modules.
    QVERIFY(db.exec(QStringLiteral("insert into ac_popedomgroupmodule (popedomgroupid, menuchinaname) "
                                   "values (1, 'surplus')"))
                .ok);
    if (!dropTable.isEmpty())
        QVERIFY(db.exec(QStringLiteral("drop table ") + dropTable).ok);
    const auto modules = [&] {
        return column(db, QStringLiteral("select menuchinaname from ac_systemoudle order by id"));
    };
    const auto rights = [&] {
        return column(db, QStringLiteral("select menuchinaname from ac_popedomgroupmodule where popedomgroupid=1 "
                                         "order by id"));
    };
    const auto words = [&] { return column(db, QStringLiteral("select wordname from ac_wordbook order by id")); };
    const QStringList modulesBefore = modules();
    const QStringList wordsBefore = words();
    const QStringList timesBefore =
        dropTable.isEmpty() ? column(db, QStringLiteral("select timegroupname from ac_timegroup order by id"))
                            : QStringList();
    QCOMPARE(modulesBefore.size(), 20);

    module.DataModuleCreate();
    QVERIFY(!module.terminateRequested());

    QStringList modulesAfter = modulesBefore;
    for (int i = 0; i < modulesAfter.size(); ++i) {
        if (!messages.value(i).isEmpty())
            modulesAfter[i] = messages.value(i);
    }
    QCOMPARE(modules(), modulesAfter);
    QCOMPARE(rights(), modulesAfter + QStringList{QStringLiteral("surplus")});
    QStringList wordsAfter = wordsBefore;
    // The first word of group 2 takes entry 22; the seed's group 1 has two words, so it is the third row.
    if (!messages.value(22).isEmpty())
        wordsAfter[2] = messages.value(22);
    QCOMPARE(words(), wordsAfter);
    if (dropTable.isEmpty()) {
        QStringList timesAfter = timesBefore;
        if (!messages.value(55).isEmpty())
            timesAfter[0] = messages.value(55);
        QCOMPARE(column(db, QStringLiteral("select timegroupname from ac_timegroup order by id")), timesAfter);
        QVERIFY(capture.messages().isEmpty());
    } else {
        QCOMPARE(capture.messages().size(), 1);
        QCOMPARE(capture.messages().first().caption, QStringLiteral("Tavrel Morvane Server"));
        QVERIFY2(capture.messages().first().text.contains(dropTable), qPrintable(capture.messages().first().text));
    }
}

void TestWindows::seedNamesStayAcrossStarts_data() {
    QTest::addColumn<QString>("provider");
    QTest::newRow("SQLite") << "SQLite";
    QTest::newRow("PostgreSQL") << "PostgreSQL";
}

// Every start renames the seed rows from the language; a row renamed moves in the server's own order
// (PostgreSQL writes a new row version), so names must be matched to rows by key, not by position.
void TestWindows::seedNamesStayAcrossStarts() {
    QFETCH(QString, provider);
    TestEnvironment env;
    MessageCapture capture;
    QByteArray database = "Provider=SQLite\r\nDataBaseName=app.db\r\n";
    std::optional<test::PgServer> pg;
    const QString pgName = QStringLiteral("morvane_seed_%1").arg(QRandomGenerator::global()->generate());
    if (provider == QLatin1String("PostgreSQL")) {
        MORVANE_REQUIRE_PG(server);
        pg = server;
        database = "Provider=PostgreSQL\r\nServerName=" + server.serverName().toUtf8() +
                   "\r\nUserName=" + server.user.toUtf8() + "\r\nPassword=" + server.password.toUtf8() +
                   "\r\nDataBaseName=" + pgName.toUtf8() + "\r\n";
    }
    const auto dropDatabase = qScopeGuard([&] {
        if (!pg)
            return;
        platform::SqlConnection admin;
        platform::SqlConnectionSettings settings = connectionSettings(SystemInfo);
        settings.database = QStringLiteral("postgres");
        if (admin.open(settings))
            admin.exec(QStringLiteral("drop database if exists %1 with (force)").arg(pgName));
    });
    useSystemInfo("[System]\r\nLanguageID=2052\r\n[DataBase]\r\nConnectMode=1\r\n" + database, env);

    // Texts for some rows only: the others keep their seed names, and the renamed ones move.
    QStringList messages(58);
    for (const int module : {0, 2, 5, 19})
        messages[module] = QStringLiteral("模块%1").arg(module);
    messages[21] = QStringLiteral("女性");
    messages[31] = QStringLiteral("超级卡片");
    messages[56] = QStringLiteral("第二时间组");
    addLanguageRows(kMain, messages, {});

    QStringList modules;
    for (const db::ModuleSeed& seed : db::moduleSeeds())
        modules.append(messages.value(modules.size()).isEmpty() ? seed.chineseName : messages.value(modules.size()));
    // The seed words in key order, with the entry each takes: its group's first entry plus its place.
    const QHash<int, int> firstEntry{{1, 20}, {2, 22}, {3, 26}, {4, 30}, {5, 49}, {6, 51}, {7, 53}};
    QStringList words;
    QHash<int, int> placeInGroup;
    for (const db::WordSeed& seed : db::wordbookSeeds()) {
        const int place = placeInGroup[seed.wordId]++;
        const QString text =
            firstEntry.contains(seed.wordId) ? messages.value(firstEntry[seed.wordId] + place) : QString();
        words.append(text.isEmpty() ? seed.name : text);
    }
    QStringList times;
    for (int group = 1; group <= 8; ++group)
        times.append(messages.value(54 + group).isEmpty() ? db::timeGroupName(group) : messages.value(54 + group));

    for (int start = 1; start <= 5; ++start) {
        qInfo("start %d", start);
        const platform::SqlConnectionSettings settings = connectionSettings(SystemInfo);
        QVERIFY(TCreateDataBase(settings.database, settings.user, settings.password, settings.server, settings.provider)
                    .BuildDataBase());
        Tlocaldataconnect module([] { return std::make_unique<Tfrm_server_main>(); });
        module.DataModuleCreate();
        QVERIFY(!module.terminateRequested());
        QVERIFY(capture.messages().isEmpty());
        platform::SqlConnection& db = module.ADOCon;
        QCOMPARE(column(db, QStringLiteral("select menuchinaname from ac_systemoudle order by id")), modules);
        // Each right names its own module.
        QCOMPARE(column(db, QStringLiteral("select r.menuchinaname from ac_popedomgroupmodule r join ac_systemoudle m "
                                           "on m.id = r.systemenuid where r.popedomgroupid = 1 order by m.id")),
                 modules);
        QCOMPARE(column(db, QStringLiteral("select wordname from ac_wordbook order by id")), words);
        QCOMPARE(column(db, QStringLiteral("select timegroupname from ac_timegroup order by id")), times);
    }
}

void TestWindows::recordKey_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<MessageAnswer>("answer");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("recorded");
    QTest::addColumn<quint32>("keysym"); // 0: F12 as Qt names it; else X11's keysym, which Qt names no key
    const int ctrlAlt = int(Qt::ControlModifier | Qt::AltModifier);
    QTest::newRow("main, OK records") << kMain << ctrlAlt << MessageAnswer::Ok << true << true << 0u;
    QTest::newRow("main, with Shift too")
        << kMain << (ctrlAlt | int(Qt::ShiftModifier)) << MessageAnswer::Ok << true << true << 0u;
    QTest::newRow("main, Cancel records nothing") << kMain << ctrlAlt << MessageAnswer::Cancel << true << false << 0u;
    QTest::newRow("main, Ctrl alone is no key")
        << kMain << int(Qt::ControlModifier) << MessageAnswer::Ok << false << false << 0u;
    QTest::newRow("options, from the port list") << kOption << ctrlAlt << MessageAnswer::Ok << true << true << 0u;
    // Ctrl+Alt+F12 on X11 comes as the console switch XF86Switch_VT_12.
    QTest::newRow("main, X11 console switch 12")
        << kMain << ctrlAlt << MessageAnswer::Ok << true << true << 0x1008FE0Cu;
    QTest::newRow("options, X11 console switch 12")
        << kOption << ctrlAlt << MessageAnswer::Ok << true << true << 0x1008FE0Cu;
    QTest::newRow("main, X11 console switch 11")
        << kMain << ctrlAlt << MessageAnswer::Ok << false << false << 0x1008FE0Bu;
}

void TestWindows::recordKey() {
    QFETCH(QString, form);
    QFETCH(int, modifiers);
    QFETCH(MessageAnswer, answer);
    TestEnvironment env;
    useSystemInfo(systemInfo(0), env);
    MessageCapture capture(answer);
    Tfrm_server_main window;
    std::unique_ptr<Tfm_opton> dialog;
    QWidget* target = &window;
    if (form == kOption) {
        dialog = std::make_unique<Tfm_opton>(&window);
        // The dialog sees the key before the control that has it.
        target = dialog->findChild<TComboBox*>(QStringLiteral("cmb_portname"));
    }
    QFETCH(quint32, keysym);
    if (keysym == 0) {
        QTest::keyClick(target, Qt::Key_F12, Qt::KeyboardModifiers(modifiers));
    } else {
        // As the X11 platform delivers it: no Qt key, the keysym as the native key, F12's key code.
        QKeyEvent press(QEvent::KeyPress, 0, Qt::KeyboardModifiers(modifiers), 96, keysym, 0x0c);
        QCoreApplication::sendEvent(target, &press);
    }
    QFETCH(bool, asked);
    QCOMPARE(capture.messages().size(), asked ? 1 : 0);
    if (asked) {
        QCOMPARE(capture.messages().first().text, QStringLiteral("文件不存在，请重新选择！"));
        QCOMPARE(capture.messages().first().caption, QStringLiteral("提示"));
        QCOMPARE(capture.messages().first().buttons, platform::MessageButtons::OkCancel);
        QCOMPARE(capture.messages().first().icon, platform::MessageIcon::Warning);
    }
    QFETCH(bool, recorded);
    QCOMPARE(storedRowCount(form) > 0, recorded);
}

void TestWindows::lockComponentVersion_data() {
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<bool>("current");
    const QByteArray key = "[HKEY_CLASSES_ROOT\\CLSID\\{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}";
    QTest::newRow("same version") << key + "]\n@=\"x\"\n" + key + "\\Version]\n@=\"1\"\n" << true;
    QTest::newRow("1.0 is not 1") << key + "]\n@=\"x\"\n" + key + "\\Version]\n@=\"1.0\"\n" << false;
    QTest::newRow("no Version key: the class key's value") << key + "]\n@=\"1\"\n" << true;
    QTest::newRow("not registered") << QByteArray() << false;
}

void TestWindows::lockComponentVersion() {
    QFETCH(QByteArray, keys);
    QFETCH(bool, current);
    TestEnvironment env;
    useSystemInfo(systemInfo(0), env);
    env.holdSocketServer();
    env.writeFile(env.registryPath(), "REGEDIT4\n\n" + keys);
    QCOMPARE(IsLockComponentCurrent(kLockComponentClsid), current);
    // A registration program beside the server that notes how it was called.
    const QString marker = env.path(QStringLiteral("registered"));
    env.writeFile(QStringLiteral("regsvr32"),
                  "#!/bin/sh\necho \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"" + marker.toLocal8Bit() + "\"\n");
    QFile::setPermissions(env.path(QStringLiteral("regsvr32")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    Tfrm_server_main window;
    MessageCapture capture;
    window.StartServices();
    // A socket server that runs is left alone.
    QVERIFY(capture.messages().isEmpty());
    QCOMPARE(launchSocketServer(), SocketServerStart::AlreadyRunning);
    if (current) {
        QTest::qWait(300);
        QVERIFY(!QFileInfo::exists(marker));
    } else {
        QTRY_VERIFY(QFileInfo::exists(marker));
        QCOMPARE(env.readFile(marker), "/s " + env.path(QStringLiteral("KestrovaCom.so")).toLocal8Bit() + "\n");
    }
}

void TestWindows::optionShowsStoredPort_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("shown");
    QTest::newRow("port 2") << QByteArray("[Device]\r\nport=2\r\n") << "com3";
    QTest::newRow("hex 0x13") << QByteArray("[DEVICE]\r\nPORT=0x13\r\n") << "com20";
    QTest::newRow("outside the list") << QByteArray("[Device]\r\nport=20\r\n") << "";
    QTest::newRow("no file") << QByteArray() << "com1";
}

void TestWindows::optionShowsStoredPort() {
    QFETCH(QByteArray, content);
    TestEnvironment env;
    if (!content.isEmpty())
        env.writeSystemInfo(content);
    Tfm_opton dialog;
    auto* ports = dialog.findChild<TComboBox*>(QStringLiteral("cmb_portname"));
    QCOMPARE(ports->count(), 20);
    QTEST(ports->currentText(), "shown");
}

void TestWindows::optionOkAndClose_data() {
    QTest::addColumn<QByteArray>("stored"); // empty: a folder where the file belongs, which cannot be written
    QTest::addColumn<int>("choose");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("readOnly"); // the stored file has no write permission
    QTest::newRow("com20 and Ok") << QByteArray("2") << 19 << "BitBtn1" << 19 << "" << false;
    QTest::newRow("Close saves nothing") << QByteArray("2") << 19 << "BitBtn2" << 2 << "" << false;
    QTest::newRow("nothing selected, Ok saves nothing")
        << QByteArray("25") << -1 << "BitBtn1" << 25 << "No serial port is selected: choose one of com1 to com20."
        << false;
    QTest::newRow("unwritable file, Ok keeps the dialog open")
        << QByteArray() << 4 << "BitBtn1" << 4 << "Unable to write to %1" << false;
    QTest::newRow("read-only file, Ok keeps the dialog and the file")
        << QByteArray("2") << 4 << "BitBtn1" << 4 << "Unable to write to %1" << true;
}

void TestWindows::optionOkAndClose() {
    QFETCH(QByteArray, stored);
    QFETCH(int, choose);
    QFETCH(QString, button);
    QFETCH(int, port);
    QFETCH(QString, message);
    QFETCH(bool, readOnly);
    TestEnvironment env;
    if (stored.isEmpty())
        QVERIFY(QDir().mkpath(systemInfoPath()));
    else
        useSystemInfo(systemInfo(0, stored), env);
    if (readOnly)
        QVERIFY(QFile::setPermissions(systemInfoPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QByteArray before = env.readFile(systemInfoPath());
    MessageCapture capture;
    Tfm_opton dialog;
    dialog.show();
    if (choose >= 0)
        dialog.findChild<TComboBox*>(QStringLiteral("cmb_portname"))->setCurrentIndex(choose);
    QTest::mouseClick(dialog.findChild<TBitBtn*>(button), Qt::LeftButton);
    // The next serial link takes SystemInfo.port + 1.
    QCOMPARE(int(SystemInfo.port), port);
    QCOMPARE(dialog.isVisible(), !message.isEmpty());
    if (message.isEmpty()) {
        QCOMPARE(dialog.result(), button == QLatin1String("BitBtn1") ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QVERIFY(capture.messages().isEmpty());
    } else {
        QCOMPARE(capture.messages().size(), 1);
        QCOMPARE(capture.messages().first().text, message.arg(systemInfoPath()));
    }
    if (stored.isEmpty())
        return;
    const int saved = button == QLatin1String("BitBtn1") && message.isEmpty() ? port : stored.toInt();
    QCOMPARE(platform::ProfileFile(systemInfoPath()).readInteger(QStringLiteral("device"), QStringLiteral("port"), -7),
             saved);
    if (saved == stored.toInt())
        QCOMPARE(env.readFile(systemInfoPath()), before);
}

void TestWindows::optionEnterMovesFocusOn() {
    TestEnvironment env;
    useSystemInfo(systemInfo(0, "5"), env);
    Tfm_opton dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto* ports = dialog.findChild<TComboBox*>(QStringLiteral("cmb_portname"));
    ports->setFocus();
    QVERIFY(ports->hasFocus());
    QTest::keyClick(ports, Qt::Key_Return);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QVERIFY(!ports->hasFocus());
    QCOMPARE(ports->currentIndex(), 5);
    QCOMPARE(env.readFile(systemInfoPath()), systemInfo(0, "5"));
}

void TestWindows::optionCommandShowsDialogModally() {
    TestEnvironment env;
    useSystemInfo(systemInfo(0, "2"), env);
    Tfrm_server_main window;
    window.atn_shoefrmExecute();
    QString seen;
    QTimer::singleShot(0, &window, [&seen] {
        auto* dialog = qobject_cast<Tfm_opton*>(QApplication::activeModalWidget());
        if (!dialog || dialog != fm_opton)
            return;
        seen = dialog->findChild<TComboBox*>(QStringLiteral("cmb_portname"))->currentText();
        dialog->atn_closeExecute();
    });
    QTimer::singleShot(3000, &window, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    window.atn_optionExecute();
    QCOMPARE(seen, QStringLiteral("com3"));
    QCOMPARE(fm_opton, nullptr);
    // Back to the main window, still modal.
    QCOMPARE(QApplication::activeModalWidget(), &window);
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestWindows test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windows.moc"
