#ifndef TINYTARUNPACKER_H
#define TINYTARUNPACKER_H

#include <QString>

#include <memory>

class TinyTarUnpackerPrivate;

// Installs an update package (a zlib- or gzip-compressed tar stream) over a target directory.
// Every file it replaces is first moved into a backup tree that mirrors the target tree, unless
// the backup directory is empty. Progress and failures go to the log.
class TinyTarUnpacker
{
public:
    // Stores the paths; touches nothing on disk.
    TinyTarUnpacker(const QString &source, const QString &target, const QString &backup);
    ~TinyTarUnpacker();

    TinyTarUnpacker(const TinyTarUnpacker &) = delete;
    TinyTarUnpacker &operator=(const TinyTarUnpacker &) = delete;

    // True when the whole package, up to its two end records, was installed. On false the
    // installation stopped at the first fatal problem; what was installed before stays.
    [[nodiscard]] bool unpack();

private:
    const std::unique_ptr<TinyTarUnpackerPrivate> d;
};

// Brings back the tree of an installation into target that a kill or a power cut interrupted,
// from the journal it left beside backup (without backups, beside target), or finishes one that
// was complete, and logs what it did. True when there was nothing to do or it is done; false when
// the tree could not be brought back, and the journal stays for the next try.
[[nodiscard]] bool recoverInstallation(const QString &target, const QString &backup);

#endif // TINYTARUNPACKER_H
