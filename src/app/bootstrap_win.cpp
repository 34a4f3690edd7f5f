#include "bootstrap.h"

#include <QDir>
#include <QProcess>
#include <QStringList>

ScriptPlatform currentScriptPlatform()
{
    return ScriptPlatform::Windows;
}

bool startBootstrapScript(const QString &scriptPath)
{
    // A batch file is run by the command interpreter; it ends by itself after deleting the file.
    return QProcess::startDetached(QStringLiteral("cmd.exe"),
        QStringList { QStringLiteral("/c"), scriptPath }, QDir::currentPath());
}
