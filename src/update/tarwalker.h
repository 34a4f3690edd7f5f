#ifndef TARWALKER_H
#define TARWALKER_H

#include "tinytarheader.h"

#include <QByteArray>
#include <QString>

// Walks an uncompressed tar stream held in memory entry by entry: each header with the range of
// its data records, and at the end how the stream ended. This is the one place that knows how
// entries follow each other and when a stream is complete; the installer, the package tools and
// the fuzz targets all read packages through it. Nothing is copied: entries point into the stream.
class TarWalker
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
        TinyTarHeader header;
        const char *record = nullptr; // the raw 512-byte header record
        const char *data = nullptr; // where the entry's data begins
        qint64 dataSize = 0; // data bytes the stream holds: fewer than the size when it ends early

        QString name() const { return header.name(); }
        bool isDirectory() const { return header.isDirectory(); }
        // The stream ends inside this file's data.
        bool isCutShort() const { return !isDirectory() && quint64(dataSize) < header.size(); }
        // Views into the stream, valid as long as it is.
        QByteArray recordBytes() const;
        QByteArray dataBytes() const;
    };

    explicit TarWalker(const QByteArray &tar);

    TarWalker(const TarWalker &) = delete;
    TarWalker &operator=(const TarWalker &) = delete;

    // Reads the next entry into *entry. False at the end of the stream or at the first problem;
    // outcome() then tells which. The entry that leaves the stream at its end is still returned,
    // with the data the stream holds: whether the stream is complete shows only afterwards.
    [[nodiscard]] bool next(Entry *entry);

    // The bytes of the data records that follow a header in a complete stream: whole records, none
    // for a directory whatever its size field says.
    static quint64 dataRecordsSize(const TinyTarHeader &header);

    Outcome outcome() const { return state; }
    // The record that made the stream BadHeader (shorter than 512 bytes where the stream ends).
    QByteArray badRecord() const { return tar.mid(int(failedAt), TinyTarHeader::recordSize); }
    qint64 badRecordOffset() const { return failedAt; }
    // Where the first unread record begins: after the end records once the stream is Complete.
    qint64 position() const { return at; }

private:
    bool finish(Outcome outcome);
    bool readHeader(TinyTarHeader *header);

    const QByteArray tar; // shared with the caller's copy, never changed
    qint64 at = 0;
    qint64 failedAt = 0;
    int entries = 0;
    Outcome state = Reading;
};

#endif // TARWALKER_H
