#ifndef STEP_H
#define STEP_H

#include <QByteArray>
#include <QString>

// One thing the simulator does, as read from a scenario line or the client's command line.
struct Step
{
    enum Kind {
        Send, // code, payload; text names the command
        SendRaw, // payload is the whole datagram
        Sleep, // number: milliseconds
        Exit, // number: exit code
        Crash,
        WaitMaintenance, // number: time-out in milliseconds, -1 for none
        MaintenanceAnswer, // answer: how to answer MAINTENANCE_START_CMD from now on
        Record, // text: file to append to
        Echo, // text: line to print
    };
    enum Answer { Ack, Nak, Silent };

    Kind kind = Echo;
    int line = 0;
    int code = 0;
    int number = 0;
    Answer answer = Ack;
    QByteArray payload;
    QString text;
    QString source; // the step as written
};

#endif // STEP_H
