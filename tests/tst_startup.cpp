#include "app/startup.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QUdpSocket>

#include <filesystem>

// Starts the real program and checks what its start-up leaves beside it.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void findsItsDirectory_data();
    void findsItsDirectory();
    void rotatesPreviousLog();
    void cashProgram_data();
    void cashProgram();
    void authArgument_data();
    void authArgument();

private:
    // The exit code of a normal exit within 30 s; -1 after a time-out, -2 after a crash.
    int run(const QString &program, const QStringList &arguments, const QString &workingDirectory,
        const QString &path = QString());
    QString programDir() const { return dir->filePath(QStringLiteral("prog")); }
    QString otherDir() const { return dir->filePath(QStringLiteral("other")); }
    QStringList entries() const
    {
        return logEntries(programDir() + QStringLiteral("/log/localserver.log"));
    }
    // The program's own suffix: ".exe" on Windows.
    static QString suffix()
    {
        const QString suffix = QFileInfo(QStringLiteral(LOCALCASHSERVER_PATH)).suffix();
        return suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    }
    static QString programFile() { return QStringLiteral("/lcs-startup") + suffix(); }
    QScopedPointer<QTemporaryDir> dir;
};

namespace {
// A path for the system's calls; cp1251: its name in Windows-1251 bytes, no valid UTF-8 (Linux).
std::filesystem::path nativePath(const QString &path, bool cp1251 = false)
{
    if (cp1251)
        return QTextCodec::codecForName("Windows-1251")->fromUnicode(path).toStdString();
    return std::filesystem::u8path(path.toUtf8().toStdString());
}
} // namespace

void tst_Startup::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    QVERIFY(QDir().mkpath(programDir() + QStringLiteral("/wd")));
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

int tst_Startup::run(const QString &program, const QStringList &arguments,
    const QString &workingDirectory, const QString &path)
{
    // Started as from a shell in workingDirectory: Windows resolves a relative program path
    // against the starting process's own directory.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(workingDirectory);
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    if (!path.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"),
            QDir::toNativeSeparators(path) + QDir::listSeparator()
                + environment.value(QStringLiteral("PATH")));
        process.setProcessEnvironment(environment);
    }
    process.start(program, arguments);
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
    QTest::addColumn<QString>("start"); // "full path", "relative path" or "PATH" (a bare name)
    QTest::addColumn<QString>("directory"); // the program's directory is renamed to it
    QTest::addColumn<bool>("cp1251"); // its name in Windows-1251 bytes, no valid UTF-8

    QTest::newRow("full path") << "full path" << QString() << false;
    QTest::newRow("relative path") << "relative path" << QString() << false;
    QTest::newRow("bare name through PATH") << "PATH" << QString() << false;
    QTest::newRow("Cyrillic directory") << "full path" << QStringLiteral("касса") << false;
    QTest::newRow("directory name not UTF-8") << "full path" << QStringLiteral("касса") << true;
}

void tst_Startup::findsItsDirectory()
{
    QFETCH(QString, start);
    QFETCH(QString, directory);
    QFETCH(bool, cp1251);

#ifdef Q_OS_WIN
    if (cp1251)
        QSKIP("Windows names files in UTF-16, where every name is valid");
#endif
    const QString runDir = directory.isEmpty() ? programDir() : dir->filePath(directory);
    const std::filesystem::path renamed = nativePath(runDir, cp1251);
    std::error_code error;
    if (!directory.isEmpty())
        std::filesystem::rename(nativePath(programDir()), renamed, error);
    QVERIFY2(!error, error.message().c_str());
    QString program = runDir + programFile();
    QStringList arguments;
    const QString name = QFileInfo(program).fileName();
    if (cp1251) {
        // No text names the file: the shell spells it out byte by byte.
        QString octal;
        for (const char byte : (renamed / nativePath(name)).string())
            octal += QStringLiteral("\\%1").arg(uint(uchar(byte)), 3, 8, QLatin1Char('0'));
        arguments = QStringList { QStringLiteral("-c"),
            QStringLiteral("exec \"$(printf '%1')\"").arg(octal) };
        program = QStringLiteral("/bin/sh");
    } else if (start == QLatin1String("relative path")) {
        program = QStringLiteral("../") + QFileInfo(runDir).fileName() + programFile();
    } else if (start == QLatin1String("PATH")) {
        // Through the shell, which hands the program its name as typed.
#ifdef Q_OS_WIN
        arguments = QStringList { QStringLiteral("/c"), name };
        program = QStringLiteral("cmd.exe");
#else
        arguments = QStringList { QStringLiteral("-c"), QStringLiteral("exec ") + name };
        program = QStringLiteral("/bin/sh");
#endif
    }
    const int status =
        run(program, arguments, otherDir(), start == QLatin1String("PATH") ? runDir : QString());
    if (!directory.isEmpty())
        std::filesystem::rename(renamed, nativePath(programDir()), error);
    QVERIFY2(!error, error.message().c_str());
    QCOMPARE(status, 0);

    QVERIFY(!QFileInfo::exists(otherDir() + QStringLiteral("/log")));
    const QStringList entries = this->entries();
    QVERIFY(!entries.isEmpty());
    static const QRegularExpression banner(
        QStringLiteral("^EMRG; main; LocalCashServer app started Ver : (Linux|Win) 2\\.71\\.0\\.0 "
                       "\\([A-Z][a-z]{2} [ 1-3]\\d \\d{4}\\)$"));
    QVERIFY2(banner.match(entries.first()).hasMatch(), qPrintable(entries.first()));
    // Its settings were found too.
    QVERIFY(
        entries.contains(QStringLiteral("WARN; INIT:CASH; ExecutablePath = ./no-such-cash-app")));
}

