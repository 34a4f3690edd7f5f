#include "cashprocessmanager.h"

CashProcessManager::CashProcessManager(QObject *parent) : QObject(parent)
{
    connect(&process, &QProcess::errorOccurred, this, &CashProcessManager::error);
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
        &CashProcessManager::finished);
    connect(&process, &QProcess::started, this, &CashProcessManager::started);
}

CashProcessManager::~CashProcessManager()
{
    // Listeners are being destroyed too and must not hear of this end. QProcess would also kill
    // a running child, but with a warning on our console, which must stay silent.
    process.disconnect(this);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
}

void CashProcessManager::setExecutablePath(const QString &path)
{
    executablePath = path;
}

void CashProcessManager::setWorkingDirectory(const QString &dir)
{
    workingDirectory = dir;
    process.setWorkingDirectory(dir);
}

void CashProcessManager::setArguments(const QStringList &list)
{
    arguments = list;
}

void CashProcessManager::start()
{
    // QProcess would refuse too, but with a warning on our console.
    if (process.state() != QProcess::NotRunning)
        return;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(executablePath, arguments, QIODevice::ReadWrite);
}

bool CashProcessManager::waitForStarted(int msecs)
{
    return process.waitForStarted(msecs);
}

QString CashProcessManager::errorName() const
{
    switch (process.error()) {
    case QProcess::FailedToStart:
        return QStringLiteral("FailedToStart");
    case QProcess::Crashed:
        return QStringLiteral("Crashed");
    case QProcess::Timedout:
        return QStringLiteral("Timedout");
    case QProcess::ReadError:
        return QStringLiteral("ReadError");
    case QProcess::WriteError:
        return QStringLiteral("WriteError");
    default:
        return QStringLiteral("UnknownError");
    }
}
