#include "app/startup.h"
#include "supervisorprocess.h"
#include "testutil.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTest>

// The real supervisor with the simulated cash application: every row of what happens when the
// cash application ends, the remote commands, start-up without configuration and maintenance.
class tst_Supervisor : public QObject
{
    Q_OBJECT

private slots:
    void pendingCommandOnExit_data();
    void pendingCommandOnExit();
    void powerCommandLeavesSupervisorIdle_data();
    void powerCommandLeavesSupervisorIdle();
    void argumentsReachCashApplication_data();
    void argumentsReachCashApplication();
    void noConfigurationUsesDefaults();
    void maintenanceRequestedByCashApplication_data();
    void maintenanceRequestedByCashApplication();
    void maintenanceStartsAtConfiguredMinute();
};

namespace {
const QString finished = QStringLiteral("LocalCashServer:LocalCashServer::slotProcessFinished");
const QString started = QStringLiteral("DEBG; LocalCashServer:LocalCashServer::slotProcessStarted; "
                                       "Cash application started");
const QString startedOk = QStringLiteral("INFO; LocalCashServer:LocalCashServer::startProcess; "
                                         "Cash process started successfully");
const QString appExit = QStringLiteral("EMRG; %1; APP EXIT").arg(finished);

// What the supervisor itself reported, without the banner and the settings it read.
QStringList supervisorEntries(const SupervisorProcess &s)
{
    QStringList entries;
    const QStringList all = s.log();
    for (const QString &entry : all) {
        if (!entry.contains(QLatin1String("; INIT:")) && !entry.contains(QLatin1String("; main; ")))
            entries.append(entry);
    }
    return entries;
}
} // namespace

void tst_Supervisor::pendingCommandOnExit_data()
{
    QTest::addColumn<QString>("firstRun"); // scenario of the first start; later starts exit 0
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("runs");

    const QString restartReceived =
        QStringLiteral("INFO; LocalCashServer:LocalCashServer::restartCmd; RESTART_CMD_RECEIVED");
    const QString restarting =
        QStringLiteral("NOTE; %1; Выполняется перезапуск процесса кассы.").arg(finished);
    const QString crashed = QStringLiteral("EMRG; %1; Crash Exit Cash application").arg(finished);
    const QString crashError =
        QStringLiteral("EMRG; LocalCashServer:LocalCashServer::slotProcessError; "
                       "Cash app process error: Crashed");

    QTest::newRow("nothing pending")
        << QStringLiteral("exit 0") << QStringList({ started, startedOk, appExit }) << 1;
    QTest::newRow("exit code 1, nothing pending")
        << QStringLiteral("exit 1") << QStringList({ started, startedOk, appExit }) << 1;
    QTest::newRow("restart") << QStringLiteral("send restart\nexit 0")
                             << QStringList({ started, startedOk, restartReceived, restarting,
                                    started, appExit })
                             << 2;
    QTest::newRow("last of three commands wins")
        << QStringLiteral("send reboot\nsend halt\nsend restart\nexit 0")
        << QStringList({ started, startedOk,
               QStringLiteral(
                   "INFO; LocalCashServer:LocalCashServer::rebootCmd; REBOOT_CMD_RECEIVED"),
               QStringLiteral("INFO; LocalCashServer:LocalCashServer::haltCmd; HALT_CMD_RECEIVED"),
               restartReceived, restarting, started, appExit })
        << 2;
    QTest::newRow("unknown command changes nothing")
        << QStringLiteral("send code 7\nexit 0") << QStringList({ started, startedOk, appExit })
        << 1;
    QTest::newRow("crash") << QStringLiteral("crash")
                           << QStringList({ started, startedOk, crashError, crashed }) << 1;
    QTest::newRow("restart, then crash")
        << QStringLiteral("send restart\ncrash")
        << QStringList({ started, startedOk, restartReceived, crashError, crashed }) << 1;
}

void tst_Supervisor::pendingCommandOnExit()
{
    QFETCH(QString, firstRun);
    QFETCH(QStringList, expected);
    QFETCH(int, runs);

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.configure(QStringLiteral("[run 1]\n%1\n[run *]\nexit 0\n").arg(firstRun), 7));
    QVERIFY(s.start());
    QCOMPARE(s.waitForExit(30000), 0);
    QCOMPARE(supervisorEntries(s), expected);
    QCOMPARE(s.systemctlCalls(), QStringList());
    QCOMPARE(s.cashRuns(), runs);
}

void tst_Supervisor::powerCommandLeavesSupervisorIdle_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("argument"); // systemctl's
    QTest::addColumn<QString>("notice");
    QTest::addColumn<int>("status"); // systemctl's exit status

    // Accepted too: on a real system the machine would go down instead.
    QTest::newRow("reboot refused") << "reboot"
                                    << "reboot"
                                    << "Выполняется перезагрузка компьютера." << 1;
    QTest::newRow("halt accepted") << "halt"
                                   << "poweroff"
                                   << "Выполняется выключение компьютера." << 0;
}

