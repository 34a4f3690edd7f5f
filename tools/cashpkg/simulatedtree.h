#ifndef SIMULATEDTREE_H
#define SIMULATEDTREE_H

#include <QHash>
#include <QSet>
#include <QString>

// The file system as an installation would leave it, without touching it: what the disk holds,
// overlaid with what the simulated steps created, moved and removed. Paths are absolute.
// Without the disk (no target given) anything the steps did not make is Unknown.
class SimulatedTree
{
public:
    enum Kind { Missing, File, Directory, Unknown };

    explicit SimulatedTree(bool readsDisk);

    Kind kind(const QString &path) const;

    // Like QDir::mkpath: false when a file is in the way. Unknown components are taken for
    // directories from now on.
    bool makePath(const QString &path);
    // Like QFile::remove: files only.
    bool removeFile(const QString &path);
    // Like QFile::rename: a file or a whole directory, never over an existing entry, and only
    // into an existing directory.
    bool rename(const QString &from, const QString &to);
    // Records a file written at path; the caller has checked that it can be.
    void addFile(const QString &path);
    // Takes an Unknown directory for an existing one.
    void assumeDirectory(const QString &path);

    static QString parentOf(const QString &path);

private:
    void set(const QString &path, Kind kind, bool knownContents);

    const bool readsDisk;
    QHash<QString, Kind> changed;
    QSet<QString> fullyKnown; // directories whose every entry is in `changed`
};

#endif // SIMULATEDTREE_H
