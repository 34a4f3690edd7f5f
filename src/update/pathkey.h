#ifndef PATHKEY_H
#define PATHKEY_H

#include <QString>

// A key under which two spellings of one file's path compare equal on this platform: "."
// components and doubled separators removed and, where file systems ignore case (Windows), case
// folded too. Paths with ".." never get here: the installer refuses them first.
QString filePathKey(const QString &path);

#endif // PATHKEY_H
