#include "log/log.h"
#include "log/logsource.h"
#include "testutil.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class tst_Log : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void thresholds_data();
    void thresholds();
    void lineLayout();
    void labels_data();
    void labels();
    void successiveSubstitution_data();
    void successiveSubstitution();
    void windows1251Bytes();
    void multiLineText();
    void logSourceWhere();
    void disabledBeforeBaseName();
    void directoryCreated();
    void relativeDirectoryFollowsCurrentDirectory();
    void stampsFollowTheClock();
    void unwritableFileIsSilent();
    void rotateMovesPreviousLog();
    void rotateReplacesSameSecondFile();
    void rotateWithoutLog();

private:
    QString logPath() const { return dir->filePath(QStringLiteral("log/localserver.log")); }
    QScopedPointer<QTemporaryDir> dir;
};

void tst_Log::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    Log::setDirectory(dir->filePath(QStringLiteral("log")));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);
}

void tst_Log::thresholds_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<int>("effective");
    QTest::addColumn<QString>("written"); // levels 0..7 that reach the file

    QTest::newRow("below -1 clamps to silence") << -5 << -1 << QString();
    QTest::newRow("-1 silences even emergencies") << -1 << -1 << QString();
    QTest::newRow("0 only emergencies") << 0 << 0 << QStringLiteral("0");
    QTest::newRow("default 5") << 5 << 5 << QStringLiteral("012345");
    QTest::newRow("7 everything") << 7 << 7 << QStringLiteral("01234567");
    QTest::newRow("above 7 clamps") << 42 << 7 << QStringLiteral("01234567");
}

void tst_Log::thresholds()
{
    QFETCH(int, threshold);
    QFETCH(int, effective);
    QFETCH(QString, written);

    Log::setLevel(threshold);
    QCOMPARE(Log::level(), effective);
    for (int level = 0; level <= 7; ++level)
        Log::write(level, QStringLiteral("w"), QString::number(level));

    QString seen;
    const QList<LogLine> lines = readLog(logPath());
    for (const LogLine &line : lines)
        seen += line.text;
    QCOMPARE(seen, written);
}

void tst_Log::lineLayout()
{
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    Log::write(Log::Info, QStringLiteral("LocalCashServer:LocalCashServer::restartCmd"),
        QStringLiteral("RESTART_CMD_RECEIVED"));
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QByteArray bytes = readFile(logPath());
    const QRegularExpression layout(
        QStringLiteral("^(\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d); INFO; "
                       "LocalCashServer:LocalCashServer::restartCmd; RESTART_CMD_RECEIVED%1$")
            .arg(QString::fromLatin1(logLineEnd())));
    const QRegularExpressionMatch m = layout.match(QString::fromLatin1(bytes));
    QVERIFY2(m.hasMatch(), bytes.constData());

    // Two-digit year: the century is not in the line, so compare within this one.
    QDateTime stamp = QDateTime::fromString(m.captured(1), QStringLiteral("dd/MM/yy hh:mm:ss.zzz"));
    stamp = stamp.addYears(before.date().year() / 100 * 100 - stamp.date().year() / 100 * 100);
    QVERIFY(stamp >= before);
    QVERIFY(stamp <= after);
}

void tst_Log::labels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("label");
    const char *labels[] = { "EMRG", "ALRT", "CRIT", "ERRR", "WARN", "NOTE", "INFO", "DEBG" };
    for (int i = 0; i < 8; ++i)
        QTest::addRow("%d", i) << i << QString::fromLatin1(labels[i]);
    QTest::newRow("negative level has no label") << -1 << QString();
}

void tst_Log::labels()
{
    QFETCH(int, level);
    QFETCH(QString, label);
    Log::setLevel(Log::Debug);
    Log::write(level, QStringLiteral("w"), QStringLiteral("t"));
    const QStringList entries = logEntries(logPath());
    QCOMPARE(entries, QStringList(QStringLiteral("%1; w; t").arg(label)));
}

