// The door boards' 64-byte messages against a public peer's byte vectors, and what the decoder
// refuses.
#include "BoardProtocol.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace morvane::boardproto;

namespace {

// A vector's value as the codec writes it: Python's booleans and bare numbers become texts.
QString valueText(const QJsonValue& value) {
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble())
        return QString::number(static_cast<qint64>(value.toDouble()));
    const QString text = value.toString();
    return text == QLatin1String("True")    ? QStringLiteral("true")
           : text == QLatin1String("False") ? QStringLiteral("false")
                                            : text;
}

QByteArray frameWith(uint8_t function, int at, QByteArray bytes) {
    QByteArray frame = reply(function, 405419896);
    frame.replace(at, bytes.size(), bytes);
    return frame;
}

} // namespace

class TestBoardProtocol : public QObject {
    Q_OBJECT

private slots:
    void vectors_data() {
        QTest::addColumn<bool>("response");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QJsonArray>("values");
        QFile file(QStringLiteral(BOARD_VECTORS));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        const QJsonArray tests = QJsonDocument::fromJson(file.readAll())
                                     .object()
                                     .value(QStringLiteral("testdata"))
                                     .toObject()
                                     .value(QStringLiteral("tests"))
                                     .toArray();
        QVERIFY(tests.size() >= 20);
        for (const QJsonValue& test : tests) {
            for (const char* part : {"request", "response"}) {
                const QJsonObject message = test.toObject().value(QLatin1String(part)).toObject();
                if (message.isEmpty())
                    continue;
                QTest::newRow(message.value(QStringLiteral("name")).toString().toUtf8().constData())
                    << (QLatin1String(part) == QLatin1String("response"))
                    << QByteArray::fromBase64(message.value(QStringLiteral("message")).toString().toLatin1())
                    << message.value(QStringLiteral("values")).toArray();
            }
        }
    }

    // Every request encodes from its values to exactly the peer's bytes; every response decodes to the
    // peer's values (and encodes back to the same bytes).
    void vectors() {
        QFETCH(bool, response);
        QFETCH(QByteArray, message);
        QFETCH(QJsonArray, values);
        QCOMPARE(message.size(), kFrameBytes);
        const Layout* layout = layoutFor(static_cast<uint8_t>(message[1]), response);
        QVERIFY(layout);
        Values given;
        for (const QJsonValue& value : values)
            given.insert(fieldKey(value[QStringLiteral("name")].toString()), valueText(value[QStringLiteral("value")]));
        if (!response) {
            QString error;
            const auto encoded = encode(*layout, given, &error);
            QVERIFY2(encoded, qPrintable(error));
            QCOMPARE(encoded->toHex(), message.toHex());
            return;
        }
        QString error;
        const auto decoded = decode(*layout, message, &error);
        QVERIFY2(decoded, qPrintable(error));
        for (auto it = given.constBegin(); it != given.constEnd(); ++it)
            QCOMPARE(decoded->value(it.key(), QStringLiteral("<missing>")), it.value());
        QCOMPARE(encode(*layout, *decoded)->toHex(), message.toHex());
    }

    void refusedFrames_data() {
        QTest::addColumn<int>("function");
        QTest::addColumn<QByteArray>("frame");
        const QByteArray good = reply(fn::OpenDoor, 405419896, {{QStringLiteral("ok"), QStringLiteral("true")}});
        QTest::newRow("63 bytes") << int(fn::OpenDoor) << good.left(63);
        QTest::newRow("65 bytes") << int(fn::OpenDoor) << good + '\0';
        QTest::newRow("empty") << int(fn::OpenDoor) << QByteArray();
        QTest::newRow("start byte 0x18") << int(fn::OpenDoor) << QByteArray(good).replace(0, 1, "\x18");
        QTest::newRow("another function") << int(fn::DeleteCard) << good;
        QTest::newRow("a month 13 in a date")
            << int(fn::GetCard) << frameWith(fn::GetCard, 12, QByteArray::fromHex("20221301"));
        QTest::newRow("a nibble above 9 in a date")
            << int(fn::GetCard) << frameWith(fn::GetCard, 12, QByteArray::fromHex("2022010a"));
        QTest::newRow("hour 24 in a timestamp")
            << int(fn::GetEvent) << frameWith(fn::GetEvent, 20, QByteArray::fromHex("20220101240000"));
        QTest::newRow("a PIN above six digits")
            << int(fn::GetCard) << frameWith(fn::GetCard, 24, QByteArray::fromHex("40420f"));
        QTest::newRow("a version that is no BCD")
            << int(fn::GetController) << frameWith(fn::GetController, 26, QByteArray::fromHex("0f92"));
    }

    void refusedFrames() {
        QFETCH(int, function);
        QFETCH(QByteArray, frame);
        QString error;
        QVERIFY(!decode(*layoutFor(static_cast<uint8_t>(function), true), frame, &error));
        QVERIFY(!error.isEmpty());
    }

    // Events that newer firmware starts with 0x19 are replies like the others; requests never are.
    void eventStartByte() {
        QByteArray frame = reply(fn::GetStatus, 7,
                                 {{QStringLiteral("systemdate"), QStringLiteral("2024-02-29")},
                                  {QStringLiteral("systemtime"), QStringLiteral("23:59:58")},
                                  {QStringLiteral("eventindex"), QStringLiteral("9")}});
        frame[0] = static_cast<char>(kEventStart);
        const auto values = decode(*layoutFor(fn::GetStatus, true), frame);
        QVERIFY(values);
        QCOMPARE(values->value(QStringLiteral("eventindex")), QStringLiteral("9"));
        QCOMPARE(values->value(QStringLiteral("eventtimestamp")), QString()); // all zero: no event time
        QVERIFY(!decode(*layoutFor(fn::GetStatus, false), frame));
    }

    void valuesThatDoNotFit_data() {
        QTest::addColumn<int>("function");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::newRow("a door of 256") << int(fn::OpenDoor) << "door"
                                       << "256";
        QTest::newRow("a negative card") << int(fn::PutCard) << "card"
                                         << "-1";
        QTest::newRow("a card above 32 bits") << int(fn::PutCard) << "card"
                                              << "4294967296";
        QTest::newRow("a seven-digit PIN") << int(fn::PutCard) << "pin"
                                           << "1000000";
        QTest::newRow("the year 10000") << int(fn::PutCard) << "enddate"
                                        << "10000-01-01";
        QTest::newRow("the 30th of February") << int(fn::PutCard) << "startdate"
                                              << "2024-02-30";
        QTest::newRow("a time of 25:00") << int(fn::SetTime) << "datetime"
                                         << "2024-01-01 25:00:00";
        QTest::newRow("an address with five parts") << int(fn::SetAddress) << "address"
                                                    << "10.0.0.1.2";
        QTest::newRow("an address part of 256") << int(fn::SetAddress) << "gateway"
                                                << "10.0.0.256";
    }

    void valuesThatDoNotFit() {
        QFETCH(int, function);
        QFETCH(QString, field);
        QFETCH(QString, value);
        QString error;
        QVERIFY(request(static_cast<uint8_t>(function), 1, {{field, value}}, &error).isEmpty());
        QVERIFY2(error.contains(field), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestBoardProtocol)
#include "tst_boardprotocol.moc"
