#include "app/startup.h"
#include "supervisorprocess.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>

#include <filesystem>

#ifdef Q_OS_UNIX
#include <unistd.h>
#else
// The faked clock comes from libfaketime, a Linux library.
#define LIBFAKETIME_PATH ""
#endif

// The real supervisor with the simulated cash application: what happens when the cash
// application ends with each command pending, which program it starts with which arguments,
// its settings, maintenance and who may command it.
class tst_Supervisor : public QObject
{
    Q_OBJECT

private slots:
    void pendingCommandOnExit_data();
    void pendingCommandOnExit();
    void cashProgram_data();
    void cashProgram();
    void argumentsReachCashApplication();
    void heldPort();
    void cashProgramGoneAtRestart();
    void noConfigurationUsesDefaults();
    void maintenanceOnceADay_data();
    void maintenanceOnceADay();
    void commandFromAnotherUser();
};

namespace {
const QString own = QStringLiteral("LocalCashServer:LocalCashServer::");

QString entry(const char *label, const char *method, const QString &text)
{
    return QStringLiteral("%1; %2%3; %4")
        .arg(QLatin1String(label), own, QLatin1String(method), text);
}

const QString started =
    entry("DEBG", "slotProcessStarted", QStringLiteral("Cash application started"));
const QString startedOk =
    entry("INFO", "startProcess", QStringLiteral("Cash process started successfully"));
const QString appExit = entry("EMRG", "slotProcessFinished", QStringLiteral("APP EXIT"));
const QString failedToStart[] = { entry("EMRG", "slotProcessError",
                                      QStringLiteral("Cash app process error: FailedToStart")),
    entry("CRIT", "startProcess",
        QStringLiteral("Cash process start fail : FailedToStart; Exit app")) };

// What the supervisor itself reported, without the banner and the settings it read.
QStringList supervisorEntries(const SupervisorProcess &s)
{
    QStringList entries;
    for (const QString &entry : s.log()) {
        if (!entry.contains(QLatin1String("; INIT:")) && !entry.contains(QLatin1String("; main; ")))
            entries.append(entry);
    }
    return entries;
}
} // namespace

