#ifndef COMMANDS_H
#define COMMANDS_H

// Codes shared by the supervisor and the cash application: the code field of every datagram and
// the supervisor's pending command.
enum CommandCode : int {
    NO_CMD = -1,
    RESTART_CMD = 0,
    REBOOT_CMD = 1,
    HALT_CMD = 2,
    MAINTAINER_CMD = 3,
    UPDATE_CMD = 4,
    MAINTENANCE_START_CMD = 5,
};

// The type field of every datagram.
enum MessageType : int {
    MSG_COMMAND = 0,
    MSG_ACK = 1,
    MSG_NAK = 2,
};

// Outcome of the last command sent and waited for.
enum AnswerCode : int {
    ANSWER_UNKNOWN = -1,
    ANSWER_SUCCESS = 0,
    ANSWER_FAIL = 1,
    ANSWER_TIMEOUT = 2,
};

#endif // COMMANDS_H
