#include "supervisorprocess.h"

#include "testutil.h"

#include <QFile>

bool SupervisorProcess::preventSelfRestart()
{
    // A readlink that finds nothing and a setsid that starts nothing.
    for (const char *tool : { "bin/readlink", "bin/setsid" }) {
        const QString fake = path(QLatin1String(tool));
        if (!writeFile(fake, QByteArrayLiteral("#!/bin/sh\nexit 0\n"))
            || !QFile::setPermissions(fake, QFile::ReadOwner | QFile::ExeOwner)) {
            return false;
        }
    }
    return true;
}

bool SupervisorProcess::slowSelfRestart()
{
    // The script's first look at a process, through readlink, takes the time.
    const QString fake = path(QStringLiteral("bin/readlink"));
    return writeFile(fake,
               QStringLiteral(
                   "#!/bin/sh\n[ -e '%1' ] || { : > '%1'; sleep 7; }\nexec /bin/readlink \"$@\"\n")
                   .arg(path(QStringLiteral("slept")))
                   .toUtf8())
        && QFile::setPermissions(fake, QFile::ReadOwner | QFile::ExeOwner);
}