void tst_Supervisor::pendingCommandOnExit_data()
{
    QTest::addColumn<QString>("firstRun"); // scenario of the first start; later starts exit 0
    QTest::addColumn<QString>("settings"); // added to config.ini
    QTest::addColumn<QStringList>("expected"); // every entry of the supervisor's own
    QTest::addColumn<int>("runs");
    QTest::addColumn<QStringList>("systemctl"); // its calls; it refuses reboot, accepts power-off
    QTest::addColumn<bool>("ends"); // else it stays, idle

    const auto received = [](const char *method, const char *name) {
        return entry("INFO", method, QLatin1String(name) + QLatin1String("_CMD_RECEIVED"));
    };
    const auto notice = [](const char *text) {
        return entry("NOTE", "slotProcessFinished", QString::fromUtf8(text));
    };
    const QString restartReceived = received("restartCmd", "RESTART");
    const QString restarting = notice("Выполняется перезапуск процесса кассы.");
    const QString crashed =
        entry("EMRG", "slotProcessFinished", QStringLiteral("Crash Exit Cash application"));
    const QString crashError =
        entry("EMRG", "slotProcessError", QStringLiteral("Cash app process error: Crashed"));
    const QStringList startup = { started, startedOk };
    const auto row = [&](const char *name, const char *firstRun, const QStringList &expected,
                         int runs = 1, const QStringList &systemctl = {}, bool ends = true,
                         const QString &settings = QString()) {
        QTest::newRow(name) << QString::fromUtf8(firstRun) << settings << startup + expected << runs
                            << systemctl << ends;
    };
    row("nothing pending", "exit 0", { appExit });
    row("exit code 1, nothing pending", "exit 1", { appExit });
    row("restart", "send restart\nexit 0", { restartReceived, restarting, started, appExit }, 2);
    row("last of three commands wins", "send reboot\nsend halt\nsend restart\nexit 0",
        { received("rebootCmd", "REBOOT"), received("haltCmd", "HALT"), restartReceived, restarting,
            started, appExit },
        2);
    row("unknown command changes nothing", "send code 7\nexit 0", { appExit });
    row("crash", "crash", { crashError, crashed });
    row("restart, then crash", "send restart\ncrash", { restartReceived, crashError, crashed });
#ifndef Q_OS_WIN
    // Accepted or not, the supervisor stays (on a real system the machine would go down). On
    // Windows the real shutdown call would be made, which no test may reach; under Wine it ends
    // every process of the prefix, so tests/wine/powercheck.sh tries it in one of its own.
    row("reboot refused", "send reboot\nexit 0",
        { received("rebootCmd", "REBOOT"), notice("Выполняется перезагрузка компьютера.") }, 1,
        { "reboot" }, false);
    row("halt accepted", "send halt\nexit 0",
        { received("haltCmd", "HALT"), notice("Выполняется выключение компьютера.") }, 1,
        { "poweroff" }, false);
#endif

    const QString maintainer = QStringLiteral("Maintainer:FileMaintainer::");
    const QStringList maintenance = { received("maintainerCmd", "MAINTAINER"),
        notice("Процесс кассы остановлен для выполнения скриптов обслуживания.") };
    const QString scriptStarted =
        QStringLiteral("INFO; %1startScript; Maintenance control script started.").arg(maintainer);
    const QString output =
        QStringLiteral("INFO; %1slotReadStandardOutput; OUT:\narchive=archive Готово\n")
            .arg(maintainer);
    const QString scriptDone = QStringLiteral(
        "INFO; %1slotFinished; Maintenance control script finished successfuly with exitcode 1")
                                   .arg(maintainer);
    // Russian output in UTF-8 reaches the log readable; the script is given the archive directory.
    row("maintenance", "send maintainer\nexit 0",
        maintenance
            + QStringList { scriptStarted, output, scriptDone, started, startedOk, appExit },
        2);
    row("maintenance disabled: script runs, no restart after it", "send maintainer\nexit 0",
        maintenance + QStringList { scriptStarted, output, scriptDone }, 1, {}, false,
        QStringLiteral("[MAINTENANCE]\nDisableMaintenance=1\n"));
    row("maintenance without interpreter: restarted at once", "send maintainer\nexit 0",
        maintenance
            + QStringList { QStringLiteral("ERRR; %1startScript; Executable file {dir}/no-python "
                                           "does not exists.")
                                .arg(maintainer),
                started, appExit },
        2, {}, true, QStringLiteral("[MAINTENANCE]\nPythonExePath={dir}/no-python\n"));
#ifndef Q_OS_WIN
    // Reported twice, by the process's error and by its end: the second start finds the cash
    // application running. Windows' stand-in shell knows no kill.
    row("maintenance script killed", "send maintainer\nexit 0",
        maintenance
            + QStringList { scriptStarted,
                QStringLiteral(
                    "ERRR; %1slotError; Maintenance control script failed: (1) Process crashed")
                    .arg(maintainer),
                started, startedOk,
                QStringLiteral(
                    "ERRR; %1slotFinished; Maintenance control script crashed with exitcode 9")
                    .arg(maintainer),
                startedOk, appExit },
        2, {}, true, QStringLiteral("[MAINTENANCE]\nControlScript=killed.sh\n"));
#endif
}

