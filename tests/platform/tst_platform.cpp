#include <QTest>
class TestPlatform : public QObject { Q_OBJECT };
QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
