#include "app/startup.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// Starts the real program and checks what its start-up leaves beside it.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void findsItsDirectory_data();
    void findsItsDirectory();
    void rotatesPreviousLog();
    void authArgument_data();
    void authArgument();

private:
    int run(const QString &program, const QString &workingDirectory);
    QString programDir() const { return dir->filePath(QStringLiteral("prog")); }
    QString otherDir() const { return dir->filePath(QStringLiteral("other")); }
    // "/lcs-startup" with the program's own suffix (".exe" on Windows).
    static QString programFile()
    {
        const QString suffix = QFileInfo(QStringLiteral(LOCALCASHSERVER_PATH)).suffix();
        return QStringLiteral("/lcs-startup")
            + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    }
    QScopedPointer<QTemporaryDir> dir;
};

void tst_Startup::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    QVERIFY(QDir().mkpath(programDir()));
    QVERIFY(QDir().mkpath(otherDir()));
    const QString copy = programDir() + programFile();
    QVERIFY(QFile::copy(QStringLiteral(LOCALCASHSERVER_PATH), copy));

    // A free port and a cash application that does not exist: the program ends right after
    // its start-up, whatever else it would do.
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(writeFile(programDir() + QStringLiteral("/config.ini"),
        QStringLiteral("[INTERPROCESS]\nLocalServerPort=%1\nCashPort=%2\n"
                       "[CASH]\nExecutablePath=./no-such-cash-app\n"
                       "[MAINTENANCE]\nDisableMaintenance=1\n")
            .arg(probe.localPort())
            .arg(probe.localPort())
            .toLatin1()));
}

int tst_Startup::run(const QString &program, const QString &workingDirectory)
{
    // Started as from a shell in workingDirectory: Windows resolves a relative program path
    // against the starting process's own directory.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(workingDirectory);
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, QStringList());
    QDir::setCurrent(previous);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

void tst_Startup::findsItsDirectory_data()
{
    QTest::addColumn<bool>("relative");
    QTest::newRow("full path") << false;
    QTest::newRow("relative path") << true;
}

void tst_Startup::findsItsDirectory()
{
    QFETCH(bool, relative);
    const QString program =
        relative ? QStringLiteral("../prog") + programFile() : programDir() + programFile();
    QCOMPARE(run(program, otherDir()), 0);

    QVERIFY(!QFileInfo::exists(otherDir() + QStringLiteral("/log")));
    const QStringList entries = logEntries(programDir() + QStringLiteral("/log/localserver.log"));
    QVERIFY(!entries.isEmpty());
    static const QRegularExpression banner(
        QStringLiteral("^EMRG; main; LocalCashServer app started Ver : (Linux|Win) 2\\.71\\.0\\.0 "
                       "\\([A-Z][a-z]{2} [ 1-3]\\d \\d{4}\\)$"));
    QVERIFY2(banner.match(entries.first()).hasMatch(), qPrintable(entries.first()));
}

void tst_Startup::rotatesPreviousLog()
{
    const QString logDir = programDir() + QStringLiteral("/log");
    QVERIFY(writeFile(logDir + QStringLiteral("/localserver.log"), "previous run\n"));
    QCOMPARE(run(programDir() + programFile(), otherDir()), 0);

    const QStringList rotated = QDir(logDir).entryList({ QStringLiteral("localserver_*.log") });
    QCOMPARE(rotated.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^localserver_\\d{6}_\\d{6}\\.log$"))
                .match(rotated.first())
                .hasMatch());
    QCOMPARE(readFile(logDir + QLatin1Char('/') + rotated.first()), QByteArray("previous run\n"));
    QVERIFY(logEntries(logDir + QStringLiteral("/localserver.log"))
                .first()
                .startsWith(QStringLiteral("EMRG; main; LocalCashServer app started")));
}

void tst_Startup::authArgument_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    const QString prog = QStringLiteral("/opt/till/localcashserver");
    QTest::newRow("none") << QStringList({ prog, QStringLiteral("-x") }) << QString();
    QTest::newRow("one") << QStringList({ prog, QStringLiteral("auth=abc") })
                         << QStringLiteral("auth=abc");
    QTest::newRow("last wins, spelled as typed")
        << QStringList({ prog, QStringLiteral("auth=one"), QStringLiteral("AUTH=two") })
        << QStringLiteral("AUTH=two");
    QTest::newRow("empty value is kept")
        << QStringList({ prog, QStringLiteral("auth=") }) << QStringLiteral("auth=");
    QTest::newRow("match at the start only")
        << QStringList({ prog, QStringLiteral("xauth=1"), QStringLiteral("-auth=1") }) << QString();
    QTest::newRow("program path never examined")
        << QStringList({ QStringLiteral("auth=prog") }) << QString();
}

void tst_Startup::authArgument()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QCOMPARE(::authArgument(arguments), expected);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