void tst_Supervisor::pendingCommandOnExit()
{
    QFETCH(QString, firstRun);
    QFETCH(QString, settings);
    QFETCH(QStringList, expected);
    QFETCH(int, runs);
    QFETCH(QStringList, systemctl);
    QFETCH(bool, ends);

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.setSystemctl(systemctl.contains(QLatin1String("poweroff")) ? 0 : 1));
    QVERIFY(writeFile(
        s.path(QStringLiteral("scripts/control.sh")), "echo \"archive=$1 Готово\"\nexit 1\n"));
    QVERIFY(writeFile(s.path(QStringLiteral("scripts/killed.sh")), "kill -s KILL $$\n"));
    QVERIFY(s.configure(QStringLiteral("[run 1]\n%1\n[run *]\nexit 0\n").arg(firstRun), 7,
        QStringLiteral("[MAINTENANCE]\nMaintenanceTime=xx\n")
            + settings.replace(QLatin1String("{dir}"), s.path())));
    QVERIFY(s.start());
    if (ends) {
        QCOMPARE(s.waitForExit(30000), 0);
    } else {
        QVERIFY(s.waitForLog(expected.last(), 20000));
        // Idle, but still serving commands: once one is answered, what the exit set off is done.
        QVERIFY(s.answers());
        QVERIFY(s.isRunning());
    }
    expected.replaceInStrings(QStringLiteral("{dir}"), s.path());
    QCOMPARE(supervisorEntries(s), expected);
    QCOMPARE(s.systemctlCalls(), systemctl);
    QCOMPARE(s.cashRuns(), runs);
    // The cash application's output comes through the supervisor's own.
    QVERIFY(readFile(s.path(QStringLiteral("output.txt"))).contains("recorded to"));
}

void tst_Supervisor::cashProgram_data()
{
    QTest::addColumn<QString>("executablePath"); // {self}: the supervisor's program file name
    QTest::addColumn<QString>("cashFile"); // made in the program's directory
    QTest::addColumn<QString>("kind"); // cashsim, or a "hard" or "symbolic" link to the supervisor

    // The same settings start the same program on every platform, whatever the working
    // directory: relative paths are taken from the program's directory.
    const auto row = [](const char *name, const char *path, const char *file, const char *kind) {
        QTest::newRow(name) << QString::fromLatin1(path) << QString::fromLatin1(file)
                            << QString::fromLatin1(kind);
    };
    row("relative", "./vorcam", "vorcam", "cashsim");
    row("bare name", "vorcam", "vorcam", "cashsim");
    row("subdirectory", "bin/vorcam", "bin/vorcam", "cashsim");
    // Never itself, however named: each instance would start another.
    row("itself", "./{self}", "", "");
    row("itself through a hard link", "./vorcam", "vorcam", "hard");
    row("itself through a symbolic link", "./vorcam", "vorcam", "symbolic");
}

void tst_Supervisor::cashProgram()
{
    QFETCH(QString, executablePath);
    QFETCH(QString, cashFile);
    QFETCH(QString, kind);

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    const QString suffix = QFileInfo(s.programName()).suffix();
    const QString cash =
        s.path(cashFile) + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    const auto native = [](const QString &path) {
        return std::filesystem::u8path(path.toStdString());
    };
    std::error_code error;
    if (kind == QLatin1String("cashsim")) {
        QVERIFY(QDir().mkpath(QFileInfo(cash).path()));
        QVERIFY(QFile::copy(testProgram(CASHSIM_PATH), cash));
        // A Windows program elsewhere brings the libraries it needs (none on Linux).
        const QDir programDir(s.path());
        const QDir cashDir = QFileInfo(cash).dir();
        for (const QString &library :
            programDir.entryList({ QStringLiteral("*.dll") }, QDir::Files))
            QFile::copy(programDir.filePath(library), cashDir.filePath(library));
    } else if (kind == QLatin1String("hard")) {
        std::filesystem::create_hard_link(native(s.path(s.programName())), native(cash), error);
    } else if (kind == QLatin1String("symbolic")) {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shell shortcut on Windows, which no process start follows");
#endif
        std::filesystem::create_symlink(native(s.path(s.programName())), native(cash), error);
    }
    QVERIFY2(!error, error.message().c_str());
    // The working directory is elsewhere.
    QVERIFY(QDir().mkpath(s.path(QStringLiteral("wd"))));
    QVERIFY(s.configure(QStringLiteral("exit 0"), 7,
        QStringLiteral("[CASH]\nExecutablePath=%1\nWorkingDirectory=wd\n")
            .arg(executablePath.replace(QLatin1String("{self}"), s.programName()))));
    QVERIFY(s.start());
    QCOMPARE(s.waitForExit(30000), 0);

    const QStringList entries = supervisorEntries(s);
    if (kind == QLatin1String("cashsim")) {
        QVERIFY2(entries == QStringList({ started, startedOk, appExit }),
            qPrintable(entries.join(QLatin1Char('\n'))));
        QCOMPARE(s.cashRecord().filter(QStringLiteral("cwd ")),
            QStringList(QStringLiteral("cwd ") + s.path(QStringLiteral("wd"))));
        return;
    }
    QCOMPARE(entries.size(), 3);
    QVERIFY2(entries.first().startsWith(QStringLiteral("ERRR; %1init; Cash application ").arg(own))
            && entries.first().endsWith(
                QLatin1String(" is this supervisor's own program: not started")),
        qPrintable(entries.first()));
    QCOMPARE(entries.mid(1), QStringList({ failedToStart[0], failedToStart[1] }));
}

