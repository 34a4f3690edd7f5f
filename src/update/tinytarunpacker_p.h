#ifndef TINYTARUNPACKER_P_H
#define TINYTARUNPACKER_P_H

#include "entryname.h"
#include "flushlist.h"
#include "tarwalker.h"

#include <QCoreApplication>
#include <QDir>
#include <QSet>
#include <QString>

#include <optional>

class TinyTarHeader;

class TinyTarUnpackerPrivate
{
    Q_DECLARE_TR_FUNCTIONS(TinyTarUnpackerPrivate)

public:
    TinyTarUnpackerPrivate(const QString &source, const QString &target, const QString &backup);

    bool unpack();

    const QString source;
    const QString target;
    const QString backup; // empty: no backups

private:
    bool install();
    bool unpackEntries(TarWalker &tar);
    bool isContained(const TinyTarHeader &header);
    bool unpackDirectory(const QString &targetPath, const QString &backupPath);
    bool unpackFile(
        const TarWalker::Entry &entry, const QString &targetPath, const QString &backupPath);
    void moveToBackup(const QString &targetPath, const QString &backupPath);
    void addCreatedPath(const QString &path, const QDir &root);
    void flushWritten();

    bool backupsOn = false;
    // Keys (filePathKey of the entry name) of the files this installation has written so far.
    QSet<QString> writtenFiles;
    QDir targetDir;
    QDir backupDir;
    FlushList toFlush; // what must reach the disk before the program restarts into it
    std::optional<TreeBoundary> targetBoundary;
    std::optional<TreeBoundary> backupBoundary;
};

#endif // TINYTARUNPACKER_P_H
