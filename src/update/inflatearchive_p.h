#ifndef INFLATEARCHIVE_P_H
#define INFLATEARCHIVE_P_H

#include "inflatearchive.h"

// The two readings behind inflateArchive, which tries the fast one first and gives every
// package it declines to the reference.

// The reference: zlib, in 1024-byte output steps. Every result of inflateArchive, and every end
// it reports, is this one's.
QByteArray inflateArchiveWithZlib(const QByteArray &package, InflateEnd *end);

// The fast reading with ISA-L. True, with the whole uncompressed content, only for a package whose
// first stream zlib would read to its end without finding anything wrong (wrapper, deflate data,
// check value) and whose content stays within maxInflatedArchiveSize; for those the reference
// gives the same bytes and InflateEnd::Complete. False for everything else (cut, corrupt,
// oversized, memory short), which only the reference reads exactly.
bool inflateArchiveFast(const QByteArray &package, QByteArray *content);

#endif // INFLATEARCHIVE_P_H
