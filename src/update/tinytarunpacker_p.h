#ifndef TINYTARUNPACKER_P_H
#define TINYTARUNPACKER_P_H

#include "confinedtree.h"
#include "flushlist.h"
#include "installjournal.h"
#include "packagestager.h"
#include "packageverifier.h"
#include "stagingarea.h"
#include "tarwalker.h"

#include <QCoreApplication>
#include <QDir>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

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
    // What one entry of a group does, fixed (and journaled) before the group begins.
    struct Step
    {
        InstallJournal::FileMode mode = InstallJournal::NewFile;
        bool makeTwin = false; // a directory that existed gets its twin in the backup tree
    };

    // How a new file, written under its temporary name, takes its real one.
    struct Placement
    {
        QString name;
        enum How {
            Take, // the name is free
            Replace, // the old version, kept elsewhere too, is replaced in one step
            MoveFirst, // the old version is renamed to keptAs in keptIn just before
        } how = Take;
        ConfinedTree *keptIn = nullptr;
        QString keptAs;
    };

    bool unpackPackage();
    bool verifyWhileStaging(const QByteArray &package, PackageVerifier *verifier);
    bool install(const QList<TarWalker::Entry> &entries);
    QList<Step> plan(const QList<TarWalker::Entry> &group);
    bool installGroup(const QList<TarWalker::Entry> &group);
    bool unpackDirectory(const TarWalker::Entry &entry, const Step &step);
    bool unpackFile(const TarWalker::Entry &entry, const Step &step);
    ConfinedTree::Error writeNewFile(const TarWalker::Entry &entry, const QString &fresh,
        int permissions, int extraPermissions, bool *writing);
    bool backUp(const QString &name, const QString &targetPath,
        const ConfinedTree::Status &previous, Placement *placement, bool *kept);
    bool keep(const QString &name, const ConfinedTree::Status &previous, ConfinedTree &tree,
        const QString &keptAs, Placement *placement);
    bool copy(const QString &name, const ConfinedTree::Status &previous, ConfinedTree &tree,
        const QString &keptAs);
    bool putInPlace();
    bool refuse(const TarWalker::Entry &entry);
    void closeDirectories();
    bool abandon();
    void addCreatedPath(const QString &path, const QDir &root);
    void flushWritten();

    bool backupsOn = false;
    QDir targetDir;
    QDir backupDir;
    std::optional<ConfinedTree> targetTree;
    std::optional<ConfinedTree> backupTree;
    InstallJournal journal;
    StagingArea staging;
    std::optional<PackageStager> stager; // when files were staged
    // Keys (filePathKey of the entry name) of the files this installation has written so far.
    QSet<QString> writtenFiles;
    QList<Placement> written; // this group's new files, to be put in place
    ConfinedTree::Error keepError; // why keep() failed
    FlushList toFlush; // what must reach the disk before the next step relies on it
    bool flushFailed = false;
};

#endif // TINYTARUNPACKER_P_H
