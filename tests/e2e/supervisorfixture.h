#ifndef SUPERVISORFIXTURE_H
#define SUPERVISORFIXTURE_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QScopedPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A program directory in a temporary folder holding a copy of the real supervisor under a unique
// file name (its self-restart kills every process of its file name), its config.ini with free
// UDP ports, the cash-application simulator as its cash application and a fake systemctl first
// in PATH. Every process started here is ended by the destructor.
class SupervisorFixture
{
public:
    SupervisorFixture();
    ~SupervisorFixture();

    bool isValid() const { return valid; }
    QString errorString() const { return error; }

    QString dir() const { return tempDir.path(); }
    QString path(const QString &relative) const;
    QString programName() const { return name; }
    quint16 serverPort() const { return localServerPort; }
    quint16 cashPort() const { return cashSimPort; }

    // Adds or replaces a key of config.ini ("SECTION", "Key", "value"); written by start().
    void setConfig(const QString &section, const QString &key, const QString &value);
    // The scenario the simulated cash application runs (see cashsim --help).
    void setScenario(const QString &scenario);
    // Extra arguments for the cash application, before the ones that point it to the scenario.
    void setCashArguments(const QString &arguments);

    // The fake systemctl records its arguments into systemctl.calls and exits with this status.
    void setSystemctlExitStatus(int status);
    QStringList systemctlCalls() const;

    bool start(const QStringList &arguments = QStringList());
    // Waits for the supervisor to end; false on time-out.
    bool waitForFinished(int msecs = 30000);
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    QProcess &process() { return supervisor; }

    QStringList logEntries() const;
    // Waits until the log holds an entry equal to `entry` (or starting with it when prefix is set).
    bool waitForLog(const QString &entry, int msecs = 20000, bool prefix = false) const;
    // What the cash application recorded with its "record" step (one list per start).
    QStringList cashRecord() const;

    // Pids of every process whose executable file name is programName() (for the self-restart).
    QList<qint64> programPids() const;

private:
    bool writeConfig();

    QTemporaryDir tempDir;
    bool valid = false;
    QString error;
    QString name;
    quint16 localServerPort = 0;
    quint16 cashSimPort = 0;
    QMap<QString, QMap<QString, QString>> config;
    QString cashArguments;
    QProcess supervisor;
};

#endif // SUPERVISORFIXTURE_H
