#include "localcashserver.h"

#include "app/bootstrap.h"
#include "app/bootstrapscript.h"
#include "app/power.h"
#include "app/updatepaths.h"
#include "config/configfile.h"
#include "ipc/commands.h"
#include "maintenance/filemaintainer.h"
#include "process/cashprocessmanager.h"
#include "update/tinytarunpacker.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTextCodec>
#include <QTimer>

namespace {
constexpr int startTimeoutMs = 30000;
constexpr int bootstrapTimeoutMs = 5000;

const QString sectionCash = QStringLiteral("CASH");
const QString sectionInterprocess = QStringLiteral("INTERPROCESS");
const QString sectionMaintenance = QStringLiteral("MAINTENANCE");
} // namespace

LocalCashServer::LocalCashServer(QObject *parent)
    : QObject(parent),
      logSource(QStringLiteral("LocalCashServer")),
      pendingCommand(NO_CMD),
      processManager(new CashProcessManager(this)),
      channel(this),
      maintainer(new FileMaintainer(this))
{
    connect(processManager, &CashProcessManager::error, this, &LocalCashServer::slotProcessError);
    connect(
        processManager, &CashProcessManager::started, this, &LocalCashServer::slotProcessStarted);
    connect(
        processManager, &CashProcessManager::finished, this, &LocalCashServer::slotProcessFinished);

    channel.registerCommand(RESTART_CMD, &LocalCashServer::restartCmd);
    channel.registerCommand(REBOOT_CMD, &LocalCashServer::rebootCmd);
    channel.registerCommand(HALT_CMD, &LocalCashServer::haltCmd);
    channel.registerCommand(MAINTAINER_CMD, &LocalCashServer::maintainerCmd);
    channel.registerCommand(UPDATE_CMD, &LocalCashServer::updateCmd);
}

LocalCashServer::~LocalCashServer() = default;

void LocalCashServer::setAuthArgument(const QString &argument)
{
    authArgument = argument;
}

bool LocalCashServer::init(
    const QString &configFile, const QString &localFile, const QString &thirdFile)
{
    const QString method = QStringLiteral("LocalCashServer::init");
    ConfigFile config(QStringLiteral("Windows-1251"));
    // A missing or unreadable file leaves its keys at their defaults; the file reports it.
    static_cast<void>(config.init(configFile, false));
    if (!localFile.isEmpty())
        static_cast<void>(config.init(localFile, false));
    if (!thirdFile.isEmpty())
        static_cast<void>(config.init(thirdFile, false));

    Log::setLevel(int(config.getInt(sectionCash, QStringLiteral("LogLevel"), 5)));

    UDP &udp = channel.udp();
    udp.setPeerAddress(QHostAddress(config.getString(
        sectionInterprocess, QStringLiteral("CashAddress"), QStringLiteral("127.0.0.1"))));
    udp.setPeerPort(
        quint16(config.getUInt(sectionInterprocess, QStringLiteral("CashPort"), 55006)));
    udp.setAddressFilter(
        config.getBool(sectionInterprocess, QStringLiteral("ServerFilterAddress"), true));

    const bool bound = channel.bind(
        quint16(config.getUInt(sectionInterprocess, QStringLiteral("LocalServerPort"), 55005)));
    if (!bound)
        logSource.error(QStringLiteral("IPC init failed"), method);

    processManager->setExecutablePath(config.getString(sectionCash,
        QStringLiteral("ExecutablePath"), QStringLiteral("%1/vorcam").arg(QLatin1Char('.'))));
    processManager->setWorkingDirectory(
        config.getString(sectionCash, QStringLiteral("WorkingDirectory"), QStringLiteral(".")));

    // No quoting: every single blank separates two arguments, so empty arguments are kept.
    QString arguments =
        config.getString(sectionCash, QStringLiteral("ProgrammArguments"), QString());
    if (!authArgument.isEmpty())
        arguments += QLatin1Char(' ') + authArgument;
    processManager->setArguments(
        arguments.split(QLatin1Char(' '), Qt::KeepEmptyParts, Qt::CaseSensitive));

    maintainer->setEnabled(
        !config.getBool(sectionMaintenance, QStringLiteral("DisableMaintenance"), false));
    maintainer->setMaintenanceTime(config.getString(
        sectionMaintenance, QStringLiteral("MaintenanceTime"), QStringLiteral("04:00")));
    maintainer->setPythonExePath(config.getString(sectionMaintenance,
        QStringLiteral("PythonExePath"), QStringLiteral("C:/Python27/python.exe")));
    maintainer->setScriptPath(config.getString(sectionMaintenance, QStringLiteral("ScriptPath"),
        QStringLiteral("%1/scripts").arg(QLatin1Char('.'))));
    maintainer->setArchiveDir(config.getString(sectionMaintenance, QStringLiteral("ArchiveDir"),
        QStringLiteral("%1/archive").arg(QLatin1Char('.'))));
    maintainer->setControlScript(config.getString(
        sectionMaintenance, QStringLiteral("ControlScript"), QStringLiteral("control.py")));

    if (maintainer->isEnabled()) {
        connect(maintainer, &FileMaintainer::signalMaintenanceStart, this,
            &LocalCashServer::slotMaintainerStart);
        connect(maintainer, &FileMaintainer::signalMaintenanceFinished, this,
            &LocalCashServer::slotMaintainerFinished);
    }

    if (!bound) {
        logSource.error(QStringLiteral("init failed"), method);
        return false;
    }
    return startProcess();
}

