// The simulator program: start-up lines, control port, malformed requests and commands, SIGTERM.
#include "ControllerProtocol.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

using namespace morvane;

namespace {

const QString kLockMac = QStringLiteral("00-AA-00-00-00-01");
const QString kSwitchMac = QStringLiteral("00-AA-00-00-00-02");

} // namespace

class TestCtrlsim : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TestEnvironment> m_env;
    QProcess m_process;
    QByteArray m_output;
    QString m_ip;
    quint16 m_controlPort = 0;
    QTcpSocket m_control;

    bool waitForOutput(const QByteArray& text, int ms = 5000) {
        QElapsedTimer clock;
        clock.start();
        while (!m_output.contains(text) && clock.elapsed() < ms) {
            m_process.waitForReadyRead(50);
            m_output += m_process.readAllStandardOutput();
        }
        return m_output.contains(text);
    }

    QJsonObject control(const QByteArray& line) {
        m_control.write(line + '\n');
        m_control.flush();
        QElapsedTimer clock;
        clock.start();
        while (!m_control.canReadLine() && clock.elapsed() < 3000)
            m_control.waitForReadyRead(50);
        return QJsonDocument::fromJson(m_control.readLine()).object();
    }

    QJsonObject control(const QJsonObject& message) {
        return control(QJsonDocument(message).toJson(QJsonDocument::Compact));
    }

    // One datagram to the lock and the reply, if any, within 300 ms.
    std::optional<QByteArray> exchange(const QByteArray& frame) {
        QUdpSocket socket;
        socket.bind(QHostAddress::LocalHost, 0);
        socket.writeDatagram(frame, QHostAddress(m_ip), 2008);
        if (!socket.waitForReadyRead(300))
            return std::nullopt;
        return socket.receiveDatagram().data();
    }