void tst_Startup::rotatesPreviousLog()
{
    const QString logDir = programDir() + QStringLiteral("/log");
    QVERIFY(writeFile(logDir + QStringLiteral("/localserver.log"), "previous run\n"));
    QCOMPARE(run(programDir() + programFile(), QStringList(), otherDir()), 0);

    const QStringList rotated = QDir(logDir).entryList({ QStringLiteral("localserver_*.log") });
    QCOMPARE(rotated.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^localserver_\\d{6}_\\d{6}\\.log$"))
                .match(rotated.first())
                .hasMatch());
    QCOMPARE(readFile(logDir + QLatin1Char('/') + rotated.first()), QByteArray("previous run\n"));
    QVERIFY(
        entries().first().startsWith(QStringLiteral("EMRG; main; LocalCashServer app started")));
}

void tst_Startup::cashProgram_data()
{
    QTest::addColumn<QString>("executablePath"); // {prog}: the program's directory
    QTest::addColumn<QString>("cashFile"); // made below the program's directory, with the suffix
    QTest::addColumn<QString>("cashKind"); // "cashsim", or a "hard" or "symbolic" link to itself
    QTest::addColumn<bool>("refused"); // as the supervisor's own program

    // The same settings start the same program on every platform, whatever the working
    // directory: relative paths are taken from the program's directory.
    QTest::newRow("relative") << "./vorcam"
                              << "vorcam"
                              << "cashsim" << false;
    QTest::newRow("bare name") << "vorcam"
                               << "vorcam"
                               << "cashsim" << false;
    QTest::newRow("subdirectory") << "bin/vorcam"
                                  << "bin/vorcam"
                                  << "cashsim" << false;
    // Never itself, however named: each instance would start another.
    QTest::newRow("itself") << "./lcs-startup" << QString() << QString() << true;
    QTest::newRow("itself by its full path")
        << "{prog}/lcs-startup" << QString() << QString() << true;
    QTest::newRow("itself through a hard link") << "./vorcam"
                                                << "vorcam"
                                                << "hard" << true;
    QTest::newRow("itself through a symbolic link") << "./vorcam"
                                                    << "vorcam"
                                                    << "symbolic" << true;
}

void tst_Startup::cashProgram()
{
    QFETCH(QString, executablePath);
    QFETCH(QString, cashFile);
    QFETCH(QString, cashKind);
    QFETCH(bool, refused);

    const QString cash = programDir() + QLatin1Char('/') + cashFile + suffix();
    if (cashKind == QLatin1String("cashsim")) {
        QVERIFY(QDir().mkpath(QFileInfo(cash).path()));
        QVERIFY(QFile::copy(QStringLiteral(CASHSIM_PATH), cash));
    } else if (cashKind == QLatin1String("hard")) {
        std::error_code error;
        std::filesystem::create_hard_link(
            nativePath(programDir() + programFile()), nativePath(cash), error);
        QVERIFY2(!error, error.message().c_str());
    } else if (cashKind == QLatin1String("symbolic")) {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shell shortcut on Windows, which no process start follows");
#endif
        QVERIFY(QFile::link(programDir() + programFile(), cash));
    }
    // The working directory is elsewhere, and cashsim ends as soon as it has started.
    QVERIFY(writeFile(programDir() + QStringLiteral("/wd/scenario.txt"), "exit 0\n"));
    QFile config(programDir() + QStringLiteral("/config.ini"));
    QVERIFY(config.open(QIODevice::Append));
    config.write(QStringLiteral("[CASH]\nExecutablePath=%1\nWorkingDirectory=wd\n"
                                "ProgrammArguments=--scenario scenario.txt --cash-port 0\n")
                     .arg(executablePath.replace(QLatin1String("{prog}"), programDir()))
                     .toUtf8());
    config.close();

    QCOMPARE(run(programDir() + programFile(), QStringList(), otherDir()), 0);
    const QString where = QStringLiteral("LocalCashServer:LocalCashServer::");
    const QStringList entries = this->entries();
    const QStringList own = entries.filter(QStringLiteral("; %1").arg(where));
    if (!refused) {
        QVERIFY2(own.endsWith(QStringLiteral("EMRG; %1slotProcessFinished; APP EXIT").arg(where)),
            qPrintable(entries.join(QLatin1Char('\n'))));
        return;
    }
    QCOMPARE(own.size(), 3);
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^ERRR; %1init; Cash application .+ is this supervisor's own "
                                "program: not started$")
                     .arg(where))
                 .match(own.first())
                 .hasMatch(),
        qPrintable(own.first()));
    QCOMPARE(own.mid(1),
        QStringList({ QStringLiteral("EMRG; %1slotProcessError; Cash app process error: "
                                     "FailedToStart")
                          .arg(where),
            QStringLiteral("CRIT; %1startProcess; Cash process start fail : FailedToStart; "
                           "Exit app")
                .arg(where) }));
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
