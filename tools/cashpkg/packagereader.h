#ifndef PACKAGEREADER_H
#define PACKAGEREADER_H

#include "finding.h"
#include "update/packagebytes.h"
#include "update/packagesignature.h"
#include "update/packageverifier.h"
#include "update/tarwalker.h"

#include <QList>
#include <QString>

// Reads a whole package with the installer's own reading and verification (PackageBytes, then
// PackageVerifier) and keeps every entry it could read, with the reason the installer would
// refuse it, if any.
class PackageReader
{
public:
    // With a target the verification also looks at that directory as the installer would, and
    // checks the signature against the key installed there, if any. With a key (a public key
    // file's text) the signature is checked against that key too, as if it were installed.
    explicit PackageReader(const QString &target = QString(), const QString &backup = QString(),
        const QByteArray &key = QByteArray());

    // False only when the file cannot be opened (see errorString()); a package that cannot be
    // decompressed or walked to its end is read as far as it goes, see problems().
    [[nodiscard]] bool read(const QString &path);
    QString errorString() const { return openError; }

    QString compression() const { return wrapper; } // "gzip", "zlib", or empty: neither
    qint64 packageSize() const { return compressedSize; }
    qint64 tarSize() const { return verifier.tar().size(); }
    QList<TarWalker::Entry> entries() const { return verifier.entries(); }
    TarWalker::Outcome outcome() const { return verifier.outcome(); }
    // True when decompression gave nothing: not one entry can be known.
    bool isUnreadable() const
    {
        return verifier.entries().isEmpty() && outcome() != TarWalker::Complete;
    }
    // The installer's verdict: it would go on to install the package.
    bool isAccepted() const { return accepted; }
    PackageVerifier::Problem problem() const { return verifier.problem(); }
    // The entry the installer refuses (1 for the first), or 0.
    int refusedEntry() const;

    // Why the installer would refuse the package as a whole: one error per problem of the
    // signature, the compressed stream, the tar stream and the disk, naming the entry where
    // reading stopped.
    Findings problems() const;
    // What became of the signature: empty when no key asked for one.
    QString signatureState() const { return signatureNote; }

private:
    QString describeEmpty() const;
    QString describeBadHeader() const;
    void checkSignature(PackageSignature &signature, bool installed, const QString &path,
        const QByteArray &package);

    const QString target;
    const QByteArray key;
    PackageVerifier verifier;
    Findings signatureProblems;
    QString signatureNote;
    QString openError;
    QString wrapper;
    qint64 compressedSize = 0;
    PackageBytes::Result readResult = PackageBytes::Read;
    bool plainTar = false;
    bool accepted = false;
};

#endif // PACKAGEREADER_H