void tst_Supervisor::powerCommandLeavesSupervisorIdle()
{
#ifdef Q_OS_WIN
    QSKIP("the real shutdown call would be made, which no test may reach; under Wine it ends "
          "every process of the prefix, so tests/wine/powercheck.sh tries it in one of its own");
#endif
    QFETCH(QString, command);
    QFETCH(QString, argument);
    QFETCH(QString, notice);
    QFETCH(int, status);

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.setSystemctl(status));
    QVERIFY(s.configure(QStringLiteral("[run 1]\nsend %1\nexit 0\n").arg(command), 7));
    QVERIFY(s.start());
    QVERIFY(s.waitForLog(QStringLiteral("NOTE; %1; %2").arg(finished, notice), 20000));
    QTRY_COMPARE(s.systemctlCalls(), QStringList(argument));

    // Idle, but still serving commands.
    QCOMPARE(s.send(QByteArray("\0\0\0\0", 4)), QByteArray("\0\1\0\0", 4));
    QVERIFY(s.isRunning());
    QVERIFY(!supervisorEntries(s).contains(appExit));
    QCOMPARE(s.cashRuns(), 1);
}

void tst_Supervisor::argumentsReachCashApplication_data()
{
    QTest::addColumn<QString>("programmArguments"); // in front of the scenario options
    QTest::addColumn<QStringList>("supervisorArguments");
    QTest::addColumn<QStringList>("expectedHead"); // the child's first arguments

    QTest::newRow("no auth") << QStringLiteral("-a") << QStringList() << QStringList({ "[-a]" });
    QTest::newRow("double blank keeps an empty argument")
        << QStringLiteral("-a  -b") << QStringList() << QStringList({ "[-a]", "[]", "[-b]" });
    QTest::newRow("auth appended, last one wins, spelled as typed") << QStringLiteral(
        "-a") << QStringList({ "auth=one", "AUTH=two", "xauth=3" }) << QStringList({ "[-a]" });
}

void tst_Supervisor::argumentsReachCashApplication()
{
    QFETCH(QString, programmArguments);
    QFETCH(QStringList, supervisorArguments);
    QFETCH(QStringList, expectedHead);

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.configure(QStringLiteral("exit 0"), 7,
        QStringLiteral("[CASH]\nProgrammArguments=%1 %2\n")
            .arg(programmArguments, s.cashOptions())));
    QVERIFY(s.start(supervisorArguments));
    QCOMPARE(s.waitForExit(30000), 0);

    const QStringList record = s.cashRecord();
    const int first = record.indexOf(QRegularExpression(QStringLiteral("args \\d+")));
    QVERIFY2(first >= 0, qPrintable(record.join(QLatin1Char('\n'))));
    const QStringList args =
        record.mid(first + 1, record.indexOf(QStringLiteral("end")) - first - 1);
    QCOMPARE(args.mid(0, expectedHead.size()), expectedHead);
    QVERIFY(record.contains(QStringLiteral("cwd %1").arg(s.path())));
    if (supervisorArguments.isEmpty())
        QVERIFY(!args.last().startsWith(QLatin1String("[auth"), Qt::CaseInsensitive));
    else
        QCOMPARE(args.last(), QStringLiteral("[AUTH=two]"));
}

