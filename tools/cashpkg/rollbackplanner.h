#ifndef ROLLBACKPLANNER_H
#define ROLLBACKPLANNER_H

#include "update/confinedtree.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class PackageReader;

struct RollbackStep
{
    enum Action {
        Restore, // copy the backup (a file or a link) over what stands there
        Remove, // the file was new in the package and still holds its bytes
        MoveAside, // the file was new in the package but changed since: it keeps another name
        RemoveDirectory, // the package created it and it will be empty
        Leave, // nothing to do, or nothing that can safely be done
    };

    Action action = Leave;
    QString name; // as the package names it
    QString targetPath;
    QString backupPath;
    // Restore: where what stands there goes first, because it holds neither the package's bytes
    // nor the backup's (changes made since are never deleted); MoveAside: the new name.
    QString aside;
    QString reason; // for people
    bool unrestored = false; // Leave: the tree stays short of its state before the installation
};

// Works out how to bring a tree back to its state before an installation of a package, from its
// backup tree: every file with a backup comes back, whatever it holds now (a link as a link);
// files the package brought new go; directories it created go once empty. Whatever holds neither
// the package's bytes nor the backup's is moved aside under a clear name, never deleted. Nothing
// is ever done through a link.
class RollbackPlanner
{
public:
    RollbackPlanner(const QString &target, const QString &backup);

    // False when nothing may be changed (see errorString()): the package cannot be read or is not
    // one the installer accepts, or the target or the backup tree is missing.
    [[nodiscard]] bool plan(const PackageReader &reader);
    QString errorString() const { return error; }

    QList<RollbackStep> steps() const { return planned; }

    // The name a file is moved aside to: name.before-rollback, numbered when that is taken.
    static QString asideName(ConfinedTree &tree, const QString &name);

private:
    struct FileEntry
    {
        int index; // of its first copy
        QString name;
        QByteArray data; // of the last copy: what the installation left
        QList<QByteArray> earlier; // of earlier copies of the same name
    };

    void planFile(const FileEntry &file);
    void planDirectory(const QString &name);
    bool wasNew(const FileEntry &file, const QString &backupPath) const;
    bool holdsPackageCopy(const FileEntry &file);
    bool matchesBackup(const QString &name, ConfinedTree::Kind kind);
    bool willBeEmpty(const QString &path) const;
    RollbackStep leave(const QString &name, const QString &reason, bool unrestored) const;

    const QString target;
    const QString backup;
    QDir targetDir;
    QDir backupDir;
    ConfinedTree targetTree;
    ConfinedTree backupTree;
    QString error;
    QList<RollbackStep> planned;
    QHash<QString, QList<int>> listedDirectories; // cleaned name -> indexes of its entries
    QSet<QString> removed; // cleaned target paths the plan removes
};

#endif // ROLLBACKPLANNER_H
