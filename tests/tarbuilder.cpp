#include "tarbuilder.h"

#include <zlib.h>

#include <algorithm>

#include <utility>

namespace {

QByteArray octal(quint64 value, int width)
{
    // width - 1 digits and a terminating NUL, as ustar writers do.
    return QByteArray::number(value, 8).rightJustified(width - 1, '0') + '\0';
}

} // namespace

QByteArray TarBuilder::header(const QByteArray &name, quint64 size, char type)
{
    QByteArray record(recordSize, '\0');
    record.replace(Name, qMin(name.size(), 100), name.left(100));
    record.replace(Mode, 8, octal(0644, 8));
    record.replace(Size, 12, octal(size, 12));
    record.replace(Mtime, 12, octal(1700000000, 12));
    record[Type] = type;
    record.replace(Magic, 8,
        QByteArray("ustar\0"
                   "00",
            8));
    storeChecksum(record);
    return record;
}

void TarBuilder::setField(QByteArray &record, Field field, const QByteArray &bytes)
{
    record.replace(field, bytes.size(), bytes);
    storeChecksum(record);
}

void TarBuilder::storeChecksum(QByteArray &record, bool signedBytes)
{
    record.replace(Checksum, 8, QByteArray(8, ' '));
    int sum = 0;
    for (const char c : std::as_const(record))
        sum += signedBytes ? int(static_cast<signed char>(c)) : int(static_cast<unsigned char>(c));
    record.replace(Checksum, 8, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0' + ' ');
}

TarBuilder &TarBuilder::file(const QByteArray &name, const QByteArray &data, char type)
{
    return entry(header(name, quint64(data.size()), type), data);
}

TarBuilder &TarBuilder::directory(const QByteArray &name)
{
    return entry(header(name, 0, '5'));
}

TarBuilder &TarBuilder::entry(const QByteArray &header, const QByteArray &data)
{
    stream += header;
    stream += data;
    if (data.size() % recordSize != 0)
        stream += QByteArray(recordSize - data.size() % recordSize, '\0');
    return *this;
}

TarBuilder &TarBuilder::end(int records)
{
    stream += QByteArray(records * recordSize, '\0');
    return *this;
}

QByteArray patternData(int size, quint32 seed)
{
    QByteArray data(size, '\0');
    quint32 x = seed;
    for (char &c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return data;
}

QByteArray zlibCompressed(const QByteArray &data)
{
    uLongf length = compressBound(uLong(data.size()));
    QByteArray out(int(length), '\0');
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &length,
            reinterpret_cast<const Bytef *>(data.constData()), uLong(data.size()), 6)
        != Z_OK) {
        return QByteArray();
    }
    out.truncate(int(length));
    return out;
}

QByteArray gzipCompressed(const QByteArray &data, int level, int tinyBlocksFrom)
{
    z_stream stream = {};
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    // Each full flush adds a few bytes.
    const int flushes = tinyBlocksFrom < 0 ? 0 : (int(data.size()) - tinyBlocksFrom) / 64 + 1;
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))) + 32 + 16 * flushes, '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    int status = Z_OK;
    for (qint64 at = 0; status == Z_OK;) {
        const qint64 next = tinyBlocksFrom < 0 || at < tinyBlocksFrom
            ? (tinyBlocksFrom < 0 ? data.size() : tinyBlocksFrom)
            : std::min<qint64>(at + 64, data.size());
        stream.avail_in = uInt(next - at);
        status = deflate(&stream, next == data.size() ? Z_FINISH : Z_FULL_FLUSH);
        at = next;
    }
    out.truncate(int(stream.total_out));
    deflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray();
}

QByteArray zeroBomb(int chunks, const QByteArray &head)
{
    const QByteArray zeros(16 << 20, '\0');
    z_stream stream = {};
    // Long runs of one byte: the highest ratio deflate reaches.
    if (deflateInit2(&stream, 1, Z_DEFLATED, 15, 9, Z_RLE) != Z_OK)
        return QByteArray();
    QByteArray out(zeros.size() / 64, '\0');
    QByteArray pieces[3];
    for (QByteArray &piece : pieces) {
        // Full flushes: each piece refers to no earlier data and ends on a byte boundary.
        const QByteArray in = &piece == pieces ? head + zeros : zeros;
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.constData()));
        stream.avail_in = uInt(in.size());
        stream.next_out = reinterpret_cast<Bytef *>(out.data());
        stream.avail_out = uInt(out.size());
        if (deflate(&stream, Z_FULL_FLUSH) != Z_OK || stream.avail_in != 0)
            return QByteArray();
        piece = out.left(out.size() - int(stream.avail_out));
    }
    deflateEnd(&stream);
    if (pieces[1] != pieces[2])
        return QByteArray();
    return pieces[0] + pieces[1].repeated(chunks - 1);
}
