#include "inflatearchive.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

namespace {

constexpr int outputStep = 1024;
constexpr int minimumPackageSize = 5;
// 15: a 32 KiB window; + 32: detect a zlib or gzip wrapper from the first bytes.
constexpr int windowBits = MAX_WBITS + 32;

// Makes room for `extra` more bytes, growing geometrically but never past the size limit, so a
// package never makes us reserve more than twice what it has already produced.
bool makeRoom(QByteArray &result, qint64 extra)
{
    const qint64 needed = qint64(result.size()) + extra;
    if (needed > maxInflatedArchiveSize)
        return false;
    if (needed <= result.capacity())
        return true;
    const qint64 grown =
        std::min(std::max(needed, 2 * qint64(result.capacity())), maxInflatedArchiveSize);
    // QByteArray reports a failed allocation only through std::bad_alloc; a package too large
    // for the memory left must fail like a corrupt one, not end the program.
    try {
        result.reserve(int(grown));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return result.capacity() >= needed;
}

} // namespace

QByteArray inflateArchive(const QByteArray &package)
{
    if (package.size() < minimumPackageSize)
        return QByteArray();

    z_stream stream = {};
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(package.constData()));
    // zlib counts input in 32 bits; a first stream longer than that would inflate past the size
    // limit anyway, and bytes after the first stream are never read.
    stream.avail_in = uInt(std::min<qint64>(package.size(), std::numeric_limits<uInt>::max()));
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return QByteArray();

    QByteArray result;
    char buffer[outputStep];
    forever {
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = outputStep;
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_MEM_ERROR) {
            inflateEnd(&stream);
            return QByteArray();
        }
        const int produced = outputStep - int(stream.avail_out);
        if (!makeRoom(result, produced)) {
            inflateEnd(&stream);
            return QByteArray();
        }
        result.append(buffer, produced);
        // A call that leaves room ends the loop: the stream's end, input cut short, or any
        // other status.
        if (stream.avail_out != 0)
            break;
    }
    inflateEnd(&stream);
    return result;
}
