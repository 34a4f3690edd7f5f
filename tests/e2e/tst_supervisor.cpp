#include "supervisorfixture.h"
#include "testutil.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUdpSocket>

// The real supervisor with the simulated cash application: every row of what happens when the
// cash application ends, the remote commands, start-up failures and maintenance.
class tst_Supervisor : public QObject
{
    Q_OBJECT

private slots:
    void pendingCommandOnExit_data();
    void pendingCommandOnExit();
    void refusedRebootLeavesSupervisorIdle();
    void crashEndsSupervisor();
    void cashProgramMissing();
    void argumentsReachCashApplication_data();
    void argumentsReachCashApplication();
    void noConfigurationUsesDefaults();
    void maintenanceRequestedByCashApplication_data();
    void maintenanceRequestedByCashApplication();
    void maintenanceStartsAtConfiguredMinute();

private:
    static QStringList supervisorEntries(const SupervisorFixture &f);
};

namespace {
const QString finished = QStringLiteral("LocalCashServer:LocalCashServer::slotProcessFinished");
const QString started = QStringLiteral("DEBG; LocalCashServer:LocalCashServer::slotProcessStarted; "
                                       "Cash application started");
const QString startedOk = QStringLiteral("INFO; LocalCashServer:LocalCashServer::startProcess; "
                                         "Cash process started successfully");
const QString appExit = QStringLiteral("EMRG; %1; APP EXIT").arg(finished);

// Sends one command datagram from an ephemeral port and returns the answer (empty: none in 3 s).
QByteArray command(quint16 port, const QByteArray &datagram)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return QByteArray();
    if (socket.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port) != datagram.size())
        return QByteArray();
    if (!socket.waitForReadyRead(3000))
        return QByteArray();
    QByteArray answer(int(socket.pendingDatagramSize()), Qt::Uninitialized);
    socket.readDatagram(answer.data(), answer.size());
    return answer;
}
} // namespace

// What the supervisor itself reported, without the banner and the settings it read.
QStringList tst_Supervisor::supervisorEntries(const SupervisorFixture &f)
{
    QStringList entries;
    const QStringList all = f.logEntries();
    for (const QString &entry : all) {
        if (!entry.contains(QLatin1String("; INIT:")) && !entry.contains(QLatin1String("; main; ")))
            entries.append(entry);
    }
    return entries;
}

void tst_Supervisor::pendingCommandOnExit_data()
{
    QTest::addColumn<QString>("firstRun"); // scenario of the first start; later starts exit 0
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("systemctl");
    QTest::addColumn<int>("runs");

    const QString restartReceived =
            QStringLiteral("INFO; LocalCashServer:LocalCashServer::restartCmd; RESTART_CMD_RECEIVED");
    const QString restarting =
            QStringLiteral("NOTE; %1; Выполняется перезапуск процесса кассы.").arg(finished);

    QTest::newRow("nothing pending")
            << QStringLiteral("exit 0")
            << QStringList({ started, startedOk, appExit }) << QStringList() << 1;
    QTest::newRow("exit code 1, nothing pending")
            << QStringLiteral("exit 1")
            << QStringList({ started, startedOk, appExit }) << QStringList() << 1;
    QTest::newRow("restart")
            << QStringLiteral("send restart\nexit 0")
            << QStringList({ started, startedOk, restartReceived, restarting, started, appExit })
            << QStringList() << 2;
    QTest::newRow("last of two commands wins")
            << QStringLiteral("send reboot\nsend restart\nexit 0")
            << QStringList({ started, startedOk,
                             QStringLiteral("INFO; LocalCashServer:LocalCashServer::rebootCmd; REBOOT_CMD_RECEIVED"),
                             restartReceived, restarting, started, appExit })
            << QStringList() << 2;
    QTest::newRow("unknown command changes nothing")
            << QStringLiteral("send code 7\nexit 0")
            << QStringList({ started, startedOk, appExit }) << QStringList() << 1;
    QTest::newRow("restart, then crash")
            << QStringLiteral("send restart\ncrash")
            << QStringList({ started, startedOk, restartReceived,
                             QStringLiteral("EMRG; LocalCashServer:LocalCashServer::slotProcessError; "
                                            "Cash app process error: Crashed"),
                             QStringLiteral("EMRG; %1; Crash Exit Cash application").arg(finished) })
            << QStringList() << 1;
}

