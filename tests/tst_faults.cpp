#include "processutil.h"
#include "supervisorprocess.h"
#include "tarbuilder.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QUdpSocket>

#include <sys/stat.h>
#include <unistd.h>

// Faults from outside the program, against the real binary (or, where the program cannot be
// made to meet the fault, the real class): each time the program goes on, or ends, exactly as it
// is meant to, and says so in its log.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void unreadableConfiguration_data();
    void unreadableConfiguration();
    void heldPort_data();
    void heldPort();
    void cashProgramGoneAtRestart();
    void logBecomesUnwritable_data();
    void logBecomesUnwritable();
    void controlScriptHangs();
    void controlScriptFloods();
    void updateSourceChanges_data();
    void updateSourceChanges();
};

namespace {

const int startWait = 10000;

QByteArray command(int code, const QByteArray &payload = QByteArray())
{
    return QByteArray(1, '\0') + char(code >> 8 & 0xff) + '\0' + char(code & 0xff) + payload;
}

QByteArray positiveAnswer(int code)
{
    return QByteArray("\0\1\0", 3) + char(code);
}

QString where(const char *method)
{
    return QStringLiteral("LocalCashServer:LocalCashServer::") + QLatin1String(method);
}

QString entry(const char *label, const QString &where, const QString &text)
{
    return QStringLiteral("%1; %2; %3").arg(QLatin1String(label), where, text);
}

QString entry(const char *label, const char *method, const char *text)
{
    return entry(label, where(method), QString::fromUtf8(text));
}

const QString started = entry("INFO", "startProcess", "Cash process started successfully");
const QString appExit = entry("EMRG", "slotProcessFinished", "APP EXIT");
// The last line of a start: the configuration is let go when init returns.
const QString initDone = QStringLiteral("WARN; INIT:; ======================== initialization "
                                        "process finished =======================");

} // namespace

void tst_Faults::unreadableConfiguration_data()
{
    QTest::addColumn<QString>("broken");
    QTest::addColumn<int>("size"); // of a local.ini that sets ProgrammArguments; 0: a directory
    QTest::addColumn<QString>("error"); // "" when the file is loaded

    // A directory where a file is expected cannot be opened by anyone, root included (a mode of
    // 000 would stop nobody here). The other file still applies, ports and all.
    QTest::newRow("config.ini is a directory") << QStringLiteral("config.ini") << 0
                                               << QStringLiteral("Не удалось открыть файл "
                                                                 "'config.ini': (5) *");
    // Above 1 MiB nothing of it is used, not even its first line.
    QTest::newRow("local.ini of 1 MiB and a byte")
        << QStringLiteral("local.ini") << (1 << 20) + 1
        << QStringLiteral("Конфигурационный файл 'local.ini' больше 1048576 байт и не загружен.");
    QTest::newRow("local.ini of 1 MiB") << QStringLiteral("local.ini") << (1 << 20) << QString();
}

void tst_Faults::unreadableConfiguration()
{
    QFETCH(QString, broken);
    QFETCH(int, size);
    QFETCH(QString, error);
    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    QVERIFY(supervisor.configure(QString(), 6));
    if (size == 0) {
        QVERIFY(QFile::rename(supervisor.path(QStringLiteral("config.ini")),
            supervisor.path(QStringLiteral("local.ini"))));
        QVERIFY(QDir().mkpath(supervisor.path(broken)));
    } else {
        QByteArray text =
            "[CASH]\nProgrammArguments=-x " + supervisor.cashOptions().toUtf8() + '\n';
        text += QByteArray(size - text.size(), '#');
        QVERIFY(writeFile(supervisor.path(broken), text));
    }

    QVERIFY(supervisor.start());
    QVERIFY(supervisor.waitForCashRun(1, startWait));
    QVERIFY(supervisor.answers());
    const QString init = QStringLiteral("INIT:ConfigFile::init");
    // A local.ini that is loaded passes its arguments on to the cash application.
    const QString loaded = QStringLiteral("WARN; INIT:CASH; ProgrammArguments = -x *");
    const QStringList log = supervisor.log();
    VERIFY_IN_ORDER(log,
        QStringList({ entry("INFO", init,
                          QStringLiteral("Загрузка конфигурационного файла '%1'.").arg(broken)),
            error.isEmpty() ? loaded : entry("ERRR", init, error), started }));
    QCOMPARE(log.filter(QStringLiteral("ProgrammArguments = -x")).isEmpty(), !error.isEmpty());
}

