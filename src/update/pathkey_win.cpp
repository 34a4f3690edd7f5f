#include "pathkey.h"

#include <QDir>

QString filePathKey(const QString &path)
{
    // NTFS and FAT take "A.TXT" and "a.txt" for one file, and "\" for "/".
    return QDir::cleanPath(QDir::fromNativeSeparators(path)).toCaseFolded();
}
