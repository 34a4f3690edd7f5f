#include <QTest>
class tst_configfile : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_configfile)
#include "tst_configfile.moc"
