// The windows as an operator sees them: under a virtual X display (CTest runs this under xvfb-run),
// morvane opens its main window (and, in a second run, its options dialog), and the test takes a
// picture of each from the display. The pictures stay in the build tree (screenshots/).
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>

#include <csignal>

using morvane::test::TestEnvironment;

namespace {

// The top-level X window of the server with that title (Qt's own helper windows carry no class).
WId findWindow(const QString& title) {
    QProcess info;
    info.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-children")});
    if (!info.waitForFinished(5000) || info.exitCode() != 0)
        return 0;
    const QRegularExpression line(QStringLiteral("(0x[0-9a-fA-F]+) \"") + QRegularExpression::escape(title) +
                                  QStringLiteral("\": \\(\"morvane\""));
    const QString out = QString::fromLocal8Bit(info.readAllStandardOutput());
    const QRegularExpressionMatch found = line.match(out);
    return found.hasMatch() ? WId(found.captured(1).toULongLong(nullptr, 16)) : 0;
}

// A picture shows a window when it is not one colour: at least 1% of it differs from its background.
bool showsSomething(const QImage& image) {
    if (image.isNull())
        return false;
    QHash<QRgb, int> counts;
    int most = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            most = std::max(most, ++counts[image.pixel(x, y)]);
    }
    return counts.size() >= 3 && most < image.width() * image.height() * 99 / 100;
}

} // namespace

class TestScreens : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!qEnvironmentVariableIsEmpty("DISPLAY"))
            return;
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            QFAIL("CI must provide Xvfb");
        QSKIP("no X display here");
    }
    void windowPictures_data();
    void windowPictures();
};

void TestScreens::windowPictures_data() {
    QTest::addColumn<QString>("show");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QSize>("least");
    QTest::addColumn<QSize>("most");
    QTest::addColumn<QString>("file");
    QTest::newRow("main window") << "main"
                                 << "Tavrel Morvane Server" << QSize(400, 260) << QSize(640, 480) << "main-window.png";
    QTest::newRow("options dialog") << "option"
                                    << "System option" << QSize(363, 288) << QSize(363, 288) << "options-dialog.png";
}

void TestScreens::windowPictures() {
    QFETCH(QString, show);
    QFETCH(QString, title);
    TestEnvironment env;
    env.writeSystemInfo("[Device]\r\nport=2\r\n[System]\r\nLanguageID=2052\r\n[DataBase]\r\nConnectMode=0\r\n");
    env.holdSocketServer();
    QProcessEnvironment environment = env.processEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("MORVANE_SHOW_WINDOW"), show);
    QProcess server;
    server.setProcessEnvironment(environment);
    server.start(morvane::test::binDir() + QStringLiteral("/morvane"), {});
    QVERIFY(server.waitForStarted());

    QImage picture;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 15000 && server.state() == QProcess::Running) {
        if (const WId window = findWindow(title)) {
            picture = QGuiApplication::primaryScreen()->grabWindow(window).toImage();
            if (showsSomething(picture))
                break;
        }
        QTest::qWait(200);
    }
    ::kill(pid_t(server.processId()), SIGTERM);
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished(5000);
        QFAIL("the server did not end on SIGTERM");
    }
    QVERIFY2(showsSomething(picture), server.readAllStandardError().constData());

    QFETCH(QString, file);
    const QString path = QStringLiteral(MORVANE_SCREENSHOT_DIR "/") + file;
    QVERIFY(QDir().mkpath(QStringLiteral(MORVANE_SCREENSHOT_DIR)));
    QVERIFY(picture.save(path));
    qInfo("%s: %dx%d", qPrintable(path), picture.width(), picture.height());
    QFETCH(QSize, least);
    QFETCH(QSize, most);
    QVERIFY2(picture.width() >= least.width() && picture.height() >= least.height() &&
                 picture.width() <= most.width() && picture.height() <= most.height(),
             qPrintable(QStringLiteral("%1x%2").arg(picture.width()).arg(picture.height())));
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    QApplication app(argc, argv);
    TestScreens test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_screens.moc"