void tst_Supervisor::pendingCommandOnExit()
{
    QFETCH(QString, firstRun);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, systemctl);
    QFETCH(int, runs);

    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.setScenario(QStringLiteral("[run 1]\nrecord record.txt\n%1\n[run *]\nrecord record.txt\nexit 0\n")
                          .arg(firstRun));
    QVERIFY(f.start());
    QVERIFY2(f.waitForFinished(), "the supervisor did not end");
    QCOMPARE(f.exitStatus(), QProcess::NormalExit);
    QCOMPARE(f.exitCode(), 0);
    QCOMPARE(supervisorEntries(f), expected);
    QCOMPARE(f.systemctlCalls(), systemctl);
    QCOMPARE(f.cashRecord().filter(QRegularExpression(QStringLiteral("^run "))).size(), runs);
}

void tst_Supervisor::refusedRebootLeavesSupervisorIdle()
{
    // Reboot and power-off run systemctl (a fake, first in PATH); a refusal leaves the
    // supervisor running without a cash application, and a later command stays pending.
    struct Case { const char *command; const char *argument; const char *notice; int status; };
    const Case cases[] = {
        { "reboot", "reboot", "Выполняется перезагрузка компьютера.", 1 },
        { "halt", "poweroff", "Выполняется выключение компьютера.", 0 },
    };
    for (const Case &c : cases) {
        SupervisorFixture f;
        QVERIFY2(f.isValid(), qPrintable(f.errorString()));
        f.setSystemctlExitStatus(c.status);
        f.setScenario(QStringLiteral("[run 1]\nsend %1\nexit 0\n").arg(QLatin1String(c.command)));
        QVERIFY(f.start());
        QVERIFY(f.waitForLog(QStringLiteral("NOTE; %1; %2").arg(finished, QString::fromUtf8(c.notice))));
        QTRY_COMPARE(f.systemctlCalls(), QStringList(QLatin1String(c.argument)));

        // Idle, but still serving commands.
        QCOMPARE(command(f.serverPort(), QByteArray::fromHex("00000000")), QByteArray::fromHex("00010000"));
        QCOMPARE(f.process().state(), QProcess::Running);
        QVERIFY(!supervisorEntries(f).contains(appExit));
    }
}

void tst_Supervisor::crashEndsSupervisor()
{
    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.setScenario(QStringLiteral("crash\n"));
    QVERIFY(f.start());
    QVERIFY(f.waitForFinished());
    QCOMPARE(f.exitCode(), 0);
    QCOMPARE(supervisorEntries(f).last(),
             QStringLiteral("EMRG; %1; Crash Exit Cash application").arg(finished));
}

void tst_Supervisor::cashProgramMissing()
{
    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.setConfig(QStringLiteral("CASH"), QStringLiteral("ExecutablePath"), QStringLiteral("./no-such-cash"));
    QVERIFY(f.start());
    QVERIFY(f.waitForFinished());
    QCOMPARE(f.exitCode(), 0);
    QCOMPARE(supervisorEntries(f),
             QStringList({ QStringLiteral("EMRG; LocalCashServer:LocalCashServer::slotProcessError; "
                                          "Cash app process error: FailedToStart"),
                           QStringLiteral("CRIT; LocalCashServer:LocalCashServer::startProcess; "
                                          "Cash process start fail : FailedToStart; Exit app") }));
}

void tst_Supervisor::argumentsReachCashApplication_data()
{
    QTest::addColumn<QString>("programmArguments"); // in front of the scenario options
    QTest::addColumn<QStringList>("supervisorArguments");
    QTest::addColumn<QStringList>("expectedHead"); // the child's first arguments

    QTest::newRow("no auth") << QStringLiteral("-a") << QStringList() << QStringList({ "[-a]" });
    QTest::newRow("double blank keeps an empty argument")
            << QStringLiteral("-a  -b") << QStringList() << QStringList({ "[-a]", "[]", "[-b]" });
    QTest::newRow("auth appended, last one wins, spelled as typed")
            << QStringLiteral("-a") << QStringList({ "auth=one", "AUTH=two", "xauth=3" })
            << QStringList({ "[-a]" });
}

