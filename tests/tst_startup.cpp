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
    void cleanup();
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
    QString programDir() const { return dir->filePath(programDirName); }
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
    QString programDirName;
};

namespace {
std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::u8path(path.toUtf8().toStdString());
}
} // namespace

void tst_Startup::init()
{
    programDirName = QStringLiteral("prog");
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

void tst_Startup::cleanup()
{
    // By the system's own calls: Qt has no spelling for a name that is not valid UTF-8.
    std::error_code error;
    std::filesystem::remove_all(nativePath(dir->path()), error);
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
    QTest::addColumn<bool>("cyrillic"); // the directory's name: Windows-1251 bytes on Linux

    QTest::newRow("full path") << "full path" << false;
    QTest::newRow("relative path") << "relative path" << false;
    QTest::newRow("bare name through PATH") << "PATH" << false;
    QTest::newRow("Cyrillic directory") << "full path" << true;
}

void tst_Startup::findsItsDirectory()
{
    QFETCH(QString, start);
    QFETCH(bool, cyrillic);

    const QString cyrillicName = QStringLiteral("касса");
    if (cyrillic) {
#ifdef Q_OS_WIN
        // Valid in UTF-16, but argv[0] holds it in the system's 8-bit code page.
        QVERIFY(QDir().rename(programDir(), dir->filePath(cyrillicName)));
        programDirName = cyrillicName;
#else
        // No valid UTF-8, so no text names it: the test reaches it through a link.
        const auto target = QTextCodec::codecForName("Windows-1251")->fromUnicode(cyrillicName);
        std::error_code error;
        std::filesystem::rename(
            nativePath(programDir()), nativePath(dir->path()) / target.toStdString(), error);
        if (!error)
            std::filesystem::create_directory_symlink(
                target.toStdString(), nativePath(programDir()), error);
        QVERIFY2(!error, error.message().c_str());
#endif
    }
    QString program = programDir() + programFile();
    const QString name = QFileInfo(program).fileName();
    QStringList arguments;
    if (start == QLatin1String("relative path")) {
        program = QStringLiteral("../%1%2").arg(programDirName, programFile());
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
    QCOMPARE(run(program, arguments, otherDir(),
                 start == QLatin1String("PATH") ? programDir() : QString()),
        0);

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
    QTest::addColumn<QString>("executablePath");
    QTest::addColumn<QString>("cashFile"); // made in the program's directory, with the suffix
    QTest::addColumn<QString>("kind"); // cashsim, or a "hard" or "symbolic" link to the supervisor
    QTest::addColumn<bool>("refused"); // as the supervisor's own program
    const auto row = [](const char *name, const char *path, const char *file, const char *kind,
                         bool refused) {
        QTest::newRow(name) << QString::fromUtf8(path) << QString::fromUtf8(file)
                            << QString::fromUtf8(kind) << refused;
    };

    // The same settings start the same program on every platform, whatever the working
    // directory: relative paths are taken from the program's directory.
    row("relative", "./vorcam", "vorcam", "cashsim", false);
    row("bare name", "vorcam", "vorcam", "cashsim", false);
    row("subdirectory", "bin/vorcam", "bin/vorcam", "cashsim", false);
    // Never itself, however named: each instance would start another.
    row("itself", "./lcs-startup", "", "", true);
    row("itself through a hard link", "./vorcam", "vorcam", "hard", true);
    row("itself through a symbolic link", "./vorcam", "vorcam", "symbolic", true);
}

void tst_Startup::cashProgram()
{
    QFETCH(QString, executablePath);
    QFETCH(QString, cashFile);
    QFETCH(QString, kind);
    QFETCH(bool, refused);

    const QString cash = programDir() + QLatin1Char('/') + cashFile + suffix();
    const QString self = programDir() + programFile();
    std::error_code error;
    if (kind == QLatin1String("cashsim")) {
        QVERIFY(QDir().mkpath(QFileInfo(cash).path()));
        QVERIFY(QFile::copy(QStringLiteral(CASHSIM_PATH), cash));
    } else if (kind == QLatin1String("hard")) {
        std::filesystem::create_hard_link(nativePath(self), nativePath(cash), error);
    } else if (kind == QLatin1String("symbolic")) {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shell shortcut on Windows, which no process start follows");
#endif
        std::filesystem::create_symlink(nativePath(self), nativePath(cash), error);
    }
    QVERIFY2(!error, error.message().c_str());
    // The working directory is elsewhere, and cashsim ends as soon as it has started.
    QVERIFY(writeFile(programDir() + QStringLiteral("/wd/scenario.txt"), "exit 0\n"));
    QFile config(programDir() + QStringLiteral("/config.ini"));
    QVERIFY(config.open(QIODevice::Append));
    config.write(QStringLiteral("[CASH]\nExecutablePath=%1\nWorkingDirectory=wd\n"
                                "ProgrammArguments=--scenario scenario.txt --cash-port 0\n")
                     .arg(executablePath)
                     .toUtf8());
    config.close();

    QCOMPARE(run(self, QStringList(), otherDir()), 0);
    const QString where = QStringLiteral("LocalCashServer:LocalCashServer::");
    const QStringList own = entries().filter(where);
    if (!refused) {
        QCOMPARE(own.last(), QStringLiteral("EMRG; %1slotProcessFinished; APP EXIT").arg(where));
        return;
    }
    QCOMPARE(own.size(), 3);
    QVERIFY2(own.first().startsWith(QStringLiteral("ERRR; %1init; Cash application ").arg(where))
            && own.first().endsWith(
                QLatin1String(" is this supervisor's own program: not started")),
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
