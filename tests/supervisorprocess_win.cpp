#include "supervisorprocess.h"

#include "testutil.h"

#include <QDir>
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

bool SupervisorProcess::slowSelfRestart()
{
    // bin is first in the script's PATH; the taskkill of the system follows the wait.
    const QString standIn = path(QStringLiteral("bin/taskkill.exe"));
    return QDir().mkpath(path(QStringLiteral("bin")))
        && QFile::copy(testProgram(SLOW_TASKKILL_PATH), standIn);
}
