#include "supervisorprocess.h"

#include "processutil.h"
#include "testutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTest>
#include <QTime>
#include <QUdpSocket>

namespace {

// Two distinct ports that are free right now.
bool freePorts(quint16 *first, quint16 *second)
{
    QUdpSocket a;
    QUdpSocket b;
    if (!a.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress)
        || !b.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress)) {
        return false;
    }
    *first = a.localPort();
    *second = b.localPort();
    return true;
}

QByteArray exchange(quint16 port, const QByteArray &datagram, int msecs)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0)
        || socket.writeDatagram(datagram, QHostAddress::LocalHost, port) != datagram.size()
        || !socket.waitForReadyRead(msecs)) {
        return QByteArray();
    }
    QByteArray answer(int(qMax<qint64>(socket.pendingDatagramSize(), 0)), '\0');
    socket.readDatagram(answer.data(), answer.size());
    return answer;
}

} // namespace

SupervisorProcess::SupervisorProcess() : dir(new QTemporaryDir)
{
    if (!dir->isValid()) {
        error = dir->errorString();
        return;
    }
    // One level down, so that tests can watch the directory around the program's.
    directory = QFileInfo(dir->path()).canonicalFilePath() + QStringLiteral("/app");
    if (!QDir().mkpath(directory)) {
        error = QStringLiteral("cannot make %1").arg(directory);
        return;
    }
    // The program with the libraries installed beside it (none in a build tree, whose libraries
    // come from the system's search path).
    const QFileInfo source(testProgram(LOCALCASHSERVER_PATH));
    static int copies = 0;
    QString name =
        QStringLiteral("lcs-%1-%2").arg(QCoreApplication::applicationPid()).arg(++copies);
    if (!source.suffix().isEmpty())
        name += QLatin1Char('.') + source.suffix();
    program = path(name);
    if (!QFile::copy(source.filePath(), program)) {
        error = QStringLiteral("cannot copy the program to %1").arg(program);
        return;
    }
    const QStringList libraries = source.dir().entryList({ QStringLiteral("*.dll") }, QDir::Files);
    for (const QString &library : libraries) {
        if (!QFile::copy(source.dir().filePath(library), path(library))) {
            error = QStringLiteral("cannot copy %1 beside the program").arg(library);
            return;
        }
    }
    // No test may ever reach the real one.
    if (!setSystemctl(1)) {
        error = QStringLiteral("cannot write the fake systemctl");
        return;
    }
    if (!freePorts(&server, &cash))
        error = QStringLiteral("no free UDP ports");
}

SupervisorProcess::~SupervisorProcess()
{
    stop();
}

void SupervisorProcess::stop()
{
    if (supervisorPid > 0 && isRunning()) {
        killProcess(supervisorPid);
        process.waitForFinished(5000);
    }
    const QList<qint64> others = programPids() + cashPids();
    for (const qint64 pid : others) {
        if (processRunning(pid))
            killProcess(pid);
    }
}

QString SupervisorProcess::outsidePath(const QString &relative) const
{
    return QFileInfo(directory).path() + QLatin1Char('/') + relative;
}

QString SupervisorProcess::path(const QString &relative) const
{
    return relative.isEmpty() ? directory : directory + QLatin1Char('/') + relative;
}

QString SupervisorProcess::programName() const
{
    return QFileInfo(program).fileName();
}

QString SupervisorProcess::cashOptions() const
{
    return QStringLiteral("--scenario %1 --cash-port %2 --server-port %3 --time-limit 300")
        .arg(path(QStringLiteral("scenario.txt")))
        .arg(cash)
        .arg(server);
}

bool SupervisorProcess::setSystemctl(int status)
{
    const QString fake = path(QStringLiteral("bin/systemctl"));
    return writeFile(fake,
               QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\nexit %2\n")
                   .arg(path(QStringLiteral("systemctl.calls")))
                   .arg(status)
                   .toUtf8())
        && QFile::setPermissions(fake, QFile::ReadOwner | QFile::ExeOwner);
}

