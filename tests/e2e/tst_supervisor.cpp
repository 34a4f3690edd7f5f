#include "app/startup.h"
#include "supervisorprocess.h"
#include "testutil.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#else
// The faked clock comes from libfaketime, a Linux library.
#define LIBFAKETIME_PATH ""
#endif

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
    void numbersOutOfRange_data();
    void numbersOutOfRange();
    void maintenanceRequestedByCashApplication_data();
    void maintenanceRequestedByCashApplication();
    void commandsOnlyFromOurUser_data();
    void commandsOnlyFromOurUser();
    void maintenanceOnceADay_data();
    void maintenanceOnceADay();
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

void tst_Supervisor::numbersOutOfRange_data()
{
    QTest::addColumn<QString>("setting"); // "[SECTION]\nKey=value"
    QTest::addColumn<QString>("logged"); // its settings line
    QTest::addColumn<int>("level"); // the log level in effect after it

    // No number wraps around into another: 2^32 + 1 was level 1, 2^31 level -1.
    QTest::newRow("level above 32 bits") << QStringLiteral("[CASH]\nLogLevel=4294967297")
                                         << QStringLiteral("CASH; LogLevel = 4294967297") << 7;
    QTest::newRow("level of 2^31") << QStringLiteral("[CASH]\nLogLevel=2147483648")
                                   << QStringLiteral("CASH; LogLevel = 2147483648") << 7;
    QTest::newRow("level below -2^32") << QStringLiteral("[CASH]\nLogLevel=-4294967295")
                                       << QStringLiteral("CASH; LogLevel = -4294967295") << -1;
    // A port beyond 16 bits is no port: it keeps its default, as any non-number does.
    QTest::newRow("port above 65535") << QStringLiteral("[INTERPROCESS]\nCashPort=65536")
                                      << QStringLiteral("INTERPROCESS; CashPort = 55006") << 7;
}

void tst_Supervisor::numbersOutOfRange()
{
    QFETCH(QString, setting);
    QFETCH(QString, logged);
    QFETCH(int, level);

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.configure(QStringLiteral("exit 0"), 7, setting + QLatin1Char('\n')));
    QVERIFY(s.start());
    QCOMPARE(s.waitForExit(30000), 0);
    const QStringList entries = s.log();
    const int at = entries.indexOf(QStringLiteral("WARN; INIT:") + logged);
    QVERIFY2(at >= 0, qPrintable(entries.join(QLatin1Char('\n'))));
    QCOMPARE(entries.mid(at + 1).contains(started), level == 7);
    QCOMPARE(entries.mid(at + 1).contains(appExit), level >= 0);
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
    // Russian output, in UTF-8 on one channel and in Windows-1251 on the other, reaches the log
    // readable.
    QVERIFY(writeFile(s.path(QStringLiteral("scripts/control.sh")),
        "echo \"archive=$1 Готово\"\n"
        "echo \xd1\xe1\xee\xe9 >&2\nexit 1\n"));
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
    QVERIFY2(rest.contains(
                 QStringLiteral("INFO; %1slotReadStandardOutput; OUT:\narchive=archive Готово\n")
                     .arg(maint)),
        qPrintable(rest.join(QLatin1Char('|')).replace(QLatin1Char('\n'), QLatin1String("\\n"))));
    QVERIFY(
        rest.contains(QStringLiteral("ERRR; %1slotReadStandardError; ERROR:\nСбой\n").arg(maint)));
    QCOMPARE(rest.mid(rest.indexOf(done)), QStringList({ done, started, startedOk, appExit }));
}

void tst_Supervisor::maintenanceOnceADay_data()
{
    QTest::addColumn<QString>("startTime"); // of the supervisor's clock
    QTest::addColumn<QString>("maintenanceTime");
    QTest::addColumn<int>("announced");

    // The first tick comes 60 s after the start, and then one a minute.
    QTest::newRow("tick in the minute, the next one still near it")
        << QStringLiteral("03:59:30") << QStringLiteral("04:00") << 1;
    QTest::newRow("first tick just after the minute")
        << QStringLiteral("04:00:10") << QStringLiteral("04:00") << 1;
    QTest::newRow("started a tick after the minute")
        << QStringLiteral("04:01:30") << QStringLiteral("04:00") << 0;
    QTest::newRow("empty time is 04:00") << QStringLiteral("03:59:30") << QString() << 1;
}

