#include "bootstrap.h"

#include <QDir>
#include <QProcess>

bool startBootstrapScript(QProcess *script, const QString &scriptPath)
{
    // The script must not hold a terminal or a pipe of ours: it outlives this process.
    script->setStandardInputFile(QProcess::nullDevice());
    script->setStandardOutputFile(QProcess::nullDevice());
    script->setStandardErrorFile(QProcess::nullDevice());
    script->setWorkingDirectory(QDir::currentPath());
    QStringList command = bootstrapCommand(scriptPath);
    const QString program = command.takeFirst();
    script->start(program, command);
    return script->waitForStarted();
}