void tst_Supervisor::argumentsReachCashApplication()
{
    // No quoting: every single blank separates two arguments, so a double blank is an empty one;
    // the supervisor's last "auth=" argument, spelled as typed, comes last.
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.configure(QStringLiteral("exit 0"), 7,
        QStringLiteral("[CASH]\nProgrammArguments=-a  -b %1\n").arg(s.cashOptions())));
    QVERIFY(s.start(
        { QStringLiteral("auth=one"), QStringLiteral("AUTH=two"), QStringLiteral("xauth=3") }));
    QCOMPARE(s.waitForExit(30000), 0);
    const QStringList arguments = s.cashRecord().filter(QRegularExpression(QStringLiteral("^\\[")));
    QCOMPARE(arguments.mid(0, 3), QStringList({ "[-a]", "[]", "[-b]" }));
    QCOMPARE(arguments.last(), QStringLiteral("[AUTH=two]"));
}

void tst_Supervisor::heldPort()
{
#ifdef Q_OS_WIN
    QSKIP("the port's exclusive use is tried under Wine against the channel itself");
#endif
    // Bound without address reuse: a port another socket holds, even one that allows reuse, makes
    // the start fail, and the supervisor ends without a cash application.
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.configure(QString(), 7));
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::AnyIPv4, s.serverPort(),
        QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
    QVERIFY(s.start());
    QCOMPARE(s.waitForExit(10000), 0);
    QCOMPARE(s.cashRuns(), 0);
    QCOMPARE(supervisorEntries(s),
        QStringList({ entry("ERRR", "init", QStringLiteral("IPC init failed")),
            entry("ERRR", "init", QStringLiteral("init failed")) }));
}

void tst_Supervisor::cashProgramGoneAtRestart()
{
#ifdef Q_OS_WIN
    QSKIP("the file of a running program cannot be removed on Windows");
#endif
    // A restart whose start fails leaves the supervisor idle, answering, not ended.
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    const QString program = s.path(QStringLiteral("cash"));
    QVERIFY(QFile::copy(QStringLiteral(CASHSIM_PATH), program));
    QVERIFY(s.configure(QStringLiteral("[run 1]\nsend restart\nwait-maintenance 20000\nexit 0"), 7,
        QStringLiteral("[CASH]\nExecutablePath=%1\n").arg(program)));
    QVERIFY(s.start());
    QVERIFY(s.waitForLog(QStringLiteral("RESTART_CMD_RECEIVED"), 10000));
    QVERIFY(QFile::remove(program));
    QVERIFY(s.releaseCashApp());
    QVERIFY(s.waitForLog(failedToStart[0], 10000));
    QVERIFY(s.answers());
    QVERIFY(s.isRunning());
    QCOMPARE(supervisorEntries(s),
        QStringList({ started, startedOk,
            entry("INFO", "restartCmd", QStringLiteral("RESTART_CMD_RECEIVED")),
            entry("NOTE", "slotProcessFinished",
                QStringLiteral("Выполняется перезапуск процесса кассы.")),
            failedToStart[0] }));
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
    // Every setting with its default, in the order read.
    QCOMPARE(entries.filter(QRegularExpression(QStringLiteral("^WARN; INIT:[A-Z]+; ")))
                 .join(QLatin1Char('|'))
                 .remove(QStringLiteral("WARN; INIT:")),
        QStringLiteral("CASH; LogLevel = 5|INTERPROCESS; CashAddress = 127.0.0.1|"
                       "INTERPROCESS; CashPort = 55006|INTERPROCESS; ServerFilterAddress = 1|"
                       "INTERPROCESS; LocalServerPort = 55005|CASH; ExecutablePath = ./vorcam|"
                       "CASH; WorkingDirectory = .|CASH; ProgrammArguments = |"
                       "MAINTENANCE; DisableMaintenance = 0|MAINTENANCE; MaintenanceTime = 04:00|"
                       "MAINTENANCE; PythonExePath = C:/Python27/python.exe|"
                       "MAINTENANCE; ScriptPath = ./scripts|MAINTENANCE; ArchiveDir = ./archive|"
                       "MAINTENANCE; ControlScript = control.py"));
    // A cash application that cannot be started ends the supervisor.
    QCOMPARE(supervisorEntries(s), QStringList({ failedToStart[0], failedToStart[1] }));
}

