#include "packagereader.h"

#include "tarrecord.h"
#include "update/inflatearchive.h"
#include "update/tinytarheader.h"

#include <QDataStream>
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

bool PackageReader::read(const QString &path)
{
    *this = PackageReader();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        openError = file.errorString();
        return false;
    }
    const QByteArray package = file.readAll();
    if (file.error() != QFile::NoError) {
        openError = file.errorString();
        return false;
    }
    compressedSize = package.size();
    wrapper = compressionOf(package);
    plainTar = startsWithTarHeader(package);

    tar = inflateArchive(package);
    inflatedSize = tar.size();
    TarWalker reader(tar);
    TarWalker::Entry entry;
    while (reader.next(&entry))
        readEntries.append(entry);
    readOutcome = reader.outcome();
    badRecord = reader.badRecord();
    return true;
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
    const int after = int(readEntries.size());
    const QString where = after == 0
        ? QStringLiteral("at the first record")
        : QStringLiteral("after entry %1 ('%2')").arg(after).arg(readEntries.last().name());
    switch (readOutcome) {
    case TarWalker::Reading:
    case TarWalker::Complete:
        return Findings();
    case TarWalker::Empty:
        return { Finding::error(QStringLiteral("not-a-package"), describeEmpty()) };
    case TarWalker::BadHeader:
        return { Finding::error(QStringLiteral("bad-header"),
            QStringLiteral("invalid header %1: %2").arg(where, describeBadHeader())) };
    case TarWalker::NoEndRecords: {
        const bool insideData = after > 0 && readEntries.last().isCutShort();
        return { Finding::error(QStringLiteral("no-end-records"),
            QStringLiteral("the package ends %1 without its two end records: cut short?")
                .arg(insideData ? QStringLiteral("inside the data of entry %1 ('%2')")
                                      .arg(after)
                                      .arg(readEntries.last().name())
                                : where)) };
    }
    case TarWalker::OneEndRecord:
        return { Finding::error(QStringLiteral("one-end-record"),
            QStringLiteral("only one end record %1; the installer needs two").arg(where)) };
    case TarWalker::HeaderAfterEnd:
        return { Finding::error(QStringLiteral("header-after-end"),
            QStringLiteral("a header follows a single end record %1; the installer stops "
                           "there and fails")
                .arg(where)) };
    }
    return Findings();
}
