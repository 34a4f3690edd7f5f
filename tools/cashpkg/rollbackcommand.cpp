#include "commands.h"

#include "console.h"
#include "log/log.h"
#include "packagereader.h"
#include "rollbackplanner.h"
#include "rollbackrunner.h"
#include "update/installjournal.h"
#include "update/tinytarunpacker.h"

#include <QCommandLineParser>
#include <QDir>

namespace {

// What the supervisor does at its start: an interrupted installation's journal is undone (or a
// complete one finished), with the installer's own log lines on standard output.
int recover(const QString &target, const QString &backup, bool dryRun)
{
    const InstallJournal journal(target, backup);
    if (!journal.exists()) {
        Console::out(QStringLiteral("no interrupted installation: there is no journal '%1'")
                         .arg(QDir::toNativeSeparators(journal.path())));
        return Console::Success;
    }
    if (dryRun) {
        Console::out(QStringLiteral("would undo the interrupted installation recorded in '%1' "
                                    "(or finish it, had it been complete)")
                         .arg(QDir::toNativeSeparators(journal.path())));
        return Console::Success;
    }
    Log::setStandardOutput(true);
    Log::setLevel(Log::Debug);
    return recoverInstallation(target, backup) ? Console::Success : Console::Failure;
}

} // namespace

int runRecover(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Does what the supervisor does at its start, for a tree whose supervisor is not running:\n"
        "an installation that a kill or a power cut interrupted is undone from the journal it\n"
        "left beside the backup tree (BACKUP.journal; without backups DIR.journal), so that every\n"
        "file is as before it began; one that was complete is finished. The installer's log\n"
        "lines are written to standard output in UTF-8.\n"
        "\n"
        "Exit status: 0 when there was no journal or the tree is back; 1 when it could not be\n"
        "brought back (the journal stays, and the lines say why); 2 on a command-line error."));
    parser.addPositionalArgument(QStringLiteral("recover"), QStringLiteral("The command."));
    Console::InstallationOptions directories(
        QStringLiteral("The directory the installation went into."),
        QStringLiteral("The installation made no backups."));
    directories.addTo(parser);
    int status = Console::parse(parser, arguments, 0);
    if (status < 0)
        status = directories.resolve(parser);
    if (status >= 0)
        return status;
    return recover(directories.target, directories.backup, false);
}

int runRollback(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Brings DIR back to its state before an installation of PACKAGE, from the backup tree:\n"
        "every file with a backup comes back, whatever it holds now (a link as a link); files\n"
        "the package brought new are removed; directories it created are removed once empty.\n"
        "What holds neither the package's bytes nor the backup's (a change made since) is\n"
        "moved aside as NAME.before-rollback, never deleted. Backups are copied, not moved.\n"
        "Nothing is changed when the package is not one the installer accepts or the backup\n"
        "tree is missing. When an interrupted installation left its journal, or without\n"
        "PACKAGE, it does what 'cashpkg recover' does instead.\n"
        "\n"
        "Exit status: 0 when every file is back as before the installation; 1 when something\n"
        "could not be restored (each such file is listed) or nothing could be done; 2 on a\n"
        "command-line error."));
    parser.addPositionalArgument(QStringLiteral("rollback"), QStringLiteral("The command."));
    parser.addPositionalArgument(QStringLiteral("PACKAGE"),
        QStringLiteral("The package that was installed (optional)."), QStringLiteral("[PACKAGE]"));
    const QCommandLineOption target(QStringLiteral("target"),
        QStringLiteral("Directory it was installed into."), QStringLiteral("DIR"));
    const QCommandLineOption backup(QStringLiteral("backup"),
        QStringLiteral("The backup tree of that installation."), QStringLiteral("BACKUP"));
    const QCommandLineOption dryRun(
        QStringLiteral("dry-run"), QStringLiteral("Print the plan; change nothing."));
    parser.addOptions({ target, backup, dryRun });
    const int status = Console::parse(parser, arguments, 0, 1);
    if (status >= 0)
        return status;
    if (!parser.isSet(target) || !parser.isSet(backup)) {
        Console::error(QStringLiteral("rollback needs --target DIR and --backup BACKUP"));
        return Console::UsageError;
    }

    const QString targetDir = parser.value(target);
    const QString backupDir = parser.value(backup);
    // An interrupted installation is undone from its journal: its backups are where the tree's
    // old files are now, and no plan from the package could tell them from older ones.
    if (parser.positionalArguments().size() < 2 || InstallJournal(targetDir, backupDir).exists())
        return recover(targetDir, backupDir, parser.isSet(dryRun));

    const QString package = parser.positionalArguments().at(1);
    PackageReader reader;
    static_cast<void>(reader.read(package));
    RollbackPlanner planner(targetDir, backupDir);
    if (!planner.plan(reader)) {
        Console::error(planner.errorString());
        Console::error(QStringLiteral("nothing changed"));
        return Console::Failure;
    }

    RollbackRunner runner(targetDir, backupDir, parser.isSet(dryRun));
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
