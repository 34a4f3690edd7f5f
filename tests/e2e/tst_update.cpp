#include "app/bootstrap.h"
#include "processutil.h"
#include "supervisorprocess.h"
#include "tarbuilder.h"
#include "testutil.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

// The road of an update through the real supervisor: the command, the installation with backups
// and the self-restart into a new instance. Refused sources and failed installations are in
// tst_faults, hostile packages in tst_tinytarunpacker.
class tst_Update : public QObject
{
    Q_OBJECT

private slots:
    void updateAndRestart();
    void restartFallsBackWhenOldInstanceSurvives();
    void slowRestartLeavesOneCashApplication();
    void staleScriptCannotBeRemoved();
    void restartsInALoop();
    void interruptedUpdateUndoneAtStart_data();
    void interruptedUpdateUndoneAtStart();
    void signedUpdate_data();
    void signedUpdate();
};

namespace {
const QString finished = QStringLiteral("LocalCashServer:LocalCashServer::slotProcessFinished");
const QString appExit = QStringLiteral("EMRG; %1; APP EXIT").arg(finished);
const QString started = QStringLiteral("DEBG; LocalCashServer:LocalCashServer::slotProcessStarted; "
                                       "Cash application started");
const QString updateScenario =
    QStringLiteral("[run 1]\nsend update update.tgz\nexit 0\n[run *]\nexit 0\n");

const QString scriptName = bootstrapScriptName(currentScriptPlatform());

QByteArray package(const QByteArray &name, const QByteArray &content)
{
    return gzipCompressed(TarBuilder().file(name, content).end().tar());
}
} // namespace

void tst_Update::updateAndRestart()
{
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(writeFile(s.path(QStringLiteral("data/old.txt")), "installed before\n"));
    QVERIFY(writeFile(s.path(scriptName), "stale script\n"));

    // The package brings a new build of the supervisor itself, as a real update does.
    const QString program = s.programName();
    const QByteArray build = readFile(s.path(program));
    QByteArray mode = TarBuilder::header("./" + program.toUtf8(), quint64(build.size()));
    TarBuilder::setField(mode, TarBuilder::Mode, QByteArray("0000755"));
    const QString packagePath = s.path(QStringLiteral("update.tgz"));
    QVERIFY(writeFile(packagePath,
        gzipCompressed(TarBuilder()
                           .entry(mode, build)
                           .directory("./data/")
                           .file("./data/old.txt", "new version\n")
                           .file("./data/added.txt", "added\n")
                           .end()
                           .tar())));
    QVERIFY(s.configure(QStringLiteral("[run 1]\nsend update %1\nexit 0\n"
                                       "[run 2]\nwait-maintenance 30000\nexit 0\n")
                            .arg(packagePath),
        7));
    QVERIFY(s.start());
    const qint64 oldPid = s.pid();

    // The old instance is ended from outside by the restart script (its log has no "APP EXIT").
    QTRY_VERIFY2_WITH_TIMEOUT(!s.isRunning(), "the old instance was not ended", 20000);

    // Exactly one new instance, which starts the cash application again; the second run, once
    // released, ends everything.
    QVERIFY(s.waitForCashRun(2, 30000) > 0);
    const QList<qint64> successors = s.programPids();
    QCOMPARE(successors.size(), 1);
    QVERIFY(successors.first() != oldPid);
    QVERIFY(s.releaseCashApp());
    QVERIFY(s.waitForLog(appExit, 30000));
    QTRY_VERIFY_WITH_TIMEOUT(s.programPids().isEmpty(), 10000);
    QCOMPARE(s.cashRuns(), 2);
    QVERIFY(!QFileInfo::exists(s.path(scriptName)));

    // Installed over the program directory, the replaced files kept in the backup tree.
    QCOMPARE(readFile(s.path(QStringLiteral("data/old.txt"))), QByteArray("new version\n"));
    QCOMPARE(readFile(s.path(QStringLiteral("data/added.txt"))), QByteArray("added\n"));
    QCOMPARE(
        readFile(s.path(QStringLiteral("backup/data/old.txt"))), QByteArray("installed before\n"));
    QVERIFY(QFileInfo(s.path(QStringLiteral("backup/") + program)).isFile());
    QVERIFY(!QFileInfo::exists(s.path(QStringLiteral("backup/data/added.txt"))));

    // The old run's log was moved aside by the new instance, which begins a fresh one.
    const QStringList rotated =
        QDir(s.path(QStringLiteral("log"))).entryList({ QStringLiteral("localserver_*.log") });
    QCOMPARE(rotated.size(), 1);
    const QStringList oldLog = logEntries(s.path(QStringLiteral("log/") + rotated.first()));
    const int stop = oldLog.indexOf(
        QStringLiteral("NOTE; %1; Процесс кассы остановлен для выполнения обновления.")
            .arg(finished));
    QVERIFY2(stop > 0, qPrintable(oldLog.join(QLatin1Char('\n'))));
    QCOMPARE(oldLog.at(stop - 1),
        QStringLiteral("INFO; LocalCashServer:LocalCashServer::updateCmd; "
                       "UPDATE_CMD_RECEIVED updater file = '%1'")
            .arg(packagePath));
    QCOMPARE(oldLog.at(stop + 1),
        QStringLiteral("INFO; TinyTarUnpackerPrivate::unpack; Распаковка архива '%1' в '.'...")
            .arg(packagePath));
    QVERIFY(
        oldLog.contains(QStringLiteral("INFO; TinyTarUnpackerPrivate::unpack; Создание резервной "
                                       "копии файла '%1'")
                            .arg(s.path(QStringLiteral("./data/old.txt")))));
    QVERIFY(!oldLog.contains(appExit));

    const QStringList newLog = s.log();
    QVERIFY(newLog.first().startsWith(QStringLiteral("EMRG; main; LocalCashServer app started")));
    QVERIFY(newLog.contains(started));
    QCOMPARE(newLog.last(), appExit);
}

