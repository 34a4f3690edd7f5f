#ifndef INFLATEARCHIVE_H
#define INFLATEARCHIVE_H

#include <QByteArray>

// Largest uncompressed package we accept: the most a Qt 5 QByteArray holds (2 GiB - 1 less its
// 24-byte header and the terminating NUL), kept on every build so that both builds accept the
// same packages and tell a package too large from a lack of memory alike.
constexpr qint64 maxInflatedArchiveSize = 0x7fffffff - 25;

// How the first compressed stream of a package ended.
enum class InflateEnd {
    Complete, // its end was reached and its check value (gzip CRC-32 and length, zlib Adler-32)
              // matched
    CutShort, // the package ended before the stream did
    Failed, // 4 bytes or fewer, no valid wrapper, corrupt data, a preset dictionary, no memory
    TooLarge, // the output would grow beyond maxInflatedArchiveSize
};

// Decompresses the first zlib or gzip stream of a package (the wrapper is detected from its first
// bytes). Empty on any failure: input of 4 bytes or fewer, no valid wrapper, corrupt data, a
// preset dictionary, exhausted memory, or output beyond maxInflatedArchiveSize. A stream cut short
// gives what was decoded up to the cut. *end, when given, tells which of these happened.
QByteArray inflateArchive(const QByteArray &package, InflateEnd *end = nullptr);

#endif // INFLATEARCHIVE_H
