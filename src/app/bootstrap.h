#ifndef BOOTSTRAP_H
#define BOOTSTRAP_H

#include "bootstrapscript.h"

#include <QString>
#include <QStringList>

class QProcess;

// The kind of restart script this platform runs.
ScriptPlatform currentScriptPlatform();

// The program and arguments that run the script at scriptPath.
QStringList bootstrapCommand(const QString &scriptPath);

// Starts the written restart script in the current directory, with no input and its output going
// nowhere, and does not wait for it. The script runs as a child of this process, so that it is
// known exactly when it has ended; it outlives this process, which it ends. True when the
// script's interpreter was started.
bool startBootstrapScript(QProcess *script, const QString &scriptPath);

// Asks the service manager that runs this program as a service to restart that service: it ends
// this process, and whatever else the service runs, and starts the program again. True when the
// request was taken; false when no service of this process is known or the request was refused.
bool requestServiceRestart();

#endif // BOOTSTRAP_H
