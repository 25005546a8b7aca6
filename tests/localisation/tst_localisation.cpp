#include "Automation.h"
#include "Collection.h"
#include "ConsoleLabels.h"
#include "FileVersion.h"
#include "Language.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

#include <sys/stat.h>
#include <utility>

using namespace morvane;
using morvane::localisation::TLanguage;
using morvane::test::MessageCapture;
using morvane::test::TestEnvironment;

namespace {

class ThreeItems : public localisation::TCollection {
    Q_OBJECT
public:
    using TCollection::TCollection;
    qsizetype count() const override { return 3; }
    QString displayName(qsizetype index) const override { return QStringLiteral("item%1").arg(index); }
};

// A control with the kinds of property the form descriptions use.
class TestControl : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption MEMBER m_caption)
    Q_PROPERTY(QString Hint MEMBER m_hint)
    Q_PROPERTY(int Width READ width)
    Q_PROPERTY(morvane::localisation::TCollection* Panels READ Panels)
    Q_PROPERTY(morvane::localisation::TStrings* Items READ Items)
public:
    TestControl(const QString& name, QWidget* parent)
        : QWidget(parent)
        , m_panels(new ThreeItems(this))
        , m_items(new localisation::TStringList(this)) {
        setObjectName(name);
        m_items->setStrings({QStringLiteral("com1"), QStringLiteral("com2"), QStringLiteral("com3")});
    }
    localisation::TCollection* Panels() const { return m_panels; }
    localisation::TStrings* Items() const { return m_items; }
    QString m_caption = QStringLiteral("caption");
    QString m_hint = QStringLiteral("hint");

private:
    ThreeItems* m_panels;
    localisation::TStringList* m_items;
};

class TestForm : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ windowTitle WRITE setWindowTitle)
    Q_PROPERTY(morvane::localisation::TCollection* Panels READ Panels)
public:
    explicit TestForm(const QString& name)
        : m_panels(new ThreeItems(this)) {
        setObjectName(name);
        setWindowTitle(QStringLiteral("Form"));
        button = new TestControl(QStringLiteral("button1"), this);
        inner = new TestControl(QStringLiteral("inner"), button);
        // Qt's own children are not components.
        new QWidget(this);
    }
    localisation::TCollection* Panels() const { return m_panels; }
    TestControl* button;
    TestControl* inner;

private:
    ThreeItems* m_panels;
};

QSqlDatabase languageDatabase() {
    QSqlDatabase db = QSqlDatabase::contains(QStringLiteral("check"))
                          ? QSqlDatabase::database(QStringLiteral("check"))
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
    db.setDatabaseName(TLanguage::databasePath());
    db.open();
    return db;
}

void exec(const QString& sql, const QVariantList& values) {
    QSqlQuery query(languageDatabase());
    QVERIFY2(query.prepare(sql), qPrintable(query.lastError().text()));
    for (const QVariant& value : values)
        query.addBindValue(value);
    QVERIFY2(query.exec(), qPrintable(query.lastError().text()));
}

void addComponentRow(const QString& form, const QString& component, int language, const QString& text) {
    exec(QStringLiteral("insert into Component_Table (AppName, FormName, ComponentName, LanguageID, "
                        "ComponentProperty) values ('', ?, ?, ?, ?)"),
         {form, component, language, text});
}

void addDialogRow(const QString& form, int language, const QString& messages) {
    exec(QStringLiteral("insert into Dialog_Table (AppName, FormName, DialogID, LanguageID, Title, MessageStr) "
                        "values ('', ?, 0, ?, '', ?)"),
         {form, language, messages});
}

// ComponentName -> ComponentProperty of the stored rows of a form.
QMap<QString, QString> storedRows(const QString& form) {
    QMap<QString, QString> rows;
    QSqlQuery query(languageDatabase());
    query.prepare(QStringLiteral("select ComponentName, ComponentProperty, ComponentClass from Component_Table "
                                 "where FormName=?"));
    query.addBindValue(form);
    query.exec();
    while (query.next())
        rows.insert(query.value(0).toString(), query.value(1).toString());
    return rows;
}

// Stands for the log-on guard: refuses every call of a connection that has not logged on.
class LogOnGuard : public morvane::platform::rpc::ConnectionGuard {
public:
    explicit LogOnGuard(bool loggedOn)
        : m_loggedOn(loggedOn) {}
    std::optional<QJsonObject> handle(const QString&, const QJsonValue&) override { return std::nullopt; }
    void begin(const QString&) override {
        if (!m_loggedOn)
            throw morvane::platform::AutomationError(morvane::platform::hr::E_ACCESSDENIED,
                                                     QStringLiteral("Log on first"));
    }
    void end() override {}

private:
    bool m_loggedOn;
};

} // namespace

