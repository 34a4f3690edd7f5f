#include "pathkey.h"

#include <QDir>

QString filePathKey(const QString &absolutePath)
{
    // NTFS and FAT take "A.TXT" and "a.txt" for one file, and "\" for "/".
    return QDir::cleanPath(QDir::fromNativeSeparators(absolutePath)).toCaseFolded();
}
