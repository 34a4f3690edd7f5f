#include "bootstrap.h"

ScriptPlatform currentScriptPlatform()
{
    return ScriptPlatform::Windows;
}

QStringList bootstrapCommand(const QString &scriptPath)
{
    // A batch file is run by the command interpreter; it ends by itself after deleting the file.
    return { QStringLiteral("cmd.exe"), QStringLiteral("/c"), scriptPath };
}

bool requestServiceRestart()
{
    // The supervisor runs in the till user's session, never as a Windows service.
    return false;
}
