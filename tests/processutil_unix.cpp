#include "processutil.h"

#include <cerrno>
#include <csignal>
#include <sys/types.h>

bool killProcess(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0;
}

bool processRunning(qint64 pid)
{
    // A process that has ended but is not yet reaped still counts: it holds its id.
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}
