#include "supervisorfixture.h"

#include "testutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {

quint16 freeUdpPort()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    return probe.localPort();
}

bool copyExecutable(const QString &from, const QString &to)
{
    return QFile::copy(from, to)
            && QFile::setPermissions(to, QFile::permissions(to) | QFile::ExeOwner | QFile::ExeUser);
}

} // namespace

SupervisorFixture::SupervisorFixture()
{
    if (!tempDir.isValid()) {
        error = tempDir.errorString();
        return;
    }
    // Unique per fixture, so that one test's self-restart never kills another test's supervisor.
    name = QStringLiteral("lcs-e2e-%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    if (!copyExecutable(QStringLiteral(LOCALCASHSERVER_PATH), path(name))) {
        error = QStringLiteral("cannot copy the supervisor");
        return;
    }
    localServerPort = freeUdpPort();
    cashSimPort = freeUdpPort();
    while (cashSimPort == localServerPort)
        cashSimPort = freeUdpPort();
    if (!localServerPort || !cashSimPort) {
        error = QStringLiteral("no free UDP port");
        return;
    }

    setConfig(QStringLiteral("CASH"), QStringLiteral("LogLevel"), QStringLiteral("7"));
    setConfig(QStringLiteral("CASH"), QStringLiteral("ExecutablePath"), QStringLiteral(CASHSIM_PATH));
    setConfig(QStringLiteral("INTERPROCESS"), QStringLiteral("LocalServerPort"), QString::number(localServerPort));
    setConfig(QStringLiteral("INTERPROCESS"), QStringLiteral("CashPort"), QString::number(cashSimPort));
    setConfig(QStringLiteral("MAINTENANCE"), QStringLiteral("DisableMaintenance"), QStringLiteral("1"));
    setScenario(QStringLiteral("[run *]\nexit 0\n"));
    setSystemctlExitStatus(0);
    valid = true;
}

SupervisorFixture::~SupervisorFixture()
{
    if (supervisor.state() != QProcess::NotRunning) {
        supervisor.kill();
        supervisor.waitForFinished(5000);
    }
    // A restarted supervisor and any cash application still running from this directory.
    for (qint64 pid : programPids())
        ::kill(pid_t(pid), SIGKILL);
    const QList<qint64> cash = [this] {
        QList<qint64> pids;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            bool ok = false;
            const qint64 pid = entry.toLongLong(&ok);
            if (!ok)
                continue;
            const QByteArray cmdline = readFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (cmdline.contains(path(QStringLiteral("scenario.txt")).toLocal8Bit()))
                pids.append(pid);
        }
        return pids;
    }();
    for (qint64 pid : cash)
        ::kill(pid_t(pid), SIGKILL);
}

QString SupervisorFixture::path(const QString &relative) const
{
    return tempDir.filePath(relative);
}

void SupervisorFixture::setConfig(const QString &section, const QString &key, const QString &value)
{
    config[section][key] = value;
}

void SupervisorFixture::setScenario(const QString &scenario)
{
    writeFile(path(QStringLiteral("scenario.txt")), scenario.toUtf8());
    QFile::remove(path(QStringLiteral("scenario.txt.runs")));
}

void SupervisorFixture::setCashArguments(const QString &arguments)
{
    cashArguments = arguments;
}

void SupervisorFixture::setSystemctlExitStatus(int status)
{
    const QString script = QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\nexit %2\n")
                                   .arg(path(QStringLiteral("systemctl.calls")))
                                   .arg(status);
    const QString fake = path(QStringLiteral("fakebin/systemctl"));
    writeFile(fake, script.toUtf8());
    QFile::setPermissions(fake, QFile::permissions(fake) | QFile::ExeOwner | QFile::ExeUser);
}

QStringList SupervisorFixture::systemctlCalls() const
{
    const QString text = QString::fromUtf8(readFile(path(QStringLiteral("systemctl.calls"))));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool SupervisorFixture::writeConfig()
{
    QString arguments = cashArguments;
    if (!arguments.isEmpty())
        arguments += QLatin1Char(' ');
    arguments += QStringLiteral("--scenario %1 --cash-port %2 --server-port %3 --time-limit 90")
                         .arg(path(QStringLiteral("scenario.txt")))
                         .arg(cashSimPort)
                         .arg(localServerPort);
    if (!config[QStringLiteral("CASH")].contains(QStringLiteral("ProgrammArguments")))
        config[QStringLiteral("CASH")][QStringLiteral("ProgrammArguments")] = arguments;

    QByteArray text;
    for (auto section = config.cbegin(); section != config.cend(); ++section) {
        text += '[' + section.key().toUtf8() + "]\n";
        for (auto key = section->cbegin(); key != section->cend(); ++key)
            text += key.key().toUtf8() + " = " + key.value().toUtf8() + '\n';
    }
    return writeFile(path(QStringLiteral("config.ini")), text);
}

bool SupervisorFixture::start(const QStringList &arguments)
{
    if (!writeConfig())
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The fake systemctl comes first, so no test can ever reach the real one.
    env.insert(QStringLiteral("PATH"), path(QStringLiteral("fakebin")) + QLatin1Char(':')
                       + env.value(QStringLiteral("PATH")));
    supervisor.setProcessEnvironment(env);
    supervisor.setWorkingDirectory(QDir::tempPath());
    supervisor.setProcessChannelMode(QProcess::MergedChannels);
    supervisor.start(path(name), arguments);
    return supervisor.waitForStarted(10000);
}

bool SupervisorFixture::waitForFinished(int msecs)
{
    return supervisor.waitForFinished(msecs);
}

int SupervisorFixture::exitCode() const
{
    return supervisor.exitCode();
}

QProcess::ExitStatus SupervisorFixture::exitStatus() const
{
    return supervisor.exitStatus();
}

QStringList SupervisorFixture::logEntries() const
{
    return ::logEntries(path(QStringLiteral("log/localserver.log")));
}

bool SupervisorFixture::waitForLog(const QString &entry, int msecs, bool prefix) const
{
    return QTest::qWaitFor(
            [&] {
                const QStringList entries = logEntries();
                for (const QString &e : entries) {
                    if (prefix ? e.startsWith(entry) : e == entry)
                        return true;
                }
                return false;
            },
            msecs);
}

QStringList SupervisorFixture::cashRecord() const
{
    const QString text = QString::fromUtf8(readFile(path(QStringLiteral("record.txt"))));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QList<qint64> SupervisorFixture::programPids() const
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
        if (exe.endsWith(QLatin1String(" (deleted)")))
            exe.chop(10);
        if (QFileInfo(exe).fileName() == name)
            pids.append(pid);
    }
    return pids;
}
