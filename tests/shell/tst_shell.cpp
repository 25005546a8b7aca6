#include <QTest>
class TestShell : public QObject { Q_OBJECT };
QTEST_MAIN(TestShell)
#include "tst_shell.moc"