class TestLocalisation : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QSqlDatabase::removeDatabase(QStringLiteral("check")); }

    void missingDatabaseIsMadeAndChangesNothing();
    void unopenableDatabaseFailsEveryOperation_data();
    void unopenableDatabaseFailsEveryOperation();
    void propertyLinesAreApplied_data();
    void propertyLinesAreApplied();
    void storedRowsTranslateTheForm();
    void collectedTextsRoundTrip();
    void rebuildIsAskedFirst_data();
    void rebuildIsAskedFirst();
    void versionInformation_data();
    void versionInformation();
    void consoleLabels_data();
    void consoleLabels();
};

void TestLocalisation::missingDatabaseIsMadeAndChangesNothing() {
    TestEnvironment env;
    QVERIFY(!QFileInfo::exists(env.path(QStringLiteral("DB"))));
    TestForm form(QStringLiteral("form1"));
    // The file and its folder are the server user's alone, whatever the umask.
    const mode_t previousMask = ::umask(0);
    TLanguage language(&form);
    ::umask(previousMask);
    QVERIFY2(language.openError().isEmpty(), qPrintable(language.openError()));
    QVERIFY(QFileInfo(env.path(QStringLiteral("DB/Language.mdb"))).isFile());
    for (const auto& [name, mode] : {std::pair{"DB", 0700}, std::pair{"DB/Language.mdb", 0600}}) {
        struct stat status {};
        QVERIFY(::stat(QFile::encodeName(env.path(QLatin1String(name))).constData(), &status) == 0);
        QCOMPARE(QString::number(status.st_mode & 07777, 8), QString::number(mode, 8));
    }
    QSqlDatabase db = languageDatabase();
    QCOMPARE(db.record(QStringLiteral("Component_Table")).count(), 7);
    QCOMPARE(db.record(QStringLiteral("Dialog_Table")).count(), 7);
    QVERIFY(db.record(QStringLiteral("Dialog_Table")).contains(QStringLiteral("MessageStr")));

    language.setLanguageID(2052);
    QVERIFY(language.Translate());
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(form.button->m_caption, QStringLiteral("caption"));
    QCOMPARE(language.GetMessage(0), QString());
    QCOMPARE(language.GetMessage(255), QString());
}

void TestLocalisation::unopenableDatabaseFailsEveryOperation_data() {
    QTest::addColumn<QString>("path"); // what is there instead of a language database
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("named"); // what the message names
    QTest::newRow("a file where the folder belongs") << "DB" << QByteArray("not a folder") << "DB";
    QTest::newRow("a file that is no database") << "DB/Language.mdb" << QByteArray(4096, '\x5a') << "DB/Language.mdb";
    QTest::newRow("a database without the tables")
        << "DB/Language.mdb" << QByteArray("SQLite format 3") << "DB/Language.mdb";
}

void TestLocalisation::unopenableDatabaseFailsEveryOperation() {
    QFETCH(QString, path);
    QFETCH(QByteArray, content);
    QFETCH(QString, named);
    TestEnvironment env;
    if (content.startsWith("SQLite")) {
        QVERIFY(QDir().mkpath(env.path(QStringLiteral("DB"))));
        QSqlDatabase db = languageDatabase();
        QVERIFY(QSqlQuery(db).exec(QStringLiteral("create table other (a int)")));
        db.close();
        content = env.readFile(env.path(path));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(env.path(path)).absolutePath()));
        env.writeFile(path, content);
    }
    TestForm form(QStringLiteral("form1"));
    TLanguage language(&form);
    language.setLanguageID(2052);
    QString error;
    QVERIFY(!language.Translate(&error));
    QVERIFY2(error.contains(env.path(named)), qPrintable(error));
    // The form keeps its own texts, and the file is left as it is for whoever repairs it.
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(language.GetMessage(0), QString());
    QString collectError;
    QVERIFY(!language.CollectTexts(&collectError));
    QVERIFY2(collectError.contains(env.path(named)), qPrintable(collectError));
    QCOMPARE(env.readFile(env.path(path)), content);
}