bool LocalCashServer::startProcess()
{
    const QString method = QStringLiteral("LocalCashServer::startProcess");
    processManager->start();
    if (processManager->waitForStarted(startTimeoutMs)) {
        logSource.log(Log::Info, QStringLiteral("Cash process started successfully"), method);
        return true;
    }
    logSource.log(Log::Critical,
        QStringLiteral("Cash process start fail : %1; Exit app").arg(processManager->errorName()),
        method);
    return false;
}

void LocalCashServer::slotProcessStarted()
{
    logSource.log(Log::Debug, QStringLiteral("Cash application started"),
        QStringLiteral("LocalCashServer::slotProcessStarted"));
}

void LocalCashServer::slotProcessError(QProcess::ProcessError)
{
    // The manager's error name carries the same error as the argument.
    logSource.log(Log::Emergency,
        QStringLiteral("Cash app process error: %1").arg(processManager->errorName()),
        QStringLiteral("LocalCashServer::slotProcessError"));
}

void LocalCashServer::slotProcessFinished(int, QProcess::ExitStatus exitStatus)
{
    const QString method = QStringLiteral("LocalCashServer::slotProcessFinished");
    if (exitStatus == QProcess::CrashExit) {
        logSource.log(Log::Emergency, QStringLiteral("Crash Exit Cash application"), method);
        QCoreApplication::quit();
        return;
    }

    switch (pendingCommand) {
    case RESTART_CMD:
        logSource.notice(tr("Выполняется перезапуск процесса кассы."), method);
        processManager->start();
        break;
    case REBOOT_CMD:
        logSource.notice(tr("Выполняется перезагрузка компьютера."), method);
        // A refused reboot leaves the supervisor idle; there is nobody to tell.
        static_cast<void>(rebootComputer());
        break;
    case HALT_CMD:
        logSource.notice(tr("Выполняется выключение компьютера."), method);
        static_cast<void>(powerOffComputer());
        break;
    case MAINTAINER_CMD:
        logSource.notice(
            tr("Процесс кассы остановлен для выполнения скриптов обслуживания."), method);
        if (!maintainer->startScript())
            processManager->start();
        break;
    case UPDATE_CMD:
        logSource.notice(tr("Процесс кассы остановлен для выполнения обновления."), method);
        installUpdate();
        break;
    default:
        logSource.log(Log::Emergency, QStringLiteral("APP EXIT"), method);
        QCoreApplication::quit();
        break;
    }
    pendingCommand = NO_CMD;
}

void LocalCashServer::slotMaintainerStart()
{
    logSource.log(Log::Debug, QStringLiteral("enter"),
        QStringLiteral("LocalCashServer::slotMaintainerStart"));
    // Success, failure and time-out alike: the channel has logged the outcome, and maintenance
    // simply waits for the cash application to ask for it.
    static_cast<void>(channel.processCommand(MAINTENANCE_START_CMD, QByteArray()));
}

void LocalCashServer::slotMaintainerFinished()
{
    if (!startProcess())
        QCoreApplication::quit();
}

void LocalCashServer::slotBootstrapFailed()
{
    logSource.log(Log::Warning, tr("Не удалось перезапустить собственный процесс."),
        QStringLiteral("LocalCashServer::slotBootstrapFailed"));
    if (!startProcess())
        QCoreApplication::quit();
}

