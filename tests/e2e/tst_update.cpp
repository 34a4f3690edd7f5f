#include "supervisorfixture.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

// The road of an update through the real supervisor: the command, the checks of the source, the
// installation with backups and the self-restart into a new instance.
class tst_Update : public QObject
{
    Q_OBJECT

private slots:
    void updateAndRestart();
    void restartFallsBackWhenOldInstanceSurvives();
    void sourceRefused_data();
    void sourceRefused();
    void packageRejectedByInstaller();
    void staleScriptCannotBeRemoved();

private:
    static bool makePackage(const QString &sourceDir, const QString &package);
};

namespace {
const QString finished = QStringLiteral("LocalCashServer:LocalCashServer::slotProcessFinished");
const QString stoppedForUpdate =
        QStringLiteral("NOTE; %1; Процесс кассы остановлен для выполнения обновления.").arg(finished);
const QString appExit = QStringLiteral("EMRG; %1; APP EXIT").arg(finished);
const QString started = QStringLiteral("DEBG; LocalCashServer:LocalCashServer::slotProcessStarted; "
                                       "Cash application started");

bool makeExecutable(const QString &path, const QByteArray &script)
{
    return writeFile(path, script)
            && QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
}
} // namespace

bool tst_Update::makePackage(const QString &sourceDir, const QString &package)
{
    QProcess tar;
    tar.start(QStringLiteral("tar"), { QStringLiteral("-czf"), package, QStringLiteral("-C"),
                                        sourceDir, QStringLiteral(".") });
    return tar.waitForFinished(30000) && tar.exitStatus() == QProcess::NormalExit
            && tar.exitCode() == 0;
}

void tst_Update::updateAndRestart()
{
    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    QVERIFY(writeFile(f.path(QStringLiteral("data/old.txt")), "installed before\n"));
    QVERIFY(writeFile(f.path(QStringLiteral("bootstrap.sh")), "stale script\n"));

    // The package brings a new build of the supervisor itself, as a real update does.
    const QString source = f.path(QStringLiteral("pkgsrc"));
    QVERIFY(QFile::copy(f.path(f.programName()), source + QLatin1Char('/') + f.programName())
            || (QDir().mkpath(source)
                && QFile::copy(f.path(f.programName()), source + QLatin1Char('/') + f.programName())));
    QVERIFY(writeFile(source + QStringLiteral("/data/old.txt"), "new version\n"));
    QVERIFY(writeFile(source + QStringLiteral("/data/added.txt"), "added\n"));
    QVERIFY(makePackage(source, f.path(QStringLiteral("update.tgz"))));

    f.setScenario(QStringLiteral("[run 1]\nrecord record.txt\nsend update %1\nexit 0\n"
                                 "[run *]\nrecord record.txt\nexit 0\n")
                          .arg(f.path(QStringLiteral("update.tgz"))));
    QVERIFY(f.start());
    const qint64 oldPid = f.process().processId();

    // The old instance is ended from outside by the restart script, not by itself.
    QVERIFY2(f.waitForFinished(20000), "the old instance was not ended");
    QCOMPARE(f.exitStatus(), QProcess::CrashExit);

    // The new instance starts the cash application again; its second run ends everything.
    QVERIFY(f.waitForLog(appExit, 30000));
    QTRY_VERIFY_WITH_TIMEOUT(f.programPids().isEmpty(), 10000);
    QCOMPARE(f.cashRecord().filter(QRegularExpression(QStringLiteral("^run "))),
             QStringList({ QStringLiteral("run 1"), QStringLiteral("run 2") }));
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("bootstrap.sh"))));

    // Installed over the program directory, the replaced files kept in the backup tree.
    QCOMPARE(readFile(f.path(QStringLiteral("data/old.txt"))), QByteArray("new version\n"));
    QCOMPARE(readFile(f.path(QStringLiteral("data/added.txt"))), QByteArray("added\n"));
    QCOMPARE(readFile(f.path(QStringLiteral("backup/data/old.txt"))), QByteArray("installed before\n"));
    QVERIFY(QFileInfo(f.path(QStringLiteral("backup/") + f.programName())).isFile());
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("backup/data/added.txt"))));

    // The old run's log was moved aside by the new instance, which begins a fresh one.
    const QStringList rotated = QDir(f.path(QStringLiteral("log")))
                                        .entryList({ QStringLiteral("localserver_*.log") });
    QCOMPARE(rotated.size(), 1);
    const QStringList oldLog = logEntries(f.path(QStringLiteral("log/") + rotated.first()));
    const int stop = oldLog.indexOf(stoppedForUpdate);
    QVERIFY2(stop > 0, qPrintable(oldLog.join(QLatin1Char('\n'))));
    QCOMPARE(oldLog.at(stop - 1),
             QStringLiteral("INFO; LocalCashServer:LocalCashServer::updateCmd; "
                            "UPDATE_CMD_RECEIVED updater file = '%1'")
                     .arg(f.path(QStringLiteral("update.tgz"))));
    QCOMPARE(oldLog.at(stop + 1),
             QStringLiteral("INFO; TinyTarUnpackerPrivate::unpack; Распаковка архива '%1' в '.'...")
                     .arg(f.path(QStringLiteral("update.tgz"))));
    QVERIFY(oldLog.contains(QStringLiteral("INFO; TinyTarUnpackerPrivate::unpack; Создание резервной "
                                           "копии файла '%1'")
                                    .arg(f.path(QStringLiteral("./data/old.txt")))));
    QVERIFY(!oldLog.contains(appExit));

    const QStringList newLog = f.logEntries();
    QVERIFY(newLog.first().startsWith(QStringLiteral("EMRG; main; LocalCashServer app started")));
    QVERIFY(newLog.contains(started));
    QCOMPARE(newLog.last(), appExit);
    QVERIFY(!f.programPids().contains(oldPid));
}