void tst_Faults::heldPort_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("shared"); // the other socket sets SO_REUSEADDR
    QTest::addColumn<bool>("afterStart");

    // The supervisor binds without address reuse: a port held by another socket, with or
    // without it, makes the supervisor's bind fail; once the supervisor holds the port, no other
    // socket can bind it, not even one on the loopback address alone.
    const QString loopback = QStringLiteral("127.0.0.1");
    const QString any = QStringLiteral("0.0.0.0");
    QTest::newRow("held without sharing") << any << false << false;
    QTest::newRow("held with sharing") << any << true << false;
    QTest::newRow("taken over after the start, any address") << any << true << true;
    QTest::newRow("taken over after the start, loopback") << loopback << true << true;
}

void tst_Faults::heldPort()
{
    QFETCH(QString, address);
    QFETCH(bool, shared);
    QFETCH(bool, afterStart);

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    QVERIFY(supervisor.configure(QString(), 6));
    QUdpSocket other;
    const auto bindOther = [&] {
        return other.bind(QHostAddress(address), supervisor.serverPort(),
            shared ? QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint
                   : QAbstractSocket::DontShareAddress);
    };
    if (!afterStart)
        QVERIFY(bindOther());
    QVERIFY(supervisor.start());

    if (!afterStart) {
        QCOMPARE(supervisor.waitForExit(startWait), 0);
        QCOMPARE(supervisor.cashRuns(), 0);
        const QStringList log = supervisor.log();
        VERIFY_IN_ORDER(log,
            QStringList({ entry("ERRR", "init", "IPC init failed"),
                entry("ERRR", "init", "init failed") }));
        QVERIFY(!log.contains(appExit));
        return;
    }
    QVERIFY(supervisor.waitForCashRun(1, startWait));
    QVERIFY2(!bindOther(), "another socket took the command port");
    QVERIFY(supervisor.answers());
    QVERIFY(supervisor.isRunning());
}

void tst_Faults::cashProgramGoneAtRestart()
{
    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    const QString program = supervisor.path(QStringLiteral("cash"));
    QVERIFY(QFile::copy(QStringLiteral(CASHSIM_PATH), program));
    QVERIFY(supervisor.configure(QStringLiteral("[run 1]\nsend restart\nwait-maintenance 20000\n"
                                                "exit 0"),
        6, QStringLiteral("[CASH]\nExecutablePath=%1\n").arg(program)));
    QVERIFY(supervisor.start());
    QVERIFY(supervisor.waitForCashRun(1, startWait));
    QVERIFY(supervisor.waitForLog(QStringLiteral("RESTART_CMD_RECEIVED"), startWait));

    QVERIFY(QFile::remove(program));
    QVERIFY(supervisor.releaseCashApp());
    const QString failed =
        entry("EMRG", "slotProcessError", "Cash app process error: FailedToStart");
    QVERIFY(supervisor.waitForLog(failed, startWait));

    // A plain start that fails leaves the supervisor idle, not ended.
    QVERIFY(supervisor.answers());
    QVERIFY(supervisor.isRunning());
    QCOMPARE(supervisor.cashRuns(), 1);
    const QStringList log = supervisor.log();
    VERIFY_IN_ORDER(log,
        QStringList(
            { entry("NOTE", "slotProcessFinished", "Выполняется перезапуск процесса кассы."),
                failed }));
    QVERIFY(log.filter(QStringLiteral("Exit app")).isEmpty());
}

void tst_Faults::logBecomesUnwritable_data()
{
    QTest::addColumn<QString>("moved"); // moved aside, and a file or directory put in its place
    QTest::addColumn<bool>("directory");

    // Permissions would not stop root; a file where the directory should be (ENOTDIR) or a
    // directory where the file should be (EISDIR) makes every open fail for everyone.
    QTest::newRow("log directory replaced by a file") << QStringLiteral("log") << false;
    QTest::newRow("log file replaced by a directory")
        << QStringLiteral("log/localserver.log") << true;
}

