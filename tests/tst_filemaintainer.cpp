#include "maintenance/filemaintainer.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_FileMaintainer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void refusedStart_data();
    void refusedStart();
    void scriptRun_data();
    void scriptRun();
    void arguments();
    void interpreterNotExecutable();
    void secondStartWhileRunning();
    void destructionWaitsForScript();
    void announcedOnce_data();
    void announcedOnce();
    void dueDay_data();
    void dueDay();

private:
    QString path(const QString &name) const { return QDir(dir->path()).filePath(name); }
    QStringList entries() const { return logEntries(path(QStringLiteral("localserver.log"))); }
    bool writeScript(const QString &body) const
    {
        return writeFile(path(QStringLiteral("scripts/control.sh")), body.toUtf8());
    }
    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<FileMaintainer> maintainer;
    QString startDirectory;
};

const QString started = QStringLiteral(
    "INFO; Maintainer:FileMaintainer::startScript; Maintenance control script started.");

void tst_FileMaintainer::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    Log::setDirectory(dir->path());
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);
    startDirectory = QDir::currentPath();
    maintainer.reset(new FileMaintainer);
    maintainer->setPythonExePath(QStringLiteral("/bin/sh"));
    maintainer->setScriptPath(path(QStringLiteral("scripts")));
    maintainer->setControlScript(QStringLiteral("control.sh"));
    maintainer->setArchiveDir(QStringLiteral("./archive"));
}

void tst_FileMaintainer::cleanup()
{
    maintainer.reset();
    QDir::setCurrent(startDirectory);
}

void tst_FileMaintainer::refusedStart_data()
{
    QTest::addColumn<QString>("controlScript");
    QTest::addColumn<QString>("interpreter"); // relative to the test directory unless absolute
    QTest::addColumn<QString>("entry"); // {dir} stands for the test directory

    const QString where = QStringLiteral("ERRR; Maintainer:FileMaintainer::startScript; ");
    QTest::newRow("no script name")
        << QString() << QStringLiteral("/bin/sh")
        << where + QStringLiteral("Maintenance control script filename not set.");
    QTest::newRow("interpreter missing")
        << QStringLiteral("control.sh") << QStringLiteral("python")
        << where + QStringLiteral("Executable file {dir}/python does not exists.");
    QTest::newRow("script missing") << QStringLiteral("absent.sh") << QStringLiteral("/bin/sh")
                                    << where
            + QStringLiteral("Maintenance control script {dir}/scripts/absent.sh does not exists.");
}

void tst_FileMaintainer::refusedStart()
{
    QFETCH(QString, controlScript);
    QFETCH(QString, interpreter);
    QFETCH(QString, entry);

    QVERIFY(writeScript(QStringLiteral("exit 0\n")));
    maintainer->setControlScript(controlScript);
    maintainer->setPythonExePath(path(interpreter));
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    QVERIFY(!maintainer->startScript());
    QCOMPARE(entries(), QStringList { entry.replace(QLatin1String("{dir}"), dir->path()) });
    QCOMPARE(finished.count(), 0);
}

