#include "packagereader.h"

#include "tarrecord.h"
#include "update/tinytarheader.h"

#include <QDataStream>
#include <QDir>
#include <QFile>

namespace {

QString compressionOf(const QByteArray &package)
{
    if (package.size() < 2)
        return QString();
    const auto b0 = static_cast<unsigned char>(package.at(0));
    const auto b1 = static_cast<unsigned char>(package.at(1));
    if (b0 == 0x1f && b1 == 0x8b)
        return QStringLiteral("gzip");
    // Deflate with a window of at most 32 KiB, and the header check zlib itself applies.
    if ((b0 & 0x0f) == 8 && (b0 >> 4) <= 7 && (b0 * 256 + b1) % 31 == 0)
        return QStringLiteral("zlib");
    return QString();
}

bool startsWithTarHeader(const QByteArray &bytes)
{
    QDataStream in(bytes);
    TinyTarHeader header;
    return header.read(in) && !header.isEnd();
}

} // namespace

PackageReader::PackageReader(const QString &target, const QString &backup, const QByteArray &key)
    : target(target), key(key), verifier(target, backup)
{
}

void PackageReader::checkSignature(
    PackageSignature &signature, bool installed, const QString &path, const QByteArray &package)
{
    const bool valid =
        installed ? signature.check(path, package) : signature.checkWith(key, path, package);
    const QString keyName =
        installed ? QDir::toNativeSeparators(signature.keyPath()) : QStringLiteral("--key");
    const QString signatureFile = QDir::toNativeSeparators(PackageSignature::signaturePath(path));
    if (installed && !signature.isKeyInstalled())
        return;
    if (valid) {
        signatureNote += (signatureNote.isEmpty() ? QString() : QStringLiteral("; "))
            + QStringLiteral("%1 is valid for %2").arg(signatureFile, keyName);
        return;
    }
    signatureNote += (signatureNote.isEmpty() ? QString() : QStringLiteral("; "))
        + QStringLiteral("not valid for %1").arg(keyName);
    const QString consequence = installed
        ? QStringLiteral("the installer refuses it and writes nothing")
        : QStringLiteral("a till with this key refuses it");
    switch (signature.problem()) {
    case PackageSignature::NoProblem:
        break;
    case PackageSignature::KeyRefused:
        signatureProblems << Finding::error(QStringLiteral("key-refused"),
            QStringLiteral("the installed key is refused (%1): the installer refuses every package")
                .arg(signature.keyReason()));
        break;
    case PackageSignature::SignatureMissing:
        signatureProblems << Finding::error(QStringLiteral("signature-missing"),
            QStringLiteral("there is no signature %1: %2").arg(signatureFile, consequence));
        break;
    case PackageSignature::SignatureUnreadable:
        signatureProblems << Finding::error(QStringLiteral("signature-unreadable"),
            QStringLiteral("the signature %1 cannot be read (%2): %3")
                .arg(signatureFile, signature.signatureReason(), consequence));
        break;
    case PackageSignature::SignatureMalformed:
        signatureProblems << Finding::error(QStringLiteral("signature-malformed"),
            QStringLiteral("%1 holds no base64 Ed25519 signature: %2")
                .arg(signatureFile, consequence));
        break;
    case PackageSignature::SignatureWrong:
        signatureProblems << Finding::error(QStringLiteral("signature-wrong"),
            QStringLiteral("the signature %1 was not made over these bytes with the key of %2: %3")
                .arg(signatureFile, keyName, consequence));
        break;
    }
}

bool PackageReader::read(const QString &path)
{
    openError.clear();
    PackageBytes package;
    readResult = package.read(path);
    compressedSize = package.fileSize();
    if (readResult == PackageBytes::CannotOpen) {
        openError = package.errorString();
        return false;
    }
    wrapper = compressionOf(package.bytes());
    plainTar = startsWithTarHeader(package.bytes());
    signatureProblems.clear();
    signatureNote.clear();
    if (readResult == PackageBytes::Read && !target.isEmpty()) {
        PackageSignature installed(target);
        checkSignature(installed, true, path, package.bytes());
    }
    if (readResult == PackageBytes::Read && !key.isEmpty()) {
        PackageSignature given { QString() };
        checkSignature(given, false, path, package.bytes());
    }
    // The entries are still read for the report when the signature refuses the package.
    const bool verified = readResult == PackageBytes::Read && verifier.verify(package.bytes());
    accepted = verified && signatureProblems.isEmpty();
    return true;
}

