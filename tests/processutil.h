#ifndef PROCESSUTIL_H
#define PROCESSUTIL_H

#include <QtGlobal>

// Ends the process with this id at once, as a crash would; false when it could not be ended.
bool killProcess(qint64 pid);

// Whether a process with this id is still running.
bool processRunning(qint64 pid);

#endif // PROCESSUTIL_H
