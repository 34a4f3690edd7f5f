#include "process/cashprocessmanager.h"
#include "processutil.h"
#include "testutil.h"

#include <QFile>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString cashsim = QStringLiteral(CASHSIM_PATH);

// What cashsim's record step wrote: one block per start.
struct Record
{
    int run = 0;
    qint64 pid = 0;
    QString cwd;
};

QList<Record> readRecords(const QString &path)
{
    QList<Record> records;
    const QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    Record current;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("run ")))
            current = Record { line.mid(4).toInt(), 0, QString() };
        else if (line.startsWith(QLatin1String("pid ")))
            current.pid = line.mid(4).toLongLong();
        else if (line.startsWith(QLatin1String("cwd ")))
            current.cwd = line.mid(4);
        else if (line == QLatin1String("end"))
            records.append(current);
    }
    return records;
}

} // namespace

class tst_CashProcessManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void failedStart_data();
    void failedStart();
    void startWhileRunningAndNextSettings();
    void destroyingManagerKillsChild();

private:
    // Sets up cashsim with a scenario; the child binds no fixed port and gives up by itself.
    void useScenario(const QByteArray &scenario, const QStringList &extra = QStringList());
    QStringList signalLog() const { return events; }

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<CashProcessManager> manager;
    QStringList events;
};

void tst_CashProcessManager::initTestCase()
{
    qRegisterMetaType<QProcess::ProcessError>();
    qRegisterMetaType<QProcess::ExitStatus>();
}

void tst_CashProcessManager::init()
{
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

void tst_CashProcessManager::cleanup()
{
    // Kills and reaps a child still running.
    manager.reset();
}

void tst_CashProcessManager::useScenario(const QByteArray &scenario, const QStringList &extra)
{
    const QString path = dir->filePath(QStringLiteral("scenario.txt"));
    QVERIFY(writeFile(path, scenario));
    manager->setExecutablePath(cashsim);
    manager->setWorkingDirectory(dir->path());
    manager->setArguments(
        QStringList({ QStringLiteral("--scenario"), path, QStringLiteral("--cash-port"),
            QStringLiteral("0"), QStringLiteral("--time-limit"), QStringLiteral("60") })
        + extra);
}

void tst_CashProcessManager::failedStart_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("workingDirectory"); // relative to the temporary directory

    QTest::newRow("missing program") << QStringLiteral("{dir}/vorcam") << QString();
    QTest::newRow("not executable") << QStringLiteral("{dir}/plain.txt") << QString();
    QTest::newRow("a directory") << QStringLiteral("{dir}") << QString();
    QTest::newRow("interpreter missing") << QStringLiteral("{dir}/noint") << QString();
    QTest::newRow("not a program") << QStringLiteral("{dir}/garbage") << QString();
    QTest::newRow("missing working directory") << cashsim << QStringLiteral("gone");
    QTest::newRow("empty program") << QString() << QString();
}

void tst_CashProcessManager::failedStart()
{
    QFETCH(QString, program);
    QFETCH(QString, workingDirectory);
    QVERIFY(writeFile(dir->filePath(QStringLiteral("plain.txt")), "#!/bin/sh\nexit 0\n"));
    QVERIFY(QFile::setPermissions(
        dir->filePath(QStringLiteral("plain.txt")), QFile::ReadOwner | QFile::WriteOwner));
    const QFile::Permissions executable = QFile::ReadOwner | QFile::ExeOwner;
    QVERIFY(writeFile(dir->filePath(QStringLiteral("noint")), "#!/no/such/interpreter\n"));
    QVERIFY(QFile::setPermissions(dir->filePath(QStringLiteral("noint")), executable));
    QVERIFY(writeFile(dir->filePath(QStringLiteral("garbage")),
        "\x7f"
        "ELF garbage"));
    QVERIFY(QFile::setPermissions(dir->filePath(QStringLiteral("garbage")), executable));

    manager->setExecutablePath(program.replace(QLatin1String("{dir}"), dir->path()));
    manager->setWorkingDirectory(dir->filePath(workingDirectory));
    manager->start();
    QVERIFY(!manager->waitForStarted(30000));
    // The outcome is known by the time the wait returns.
    QCOMPARE(signalLog(), QStringList(QStringLiteral("error %1").arg(QProcess::FailedToStart)));
    QCOMPARE(manager->errorName(), QStringLiteral("FailedToStart"));
}

void tst_CashProcessManager::startWhileRunningAndNextSettings()
{
    const QString record = dir->filePath(QStringLiteral("record.txt"));
    useScenario("record " + record.toUtf8() + "\n"); // then idles until killed
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("second")));

    manager->start();
    QVERIFY(manager->waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readRecords(record).size(), 1, 30000);
    const qint64 firstPid = readRecords(record).at(0).pid;

    // Neither a second start nor new settings touch the running child.
    manager->setWorkingDirectory(dir->filePath(QStringLiteral("second")));
    manager->start();
    QVERIFY(manager->waitForStarted(1000));
    QCOMPARE(signalLog(), QStringList(QStringLiteral("started")));

    QVERIFY(killProcess(firstPid));
    QTRY_COMPARE_WITH_TIMEOUT(signalLog().size(), 3, 30000); // started, error Crashed, crash

    manager->start();
    QVERIFY(manager->waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readRecords(record).size(), 2, 30000);
    const QList<Record> records = readRecords(record);
    QCOMPARE(records.at(0).run, 1);
    QCOMPARE(records.at(0).cwd, dir->path());
    QCOMPARE(records.at(1).run, 2); // only two launches in all
    QCOMPARE(records.at(1).cwd, dir->filePath(QStringLiteral("second")));
}

void tst_CashProcessManager::destroyingManagerKillsChild()
{
    const QString record = dir->filePath(QStringLiteral("record.txt"));
    useScenario("record " + record.toUtf8() + "\n");
    manager->start();
    QVERIFY(manager->waitForStarted(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readRecords(record).size(), 1, 30000);
    const qint64 pid = readRecords(record).at(0).pid;

    manager.reset();
    // Killed and reaped, and no signal reached us on the way.
    QVERIFY(!processRunning(pid));
    QCOMPARE(signalLog(), QStringList(QStringLiteral("started")));
}

QTEST_GUILESS_MAIN(tst_CashProcessManager)
#include "tst_cashprocessmanager.moc"