void TestLocalisation::propertyLinesAreApplied_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("hint");
    QTest::addColumn<QStringList>("items");
    // "#" stands for the ten blanks of a list-item line.
    const auto lines = [](std::initializer_list<const char*> texts) {
        QStringList list;
        for (const char* text : texts)
            list.append(QString::fromUtf8(text).replace(QLatin1Char('#'), QString(10, QLatin1Char(' '))));
        return list;
    };
    const QStringList ports = lines({"com1", "com2", "com3"});

    QTest::newRow("caption and hint") << lines({"Caption:Open", "Hint:Open the door"}) << "Open"
                                      << "Open the door" << ports;
    QTest::newRow("Name, unknown, non-text and colon-less lines ignored")
        << lines({"Name:Other", "Colour:red", "Width:5", "Caption", "caption:any case"}) << "any case"
        << "hint" << ports;
    QTest::newRow("value with colons") << lines({"Caption:Time: 12:00"}) << "Time: 12:00"
                                       << "hint" << ports;
    QTest::newRow("collection block passed over") << lines({"Panels:TCollection", "Title:a", "Caption:no", "Title:b",
                                                            "Hint:no", "Title:c", "Width:80", "Hint:applied"})
                                                  << "caption"
                                                  << "applied" << ports;
    QTest::newRow("short list block leaves the list")
        << lines({"Hint:h", "Items:TStrings", "#0:a", "#1:b"}) << "caption"
        << "h" << ports;
    QTest::newRow("whole list block replaces it")
        << lines({"Items:TStrings", "#0:a", "#1:b:c", "#x", "Caption:after"}) << "after"
        << "hint" << lines({"a", "b:c", "x"});
}

void TestLocalisation::propertyLinesAreApplied() {
    QFETCH(QStringList, lines);
    TestEnvironment env;
    TestForm form(QStringLiteral("form1"));
    TLanguage language(&form);
    QString error;
    QVERIFY2(language.ApplyProperties(form.button, lines, &error), qPrintable(error));
    QTEST(form.button->m_caption, "caption");
    QTEST(form.button->m_hint, "hint");
    QTEST(form.button->Items()->strings(), "items");
    QCOMPARE(form.button->objectName(), QStringLiteral("button1"));
}

