#include "processutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <sys/types.h>

bool killProcess(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0;
}

bool processRunning(qint64 pid)
{
    // A process that has ended but is not yet reaped still counts: it holds its id.
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QList<qint64> processesOf(const QString &fileName)
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QString target = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry));
        if (target.endsWith(QLatin1String(" (deleted)")))
            target.chop(10);
        if (!target.isEmpty() && QFileInfo(target).fileName() == fileName)
            pids << entry.toLongLong();
    }
    return pids;
}