int PackageReader::refusedEntry() const
{
    return verifier.problem() == PackageVerifier::RefusedName ? verifier.problemEntry() : 0;
}

QString PackageReader::describeEmpty() const
{
    if (plainTar)
        return QStringLiteral("an uncompressed tar file: the installer reads only gzip- or "
                              "zlib-compressed packages");
    if (wrapper.isEmpty())
        return QStringLiteral("not a gzip or zlib stream");
    return QStringLiteral("the %1 stream is corrupt or holds nothing").arg(wrapper);
}

QString PackageReader::describeBadHeader() const
{
    const QByteArray badRecord = verifier.badRecord();
    if (badRecord.size() < TarRecord::size)
        return QStringLiteral("the stream ends inside a header record (%1 of 512 bytes)")
            .arg(badRecord.size());
    switch (TarRecord(badRecord).checksumState()) {
    case TarRecord::ChecksumSigned:
        return QStringLiteral("the checksum is the sum of signed bytes; only the unsigned sum is "
                              "accepted");
    case TarRecord::ChecksumWrong:
        return QStringLiteral("wrong header checksum");
    case TarRecord::ChecksumUnreadable:
        return QStringLiteral("the checksum field is not octal text");
    case TarRecord::ChecksumValid:
        break;
    }
    return QStringLiteral("the size or time field is not octal text");
}

Findings PackageReader::problems() const
{
    if (readResult == PackageBytes::TooLarge || readResult == PackageBytes::OutOfMemory) {
        return { Finding::error(QStringLiteral("too-large"),
            readResult == PackageBytes::TooLarge
                ? QStringLiteral("the file holds %1 bytes; the installer reads at most %2")
                      .arg(compressedSize)
                      .arg(PackageBytes::maxSize)
                : QStringLiteral("there is not enough memory to read it")) };
    }
    // The signature is checked first: a package it refuses is never inflated.
    Findings found = signatureProblems;
    if (verifier.inflateEnd() == InflateEnd::CutShort) {
        found << Finding::error(QStringLiteral("stream-cut-short"),
            QStringLiteral("the compressed stream ends before its end (a package cut short, or "
                           "without its gzip trailer): the installer writes nothing"));
    } else if (verifier.inflateEnd() == InflateEnd::TooLarge) {
        found << Finding::error(QStringLiteral("too-large"),
            QStringLiteral("it inflates to more than %1 bytes").arg(maxInflatedArchiveSize));
    }

    const QList<TarWalker::Entry> readEntries = entries();
    const int after = int(readEntries.size());
    const QString where = after == 0
        ? QStringLiteral("at the first record")
        : QStringLiteral("after entry %1 ('%2')").arg(after).arg(readEntries.last().name());
    switch (outcome()) {
    case TarWalker::Reading:
    case TarWalker::Complete:
        break;
    case TarWalker::Empty:
        if (found.size() == signatureProblems.size())
            found << Finding::error(QStringLiteral("not-a-package"), describeEmpty());
        break;
    case TarWalker::BadHeader:
        found << Finding::error(QStringLiteral("bad-header"),
            QStringLiteral("invalid header %1: %2").arg(where, describeBadHeader()));
        break;
    case TarWalker::NoEndRecords: {
        const bool insideData = after > 0 && readEntries.last().isCutShort();
        found << Finding::error(QStringLiteral("no-end-records"),
            QStringLiteral("the package ends %1 without its two end records: cut short?")
                .arg(insideData ? QStringLiteral("inside the data of entry %1 ('%2')")
                                      .arg(after)
                                      .arg(readEntries.last().name())
                                : where));
        break;
    }
    case TarWalker::OneEndRecord:
        found << Finding::error(QStringLiteral("one-end-record"),
            QStringLiteral("only one end record %1; the installer needs two").arg(where));
        break;
    case TarWalker::HeaderAfterEnd:
        found << Finding::error(QStringLiteral("header-after-end"),
            QStringLiteral("a header follows a single end record %1; the installer refuses it")
                .arg(where));
        break;
    }
    if (verifier.problem() == PackageVerifier::NoSpace) {
        found << Finding::error(QStringLiteral("no-space"),
            QStringLiteral("the file system of '%1' has %2 bytes free; the installer needs at "
                           "least %3 and writes nothing")
                .arg(QDir::toNativeSeparators(verifier.spaceRoot()))
                .arg(verifier.spaceAvailable())
                .arg(verifier.spaceNeeded()));
    }
    return found;
}