void tst_Supervisor::maintenanceOnceADay_data()
{
    QTest::addColumn<QString>("startTime"); // of the supervisor's clock; maintenance at 04:00
    QTest::addColumn<int>("announced");

    // The first tick comes 60 s after the start, and then one a minute.
    QTest::newRow("tick in the minute, the next one still near it") << "03:59:30" << 1;
    QTest::newRow("first tick just after the minute") << "04:00:10" << 1;
    QTest::newRow("started a tick after the minute") << "04:01:30" << 0;
}

void tst_Supervisor::maintenanceOnceADay()
{
    QFETCH(QString, startTime);
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
        7, QStringLiteral("[MAINTENANCE]\nMaintenanceTime=04:00\n")));
    // Twenty times as fast: a minute's tick every 3 s, timers and clock alike.
    s.setEnvironment(QStringLiteral("LD_PRELOAD"), QStringLiteral(LIBFAKETIME_PATH));
    s.setEnvironment(
        QStringLiteral("FAKETIME"), QStringLiteral("@2024-04-10 %1 x20").arg(startTime));
    QVERIFY(s.start());
    QCOMPARE(s.waitForExit(60000), 0);

    const QStringList entries = supervisorEntries(s);
    QVERIFY2(
        entries.count(entry("DEBG", "slotMaintainerStart", QStringLiteral("enter"))) == announced,
        qPrintable(entries.join(QLatin1Char('\n'))));
    // A second run only after the maintenance it made way for.
    QCOMPARE(s.cashRuns(), announced + 1);
    QCOMPARE(entries.last(), appExit);
}

void tst_Supervisor::commandFromAnotherUser()
{
    // Our own user's commands are every other test's; nobody (65534) sends one here.
#ifdef Q_OS_UNIX
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("sending as another user needs root and setpriv (util-linux)");
#else
    const QString setpriv;
    QSKIP("Wine names no owner of a socket");
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
    QProcess sender;
    sender.setProcessChannelMode(QProcess::MergedChannels);
    sender.start(setpriv,
        { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
            QStringLiteral("--clear-groups"), cashsim, QStringLiteral("send"),
            QStringLiteral("restart"), QStringLiteral("--server-port"),
            QString::number(s.serverPort()) });
    QVERIFY(sender.waitForFinished(10000));
    const QString output = QString::fromUtf8(sender.readAll());
    const QString port =
        QRegularExpression(QStringLiteral("bound to [0-9.]+:(\\d+)")).match(output).captured(1);
    QVERIFY2(!port.isEmpty(), qPrintable(output));
    QCOMPARE(sender.exitCode(), 4); // no answer within 3 s, as from a foreign address

    const QStringList entries = s.log();
    QVERIFY(!entries.contains(entry("INFO", "restartCmd", QStringLiteral("RESTART_CMD_RECEIVED"))));
    QVERIFY(entries.contains(QStringLiteral("WARN; UDP::processRead; Datagram from 127.0.0.1:%1 "
                                            "dropped: the port is held by uid 65534 (nobody)")
                                 .arg(port)));
    QVERIFY(s.isRunning());
}

QTEST_GUILESS_MAIN(tst_Supervisor)
#include "tst_supervisor.moc"
