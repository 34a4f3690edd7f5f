#include "commands.h"

#include "console.h"
#include "packagereader.h"
#include "rollbackplanner.h"
#include "rollbackrunner.h"

#include <QCommandLineParser>

int runRollback(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Undoes an installation of PACKAGE into DIR: each file the package installed is restored\n"
        "from the backup tree (the backup is copied and kept), or removed where the backup tree\n"
        "shows it was new; directories the package created are removed when empty. A file that no\n"
        "longer holds the package's bytes is left as it is. Nothing is changed when the package\n"
        "cannot be read or the backup tree is missing.\n"
        "\n"
        "Exit status: 0 when every file is back as before the installation; 1 when something\n"
        "could not be restored (each such file is listed) or nothing could be done; 2 on a\n"
        "command-line error."));
    parser.addPositionalArgument(QStringLiteral("rollback"), QStringLiteral("The command."));
    parser.addPositionalArgument(
        QStringLiteral("PACKAGE"), QStringLiteral("The package that was installed."));
    const QCommandLineOption target(QStringLiteral("target"),
        QStringLiteral("Directory it was installed into."), QStringLiteral("DIR"));
    const QCommandLineOption backup(QStringLiteral("backup"),
        QStringLiteral("The backup tree of that installation."), QStringLiteral("BACKUP"));
    const QCommandLineOption dryRun(
        QStringLiteral("dry-run"), QStringLiteral("Print the plan; change nothing."));
    parser.addOptions({ target, backup, dryRun });
    const int status = Console::parse(parser, arguments, 1);
    if (status >= 0)
        return status;
    if (!parser.isSet(target) || !parser.isSet(backup)) {
        Console::error(QStringLiteral("rollback needs --target DIR and --backup BACKUP"));
        return Console::UsageError;
    }

    const QString package = parser.positionalArguments().at(1);
    PackageReader reader;
    static_cast<void>(reader.read(package));
    RollbackPlanner planner(parser.value(target), parser.value(backup));
    if (!planner.plan(reader)) {
        Console::error(planner.errorString());
        Console::error(QStringLiteral("nothing changed"));
        return Console::Failure;
    }
    const QStringList notes = planner.notes();
    for (const QString &note : notes)
        Console::out(QStringLiteral("note: ") + note);

    RollbackRunner runner(parser.isSet(dryRun));
    int unrestored = 0;
    const QList<RollbackStep> steps = planner.steps();
    for (const RollbackStep &step : steps) {
        bool ok = true;
        Console::out(runner.run(step, &ok));
        unrestored += ok ? 0 : 1;
    }
    if (unrestored > 0) {
        Console::out(QStringLiteral("%1 file(s) could not be brought back to their state before "
                                    "the installation")
                         .arg(unrestored));
        return Console::Failure;
    }
    return Console::Success;
}
