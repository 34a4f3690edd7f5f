#ifndef COMMANDS_H
#define COMMANDS_H

#include <QStringList>

// The commands of cashpkg. Each takes the whole command line (program name, command, options)
// and returns the exit status.
int runCheck(const QStringList &arguments);
int runBuild(const QStringList &arguments);
int runInstall(const QStringList &arguments);
int runRollback(const QStringList &arguments);
int runRecover(const QStringList &arguments);
int runKeygen(const QStringList &arguments);

#endif // COMMANDS_H
