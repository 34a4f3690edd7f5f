#ifndef PACKAGEVERIFIER_H
#define PACKAGEVERIFIER_H

#include "inflatearchive.h"
#include "packagebytes.h"
#include "tarwalker.h"

#include <QCoreApplication>

class ConfinedTree;
#include <QList>
#include <QString>

// What the installer checks before its first write, and so what cashpkg check reports as its
// verdict: the compressed stream ends where it should and its check value matches, the tar stream
// walks to its two end records, and every entry's name is acceptable. Against a target directory
// also: no entry's path passes through a link (a link may only stand where a file is to be put),
// none names the installation's journal, and the new files fit the free space with a margin.
class PackageVerifier
{
    Q_DECLARE_TR_FUNCTIONS(PackageVerifier)

public:
    enum Problem {
        NoProblem,
        NotCompressed, // no gzip or zlib stream, or a corrupt one
        StreamCutShort, // the compressed stream ends early (also: no gzip trailer)
        TooLarge, // it inflates beyond maxInflatedArchiveSize
        EmptyArchive,
        BadHeader,
        EntryCutShort, // the tar stream ends inside a file's data
        NoEndRecords,
        OneEndRecord, // a single end record, at the end or followed by a header
        RefusedName,
        NoSpace,
    };

    // target empty: the package alone is checked. backup empty: no backups.
    PackageVerifier(const QString &target, const QString &backup);

    [[nodiscard]] bool verify(const QByteArray &package);
    // The same for a package already decompressed: tar and end as inflateArchive gave them.
    [[nodiscard]] bool verifyInflated(const QByteArray &tar, InflateEnd end);
    // The free space to judge by instead of what the file systems have now (measured before the
    // installer staged files there); negative: unknown.
    void assumeAvailableSpace(qint64 target, qint64 backup);

    // What a file of size bytes takes on a disk at most, and whether what the files need fits
    // the available space (negative: unknown) with the margin.
    static qint64 diskCost(qint64 size);
    static bool fitsWithMargin(qint64 needed, qint64 available);

    Problem problem() const { return found; }
    InflateEnd inflateEnd() const { return end; }
    QByteArray tar() const { return archive; }
    // Every entry the walk reached: all of them when the tar stream is complete.
    QList<TarWalker::Entry> entries() const { return list; }
    TarWalker::Outcome outcome() const { return walked; }
    QByteArray badRecord() const { return failedRecord; }
    // The entry refused (RefusedName) or cut short (EntryCutShort), 1 for the first.
    int problemEntry() const { return entryIndex; }
    // NoSpace: the directory whose file system is short of room, what it has and what it needs.
    QString spaceRoot() const { return shortRoot; }
    qint64 spaceAvailable() const { return freeBytes; }
    qint64 spaceNeeded() const { return neededBytes; }

    // The installer's log line for the problem found in the package file source.
    QString message(const QString &source) const;
    // Its line for a package file that could not be read whole.
    static QString unreadableMessage(
        const QString &source, PackageBytes::Result result, qint64 size);

private:
    bool fail(Problem problem, int index = 0);
    bool verifyTree();
    qint64 availableSpace(ConfinedTree &tree, bool isBackup) const;

    const QString target;
    const QString backup;
    Problem found = NoProblem;
    InflateEnd end = InflateEnd::Failed;
    QByteArray archive;
    QList<TarWalker::Entry> list;
    TarWalker::Outcome walked = TarWalker::Empty;
    QByteArray failedRecord;
    qint64 failedOffset = 0;
    int entryIndex = 0;
    QString shortRoot;
    qint64 neededBytes = 0;
    qint64 freeBytes = 0;
    bool spaceAssumed = false;
    qint64 assumedTargetSpace = -1;
    qint64 assumedBackupSpace = -1;
};

#endif // PACKAGEVERIFIER_H