void tst_Faults::logBecomesUnwritable()
{
    QFETCH(QString, moved);
    QFETCH(bool, directory);

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    QVERIFY(supervisor.configure(
        QStringLiteral("[run 1]\nwait-maintenance 20000\nexit 0\n[run 2]"), 6));
    QVERIFY(supervisor.start());
    QVERIFY(supervisor.waitForCashRun(1, startWait));
    QVERIFY(supervisor.waitForLog(initDone, startWait));

    const QString path = supervisor.path(moved);
    const QString aside = path + QStringLiteral(".old");
    QVERIFY(QFile::rename(path, aside));
    QVERIFY(directory ? QDir().mkdir(path) : writeFile(path, "in the way"));

    // Commands are still answered and carried out; their lines are lost.
    QCOMPARE(supervisor.send(command(0)), positiveAnswer(0));
    QVERIFY(supervisor.releaseCashApp());
    QVERIFY(supervisor.waitForCashRun(2, startWait));

    // Once the way is clear again the next line makes a new file.
    QVERIFY(directory ? QDir().rmdir(path) : QFile::remove(path));
    if (!directory)
        QVERIFY(QDir().mkdir(path));
    QCOMPARE(supervisor.send(command(0)), positiveAnswer(0));
    QCOMPARE(
        supervisor.log(), QStringList({ entry("INFO", "restartCmd", "RESTART_CMD_RECEIVED") }));

    const QString old = directory ? aside : aside + QStringLiteral("/localserver.log");
    const QStringList before = logEntries(old);
    QCOMPARE(before.last(), initDone);
    QVERIFY(supervisor.isRunning());
}

void tst_Faults::controlScriptHangs()
{
    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    const QString pidFile = supervisor.path(QStringLiteral("script.pid"));
    QVERIFY(writeFile(supervisor.path(QStringLiteral("scripts/control.sh")),
        QStringLiteral("echo $$ > %1\necho waiting\nexec sleep 60\n").arg(pidFile).toUtf8()));
    QVERIFY(supervisor.configure(QStringLiteral("[run 1]\nsend maintainer\nexit 0\n[run 2]"), 6));
    QVERIFY(supervisor.start());

    qint64 script = 0;
    QVERIFY(QTest::qWaitFor(
        [&] { return (script = readFile(pidFile).trimmed().toLongLong()) > 0; }, startWait));
    supervisor.adopt(script);
    QVERIFY(supervisor.waitForLog(QStringLiteral("OUT:\nwaiting"), startWait));

    // No time limit ends a script; meanwhile commands are answered and the cash application
    // stays down.
    QTest::qWait(500);
    QVERIFY(supervisor.answers());
    QCOMPARE(supervisor.cashRuns(), 1);

    // Ended from outside, the script counts as crashed and the cash application comes back.
    QVERIFY(killProcess(script));
    QVERIFY(supervisor.waitForCashRun(2, startWait));
    const QString maintainer = QStringLiteral("Maintainer:FileMaintainer::");
    VERIFY_IN_ORDER(supervisor.log(),
        QStringList({ entry("NOTE", "slotProcessFinished",
                          "Процесс кассы остановлен для выполнения скриптов обслуживания."),
            entry("INFO", maintainer + QStringLiteral("startScript"),
                QStringLiteral("Maintenance control script started.")),
            entry("ERRR", maintainer + QStringLiteral("slotError"),
                QStringLiteral("Maintenance control script failed: (1) *")),
            started,
            entry("ERRR", maintainer + QStringLiteral("slotFinished"),
                QStringLiteral("Maintenance control script crashed with exitcode 9")) }));
    QVERIFY(supervisor.isRunning());
}

void tst_Faults::controlScriptFloods()
{
    const int outBytes = 16 << 20;
    const int errBytes = 1 << 20;
    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    QVERIFY(writeFile(supervisor.path(QStringLiteral("scripts/control.sh")),
        QStringLiteral("yes 'flood 0123456789abcdefghijklmnopqrstuvwxyz' | head -c %1\n"
                       "yes 'error 0123456789' | head -c %2 >&2\n"
                       "echo END\nexit 3\n")
            .arg(outBytes)
            .arg(errBytes)
            .toUtf8()));
    QVERIFY(supervisor.configure(QStringLiteral("[run 1]\nsend maintainer\nexit 0\n[run 2]"), 6));
    QVERIFY(supervisor.start());
    QVERIFY(supervisor.waitForCashRun(2, 30000));
    QVERIFY(supervisor.answers());

    // Everything the script wrote reaches the log, in pieces of whatever size arrived.
    const QList<LogLine> lines = readLog(supervisor.path(QStringLiteral("log/localserver.log")));
    QString out;
    QString err;
    for (const LogLine &line : lines) {
        if (line.where.endsWith(QLatin1String("slotReadStandardOutput")))
            out += line.text.mid(5);
        else if (line.where.endsWith(QLatin1String("slotReadStandardError")))
            err += line.text.mid(7);
    }
    QCOMPARE(out.size(), outBytes + 4);
    QVERIFY(out.endsWith(QLatin1String("END\n")));
    QCOMPARE(err.size(), errBytes);
    VERIFY_IN_ORDER(supervisor.log(),
        QStringList({ entry("INFO", QStringLiteral("Maintainer:FileMaintainer::slotFinished"),
                          QStringLiteral("Maintenance control script finished successfuly with "
                                         "exitcode 3")),
            started }));
}

