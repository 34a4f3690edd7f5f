// Tar headers: the input is an uncompressed tar stream, walked with the installer's walker. Each
// entry must begin where the one before it ended, its data must lie inside the stream, and the
// outcome must be what the records after the last entry say.
#include "fuzzsupport.h"
#include "update/tarwalker.h"

#include <algorithm>

namespace {

constexpr qint64 recordSize = TinyTarHeader::recordSize;

bool isZeroRecord(const QByteArray &tar, qint64 offset)
{
    if (offset + recordSize > tar.size())
        return false;
    const char *record = tar.constData() + offset;
    return std::all_of(record, record + recordSize, [](char c) { return c == 0; });
}

bool isHeader(const QByteArray &tar, qint64 offset)
{
    TinyTarHeader header;
    const int size = int(std::max<qint64>(0, std::min(recordSize, tar.size() - offset)));
    return header.read(tar.constData() + offset, size) && !header.isEnd();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray tar = fuzzBytes(data, size);
    TarWalker walker(tar);
    TarWalker::Entry entry;
    qint64 next = 0; // where the next header must begin
    while (walker.next(&entry)) {
        if (entry.offset != next || entry.record != tar.constData() + next)
            fuzzFailure("an entry does not begin where the one before it ended");
        if (entry.name().size() > 100)
            fuzzFailure("a name longer than its field");
        const qint64 dataStart = next + recordSize;
        if (entry.data != tar.constData() + dataStart || entry.dataSize < 0
            || dataStart + entry.dataSize > tar.size()) {
            fuzzFailure("the data lies outside the stream");
        }
        if ((entry.isDirectory() || entry.header.size() == 0) && entry.dataSize != 0)
            fuzzFailure("a directory or an empty file has data");
        if (entry.isCutShort() && dataStart + entry.dataSize != tar.size())
            fuzzFailure("data cut short before the end of the stream");
        const qint64 padded = (entry.dataSize + recordSize - 1) / recordSize * recordSize;
        next = std::min<qint64>(dataStart + padded, tar.size());
    }

    switch (walker.outcome()) {
    case TarWalker::Reading:
        fuzzFailure("the walk stopped while reading");
    case TarWalker::Empty:
        if (!tar.isEmpty())
            fuzzFailure("a stream with bytes taken for empty");
        break;
    case TarWalker::NoEndRecords:
        if (next < tar.size())
            fuzzFailure("the stream was taken for ended before its end");
        break;
    case TarWalker::BadHeader:
        if (isZeroRecord(tar, next) || isHeader(tar, next))
            fuzzFailure("a good record was taken for a bad header");
        break;
    case TarWalker::Complete:
        if (!isZeroRecord(tar, next) || !isZeroRecord(tar, next + recordSize))
            fuzzFailure("a stream without two end records was taken for complete");
        if (walker.position() != next + 2 * recordSize)
            fuzzFailure("reading went on after the second end record");
        break;
    case TarWalker::OneEndRecord:
    case TarWalker::HeaderAfterEnd:
        if (!isZeroRecord(tar, next) || isZeroRecord(tar, next + recordSize))
            fuzzFailure("a stream with two end records or none was taken for one");
        if ((walker.outcome() == TarWalker::HeaderAfterEnd) != isHeader(tar, next + recordSize))
            fuzzFailure("what follows a single end record was misread");
        break;
    }
    return 0;
}
