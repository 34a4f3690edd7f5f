#ifndef DEFLATECHECK_H
#define DEFLATECHECK_H

#include <QtGlobal>

// Reads the header of the deflate block (RFC 1951) that starts at bit `position` of data (bits
// counted least significant first) and makes zlib's checks of it: the block type, and for a
// block with its own codes their counts, the code length repeats and every code, which zlib
// accepts only complete (or, for literal/length and distance codes, as a single code of length 1,
// and for distance codes empty). True when zlib would accept the header and it lies within size
// bytes; *final then tells whether the block is the stream's last. A stored block's lengths and
// everything after the header are left to the decoder.
bool deflateBlockHeaderIsSound(const uchar *data, qint64 size, qint64 position, bool *final);

#endif // DEFLATECHECK_H
