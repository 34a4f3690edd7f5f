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
    void scriptRun_data();
    void scriptRun();
    void secondStartThenDestruction();
    void floodedOutput();
    void announcedOnce_data();
    void announcedOnce();
    void dueDay_data();
    void dueDay();

private:
    QString path(const QString &name) const { return QDir(dir->path()).filePath(name); }
    QStringList entries() const { return logEntries(logPath); }
    bool writeScript(const QString &body) const
    {
        return writeFile(path(QStringLiteral("scripts/control.sh")), body.toUtf8());
    }
    QScopedPointer<QTemporaryDir> dir;
    QString logPath;
    QScopedPointer<FileMaintainer> maintainer;
    QString startDirectory;
};

const QString started = QStringLiteral(
    "INFO; Maintainer:FileMaintainer::startScript; Maintenance control script started.");

void tst_FileMaintainer::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    logPath = useTestLog(dir->path());
    // Relative settings are taken against the current directory, which the script shares; the
    // interpreter is not looked up in PATH.
    startDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
    QVERIFY(QFile::link(QStringLiteral("/bin/sh"), QStringLiteral("interpreter")));
    maintainer.reset(new FileMaintainer);
    maintainer->setPythonExePath(QStringLiteral("interpreter"));
    maintainer->setScriptPath(QStringLiteral("scripts"));
    maintainer->setControlScript(QStringLiteral("control.sh"));
    maintainer->setArchiveDir(QStringLiteral("./archive"));
}

void tst_FileMaintainer::cleanup()
{
    maintainer.reset();
    QDir::setCurrent(startDirectory);
}

void tst_FileMaintainer::scriptRun_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("controlScript");
    QTest::addColumn<QString>("interpreter");
    QTest::addColumn<QStringList>(
        "lines"); // {dir}: the current directory; "*" at the end: any rest
    QTest::addColumn<int>("finishedSignals");

    const auto row = [](const char *name, const char *body, const QStringList &lines, int ends,
                         const char *script = "control.sh",
                         const char *interpreter = "interpreter") {
        QTest::newRow(name) << QString::fromUtf8(body) << QString::fromUtf8(script)
                            << QString::fromUtf8(interpreter) << lines << ends;
    };
    const QString m = QStringLiteral("Maintainer:FileMaintainer::");
    const QString out = QStringLiteral("INFO; %1slotReadStandardOutput; OUT:\n").arg(m);
    const QString done = QStringLiteral("INFO; %1slotFinished; Maintenance control script "
                                        "finished successfuly with exitcode ")
                             .arg(m);
    const QString refused = QStringLiteral("ERRR; %1startScript; ").arg(m);
    row("arguments", "printf '%s\\n' \"$0\" \"$#\" \"$1\" \"$PWD\"",
        { started, out + "{dir}/scripts/control.sh\n1\n./archive\n{dir}\n", done + "0" }, 1);
    row("output, exit 0", "printf 'one\\ntwo\\n'", { started, out + "one\ntwo\n", done + "0" }, 1);
    row("error output, exit 1", "printf 'bad\\n' >&2; exit 1",
        { started, QStringLiteral("ERRR; %1slotReadStandardError; ERROR:\nbad\n").arg(m),
            done + "1" },
        1);
    // Not UTF-8, so Windows-1251, where 0xb0 is the degree sign too.
    row("windows-1251 up to a zero byte", "printf 'deg\\260\\000tail'",
        { started, out + QStringLiteral("deg\u00b0"), done + "0" }, 1);
    row("utf-8 character split between two reads",
        "printf '\\320'; sleep 0.3; printf '\\224\\320\\260\\n'",
        { started, out + QStringLiteral("Да\n"), done + "0" }, 1);
    // 0xee begins a UTF-8 character that never comes: it was Windows-1251 after all.
    row("character never completed", "printf 'ok \\356'",
        { started, out + "ok ", out + QStringLiteral("о"), done + "0" }, 1);
    row("crash", "kill -s SEGV $$",
        { started,
            QStringLiteral(
                "ERRR; %1slotError; Maintenance control script failed: (1) Process crashed")
                .arg(m),
            QStringLiteral(
                "ERRR; %1slotFinished; Maintenance control script crashed with exitcode 11")
                .arg(m) },
        2);
    row("no script name", "", { refused + "Maintenance control script filename not set." }, 0, "");
    row("interpreter missing", "", { refused + "Executable file python does not exists." }, 0,
        "control.sh", "python");
    row("script missing", "",
        { refused + "Maintenance control script {dir}/scripts/absent.sh does not exists." }, 0,
        "absent.sh");
    // Reported once by the process and once more by startScript, each time with its signal.
    const QString failed =
        QStringLiteral("ERRR; %1slotError; Maintenance control script failed: (0) *").arg(m);
    row("interpreter no program", "", { failed, failed }, 2, "control.sh", "notes.txt");
}