void tst_FileMaintainer::scriptRun_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("lines"); // after the start line
    QTest::addColumn<int>("finishedSignals");

    const QString out = QStringLiteral("INFO; Maintainer:FileMaintainer::slotReadStandardOutput; ");
    const QString err = QStringLiteral("ERRR; Maintainer:FileMaintainer::slotReadStandardError; ");
    const QString done =
        QStringLiteral("INFO; Maintainer:FileMaintainer::slotFinished; "
                       "Maintenance control script finished successfuly with exitcode ");
    QTest::newRow("output, exit 0")
        << QStringLiteral("printf 'one\\ntwo\\n'")
        << QStringList { out + QStringLiteral("OUT:\none\ntwo\n"), done + QLatin1Char('0') } << 1;
    QTest::newRow("error output, exit 1")
        << QStringLiteral("printf 'bad\\n' >&2; exit 1")
        << QStringList { err + QStringLiteral("ERROR:\nbad\n"), done + QLatin1Char('1') } << 1;
    // Not UTF-8, so Windows-1251, where 0xb0 is the degree sign too.
    QTest::newRow("windows-1251 up to a zero byte")
        << QStringLiteral("printf 'deg\\260\\000tail'")
        << QStringList { out + QStringLiteral("OUT:\ndeg\u00b0"), done + QLatin1Char('0') } << 1;
    QTest::newRow("utf-8 character split between two reads")
        << QStringLiteral("printf '\\320'; sleep 0.3; printf '\\224\\320\\260\\n'")
        << QStringList { out + QStringLiteral("OUT:\nДа\n"), done + QLatin1Char('0') } << 1;
    // 0xee begins a UTF-8 character that never comes: it was Windows-1251 after all.
    QTest::newRow("character never completed")
        << QStringLiteral("printf 'ok \\356'")
        << QStringList { out + QStringLiteral("OUT:\nok "), out + QStringLiteral("OUT:\nо"),
               done + QLatin1Char('0') }
        << 1;
    QTest::newRow("crash")
        << QStringLiteral("kill -s SEGV $$")
        << QStringList { QStringLiteral("ERRR; Maintainer:FileMaintainer::slotError; "
                                        "Maintenance control script failed: (1) Process crashed"),
               QStringLiteral("ERRR; Maintainer:FileMaintainer::slotFinished; "
                              "Maintenance control script crashed with exitcode 11") }
        << 2;
}

void tst_FileMaintainer::scriptRun()
{
    QFETCH(QString, body);
    QFETCH(QStringList, lines);
    QFETCH(int, finishedSignals);

    QVERIFY(writeScript(body));
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    QVERIFY(maintainer->startScript());
    QTRY_COMPARE(finished.count(), finishedSignals);
    QCOMPARE(entries(), QStringList { started } + lines);
}

void tst_FileMaintainer::arguments()
{
    // Relative settings are taken against the current directory, which the script shares.
    QVERIFY(QDir::setCurrent(dir->path()));
    maintainer->setScriptPath(QStringLiteral("scripts"));
    QVERIFY(QFile::link(QStringLiteral("/bin/sh"), QStringLiteral("interpreter")));
    maintainer->setPythonExePath(QStringLiteral("interpreter")); // not to be looked up in PATH
    QVERIFY(writeScript(QStringLiteral("printf '%s\\n' \"$0\" \"$#\" \"$1\" \"$PWD\"")));
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    QVERIFY(maintainer->startScript());
    QTRY_COMPARE(finished.count(), 1);
    const QString here = QDir::currentPath();
    QCOMPARE(entries().value(1),
        QStringLiteral("INFO; Maintainer:FileMaintainer::slotReadStandardOutput; OUT:\n"
                       "%1/scripts/control.sh\n1\n./archive\n%1\n")
            .arg(here));
}

void tst_FileMaintainer::interpreterNotExecutable()
{
    QVERIFY(writeScript(QStringLiteral("exit 0\n")));
    QVERIFY(writeFile(path(QStringLiteral("python")), "not a program"));
    maintainer->setPythonExePath(path(QStringLiteral("python")));
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    QVERIFY(!maintainer->startScript());
    QCOMPARE(finished.count(), 2); // once from the process, once more from startScript

    const QStringList failures = entries();
    QCOMPARE(failures.size(), 2);
    QCOMPARE(failures.at(0), failures.at(1));
    QVERIFY2(failures.at(0).startsWith(QStringLiteral("ERRR; Maintainer:FileMaintainer::slotError; "
                                                      "Maintenance control script failed: (0) ")),
        qPrintable(failures.at(0)));

    // The failure does not stick to the next run.
    maintainer->setPythonExePath(QStringLiteral("/bin/sh"));
    QVERIFY(maintainer->startScript());
    QTRY_COMPARE(finished.count(), 3);
}

