#ifndef PACKAGEBYTES_H
#define PACKAGEBYTES_H

#include "inflatearchive.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Reads an update package file whole into memory. Everything after this works on those bytes
// alone, so that what is checked is what gets installed, even when someone changes the file in
// between. A file larger than maxSize is refused before anything is allocated for it.
class PackageBytes
{
public:
    // The same limit as for its uncompressed content.
    static constexpr qint64 maxSize = maxInflatedArchiveSize;

    enum Result {
        Read,
        CannotOpen, // see error() and errorString()
        TooLarge, // larger than maxSize; see fileSize()
        OutOfMemory, // no room for its bytes
    };

    [[nodiscard]] Result read(const QString &path);

    QByteArray bytes() const { return data; }
    // The size the file had (at least maxSize + 1 for one that is too large to be read whole).
    qint64 fileSize() const { return size; }
    QFile::FileError error() const { return fileError; }
    QString errorString() const { return fileErrorString; }

private:
    QByteArray data;
    qint64 size = 0;
    QFile::FileError fileError = QFile::NoError;
    QString fileErrorString;
};

#endif // PACKAGEBYTES_H
