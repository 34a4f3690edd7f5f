#ifndef PACKAGEBUILDER_H
#define PACKAGEBUILDER_H

#include "sourcetree.h"

#include <QList>
#include <QString>

class QSaveFile;
struct z_stream_s;

// Writes a package from a listed source tree: ustar headers with fixed owners, modes and times,
// each file's data padded to whole records, two end records, compressed as one gzip or zlib
// stream. The package appears under its name only when complete.
class PackageBuilder
{
public:
    enum Compression { Gzip, Zlib };

    PackageBuilder(const QString &output, Compression compression);

    [[nodiscard]] bool build(const QList<SourceEntry> &entries);
    QString errorString() const { return error; }

private:
    bool writeEntry(z_stream_s &stream, QSaveFile &out, const SourceEntry &entry);
    bool deflateBytes(z_stream_s &stream, QSaveFile &out, const QByteArray &bytes, bool finish);
    bool fail(const QString &message);

    const QString output;
    const Compression compression;
    QString error;
};

#endif // PACKAGEBUILDER_H
