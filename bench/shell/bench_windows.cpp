// Figures of the windows and their language component: the main window's creation (FormCreate and its
// translation) with 2,000 Component_Table rows for the window, the translation alone, and CollectTexts
// of the main window into an empty table and over stored rows.
#include "Language.h"
#include "main.h"
#include "TestSupport.h"
#include "unt_public.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace morvane;

namespace {

constexpr int kRows = 2000;

// kRows rows for the main window, each naming one of its components with a caption and a hint.
void storeRows() {
    {
        QWidget maker;
        localisation::TLanguage make(&maker);
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
        db.setDatabaseName(localisation::TLanguage::databasePath());
        if (!db.open())
            std::exit(1);
        const QStringList names = {QStringLiteral("Panel1"),     QStringLiteral("StatusBar1"),
                                   QStringLiteral("MainMenu1"),  QStringLiteral("File1"),
                                   QStringLiteral("atn_close"),  QStringLiteral("atn_option"),
                                   QStringLiteral("atn_shoefrm")};
        db.transaction();
        QSqlQuery query(db);
        query.prepare(QStringLiteral("insert into Component_Table (AppName, FormName, ComponentName, LanguageID, "
                                     "ComponentClass, ComponentProperty) values ('', 'frm_server_main', ?, 2052, "
                                     "'T', ?)"));
        for (int i = 0; i < kRows; ++i) {
            query.addBindValue(names.at(i % names.size()));
            query.addBindValue(QStringLiteral("Name:x\r\nCaption:文本 %1\r\nHint:提示 %1\r\n").arg(i));
            if (!query.exec()) {
                std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
                std::exit(1);
            }
        }
        db.commit();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
}

double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

void print(const char* name, const QList<double>& ms, const char* limit) {
    std::printf("%-58s median %7.1f ms  max %7.1f ms  (%lld runs; %s)\n", name, median(ms),
                *std::max_element(ms.begin(), ms.end()), qlonglong(ms.size()), limit);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    test::TestEnvironment env;
    env.writeSystemInfo("[Device]\r\nport=0\r\n[System]\r\nLanguageID=2052\r\n[DataBase]\r\nConnectMode=0\r\n");
    readSystemInfo(systemInfoPath(), SystemInfo);
    storeRows();
    test::MessageCapture answerOk(platform::MessageAnswer::Ok);

    QList<double> create;
    QList<double> translate;
    QList<double> collectEmpty;
    QList<double> collectOver;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        Tfrm_server_main window;
        create.append(clock.nsecsElapsed() / 1e6);
        if (window.findChild<QWidget*>(QStringLiteral("Panel1"))->property("Caption").toString() !=
            QStringLiteral("文本 1995")) {
            std::fprintf(stderr, "the window was not translated\n");
            return 1;
        }
        clock.restart();
        window.Language()->Translate();
        translate.append(clock.nsecsElapsed() / 1e6);

        // Into an empty table (another language), then over the rows just written.
        window.Language()->setLanguageID(9000 + run);
        QString error;
        clock.restart();
        const bool first = window.Language()->CollectTexts(&error);
        collectEmpty.append(clock.nsecsElapsed() / 1e6);
        clock.restart();
        const bool again = window.Language()->CollectTexts(&error);
        collectOver.append(clock.nsecsElapsed() / 1e6);
        if (!first || !again) {
            std::fprintf(stderr, "CollectTexts: %s\n", qPrintable(error));
            return 1;
        }
    }
    print("main window creation, 2000 Component_Table rows", create, "FormCreate limit 100 ms");
    print("  of it the translation (Translate) alone", translate, "part of the above");
    print("CollectTexts of the main window, empty table", collectEmpty, "limit 200 ms");
    print("CollectTexts of the main window, over stored rows", collectOver, "limit 200 ms");
    return 0;
}
