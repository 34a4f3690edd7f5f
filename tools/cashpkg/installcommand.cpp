#include "commands.h"

#include "console.h"
#include "log/log.h"
#include "update/tinytarunpacker.h"

#include <QCommandLineParser>

int runInstall(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Installs PACKAGE over DIR with the supervisor's own installer: the same checks, steps,\n"
        "backups and log lines, which are written to standard output in UTF-8. The target\n"
        "directory is not created. An installation either completes or leaves every file as it\n"
        "was; one interrupted (a kill, a power cut) is undone by 'cashpkg recover' or by the\n"
        "next installation, as the supervisor's start does.\n"
        "\n"
        "Exit status: 0 when the installation completed; 1 when it did not (the tree is as\n"
        "before, or the log lines say why not); 2 on a command-line error."));
    parser.addPositionalArgument(QStringLiteral("install"), QStringLiteral("The command."));
    parser.addPositionalArgument(QStringLiteral("PACKAGE"), QStringLiteral("The update package."));
    const QCommandLineOption target(QStringLiteral("target"),
        QStringLiteral("Directory to install into."), QStringLiteral("DIR"));
    const QCommandLineOption backup(QStringLiteral("backup"),
        QStringLiteral("Where replaced files go (default: DIR/backup, as the supervisor keeps "
                       "it)."),
        QStringLiteral("BACKUP"));
    const QCommandLineOption noBackup(
        QStringLiteral("no-backup"), QStringLiteral("Overwrite files in place without backups."));
    parser.addOptions({ target, backup, noBackup });
    const int status = Console::parse(parser, arguments, 1);
    if (status >= 0)
        return status;
    if (!parser.isSet(target)) {
        Console::error(QStringLiteral("missing --target DIR; see --help"));
        return Console::UsageError;
    }
    if (parser.isSet(backup) && parser.isSet(noBackup)) {
        Console::error(QStringLiteral("--backup and --no-backup exclude each other"));
        return Console::UsageError;
    }

    const QString package = parser.positionalArguments().at(1);
    const QString targetDir = parser.value(target);
    QString backupDir;
    if (!parser.isSet(noBackup))
        backupDir =
            parser.isSet(backup) ? parser.value(backup) : targetDir + QLatin1String("/backup");

    Log::setStandardOutput(true);
    Log::setLevel(Log::Debug);
    TinyTarUnpacker unpacker(package, targetDir, backupDir);
    if (unpacker.unpack())
        return Console::Success;
    Console::error(QStringLiteral("the installation failed"));
    return Console::Failure;
}