void tst_Log::successiveSubstitution_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tail"); // the line after "dd/MM/yy hh:mm:ss.zzz; "

    QTest::newRow("plain") << QStringLiteral("w") << QStringLiteral("t")
                           << QStringLiteral("WARN; w; t");
    QTest::newRow("%1 in where takes the text")
        << QStringLiteral("a%1b") << QStringLiteral("T") << QStringLiteral("WARN; aTb; %4");
    QTest::newRow("%1 in text stays")
        << QStringLiteral("w") << QStringLiteral("x%1y") << QStringLiteral("WARN; w; x%1y");
    QTest::newRow("%9 in where") << QStringLiteral("w%9") << QStringLiteral("t")
                                 << QStringLiteral("WARN; w%9; t");
}

void tst_Log::successiveSubstitution()
{
    QFETCH(QString, where);
    QFETCH(QString, text);
    QFETCH(QString, tail);
    Log::write(Log::Warning, where, text);
    const QString line = QString::fromLatin1(readFile(logPath()));
    QCOMPARE(line.mid(23), tail + QString::fromLatin1(logLineEnd()));
}

void tst_Log::windows1251Bytes()
{
    Log::write(Log::Notice, QStringLiteral("w"), QStringLiteral("Процесс € ✓"));
    const QByteArray bytes = readFile(logPath());
    // cf f0 ee f6 e5 f1 f1 = "Процесс", 88 = euro sign, the check mark is outside the code page.
    QVERIFY2(bytes.endsWith(QByteArray::fromHex("cff0eef6e5f1f12088203f") + logLineEnd()),
        bytes.toHex().constData());
}

void tst_Log::multiLineText()
{
    Log::write(Log::Info, QStringLiteral("Maintainer:FileMaintainer::slotReadStandardOutput"),
        QStringLiteral("OUT:\nline one\nline two"));
    // Text mode translates the line feeds inside the text as well (CR LF on Windows).
    const QByteArray eol = logLineEnd();
    const QByteArray bytes = readFile(logPath());
    QVERIFY2(bytes.endsWith("; INFO; Maintainer:FileMaintainer::slotReadStandardOutput; OUT:" + eol
                 + "line one" + eol + "line two" + eol),
        bytes.constData());
}

void tst_Log::logSourceWhere()
{
    const LogSource source(QStringLiteral("INIT"));
    source.log(Log::Warning, QStringLiteral("banner"), QString());
    source.error(QStringLiteral("e"), QStringLiteral("ConfigFile::init"));
    source.notice(QStringLiteral("n"), QStringLiteral("CASH"));
    QCOMPARE(logEntries(logPath()),
        QStringList({ QStringLiteral("WARN; INIT:; banner"),
            QStringLiteral("ERRR; INIT:ConfigFile::init; e"),
            QStringLiteral("NOTE; INIT:CASH; n") }));
}

void tst_Log::disabledBeforeBaseName()
{
    Log::setBaseName(QString());
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("lost"));
    QVERIFY(!QFile::exists(logPath()));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("kept"));
    QCOMPARE(logEntries(logPath()), QStringList(QStringLiteral("EMRG; w; kept")));
}

void tst_Log::directoryCreated()
{
    const QString nested = dir->filePath(QStringLiteral("a/b/c"));
    Log::setDirectory(nested);
    QVERIFY(QFileInfo(nested).isDir());
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("t"));
    QCOMPARE(logEntries(nested + QStringLiteral("/localserver.log")).size(), 1);
}