void tst_FileMaintainer::secondStartWhileRunning()
{
    const QString stop = path(QStringLiteral("stop"));
    QVERIFY(writeScript(QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done").arg(stop)));
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    QVERIFY(maintainer->startScript());
    QVERIFY(maintainer->startScript());
    QCOMPARE(entries().value(1),
        QStringLiteral("WARN; Maintainer:FileMaintainer::startScript; "
                       "Maintenance control script is still running."));
    QVERIFY(writeFile(stop, QByteArray()));
    QTRY_COMPARE(finished.count(), 1);
}

void tst_FileMaintainer::destructionWaitsForScript()
{
    QVERIFY(writeScript(QStringLiteral("sleep 0.3; printf late")));
    QVERIFY(maintainer->startScript());
    maintainer.reset();
    QCOMPARE(entries().mid(1),
        QStringList({ QStringLiteral("INFO; Maintainer:FileMaintainer::slotReadStandardOutput; "
                                     "OUT:\nlate"),
            QStringLiteral("INFO; Maintainer:FileMaintainer::slotFinished; Maintenance "
                           "control script finished successfuly with exitcode 0") }));
}

void tst_FileMaintainer::announcedOnce_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("time"); // "now": the clock's current minute
    QTest::addColumn<int>("announced"); // by two ticks in a row

    QTest::newRow("current minute") << true << QStringLiteral("now") << 1;
    QTest::newRow("current minute, disabled") << false << QStringLiteral("now") << 0;
    QTest::newRow("unparsable never matches") << true << QStringLiteral("4 o'clock") << 0;
}

void tst_FileMaintainer::announcedOnce()
{
    QFETCH(bool, enabled);
    QFETCH(QString, time);
    QFETCH(int, announced);

    maintainer->setEnabled(enabled);
    QCOMPARE(maintainer->isEnabled(), enabled);
    maintainer->setMaintenanceTime(
        time.replace(QLatin1String("now"), QTime::currentTime().toString(QStringLiteral("hh:mm"))));
    QSignalSpy start(maintainer.data(), &FileMaintainer::signalMaintenanceStart);
    QMetaObject::invokeMethod(maintainer.data(), "slotTimer");
    QMetaObject::invokeMethod(maintainer.data(), "slotTimer");
    QCOMPARE(start.count(), announced);
}

void tst_FileMaintainer::dueDay_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QDate>("lastDay"); // of the last announcement
    QTest::addColumn<QDate>("expected"); // invalid: not due

    const QTime four(4, 0);
    const QDate day(2024, 4, 10);
    const auto at = [&](int h, int m, int s, int ms = 0, int dayOffset = 0) {
        return QDateTime(day.addDays(dayOffset), QTime(h, m, s, ms));
    };
    QTest::newRow("just before") << four << at(3, 59, 59, 999) << QDate() << QDate();
    QTest::newRow("minute reached") << four << at(4, 0, 0) << QDate() << day;
    QTest::newRow("end of the minute") << four << at(4, 0, 59, 999) << day.addDays(-1) << day;
    QTest::newRow("passed by less than a tick") << four << at(4, 1, 59, 999) << QDate() << day;
    QTest::newRow("passed by a tick") << four << at(4, 2, 0) << QDate() << QDate();
    QTest::newRow("announced already") << four << at(4, 1, 0) << day << QDate();
    QTest::newRow("clock set back a day after it") << four << at(4, 0, 30, 0, -1) << day << QDate();
    QTest::newRow("minute before midnight, tick after it")
        << QTime(23, 59) << at(0, 0, 30) << QDate() << day.addDays(-1);
    QTest::newRow("no time") << QTime() << at(4, 0, 0) << QDate() << QDate();
}

void tst_FileMaintainer::dueDay()
{
    QFETCH(QTime, time);
    QFETCH(QDateTime, now);
    QFETCH(QDate, lastDay);
    QFETCH(QDate, expected);
    QCOMPARE(maintenanceDueDay(time, now, lastDay, 60000), expected);
}

QTEST_GUILESS_MAIN(tst_FileMaintainer)
#include "tst_filemaintainer.moc"
