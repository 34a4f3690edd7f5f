#ifndef ROLLBACKPLANNER_H
#define ROLLBACKPLANNER_H

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
        Restore, // copy the backup over the installed file
        Remove, // the file was new in the package
        RemoveDirectory, // the package created it and it will be empty
        Leave, // nothing to do, or nothing that can safely be done
    };

    Action action = Leave;
    QString name; // as the package names it
    QString targetPath;
    QString backupPath;
    QString reason; // for people
    bool unrestored = false; // Leave: the tree stays short of its state before the installation
};

// Works out how to undo an installation of a package from its backup tree. A file is only
// touched while it still holds the package's own bytes, so that files the installation never
// reached, and files changed since, are left alone; and a file is only removed where the backup
// tree shows that a backup would have been made had the file existed.
class RollbackPlanner
{
public:
    RollbackPlanner(const QString &target, const QString &backup);

    // False when nothing may be changed (see errorString()): the package cannot be read, or the
    // target or the backup tree is missing.
    [[nodiscard]] bool plan(const PackageReader &reader);
    QString errorString() const { return error; }

    QList<RollbackStep> steps() const { return planned; }
    QStringList notes() const { return remarks; } // about the package as a whole

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
    bool isContained(const QString &name) const;
    bool willBeEmpty(const QString &path) const;
    RollbackStep leave(const QString &name, const QString &reason, bool unrestored) const;

    const QString target;
    const QString backup;
    QDir targetDir;
    QDir backupDir;
    QString error;
    QStringList remarks;
    QList<RollbackStep> planned;
    QHash<QString, QList<int>> listedDirectories; // cleaned name -> indexes of its entries
    QSet<QString> removed; // cleaned target paths the plan removes
};

#endif // ROLLBACKPLANNER_H
