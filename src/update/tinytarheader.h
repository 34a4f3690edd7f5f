#ifndef TINYTARHEADER_H
#define TINYTARHEADER_H

#include <QString>
#include <QtGlobal>

class QDataStream;

// One 512-byte header record of a tar stream (old Unix and ustar layouts). Only the name, size,
// checksum and directory flag are taken; the prefix field is ignored and the ustar magic is not
// required. Every type other than a directory stands for a regular file of `size` data bytes.
class TinyTarHeader
{
public:
    static constexpr int recordSize = 512;

    // Reads the next record. True for a valid header or an end record (all zero bytes, see
    // isEnd()); false for a short record, a failed stream, an unparsable octal field or a wrong
    // checksum, after which the fields are meaningless.
    [[nodiscard]] bool read(QDataStream &in);
    // The same for a record already in memory, size bytes long.
    [[nodiscard]] bool read(const char *record, int size);

    QString name() const { return entryName; }
    quint64 size() const { return entrySize; }
    quint32 checksum() const { return storedChecksum; }
    // The permission bits of the mode field when it holds an octal number, else 0. The field
    // never makes a header invalid.
    quint32 mode() const { return entryMode; }
    bool isDirectory() const { return directory; }
    bool isEnd() const { return end; }

private:
    void reset();
    bool parse(const char *record);

    QString entryName;
    quint64 entrySize = 0;
    quint32 storedChecksum = 0;
    quint32 entryMode = 0;
    bool directory = false;
    bool end = false;
};

#endif // TINYTARHEADER_H
