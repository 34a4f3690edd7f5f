#ifndef CASHPROCESSMANAGER_H
#define CASHPROCESSMANAGER_H

#include <QObject>
#include <QProcess>
#include <QStringList>

// Launches the cash application with the configured program, working directory and arguments
// and passes on its process signals. It never stops the application: it always ends by itself.
class CashProcessManager : public QObject
{
    Q_OBJECT

public:
    explicit CashProcessManager(QObject *parent = nullptr);
    ~CashProcessManager() override;

    void setExecutablePath(const QString &path);
    void setWorkingDirectory(const QString &dir);
    // Passed unchanged, empty strings included.
    void setArguments(const QStringList &list);

    // Launches the application with its output forwarded to ours; does nothing while a child is
    // running. The outcome arrives through the signals and waitForStarted().
    void start();
    bool waitForStarted(int msecs);

    // Name of the process's last error: "FailedToStart", "Crashed", ... or "UnknownError".
    QString errorName() const;

signals:
    void error(QProcess::ProcessError error);
    void finished(int exitCode, QProcess::ExitStatus exitStatus);
    void started();

private:
    QProcess process { this };
    QString executablePath;
    QString workingDirectory;
    QStringList arguments;
};

#endif // CASHPROCESSMANAGER_H
