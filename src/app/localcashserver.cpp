#include "localcashserver.h"

#include "app/bootstrap.h"
#include "app/bootstrapscript.h"
#include "app/power.h"
#include "app/programfile.h"
#include "app/servicenotifier.h"
#include "app/settings.h"
#include "app/updatepaths.h"
#include "config/configfile.h"
#include "ipc/commands.h"
#include "maintenance/filemaintainer.h"
#include "process/cashprocessmanager.h"
#include "update/tinytarunpacker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTextCodec>
#include <QTimer>

namespace {
constexpr int startTimeoutMs = 30000;
constexpr int bootstrapTimeoutMs = 5000;
// How often a restart that outlasts its 5 s is looked at again, and when its script is ended.
constexpr int bootstrapPollMs = 100;
constexpr int bootstrapScriptLimitMs = 60000;
constexpr int killTimeoutMs = 5000;
} // namespace

LocalCashServer::LocalCashServer(QObject *parent)
    : QObject(parent),
      logSource(QStringLiteral("LocalCashServer")),
      pendingCommand(NO_CMD),
      processManager(new CashProcessManager(this)),
      channel(this),
      maintainer(new FileMaintainer(this)),
      serviceNotifier(new ServiceNotifier),
      bootstrapScript(new QProcess(this))
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

bool LocalCashServer::init(const QStringList &settingsFiles)
{
    const QString method = QStringLiteral("LocalCashServer::init");
    // Lives until the end of init: its closing banner ends the start-up in the log.
    ConfigFile config(QStringLiteral("Windows-1251"));
    // A missing or unreadable file leaves its keys at their defaults; the file reports it.
    for (const QString &file : settingsFiles)
        static_cast<void>(config.init(file, false));

    Settings settings;
    settings.readLogLevel(config);
    // From here on every line obeys the threshold, the settings' own included.
    Log::setLevel(settings.logLevel);

    settings.readChannel(config);
    UDP &udp = channel.udp();
    udp.setPeerAddress(QHostAddress(settings.cashAddress));
    udp.setPeerPort(settings.cashPort);
    udp.setAddressFilter(settings.serverFilterAddress);
    const bool bound = channel.bind(settings.localServerPort);
    if (!bound)
        logSource.error(QStringLiteral("IPC init failed"), method);

    settings.readCashApplication(config);
    processManager->setExecutablePath(cashProgram(settings.executablePath));
    processManager->setWorkingDirectory(settings.workingDirectory);
    // No quoting: every single blank separates two arguments, so empty arguments are kept.
    QString arguments = settings.programmArguments;
    if (!authArgument.isEmpty())
        arguments += QLatin1Char(' ') + authArgument;
    processManager->setArguments(
        arguments.split(QLatin1Char(' '), Qt::KeepEmptyParts, Qt::CaseSensitive));

    settings.readMaintenance(config);
    maintainer->setEnabled(!settings.disableMaintenance);
    maintainer->setMaintenanceTime(settings.maintenanceTime);
    maintainer->setPythonExePath(settings.pythonExePath);
    maintainer->setScriptPath(settings.scriptPath);
    maintainer->setArchiveDir(settings.archiveDir);
    maintainer->setControlScript(settings.controlScript);
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

QString LocalCashServer::cashProgram(const QString &configured)
{
    const QString program = programDirectoryPath(configured);
    if (!isOwnProgramFile(program))
        return program;
    // It would start another supervisor, which would start another: refused like a missing
    // program, so that every start fails and the supervisor ends (or, later, stays idle).
    logSource.error(
        QStringLiteral("Cash application %1 is this supervisor's own program: not started")
            .arg(program),
        QStringLiteral("LocalCashServer::init"));
    return QString();
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

void LocalCashServer::notifyServiceReady()
{
    serviceNotifier->notifyReady();
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
    // While its script runs the restart is under way, however slowly: the script may still end
    // this process, and a cash application started now would outlive it beside the new
    // instance's. A script that hangs is ended; once ended, it ends nothing.
    if (bootstrapScript->state() != QProcess::NotRunning) {
        if (bootstrapClock.elapsed() < bootstrapScriptLimitMs) {
            QTimer::singleShot(bootstrapPollMs, this, &LocalCashServer::slotBootstrapFailed);
            return;
        }
        bootstrapScript->kill();
        bootstrapScript->waitForFinished(killTimeoutMs);
    }
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

    // The installer works with absolute paths, which would lead into another directory.
    if (!programDirectoryHasTextName()) {
        logSource.error(tr("Имя каталога программы '%1' недопустимо в кодировке системы; "
                           "обновление не устанавливается.")
                            .arg(QDir::currentPath()),
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
    if (restartService())
        return;
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
    bootstrapClock.start();
    static_cast<void>(startBootstrapScript(bootstrapScript, script.fileName()));
    QTimer::singleShot(bootstrapTimeoutMs, this, &LocalCashServer::slotBootstrapFailed);
}

bool LocalCashServer::restartService()
{
    if (!serviceNotifier->isActive())
        return false;
    // The service manager ends this process with everything the service runs and starts the
    // program again at once: no script races it, and none is left behind. A refused request
    // shows as a restart that did not happen, as with the script.
    static_cast<void>(requestServiceRestart());
    QTimer::singleShot(bootstrapTimeoutMs, this, &LocalCashServer::slotBootstrapFailed);
    return true;
}
