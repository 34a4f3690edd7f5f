#include "commands.h"

#include "checkreport.h"
#include "console.h"
#include "packagechecker.h"
#include "packagereader.h"
#include "update/packagesignature.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>

#include <cstdio>

int runCheck(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads and checks PACKAGE with the installer's own code and tells, entry by entry, what\n"
        "the installer would do with it, then gives its verdict: a package it refuses before\n"
        "writing anything (damaged, cut short, a refused name) installs nothing. With --target,\n"
        "the checks and steps are played against that directory as it is now (links on the way,\n"
        "free space; nothing is changed), with backups as 'install' makes them. When DIR holds "
        "the\n"
        "key update-key.pub, PACKAGE.sig must be its valid signature, as the installer requires;\n"
        "--key checks it against a public key file given here, as if that were installed.\n"
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
    const QCommandLineOption keyOption(QStringLiteral("key"),
        QStringLiteral("Check PACKAGE.sig against this public key file (see 'cashpkg keygen')."),
        QStringLiteral("PUBLIC_KEY"));
    parser.addOptions({ json, keyOption });
    int status = Console::parse(parser, arguments, 1);
    if (status < 0)
        status = directories.resolve(parser, true);
    if (status >= 0)
        return status;

    const QString package = parser.positionalArguments().at(1);
    const QString targetDir = directories.target;
    const QString backupDir = directories.backup;
    QByteArray key;
    if (parser.isSet(keyOption)) {
        QFile file(parser.value(keyOption));
        key = file.open(QIODevice::ReadOnly) ? PackageSignature::parseKey(file.read(4096))
                                             : QByteArray();
        if (key.isEmpty()) {
            Console::error(QStringLiteral("'%1' is no public key file: %2")
                               .arg(QDir::toNativeSeparators(file.fileName()),
                                   file.error() != QFile::NoError
                                       ? file.errorString()
                                       : QStringLiteral("no line 'ed25519 <base64 key>'")));
            return Console::UsageError;
        }
    }
    PackageReader reader(targetDir, backupDir, key);
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
