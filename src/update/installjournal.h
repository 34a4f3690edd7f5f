#ifndef INSTALLJOURNAL_H
#define INSTALLJOURNAL_H

#include <QCoreApplication>
#include <QList>
#include <QString>

class ConfinedTree;

// The record an installation keeps beside its backup tree (without one, beside its target) while
// it changes the tree. It is written and flushed before the first change, extended before each
// further group of changes, marked complete once everything is in place on the disk, and removed
// at the end. With the names it gives the files it sets aside (the new a.txt is written as
// .a.txt.<id>.new beside it, the old one set aside as .a.txt.<id>.old, a previous backup as
// .a.txt.<id>.prev), what it holds brings the tree back to its state before the installation from
// whatever a failure, a kill or a power cut left, or finishes a complete one.
class InstallJournal
{
    Q_DECLARE_TR_FUNCTIONS(InstallJournal)

public:
    // What the installation does with one file entry, fixed before it begins.
    enum FileMode {
        NewFile, // nothing stood there: the new file is put in place
        BackedUp, // what stood there goes into the backup tree (or, failing that, aside)
        SetAside, // what stood there is set aside, and removed once the installation is complete
        Rewritten, // a second copy of a file earlier in the same group: only rewrites its new file
    };

    struct Record
    {
        enum Type { File, TargetDirectory, BackupDirectory };
        Type type = File;
        FileMode mode = NewFile;
        bool backupExisted = false; // a backup from before stood at the file's backup path
        QString path; // relative to the target (or the backup tree)
    };

    // target and backup as the installation takes them; backup empty: no backups.
    InstallJournal(const QString &target, const QString &backup);
    ~InstallJournal();

    InstallJournal(const InstallJournal &) = delete;
    InstallJournal &operator=(const InstallJournal &) = delete;

    // The journal's file: the backup tree's (or the target's) path with ".journal" added.
    static QString pathFor(const QString &target, const QString &backup);
    QString path() const { return file; }
    bool exists() const;

    // The names an installation with this id gives a file's new version, its old version set
    // aside, the previous backup it replaces, and a backup being copied to another file system.
    static QString newName(const QString &name, const QString &id);
    static QString asideName(const QString &name, const QString &id);
    static QString previousName(const QString &name, const QString &id);
    static QString copyName(const QString &name, const QString &id);

    // A new journal for an installation of package (nothing is written yet).
    void start(const QString &package);
    QString id() const { return installationId; }
    // Whether a group was written: only then is there anything to undo or finish.
    bool isWritten() const { return created; }
    QString package() const { return packagePath; }
    void addFile(FileMode mode, bool backupExisted, const QString &name);
    // A directory that the group about to begin may create.
    void addDirectory(bool inBackup, const QString &path);
    // Writes the records added since the last call and flushes them: the group may begin.
    [[nodiscard]] bool writeGroup();
    // Everything is in place and on the disk: from now on the installation is finished, not
    // undone.
    [[nodiscard]] bool markComplete();

    // Reads the journal a kill or a power cut left behind.
    [[nodiscard]] bool load();
    bool isComplete() const { return complete; }

    // Brings every file and directory the recorded groups touched back to its state before the
    // installation, from any state they were left in. Repeated, it finds nothing more to do.
    [[nodiscard]] bool undo();
    // Removes what a complete installation set aside.
    [[nodiscard]] bool finish();
    // Removes the journal once its work is done (and flushed).
    [[nodiscard]] bool discard();

    // Why the last step failed.
    QString errorString() const { return error; }

private:
    bool fail(const QString &text);
    bool undoFile(const Record &record, ConfinedTree &target, ConfinedTree *backup);

    const QString targetRoot;
    const QString backupRoot;
    const QString file;
    QString installationId;
    QString packagePath;
    QList<Record> records;
    int written = 0; // records already in the file
    bool created = false;
    bool madeHome = false; // the journal's directory was made for it
    bool complete = false;
    QString error;
};

#endif // INSTALLJOURNAL_H
