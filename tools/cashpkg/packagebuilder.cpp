#include "packagebuilder.h"

#include "tarrecord.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <zlib.h>

namespace {

constexpr int chunkSize = 64 * 1024;
constexpr int compressionLevel = 9;
constexpr int gzipWindowBits = MAX_WBITS + 16;
constexpr int memoryLevel = 8;
// "Unknown" in the gzip header, so that the package does not depend on the building system.
constexpr int unknownOperatingSystem = 255;

} // namespace

PackageBuilder::PackageBuilder(const QString &output, Compression compression)
    : output(output), compression(compression)
{
}

bool PackageBuilder::fail(const QString &message)
{
    error = message;
    return false;
}

bool PackageBuilder::build(const QList<SourceEntry> &entries)
{
    // Written beside the package and renamed over it at the end: never a partial package.
    QSaveFile out(output);
    if (!out.open(QIODevice::WriteOnly)) {
        return fail(QStringLiteral("cannot write '%1': %2")
                        .arg(QDir::toNativeSeparators(output), out.errorString()));
    }

    z_stream stream = {};
    const int windowBits = compression == Gzip ? gzipWindowBits : MAX_WBITS;
    if (deflateInit2(
            &stream, compressionLevel, Z_DEFLATED, windowBits, memoryLevel, Z_DEFAULT_STRATEGY)
        != Z_OK) {
        return fail(QStringLiteral("cannot start compression"));
    }
    gz_header header = {};
    header.os = unknownOperatingSystem;
    bool written = compression != Gzip || deflateSetHeader(&stream, &header) == Z_OK;
    for (const SourceEntry &entry : entries) {
        if (!written)
            break;
        written = writeEntry(stream, out, entry);
    }
    written = written && deflateBytes(stream, out, QByteArray(2 * TarRecord::size, '\0'), true);
    deflateEnd(&stream);
    if (!written) {
        if (error.isEmpty())
            error = QStringLiteral("cannot compress the package");
        return false;
    }
    if (!out.commit()) {
        return fail(QStringLiteral("cannot write '%1': %2")
                        .arg(QDir::toNativeSeparators(output), out.errorString()));
    }
    return true;
}

bool PackageBuilder::writeEntry(z_stream_s &stream, QSaveFile &out, const SourceEntry &entry)
{
    if (!deflateBytes(stream, out,
            TarRecord::header(entry.name.toUtf8(), quint64(entry.size), entry.isDirectory),
            false)) {
        return false;
    }
    if (entry.isDirectory)
        return true;

    QFile file(entry.path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("cannot read '%1': %2")
                        .arg(QDir::toNativeSeparators(entry.path), file.errorString()));
    }
    qint64 remaining = entry.size;
    while (remaining > 0) {
        const QByteArray chunk = file.read(qMin<qint64>(remaining, chunkSize));
        if (chunk.isEmpty())
            break;
        remaining -= chunk.size();
        if (!deflateBytes(stream, out, chunk, false))
            return false;
    }
    // The header already holds the size seen when the tree was listed.
    if (file.error() != QFile::NoError || remaining != 0 || !file.atEnd()) {
        return fail(QStringLiteral("'%1' changed or could not be read while it was packed")
                        .arg(QDir::toNativeSeparators(entry.path)));
    }
    const int padding = int(entry.size % TarRecord::size);
    return padding == 0
        || deflateBytes(stream, out, QByteArray(TarRecord::size - padding, '\0'), false);
}

bool PackageBuilder::deflateBytes(
    z_stream_s &stream, QSaveFile &out, const QByteArray &bytes, bool finish)
{
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    char buffer[chunkSize];
    forever {
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = chunkSize;
        const int status = deflate(&stream, finish ? Z_FINISH : Z_NO_FLUSH);
        if (status == Z_STREAM_ERROR)
            return false;
        const qint64 produced = chunkSize - qint64(stream.avail_out);
        if (produced > 0 && out.write(buffer, produced) != produced) {
            return fail(QStringLiteral("cannot write '%1': %2")
                            .arg(QDir::toNativeSeparators(output), out.errorString()));
        }
        if (finish ? status == Z_STREAM_END : stream.avail_out != 0)
            return true;
    }
}
