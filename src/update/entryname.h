#ifndef ENTRYNAME_H
#define ENTRYNAME_H

#include <QString>

// Rules for the entry names of update packages. They are the same on every platform, since a
// package built on one system is installed on another.

// True when name is a relative path that stays below the directory it is joined to and that
// every supported file system can hold. Refused: absolute names ("/x", "\x", "\\server\share",
// "C:/x", "C:x"), a ".." component (with "/" or "\" as separator), control characters, ":" in a
// component, a component ending in a dot or a blank, a Windows device name as a component (CON,
// PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with any extension, in any case), and a name made only of
// "." components or ending in "/" or "/." unless it names a directory.
bool isAcceptableEntryName(const QString &name, bool isDirectory);

#endif // ENTRYNAME_H
