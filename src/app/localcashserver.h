#ifndef LOCALCASHSERVER_H
#define LOCALCASHSERVER_H

#include "ipc/interprocesschannel.h"
#include "log/logsource.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class CashProcessManager;
class FileMaintainer;
class ServiceNotifier;

// The supervisor: starts the cash application, records the commands it sends and carries out the
// pending one when the cash application has ended by itself.
class LocalCashServer : public QObject
{
    Q_OBJECT

public:
    explicit LocalCashServer(QObject *parent = nullptr);
    ~LocalCashServer() override;

    // The whole "auth=" argument of the command line, passed on to the cash application.
    void setAuthArgument(const QString &argument);

    // Reads the settings from the files, each overriding the ones before it, opens the command
    // channel and starts the cash application.
    [[nodiscard]] bool init(const QStringList &settingsFiles);

    // Starts the cash application and waits up to 30 s for it; false means the supervisor must end.
    [[nodiscard]] bool startProcess();

    // Tells the service manager that runs the supervisor, if one does, that it is ready.
    void notifyServiceReady();

private slots:
    void slotProcessError(QProcess::ProcessError error);
    void slotProcessStarted();
    void slotProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void slotMaintainerStart();
    void slotMaintainerFinished();
    void slotBootstrapFailed();

private:
    bool restartCmd(const QByteArray &data);
    bool rebootCmd(const QByteArray &data);
    bool haltCmd(const QByteArray &data);
    bool maintainerCmd(const QByteArray &data);
    bool updateCmd(const QByteArray &data);

    // The configured cash program as it is started: taken from the program's directory when
    // relative; empty (no start can succeed) when it is this supervisor's own program file.
    QString cashProgram(const QString &configured);
    void installUpdate();
    void bootstrap();
    bool restartService();

    LogSource logSource;
    int pendingCommand;
    QString updateSource;
    CashProcessManager *processManager;
    InterProcessChannel<LocalCashServer> channel;
    QString authArgument;
    FileMaintainer *maintainer;
    const std::unique_ptr<ServiceNotifier> serviceNotifier;
    QProcess *bootstrapScript;
    QElapsedTimer bootstrapClock;
};

#endif // LOCALCASHSERVER_H
