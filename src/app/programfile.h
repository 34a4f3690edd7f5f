#ifndef PROGRAMFILE_H
#define PROGRAMFILE_H

#include <QString>

// Makes the directory of the program file actually running the current directory (on Linux the
// executable's real path, on Windows the module's path), whatever argv[0] holds (a bare name
// found through PATH, a relative path) and whatever the encoding of the directory's name. False
// when it cannot be found or entered.
bool enterProgramDirectory();

// Whether the program's directory (the current directory) has a name as text: not when its name
// is not valid in the system's encoding (on Linux), where only relative paths lead to it.
bool programDirectoryHasTextName();

// path taken from the program's directory when it is relative, a bare name included, so that it
// names the same file on every platform (the system would take it from the child's working
// directory on Linux, or search PATH for a bare name). Left relative to the current directory
// when the directory has no name as text.
QString programDirectoryPath(const QString &path);

// Whether path names the program file this process runs: the same file by identity (device and
// inode on Linux, volume and file index on Windows), through links and other spellings alike.
bool isOwnProgramFile(const QString &path);

#endif // PROGRAMFILE_H