void tst_Supervisor::argumentsReachCashApplication()
{
    QFETCH(QString, programmArguments);
    QFETCH(QStringList, supervisorArguments);
    QFETCH(QStringList, expectedHead);

    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.setCashArguments(programmArguments);
    f.setScenario(QStringLiteral("record record.txt\nexit 0\n"));
    QVERIFY(f.start(supervisorArguments));
    QVERIFY(f.waitForFinished());

    const QStringList record = f.cashRecord();
    const int first = record.indexOf(QRegularExpression(QStringLiteral("args \\d+")));
    QVERIFY2(first >= 0, f.process().readAll().constData());
    const QStringList args = record.mid(first + 1, record.indexOf(QStringLiteral("end")) - first - 1);
    QCOMPARE(args.mid(0, expectedHead.size()), expectedHead);
    QCOMPARE(record.contains(QStringLiteral("cwd %1").arg(f.dir())), true);
    if (supervisorArguments.isEmpty())
        QVERIFY(!args.last().startsWith(QLatin1String("[auth"), Qt::CaseInsensitive));
    else
        QCOMPARE(args.last(), QStringLiteral("[AUTH=two]"));
}

void tst_Supervisor::noConfigurationUsesDefaults()
{
    // Without configuration the supervisor wants UDP port 55005 and ./vorcam; it must read every
    // default, try the default program in its own directory and end.
    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    QVERIFY(f.start());
    QVERIFY(QFile::remove(f.path(QStringLiteral("config.ini"))));
    f.process().kill();
    f.process().waitForFinished();
    QFile::remove(f.path(QStringLiteral("log/localserver.log")));

    QProcess plain;
    plain.start(f.path(f.programName()), QStringList());
    QVERIFY(plain.waitForFinished(30000));
    QCOMPARE(plain.exitCode(), 0);
    const QStringList entries = f.logEntries();
    const QStringList values = entries.filter(QRegularExpression(QStringLiteral("; INIT:[A-Z]+; ")));
    QCOMPARE(values,
             QStringList({ "WARN; INIT:CASH; LogLevel = 5",
                           "WARN; INIT:INTERPROCESS; CashAddress = 127.0.0.1",
                           "WARN; INIT:INTERPROCESS; CashPort = 55006",
                           "WARN; INIT:INTERPROCESS; ServerFilterAddress = 1",
                           "WARN; INIT:INTERPROCESS; LocalServerPort = 55005",
                           "WARN; INIT:CASH; ExecutablePath = ./vorcam",
                           "WARN; INIT:CASH; WorkingDirectory = .",
                           "WARN; INIT:CASH; ProgrammArguments = ",
                           "WARN; INIT:MAINTENANCE; DisableMaintenance = 0",
                           "WARN; INIT:MAINTENANCE; MaintenanceTime = 04:00",
                           "WARN; INIT:MAINTENANCE; PythonExePath = C:/Python27/python.exe",
                           "WARN; INIT:MAINTENANCE; ScriptPath = ./scripts",
                           "WARN; INIT:MAINTENANCE; ArchiveDir = ./archive",
                           "WARN; INIT:MAINTENANCE; ControlScript = control.py" }));
    QVERIFY(entries.contains(QStringLiteral("CRIT; LocalCashServer:LocalCashServer::startProcess; "
                                            "Cash process start fail : FailedToStart; Exit app")));
}

void tst_Supervisor::maintenanceRequestedByCashApplication_data()
{
    QTest::addColumn<bool>("disabled");
    QTest::addColumn<bool>("interpreterMissing");

    QTest::newRow("enabled") << false << false;
    QTest::newRow("disabled: script runs, no restart after it") << true << false;
    QTest::newRow("interpreter missing: restarted at once") << false << true;
}

