#include "tinytarheader.h"

#include "tarlayout.h"

#include <QDataStream>
#include <QTextCodec>

#include <algorithm>
#include <limits>

namespace {

using namespace TarLayout;
constexpr char directoryType = '5';

bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}

// Any byte that is not an octal digit counts as a blank; what remains after trimming the blanks
// must be one unbroken run of digits that fits into maxValue.
bool parseOctal(const char *field, int width, quint64 maxValue, quint64 *value)
{
    const char *begin = field;
    const char *end = field + width;
    while (begin != end && !isOctalDigit(*begin))
        ++begin;
    while (end != begin && !isOctalDigit(*(end - 1)))
        --end;
    if (begin == end)
        return false;

    quint64 result = 0;
    for (const char *p = begin; p != end; ++p) {
        if (!isOctalDigit(*p) || result > (maxValue >> 3))
            return false;
        result = (result << 3) | quint64(*p - '0');
        if (result > maxValue)
            return false;
    }
    *value = result;
    return true;
}

// The sum of all bytes taken unsigned, with the checksum field itself counted as blanks. Summed
// whole and corrected afterwards: a loop without a condition inside is several times faster.
quint32 unsignedChecksum(const unsigned char *record)
{
    quint32 sum = 0;
    for (int i = 0; i < TinyTarHeader::recordSize; ++i)
        sum += record[i];
    for (int i = checksumOffset; i < checksumOffset + checksumWidth; ++i)
        sum = sum - record[i] + quint32(' ');
    return sum;
}

bool isZeroRecord(const char *record)
{
    return std::all_of(record, record + TinyTarHeader::recordSize, [](char c) { return c == 0; });
}

} // namespace

void TinyTarHeader::reset()
{
    entryName.clear();
    entrySize = 0;
    storedChecksum = 0;
    entryMode = 0;
    directory = false;
    end = false;
}

bool TinyTarHeader::read(QDataStream &in)
{
    reset();

    char record[recordSize];
    if (in.readRawData(record, recordSize) != recordSize)
        return false;
    if (isZeroRecord(record)) {
        end = true;
        return true;
    }
    if (in.status() != QDataStream::Ok)
        return false;
    return parse(record);
}

bool TinyTarHeader::read(const char *record, int size)
{
    reset();

    if (size != recordSize)
        return false;
    if (isZeroRecord(record)) {
        end = true;
        return true;
    }
    return parse(record);
}

bool TinyTarHeader::parse(const char *record)
{
    const char *nameField = record + nameOffset;
    const int nameLength = int(std::find(nameField, nameField + nameWidth, '\0') - nameField);
    // Looked up once: a codec lookup by name costs more than the rest of the header.
    static QTextCodec *const utf8 = QTextCodec::codecForName("UTF-8");
    entryName = utf8->toUnicode(nameField, nameLength);

    quint64 mtime = 0;
    quint64 checksum = 0;
    if (!parseOctal(record + sizeOffset, sizeWidth, std::numeric_limits<quint64>::max(), &entrySize)
        || !parseOctal(
            record + mtimeOffset, mtimeWidth, std::numeric_limits<quint64>::max(), &mtime)
        || !parseOctal(record + checksumOffset, checksumWidth, std::numeric_limits<quint32>::max(),
            &checksum)) {
        return false;
    }
    storedChecksum = quint32(checksum);
    quint64 mode = 0;
    if (parseOctal(record + modeOffset, modeWidth, 07777, &mode))
        entryMode = quint32(mode) & 0777;
    directory = record[typeFlagOffset] == directoryType;

    return unsignedChecksum(reinterpret_cast<const unsigned char *>(record)) == storedChecksum;
}
