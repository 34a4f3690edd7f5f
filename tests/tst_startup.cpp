#include "app/startup.h"
#include "testutil.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QUdpSocket>

#include <filesystem>

// The real program's start-up: where it finds itself, its settings and its log, however started.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void findsItsDirectory_data();
    void findsItsDirectory();
    void authArgument_data();
    void authArgument();
};

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

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const auto native = [](const QString &path) {
        return std::filesystem::u8path(path.toUtf8().toStdString());
    };
    // By the system's own calls: Qt has no spelling for a name that is not valid UTF-8.
    const auto cleanup = qScopeGuard([&] {
        std::error_code error;
        std::filesystem::remove_all(native(dir.path()), error);
    });
    QString programDir = dir.filePath(QStringLiteral("prog"));
    const QString other = dir.filePath(QStringLiteral("other"));
    const QString suffix = QFileInfo(QStringLiteral(LOCALCASHSERVER_PATH)).suffix();
    const QString name = QStringLiteral("lcs-startup") + (suffix.isEmpty() ? "" : "." + suffix);
    QVERIFY(QDir().mkpath(programDir) && QDir().mkpath(other));
    QVERIFY(QFile::copy(QStringLiteral(LOCALCASHSERVER_PATH), programDir + '/' + name));
    // A free port and a cash application that does not exist: the program ends right after its
    // start-up. The log of the run before is moved aside first.
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 port = probe.localPort();
    probe.close();
    QVERIFY(writeFile(programDir + QStringLiteral("/config.ini"),
        QStringLiteral("[INTERPROCESS]\nLocalServerPort=%1\nCashPort=%1\n"
                       "[CASH]\nExecutablePath=./no-such-cash-app\n")
            .arg(port)
            .toLatin1()));
    QVERIFY(writeFile(programDir + QStringLiteral("/log/localserver.log"), "previous run\n"));

    if (cyrillic) {
        const QString cyrillicName = dir.filePath(QStringLiteral("касса"));
#ifdef Q_OS_WIN
        // Valid in UTF-16, but argv[0] holds it in the system's 8-bit code page.
        QVERIFY(QDir().rename(programDir, cyrillicName));
        programDir = cyrillicName;
#else
        // No valid UTF-8, so no text names it: the test reaches it through a link.
        const auto target = QTextCodec::codecForName("Windows-1251")->fromUnicode(cyrillicName);
        std::error_code error;
        std::filesystem::rename(native(programDir), target.toStdString(), error);
        if (!error)
            std::filesystem::create_directory_symlink(
                target.toStdString(), native(programDir), error);
        QVERIFY2(!error, error.message().c_str());
#endif
    }
    QString program = programDir + '/' + name;
    QStringList arguments;
    QProcess process;
    if (start == QLatin1String("relative path")) {
        program = QStringLiteral("../%1/%2").arg(QFileInfo(programDir).fileName(), name);
    } else if (start == QLatin1String("PATH")) {
        // Through the shell, which hands the program its name as typed.
#ifdef Q_OS_WIN
        arguments = QStringList { QStringLiteral("/c"), name };
        program = QStringLiteral("cmd.exe");
#else
        arguments = QStringList { QStringLiteral("-c"), QStringLiteral("exec ") + name };
        program = QStringLiteral("/bin/sh");
#endif
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"),
            QDir::toNativeSeparators(programDir) + QDir::listSeparator()
                + environment.value(QStringLiteral("PATH")));
        process.setProcessEnvironment(environment);
    }
    // Started as from a shell in another directory: Windows resolves a relative program path
    // against the starting process's own directory.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(other));
    process.setWorkingDirectory(other);
    process.start(program, arguments);
    QDir::setCurrent(previous);
    const auto end = qScopeGuard([&] {
        process.kill();
        process.waitForFinished();
    });
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    QVERIFY(!QFileInfo::exists(other + QStringLiteral("/log")));
    const QDir logDir(programDir + QStringLiteral("/log"));
    const QStringList rotated = logDir.entryList({ QStringLiteral("localserver_*.log") });
    QCOMPARE(rotated.size(), 1);
    QCOMPARE(readFile(logDir.filePath(rotated.first())), QByteArray("previous run\n"));
    const QStringList entries = logEntries(logDir.filePath(QStringLiteral("localserver.log")));
    QVERIFY(!entries.isEmpty());
    static const QRegularExpression banner(
        QStringLiteral("^EMRG; main; LocalCashServer app started Ver : (Linux|Win) 2\\.71\\.0\\.0 "
                       "\\([A-Z][a-z]{2} [ 1-3]\\d \\d{4}\\)$"));
    QVERIFY2(banner.match(entries.first()).hasMatch(), qPrintable(entries.first()));
    // Its settings were found too.
    QVERIFY(
        entries.contains(QStringLiteral("WARN; INIT:CASH; ExecutablePath = ./no-such-cash-app")));
}

void tst_Startup::authArgument_data()
{
    QTest::addColumn<QStringList>("arguments"); // after the program's path
    QTest::addColumn<QString>("expected");

    QTest::newRow("none") << QStringList({ "-x" }) << QString();
    QTest::newRow("one") << QStringList({ "auth=abc" }) << QStringLiteral("auth=abc");
    QTest::newRow("last wins, spelled as typed")
        << QStringList({ "auth=one", "AUTH=two" }) << QStringLiteral("AUTH=two");
    QTest::newRow("empty value is kept") << QStringList({ "auth=" }) << QStringLiteral("auth=");
    QTest::newRow("match at the start only") << QStringList({ "xauth=1", "-auth=1" }) << QString();
    QTest::newRow("program path never examined") << QStringList() << QString();
}

void tst_Startup::authArgument()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QCOMPARE(::authArgument(QStringList(QStringLiteral("auth=prog")) + arguments), expected);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
