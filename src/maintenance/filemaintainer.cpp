#include "filemaintainer.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {
constexpr int timerIntervalMs = 60000;
constexpr int startTimeoutMs = 30000;
constexpr int finishTimeoutMs = 30000;
constexpr int killTimeoutMs = 5000;

// The script's bytes as Latin-1 text; a zero byte ends it.
QString outputText(const QByteArray &bytes)
{
    const auto end = bytes.indexOf('\0');
    return QString::fromLatin1(end < 0 ? bytes : bytes.left(end));
}
} // namespace

FileMaintainer::FileMaintainer(QObject *parent)
    : QObject(parent),
      logSource(QStringLiteral("Maintainer")),
      enabled(true),
      pythonExePath(QStringLiteral("C:/Python27/python.exe")),
      scriptPath(QStringLiteral("scripts")),
      controlScript(QStringLiteral("control.py")),
      archiveDir(QStringLiteral("archive")),
      process(this),
      timer(this),
      maintenanceTime(4, 0)
{
    connect(&timer, &QTimer::timeout, this, &FileMaintainer::slotTimer);
    connect(
        &process, &QProcess::readyReadStandardError, this, &FileMaintainer::slotReadStandardError);
    connect(&process, &QProcess::readyReadStandardOutput, this,
        &FileMaintainer::slotReadStandardOutput);
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
        &FileMaintainer::slotFinished);
    connect(&process, &QProcess::errorOccurred, this, &FileMaintainer::slotError);

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
    if (text.isEmpty())
        return;
    maintenanceTime = QTime::fromString(text, QStringLiteral("hh:mm"));
}

bool FileMaintainer::isMaintenanceTime() const
{
    const QTime now = QTime::currentTime();
    return maintenanceTime.isValid() && maintenanceTime.hour() == now.hour()
        && maintenanceTime.minute() == now.minute();
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
    if (!isMaintenanceTime())
        return;
    emit signalMaintenanceStart();
}

void FileMaintainer::slotReadStandardError()
{
    const QString text = outputText(process.readAllStandardError());
    logSource.log(Log::Error, QStringLiteral("ERROR:\n%1").arg(text),
        QStringLiteral("FileMaintainer::slotReadStandardError"));
}

void FileMaintainer::slotReadStandardOutput()
{
    const QString text = outputText(process.readAllStandardOutput());
    logSource.log(Log::Info, QStringLiteral("OUT:\n%1").arg(text),
        QStringLiteral("FileMaintainer::slotReadStandardOutput"));
}

void FileMaintainer::slotFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    const QString method = QStringLiteral("FileMaintainer::slotFinished");
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
