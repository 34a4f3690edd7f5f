#ifndef INFLATEARCHIVE_P_H
#define INFLATEARCHIVE_P_H

#include "inflatearchive.h"

// The two readings behind inflateArchive, which tries the fast one first and gives every
// package it declines to the reference.

// The reference: zlib, in 1024-byte output steps. Every result of inflateArchive, and every end
// it reports, is this one's.
QByteArray inflateArchiveWithZlib(const QByteArray &package, InflateEnd *end);

// Told by the fast reading, on the thread that decompresses, how far the content is final, so
// that another thread can use it while the rest is decoded.
class InflateProgress
{
public:
    virtual ~InflateProgress() = default;
    // The first `size` bytes at `content` are final; they stay where they are until moving().
    // The buffer holding them has room for `capacity` bytes.
    virtual void produced(const char *content, qint64 size, qint64 capacity) = 0;
    // The content is about to move to a larger buffer: returns once nothing reads it any more.
    // Then produced() tells where it went.
    virtual void moving() = 0;
    virtual void moved() = 0;
};

// The fast reading with ISA-L. True, with the whole uncompressed content, only for a package whose
// first stream zlib would read to its end without finding anything wrong (wrapper, deflate data,
// check value) and whose content stays within maxInflatedArchiveSize; for those the reference
// gives the same bytes and InflateEnd::Complete. False for everything else (cut, corrupt,
// oversized, memory short), which only the reference reads exactly. The check value is computed
// as the content is made, so that what progress's reader did with the content before the end
// (let its memory go, for one) cannot change it; the last 64 KiB made are read again (the next
// block's history), the rest never.
bool inflateArchiveFast(
    const QByteArray &package, QByteArray *content, InflateProgress *progress = nullptr);
// How much of the newest content the fast reading may read again.
constexpr qint64 inflateHistoryKept = qint64(64) << 10;

// How both readings hold the content: reserved for four times the package up front (packages
// inflate to a few times their size; pages never written cost no memory; a failure here only
// means growing later), then grown geometrically but never past maxInflatedArchiveSize, so that
// beyond the first reservation a package never makes us reserve more than twice what it has
// produced. growContent makes the capacity at least `needed`; false when memory ran out.
void reserveForPackage(QByteArray &content, qint64 packageSize);
bool growContent(QByteArray &content, qint64 needed);

#endif // INFLATEARCHIVE_P_H