private slots:
    void initTestCase() {
        m_env = std::make_unique<test::TestEnvironment>();
        auto* random = QRandomGenerator::global();
        m_ip = QStringLiteral("127.%1.%2.%3")
                   .arg(random->bounded(100, 250))
                   .arg(random->bounded(1, 250))
                   .arg(random->bounded(2, 250));
        const QJsonObject config{
            {QStringLiteral("controllers"),
             QJsonArray{QJsonObject{{QStringLiteral("mac"), kLockMac},
                                    {QStringLiteral("ip"), m_ip},
                                    {QStringLiteral("cards"), QJsonArray{1001, 1002}},
                                    {QStringLiteral("records"), QJsonArray{QStringLiteral("0A01020304")}}},
                        QJsonObject{{QStringLiteral("mac"), kSwitchMac},
                                    {QStringLiteral("kind"), QStringLiteral("switch")},
                                    {QStringLiteral("link"), m_env->path(QStringLiteral("ttyS0"))}}}}};
        m_env->writeFile(QStringLiteral("ctrlsim.json"), QJsonDocument(config).toJson());
        m_process.setProgram(test::binDir() + QStringLiteral("/ctrlsim"));
        m_process.setArguments({m_env->path(QStringLiteral("ctrlsim.json"))});
        m_process.start();
        QVERIFY(m_process.waitForStarted());
        QVERIFY2(waitForOutput("ctrlsim: ready\n"), m_output.constData());
        const auto match =
            QRegularExpression(QStringLiteral("control port (\\d+)")).match(QString::fromLocal8Bit(m_output));
        QVERIFY(match.hasMatch());
        m_controlPort = static_cast<quint16>(match.captured(1).toUInt());
        QVERIFY(m_output.contains(QStringLiteral("lock %1 at %2:2008").arg(kLockMac, m_ip).toLocal8Bit()));
        QVERIFY(m_output.contains(QStringLiteral("switch %1 on /dev/pts/").arg(kSwitchMac).toLocal8Bit()));
        m_control.connectToHost(QHostAddress::LocalHost, m_controlPort);
        QVERIFY(m_control.waitForConnected(3000));
    }

    void cleanupTestCase() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    void controlCommandsAnswerErrors_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ok");
        QTest::newRow("not JSON") << QByteArrayLiteral("{{{") << false;
        QTest::newRow("a JSON array") << QByteArrayLiteral("[1,2]") << false;
        QTest::newRow("no cmd") << QByteArrayLiteral("{\"mac\":\"00-AA-00-00-00-01\"}") << false;
        QTest::newRow("unknown cmd") << QByteArrayLiteral("{\"cmd\":\"fly\",\"mac\":\"00-AA-00-00-00-01\"}") << false;
        QTest::newRow("unknown controller")
            << QByteArrayLiteral("{\"cmd\":\"silent\",\"mac\":\"00-AA-00-00-00-09\"}") << false;
        QTest::newRow("script of an unknown method")
            << QByteArrayLiteral("{\"cmd\":\"script\",\"mac\":\"00-AA-00-00-00-01\",\"method\":\"Fly\"}") << false;
        QTest::newRow("script output beyond the arguments")
            << QByteArrayLiteral("{\"cmd\":\"script\",\"mac\":\"00-AA-00-00-00-01\",\"method\":\"ComifRmtOpenDoor\","
                                 "\"outputs\":{\"1\":5}}")
            << false;
        QTest::newRow("records that are not texts")
            << QByteArrayLiteral("{\"cmd\":\"realtime\",\"mac\":\"00-AA-00-00-00-01\",\"records\":[1]}") << false;
        QTest::newRow("switch statuses that are not numbers")
            << QByteArrayLiteral("{\"cmd\":\"switch\",\"mac\":\"00-AA-00-00-00-02\",\"statuses\":[\"x\"]}") << false;
        QTest::newRow("list") << QByteArrayLiteral("{\"cmd\":\"list\"}") << true;
        QTest::newRow("state") << QByteArrayLiteral("{\"cmd\":\"state\",\"mac\":\"00aa00000001\"}") << true;
    }

    void controlCommandsAnswerErrors() {
        QFETCH(QByteArray, line);
        QFETCH(bool, ok);
        const QJsonObject reply = control(line);
        QCOMPARE(reply.value(QStringLiteral("ok")).toBool(), ok);
        if (!ok)
            QVERIFY(!reply.value(QStringLiteral("error")).toString().isEmpty());
        QCOMPARE(m_process.state(), QProcess::Running);
    }

    void configuredStateIsThere() {
        const QJsonObject state =
            control(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("state")}, {QStringLiteral("mac"), kLockMac}});
        QCOMPARE(state.value(QStringLiteral("cards")).toArray().size(), 2);
        QCOMPARE(state.value(QStringLiteral("records")).toArray(), QJsonArray{QStringLiteral("0A01020304")});
    }

    void malformedRequestsAreSurvived() {
        // Garbage and frames without ids get no answer.
        QVERIFY(!exchange(QByteArrayLiteral("\x00\x01garbage")));
        QVERIFY(!exchange(QByteArrayLiteral("{\"k\":\"KV1\"}")));
        QVERIFY(!exchange(QByteArray(9000, 'x')));
        // A frame that names its ids but is wrong is told so, with those ids.
        auto reply =
            exchange(QByteArrayLiteral("{\"k\":\"KV1\",\"t\":\"req\",\"s\":5,\"q\":6,\"mac\":\"00-AA-00-00-00-01\"}"));
        QVERIFY(reply);
        auto decoded = ctrlproto::decodeReply(*reply);
        QVERIFY(decoded);
        QCOMPARE(decoded->sequence, 6u);
        QVERIFY(!decoded->error.isEmpty());
        // The wrong number of arguments, a request for another MAC: error frames.
        ctrlproto::Request request;
        request.session = 9;
        request.sequence = 1;
        request.mac = kLockMac;
        request.method = QStringLiteral("ComifRmtOpenDoor");
        reply = exchange(ctrlproto::encodeRequest(request));
        QVERIFY(reply && !ctrlproto::decodeReply(*reply)->error.isEmpty());
        request.sequence = 2;
        request.args = {ctrlproto::Variant(1)};
        request.mac = QStringLiteral("00-AA-00-00-00-77");
        reply = exchange(ctrlproto::encodeRequest(request));
        QVERIFY(reply && !ctrlproto::decodeReply(*reply)->error.isEmpty());
        // A good request is still answered, and logged with its arguments.
        control(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("clearlog")}});
        request.sequence = 3;
        request.mac = kLockMac;
        reply = exchange(ctrlproto::encodeRequest(request));
        QVERIFY(reply);
        decoded = ctrlproto::decodeReply(*reply);
        QVERIFY(decoded && decoded->error.isEmpty());
        QCOMPARE(decoded->status, 0);
        QCOMPARE(decoded->mac, kLockMac);
        // A resent request is answered again but carried out once.
        QVERIFY(exchange(ctrlproto::encodeRequest(request)));
        const QJsonArray log =
            control(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("log")}}).value(QStringLiteral("log")).toArray();
        QCOMPARE(log.size(), 1);
        QCOMPARE(log.first().toObject().value(QStringLiteral("args")).toArray(), QJsonArray{1});
        QVERIFY(waitForOutput(QStringLiteral("%1 ComifRmtOpenDoor(1) -> 0").arg(kLockMac).toLocal8Bit()));
    }

    void switchAnswersOnItsTerminal() {
        const QString link = m_env->path(QStringLiteral("ttyS0"));
        QVERIFY(QFileInfo(link).isSymLink());
        const int fd = ::open(link.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios settings{};
        ::tcgetattr(fd, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(fd, TCSANOW, &settings);
        ctrlproto::Request request;
        request.session = 3;
        request.sequence = 77;
        request.mac = kSwitchMac;
        request.method = QStringLiteral("TestControl");
        QByteArray frame = "noise\n" + ctrlproto::encodeRequest(request) + '\n';
        QCOMPARE(::write(fd, frame.constData(), static_cast<size_t>(frame.size())), static_cast<ssize_t>(frame.size()));
        QByteArray received;
        QElapsedTimer clock;
        clock.start();
        while (!received.contains('\n') && clock.elapsed() < 2000) {
            char chunk[512];
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got > 0)
                received.append(chunk, static_cast<int>(got));
            else
                QTest::qWait(10);
        }
        ::close(fd);
        const auto reply = ctrlproto::decodeReply(received.left(received.indexOf('\n')));
        QVERIFY2(reply, received.constData());
        QCOMPARE(reply->sequence, 77u);
        QCOMPARE(reply->status, 0);

        // Taking one controller's log leaves the other's entries (the lock's, from the case before).
        const auto logOf = [this](const QString& mac, bool clear) {
            return control(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("log")},
                                       {QStringLiteral("mac"), mac},
                                       {QStringLiteral("clear"), clear}})
                .value(QStringLiteral("log"))
                .toArray();
        };
        const int lockEntries = logOf(kLockMac, false).size();
        QVERIFY(lockEntries > 0);
        QCOMPARE(logOf(kSwitchMac, true).size(), 1);
        QCOMPARE(logOf(kSwitchMac, false).size(), 0);
        QCOMPARE(logOf(kLockMac, false).size(), lockEntries);
    }

    void stopsCleanlyOnSigterm() {
        const QString link = m_env->path(QStringLiteral("ttyS0"));
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        QVERIFY(m_process.waitForFinished(3000));
        QCOMPARE(m_process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_process.exitCode(), 0);
        m_output += m_process.readAllStandardOutput();
        QVERIFY(m_output.endsWith("ctrlsim: stopped\n"));
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void badConfigurations_data() {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("message");
        QTest::newRow("not JSON") << QByteArrayLiteral("{") << QStringLiteral("not a JSON object");
        QTest::newRow("no controllers") << QByteArrayLiteral("{}") << QStringLiteral("no \"controllers\"");
        QTest::newRow("bad MAC") << QByteArrayLiteral("{\"controllers\":[{\"mac\":\"x\"}]}")
                                 << QStringLiteral("valid \"mac\"");
        QTest::newRow("not loopback") << QByteArrayLiteral(
                                             "{\"controllers\":[{\"mac\":\"00-00-00-00-00-01\",\"ip\":\"10.0.0.1\"}]}")
                                      << QStringLiteral("loopback");
        QTest::newRow("bad kind") << QByteArrayLiteral(
                                         "{\"controllers\":[{\"mac\":\"00-00-00-00-00-01\",\"kind\":\"door\"}]}")
                                  << QStringLiteral("kind");
        QTest::newRow("a board without a serial number")
            << QByteArrayLiteral("{\"controllers\":[{\"mac\":\"00-00-00-00-00-01\",\"kind\":\"uhppote\","
                                 "\"ip\":\"127.0.0.1\",\"port\":0}]}")
            << QStringLiteral("\"serial\"");
        QTest::newRow("a board with five doors")
            << QByteArrayLiteral("{\"controllers\":[{\"mac\":\"00-00-00-00-00-01\",\"kind\":\"uhppote\","
                                 "\"serial\":7,\"doors\":5,\"port\":0}]}")
            << QStringLiteral("1..4 doors");
        QTest::newRow("twice") << QByteArrayLiteral("{\"controllers\":[{\"mac\":\"00-00-00-00-00-01\",\"port\":0},"
                                                    "{\"mac\":\"00:00:00:00:00:01\",\"port\":0}]}")
                               << QStringLiteral("twice");
    }

    void badConfigurations() {
        QFETCH(QByteArray, config);
        QFETCH(QString, message);
        m_env->writeFile(QStringLiteral("bad.json"), config);
        const auto result =
            test::runProgram(test::binDir() + QStringLiteral("/ctrlsim"), {m_env->path(QStringLiteral("bad.json"))},
                             m_env->processEnvironment(), 5000);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(QString::fromLocal8Bit(result.standardError).contains(message), result.standardError.constData());
    }
};

QTEST_GUILESS_MAIN(TestCtrlsim)
#include "tst_ctrlsim.moc"