void tst_Supervisor::noConfigurationUsesDefaults()
{
    // Without configuration the supervisor wants UDP port 55005 and ./vorcam; it must read every
    // default, fail to start the default program in its own directory and end.
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.start());
    QCOMPARE(s.waitForExit(30000), 0);
    const QStringList entries = s.log();
    QVERIFY2(entries.value(0).startsWith(
                 QStringLiteral("EMRG; main; LocalCashServer app started Ver : %1 (")
                     .arg(applicationVersionText())),
        qPrintable(entries.value(0)));
    const QByteArray bytes = readFile(s.path(QStringLiteral("log/localserver.log")));
    QCOMPARE(bytes.left(bytes.indexOf('\n') + 1).right(logLineEnd().size()), logLineEnd());
    const QStringList values =
        entries.filter(QRegularExpression(QStringLiteral("; INIT:[A-Z]+; ")));
    QCOMPARE(values,
        QStringList(
            { "WARN; INIT:CASH; LogLevel = 5", "WARN; INIT:INTERPROCESS; CashAddress = 127.0.0.1",
                "WARN; INIT:INTERPROCESS; CashPort = 55006",
                "WARN; INIT:INTERPROCESS; ServerFilterAddress = 1",
                "WARN; INIT:INTERPROCESS; LocalServerPort = 55005",
                "WARN; INIT:CASH; ExecutablePath = ./vorcam",
                "WARN; INIT:CASH; WorkingDirectory = .", "WARN; INIT:CASH; ProgrammArguments = ",
                "WARN; INIT:MAINTENANCE; DisableMaintenance = 0",
                "WARN; INIT:MAINTENANCE; MaintenanceTime = 04:00",
                "WARN; INIT:MAINTENANCE; PythonExePath = C:/Python27/python.exe",
                "WARN; INIT:MAINTENANCE; ScriptPath = ./scripts",
                "WARN; INIT:MAINTENANCE; ArchiveDir = ./archive",
                "WARN; INIT:MAINTENANCE; ControlScript = control.py" }));
    // A cash application that cannot be started ends the supervisor.
    QCOMPARE(supervisorEntries(s),
        QStringList({ QStringLiteral("EMRG; LocalCashServer:LocalCashServer::slotProcessError; "
                                     "Cash app process error: FailedToStart"),
            QStringLiteral("CRIT; LocalCashServer:LocalCashServer::startProcess; "
                           "Cash process start fail : FailedToStart; Exit app") }));
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

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(writeFile(s.path(QStringLiteral("scripts/control.sh")),
        "echo \"archive=$1\"\necho oops >&2\nexit 1\n"));
    QString settings = QStringLiteral("[MAINTENANCE]\nDisableMaintenance=%1\nMaintenanceTime=xx\n")
                           .arg(int(disabled));
    if (interpreterMissing)
        settings += QStringLiteral("PythonExePath=%1\n").arg(s.path(QStringLiteral("no-python")));
    QVERIFY(s.configure(
        QStringLiteral("[run 1]\nsend maintainer\nexit 0\n[run *]\nexit 0\n"), 7, settings));
    QVERIFY(s.start());

    const QString maint = QStringLiteral("Maintainer:FileMaintainer::");
    QStringList expected = { started, startedOk,
        QStringLiteral("INFO; LocalCashServer:LocalCashServer::maintainerCmd; "
                       "MAINTAINER_CMD_RECEIVED"),
        QStringLiteral("NOTE; %1; Процесс кассы остановлен для выполнения "
                       "скриптов обслуживания.")
            .arg(finished) };
    if (interpreterMissing) {
        expected << QStringLiteral("ERRR; %1startScript; Executable file %2 does not exists.")
                        .arg(maint, s.path(QStringLiteral("no-python")))
                 << started << appExit;
        QCOMPARE(s.waitForExit(30000), 0);
        QCOMPARE(supervisorEntries(s), expected);
        return;
    }

    expected
        << QStringLiteral("INFO; %1startScript; Maintenance control script started.").arg(maint);
    const QString done =
        QStringLiteral("INFO; %1slotFinished; Maintenance control script finished successfuly "
                       "with exitcode 1")
            .arg(maint);
    if (disabled) {
        QVERIFY(s.waitForLog(done, 20000));
        // The finish is handled in one go: once a command is answered after it, a restart
        // would have shown.
        QVERIFY(s.answers());
        QVERIFY(!supervisorEntries(s).mid(expected.size()).contains(started));
        QVERIFY(s.isRunning());
        return;
    }
    QCOMPARE(s.waitForExit(30000), 0);
    const QStringList entries = supervisorEntries(s);
    QCOMPARE(entries.mid(0, expected.size()), expected);
    const QStringList rest = entries.mid(expected.size());
    QVERIFY2(
        rest.contains(
            QStringLiteral("INFO; %1slotReadStandardOutput; OUT:\narchive=archive\n").arg(maint)),
        qPrintable(rest.join(QLatin1Char('|')).replace(QLatin1Char('\n'), QLatin1String("\\n"))));
    QVERIFY(
        rest.contains(QStringLiteral("ERRR; %1slotReadStandardError; ERROR:\noops\n").arg(maint)));
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

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(writeFile(s.path(QStringLiteral("scripts/control.sh")), "exit 0\n"));
    QVERIFY(s.configure(QStringLiteral("[run 1]\nwait-maintenance 80000\nsend maintainer\nexit 0\n"
                                       "[run *]\nexit 0\n"),
        7,
        QStringLiteral("[MAINTENANCE]\nMaintenanceTime=%1\n")
            .arg(tick.time().toString(QStringLiteral("hh:mm")))));
    QVERIFY(s.start());
    QVERIFY2(s.waitForExit(100000) == 0, "the maintenance cycle did not complete");

    const QString ipc =
        QStringLiteral("IPC:InterProcessChannel<class LocalCashServer>::processCommand");
    const QStringList entries = supervisorEntries(s);
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
