#ifndef TARBUILDER_H
#define TARBUILDER_H

#include <QByteArray>

// Builds tar streams record by record for tests, with valid ustar headers unless a test breaks
// them on purpose.
class TarBuilder
{
public:
    static constexpr int recordSize = 512;
    enum Field {
        Name = 0,
        Mode = 100,
        Size = 124,
        Mtime = 136,
        Checksum = 148,
        Type = 156,
        LinkName = 157,
        Magic = 257,
        Prefix = 345
    };

    // A header record with octal fields, the ustar magic and a correct checksum.
    static QByteArray header(const QByteArray &name, quint64 size, char type = '0');
    // Overwrites bytes of a record from a field's offset, then stores a fresh checksum.
    static void setField(QByteArray &record, Field field, const QByteArray &bytes);
    // Stores the checksum as the sum of the record's bytes taken unsigned, or taken as signed
    // chars as some old tar programs did.
    static void storeChecksum(QByteArray &record, bool signedBytes = false);

    TarBuilder &file(const QByteArray &name, const QByteArray &data, char type = '0');
    TarBuilder &directory(const QByteArray &name);
    // A header followed by data padded to whole records.
    TarBuilder &entry(const QByteArray &header, const QByteArray &data = QByteArray());
    TarBuilder &end(int records = 2);

    QByteArray tar() const { return stream; }

private:
    QByteArray stream;
};

// Deterministic filler of any length that is unlikely to line up with record boundaries; another
// (non-zero) seed gives other bytes.
QByteArray patternData(int size, quint32 seed = 2463534242u);
QByteArray zlibCompressed(const QByteArray &data);
// tinyBlocksFrom >= 0: from that offset on, the data is flushed every 64 bytes, which makes
// thousands of tiny blocks (more than the fast inflate takes on).
QByteArray gzipCompressed(const QByteArray &data, int level = 6, int tinyBlocksFrom = -1);
// A zlib stream of head and then chunks times 16 MiB of zeros, without an end: readers must give
// up before it. Built from one flushed piece repeated, since compressing gigabytes takes long.
QByteArray zeroBomb(int chunks, const QByteArray &head = QByteArray());

#endif // TARBUILDER_H
