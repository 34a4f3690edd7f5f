#ifndef TINYTARREADER_H
#define TINYTARREADER_H

#include <QByteArray>
#include <QDataStream>
#include <QString>

// Walks an uncompressed tar stream entry by entry exactly as TinyTarUnpacker reads it, without
// touching the disk: the same header reader, the same data records, the same end rules. Tools use
// it to tell what an installation would do with a package.
class TinyTarReader
{
public:
    enum Outcome {
        Reading, // not at the end yet
        Complete, // two end records: the stream the installer accepts
        Empty, // nothing to read (the package did not decompress, or decompressed to nothing)
        BadHeader, // a record that is neither a header nor an end record: see badRecord()
        NoEndRecords, // the stream ends after an entry or inside its data
        OneEndRecord, // a single end record, then the stream ends or holds no valid header
        HeaderAfterEnd, // a single end record followed by a header
    };

    struct Entry
    {
        int index = 0; // 1 for the first entry
        qint64 offset = 0; // of the header record in the stream
        QByteArray record; // the raw 512-byte header record
        QString name;
        quint64 size = 0;
        bool isDirectory = false;
        QByteArray data; // the data bytes the stream holds: fewer than size when it ends early
    };

    explicit TinyTarReader(const QByteArray &tar);

    TinyTarReader(const TinyTarReader &) = delete;
    TinyTarReader &operator=(const TinyTarReader &) = delete;

    // Reads the next entry into *entry. False at the end of the stream or at the first problem;
    // outcome() then tells which. The entry that leaves the stream at its end is still returned:
    // the installer installs it before it fails.
    [[nodiscard]] bool next(Entry *entry);

    Outcome outcome() const { return state; }
    // The record that made the stream BadHeader (it may be shorter than 512 bytes at the end).
    QByteArray badRecord() const { return failedRecord; }

private:
    bool finish(Outcome outcome);

    const QByteArray tar;
    QDataStream in;
    int entries = 0;
    Outcome state = Reading;
    QByteArray failedRecord;
};

#endif // TINYTARREADER_H
