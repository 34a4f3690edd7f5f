#include "startup.h"

#include "app/programfile.h"
#include "app/updatepaths.h"
#include "log/log.h"
#include "update/tinytarunpacker.h"

#include <QCoreApplication>

namespace {
// The supervisor has no console and writes nothing to its own output channels, which carry the
// cash application's output; its reports go to the log.
void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

const QString logDirectory = QStringLiteral("./log");
const QString logBaseName = QStringLiteral("localserver");
} // namespace

QString applicationVersionText()
{
    return QStringLiteral("%1 %2").arg(QLatin1String(LCS_PLATFORM_TAG), QLatin1String(LCS_VERSION));
}

void prepareProcess()
{
    qInstallMessageHandler(discardMessage);
    QCoreApplication::setApplicationVersion(applicationVersionText());
    // Asked once now, the framework keeps the program's path for the whole run. An update moves
    // the running file into the backup tree, after which the system reports the backup's path,
    // and the self-restart must start the program where it was installed.
    QCoreApplication::applicationFilePath();

    // Every relative path of the program (log, configuration, update, backup, restart script)
    // is taken from the directory that holds the program file, wherever it was started from.
    static_cast<void>(enterProgramDirectory());

    Log::rotate(logDirectory, logBaseName, QStringLiteral("log"));
    Log::setDirectory(logDirectory);
    Log::setBaseName(logBaseName);

    Log::write(Log::Emergency, QStringLiteral("main"),
        QStringLiteral("LocalCashServer app started Ver : %1 (%2)")
            .arg(QCoreApplication::applicationVersion())
            .arg(QLatin1String(__DATE__)));
}

bool recoverInterruptedUpdate()
{
    if (recoverInstallation(updateTargetDirectory(), updateBackupDirectory()))
        return true;
    Log::write(Log::Critical, QStringLiteral("main"),
        QCoreApplication::translate("LocalCashServer",
            "Прерванная установка обновления не отменена: касса не запускается."));
    return false;
}

QString authArgument(const QStringList &arguments)
{
    QString found;
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i).startsWith(QLatin1String("auth="), Qt::CaseInsensitive))
            found = arguments.at(i);
    }
    return found;
}
