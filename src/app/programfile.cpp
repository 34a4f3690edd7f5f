#include "programfile.h"

#include <QDir>
#include <QFileInfo>

bool programDirectoryHasTextName()
{
    // An invalid name comes back with replacement characters, which name no directory.
    return QFileInfo(QDir::currentPath()).isDir();
}

QString programDirectoryPath(const QString &path)
{
    if (path.isEmpty() || !QDir::isRelativePath(path))
        return path;
    if (!programDirectoryHasTextName())
        return QStringLiteral("./") + path; // from the current directory, never through PATH
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}