void tst_Supervisor::maintenanceOnceADay()
{
    QFETCH(QString, startTime);
    QFETCH(QString, maintenanceTime);
    QFETCH(int, announced);
    if (sanitizedBuild)
        QSKIP("libfaketime would be loaded before the sanitizer's runtime");
    if (QStringLiteral(LIBFAKETIME_PATH).isEmpty())
        QSKIP("the supervisor's clock is faked with libfaketime, which this platform lacks");
    QVERIFY2(QFileInfo::exists(QStringLiteral(LIBFAKETIME_PATH)),
        "libfaketime is missing: run scripts/deps.sh");

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(writeFile(s.path(QStringLiteral("scripts/control.sh")), "exit 0\n"));
    // The cash application makes way when told to; the next one waits for a second notice long
    // enough for the next tick, then ends the run (as the first does when none comes).
    QVERIFY(s.configure(QStringLiteral("[run 1]\nwait-maintenance 120000\nsend maintainer\n"
                                       "exit 0\n[run *]\nwait-maintenance 90000\nexit 0\n"),
        7, QStringLiteral("[MAINTENANCE]\nMaintenanceTime=%1\n").arg(maintenanceTime)));
    // Twenty times as fast: a minute's tick every 3 s, timers and clock alike.
    s.setEnvironment(QStringLiteral("LD_PRELOAD"), QStringLiteral(LIBFAKETIME_PATH));
    s.setEnvironment(
        QStringLiteral("FAKETIME"), QStringLiteral("@2024-04-10 %1 x20").arg(startTime));
    QVERIFY(s.start());
    QCOMPARE(s.waitForExit(60000), 0);

    const QStringList entries = supervisorEntries(s);
    const QString enter =
        QStringLiteral("DEBG; LocalCashServer:LocalCashServer::slotMaintainerStart; enter");
    QVERIFY2(entries.count(enter) == announced, qPrintable(entries.join(QLatin1Char('\n'))));
    // A second run only after the maintenance it made way for.
    QCOMPARE(s.cashRuns(), announced + 1);
    QCOMPARE(entries.last(), appExit);
}

void tst_Supervisor::commandsOnlyFromOurUser_data()
{
    QTest::addColumn<bool>("otherUser"); // nobody (65534) sends, the supervisor runs as root

    QTest::newRow("our own user") << false;
    QTest::newRow("another user") << true;
}

void tst_Supervisor::commandsOnlyFromOurUser()
{
    QFETCH(bool, otherUser);
#ifdef Q_OS_UNIX
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (otherUser && (::geteuid() != 0 || setpriv.isEmpty()))
        QSKIP("sending as another user needs root and setpriv (util-linux)");
#else
    const QString setpriv;
    if (otherUser)
        QSKIP("Wine names no owner of a socket, so only the same user's command is tried here");
#endif

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.configure(QString(), 7));
    QVERIFY(s.start());
    QVERIFY(s.waitForCashRun(1, 10000));

    // The sender is a copy of cashsim that the other user can reach.
    const QString cashsim = s.outsidePath(QStringLiteral("cashsim"));
    const QFileDevice::Permissions readAndRun = QFile::ReadOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(s.outsidePath(QString()), readAndRun | QFile::WriteOwner));
    QVERIFY(QFile::copy(QStringLiteral(CASHSIM_PATH), cashsim));
    QStringList arguments = { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
        QStringLiteral("--clear-groups"), cashsim, QStringLiteral("send"),
        QStringLiteral("restart"), QStringLiteral("--server-port"),
        QString::number(s.serverPort()) };
    if (!otherUser)
        arguments = arguments.mid(3);
    QProcess sender;
    sender.setProcessChannelMode(QProcess::MergedChannels);
    sender.start(otherUser ? setpriv : arguments.takeFirst(), arguments);
    QVERIFY(sender.waitForFinished(10000));
    const QString output = QString::fromUtf8(sender.readAll());
    const QString port =
        QRegularExpression(QStringLiteral("bound to [0-9.]+:(\\d+)")).match(output).captured(1);
    QVERIFY2(!port.isEmpty(), qPrintable(output));
    // 4: no answer within 3 s, as from a foreign address.
    QCOMPARE(sender.exitCode(), otherUser ? 4 : 0);

    const QString received =
        QStringLiteral("INFO; LocalCashServer:LocalCashServer::restartCmd; RESTART_CMD_RECEIVED");
    const QString dropped = QStringLiteral("WARN; UDP::processRead; Datagram from 127.0.0.1:%1 "
                                           "dropped: the port is held by uid 65534 (nobody)")
                                .arg(port);
    const QStringList entries = s.log();
    QCOMPARE(entries.contains(received), !otherUser);
    QCOMPARE(entries.contains(dropped), otherUser);
    QVERIFY(s.isRunning());
}

QTEST_GUILESS_MAIN(tst_Supervisor)
#include "tst_supervisor.moc"
