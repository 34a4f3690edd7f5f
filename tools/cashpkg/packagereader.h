#ifndef PACKAGEREADER_H
#define PACKAGEREADER_H

#include "finding.h"
#include "update/tarwalker.h"

#include <QList>
#include <QString>

// Reads a whole package the way the installer reads it (inflateArchive, then TarWalker) and
// keeps every entry it could read, with the reason it stopped where it stopped.
class PackageReader
{
public:
    // False only when the file cannot be opened (see errorString()); a package that cannot be
    // decompressed or walked to its end is read as far as it goes, see problems().
    [[nodiscard]] bool read(const QString &path);
    QString errorString() const { return openError; }

    QString compression() const { return wrapper; } // "gzip", "zlib", or empty: neither
    qint64 packageSize() const { return compressedSize; }
    qint64 tarSize() const { return inflatedSize; }
    QList<TarWalker::Entry> entries() const { return readEntries; }
    TarWalker::Outcome outcome() const { return readOutcome; }
    // True when decompression gave nothing: not one entry can be known.
    bool isUnreadable() const { return readOutcome == TarWalker::Empty; }

    // Why the installer would not accept the package as a whole: errors for every outcome but
    // Complete, naming the entry where reading stopped.
    Findings problems() const;

private:
    QString describeEmpty() const;
    QString describeBadHeader() const;

    QString openError;
    QString wrapper;
    qint64 compressedSize = 0;
    qint64 inflatedSize = 0;
    QByteArray tar; // what the entries point into
    QList<TarWalker::Entry> readEntries;
    TarWalker::Outcome readOutcome = TarWalker::Empty;
    QByteArray badRecord;
    bool plainTar = false;
};

#endif // PACKAGEREADER_H