void tst_Update::restartFallsBackWhenOldInstanceSurvives()
{
    // A readlink that finds nothing and a setsid that starts nothing: the script runs but
    // neither ends the old instance nor starts a new one.
    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    QVERIFY(makeExecutable(f.path(QStringLiteral("fakebin/readlink")), "#!/bin/sh\nexit 1\n"));
    QVERIFY(makeExecutable(f.path(QStringLiteral("fakebin/setsid")), "#!/bin/sh\nexit 0\n"));
    const QString source = f.path(QStringLiteral("pkgsrc"));
    QVERIFY(writeFile(source + QStringLiteral("/readme.txt"), "hello\n"));
    QVERIFY(makePackage(source, f.path(QStringLiteral("update.tgz"))));
    f.setScenario(QStringLiteral("[run 1]\nsend update update.tgz\nexit 0\n[run *]\nexit 0\n"));

    QVERIFY(f.start());
    QVERIFY2(f.waitForFinished(20000), "the supervisor did not carry on after the failed restart");
    QCOMPARE(f.exitStatus(), QProcess::NormalExit);
    QCOMPARE(f.exitCode(), 0);

    const QStringList entries = f.logEntries();
    const int warning = entries.indexOf(
            QStringLiteral("WARN; LocalCashServer:LocalCashServer::slotBootstrapFailed; "
                           "Не удалось перезапустить собственный процесс."));
    QVERIFY2(warning > 0, qPrintable(entries.join(QLatin1Char('\n'))));
    QCOMPARE(entries.mid(warning + 1),
             QStringList({ started,
                           QStringLiteral("INFO; LocalCashServer:LocalCashServer::startProcess; "
                                          "Cash process started successfully"),
                           appExit }));
    QCOMPARE(readFile(f.path(QStringLiteral("readme.txt"))), QByteArray("hello\n"));
    QCOMPARE(f.logEntries().filter(QStringLiteral("main; LocalCashServer app started")).size(), 1);
}

void tst_Update::sourceRefused_data()
{
    QTest::addColumn<QString>("source"); // relative to the program directory
    QTest::addColumn<QString>("message"); // %1: the absolute path

    QTest::newRow("empty") << QString() << QStringLiteral("Не задан путь до источника обновления.");
    QTest::newRow("missing") << QStringLiteral("no-such.tgz")
                             << QStringLiteral("Источник обновления '%1' не найден.");
    QTest::newRow("directory") << QStringLiteral("pkgdir")
                               << QStringLiteral("Источник обновления '%1' не является файлом.");
    QTest::newRow("link to a valid package")
            << QStringLiteral("link.tgz") << QStringLiteral("Источник обновления '%1' является ссылкой.");
}

