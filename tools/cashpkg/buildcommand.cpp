#include "commands.h"

#include "console.h"
#include "packagebuilder.h"
#include "signingkey.h"
#include "sourcetree.h"
#include "update/packagebytes.h"
#include "update/packagesignature.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

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

// Signs the package as the installer will read it, into PACKAGE.sig.
bool writeSignature(const SigningKey &key, const QString &package)
{
    const QString path = PackageSignature::signaturePath(package);
    PackageBytes bytes;
    if (bytes.read(package) != PackageBytes::Read) {
        Console::error(QStringLiteral("cannot read '%1' back to sign it: %2")
                           .arg(QDir::toNativeSeparators(package), bytes.errorString()));
        return false;
    }
    QSaveFile file(path);
    const QByteArray text = PackageSignature::signatureText(key.sign(bytes.bytes()));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        Console::error(QStringLiteral("cannot write '%1': %2")
                           .arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    return true;
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
        "With --sign, PACKAGE.sig beside it holds its Ed25519 signature, which a till with the\n"
        "matching public key (see 'cashpkg keygen') requires.\n"
        "\n"
        "Exit status: 0 when the package (and its signature) was written; 1 when it was not; 2 on\n"
        "a command-line error."));
    parser.addPositionalArgument(QStringLiteral("build"), QStringLiteral("The command."));
    parser.addPositionalArgument(
        QStringLiteral("SOURCE_DIR"), QStringLiteral("The tree to install, as it should be."));
    const QCommandLineOption output({ QStringLiteral("o"), QStringLiteral("output") },
        QStringLiteral("The package to write."), QStringLiteral("PACKAGE"));
    const QCommandLineOption zlib(
        QStringLiteral("zlib"), QStringLiteral("Compress as a zlib stream instead of gzip."));
    const QCommandLineOption sign(QStringLiteral("sign"),
        QStringLiteral("Sign the package with this private key, into PACKAGE.sig."),
        QStringLiteral("KEY"));
    parser.addOptions({ output, zlib, sign });
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
    // A key that cannot sign fails the build before anything is written.
    SigningKey key;
    if (parser.isSet(sign) && !key.load(parser.value(sign))) {
        Console::error(key.errorString());
        Console::error(QStringLiteral("no package written"));
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
    if (parser.isSet(sign) && !writeSignature(key, package))
        return Console::Failure;
    Console::out(QStringLiteral("%1: %2 entries%3")
                     .arg(QDir::toNativeSeparators(package))
                     .arg(tree.entries().size())
                     .arg(parser.isSet(sign) ? QStringLiteral(", signed") : QString()));
    return Console::Success;
}
