#ifndef PACKAGESTAGER_H
#define PACKAGESTAGER_H

#include "confinedtree.h"
#include "inflatearchive.h"
#include "tinytarheader.h"
#include "stagingarea.h"

#include <QByteArray>
#include <QHash>

// Decompresses a package on a second thread while this one walks the tar stream as far as it is
// made and writes each file entry whose data is there into the staging area, so that decoding and
// writing take the two cores side by side. What it stages is only what the installer would
// write: each file with the permissions the installer gives it (those of the file it replaces,
// else the execute bits of its header), and no more bytes than fit the free space with the
// installer's margin. It stops staging, and only decompresses, at the first record that is no
// header, at the end records, when the space is used up or a write fails; the package's verdict
// is left to PackageVerifier, which judges the result exactly as it judges inflateArchive's.
class PackageStager
{
public:
    // availableSpace: what the target's file system has free; negative when unknown.
    PackageStager(StagingArea &staging, ConfinedTree &target, qint64 availableSpace);

    // The same as inflateArchive(package, end). The data of the entries staged is no longer in the
    // result (its memory is given back as soon as it is written); their headers are.
    QByteArray inflate(const QByteArray &package, InflateEnd *end);

    // Whether the file entry at offset (of its header in the tar stream) was staged whole, with
    // size bytes.
    bool isStaged(qint64 offset, qint64 size) const { return staged.value(offset, -1) == size; }

private:
    class Progress;

    void stage(Progress &progress);
    bool stageFile(Progress &progress, qint64 offset, const TinyTarHeader &header);

    StagingArea &staging;
    ConfinedTree &target;
    const qint64 available;
    QHash<qint64, qint64> staged; // offset of the header -> data bytes
    QHash<QString, QPair<int, int>> permissionsByName; // filePathKey -> permissions, extra bits
};

#endif // PACKAGESTAGER_H
