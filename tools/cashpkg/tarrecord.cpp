#include "tarrecord.h"

#include "update/tarlayout.h"

#include <utility>

namespace {

using namespace TarLayout;
constexpr int typeOffset = typeFlagOffset;

// width - 1 octal digits and a NUL, as ustar writers fill numeric fields.
QByteArray octal(quint64 value, int width)
{
    return QByteArray::number(value, 8).rightJustified(width - 1, '0') + '\0';
}

void put(QByteArray &record, int offset, const QByteArray &value)
{
    record.replace(offset, int(value.size()), value);
}

} // namespace

TarRecord::TarRecord(const QByteArray &record) : bytes(record.leftJustified(size, '\0', true)) { }

QByteArray TarRecord::header(const QByteArray &name, quint64 dataSize, bool isDirectory)
{
    Q_ASSERT(name.size() <= nameWidth);
    QByteArray record(size, '\0');
    put(record, 0, name);
    put(record, modeOffset, octal(isDirectory ? 0755 : 0644, 8));
    put(record, uidOffset, octal(0, 8));
    put(record, gidOffset, octal(0, 8));
    put(record, sizeOffset, octal(isDirectory ? 0 : dataSize, 12));
    put(record, mtimeOffset, octal(0, 12));
    record[typeOffset] = isDirectory ? '5' : '0';
    put(record, magicOffset,
        QByteArray("ustar\0"
                   "00",
            8));
    put(record, devMajorOffset, octal(0, 8));
    put(record, devMinorOffset, octal(0, 8));

    put(record, checksumOffset, QByteArray(checksumWidth, ' '));
    quint32 sum = 0;
    for (const char c : std::as_const(record))
        sum += quint32(static_cast<unsigned char>(c));
    put(record, checksumOffset, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0' + ' ');
    return record;
}

QByteArray TarRecord::field(int offset, int width) const
{
    const QByteArray raw = bytes.mid(offset, width);
    const int nul = int(raw.indexOf('\0'));
    return nul < 0 ? raw : raw.left(nul);
}

QByteArray TarRecord::nameBytes() const
{
    return field(0, nameWidth);
}

char TarRecord::typeFlag() const
{
    return bytes.at(typeOffset);
}

QByteArray TarRecord::linkName() const
{
    return field(linkOffset, 100);
}

QByteArray TarRecord::prefix() const
{
    if (bytes.mid(magicOffset, 6) != QByteArray("ustar\0", 6))
        return QByteArray();
    return field(prefixOffset, prefixWidth);
}

TarRecord::ChecksumState TarRecord::checksumState() const
{
    // The reader's rule: non-octal bytes are blanks, the rest one run of digits.
    const QByteArray stored = bytes.mid(checksumOffset, checksumWidth);
    QByteArray digits;
    for (const char c : stored)
        digits += (c >= '0' && c <= '7') ? c : ' ';
    digits = digits.trimmed();
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok, 8);
    if (!ok || digits.contains(' '))
        return ChecksumUnreadable;

    qint64 unsignedSum = 0;
    qint64 signedSum = 0;
    for (int i = 0; i < size; ++i) {
        const bool inField = i >= checksumOffset && i < checksumOffset + checksumWidth;
        const char c = inField ? ' ' : bytes.at(i);
        unsignedSum += static_cast<unsigned char>(c);
        signedSum += static_cast<signed char>(c);
    }
    if (value == unsignedSum)
        return ChecksumValid;
    return value == signedSum ? ChecksumSigned : ChecksumWrong;
}
