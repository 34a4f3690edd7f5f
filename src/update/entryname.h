#ifndef ENTRYNAME_H
#define ENTRYNAME_H

#include <QSet>
#include <QString>

// Rules for the entry names of update packages. They are the same on every platform, since a
// package built on one system is installed on another.

// True when name is a relative path that stays below the directory it is joined to and that
// every supported file system can hold. Refused: absolute names ("/x", "\x", "\\server\share",
// "C:/x", "C:x"), a ".." component (with "/" or "\" as separator), control characters, ":" in a
// component, a component ending in a dot or a blank, a Windows device name as a component (CON,
// PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with any extension, in any case), and a name made only of
// "." components unless it names a directory (the target directory itself).
bool isAcceptableEntryName(const QString &name, bool isDirectory);

// True when no existing component of name below root is a symbolic link or junction leading
// outside root, so that writing to root/name cannot reach anything outside root. Call it only
// for names that isAcceptableEntryName accepts.
bool staysWithinTree(const QString &root, const QString &name);

// staysWithinTree() for the many names of one installation: the root is made absolute and
// resolved once, and a path found to exist without being a link is not looked at again. That
// holds while nothing but the installation itself changes the tree, since it never makes links.
class TreeBoundary
{
public:
    explicit TreeBoundary(const QString &root);

    bool contains(const QString &name);

private:
    QString rootPath; // absolute, as given
    QString rootLocation; // where rootPath leads once links are followed; empty: cannot be told
    QSet<QString> plainPaths; // below rootPath: exist and are no links
};

#endif // ENTRYNAME_H
