#include "supervisorprocess.h"

#include <QFile>
#include <QFileInfo>

bool SupervisorProcess::preventSelfRestart()
{
    // bootstrap.cmd names the program unquoted: with a blank in its name, taskkill and start get
    // only the part before it, which names no program.
    const QString renamed =
        path(QFileInfo(program).completeBaseName() + QStringLiteral(" restart.exe"));
    if (!QFile::rename(program, renamed))
        return false;
    program = renamed;
    return true;
}
