#ifndef PROCESSUTIL_H
#define PROCESSUTIL_H

#include <QList>
#include <QString>
#include <QtGlobal>

// Ends the process with this id at once, as a crash would; false when it could not be ended.
bool killProcess(qint64 pid);

// Whether a process with this id is still running.
bool processRunning(qint64 pid);

// The ids of the running processes whose program file has this name (no directory), also when
// the file has been replaced or moved since it was started.
QList<qint64> processesOf(const QString &fileName);

#endif // PROCESSUTIL_H
