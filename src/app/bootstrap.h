#ifndef BOOTSTRAP_H
#define BOOTSTRAP_H

#include "bootstrapscript.h"

#include <QString>

// The kind of restart script this platform runs.
ScriptPlatform currentScriptPlatform();

// Starts the written restart script detached from this process, in the current directory, and
// does not wait for it. True when the script's interpreter was started; a restart that does
// not happen shows anyway, as the running program is still alive afterwards.
bool startBootstrapScript(const QString &scriptPath);

#endif // BOOTSTRAP_H
