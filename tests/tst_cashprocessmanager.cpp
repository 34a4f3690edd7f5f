#include "process/cashprocessmanager.h"
#include "processutil.h"
#include "testutil.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class tst_CashProcessManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void failedStart_data();
    void failedStart();
    void oneChildAtATime();

private:
    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<CashProcessManager> manager;
    QStringList events; // the manager's signals
};

void tst_CashProcessManager::init()
{
    qRegisterMetaType<QProcess::ProcessError>();
    qRegisterMetaType<QProcess::ExitStatus>();
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    events.clear();
    manager.reset(new CashProcessManager);
    connect(manager.data(), &CashProcessManager::error, this,
        [this](QProcess::ProcessError error) { events << QStringLiteral("error %1").arg(error); });
    connect(manager.data(), &CashProcessManager::finished, this,
        [this](int code, QProcess::ExitStatus status) {
            events << (status == QProcess::NormalExit ? QStringLiteral("exit %1").arg(code)
                                                      : QStringLiteral("crash"));
        });
    connect(manager.data(), &CashProcessManager::started, this,
        [this]() { events << QStringLiteral("started"); });
}

void tst_CashProcessManager::failedStart_data()
{
    QTest::addColumn<QString>("program"); // {dir}: the temporary directory
    QTest::addColumn<QString>("workingDirectory"); // relative to the temporary directory

    QTest::newRow("missing program") << QStringLiteral("{dir}/vorcam") << QString();
    QTest::newRow("a directory") << QStringLiteral("{dir}") << QString();
    QTest::newRow("missing working directory") << QStringLiteral(CASHSIM_PATH) << "gone";
    QTest::newRow("empty program") << QString() << QString();
}

void tst_CashProcessManager::failedStart()
{
    QFETCH(QString, program);
    QFETCH(QString, workingDirectory);
    manager->setExecutablePath(program.replace(QLatin1String("{dir}"), dir->path()));
    manager->setWorkingDirectory(dir->filePath(workingDirectory));
    manager->start();
    QVERIFY(!manager->waitForStarted(30000));
    // The outcome is known by the time the wait returns.
    QCOMPARE(events, QStringList(QStringLiteral("error %1").arg(QProcess::FailedToStart)));
    QCOMPARE(manager->errorName(), QStringLiteral("FailedToStart"));
}

void tst_CashProcessManager::oneChildAtATime()
{
    // cashsim records each start, then idles until it is killed or its time limit.
    const QString record = dir->filePath(QStringLiteral("record.txt"));
    QVERIFY(writeFile(dir->filePath(QStringLiteral("scenario.txt")), "record " + record.toUtf8()));
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("second")));
    manager->setExecutablePath(QStringLiteral(CASHSIM_PATH));
    manager->setWorkingDirectory(dir->path());
    manager->setArguments({ QStringLiteral("--scenario"),
        dir->filePath(QStringLiteral("scenario.txt")), QStringLiteral("--cash-port"),
        QStringLiteral("0"), QStringLiteral("--time-limit"), QStringLiteral("60") });
    manager->start();
    QVERIFY(manager->waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readCashRuns(record).size(), 1, 30000);

    // Neither a second start nor new settings touch the running child.
    manager->setWorkingDirectory(dir->filePath(QStringLiteral("second")));
    manager->start();
    QVERIFY(manager->waitForStarted(1000));
    QCOMPARE(events, QStringList(QStringLiteral("started")));

    QVERIFY(killProcess(readCashRuns(record).at(0).pid));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 3, 30000); // started, error Crashed, crash
    QCOMPARE(manager->errorName(), QStringLiteral("Crashed"));

    manager->start();
    QVERIFY(manager->waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readCashRuns(record).size(), 2, 30000);
    const QList<CashRun> runs = readCashRuns(record);
    QCOMPARE(runs.at(0).cwd, dir->path());
    QCOMPARE(runs.at(1).cwd, dir->filePath(QStringLiteral("second")));

    // The manager's end kills and reaps the child, and no signal reaches us on the way.
    manager.reset();
    QVERIFY(!processRunning(runs.at(1).pid));
    QCOMPARE(events.size(), 4);
}

QTEST_GUILESS_MAIN(tst_CashProcessManager)
#include "tst_cashprocessmanager.moc"
