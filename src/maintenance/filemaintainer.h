#ifndef FILEMAINTAINER_H
#define FILEMAINTAINER_H

#include "log/logsource.h"
#include "maintenance/outputdecoder.h"

#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTime>
#include <QTimer>

// The day whose maintenance is due at now, or an invalid date when none is. Due: the maintenance
// minute (of a valid time) has begun and, if it is over, ended less than one tick interval ago,
// so that one tick always falls into that time, however early or late the ticks run; and nothing
// was announced for that day or a later one yet, so that neither a second tick in that time nor a
// clock set back repeats it.
QDate maintenanceDueDay(
    const QTime &time, const QDateTime &now, const QDate &lastDay, int tickIntervalMs);

// The daily maintenance: watches the clock once a minute, announces the maintenance time once a
// day, runs the control script under its interpreter when asked, relays the script's output into
// the log and announces its end. Until it is given its settings it never announces anything.
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

    // "hh:mm"; any other text never matches the clock.
    void setMaintenanceTime(const QString &text);

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
    // One "OUT:" or "ERROR:" entry with text, if there is any.
    void logOutput(QProcess::ProcessChannel channel, const std::optional<QString> &text);

    LogSource logSource;
    bool enabled = false;
    QString pythonExePath;
    QString scriptPath;
    QString controlScript;
    QString archiveDir;
    QProcess process;
    QTimer timer;
    QTime maintenanceTime;
    QDate lastDay; // of the last maintenance announced
    OutputDecoder standardOutput;
    OutputDecoder standardError;
};

#endif // FILEMAINTAINER_H