void tst_Log::relativeDirectoryFollowsCurrentDirectory()
{
    // A relative log directory is taken from the current directory at each write, not at set-up.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("first"))));
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("second/log"))));
    QVERIFY(QDir::setCurrent(dir->filePath(QStringLiteral("first"))));
    Log::setDirectory(QStringLiteral("./log"));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("one"));
    const bool moved = QDir::setCurrent(dir->filePath(QStringLiteral("second")));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("two"));
    QVERIFY(QDir::setCurrent(previous));
    QVERIFY(moved);

    QCOMPARE(logEntries(dir->filePath(QStringLiteral("first/log/localserver.log"))),
        QStringList(QStringLiteral("EMRG; w; one")));
    QCOMPARE(logEntries(dir->filePath(QStringLiteral("second/log/localserver.log"))),
        QStringList(QStringLiteral("EMRG; w; two")));
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
        Log::write(Log::Notice, QStringLiteral("w"), QStringLiteral("t"));
        bounds.append({ before, QDateTime::currentDateTime() });
        QTest::qSleep(40);
    }
    const QList<LogLine> lines = readLog(logPath());
    QCOMPARE(lines.size(), bounds.size());
    for (int i = 0; i < lines.size(); ++i) {
        QDateTime stamp =
            QDateTime::fromString(lines.at(i).time, QStringLiteral("dd/MM/yy hh:mm:ss.zzz"));
        const QDateTime &before = bounds.at(i).first;
        stamp = stamp.addYears(before.date().year() / 100 * 100 - stamp.date().year() / 100 * 100);
        QVERIFY2(stamp >= before.addMSecs(-1) && stamp <= bounds.at(i).second.addMSecs(1),
            qPrintable(lines.at(i).time));
    }
}

void tst_Log::unwritableFileIsSilent()
{
    // A directory where the file should be: every open fails, nothing is reported, later lines
    // are tried again from scratch.
    QVERIFY(QDir().mkpath(logPath()));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("lost"));
    QVERIFY(QDir().rmdir(logPath()));
    Log::write(Log::Emergency, QStringLiteral("w"), QStringLiteral("kept"));
    QCOMPARE(logEntries(logPath()), QStringList(QStringLiteral("EMRG; w; kept")));
}

void tst_Log::rotateMovesPreviousLog()
{
    const QString logDir = dir->filePath(QStringLiteral("log"));
    QVERIFY(writeFile(logPath(), "old run\n"));
    const QString stampBefore =
        QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"));
    QCOMPARE(Log::rotate(logDir, QStringLiteral("localserver"), QStringLiteral("log")),
        logDir + QStringLiteral("/localserver.log"));
    const QString stampAfter =
        QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"));

    QVERIFY(!QFile::exists(logPath()));
    const QStringList rotated = QDir(logDir).entryList(QDir::Files);
    QCOMPARE(rotated.size(), 1);
    const QString name = rotated.first();
    QVERIFY2(name == QStringLiteral("localserver_%1.log").arg(stampBefore)
            || name == QStringLiteral("localserver_%1.log").arg(stampAfter),
        qPrintable(name));
    QCOMPARE(readFile(QDir(logDir).filePath(name)), QByteArray("old run\n"));
}

void tst_Log::rotateReplacesSameSecondFile()
{
    const QString logDir = dir->filePath(QStringLiteral("log"));
    // Retry across a second boundary so that both rotations share one stamp.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QString stamp =
            QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"));
        QVERIFY(writeFile(logPath(), "first\n"));
        Log::rotate(logDir, QStringLiteral("localserver"), QStringLiteral("log"));
        QVERIFY(writeFile(logPath(), "second\n"));
        Log::rotate(logDir, QStringLiteral("localserver"), QStringLiteral("log"));
        if (stamp != QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"))) {
            for (const QString &f : QDir(logDir).entryList(QDir::Files))
                QVERIFY(QFile::remove(QDir(logDir).filePath(f)));
            continue;
        }
        const QStringList files = QDir(logDir).entryList(QDir::Files);
        QCOMPARE(files, QStringList(QStringLiteral("localserver_%1.log").arg(stamp)));
        QCOMPARE(readFile(QDir(logDir).filePath(files.first())), QByteArray("second\n"));
        return;
    }
    QSKIP("could not rotate twice within one second");
}

void tst_Log::rotateWithoutLog()
{
    const QString logDir = dir->filePath(QStringLiteral("nolog"));
    QCOMPARE(Log::rotate(logDir, QStringLiteral("localserver"), QStringLiteral("log")),
        logDir + QStringLiteral("/localserver.log"));
    QVERIFY(!QFileInfo::exists(logDir));
}

QTEST_GUILESS_MAIN(tst_Log)
#include "tst_log.moc"