void tst_Supervisor::maintenanceRequestedByCashApplication()
{
    QFETCH(bool, disabled);
    QFETCH(bool, interpreterMissing);

    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.setConfig(QStringLiteral("MAINTENANCE"), QStringLiteral("DisableMaintenance"),
                disabled ? QStringLiteral("1") : QStringLiteral("0"));
    f.setConfig(QStringLiteral("MAINTENANCE"), QStringLiteral("PythonExePath"),
                interpreterMissing ? f.path(QStringLiteral("no-python")) : QStringLiteral("/bin/sh"));
    f.setConfig(QStringLiteral("MAINTENANCE"), QStringLiteral("MaintenanceTime"), QStringLiteral("xx"));
    QVERIFY(writeFile(f.path(QStringLiteral("scripts/control.py")),
                      "echo \"archive=$1\"\necho oops >&2\nexit 1\n"));
    f.setScenario(QStringLiteral("[run 1]\nsend maintainer\nexit 0\n[run *]\nexit 0\n"));
    QVERIFY(f.start());

    const QString maint = QStringLiteral("Maintainer:FileMaintainer::");
    QStringList expected = { started, startedOk,
                             QStringLiteral("INFO; LocalCashServer:LocalCashServer::maintainerCmd; "
                                            "MAINTAINER_CMD_RECEIVED"),
                             QStringLiteral("NOTE; %1; Процесс кассы остановлен для выполнения "
                                            "скриптов обслуживания.").arg(finished) };
    if (interpreterMissing) {
        expected << QStringLiteral("ERRR; %1startScript; Executable file %2 does not exists.")
                            .arg(maint, f.path(QStringLiteral("no-python")))
                 << started << appExit;
        QVERIFY(f.waitForFinished());
        QCOMPARE(supervisorEntries(f), expected);
        return;
    }

    expected << QStringLiteral("INFO; %1startScript; Maintenance control script started.").arg(maint);
    const QString done =
            QStringLiteral("INFO; %1slotFinished; Maintenance control script finished successfuly "
                           "with exitcode 1").arg(maint);
    if (disabled) {
        QVERIFY(f.waitForLog(done));
        // The finish is handled in one go: once a command is answered after it, a restart
        // would have shown.
        QCOMPARE(command(f.serverPort(), QByteArray::fromHex("00000007")), QByteArray::fromHex("00020007"));
        QVERIFY(!supervisorEntries(f).mid(expected.size()).contains(started));
        QCOMPARE(f.process().state(), QProcess::Running);
        return;
    }
    QVERIFY(f.waitForFinished());
    const QStringList entries = supervisorEntries(f);
    QCOMPARE(entries.mid(0, expected.size()), expected);
    const QStringList rest = entries.mid(expected.size());
    QVERIFY2(rest.contains(QStringLiteral("INFO; %1slotReadStandardOutput; OUT:\narchive=./archive\n")
                                   .arg(maint)),
             qPrintable(rest.join(QLatin1Char('|')).replace(QLatin1Char('\n'), QLatin1String("\\n"))));
    QVERIFY(rest.contains(QStringLiteral("ERRR; %1slotReadStandardError; ERROR:\noops\n").arg(maint)));
    QCOMPARE(rest.mid(rest.indexOf(done)), QStringList({ done, started, startedOk, appExit }));
}

void tst_Supervisor::maintenanceStartsAtConfiguredMinute()
{
    // The maintainer looks at the clock once a minute from its construction on; the test picks
    // the minute into which the first tick falls.
    QDateTime tick = QDateTime::currentDateTime().addSecs(61);
    if (tick.time().second() < 3 || tick.time().second() > 57) {
        QTest::qWait(6000); // keep the tick well inside one minute
        tick = QDateTime::currentDateTime().addSecs(61);
    }

    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.setConfig(QStringLiteral("MAINTENANCE"), QStringLiteral("DisableMaintenance"), QStringLiteral("0"));
    f.setConfig(QStringLiteral("MAINTENANCE"), QStringLiteral("MaintenanceTime"),
                tick.time().toString(QStringLiteral("hh:mm")));
    f.setConfig(QStringLiteral("MAINTENANCE"), QStringLiteral("PythonExePath"), QStringLiteral("/bin/sh"));
    QVERIFY(writeFile(f.path(QStringLiteral("scripts/control.py")), "exit 0\n"));
    f.setScenario(QStringLiteral("[run 1]\nwait-maintenance 80000\nsend maintainer\nexit 0\n"
                                 "[run *]\nexit 0\n"));
    QVERIFY(f.start());
    QVERIFY2(f.waitForFinished(100000), "the maintenance cycle did not complete");

    const QString ipc = QStringLiteral("IPC:InterProcessChannel<class LocalCashServer>::processCommand");
    const QStringList entries = supervisorEntries(f);
    const int enter = entries.indexOf(
            QStringLiteral("DEBG; LocalCashServer:LocalCashServer::slotMaintainerStart; enter"));
    QVERIFY2(enter >= 0, qPrintable(entries.join(QLatin1Char('|'))));
    QCOMPARE(entries.mid(enter + 1, 3),
             QStringList({ QStringLiteral("DEBG; UDP::send; socket sent UDP to vorcam"),
                           QStringLiteral("DEBG; %1; Send Command").arg(ipc),
                           QStringLiteral("DEBG; %1; Cmd ans: [0] SUCCESS").arg(ipc) }));
    QVERIFY(entries.contains(QStringLiteral("INFO; Maintainer:FileMaintainer::startScript; "
                                            "Maintenance control script started.")));
    QCOMPARE(entries.mid(entries.size() - 3), QStringList({ started, startedOk, appExit }));
}

QTEST_GUILESS_MAIN(tst_Supervisor)
#include "tst_supervisor.moc"
