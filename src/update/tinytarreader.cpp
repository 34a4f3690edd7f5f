#include "tinytarreader.h"

#include "tinytarheader.h"

#include <QIODevice>

TinyTarReader::TinyTarReader(const QByteArray &tar) : tar(tar), in(this->tar)
{
    if (tar.isEmpty())
        state = Empty;
}

bool TinyTarReader::finish(Outcome outcome)
{
    state = outcome;
    return false;
}

bool TinyTarReader::next(Entry *entry)
{
    if (state != Reading)
        return false;
    // The installer tests this after every entry: a stream without end records never succeeds.
    if (in.atEnd())
        return finish(NoEndRecords);

    const qint64 start = in.device()->pos();
    TinyTarHeader header;
    if (!header.read(in)) {
        failedRecord = tar.mid(int(start), TinyTarHeader::recordSize);
        return finish(BadHeader);
    }
    if (header.isEnd()) {
        // Complete only with a second end record right after the first.
        if (!header.read(in))
            return finish(OneEndRecord);
        return finish(header.isEnd() ? Complete : HeaderAfterEnd);
    }

    entry->index = ++entries;
    entry->offset = start;
    entry->record = tar.mid(int(start), TinyTarHeader::recordSize);
    entry->name = header.name();
    entry->size = header.size();
    entry->isDirectory = header.isDirectory();
    entry->data.clear();
    if (entry->isDirectory || entry->size == 0)
        return true;

    // Data fills whole records, the last one partly; a stream that ends inside them gives only
    // what it holds, so a forged size costs nothing.
    const qint64 position = in.device()->pos();
    const quint64 available = quint64(tar.size() - position);
    const quint64 wanted = qMin(entry->size, available);
    entry->data = tar.mid(int(position), int(wanted));
    const quint64 records =
        wanted / TinyTarHeader::recordSize + (wanted % TinyTarHeader::recordSize != 0 ? 1 : 0);
    const quint64 skip = qMin(records * TinyTarHeader::recordSize, available);
    if (in.skipRawData(int(skip)) != int(skip))
        return finish(NoEndRecords);
    return true;
}
