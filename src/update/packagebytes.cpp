#include "packagebytes.h"

#include <algorithm>
#include <new>

namespace {

constexpr int readStep = 64 << 10;

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
        // The reported size only sizes the buffer: a file that grows, or a device, is still read
        // no further than the limit.
        char buffer[readStep];
        forever {
            const qint64 read = file.read(buffer, readStep);
            if (read < 0)
                return failed();
            if (read == 0)
                break;
            if (data.size() + read > maxSize) {
                size = data.size() + read;
                data.clear();
                return TooLarge;
            }
            data.append(buffer, int(read));
        }
    } catch (const std::bad_alloc &) {
        data.clear();
        return OutOfMemory;
    }
    size = std::max<qint64>(size, data.size());
    return Read;
}
