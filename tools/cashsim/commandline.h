#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "step.h"

#include <QHostAddress>
#include <QStringList>

// cashsim's command line: the child mode (run a scenario as the supervisor's cash application)
// or the client mode ("send ...": one command to a running supervisor).
class CommandLine
{
public:
    // false for a usage error, with the reason in errorString().
    [[nodiscard]] bool parse(const QStringList &arguments);
    QString errorString() const { return error; }
    QString helpText() const { return help; }

    bool helpRequested = false;
    bool client = false;
    Step clientStep; // client mode: the command to send
    QStringList ignoredOptions; // child mode: options meant for someone else
    QString scenarioPath; // child mode; empty: no steps
    QString statePath; // child mode; empty: no run counting, always run 1
    quint16 cashPort = 55006; // child mode; 0: any free port
    quint16 serverPort = 55005;
    QHostAddress serverAddress { QHostAddress::LocalHost };
    QHostAddress bindAddress { QHostAddress::AnyIPv4 };
    int timeLimitSeconds = 120; // child mode; 0: none
    Step::Answer maintenanceAnswer = Step::Ack;

private:
    QString error;
    QString help;
};

#endif // COMMANDLINE_H
