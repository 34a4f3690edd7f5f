#include "filemaintainer.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {
constexpr int timerIntervalMs = 60000;
constexpr qint64 minuteMs = 60000;
constexpr int startTimeoutMs = 30000;
constexpr int finishTimeoutMs = 30000;
constexpr int killTimeoutMs = 5000;
} // namespace

QDate maintenanceDueDay(
    const QTime &time, const QDateTime &now, const QDate &lastDay, int tickIntervalMs)
{
    if (!time.isValid())
        return QDate();
    // The latest maintenance minute that has begun: today's, or before it yesterday's.
    QDateTime start(now.date(), time);
    if (start > now)
        start = QDateTime(now.date().addDays(-1), time);
    if (start.msecsTo(now) >= minuteMs + tickIntervalMs)
        return QDate();
    if (lastDay.isValid() && lastDay >= start.date())
        return QDate();
    return start.date();
}

FileMaintainer::FileMaintainer(QObject *parent)
    : QObject(parent), logSource(QStringLiteral("Maintainer")), process(this), timer(this)
{
    connect(&timer, &QTimer::timeout, this, &FileMaintainer::slotTimer);
    connect(
        &process, &QProcess::readyReadStandardError, this, &FileMaintainer::slotReadStandardError);
    connect(&process, &QProcess::readyReadStandardOutput, this,
        &FileMaintainer::slotReadStandardOutput);
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
        &FileMaintainer::slotFinished);
    connect(&process, &QProcess::errorOccurred, this, &FileMaintainer::slotError);

    // A coarse timer may fire 5 % early or late: two ticks could then meet in one minute.
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(timerIntervalMs);
}

FileMaintainer::~FileMaintainer()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.waitForFinished(finishTimeoutMs);
    if (process.state() == QProcess::NotRunning)
        return;
    // The end of a script killed now must not be reported into a maintainer being destroyed.
    process.disconnect(this);
    process.kill();
    process.waitForFinished(killTimeoutMs);
}

void FileMaintainer::setEnabled(bool enabled)
{
    this->enabled = enabled;
}

bool FileMaintainer::isEnabled() const
{
    return enabled;
}

void FileMaintainer::setPythonExePath(const QString &path)
{
    pythonExePath = path;
}

void FileMaintainer::setScriptPath(const QString &path)
{
    scriptPath = path;
}

void FileMaintainer::setControlScript(const QString &fileName)
{
    controlScript = fileName;
}

void FileMaintainer::setArchiveDir(const QString &path)
{
    archiveDir = path;
}

void FileMaintainer::setMaintenanceTime(const QString &text)
{
    maintenanceTime = QTime::fromString(text, QStringLiteral("hh:mm"));
}

bool FileMaintainer::startScript()
{
    const QString method = QStringLiteral("FileMaintainer::startScript");

    if (controlScript.isEmpty()) {
        logSource.error(QStringLiteral("Maintenance control script filename not set."), method);
        return false;
    }
    if (!QFile::exists(pythonExePath)) {
        logSource.error(
            QStringLiteral("Executable file %1 does not exists.").arg(pythonExePath), method);
        return false;
    }
    const QString scriptFile = QDir(scriptPath).absoluteFilePath(controlScript);
    if (!QFile::exists(scriptFile)) {
        logSource.error(
            QStringLiteral("Maintenance control script %1 does not exists.").arg(scriptFile),
            method);
        return false;
    }
    // A second request while the script runs is served by the run in progress: its end will
    // be announced as usual.
    if (process.state() != QProcess::NotRunning) {
        logSource.log(
            Log::Warning, QStringLiteral("Maintenance control script is still running."), method);
        return true;
    }

    process.setProcessChannelMode(QProcess::SeparateChannels);
    // The file checked above is the one run: a bare name would otherwise be looked up in PATH.
    const QString program = QFileInfo(pythonExePath).absoluteFilePath();
    process.start(program, QStringList { scriptFile, archiveDir }, QIODevice::ReadWrite);
    process.waitForStarted(startTimeoutMs);
    // A failed start has already been reported through errorOccurred; it is reported again here,
    // so the owner sees signalMaintenanceFinished() twice for the one attempt.
    if (process.error() != QProcess::UnknownError) {
        slotError(process.error());
        return false;
    }
    logSource.log(Log::Info, QStringLiteral("Maintenance control script started."), method);
    return true;
}

void FileMaintainer::slotTimer()
{
    if (!enabled)
        return;
    const QDate day =
        maintenanceDueDay(maintenanceTime, QDateTime::currentDateTime(), lastDay, timer.interval());
    if (!day.isValid())
        return;
    lastDay = day;
    emit signalMaintenanceStart();
}

void FileMaintainer::logOutput(QProcess::ProcessChannel channel, const std::optional<QString> &text)
{
    if (!text)
        return;
    if (channel == QProcess::StandardError) {
        logSource.log(Log::Error, QStringLiteral("ERROR:\n%1").arg(*text),
            QStringLiteral("FileMaintainer::slotReadStandardError"));
    } else {
        logSource.log(Log::Info, QStringLiteral("OUT:\n%1").arg(*text),
            QStringLiteral("FileMaintainer::slotReadStandardOutput"));
    }
}

void FileMaintainer::slotReadStandardError()
{
    logOutput(QProcess::StandardError, standardError.decode(process.readAllStandardError()));
}

void FileMaintainer::slotReadStandardOutput()
{
    logOutput(QProcess::StandardOutput, standardOutput.decode(process.readAllStandardOutput()));
}

void FileMaintainer::slotFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    const QString method = QStringLiteral("FileMaintainer::slotFinished");
    // The last bytes of a character that never completed.
    logOutput(QProcess::StandardOutput, standardOutput.finish());
    logOutput(QProcess::StandardError, standardError.finish());
    if (exitStatus == QProcess::CrashExit)
        logSource.error(
            QStringLiteral("Maintenance control script crashed with exitcode %1").arg(exitCode),
            method);
    else
        logSource.log(Log::Info,
            QStringLiteral("Maintenance control script finished successfuly with exitcode %1")
                .arg(exitCode),
            method);
    emit signalMaintenanceFinished();
}

void FileMaintainer::slotError(QProcess::ProcessError error)
{
    logSource.error(QStringLiteral("Maintenance control script failed: (%1) %2")
                        .arg(QString::number(static_cast<int>(error)), process.errorString()),
        QStringLiteral("FileMaintainer::slotError"));
    emit signalMaintenanceFinished();
}