QStringList SupervisorProcess::systemctlCalls() const
{
    return QString::fromUtf8(readFile(path(QStringLiteral("systemctl.calls"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool SupervisorProcess::configure(const QString &scenario, int logLevel, const QString &extra)
{
    // Every start records itself first, whatever section of the scenario it runs.
    const QString record = QStringLiteral("record ") + path(QStringLiteral("runs.txt"));
    QStringList lines = { record };
    for (const QString &line : scenario.split(QLatin1Char('\n'))) {
        lines << line;
        if (line.trimmed().startsWith(QLatin1String("[run")))
            lines << record;
    }
    if (!writeFile(path(QStringLiteral("scenario.txt")), lines.join(QLatin1Char('\n')).toUtf8()))
        return false;

    // Maintenance stays enabled (so that its end restarts the cash application) but its time
    // lies half a day away.
    const QString config =
        QStringLiteral("[CASH]\nLogLevel=%1\nExecutablePath=%2\nProgrammArguments=%3\n"
                       "[INTERPROCESS]\nCashPort=%4\nLocalServerPort=%5\n"
                       "[MAINTENANCE]\nMaintenanceTime=%6\nPythonExePath=%7\n"
                       "ScriptPath=%8\nControlScript=control.sh\nArchiveDir=archive\n")
            .arg(logLevel)
            .arg(testProgram(CASHSIM_PATH), cashOptions())
            .arg(cash)
            .arg(server)
            .arg(QTime::currentTime().addSecs(12 * 3600).toString(QStringLiteral("hh:mm")),
                testProgram(TEST_SHELL_PATH), path(QStringLiteral("scripts")));
    return writeFile(path(QStringLiteral("config.ini")), (config + extra).toUtf8());
}

bool SupervisorProcess::start(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
        path(QStringLiteral("bin")) + QDir::listSeparator()
            + environment.value(QStringLiteral("PATH")));
    // Not a service of whatever runs the tests, unless a test says so.
    for (const char *name : { "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID" })
        environment.remove(QString::fromLatin1(name));
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    // The cash application's output comes through the supervisor's; kept for a failing test.
    process.setStandardOutputFile(path(QStringLiteral("output.txt")), QIODevice::Append);
    process.setStandardErrorFile(path(QStringLiteral("output.txt")), QIODevice::Append);
    // Elsewhere than its own directory, which it must find by itself.
    process.setWorkingDirectory(outsidePath(QString()));
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return false;
    supervisorPid = process.processId();
    return true;
}

bool SupervisorProcess::isRunning() const
{
    auto &p = const_cast<QProcess &>(process);
    return p.state() != QProcess::NotRunning && !p.waitForFinished(0);
}

int SupervisorProcess::waitForExit(int msecs)
{
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(msecs))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QList<qint64> SupervisorProcess::cashPids() const
{
    QList<qint64> pids;
    for (const CashRun &run : readCashRuns(path(QStringLiteral("runs.txt")))) {
        // A start may record itself twice: once before the scenario's sections, once in one.
        if (!pids.contains(run.pid))
            pids << run.pid;
    }
    return pids;
}

QStringList SupervisorProcess::cashRecord() const
{
    return QString::fromUtf8(readFile(path(QStringLiteral("runs.txt"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QList<qint64> SupervisorProcess::programPids() const
{
    return processesOf(programName());
}

int SupervisorProcess::cashRuns() const
{
    return cashPids().size();
}

qint64 SupervisorProcess::waitForCashRun(int run, int msecs)
{
    qint64 pid = 0;
    QElapsedTimer gone;
    static_cast<void>(QTest::qWaitFor(
        [&] {
            for (const CashRun &record : readCashRuns(path(QStringLiteral("runs.txt")))) {
                if (record.run == run)
                    pid = record.pid;
            }
            // A restart script may leave no instance for a moment, and exists until its end.
            if (!programPids().isEmpty() || QFileInfo::exists(path(QStringLiteral("bootstrap.sh"))))
                gone.invalidate();
            else if (!gone.isValid())
                gone.start();
            return pid > 0 || (gone.isValid() && gone.elapsed() > 500);
        },
        msecs));
    return pid;
}

qint64 SupervisorProcess::statusKb(const QByteArray &field) const
{
    const QList<QByteArray> lines =
        readFile(QStringLiteral("/proc/%1/status").arg(supervisorPid)).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 SupervisorProcess::cpuMs() const
{
    // Its first field: nanoseconds spent on a processor.
    bool ok = false;
    const qint64 ns = readFile(QStringLiteral("/proc/%1/schedstat").arg(supervisorPid))
                          .split(' ')
                          .value(0)
                          .toLongLong(&ok);
    return ok ? ns / 1000000 : -1;
}

QStringList SupervisorProcess::log() const
{
    return logEntries(path(QStringLiteral("log/localserver.log")));
}

bool SupervisorProcess::waitForLog(const QString &text, int msecs)
{
    return QTest::qWaitFor([&] { return !log().filter(text).isEmpty(); }, msecs);
}

QByteArray SupervisorProcess::send(const QByteArray &datagram, int msecs) const
{
    return exchange(server, datagram, msecs);
}

bool SupervisorProcess::answers() const
{
    return send(QByteArray("\0\0\0\7", 4)) == QByteArray("\0\2\0\7", 4);
}

bool SupervisorProcess::releaseCashApp() const
{
    return exchange(cash, QByteArray("\0\0\0\5", 4), 3000) == QByteArray("\0\1\0\5", 4);
}

QString SupervisorProcess::missingInOrder(const QStringList &entries, const QStringList &expected)
{
    int at = 0;
    for (const QString &wanted : expected) {
        const bool prefix = wanted.endsWith(QLatin1Char('*'));
        const QString text = prefix ? wanted.chopped(1) : wanted;
        while (at < entries.size()
            && !(prefix ? entries.at(at).startsWith(text) : entries.at(at) == text)) {
            ++at;
        }
        if (at == entries.size())
            return wanted;
        ++at;
    }
    return QString();
}
