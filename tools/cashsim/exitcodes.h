#ifndef EXITCODES_H
#define EXITCODES_H

// Exit codes of cashsim besides those a scenario's "exit CODE" chooses.
namespace ExitCode {
enum : int {
    Ok = 0,
    Negative = 1, // client: the command was answered negatively
    Usage = 2, // bad command line, scenario or state file
    BindFailed = 3, // the UDP port could not be bound
    NoAnswer = 4, // client: no answer within 3 s
    SendFailed = 5, // client: the datagram could not be sent
    Unexpected = 6, // client: a datagram came back that is no answer
    TimeLimit = 124, // the global time limit ran out
    MaintenanceWait = 125 // wait-maintenance ran out of time
};
} // namespace ExitCode

#endif // EXITCODES_H
