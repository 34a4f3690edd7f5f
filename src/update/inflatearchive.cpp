#include "inflatearchive_p.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

namespace {

constexpr int outputStep = 1024;
constexpr int minimumPackageSize = 5;
// 15: a 32 KiB window; + 32: detect a zlib or gzip wrapper from the first bytes.
constexpr int windowBits = MAX_WBITS + 32;
// Reserved up front at most; larger results grow geometrically like any other.
constexpr qint64 initialReserveLimit = qint64(1) << 30;

// Makes room for `extra` more bytes. Failed when memory ran out, TooLarge past the limit,
// Complete when there is room.
InflateEnd makeRoom(QByteArray &result, qint64 extra)
{
    const qint64 needed = qint64(result.size()) + extra;
    if (needed > maxInflatedArchiveSize)
        return InflateEnd::TooLarge;
    return growContent(result, needed) ? InflateEnd::Complete : InflateEnd::Failed;
}

QByteArray fail(InflateEnd *end, InflateEnd why)
{
    if (end)
        *end = why;
    return QByteArray();
}

// QByteArray reports a failed allocation only through std::bad_alloc; a package too large for the
// memory left must fail like a corrupt one, not end the program.
bool tryReserve(QByteArray &content, qint64 size)
{
    try {
        content.reserve(int(size));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return content.capacity() >= size;
}

} // namespace

bool growContent(QByteArray &content, qint64 needed)
{
    if (needed <= content.capacity())
        return true;
    // Qt 5 cannot hold quite maxInflatedArchiveSize bytes (its array header counts too), so a
    // refused step is followed by smaller ones before the growth is given up.
    qint64 step =
        std::min(std::max(needed, 2 * qint64(content.capacity())), maxInflatedArchiveSize);
    while (!tryReserve(content, step)) {
        if (step == needed)
            return false;
        step = needed + (step - needed) / 2;
    }
    return true;
}

void reserveForPackage(QByteArray &content, qint64 packageSize)
{
    tryReserve(content, std::min<qint64>(4 * packageSize, initialReserveLimit));
}

QByteArray inflateArchiveWithZlib(const QByteArray &package, InflateEnd *end)
{
    if (package.size() < minimumPackageSize)
        return fail(end, InflateEnd::Failed);

    z_stream stream = {};
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(package.constData()));
    // zlib counts input in 32 bits; a first stream longer than that would inflate past the size
    // limit anyway, and bytes after the first stream are never read.
    stream.avail_in = uInt(std::min<qint64>(package.size(), std::numeric_limits<uInt>::max()));
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return fail(end, InflateEnd::Failed);

    QByteArray result;
    reserveForPackage(result, package.size());
    char aside[outputStep];
    forever {
        const int size = int(result.size());
        // Each step decodes straight into the result's spare room, except the last steps below
        // the size limit: those decode aside, so that output past the limit is seen before any
        // room is made for it.
        const bool direct = qint64(size) + outputStep <= maxInflatedArchiveSize;
        if (direct) {
            if (const InflateEnd room = makeRoom(result, outputStep);
                room != InflateEnd::Complete) {
                inflateEnd(&stream);
                return fail(end, room);
            }
            result.resize(size + outputStep);
            stream.next_out = reinterpret_cast<Bytef *>(result.data() + size);
        } else {
            stream.next_out = reinterpret_cast<Bytef *>(aside);
        }
        stream.avail_out = outputStep;
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_MEM_ERROR) {
            inflateEnd(&stream);
            return fail(end, InflateEnd::Failed);
        }
        const int produced = outputStep - int(stream.avail_out);
        if (direct) {
            result.resize(size + produced);
        } else {
            if (const InflateEnd room = makeRoom(result, produced); room != InflateEnd::Complete) {
                inflateEnd(&stream);
                return fail(end, room);
            }
            result.append(aside, produced);
        }
        // A call that leaves room ends the loop: the stream's end, input cut short, or any
        // other status.
        if (stream.avail_out != 0) {
            if (end) {
                *end = status == Z_STREAM_END ? InflateEnd::Complete
                    : stream.avail_in == 0    ? InflateEnd::CutShort
                                              : InflateEnd::Failed;
            }
            break;
        }
    }
    inflateEnd(&stream);
    return result;
}

QByteArray inflateArchive(const QByteArray &package, InflateEnd *end)
{
    QByteArray content;
    if (inflateArchiveFast(package, &content)) {
        if (end)
            *end = InflateEnd::Complete;
        return content;
    }
    return inflateArchiveWithZlib(package, end);
}
