// Tar headers: the input is an uncompressed tar stream, walked as the installer walks it (header,
// the entry's data records, next header) until a read fails or two end records follow each other.
#include "fuzzsupport.h"
#include "update/tinytarheader.h"

#include <QDataStream>
#include <QIODevice>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray tar = fuzzBytes(data, size);
    QDataStream in(tar);
    TinyTarHeader header;
    qint64 position = 0;
    bool afterEnd = false;
    forever {
        const bool valid = header.read(in);
        const qint64 left = tar.size() - position;
        // A header read takes exactly one record when one is there, and what is left otherwise.
        position += qMin<qint64>(left, TinyTarHeader::recordSize);
        if (in.device()->pos() != position)
            fuzzFailure("a header read took other than one record");
        if (valid && left < TinyTarHeader::recordSize)
            fuzzFailure("a short record was accepted");
        if (!valid || (afterEnd && header.isEnd()))
            break;
        afterEnd = header.isEnd();
        if (afterEnd)
            continue;
        if (header.name().size() > 100)
            fuzzFailure("a name longer than its field");
        if (header.isDirectory() || header.size() == 0)
            continue;
        // Data records: whole records, as many as the size needs, never past the stream.
        const quint64 records =
            (header.size() + TinyTarHeader::recordSize - 1) / TinyTarHeader::recordSize;
        const qint64 wanted =
            qint64(qMin<quint64>(records, quint64(tar.size())) * TinyTarHeader::recordSize);
        const int skipped = in.skipRawData(int(qMin<qint64>(wanted, tar.size() - position)));
        if (skipped < 0)
            fuzzFailure("skipping data records failed");
        position += skipped;
        if (in.atEnd())
            break;
    }
    return 0;
}
