#ifndef TARRECORD_H
#define TARRECORD_H

#include "update/tarlayout.h"

#include <QByteArray>
#include <QtGlobal>

// The fields of a tar header record that the installer's reader skips but that tell what a
// package really means: type, link target, ustar prefix. Also writes the records of the packages
// we build, so that the layout lives in one place.
class TarRecord
{
public:
    static constexpr int size = 512;
    static constexpr int nameWidth = TarLayout::nameWidth;

    explicit TarRecord(const QByteArray &record);

    // A ustar header with fixed owner, mode and time, and the unsigned checksum: the same input
    // always gives the same bytes. name must be at most nameWidth bytes.
    static QByteArray header(const QByteArray &name, quint64 dataSize, bool isDirectory);

    QByteArray nameBytes() const; // the name field up to its first NUL
    char typeFlag() const;
    QByteArray linkName() const;
    // The POSIX ustar prefix ("ustar\0" magic only: old GNU headers keep times there).
    QByteArray prefix() const;

    enum ChecksumState { ChecksumValid, ChecksumSigned, ChecksumWrong, ChecksumUnreadable };
    // Why a record's checksum does or does not pass: only the unsigned sum is accepted.
    ChecksumState checksumState() const;

private:
    QByteArray field(int offset, int width) const;

    QByteArray bytes;
};

#endif // TARRECORD_H
