#include "commands.h"
#include "console.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

const char usage[] = "Usage: cashpkg COMMAND [options] ...\n"
                     "Builds, checks, installs and rolls back update packages.\n\n"
                     "Commands:\n"
                     "  check PACKAGE [--target DIR] [--key PUB] [--json]\n"
                     "                                             what the installer would do\n"
                     "  build SOURCE_DIR -o PACKAGE [--zlib] [--sign KEY]\n"
                     "                                             make a package\n"
                     "  install PACKAGE --target DIR [--backup B]  install it\n"
                     "  rollback PACKAGE --target DIR --backup B [--dry-run]\n"
                     "                                             undo an installation\n"
                     "  recover --target DIR [--backup B]          undo an interrupted one\n"
                     "  keygen PRIVATE_KEY [--public FILE]         make a signing key pair\n\n"
                     "'cashpkg COMMAND --help' describes a command and its exit statuses.\n";

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cashpkg"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));

    const QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (command == QLatin1String("check"))
        return runCheck(arguments);
    if (command == QLatin1String("build"))
        return runBuild(arguments);
    if (command == QLatin1String("install"))
        return runInstall(arguments);
    if (command == QLatin1String("rollback"))
        return runRollback(arguments);
    if (command == QLatin1String("recover"))
        return runRecover(arguments);
    if (command == QLatin1String("keygen"))
        return runKeygen(arguments);

    const bool help = command == QLatin1String("--help") || command == QLatin1String("-h")
        || command == QLatin1String("help");
    std::fputs(usage, help ? stdout : stderr);
    if (!help && !command.isEmpty())
        Console::error(QStringLiteral("unknown command '%1'").arg(command));
    return help ? Console::Success : Console::UsageError;
}
