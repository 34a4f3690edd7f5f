#include "tarwalker.h"

#include <algorithm>

QByteArray TarWalker::Entry::recordBytes() const
{
    return QByteArray::fromRawData(record, TinyTarHeader::recordSize);
}

QByteArray TarWalker::Entry::dataBytes() const
{
    return QByteArray::fromRawData(data, int(dataSize));
}

TarWalker::TarWalker(const QByteArray &tar) : tar(tar)
{
    if (tar.isEmpty())
        state = Empty;
}

quint64 TarWalker::dataRecordsSize(const TinyTarHeader &header)
{
    if (header.isDirectory())
        return 0;
    const quint64 record = TinyTarHeader::recordSize;
    return (header.size() + record - 1) / record * record;
}

bool TarWalker::finish(Outcome outcome)
{
    state = outcome;
    return false;
}

bool TarWalker::readHeader(TinyTarHeader *header)
{
    const int size = int(std::min<qint64>(TinyTarHeader::recordSize, tar.size() - at));
    const char *record = tar.constData() + at;
    at += size;
    return header->read(record, size);
}

bool TarWalker::next(Entry *entry)
{
    if (state != Reading)
        return false;
    // Checked after every entry: a stream without end records is never complete.
    if (at >= tar.size())
        return finish(NoEndRecords);

    const qint64 start = at;
    TinyTarHeader header;
    if (!readHeader(&header)) {
        failedAt = start;
        return finish(BadHeader);
    }
    if (header.isEnd()) {
        // Complete only with a second end record right after the first; what follows it (the
        // zero records tar programs fill the last block with) is never read.
        if (!readHeader(&header))
            return finish(OneEndRecord);
        return finish(header.isEnd() ? Complete : HeaderAfterEnd);
    }

    entry->index = ++entries;
    entry->offset = start;
    entry->header = header;
    entry->record = tar.constData() + start;
    entry->data = tar.constData() + at;
    entry->dataSize = 0;
    // A directory has no data records whatever its size field says.
    if (header.isDirectory() || header.size() == 0)
        return true;

    // Data fills whole records, the last one partly; a stream that ends inside them gives only
    // what it holds, so a forged size costs nothing.
    const qint64 left = tar.size() - at;
    if (header.size() >= quint64(left)) {
        entry->dataSize = left;
        at = tar.size();
        return true;
    }
    entry->dataSize = qint64(header.size());
    at += std::min(qint64(dataRecordsSize(header)), left);
    return true;
}
