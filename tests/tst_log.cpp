#include "log/log.h"
#include "testutil.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_Log : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void thresholds_data();
    void thresholds();
    void lineBytes_data();
    void lineBytes();
    void stampsFollowTheClock();
    void lostLinesAreSilent_data();
    void lostLinesAreSilent();
    void directoryFollowsCurrentDirectory();
    void rotate_data();
    void rotate();

private:
    QScopedPointer<QTemporaryDir> dir;
    QString logPath;
};

void tst_Log::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    logPath = useTestLog(dir->filePath(QStringLiteral("log")));
}

void tst_Log::thresholds_data()
{
    QTest::addColumn<qint64>("threshold");
    QTest::addColumn<int>("effective");
    QTest::addColumn<QString>("written"); // the labels of levels 0..7 that reach the file

    const QString all = QStringLiteral("EMRG ALRT CRIT ERRR WARN NOTE INFO DEBG ");
    QTest::newRow("below -1 clamps to silence") << qint64(-5) << -1 << QString();
    QTest::newRow("-1 silences even emergencies") << qint64(-1) << -1 << QString();
    QTest::newRow("0 only emergencies") << qint64(0) << 0 << all.left(5);
    QTest::newRow("default 5") << qint64(5) << 5 << all.left(30);
    QTest::newRow("7 everything") << qint64(7) << 7 << all;
    QTest::newRow("above 7 clamps") << qint64(42) << 7 << all;
    // No number wraps around into another: 2^32 + 1 would be 1, -2^32 + 1 would be 1 too.
    QTest::newRow("above 32 bits") << qint64(4294967297LL) << 7 << all;
    QTest::newRow("below -2^32") << qint64(-4294967295LL) << -1 << QString();
}

void tst_Log::thresholds()
{
    QFETCH(qint64, threshold);
    QFETCH(int, effective);
    QFETCH(QString, written);

    Log::setLevel(threshold);
    QCOMPARE(Log::level(), effective);
    for (int level = 0; level <= 7; ++level)
        Log::write(level, QStringLiteral("w"), QString::number(level));
    QString seen;
    for (const LogLine &line : readLog(logPath)) {
        QCOMPARE(line.text, QString::number(seen.size() / 5));
        seen += line.label + QLatin1Char(' ');
    }
    QCOMPARE(seen, written);
}

void tst_Log::lineBytes_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("tail"); // after "dd/MM/yy hh:mm:ss.zzz; "; "\n": the line end

    const auto row = [](const char *name, const char *where, const char *text, QByteArray tail) {
        QTest::newRow(name) << QString::fromUtf8(where) << QString::fromUtf8(text) << tail;
    };
    row("plain", "w", "t", "NOTE; w; t\n");
    // Successive substitutions: a place marker in where takes the text, one in the text stays.
    row("%1 in where takes the text", "a%1b", "T", "NOTE; aTb; %4\n");
    row("%1 in text stays", "w", "x%1y", "NOTE; w; x%1y\n");
    row("%9 in where", "w%9", "t", "NOTE; w%9; t\n");
    // "Процесс", the euro sign at 0x88; the check mark is outside the code page.
    row("Windows-1251", "w", "Процесс € ✓", "NOTE; w; \xcf\xf0\xee\xf6\xe5\xf1\xf1 \x88 ?\n");
    // Text mode translates the line feeds inside the text as well (CR LF on Windows).
    row("several lines", "M:F::slot", "OUT:\none\ntwo", "NOTE; M:F::slot; OUT:\none\ntwo\n");
}

void tst_Log::lineBytes()
{
    QFETCH(QString, where);
    QFETCH(QString, text);
    QFETCH(QByteArray, tail);
    Log::write(Log::Notice, where, text);
    QCOMPARE(readFile(logPath).mid(23), tail.replace("\n", logLineEnd()));
}

