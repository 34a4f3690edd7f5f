#ifndef TINYTARUNPACKER_P_H
#define TINYTARUNPACKER_P_H

#include "entryname.h"

#include <QCoreApplication>
#include <QDir>
#include <QString>

#include <optional>

class TarStream;
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
    bool unpackEntries(TarStream &tar);
    bool isContained(const TinyTarHeader &header);
    bool unpackDirectory(const QString &targetPath, const QString &backupPath);
    bool unpackFile(TarStream &tar, const TinyTarHeader &header, const QString &targetPath,
        const QString &backupPath);
    void moveToBackup(const QString &targetPath, const QString &backupPath);

    bool backupsOn = false;
    QDir targetDir;
    QDir backupDir;
    std::optional<TreeBoundary> targetBoundary;
    std::optional<TreeBoundary> backupBoundary;
};

#endif // TINYTARUNPACKER_P_H
