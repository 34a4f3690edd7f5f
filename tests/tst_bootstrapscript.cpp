#include "app/bootstrap.h"
#include "app/bootstrapscript.h"
#include "processutil.h"
#include "testutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

class tst_BootstrapScript : public QObject
{
    Q_OBJECT

private slots:
    void windowsText_data();
    void windowsText();
    void unixRestart();
};

void tst_BootstrapScript::windowsText_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("plain") << "prog.exe"
                           << "C:/dir"
                           << QByteArray("@echo off\ntaskkill /f /im prog.exe\ncd C:/dir\n"
                                         "start prog.exe\ndel /f /q bootstrap.cmd\n");
    QTest::newRow("blanks stay unquoted")
        << "my prog.exe"
        << "C:/Program Files/till"
        << QByteArray("@echo off\ntaskkill /f /im my prog.exe\ncd C:/Program Files/till\n"
                      "start my prog.exe\ndel /f /q bootstrap.cmd\n");
}

void tst_BootstrapScript::windowsText()
{
    QFETCH(QString, program);
    QFETCH(QString, directory);
    QFETCH(QByteArray, text);
    QCOMPARE(bootstrapScriptName(ScriptPlatform::Windows), QStringLiteral("bootstrap.cmd"));
    QCOMPARE(bootstrapScriptText(ScriptPlatform::Windows, program, directory).toUtf8(), text);
}

void tst_BootstrapScript::unixRestart()
{
    if (currentScriptPlatform() != ScriptPlatform::Unix)
        QSKIP("runs the restart script of Unix systems, with /bin/sh and /proc");
    // The shell must see the very names the script was made for: blanks, quotes, expansions and
    // place markers stay as they are.
    QTemporaryDir dir(
        QDir::tempPath() + QStringLiteral("/lcs restart's $HOME `id` \\ \" %2-XXXXXX"));
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    // Longer than the 15 characters of /proc/PID/comm, and unique, since every process of the
    // name is killed; the other program shares the first 15 characters and must survive.
    const QString name = QStringLiteral("lcs probe's $(id) %2 %1-")
        + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-')
        + QString::number(QRandomGenerator::global()->generate());
    const QString other = name + QStringLiteral("-other");
    const QString program = dir.filePath(name);

    QProcess replaced, current, survivor;
    QList<qint64> restarted;
    const auto cleanup = qScopeGuard([&] {
        for (QProcess *process : { &replaced, &current, &survivor })
            process->kill();
        for (qint64 pid : processesOf(name) + processesOf(other))
            killProcess(pid);
        for (QProcess *process : { &replaced, &current, &survivor })
            process->waitForFinished();
    });

    QVERIFY(QFile::copy(QStringLiteral(RESTARTPROBE_PATH), program));
    QVERIFY(QFile::copy(QStringLiteral(RESTARTPROBE_PATH), dir.filePath(other)));
    replaced.start(program, { QStringLiteral("old") });
    QVERIFY(replaced.waitForStarted());
    // An update has replaced the file of the first instance.
    QVERIFY(QFile::remove(program));
    QVERIFY(QFile::copy(QStringLiteral(RESTARTPROBE_PATH), program));
    current.start(program, { QStringLiteral("old") });
    survivor.start(dir.filePath(other), QStringList());
    QVERIFY(current.waitForStarted() && survivor.waitForStarted());
    QCOMPARE(processesOf(name).size(), 2);

    const QString script = dir.filePath(QStringLiteral("bootstrap.sh"));
    QVERIFY(
        writeFile(script, bootstrapScriptText(ScriptPlatform::Unix, name, dir.path()).toUtf8()));
    const QString startDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    QProcess restart;
    const bool scriptStarted = startBootstrapScript(&restart, QStringLiteral("bootstrap.sh"));
    QVERIFY(QDir::setCurrent(startDirectory));
    QVERIFY(scriptStarted);

    // Its end is the end of the restart: everything is done by then.
    QVERIFY(restart.waitForFinished());
    QCOMPARE(restart.exitStatus(), QProcess::NormalExit);
    QVERIFY(!QFile::exists(script));
    QTRY_COMPARE(replaced.state(), QProcess::NotRunning);
    QTRY_COMPARE(current.state(), QProcess::NotRunning);
    QCOMPARE(replaced.exitStatus(), QProcess::CrashExit);
    QCOMPARE(current.exitStatus(), QProcess::CrashExit);
    QTRY_COMPARE((restarted = processesOf(name)).size(), 1);
    const QString proc = QStringLiteral("/proc/%1/").arg(restarted.first());
    QCOMPARE(QFile::symLinkTarget(proc + QStringLiteral("cwd")), QDir(dir.path()).canonicalPath());
    QCOMPARE(readFile(proc + QStringLiteral("cmdline")),
        QFile::encodeName(QStringLiteral("./") + name) + '\0');
    QCOMPARE(survivor.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(tst_BootstrapScript)
#include "tst_bootstrapscript.moc"
