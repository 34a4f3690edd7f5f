#include "bootstrap.h"

#include <QDir>
#include <QProcess>
#include <QStringList>

ScriptPlatform currentScriptPlatform()
{
    return ScriptPlatform::Unix;
}

bool startBootstrapScript(const QString &scriptPath)
{
    return QProcess::startDetached(
        QStringLiteral("/bin/sh"), QStringList { scriptPath }, QDir::currentPath());
}
