#include "packagebytes.h"

#include "memorypages.h"

#include <algorithm>
#include <new>

namespace {

// Read straight into the buffer, a few megabytes at a time.
constexpr qint64 readStep = qint64(4) << 20;

} // namespace

PackageBytes::Result PackageBytes::read(const QString &path)
{
    *this = PackageBytes();
    QFile file(path);
    const auto failed = [this, &file] {
        fileError = file.error();
        fileErrorString = file.errorString();
        data.clear();
        return CannotOpen;
    };
    if (!file.open(QIODevice::ReadOnly))
        return failed();
    // A sparse file of a terabyte costs nothing on disk; it must cost nothing here either.
    size = file.size();
    if (size > maxSize)
        return TooLarge;
    // QByteArray reports an allocation it cannot make only with std::bad_alloc.
    try {
        data.reserve(int(size));
        prepareMemory(data.data(), data.capacity());
        // The reported size only sizes the buffer: a file that grows, or a device, is still read
        // no further than the limit.
        forever {
            const int at = int(data.size());
            const qint64 room = std::min<qint64>(data.capacity(), maxSize) - at;
            if (room <= 0) {
                // The buffer is full: one byte more tells whether the file goes on.
                char next = 0;
                const qint64 read = file.read(&next, 1);
                if (read < 0)
                    return failed();
                if (read == 0)
                    break;
                if (at >= maxSize) {
                    size = at + read;
                    data.clear();
                    return TooLarge;
                }
                data.append(next);
                continue;
            }
            const qint64 step = std::min(room, readStep);
            data.resize(at + int(step));
            const qint64 read = file.read(data.data() + at, step);
            if (read < 0)
                return failed();
            data.resize(at + int(read));
            if (read == 0)
                break;
        }
    } catch (const std::bad_alloc &) {
        data.clear();
        return OutOfMemory;
    }
    size = std::max<qint64>(size, data.size());
    return Read;
}
