#include "commands.h"

#include "console.h"
#include "packagebuilder.h"
#include "sourcetree.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace {

// The package must not end up in the tree it is made from: a second build would pack the first.
bool isInside(const QString &path, const QString &directory)
{
    const QString root = QFileInfo(directory).canonicalFilePath();
    const QFileInfo file(path);
    const QString parent = QFileInfo(file.absolutePath()).canonicalFilePath();
    if (root.isEmpty() || parent.isEmpty())
        return false;
    return parent == root || parent.startsWith(root + QLatin1Char('/'));
}

} // namespace

int runBuild(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Packs SOURCE_DIR into an update package that the installer reads exactly: every\n"
        "directory as an entry before its contents, sorted names relative to SOURCE_DIR, fixed\n"
        "times, owners and modes (the same tree always gives the same bytes). Refuses links,\n"
        "special files, names longer than 100 bytes and names the installer refuses, listing all\n"
        "of them. The package is written under a temporary name and renamed when complete.\n"
        "\n"
        "Exit status: 0 when the package was written; 1 when it was not; 2 on a command-line\n"
        "error."));
    parser.addPositionalArgument(QStringLiteral("build"), QStringLiteral("The command."));
    parser.addPositionalArgument(
        QStringLiteral("SOURCE_DIR"), QStringLiteral("The tree to install, as it should be."));
    const QCommandLineOption output({ QStringLiteral("o"), QStringLiteral("output") },
        QStringLiteral("The package to write."), QStringLiteral("PACKAGE"));
    const QCommandLineOption zlib(
        QStringLiteral("zlib"), QStringLiteral("Compress as a zlib stream instead of gzip."));
    parser.addOptions({ output, zlib });
    const int status = Console::parse(parser, arguments, 1);
    if (status >= 0)
        return status;
    if (!parser.isSet(output)) {
        Console::error(QStringLiteral("missing -o PACKAGE; see --help"));
        return Console::UsageError;
    }

    const QString source = parser.positionalArguments().at(1);
    const QString package = parser.value(output);
    if (isInside(package, source)) {
        Console::error(QStringLiteral("the package '%1' would be inside the source directory")
                           .arg(QDir::toNativeSeparators(package)));
        return Console::Failure;
    }
    SourceTree tree;
    if (!tree.scan(source)) {
        const QStringList problems = tree.problems();
        for (const QString &problem : problems)
            Console::error(problem);
        Console::error(QStringLiteral("no package written"));
        return Console::Failure;
    }
    PackageBuilder builder(
        package, parser.isSet(zlib) ? PackageBuilder::Zlib : PackageBuilder::Gzip);
    if (!builder.build(tree.entries())) {
        Console::error(builder.errorString());
        Console::error(QStringLiteral("no package written"));
        return Console::Failure;
    }
    Console::out(QStringLiteral("%1: %2 entries")
                     .arg(QDir::toNativeSeparators(package))
                     .arg(tree.entries().size()));
    return Console::Success;
}
