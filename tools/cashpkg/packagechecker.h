#ifndef PACKAGECHECKER_H
#define PACKAGECHECKER_H

#include "finding.h"
#include "simulatedtree.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class PackageReader;

// What the installer would do with one entry.
struct CheckedEntry
{
    int index = 0;
    QString name;
    QString type; // "file", "directory", "symbolic link", "pax header", ...
    char typeFlag = '0';
    quint64 size = 0;
    QStringList
        actions; // "create-directory", "back-up-file", "write-file", in the installer's order
    bool reached = true; // false: the installer stops before this entry
    Findings findings;
};

struct CheckResult
{
    QString package;
    bool readable = false; // false: the file could not be opened
    QString compression;
    qint64 packageSize = 0;
    qint64 tarSize = 0;
    QString target; // empty: checked without a target directory
    QString backup; // empty: no backups
    QString signature; // what became of the signature; empty: no key asked for one
    QList<CheckedEntry> entries;
    Findings findings; // about the package as a whole
    bool installs = false; // the installer's predicted result
    int stopIndex = 0; // the entry where the installer stops; 0: none or not at an entry
    QString stopReason;

    int count(Finding::Severity severity) const;
};

// Predicts, entry by entry, what TinyTarUnpacker would do with a package: the same name rules,
// the same paths, the same steps and failures, played on a SimulatedTree instead of the disk.
// It also reports what the installer does without complaint but not as the package means it.
class PackageChecker
{
public:
    // Compressed packages more than this many times smaller than their tar stream are reported.
    static constexpr int maxCompressionRatio = 100;

    // target empty: the package alone is checked; backup empty: installation without backups.
    PackageChecker(const QString &target, const QString &backup);

    CheckResult check(const QString &packagePath, const PackageReader &reader);

private:
    void checkNames(CheckedEntry &report, bool isDirectory);
    void simulate(CheckedEntry &report, bool isDirectory);
    void simulateDirectory(
        CheckedEntry &report, const QString &targetPath, const QString &backupPath);
    void simulateFile(CheckedEntry &report, const QString &targetPath, const QString &backupPath);
    void stop(CheckedEntry &report, const QString &code, const QString &message);
    QString shown(const QString &path) const;

    const QString target;
    const QString backup;
    const bool withTarget;
    const bool backupsOn;
    QDir targetDir;
    QDir backupDir;
    SimulatedTree tree;
    bool stopped = false;
    CheckResult result;
    struct Seen
    {
        int index;
        QString name;
        bool isDirectory;
    };
    QHash<QString, Seen> seen; // by cleaned name
    QHash<QString, Seen> seenFolded; // by cleaned name in lower case
    QSet<QString> listedDirectories; // cleaned names of the directory entries reached
    QSet<QString> writtenFiles; // files written so far, keyed as the installer keys them
    int dotSlashNames = 0;
};

#endif // PACKAGECHECKER_H