void tst_Faults::updateSourceChanges_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("line"); // %1: the package's absolute path

    QTest::newRow("no path") << QStringLiteral("no path")
                             << QStringLiteral("Не задан путь до источника обновления.");
    QTest::newRow("removed") << QStringLiteral("remove")
                             << QStringLiteral("Источник обновления '%1' не найден.");
    QTest::newRow("replaced by a directory") << QStringLiteral(
        "directory") << QStringLiteral("Источник обновления '%1' не является файлом.");
    // Looked at, never opened: a pipe would block the program for good.
    QTest::newRow("replaced by a named pipe")
        << QStringLiteral("fifo") << QStringLiteral("Источник обновления '%1' не является файлом.");
    QTest::newRow("replaced by a link")
        << QStringLiteral("link") << QStringLiteral("Источник обновления '%1' является ссылкой.");
    QTest::newRow("emptied") << QStringLiteral("empty")
                             << QStringLiteral("Пакет обновления 'update.tgz' не прошёл проверку: "
                                               "это не поток gzip или zlib, или он повреждён.");
}

void tst_Faults::updateSourceChanges()
{
    QFETCH(QString, change);
    QFETCH(QString, line);

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    const QString package = supervisor.path(QStringLiteral("update.tgz"));
    QVERIFY(writeFile(package, gzipCompressed(TarBuilder().file("new.txt", "new").end().tar())));
    QVERIFY(supervisor.configure(QStringLiteral("[run 1]\nwait-maintenance 20000\nexit 0"), 6));
    QVERIFY(supervisor.start());
    QVERIFY(supervisor.waitForCashRun(1, startWait));
    const bool noPath = change == QLatin1String("no path");
    QCOMPARE(supervisor.send(command(4, noPath ? "" : "update.tgz")), positiveAnswer(4));

    // Between the command and the exit of the cash application.
    const QString aside = supervisor.path(QStringLiteral("aside.tgz"));
    if (change != QLatin1String("empty") && !noPath)
        QVERIFY(QFile::rename(package, aside));
    if (change == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(package));
    else if (change == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(package).constData(), 0600), 0);
    else if (change == QLatin1String("link"))
        QVERIFY(QFile::link(aside, package));
    else if (change == QLatin1String("empty"))
        QVERIFY(writeFile(package, QByteArray()));
    QVERIFY(supervisor.releaseCashApp());

    const QString stopped =
        entry("NOTE", "slotProcessFinished", "Процесс кассы остановлен для выполнения обновления.");
    QVERIFY(supervisor.waitForLog(stopped, startWait));
    // The installation blocks the event loop: an answer means it is over.
    QVERIFY(supervisor.answers());
    QVERIFY(supervisor.isRunning());
    const QStringList log = supervisor.log();
    const int at = log.indexOf(stopped);
    const QStringList after = log.mid(at + 1);
    if (change == QLatin1String("empty")) {
        const QString where = QStringLiteral("TinyTarUnpackerPrivate::unpack");
        QCOMPARE(after,
            QStringList(
                { entry("INFO", where, QStringLiteral("Распаковка архива 'update.tgz' в '.'...")),
                    entry("ERRR", where, line) }));
    } else {
        QCOMPARE(after,
            QStringList({ entry("ERRR", where("slotProcessFinished"),
                line.contains(QLatin1String("%1")) ? line.arg(package) : line) }));
    }
    QCOMPARE(supervisor.cashRuns(), 1);
    QVERIFY(!QFile::exists(supervisor.path(QStringLiteral("new.txt"))));
    QVERIFY(!QFile::exists(supervisor.path(QStringLiteral("bootstrap.sh"))));
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
