#include "commands.h"

#include "checkreport.h"
#include "console.h"
#include "packagechecker.h"
#include "packagereader.h"

#include <QCommandLineParser>
#include <QDir>

#include <cstdio>

int runCheck(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads PACKAGE with the installer's own reader and tells, entry by entry, what the\n"
        "installer would do with it, then gives a verdict. With --target, the steps are played\n"
        "against that directory as it is now (nothing is changed), with backups as 'install'\n"
        "makes them.\n"
        "\n"
        "Exit status: 0 when the installer would install the package and nothing is wrong\n"
        "(warnings allowed); 1 when it would fail, or would install something other than what the\n"
        "package holds; 2 on a command-line error."));
    parser.addPositionalArgument(QStringLiteral("check"), QStringLiteral("The command."));
    parser.addPositionalArgument(QStringLiteral("PACKAGE"), QStringLiteral("The update package."));
    const QCommandLineOption target(QStringLiteral("target"),
        QStringLiteral("Directory the package would be installed into."), QStringLiteral("DIR"));
    const QCommandLineOption backup(QStringLiteral("backup"),
        QStringLiteral("Backup tree of that installation (default: DIR/backup, as the "
                       "supervisor keeps it)."),
        QStringLiteral("BACKUP"));
    const QCommandLineOption noBackup(
        QStringLiteral("no-backup"), QStringLiteral("The installation makes no backups."));
    const QCommandLineOption json(
        QStringLiteral("json"), QStringLiteral("Print the result as one JSON document."));
    parser.addOptions({ target, backup, noBackup, json });
    const int status = Console::parse(parser, arguments, 1);
    if (status >= 0)
        return status;
    if (parser.isSet(backup) && parser.isSet(noBackup)) {
        Console::error(QStringLiteral("--backup and --no-backup exclude each other"));
        return Console::UsageError;
    }
    if (!parser.isSet(target) && (parser.isSet(backup) || parser.isSet(noBackup))) {
        Console::error(QStringLiteral("--backup and --no-backup need --target"));
        return Console::UsageError;
    }

    const QString package = parser.positionalArguments().at(1);
    const QString targetDir = parser.value(target);
    QString backupDir;
    if (!targetDir.isEmpty() && !parser.isSet(noBackup)) {
        backupDir =
            parser.isSet(backup) ? parser.value(backup) : targetDir + QLatin1String("/backup");
    }

    PackageReader reader(targetDir, backupDir);
    // An unopenable package is reported like every other problem, in the chosen form.
    static_cast<void>(reader.read(package));
    PackageChecker checker(targetDir, backupDir);
    const CheckResult result = checker.check(package, reader);
    if (parser.isSet(json)) {
        const QByteArray document = CheckReport::json(result);
        std::fwrite(document.constData(), 1, size_t(document.size()), stdout);
        std::fflush(stdout);
    } else {
        Console::out(CheckReport::text(result));
    }
    return result.installs && result.count(Finding::Error) == 0 ? Console::Success
                                                                : Console::Failure;
}
