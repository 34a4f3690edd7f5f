#ifndef BOOTSTRAPSCRIPT_H
#define BOOTSTRAPSCRIPT_H

#include <QString>

// The script that replaces the running program with a fresh instance after an update: it kills
// every process of the program's file name, starts the program again from its directory without
// arguments and deletes itself.
enum class ScriptPlatform { Windows, Unix };

// "bootstrap.cmd" for the Windows command interpreter, "bootstrap.sh" for /bin/sh.
QString bootstrapScriptName(ScriptPlatform platform);

// programFileName: the program's file name without directory; programDirectory: the absolute
// directory it lies in. The Windows script deletes bootstrap.cmd in the program's directory, so it
// must be written there; the Unix script deletes the file it was started from.
QString bootstrapScriptText(
    ScriptPlatform platform, const QString &programFileName, const QString &programDirectory);

#endif // BOOTSTRAPSCRIPT_H
