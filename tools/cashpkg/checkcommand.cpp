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
        "Reads and checks PACKAGE with the installer's own code and tells, entry by entry, what\n"
        "the installer would do with it, then gives its verdict: a package it refuses before\n"
        "writing anything (damaged, cut short, a refused name) installs nothing. With --target,\n"
        "the checks and steps are played against that directory as it is now (links on the way,\n"
        "free space; nothing is changed), with backups as 'install' makes them.\n"
        "\n"
        "Exit status: 0 when the installer would install the package and nothing is wrong\n"
        "(warnings allowed); 1 when it would fail, or would install something other than what the\n"
        "package holds; 2 on a command-line error."));
    parser.addPositionalArgument(QStringLiteral("check"), QStringLiteral("The command."));
    parser.addPositionalArgument(QStringLiteral("PACKAGE"), QStringLiteral("The update package."));
    Console::InstallationOptions directories(
        QStringLiteral("Directory the package would be installed into."),
        QStringLiteral("The installation makes no backups."));
    directories.addTo(parser);
    const QCommandLineOption json(
        QStringLiteral("json"), QStringLiteral("Print the result as one JSON document."));
    parser.addOption(json);
    int status = Console::parse(parser, arguments, 1);
    if (status < 0)
        status = directories.resolve(parser, true);
    if (status >= 0)
        return status;

    const QString package = parser.positionalArguments().at(1);
    const QString targetDir = directories.target;
    const QString backupDir = directories.backup;
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