bool LocalCashServer::restartCmd(const QByteArray &)
{
    logSource.log(Log::Info, QStringLiteral("RESTART_CMD_RECEIVED"),
        QStringLiteral("LocalCashServer::restartCmd"));
    pendingCommand = RESTART_CMD;
    return true;
}

bool LocalCashServer::rebootCmd(const QByteArray &)
{
    logSource.log(Log::Info, QStringLiteral("REBOOT_CMD_RECEIVED"),
        QStringLiteral("LocalCashServer::rebootCmd"));
    pendingCommand = REBOOT_CMD;
    return true;
}

bool LocalCashServer::haltCmd(const QByteArray &)
{
    logSource.log(
        Log::Info, QStringLiteral("HALT_CMD_RECEIVED"), QStringLiteral("LocalCashServer::haltCmd"));
    pendingCommand = HALT_CMD;
    return true;
}

bool LocalCashServer::maintainerCmd(const QByteArray &)
{
    logSource.log(Log::Info, QStringLiteral("MAINTAINER_CMD_RECEIVED"),
        QStringLiteral("LocalCashServer::maintainerCmd"));
    pendingCommand = MAINTAINER_CMD;
    return true;
}

bool LocalCashServer::updateCmd(const QByteArray &data)
{
    // 8-bit text up to the first zero byte, each byte one Latin-1 character.
    const int end = data.indexOf('\0');
    const QString path = QString::fromLatin1(end < 0 ? data : data.left(end));
    logSource.log(Log::Info, tr("UPDATE_CMD_RECEIVED updater file = '%1'").arg(path),
        QStringLiteral("LocalCashServer::updateCmd"));
    pendingCommand = UPDATE_CMD;
    updateSource = path;
    return true;
}

void LocalCashServer::installUpdate()
{
    const QString method = QStringLiteral("LocalCashServer::slotProcessFinished");
    if (updateSource.isEmpty()) {
        logSource.error(tr("Не задан путь до источника обновления."), method);
        return;
    }
    const QFileInfo source(updateSource);
    if (!source.exists()) {
        logSource.error(
            tr("Источник обновления '%1' не найден.").arg(source.absoluteFilePath()), method);
        return;
    }
    if (!source.isFile()) {
        logSource.error(
            tr("Источник обновления '%1' не является файлом.").arg(source.absoluteFilePath()),
            method);
        return;
    }
    if (source.isSymLink()) {
        logSource.error(
            tr("Источник обновления '%1' является ссылкой.").arg(source.absoluteFilePath()),
            method);
        return;
    }

    TinyTarUnpacker unpacker(updateSource, updateTargetDirectory(), updateBackupDirectory());
    if (unpacker.unpack())
        bootstrap();
}

void LocalCashServer::bootstrap()
{
    const QString method = QStringLiteral("LocalCashServer::bootstrap");
    const ScriptPlatform platform = currentScriptPlatform();
    QFile script(bootstrapScriptName(platform));

    // A script left behind by a restart that never reached its last line.
    if (script.exists() && !script.remove()) {
        logSource.error(tr("Не удалось удалить предыдущую копию '%1': (%2) %3")
                            .arg(script.fileName())
                            .arg(int(script.error()))
                            .arg(script.errorString()),
            method);
        return;
    }
    if (!script.open(QIODevice::WriteOnly)) {
        logSource.error(tr("Не удалось открыть файл '%1': (%2) %3")
                            .arg(script.fileName())
                            .arg(int(script.error()))
                            .arg(script.errorString()),
            method);
        return;
    }

    const QString text =
        bootstrapScriptText(platform, QFileInfo(QCoreApplication::applicationFilePath()).fileName(),
            QCoreApplication::applicationDirPath());
    const QByteArray bytes = QTextCodec::codecForLocale()->fromUnicode(text);
    if (script.write(bytes) != bytes.size() || !script.flush()) {
        logSource.error(
            tr("Не удалось записать данные в файл '%1'.").arg(script.fileName()), method);
        return;
    }
    script.close();

    // Whether the script starts shows only in whether it ends us: the timer covers both.
    static_cast<void>(startBootstrapScript(script.fileName()));
    QTimer::singleShot(bootstrapTimeoutMs, this, &LocalCashServer::slotBootstrapFailed);
}