void tst_Update::restartFallsBackWhenOldInstanceSurvives()
{
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.preventSelfRestart());
    QVERIFY(writeFile(s.path(QStringLiteral("update.tgz")), package("readme.txt", "hello\n")));
    QVERIFY(s.configure(updateScenario, 7));
    QVERIFY(s.start());
    QVERIFY2(s.waitForExit(20000) == 0, "the supervisor did not carry on after the failed restart");

    const QStringList entries = s.log();
    const int warning = entries.indexOf(
        QStringLiteral("WARN; LocalCashServer:LocalCashServer::slotBootstrapFailed; "
                       "Не удалось перезапустить собственный процесс."));
    QVERIFY2(warning > 0, qPrintable(entries.join(QLatin1Char('\n'))));
    QCOMPARE(entries.mid(warning + 1),
        QStringList({ started,
            QStringLiteral("INFO; LocalCashServer:LocalCashServer::startProcess; "
                           "Cash process started successfully"),
            appExit }));
    QCOMPARE(readFile(s.path(QStringLiteral("readme.txt"))), QByteArray("hello\n"));
    QCOMPARE(entries.filter(QStringLiteral("main; LocalCashServer app started")).size(), 1);
}

void tst_Update::slowRestartLeavesOneCashApplication()
{
    // The script ends the old instance 7 s after it started, well after that instance's 5 s.
    // The old one must not start a cash application of its own meanwhile.
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(s.slowSelfRestart());
    QVERIFY(writeFile(s.path(QStringLiteral("update.tgz")), package("readme.txt", "hello\n")));
    QVERIFY(s.configure(QStringLiteral("[run 1]\nsend update update.tgz\nexit 0\n[run *]\n"), 7));
    QVERIFY(s.start());

    QTRY_VERIFY2_WITH_TIMEOUT(!s.isRunning(), "the old instance was not ended", 20000);
    // The new instance, in a log of its own, has started its cash application.
    QTRY_VERIFY_WITH_TIMEOUT(s.log().filter(QStringLiteral("обновления")).isEmpty()
            && !s.log().filter(QStringLiteral("Cash process started successfully")).isEmpty(),
        20000);
    // The old one was ended by the script 7 s after its last line, without falling back.
    const QStringList rotated =
        QDir(s.path(QStringLiteral("log"))).entryList({ QStringLiteral("localserver_*.log") });
    QCOMPARE(rotated.size(), 1);
    const QList<LogLine> oldLog = readLog(s.path(QStringLiteral("log/") + rotated.first()));
    const QList<LogLine> newLog = readLog(s.path(QStringLiteral("log/localserver.log")));
    for (const LogLine &line : oldLog)
        QVERIFY2(!line.where.endsWith(QLatin1String("slotBootstrapFailed")), qPrintable(line.text));
    const QString format = QStringLiteral("dd/MM/yy hh:mm:ss.zzz");
    QVERIFY(QDateTime::fromString(oldLog.last().time, format)
                .msecsTo(QDateTime::fromString(newLog.first().time, format))
        >= 7000);
    QCOMPARE(s.programPids().size(), 1);
    QVERIFY(!s.programPids().contains(s.pid()));
    QVERIFY(s.waitForCashRun(2, 10000) > 0);
    QCOMPARE(s.cashRuns(), 2);
    QSet<qint64> running;
    for (const QString &line : s.cashRecord()) {
        if (line.startsWith(QLatin1String("pid ")) && processRunning(line.mid(4).toLongLong()))
            running.insert(line.mid(4).toLongLong());
    }
    QCOMPARE(running.size(), 1);
    // The script deletes itself after starting the new instance.
    QTRY_VERIFY(!QFileInfo::exists(s.path(scriptName)));
}