void tst_FileMaintainer::scriptRun()
{
    QFETCH(QString, body);
    QFETCH(QString, controlScript);
    QFETCH(QString, interpreter);
    QFETCH(QStringList, lines);
    QFETCH(int, finishedSignals);

    QVERIFY(writeScript(body));
    QVERIFY(writeFile(path(QStringLiteral("notes.txt")), "not a program"));
    maintainer->setControlScript(controlScript);
    maintainer->setPythonExePath(interpreter);
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    const bool runs = lines.first() == started;
    QCOMPARE(maintainer->startScript(), runs);
    QTRY_COMPARE(finished.count(), finishedSignals);
    const QStringList entries = this->entries();
    QCOMPARE(entries.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QString line =
            QString(lines.at(i)).replace(QLatin1String("{dir}"), QDir::currentPath());
        QVERIFY2(line.endsWith(QLatin1Char('*')) ? entries.at(i).startsWith(line.chopped(1))
                                                 : entries.at(i) == line,
            qPrintable(entries.at(i)));
    }
    // A failure does not stick to the next run.
    QVERIFY(writeScript(QStringLiteral("exit 0")));
    maintainer->setControlScript(QStringLiteral("control.sh"));
    maintainer->setPythonExePath(QStringLiteral("interpreter"));
    QVERIFY(maintainer->startScript());
    QTRY_COMPARE(finished.count(), finishedSignals + 1);
}

void tst_FileMaintainer::secondStartThenDestruction()
{
    // A second request is served by the run in progress; the maintainer's end waits for it.
    const QString stop = path(QStringLiteral("stop"));
    QVERIFY(writeScript(
        QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done; sleep 0.3; printf late")
            .arg(stop)));
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    QVERIFY(maintainer->startScript());
    QVERIFY(maintainer->startScript());
    QVERIFY(writeFile(stop, QByteArray()));
    maintainer.reset();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(entries(),
        QStringList({ started,
            QStringLiteral("WARN; Maintainer:FileMaintainer::startScript; "
                           "Maintenance control script is still running."),
            QStringLiteral("INFO; Maintainer:FileMaintainer::slotReadStandardOutput; OUT:\nlate"),
            QStringLiteral("INFO; Maintainer:FileMaintainer::slotFinished; Maintenance "
                           "control script finished successfuly with exitcode 0") }));
}

void tst_FileMaintainer::floodedOutput()
{
    // Everything the script writes reaches the log, in pieces of whatever size arrived.
    const int outBytes = 4 << 20;
    const int errBytes = 1 << 20;
    QVERIFY(
        writeScript(QStringLiteral("yes 'flood 0123456789abcdefghijklmnopqrstuvwxyz' | head -c %1\n"
                                   "yes 'error 0123456789' | head -c %2 >&2\necho END\nexit 3\n")
                        .arg(outBytes)
                        .arg(errBytes)));
    QSignalSpy finished(maintainer.data(), &FileMaintainer::signalMaintenanceFinished);
    QVERIFY(maintainer->startScript());
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    QString out;
    QString err;
    for (const LogLine &line : readLog(logPath)) {
        if (line.where.endsWith(QLatin1String("slotReadStandardOutput")))
            out += line.text.mid(5); // after "OUT:\n"
        else if (line.where.endsWith(QLatin1String("slotReadStandardError")))
            err += line.text.mid(7); // after "ERROR:\n"
    }
    QCOMPARE(out.size(), outBytes + 4);
    QVERIFY(out.endsWith(QLatin1String("END\n")));
    QCOMPARE(err.size(), errBytes);
    QVERIFY(entries().last().endsWith(QLatin1String("finished successfuly with exitcode 3")));
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