void tst_Log::stampsFollowTheClock()
{
    // Lines over more than one second: the date part of the stamp is reused within a second
    // only, so every stamp must still lie between the clock readings around its line.
    QList<QPair<QDateTime, QDateTime>> bounds;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 1300) {
        const QDateTime before = QDateTime::currentDateTime();
        Log::write(Log::Info, QStringLiteral("w"), QStringLiteral("t"));
        bounds.append({ before, QDateTime::currentDateTime() });
        QTest::qSleep(40);
    }
    // The layout of each line was checked by reading it.
    const QList<LogLine> lines = readLog(logPath);
    QCOMPARE(lines.size(), bounds.size());
    for (int i = 0; i < bounds.size(); ++i) {
        QCOMPARE(lines.at(i).text, QStringLiteral("t"));
        // Two-digit year: the century is not in the line, so compare within this one.
        QDateTime stamp =
            QDateTime::fromString(lines.at(i).time, QStringLiteral("dd/MM/yy hh:mm:ss.zzz"));
        const QDateTime &before = bounds.at(i).first;
        stamp = stamp.addYears(before.date().year() / 100 * 100 - stamp.date().year() / 100 * 100);
        QVERIFY2(stamp >= before.addMSecs(-1) && stamp <= bounds.at(i).second.addMSecs(1),
            qPrintable(lines.at(i).time));
    }
}

void tst_Log::lostLinesAreSilent_data()
{
    QTest::addColumn<bool>("withoutBaseName"); // else a directory where the file should be
    QTest::newRow("no base name: log disabled") << true;
    QTest::newRow("the file cannot be opened") << false;
}

void tst_Log::lostLinesAreSilent()
{
    // Nothing is reported, and later lines are tried again from scratch.
    QFETCH(bool, withoutBaseName);
    if (withoutBaseName)
        Log::setBaseName(QString());
    else
        QVERIFY(QDir().mkpath(logPath));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("lost"));
    QVERIFY(withoutBaseName ? !QFile::exists(logPath) : QDir().rmdir(logPath));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("kept"));
    QCOMPARE(logEntries(logPath), QStringList(QStringLiteral("EMRG; w; kept")));
}

void tst_Log::directoryFollowsCurrentDirectory()
{
    // A relative log directory is made (with its parents) where it is set, and taken from the
    // current directory at each write.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("second/made/day"))));
    QVERIFY(QDir::setCurrent(dir->path()));
    Log::setDirectory(QStringLiteral("./made/day"));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("one"));
    const bool moved = QDir::setCurrent(dir->filePath(QStringLiteral("second")));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("two"));
    QVERIFY(QDir::setCurrent(previous));
    QVERIFY(moved);
    QCOMPARE(logEntries(dir->filePath(QStringLiteral("made/day/localserver.log"))),
        QStringList(QStringLiteral("EMRG; w; one")));
    QCOMPARE(logEntries(dir->filePath(QStringLiteral("second/made/day/localserver.log"))),
        QStringList(QStringLiteral("EMRG; w; two")));
}

void tst_Log::rotate_data()
{
    QTest::addColumn<int>("runs"); // logs written and rotated in one second
    QTest::newRow("no log: nothing moved, no directory made") << 0;
    QTest::newRow("previous log moved aside with its time") << 1;
    QTest::newRow("two starts in a second: the later log stays") << 2;
}

void tst_Log::rotate()
{
    QFETCH(int, runs);
    const QDir logDir(dir->filePath(QStringLiteral("rotated")));
    const QString current = logDir.filePath(QStringLiteral("localserver.log"));
    // Retried across a second boundary, so that the rotations share one stamp.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QString stamp =
            QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"));
        for (int run = 1; run <= runs; ++run) {
            QVERIFY(writeFile(current, "run " + QByteArray::number(run)));
            QCOMPARE(
                Log::rotate(logDir.path(), QStringLiteral("localserver"), QStringLiteral("log")),
                current);
        }
        QCOMPARE(Log::rotate(logDir.path(), QStringLiteral("localserver"), QStringLiteral("log")),
            current);
        if (stamp != QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"))) {
            QVERIFY(QDir(logDir).removeRecursively());
            continue;
        }
        QVERIFY(!QFile::exists(current));
        QCOMPARE(logDir.exists(), runs > 0);
        const QStringList files = logDir.entryList(QDir::Files);
        QCOMPARE(files,
            runs ? QStringList(QStringLiteral("localserver_%1.log").arg(stamp)) : QStringList());
        if (runs)
            QCOMPARE(readFile(logDir.filePath(files.first())), "run " + QByteArray::number(runs));
        return;
    }
    QSKIP("could not rotate within one second");
}

QTEST_GUILESS_MAIN(tst_Log)
#include "tst_log.moc"