void TestLocalisation::storedRowsTranslateTheForm() {
    TestEnvironment env;
    // A quote in the form's name reaches the database as a value, never as statement text.
    const QString formName = QStringLiteral("form'1");
    {
        TestForm probe(formName);
        TLanguage make(&probe);
    }
    addComponentRow(formName, QStringLiteral("BUTTON1"), 2052, QStringLiteral("Caption:Öffnen\r\nHint:x\r\n"));
    addComponentRow(formName, QStringLiteral("inner"), 2052, QStringLiteral("Caption:nested"));
    addComponentRow(formName, formName, 2052, QStringLiteral("Caption:Fenster"));
    addComponentRow(formName, QStringLiteral("absent"), 2052, QStringLiteral("Caption:none"));
    addComponentRow(formName, QStringLiteral("button1"), 1033, QStringLiteral("Caption:other language"));
    addComponentRow(QStringLiteral("other"), QStringLiteral("button1"), 2052, QStringLiteral("Caption:other form"));
    addDialogRow(formName, 2052, QStringLiteral("first\r\nrow"));
    addDialogRow(formName, 2052, QStringLiteral("zero\r\none\r\n\r\nthree"));
    addDialogRow(formName, 1033, QStringLiteral("english"));

    TestForm form(formName);
    TLanguage language(&form);
    language.setLanguageID(2052);
    QString error;
    QVERIFY2(language.Translate(&error), qPrintable(error));
    QCOMPARE(form.button->m_caption, QStringLiteral("Öffnen"));
    QCOMPARE(form.button->m_hint, QStringLiteral("x"));
    QCOMPARE(form.inner->m_caption, QStringLiteral("nested"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Fenster"));
    QCOMPARE(language.Variable()->strings(),
             (QStringList{QStringLiteral("zero"), QStringLiteral("one"), QString(), QStringLiteral("three")}));
    QCOMPARE(language.GetMessage(3), QStringLiteral("three"));
    QCOMPARE(language.GetMessage(4), QString());
}

void TestLocalisation::collectedTextsRoundTrip() {
    TestEnvironment env;
    MessageCapture capture;
    TestForm form(QStringLiteral("form1"));
    TLanguage language(&form);
    language.setLanguageID(7);
    QString error;
    QVERIFY2(language.CollectTexts(&error), qPrintable(error));
    QVERIFY(capture.messages().isEmpty());

    const QMap<QString, QString> rows = storedRows(QStringLiteral("form1"));
    QCOMPARE(rows.keys(),
             (QStringList{QString(), QStringLiteral("button1"), QStringLiteral("form1"), QStringLiteral("inner")}));
    const QString pad(10, QLatin1Char(' '));
    QCOMPARE(rows.value(QStringLiteral("button1")),
             QStringLiteral("Name:button1\r\nCaption:caption\r\nHint:hint\r\nPanels:TCollection\r\n"
                            "Title:item0\r\nWidth:80\r\nTitle:item1\r\nWidth:80\r\nTitle:item2\r\nWidth:80\r\n"
                            "Items:TStrings\r\n") +
                 pad + QStringLiteral("0:com1\r\n") + pad + QStringLiteral("1:com2\r\n") + pad +
                 QStringLiteral("2:com3\r\n"));
    // The form's own row: its object properties without their blocks.
    QCOMPARE(rows.value(QStringLiteral("form1")),
             QStringLiteral("Name:form1\r\nCaption:Form\r\nPanels:TCollection\r\n"));
    // The language component itself, made at run time without a name.
    QCOMPARE(rows.value(QString()), QStringLiteral("Name:\r\nAppVersion:TFileVersion\r\nVariable:TStrings\r\n"));

    // Texts changed since, then translated back from what was collected: the list keeps its own items.
    form.button->m_caption = QStringLiteral("changed");
    form.button->Items()->setStrings({QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")});
    form.setWindowTitle(QStringLiteral("changed"));
    QVERIFY(language.Translate(&error));
    QCOMPARE(form.button->m_caption, QStringLiteral("caption"));
    QCOMPARE(form.button->Items()->strings(),
             (QStringList{QStringLiteral("com1"), QStringLiteral("com2"), QStringLiteral("com3")}));
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
}

void TestLocalisation::rebuildIsAskedFirst_data() {
    QTest::addColumn<platform::MessageAnswer>("answer");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Cancel keeps the stored rows") << platform::MessageAnswer::Cancel << "stored";
    QTest::newRow("OK rebuilds them") << platform::MessageAnswer::Ok << "caption";
}

void TestLocalisation::rebuildIsAskedFirst() {
    QFETCH(platform::MessageAnswer, answer);
    TestEnvironment env;
    TestForm form(QStringLiteral("form1"));
    TLanguage language(&form);
    addComponentRow(QStringLiteral("form1"), QStringLiteral("button1"), 0, QStringLiteral("Caption:stored\r\n"));
    MessageCapture capture(answer);
    QVERIFY(language.CollectTexts());
    const auto messages = capture.messages();
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.first().text, QStringLiteral("Language exist,rebuild?"));
    QCOMPARE(messages.first().caption, QStringLiteral("Info"));
    QCOMPARE(messages.first().icon, platform::MessageIcon::Stop);
    QCOMPARE(messages.first().buttons, platform::MessageButtons::OkCancel);
    const QMap<QString, QString> rows = storedRows(QStringLiteral("form1"));
    QFETCH(QString, caption);
    QVERIFY2(
        rows.value(QStringLiteral("button1")).contains(QStringLiteral("Caption:") + caption + QStringLiteral("\r\n")),
        qPrintable(rows.value(QStringLiteral("button1"))));
    QCOMPARE(rows.size(), answer == platform::MessageAnswer::Ok ? 4 : 1);
}

void TestLocalisation::versionInformation_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("translation");
    QTest::addColumn<QString>("product");
    QTest::newRow("the server") << morvane::test::binDir() + QStringLiteral("/morvane") << "080403A8"
                                << "Tavrel Morvane Server";
    QTest::newRow("a program without it") << QCoreApplication::applicationFilePath() << ""
                                          << "";
    QTest::newRow("not a program") << TLanguage::databasePath() << ""
                                   << "";
    QTest::newRow("no file") << "/nonexistent/morvane"
                             << ""
                             << "";
}

void TestLocalisation::versionInformation() {
    QFETCH(QString, path);
    const localisation::TFileVersion version(path);
    QTEST(version.GetTranslation(), "translation");
    QTEST(version.GetValue(QStringLiteral("ProductName")), "product");
    QCOMPARE(version.hasVersionInfo(), localisation::TFileVersion::versionInfoSize(path) > 0);
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The running test program has no version information: its rows are keyed with an empty product.
    if (!localisation::TFileVersion().GetValue(QStringLiteral("ProductName")).isEmpty())
        qFatal("the test program carries version information");
    TestLocalisation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_localisation.moc"

void TestLocalisation::consoleLabels_data() {
    QTest::addColumn<bool>("loggedOn");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QByteArray>("answer"); // the result's labels, or the error's message
    QTest::newRow("chinese") << true << QByteArray(R"({"language":2052})")
                             << QByteArray(R"({"doors":"门禁","open":"开门: 现在"})");
    QTest::newRow("english, by position") << true << QByteArray("[1033]") << QByteArray(R"({"doors":"Doors"})");
    QTest::newRow("a language without rows") << true << QByteArray(R"({"language":1041})") << QByteArray("{}");
    QTest::newRow("no language") << true << QByteArray("{}") << QByteArray("ConsoleLabels needs");
    QTest::newRow("before the log-on") << false << QByteArray(R"({"language":2052})") << QByteArray("Log on first");
}

// The console's labels come from the language database: its own form's rows of the language asked for,
// the Caption of each, bounded; nothing for one who has not logged on.
void TestLocalisation::consoleLabels() {
    QFETCH(bool, loggedOn);
    QFETCH(QByteArray, params);
    QFETCH(QByteArray, answer);
    TestEnvironment env;
    {
        TestForm probe(QStringLiteral("console"));
        TLanguage make(&probe); // makes the database and its tables
    }
    addComponentRow(QStringLiteral("console"), QStringLiteral("doors"), 2052, QStringLiteral("Hint:x\r\nCaption:门禁"));
    addComponentRow(QStringLiteral("console"), QStringLiteral("open"), 2052, QStringLiteral("Caption:开门: 现在"));
    addComponentRow(QStringLiteral("console"), QStringLiteral("none"), 2052, QStringLiteral("Hint:no caption"));
    addComponentRow(QStringLiteral("console"), QStringLiteral("doors"), 1033, QStringLiteral("Caption:Doors"));
    addComponentRow(QStringLiteral("frm_server_main"), QStringLiteral("lock"), 2052, QStringLiteral("Caption:窗口"));
    exec(QStringLiteral("insert into Component_Table (AppName, FormName, ComponentName, LanguageID, "
                        "ComponentProperty) values ('Another program', 'console', 'lock', 2052, 'Caption:x')"),
         {});
    morvane::platform::rpc::ServerSession session(
        [](const QString&) -> morvane::platform::DispatchPtr { return nullptr; },
        std::make_unique<morvane::localisation::LabelGuard>(TLanguage::databasePath(), QString(),
                                                            std::make_unique<LogOnGuard>(loggedOn)));
    const QJsonObject reply =
        QJsonDocument::fromJson(
            session.handle(R"({"jsonrpc":"2.0","id":1,"method":"ConsoleLabels","params":)" + params + "}"))
            .object();
    if (reply.contains(QStringLiteral("result"))) {
        const QJsonObject labels =
            reply.value(QStringLiteral("result")).toObject().value(QStringLiteral("labels")).toObject();
        QCOMPARE(QJsonDocument(labels).toJson(QJsonDocument::Compact), answer);
    } else {
        const QString message =
            reply.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
        QVERIFY2(message.startsWith(QString::fromUtf8(answer)), qPrintable(message));
    }
    // Over-long texts are cut, and no more labels come than the bound.
    exec(QStringLiteral("insert into Component_Table (AppName, FormName, ComponentName, LanguageID, "
                        "ComponentProperty) values ('', 'console', 'long', 7, ?)"),
         QVariantList{QVariant(QStringLiteral("Caption:") + QString(2000, QLatin1Char('x')))});
    exec(QStringLiteral("with recursive n(i) as (select 0 union all select i + 1 from n where i < ?) insert into "
                        "Component_Table (AppName, FormName, ComponentName, LanguageID, ComponentProperty) "
                        "select '', 'console', 'k' || i, 7, 'Caption:y' from n"),
         QVariantList{QVariant(morvane::localisation::kMaxLabels + 5)});
    QString why;
    const QJsonObject many = morvane::localisation::readConsoleLabels(TLanguage::databasePath(), QString(), 7, &why);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(many.size(), morvane::localisation::kMaxLabels);
    QCOMPARE(many.value(QStringLiteral("long")).toString().size(), morvane::localisation::kMaxText);
}
