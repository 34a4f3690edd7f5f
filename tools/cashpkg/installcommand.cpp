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
    Console::InstallationOptions directories(QStringLiteral("Directory to install into."),
        QStringLiteral("Replace files without keeping backups."));
    directories.addTo(parser);
    int status = Console::parse(parser, arguments, 1);
    if (status < 0)
        status = directories.resolve(parser);
    if (status >= 0)
        return status;

    const QString package = parser.positionalArguments().at(1);

    Log::setStandardOutput(true);
    Log::setLevel(Log::Debug);
    TinyTarUnpacker unpacker(package, directories.target, directories.backup);
    if (unpacker.unpack())
        return Console::Success;
    Console::error(QStringLiteral("the installation failed"));
    return Console::Failure;
}
