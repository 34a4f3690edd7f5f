#include <QTest>
class tst_startup : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_startup)
#include "tst_startup.moc"
