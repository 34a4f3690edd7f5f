#include "process/cashprocessmanager.h"
#include "processutil.h"
#include "testutil.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// The manager's own work: starting with the settings of the moment, its signals, and the end that
// kills the child without a word. How a start that fails is reported, the end-to-end tests show.
class tst_CashProcessManager : public QObject
{
    Q_OBJECT

private slots:
    void childLifetime();
};

void tst_CashProcessManager::childLifetime()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QScopedPointer<CashProcessManager> manager(new CashProcessManager);
    QStringList events;
    connect(manager.data(), &CashProcessManager::error, this,
        [&](QProcess::ProcessError error) { events << QStringLiteral("error %1").arg(error); });
    connect(manager.data(), &CashProcessManager::finished, this,
        [&](int code, QProcess::ExitStatus status) {
            events << (status == QProcess::NormalExit ? QStringLiteral("exit %1").arg(code)
                                                      : QStringLiteral("crash"));
        });
    connect(manager.data(), &CashProcessManager::started, this,
        [&]() { events << QStringLiteral("started"); });

    // cashsim records each start, then idles until it is killed or its time limit.
    const QString record = dir.filePath(QStringLiteral("record.txt"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("scenario.txt")), "record " + record.toUtf8()));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("second")));
    manager->setExecutablePath(QStringLiteral(CASHSIM_PATH));
    manager->setWorkingDirectory(dir.path());
    manager->setArguments({ QStringLiteral("--scenario"),
        dir.filePath(QStringLiteral("scenario.txt")), QStringLiteral("--cash-port"),
        QStringLiteral("0"), QStringLiteral("--time-limit"), QStringLiteral("60") });
    manager->start();
    QVERIFY(manager->waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readCashRuns(record).size(), 1, 30000);

    // New settings apply to the next start; the manager's signals tell of the crash.
    manager->setWorkingDirectory(dir.filePath(QStringLiteral("second")));
    QVERIFY(killProcess(readCashRuns(record).at(0).pid));
    QTRY_COMPARE_WITH_TIMEOUT(events,
        QStringList({ "started", QStringLiteral("error %1").arg(QProcess::Crashed), "crash" }),
        30000);
    QCOMPARE(manager->errorName(), QStringLiteral("Crashed"));

    manager->start();
    QVERIFY(manager->waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readCashRuns(record).size(), 2, 30000);
    const QList<CashRun> runs = readCashRuns(record);
    QCOMPARE(runs.at(0).cwd, dir.path());
    QCOMPARE(runs.at(1).cwd, dir.filePath(QStringLiteral("second")));

    // The manager's end kills and reaps the child, and no signal reaches us on the way.
    manager.reset();
    QVERIFY(!processRunning(runs.at(1).pid));
    QCOMPARE(events.size(), 4);
}

QTEST_GUILESS_MAIN(tst_CashProcessManager)
#include "tst_cashprocessmanager.moc"
