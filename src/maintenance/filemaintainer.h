#ifndef FILEMAINTAINER_H
#define FILEMAINTAINER_H

#include "log/logsource.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTime>
#include <QTimer>

// The daily maintenance: watches the clock once a minute, announces the maintenance time, runs the
// control script under its interpreter when asked, relays the script's output into the log and
// announces its end.
class FileMaintainer : public QObject
{
    Q_OBJECT

public:
    explicit FileMaintainer(QObject *parent = nullptr);
    // Waits up to 30 s for a running script; one still running after that is killed.
    ~FileMaintainer() override;

    void setEnabled(bool enabled);
    bool isEnabled() const;
    void setPythonExePath(const QString &path);
    void setScriptPath(const QString &path);
    void setControlScript(const QString &fileName);
    void setArchiveDir(const QString &path);

    // "hh:mm"; an empty text keeps the current time, an unparsable one never matches the clock.
    void setMaintenanceTime(const QString &text);
    bool isMaintenanceTime() const;

    // Starts the control script with its absolute path and the archive directory as arguments.
    // True once it runs; signalMaintenanceFinished() follows when it ends (also when it could
    // not be started at all, in which case false is returned as well).
    [[nodiscard]] bool startScript();

signals:
    void signalMaintenanceStart();
    void signalMaintenanceFinished();

private slots:
    void slotTimer();
    void slotReadStandardError();
    void slotReadStandardOutput();
    void slotFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void slotError(QProcess::ProcessError error);

private:
    LogSource logSource;
    bool enabled;
    QString pythonExePath;
    QString scriptPath;
    QString controlScript;
    QString archiveDir;
    QProcess process;
    QTimer timer;
    QTime maintenanceTime;
};

#endif // FILEMAINTAINER_H