void tst_Update::sourceRefused()
{
    QFETCH(QString, source);
    QFETCH(QString, message);

    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    QVERIFY(QDir().mkpath(f.path(QStringLiteral("pkgdir"))));
    QVERIFY(writeFile(f.path(QStringLiteral("pkgsrc/a.txt")), "a\n"));
    QVERIFY(makePackage(f.path(QStringLiteral("pkgsrc")), f.path(QStringLiteral("real.tgz"))));
    QVERIFY(QFile::link(f.path(QStringLiteral("real.tgz")), f.path(QStringLiteral("link.tgz"))));
    f.setScenario(QStringLiteral("[run 1]\nsend update %1\nexit 0\n[run *]\nexit 0\n").arg(source));
    QVERIFY(f.start());

    // Relative paths are taken from the program directory and shown absolute.
    const QString line = QStringLiteral("ERRR; %1; %2")
                                 .arg(finished, message.contains(QLatin1String("%1"))
                                                        ? message.arg(f.path(source))
                                                        : message);
    QVERIFY(f.waitForLog(line));
    const QStringList entries = f.logEntries();
    QCOMPARE(entries.at(entries.indexOf(line) - 1), stoppedForUpdate);
    // Nothing installed, no restart, and the cash application stays stopped.
    QVERIFY(entries.filter(QStringLiteral("TinyTarUnpackerPrivate")).isEmpty());
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("a.txt"))));
    QCOMPARE(entries.filter(started).size(), 1);
    QCOMPARE(f.process().state(), QProcess::Running);
}

void tst_Update::packageRejectedByInstaller()
{
    // An uncompressed tar file: the installer says it starts, then fails without a line of its own.
    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    QVERIFY(writeFile(f.path(QStringLiteral("pkgsrc/a.txt")), "a\n"));
    QProcess tar;
    tar.start(QStringLiteral("tar"), { QStringLiteral("-cf"), f.path(QStringLiteral("plain.tar")),
                                        QStringLiteral("-C"), f.path(QStringLiteral("pkgsrc")),
                                        QStringLiteral(".") });
    QVERIFY(tar.waitForFinished() && tar.exitCode() == 0);
    f.setScenario(QStringLiteral("[run 1]\nsend update plain.tar\nexit 0\n[run *]\nexit 0\n"));
    QVERIFY(f.start());

    const QString unpacking = QStringLiteral("INFO; TinyTarUnpackerPrivate::unpack; Распаковка архива "
                                             "'plain.tar' в '.'...");
    QVERIFY(f.waitForLog(unpacking));
    QVERIFY(f.waitForLog(QStringLiteral("DEBG; UDP::send"), 0, true) || true);
    const QStringList entries = f.logEntries();
    QCOMPARE(entries.last(), unpacking);
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("bootstrap.sh"))));
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("a.txt"))));
    QCOMPARE(f.process().state(), QProcess::Running);
}

void tst_Update::staleScriptCannotBeRemoved()
{
    // Something that cannot be removed as a file stands where the script goes: one error line,
    // no script, no timer; the supervisor stays up without a cash application.
    SupervisorFixture f;
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    QVERIFY(writeFile(f.path(QStringLiteral("bootstrap.sh/keep")), "x"));
    QVERIFY(writeFile(f.path(QStringLiteral("pkgsrc/a.txt")), "a\n"));
    QVERIFY(makePackage(f.path(QStringLiteral("pkgsrc")), f.path(QStringLiteral("update.tgz"))));
    f.setScenario(QStringLiteral("[run 1]\nsend update update.tgz\nexit 0\n[run *]\nexit 0\n"));
    QVERIFY(f.start());

    const QString error = QStringLiteral("ERRR; LocalCashServer:LocalCashServer::bootstrap; Не удалось "
                                         "удалить предыдущую копию 'bootstrap.sh': (");
    QVERIFY(f.waitForLog(error, 20000, true));
    QCOMPARE(readFile(f.path(QStringLiteral("a.txt"))), QByteArray("a\n"));
    QVERIFY(!f.waitForLog(QStringLiteral("WARN; LocalCashServer:LocalCashServer::slotBootstrapFailed"),
                          6000, true));
    QCOMPARE(f.logEntries().filter(started).size(), 1);
    QCOMPARE(f.process().state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(tst_Update)
#include "tst_update.moc"