void tst_Update::staleScriptCannotBeRemoved()
{
    // Something that cannot be removed as a file stands where the script goes: one error line,
    // no script, no timer; the supervisor stays up without a cash application.
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(writeFile(s.path(scriptName + QStringLiteral("/keep")), "x"));
    QVERIFY(writeFile(s.path(QStringLiteral("update.tgz")), package("a.txt", "a\n")));
    QVERIFY(s.configure(updateScenario, 7));
    QVERIFY(s.start());

    QVERIFY(
        s.waitForLog(QStringLiteral("ERRR; LocalCashServer:LocalCashServer::bootstrap; Не удалось "
                                    "удалить предыдущую копию '%1': (")
                         .arg(scriptName),
            20000));
    QCOMPARE(readFile(s.path(QStringLiteral("a.txt"))), QByteArray("a\n"));
    QVERIFY(!s.waitForLog(
        QStringLiteral("WARN; LocalCashServer:LocalCashServer::slotBootstrapFailed"), 6000));
    QCOMPARE(s.log().filter(started).size(), 1);
    QVERIFY(s.isRunning());
}

void tst_Update::restartsInALoop()
{
    // Each new instance binds the command port the old one held, without address reuse: the
    // cash application of the next run only starts when that bind succeeded.
    const int restarts = 4;
    QString scenario;
    for (int run = 1; run <= restarts; ++run)
        scenario += QStringLiteral("[run %1]\nsend update update.tgz\nexit 0\n").arg(run);
    scenario += QStringLiteral("[run *]\nexit 0\n");

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(writeFile(s.path(QStringLiteral("update.tgz")), package("a.txt", "a\n")));
    QVERIFY(s.configure(scenario, 6));
    QVERIFY(s.start());
    QVERIFY(s.waitForLog(appExit, 30000 * restarts));
    QTRY_VERIFY_WITH_TIMEOUT(s.programPids().isEmpty(), 10000);
    QCOMPARE(s.cashRuns(), restarts + 1);

    const QStringList logs = QDir(s.path(QStringLiteral("log"))).entryList(QDir::Files);
    for (const QString &name : logs) {
        const QStringList entries = logEntries(s.path(QStringLiteral("log/") + name));
        QVERIFY2(entries.filter(QStringLiteral("IPC init failed")).isEmpty(), qPrintable(name));
    }
}

void tst_Update::interruptedUpdateUndoneAtStart_data()
{
    QTest::addColumn<QByteArray>("journal"); // backup.journal, as a kill left it
    QTest::addColumn<bool>("starts"); // the cash application

    // The old file set aside and the new one in place: undone, then the till starts.
    QTest::newRow("undone") << QByteArray("localcashserver installation journal 1\nid 0badf00d\n"
                                          "group\nfile aside 0 data.txt\n")
                            << true;
    QTest::newRow("not a journal") << QByteArray("something else\n") << false;
}

