#include "commands.h"

#include "console.h"
#include "signingkey.h"
#include "update/packagesignature.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

int runKeygen(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes a new Ed25519 key pair for signing update packages. The private key goes to\n"
        "PRIVATE_KEY, readable by its owner alone: keep it off the tills, with whoever builds the\n"
        "packages ('cashpkg build --sign PRIVATE_KEY'). The public key goes to update-key.pub\n"
        "beside it (or --public FILE); installed as update-key.pub in a till's program directory,\n"
        "writable by the administrator alone, it makes the supervisor install only packages\n"
        "signed with the private key. Neither file is overwritten.\n"
        "\n"
        "Exit status: 0 when both files were written; 1 when neither was; 2 on a command-line\n"
        "error."));
    parser.addPositionalArgument(QStringLiteral("keygen"), QStringLiteral("The command."));
    parser.addPositionalArgument(
        QStringLiteral("PRIVATE_KEY"), QStringLiteral("The private key file to write."));
    const QCommandLineOption publicOption(QStringLiteral("public"),
        QStringLiteral("The public key file to write (default: update-key.pub beside "
                       "PRIVATE_KEY)."),
        QStringLiteral("FILE"));
    parser.addOption(publicOption);
    const int status = Console::parse(parser, arguments, 1);
    if (status >= 0)
        return status;

    const QString privatePath = parser.positionalArguments().at(1);
    const QString publicPath = parser.isSet(publicOption)
        ? parser.value(publicOption)
        : QFileInfo(privatePath).dir().filePath(PackageSignature::keyFileName());
    SigningKey key;
    if (!key.generate(privatePath, publicPath)) {
        Console::error(key.errorString());
        return Console::Failure;
    }
    Console::out(
        QStringLiteral("private key %1, public key %2")
            .arg(QDir::toNativeSeparators(privatePath), QDir::toNativeSeparators(publicPath)));
    return Console::Success;
}