void tst_Update::interruptedUpdateUndoneAtStart()
{
    QFETCH(QByteArray, journal);
    QFETCH(bool, starts);
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    QVERIFY(writeFile(s.path(QStringLiteral("data.txt")), "new"));
    QVERIFY(writeFile(s.path(QStringLiteral(".data.txt.0badf00d.old")), "old"));
    QVERIFY(writeFile(s.path(QStringLiteral("backup.journal")), journal));
    QVERIFY(s.configure(QStringLiteral("[run *]\nexit 0\n"), 5));
    QVERIFY(s.start());

    const QString recover = QStringLiteral("TinyTarUnpackerPrivate::recover");
    if (starts) {
        QVERIFY2(s.waitForLog(appExit, 20000), qPrintable(s.log().join(QLatin1Char('\n'))));
        VERIFY_IN_ORDER(s.log(),
            QStringList({ QStringLiteral("EMRG; main; LocalCashServer app started*"),
                QStringLiteral("WARN; %1; Обнаружена прерванная установка*").arg(recover),
                QStringLiteral("WARN; %1; Прерванная установка отменена: файлы возвращены в "
                               "состояние до обновления.")
                    .arg(recover),
                QStringLiteral("WARN; INIT:; ===*"), appExit }));
        QCOMPARE(readFile(s.path(QStringLiteral("data.txt"))), QByteArray("old"));
        QVERIFY(!QFile::exists(s.path(QStringLiteral("backup.journal"))));
    } else {
        QCOMPARE(s.waitForExit(20000), 0);
        QCOMPARE(s.log().mid(1),
            QStringList({ QStringLiteral("ERRR; %1; Журнал установки '%2' не прочитан: это не "
                                         "журнал установки")
                              .arg(recover, s.path(QStringLiteral("backup.journal"))),
                QStringLiteral("CRIT; main; Прерванная установка обновления не отменена: касса "
                               "не запускается.") }));
        QCOMPARE(s.cashRuns(), 0);
    }
}

void tst_Update::signedUpdate_data()
{
    QTest::addColumn<QString>("signer"); // the private key the package is signed with
    QTest::newRow("signed with the trusted key") << "trusted";
    QTest::newRow("signed with another key") << "other";
}

void tst_Update::signedUpdate()
{
    QFETCH(QString, signer);
    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    // The keys and the package are made outside the program's directory, as a vendor makes them;
    // only the public key is installed there.
    const auto cashpkg = [](const QStringList &arguments) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(testProgram(CASHPKG_PATH), arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    };
    const QString trustedKey = s.path(QStringLiteral("update-key.pub"));
    QVERIFY(writeFile(s.outsidePath(QStringLiteral("src/a.txt")), "signed\n"));
    QVERIFY(cashpkg({ QStringLiteral("keygen"), s.outsidePath(QStringLiteral("trusted.key")),
        QStringLiteral("--public"), trustedKey }));
    QVERIFY(cashpkg({ QStringLiteral("keygen"), s.outsidePath(QStringLiteral("other.key")),
        QStringLiteral("--public"), s.outsidePath(QStringLiteral("other.pub")) }));
    QVERIFY(cashpkg({ QStringLiteral("build"), s.outsidePath(QStringLiteral("src")),
        QStringLiteral("-o"), s.path(QStringLiteral("update.tgz")), QStringLiteral("--sign"),
        s.outsidePath(signer + QLatin1String(".key")) }));
    QVERIFY(s.configure(updateScenario, 6));
    QVERIFY(s.start());

    if (signer == QLatin1String("trusted")) {
        QVERIFY(s.waitForCashRun(2, 30000) > 0);
        QCOMPARE(readFile(s.path(QStringLiteral("a.txt"))), QByteArray("signed\n"));
        return;
    }
    QVERIFY2(s.waitForLog(QStringLiteral("ERRR; TinyTarUnpackerPrivate::unpack; Пакет обновления "
                                         "'update.tgz' не прошёл проверку: подпись "
                                         "'update.tgz.sig' не подходит к пакету и ключу '%1'.")
                              .arg(QDir::toNativeSeparators(trustedKey)),
                 20000),
        qPrintable(s.log().join(QLatin1Char('\n'))));
    QVERIFY(!QFile::exists(s.path(QStringLiteral("a.txt"))));
    QVERIFY(s.isRunning());
    QCOMPARE(s.cashRuns(), 1);
}

QTEST_GUILESS_MAIN(tst_Update)
#include "tst_update.moc"
